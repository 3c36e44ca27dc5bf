#pragma once
// TSendMailToOrvalleForm: the dialog in which a user writes to the vendor's
// contact address and sends the message through an SMTP server of the user's
// choice. Page "Send Mail" composes, page "Connection" names the server and
// the sender. The layout is OVSSendMailToOrvalle.ui; the controls are public
// members named as in it (eTo, eSMTPServer, ...).
//
// Its creator fills it and shows it modally:
//
//   TSendMailToOrvalleForm form(owner);
//   form.eTo->setText(mailTo);
//   form.eSMTPServer->setText(host);
//   form.eHomeAddr->setText(from);
//   form.EDRealName->setText(realName);
//   form.AutomaticMessage().Assign(lines);
//   form.ShowModal();

#include "mail/isp3.h"
#include "platform/Classes.h"

#include "ui_OVSSendMailToOrvalle.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QEventLoop;

namespace Vantry {

class TOpenDialog;

class TSendMailToOrvalleForm : public QWidget, public Ui::TSendMailToOrvalleForm {
  Q_OBJECT

public:
  // AOwner: the window the form is modal to (may be null); the form is a
  // window of its own, freed by whoever created it.
  explicit TSendMailToOrvalleForm(QWidget* AOwner = nullptr);
  ~TSendMailToOrvalleForm() override;

  // The lines that identify the product in every text message, between the
  // automatic block's first two lines and its last. The form owns the list;
  // the creator copies its lines in before showing the form.
  TStringList& AutomaticMessage() { return *FAutomaticMessage; }

  // Shows the form centred on the screen, modal to the whole application,
  // and returns when it has been closed.
  void ShowModal();

  // Non-visual parts, owned by the form.
  std::unique_ptr<TOpenDialog> OpenDialog;
  TSMTP* SMTP1 = nullptr;

  // Event handlers, named after their control and event.
  void FormCreate();
  void FormDestroy();
  void FormResize();
  void FormClose();
  void ClearBtnClick();
  void eSMTPServerChange();
  void cbSendFileClick();
  void SMTPConnectBtnClick();
  void SendBtnClick();
  void SMTP1StateChanged(TObject* Sender, int16_t State);
  void SMTP1Verify(TObject* Sender);
  void SMTP1DocInput(TObject* Sender, TDocInput* DocInput);
  void SMTP1Error(TObject* Sender, int16_t Number, WideString& Description, int32_t Scode, const WideString& Source,
                  const WideString& HelpFile, int32_t HelpContext, bool& CancelDisplay);

  // The transfer status for a document state (the text SMTP1DocInput
  // shows), or nullopt where the status stays as it is.
  static std::optional<QString> DocInputStatusText(int16_t AState, int32_t ABytesTransferred, int32_t ABytesTotal,
                                                   bool ATransferAborted, const QString& AMailTo);
  // The error box's text: the number, the description, then each detail in
  // parentheses, the details separated by carriage returns. A description
  // that only joins the details (a server's reply, line by line) gives way
  // to its first line, so that no line shows twice; at most MaxErrorLines
  // lines are shown, then how many more there are.
  static constexpr int MaxErrorLines = 20;
  static std::string ErrorText(int16_t ANumber, const WideString& ADescription, const std::vector<WideString>& AItems);

  // Whether a send is waiting for the control (the send controls are
  // disabled meanwhile).
  bool Sending() const { return FWaitLoop != nullptr; }

signals:
  // The form has been closed (hidden by its close command).
  void Closed();

protected:
  void resizeEvent(QResizeEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;
  void showEvent(QShowEvent* AEvent) override;

private:
  // What a send sends, taken from the fields once when Send is pressed: both
  // messages of one send carry the same values, whatever is typed meanwhile.
  struct TOutgoing {
    QString To, CC, From, Subject, RealName, Text;
    bool AttachFile = false;
    std::string FileName;  // the attachment's path, bytes as given
  };
  void SetMailHeaders();
  void SendMailText();
  void SendMailFile();
  void WaitWhileBusy();
  void LockSendControls(bool ALocked);
  void StopSending();
  void ControlEventDone();
  void WithdrawStopQuestion();
  void ErrorDialog(const std::string& AText);

  std::unique_ptr<TStringList> FAutomaticMessage;
  bool AddressesVerified = false;
  bool TransferAborted = false;
  bool FCentred = false;
  // Set by closing, cleared by showing: a send in progress stops at once.
  bool FClosed = false;
  // Closing asks whether to stop a send; the question is withdrawn when the
  // send ends first.
  static constexpr const char* StopQuestion = "A message is still being sent. Stop sending and close?";
  bool FAskingToStop = false;
  bool FStopQuestionWithdrawn = false;
  // The event loop of a send waiting for the control, null when none waits.
  QEventLoop* FWaitLoop = nullptr;
  // What the control has been handed and not yet ended, oldest first, as
  // the status names it: "the message "Subject"", "the file /path".
  QStringList FInFlight;
  TOutgoing FOutgoing;
};

}  // namespace Vantry
