#pragma once
// The About box: TOVSAboutDialog, a non-visual component that holds what the
// box shows and what its mail link pre-fills, and TOrvalleAboutForm, the
// modal window with the vendor's sliding logo that it shows.

#include "platform/Classes.h"

#include "ui_OVSAbout.h"

#include <QDialog>

#include <string>

class QTimer;

namespace Vantry {

// The About window. Execute of TOVSAboutDialog creates it, fills it, shows it
// modally and frees it. Its logo slides to and fro inside Panel2, one step
// per Timer tick, until a click on the version, the year or the logo stops
// it; another such click resumes it.
class TOrvalleAboutForm : public QDialog, public Ui::TOrvalleAboutForm {
  Q_OBJECT

public:
  explicit TOrvalleAboutForm(QWidget* AParent = nullptr);
  ~TOrvalleAboutForm() override;

  // Fires every 135 ms from creation on; owned by the form.
  QTimer* Timer = nullptr;

  // What the mail link pre-fills in the send-mail form; TOVSAboutDialog
  // writes them before the form is shown.
  std::string MailHostAddress;
  std::string MailFrom;
  std::string MailFromRealName;
  TStringList AutomaticMessage;

  // Handlers, named after the controls and events that call them.
  void FormCreate(QObject* Sender);
  void FormDestroy(QObject* Sender);
  void TimerTimer(QObject* Sender);
  void SurfaceClick(QObject* Sender);
  void LBSendMailClick(QObject* Sender);

  // Which way the next step of the logo goes.
  bool LogoMovesRight() const { return FLogoMovesRight; }

protected:
  // Turns mouse clicks on the labels and the logo into their Click handlers.
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;
  // "Ok" is no default button, but Enter presses it while it has the focus.
  void keyPressEvent(QKeyEvent* AEvent) override;

private:
  bool FLogoMovesRight = true;
  // The release that ends a double-click is no click of its own.
  bool FReleaseEndsDoubleClick = false;
};

// A component that shows the About box. Set the texts, then call Execute.
class TOVSAboutDialog : public TComponent {
  VANTRY_CLASS(TOVSAboutDialog)

public:
  explicit TOVSAboutDialog(TComponent* AOwner);

  const std::string& WindowTitle() const { return FWindowTitle; }
  void SetWindowTitle(const std::string& AValue) { FWindowTitle = AValue; }
  const std::string& ProgramTitle() const { return FProgramTitle; }
  void SetProgramTitle(const std::string& AValue) { FProgramTitle = AValue; }
  // False leaves the title line empty.
  bool ProgramTitleVisible() const { return FProgramTitleVisible; }
  void SetProgramTitleVisible(bool AValue) { FProgramTitleVisible = AValue; }
  const std::string& Version() const { return FVersion; }
  void SetVersion(const std::string& AValue) { FVersion = AValue; }
  int32_t Year() const { return FYear; }
  void SetYear(int32_t AValue) { FYear = AValue; }
  // The SMTP server, the sender's address and name the mail link pre-fills.
  const std::string& MailHostAddress() const { return FMailHostAddress; }
  void SetMailHostAddress(const std::string& AValue) { FMailHostAddress = AValue; }
  const std::string& MailFrom() const { return FMailFrom; }
  void SetMailFrom(const std::string& AValue) { FMailFrom = AValue; }
  const std::string& MailFromRealName() const { return FMailFromRealName; }
  void SetMailFromRealName(const std::string& AValue) { FMailFromRealName = AValue; }
  // The lines that open every message sent from the mail link. The setter
  // copies them; the component never keeps the caller's list.
  const TStrings& MailAutomaticMessage() const { return FMailAutomaticMessage; }
  void SetMailAutomaticMessage(const TStrings& AValue) { FMailAutomaticMessage.Assign(AValue); }
  // The recipient: the About box's link text and the send-mail form's "To".
  const std::string& MailTo() const { return FMailTo; }
  void SetMailTo(const std::string& AValue) { FMailTo = AValue; }

  // Shows the About box modally above the active modal window (or the
  // application's window); true when it was closed with its "Ok" button.
  // The form is freed before Execute returns, whatever happens.
  bool Execute();

protected:
  // Runs the filled form's modal loop and returns its result.
  virtual int ShowForm(TOrvalleAboutForm& AForm);

private:
  std::string FProgramTitle;
  std::string FVersion;
  int32_t FYear = 0;
  std::string FWindowTitle;
  bool FProgramTitleVisible = true;
  std::string FMailHostAddress;
  std::string FMailFrom;
  TStringList FMailAutomaticMessage;
  std::string FMailTo;
  std::string FMailFromRealName;
};

}  // namespace Vantry
