#pragma once
// The options dialog: where the user chooses between the automatic source
// folder (the IDE's installation root + "/Source") and a folder of their own.
// The Options command of the product's module shows it.

#include "about/OVSAbout.h"
#include "platform/Classes.h"

#include "ui_OptionFormUnit.h"

#include <QDialog>
#include <QLabel>

#include <string>

namespace Vantry {

// A form that is also a component: its non-visual part, the About component
// OVS, comes from its stored description. Create it with CreateComponent and
// free it with Free(). The caller sets RBPath and EDPath, runs ShowModal and
// reads RBAutomatic and EDPath after mrOk.
class TOptionsForm : public QDialog, public TComponent, public Ui::TOptionsForm {
  Q_OBJECT
  VANTRY_CLASS(TOptionsForm)

public:
  // The dialog belongs to the application's window on the screen; AOwner,
  // usually null, frees it.
  explicit TOptionsForm(TComponent* AOwner);
  void AfterConstruction() override;

  // The product's About box, as the stored description sets it.
  TOVSAboutDialog* OVS = nullptr;

  // mrOk (1) after a successful OK, mrCancel (2) after Cancel or the close box.
  int ShowModal();

  // OnShow and both radio buttons' OnClick: the edit box is usable only
  // while "Use the Following Directory" is chosen.
  void RBClick(QObject* Sender);
  // Closes with mrOk unless the chosen folder does not exist; then says so
  // and stays open.
  void BTOKClick(QObject* Sender);
  void BTAboutClick(QObject* Sender);

protected:
  void showEvent(QShowEvent* AEvent) override;
  // No button is the cancel button: Escape does not close the dialog. No
  // button is the default either, but Enter presses the focused one.
  void keyPressEvent(QKeyEvent* AEvent) override;
  void reject() override;

private:
  // Beside the folder box in automatic mode: a mark whose tip says why the
  // folder cannot be shown, when it cannot.
  QLabel* FFolderProblem = nullptr;
  std::string FListedFolder;  // the folder whose folders the completer offers
  std::string FListedPrefix;  // the start of the names listed
  bool FListCut = false;      // there were more of them than were offered
};

}  // namespace Vantry
