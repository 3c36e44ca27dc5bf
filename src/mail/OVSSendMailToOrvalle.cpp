#include "mail/OVSSendMailToOrvalle.h"

#include "forms/Dialogs.h"
#include "platform/SysUtils.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>

namespace Vantry {

namespace {

#include "mail/SendMailIcon.xpm"

QString Q(const std::string& S) { return QString::fromStdString(S); }
std::string S(const QString& Q) { return Q.toStdString(); }

}  // namespace

TSendMailToOrvalleForm::TSendMailToOrvalleForm(QWidget* AOwner) : QWidget(AOwner, Qt::Dialog) {
  setupUi(this);
  setWindowIcon(QIcon(QPixmap(SendMailIcon_xpm)));
  // The recipient cannot be typed into; it wears the colour of a button face
  // so that it does not look like a box waiting for input.
  QPalette readOnly = eTo->palette();
  readOnly.setColor(QPalette::Base, readOnly.color(QPalette::Button));
  eTo->setPalette(readOnly);

  OpenDialog = std::make_unique<TOpenDialog>(this);
  OpenDialog->Filter = "Text Files (*.txt)|*.txt|Other Files|*.*";
  OpenDialog->Options = {ofFileMustExist};

  connect(ClearBtn, &QPushButton::clicked, this, [this] { ClearBtnClick(); });
  connect(cbSendFile, &QCheckBox::clicked, this, [this] { cbSendFileClick(); });
  for (QLineEdit* edit : {eSMTPServer, eHomeAddr, EDRealName})
    connect(edit, &QLineEdit::textChanged, this, [this] { eSMTPServerChange(); });

  FormCreate();
}

TSendMailToOrvalleForm::~TSendMailToOrvalleForm() { FormDestroy(); }

void TSendMailToOrvalleForm::ShowModal() {
  QPointer<TSendMailToOrvalleForm> self(this);
  setWindowModality(Qt::ApplicationModal);
  QEventLoop loop;
  connect(this, &TSendMailToOrvalleForm::Closed, &loop, &QEventLoop::quit);
  show();
  if (isVisible()) loop.exec();
  if (self) hide();
}

void TSendMailToOrvalleForm::showEvent(QShowEvent* AEvent) {
  QWidget::showEvent(AEvent);
  if (FCentred) return;
  FCentred = true;
  QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
  if (screen) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

void TSendMailToOrvalleForm::resizeEvent(QResizeEvent* AEvent) {
  QWidget::resizeEvent(AEvent);
  FormResize();
}

void TSendMailToOrvalleForm::closeEvent(QCloseEvent* AEvent) {
  FormClose();
  AEvent->accept();
  emit Closed();
}

void TSendMailToOrvalleForm::FormCreate() {
  TransferAborted = false;
  FAutomaticMessage = std::make_unique<TStringList>();
}

void TSendMailToOrvalleForm::FormDestroy() { FAutomaticMessage.reset(); }

// The buttons and the check box keep 10 pixels from the form's right edge and
// the three edits end 10 pixels before the buttons. The rule reads the
// form's width, not the page's, and bounds nothing: that is how the stored
// layout was drawn.
void TSendMailToOrvalleForm::FormResize() {
  const int w = width();
  SendBtn->move(w - SendBtn->width() - 10, SendBtn->y());
  ClearBtn->move(w - ClearBtn->width() - 10, ClearBtn->y());
  cbSendFile->move(w - cbSendFile->width() - 10, cbSendFile->y());
  for (QLineEdit* edit : {eTo, eCC, eSubject}) edit->resize(SendBtn->x() - edit->x() - 10, edit->height());
}

void TSendMailToOrvalleForm::FormClose() {}

void TSendMailToOrvalleForm::ClearBtnClick() {
  eTo->clear();
  eCC->clear();
  eSubject->clear();
  OpenDialog->FileName.clear();
  reMessageText->clear();
}

void TSendMailToOrvalleForm::eSMTPServerChange() {
  SMTPConnectBtn->setEnabled(!eSMTPServer->text().isEmpty() && !eHomeAddr->text().isEmpty());
}

void TSendMailToOrvalleForm::cbSendFileClick() {
  if (cbSendFile->isChecked()) {
    if (OpenDialog->Execute()) {
      // A '&' in the path is shown as itself, not taken as an accelerator.
      QString path = QFile::decodeName(QByteArray::fromStdString(OpenDialog->FileName));
      cbSendFile->setText(cbSendFile->text() + QStringLiteral(": ") + path.replace(QLatin1Char('&'), QStringLiteral("&&")));
    } else {
      // Clearing the box counts as a click of its own, as it would from the keyboard.
      cbSendFile->setChecked(false);
      cbSendFileClick();
    }
  } else {
    cbSendFile->setText(QStringLiteral("&Attach Text File"));
  }
}

}  // namespace Vantry
