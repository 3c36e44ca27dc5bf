#include "mail/OVSSendMailToOrvalle.h"

#include "forms/Dialogs.h"
#include "forms/QtApplication.h"
#include "platform/Application.h"
#include "platform/SysUtils.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QFontInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTextDocument>
#include <QTimer>

namespace Vantry {

namespace {

#include "mail/SendMailIcon.xpm"

QString Q(const std::string& S) { return QString::fromStdString(S); }
std::string S(const QString& Q) { return Q.toStdString(); }

// Runs a handler as the event loop must see it: whatever it raises is shown
// by the application's error display and goes no further.
template <class F>
void Guarded(F&& AHandler) {
  try {
    AHandler();
  } catch (...) {
    Application().HandleException(nullptr);
  }
}

}  // namespace

TSendMailToOrvalleForm::TSendMailToOrvalleForm(QWidget* AOwner) : QWidget(AOwner, Qt::Dialog) {
  setupUi(this);
  setWindowIcon(QIcon(QPixmap(SendMailIcon_xpm)));
  // The stored geometry was drawn around a narrow 8-point sans serif; where
  // that face is missing, the fallback is narrowed so the captions fit the
  // boxes drawn for them.
  if (QFontInfo(font()).family() != font().family()) {
    QFont narrow = font();
    narrow.setStretch(QFont::SemiCondensed);
    setFont(narrow);
  }
  // The recipient cannot be typed into; it wears the colour of a button face
  // so that it does not look like a box waiting for input.
  QPalette readOnly = eTo->palette();
  readOnly.setColor(QPalette::Base, readOnly.color(QPalette::Button));
  eTo->setPalette(readOnly);

  OpenDialog = std::make_unique<TOpenDialog>(this);
  OpenDialog->Filter = "Text Files (*.txt)|*.txt|Other Files|*.*";
  OpenDialog->Options = {ofFileMustExist};

  SMTP1 = CreateComponent<TSMTP>(nullptr);
  SMTP1->SetName("SMTP1");
  SMTP1->SetRemotePort(25);
  // Each event may be the control's last before it stops being busy; a send
  // waiting for it then looks again once the event is over.
  SMTP1->OnError = [this](TObject* Sender, int16_t Number, WideString& Description, int32_t Scode,
                          const WideString& Source, const WideString& HelpFile, int32_t HelpContext,
                          bool& CancelDisplay) {
    Guarded([&] { SMTP1Error(Sender, Number, Description, Scode, Source, HelpFile, HelpContext, CancelDisplay); });
    ControlEventDone();
  };
  SMTP1->OnStateChanged = [this](TObject* Sender, int16_t State) {
    Guarded([&] { SMTP1StateChanged(Sender, State); });
    ControlEventDone();
  };
  SMTP1->OnDocInput = [this](TObject* Sender, TDocInput* DocInput) {
    Guarded([&] { SMTP1DocInput(Sender, DocInput); });
    ControlEventDone();
  };
  SMTP1->OnVerify = [this](TObject* Sender) {
    Guarded([&] { SMTP1Verify(Sender); });
    ControlEventDone();
  };

  connect(SendBtn, &QPushButton::clicked, this, [this] { Guarded([this] { SendBtnClick(); }); });
  connect(ClearBtn, &QPushButton::clicked, this, [this] { Guarded([this] { ClearBtnClick(); }); });
  connect(SMTPConnectBtn, &QPushButton::clicked, this, [this] { Guarded([this] { SMTPConnectBtnClick(); }); });
  connect(cbSendFile, &QCheckBox::clicked, this, [this] { Guarded([this] { cbSendFileClick(); }); });
  for (QLineEdit* edit : {eSMTPServer, eHomeAddr, EDRealName})
    connect(edit, &QLineEdit::textChanged, this, [this] { eSMTPServerChange(); });

  FormCreate();
}

TSendMailToOrvalleForm::~TSendMailToOrvalleForm() {
  // A send still waiting further up the stack returns once its loop ends,
  // and touches nothing of the form after that.
  if (FWaitLoop) FWaitLoop->quit();
  FormDestroy();
  // The control may still hold a session; it drops it as it goes.
  FreeAndNil(SMTP1);
}

void TSendMailToOrvalleForm::ShowModal() {
  QPointer<TSendMailToOrvalleForm> self(this);
  hide();  // modality takes effect at the next show
  setWindowModality(Qt::ApplicationModal);
  QEventLoop loop;
  connect(this, &TSendMailToOrvalleForm::Closed, &loop, &QEventLoop::quit);
  show();
  if (isVisible()) loop.exec();
  if (self) hide();
}

void TSendMailToOrvalleForm::showEvent(QShowEvent* AEvent) {
  QWidget::showEvent(AEvent);
  FClosed = false;
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

// Closing while a message is on its way asks first: the form is freed right
// after it closes, and with it the control and whatever it still sends.
void TSendMailToOrvalleForm::closeEvent(QCloseEvent* AEvent) {
  if (SMTP1->Busy()) {
    FAskingToStop = true;
    FStopQuestionWithdrawn = false;
    QPointer<TSendMailToOrvalleForm> self(this);
    const bool stop = Application().AskYesNo(StopQuestion);
    if (!self) return;
    FAskingToStop = false;
    // The send ended while the question stood (and was withdrawn then):
    // nothing is left to stop, and the form closes as asked.
    if (!stop && !FStopQuestionWithdrawn) {
      AEvent->ignore();
      return;
    }
    if (SMTP1->Busy()) StopSending();
  }
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

void TSendMailToOrvalleForm::FormClose() {
  FClosed = true;
  if (SMTP1->State() == stConnected) SMTP1->Disconnect();
  // A send waiting for the control gives up; its handler returns as soon as
  // this event is over, and nothing of the form is freed before that.
  if (FWaitLoop) FWaitLoop->quit();
}

// Gives up what the control still sends (a second Disconnect gives up at
// once) and tells what became of each message in a box, since the status
// line goes with the form. The first message in flight may have reached the
// server whole, its end of data sent and only the reply missing: a server
// usually delivers that, so it is not said to be unsent.
void TSendMailToOrvalleForm::StopSending() {
  FClosed = true;  // what the stopped send reports is no news now
  for (int i = 0; i < 2 && SMTP1->State() != stDisconnected; ++i) SMTP1->Disconnect();
  if (FInFlight.isEmpty()) return;
  // The sockets are shut by now: what has not gone out will not.
  const bool endSent = SMTP1->DataEndSent();
  QStringList outcomes;
  for (qsizetype i = 0; i < FInFlight.size(); ++i)
    outcomes << (i == 0 && endSent ? QStringLiteral("%1 may have been sent: the server did not confirm it").arg(FInFlight[i])
                                   : QStringLiteral("%1 was not sent").arg(FInFlight[i]));
  const QString text = QStringLiteral("Sending stopped: ") + outcomes.join(QStringLiteral("; "));
  SMTPStatus->showMessage(text);
  Application().ShowMessage(S(text));
}

void TSendMailToOrvalleForm::ClearBtnClick() {
  eTo->clear();
  eCC->clear();
  eSubject->clear();
  OpenDialog->FileName.clear();
  reMessageText->clear();
}

// While a send waits, the button stays locked whatever is typed.
void TSendMailToOrvalleForm::eSMTPServerChange() {
  SMTPConnectBtn->setEnabled(!Sending() && !eSMTPServer->text().isEmpty() && !eHomeAddr->text().isEmpty());
}

void TSendMailToOrvalleForm::cbSendFileClick() {
  if (cbSendFile->isChecked()) {
    if (OpenDialog->Execute()) {
      // A '&' in the path is shown as itself, not taken as an accelerator.
      QString path = PathToText(OpenDialog->FileName);
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

void TSendMailToOrvalleForm::SMTPConnectBtnClick() {
  switch (SMTP1->State()) {
    case stConnected:
      SMTP1->Disconnect();
      break;
    case stDisconnected:
      SMTP1->SetRemoteHost(eSMTPServer->text());
      TransferAborted = false;
      SMTP1->Connect();
      break;
    default:  // connecting or disconnecting: the click waits for that to end
      break;
  }
}

void TSendMailToOrvalleForm::SMTP1StateChanged(TObject*, int16_t State) {
  const QString host = SMTP1->RemoteHost();
  QString text;
  switch (State) {
    case stConnecting:
      text = QStringLiteral("Connecting to SMTP server: %1...").arg(host);
      break;
    case stResolvingHost:
      text = QStringLiteral("Resolving Host");
      break;
    case stHostResolved:
      text = QStringLiteral("Host Resolved");
      break;
    case stConnected:
      text = QStringLiteral("Connected to SMTP server: %1").arg(host);
      SMTPConnectBtn->setText(QStringLiteral("Disconnect"));
      break;
    case stDisconnecting:
      text = QStringLiteral("Disconnecting from SMTP server: %1...").arg(host);
      break;
    case stDisconnected:
      text = QStringLiteral("Disconnected from SMTP server: %1").arg(host);
      SMTPConnectBtn->setText(QStringLiteral("Connect"));
      break;
    default:
      break;
  }
  if (!text.isNull()) ConnectStatus->showMessage(text);
  eSMTPServer->setEnabled(State != stConnected);
  eHomeAddr->setEnabled(State != stConnected);
}

void TSendMailToOrvalleForm::SendBtnClick() {
  if (SMTP1->State() != stConnected) {
    ErrorDialog("Not connected to SMTP server");
    return;
  }
  if (FWaitLoop) return;  // a send is already waiting (its button is disabled)
  AddressesVerified = false;
  TransferAborted = false;
  SMTPStatus->clearMessage();  // the last send's outcome is not this one's
  // The editor's text as typed: no-break spaces and other characters stay
  // themselves (the plain-text export would turn them into spaces); its
  // paragraph ends become line ends, which the control sends as CR LF.
  QString text = reMessageText->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QLatin1Char('\n')).replace(QChar::LineSeparator, QLatin1Char('\n'));
  FOutgoing = {eTo->text(),      eCC->text(), eHomeAddr->text(),        eSubject->text(),
               EDRealName->text(), text,       cbSendFile->isChecked(), OpenDialog->FileName};
  QString addresses = FOutgoing.To;
  if (!FOutgoing.CC.isEmpty()) addresses += QStringLiteral(", ") + FOutgoing.CC;
  QPointer<TSendMailToOrvalleForm> self(this);
  // No clicks that would start a second send, or clear what is being sent,
  // until both messages are over; closing the form is still possible and
  // ends the wait.
  LockSendControls(true);
  SMTP1->Verify(addresses);
  // The control's events, SMTP1Verify among them, run inside this wait.
  WaitWhileBusy();
  if (!self) return;
  if (FClosed) return LockSendControls(false);
  // A list the control refused has been named in its error box already.
  if (!AddressesVerified && !TransferAborted) ErrorDialog("Incorrect address format");
  // The file goes out as a second message only behind a text message that
  // arrived: on its own it would reach the vendor without a word.
  if (AddressesVerified && FOutgoing.AttachFile) {
    if (TransferAborted) {
      SMTPStatus->showMessage(QStringLiteral("Transfer aborted: the attached file was not sent either"));
    } else {
      SendMailFile();
      WaitWhileBusy();
      if (!self) return;
    }
  }
  LockSendControls(false);
}

void TSendMailToOrvalleForm::LockSendControls(bool ALocked) {
  for (QWidget* w : {static_cast<QWidget*>(SendBtn), static_cast<QWidget*>(ClearBtn), static_cast<QWidget*>(cbSendFile)})
    w->setEnabled(!ALocked);
  if (ALocked)
    SMTPConnectBtn->setEnabled(false);
  else
    eSMTPServerChange();
}

void TSendMailToOrvalleForm::WaitWhileBusy() {
  if (!SMTP1->Busy()) return;
  QPointer<TSendMailToOrvalleForm> self(this);
  QEventLoop loop;
  FWaitLoop = &loop;
  loop.exec();
  if (!self) return;
  FWaitLoop = nullptr;
}

void TSendMailToOrvalleForm::ControlEventDone() {
  if (!FWaitLoop && !FAskingToStop) return;
  // The control clears Busy right after the event that ends its operation;
  // look once the event has returned to the loop.
  QTimer::singleShot(0, this, [this] {
    if (SMTP1->Busy()) return;
    if (FWaitLoop) FWaitLoop->quit();
    if (FAskingToStop) WithdrawStopQuestion();
  });
}

// Whether to stop sending is no question once the send is over (it ended
// while the question stood, an error box perhaps shown over it): the
// question's box goes, and the close it came from goes ahead.
void TSendMailToOrvalleForm::WithdrawStopQuestion() {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box || !box->isVisible() || box->text() != QString::fromUtf8(StopQuestion)) continue;
    FStopQuestionWithdrawn = true;
    box->reject();
  }
}

void TSendMailToOrvalleForm::SMTP1Verify(TObject*) {
  SendMailText();
  AddressesVerified = true;
}

void TSendMailToOrvalleForm::SetMailHeaders() {
  TDocHeaders* headers = SMTP1->DocInput()->Headers();
  headers->Clear();
  headers->Add(QStringLiteral("To"), FOutgoing.To);
  headers->Add(QStringLiteral("From"), FOutgoing.From);
  headers->Add(QStringLiteral("CC"), FOutgoing.CC);
  headers->Add(QStringLiteral("Subject"), QStringLiteral("Orvalle AUTOMSG: ") + FOutgoing.Subject);
  headers->Add(QStringLiteral("Content-Type"), QStringLiteral("TEXT/PLAIN; charset=US-ASCII"));
  headers->Add(QStringLiteral("X-Mailer"), QStringLiteral("Orvalle X-Mailer version 1.0"));
}

void TSendMailToOrvalleForm::SendMailText() {
  SetMailHeaders();
  TStringList lines;
  lines.Add("%%% BEGIN OF AUTOMATIC MESSAGE ");
  lines.Add("%%% SENT FROM: " + S(FOutgoing.RealName));
  for (const std::string& line : *FAutomaticMessage) lines.Add(line);
  lines.Add("%%% END OF AUTOMATIC MESSAGE");
  lines.Add("   ");
  lines.Add("   ");
  std::string body;
  for (const std::string& line : lines) body += line + "\r\n";
  const QString text = Q(body) + FOutgoing.Text;
  FInFlight << QStringLiteral("the message \"%1\"").arg(FOutgoing.Subject);
  SMTP1->SendDocument(std::nullopt, SMTP1->DocInput()->Headers(), text, QString(), QString());
}

// The path's bytes travel as text with each byte that is not UTF-8 escaped
// (PathToText), which the control takes back byte for byte.
void TSendMailToOrvalleForm::SendMailFile() {
  SetMailHeaders();
  TDocInput* doc = SMTP1->DocInput();
  doc->SetFileName(PathToText(FOutgoing.FileName));
  FInFlight << QStringLiteral("the file %1").arg(doc->FileName());
  SMTP1->SendDocument(std::nullopt, doc->Headers(), std::nullopt, doc->FileName(), QString());
}

std::optional<QString> TSendMailToOrvalleForm::DocInputStatusText(int16_t AState, int32_t ABytesTransferred,
                                                                  int32_t ABytesTotal, bool ATransferAborted,
                                                                  const QString& AMailTo) {
  switch (AState) {
    case disBegin:
      return QStringLiteral("Initiating document transfer");
    case disHeaders:
      return QStringLiteral("Sending headers");
    case disData: {
      if (ABytesTotal <= 0) return QStringLiteral("Sending...");
      const int percent = static_cast<int>(static_cast<double>(ABytesTransferred) / ABytesTotal * 100);
      return Q(Format("Sending data: %d of %d bytes (%d%%)", {ABytesTransferred, ABytesTotal, percent}));
    }
    case disEnd:
      if (ATransferAborted) return QStringLiteral("Transfer aborted");
      return Q(Format("Mail sent to %s (%d bytes data)", {S(AMailTo), ABytesTransferred}));
    default:
      return std::nullopt;
  }
}

void TSendMailToOrvalleForm::SMTP1DocInput(TObject*, TDocInput* DocInput) {
  if (DocInput->State() == disEnd && !FInFlight.isEmpty()) FInFlight.removeFirst();
  if (auto text = DocInputStatusText(DocInput->State(), DocInput->BytesTransferred(), DocInput->BytesTotal(),
                                     TransferAborted, FOutgoing.To))
    SMTPStatus->showMessage(*text);
  // At once: the send handler is waiting, and progress must show meanwhile.
  SMTPStatus->repaint();
}

std::string TSendMailToOrvalleForm::ErrorText(int16_t ANumber, const WideString& ADescription,
                                              const std::vector<WideString>& AItems) {
  WideString description = ADescription;
  std::vector<WideString> details = AItems;
  if (details.size() > 1 && description == QStringList(details.begin(), details.end()).join(QLatin1Char(' '))) {
    description = details.front();
    details.erase(details.begin());
  }
  std::string items;
  const size_t shown = std::min(details.size(), size_t(MaxErrorLines - 1));
  for (size_t i = 0; i < shown; ++i) items += Format("\r(%s)", {S(details[i])});
  if (details.size() > shown) items += Format("\r\u2026 (%d more lines)", {int(details.size() - shown)});
  return Format("%d - %s%s", {int(ANumber), S(description), Trim(items)});
}

void TSendMailToOrvalleForm::SMTP1Error(TObject*, int16_t Number, WideString& Description, int32_t, const WideString&,
                                        const WideString&, int32_t, bool& CancelDisplay) {
  TransferAborted = true;
  CancelDisplay = true;
  // After the user closed the form, what the interrupted send reports is no news.
  if (FClosed) return;
  std::vector<WideString> items;
  const TSMTPErrors& errors = *SMTP1->Errors();
  for (int i = 1; i <= errors.Count(); ++i) items.push_back(errors.Item(i).Description());
  ErrorDialog(ErrorText(Number, Description, items));
}

void TSendMailToOrvalleForm::ErrorDialog(const std::string& AText) {
  Application().HandleException(nullptr, std::make_exception_ptr(Exception(AText)));
}

}  // namespace Vantry
