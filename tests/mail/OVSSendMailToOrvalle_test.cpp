// The send-mail form driven as a user drives it (clicks and keys on the
// offscreen platform) against a real SMTP server on a loopback port.

#include "mail/OVSSendMailToOrvalle.h"

#include "forms/Dialogs.h"
#include "platform/Application.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace Vantry;

namespace {

// The control's recording server, in a folder of its own: msg-<k>.eml holds
// the k-th message as received, msg-<k>.json its envelope, log the dialogue.
class TSmtpServer {
public:
  explicit TSmtpServer(const QStringList& AOptions) {
    FProcess.start(QStringLiteral("/usr/bin/python3"), QStringList{VANTRY_SMTP_SERVER, FDir.path()} + AOptions);
    if (FProcess.waitForReadyRead(20000)) FPort = FProcess.readLine().trimmed().mid(5).toInt();
  }
  ~TSmtpServer() {
    FProcess.closeWriteChannel();
    if (!FProcess.waitForFinished(5000)) FProcess.kill(), FProcess.waitForFinished();
  }
  QString Host() const { return QStringLiteral("127.0.0.1:%1").arg(FPort); }
  QByteArray File(const QString& AName) const {
    QFile f(FDir.filePath(AName));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  QByteArray Message(int k) const { return File(QStringLiteral("msg-%1.eml").arg(k)); }
  // What a mail reader shows of the k-th message: its decoded headers and text.
  QJsonObject Reader(int k) const {
    return QJsonDocument::fromJson(File(QStringLiteral("msg-%1.json").arg(k))).object()["reader"].toObject();
  }
  int Count() const { return int(QDir(FDir.path()).entryList({"msg-*.eml"}).size()); }

private:
  QTemporaryDir FDir;
  QProcess FProcess;
  int FPort = 0;
};

// With VANTRY_SCREENSHOTS naming a folder, saves the form there as a person sees it.
void Snapshot(QWidget& AForm, const char* AName) {
  const QString dir = qEnvironmentVariable("VANTRY_SCREENSHOTS");
  if (!dir.isEmpty()) AForm.grab().save(QDir(dir).filePath(QString::fromLatin1(AName) + ".png"));
}

// Answers the next file dialog: picks APath, or cancels when it is empty.
void AnswerFileDialog(const QString& APath) {
  QTimer::singleShot(0, [APath] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) return AnswerFileDialog(APath);
    if (APath.isEmpty()) return dialog->reject();
    dialog->selectFile(APath);
    static_cast<QDialog*>(dialog)->accept();  // the file dialog's own accept is protected
  });
}

// Types AText key by key, Return for each line end.
void Type(QWidget* AWidget, const QString& AText) {
  for (QChar c : AText)
    QTest::sendKeyEvent(QTest::Click, AWidget, c == '\n' ? Qt::Key_Return : Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// Ticks the attach box and picks AFile, or clears the box when AFile is empty.
void Attach(TSendMailToOrvalleForm& AForm, const std::string& AFile) {
  if (!AFile.empty()) AnswerFileDialog(QString::fromStdString(AFile));
  QTest::mouseClick(AForm.cbSendFile, Qt::LeftButton, {}, QPoint(5, 8));
}

// A filled form beside its own recording server, as a user finds it.
struct TSession {
  explicit TSession(const QStringList& AServerOptions = {}) : Server(AServerOptions) {
    Form.eTo->setText("vendor@example.org");
    Form.eSMTPServer->setText(Server.Host());
    Form.eHomeAddr->setText("user@example.org");
    Form.show();
    QObject::connect(Form.SMTPStatus, &QStatusBar::messageChanged, [this](const QString& s) { Status << s; });
  }
  bool Connect() {
    Form.PageControl1->setCurrentWidget(Form.ConPage);
    QTest::mouseClick(Form.SMTPConnectBtn, Qt::LeftButton);
    return QTest::qWaitFor([this] { return Form.SMTPConnectBtn->text() == "Disconnect"; }, 10000);
  }
  // Clicks "Send"; returns once the form and the server hold still.
  int Send(int AExpected) {
    Form.PageControl1->setCurrentWidget(Form.SendPage);
    QTest::mouseClick(Form.SendBtn, Qt::LeftButton);
    (void)QTest::qWaitFor([&] { return Server.Count() >= AExpected && !Form.SMTP1->Busy(); }, 10000);
    QTest::qWait(50);
    return Server.Count();
  }
  int Sent() const { return Status.filter("Mail sent to vendor@example.org (").size(); }
  // What the About form does once the form has closed.
  void FreeForm() { Owned.reset(); }

  VantryTest::TRecordedApplication App;
  TSmtpServer Server;
  std::unique_ptr<TSendMailToOrvalleForm> Owned = std::make_unique<TSendMailToOrvalleForm>();
  TSendMailToOrvalleForm& Form = *Owned;
  QStringList Status;
};

QList<QByteArray> FormHeaders(const QByteArray& ACC, const QByteArray& ASubject) {
  return {"To: vendor@example.org", "From: user@example.org", "CC: " + ACC, "Subject: Orvalle AUTOMSG: " + ASubject,
          "Content-Type: TEXT/PLAIN; charset=US-ASCII", "X-Mailer: Orvalle X-Mailer version 1.0"};
}

// The form's six headers in order, then only the control's own additions;
// returns the body.
QByteArray ExpectHeaders(const QByteArray& ARaw, const QList<QByteArray>& AHeaders) {
  const QList<QByteArray> lines = ARaw.left(ARaw.indexOf("\r\n\r\n")).split('\n');
  EXPECT_GE(lines.size(), AHeaders.size());
  for (qsizetype i = 0; i < lines.size(); ++i) {
    if (i < AHeaders.size()) {
      EXPECT_EQ(lines[i].trimmed(), AHeaders[i].trimmed());
    } else {
      EXPECT_TRUE(lines[i].startsWith("Date: ") || lines[i].startsWith("Message-ID: ") || lines[i].startsWith("MIME-Version: "))
          << lines[i].constData();
    }
  }
  return ARaw.mid(ARaw.indexOf("\r\n\r\n") + 4);
}

TEST(SendMailFormLayout, ResizeRuleAndConnectButton) {
  TSendMailToOrvalleForm form;
  form.show();
  EXPECT_EQ(form.PageControl1->currentWidget(), form.SendPage);
  EXPECT_EQ(form.size(), QSize(416, 329));
  struct { int Width, ButtonLeft, CheckLeft, EditWidth; } widths[] = {{416, 316, 53, 250}, {600, 500, 237, 434}, {330, 230, -33, 164}};
  for (const auto& row : widths) {
    form.resize(row.Width, 329);
    QApplication::processEvents();
    SCOPED_TRACE(row.Width);
    EXPECT_EQ(form.SendBtn->geometry(), QRect(row.ButtonLeft, 15, 90, 25));
    EXPECT_EQ(form.ClearBtn->geometry(), QRect(row.ButtonLeft, 48, 90, 25));
    EXPECT_EQ(form.cbSendFile->geometry(), QRect(row.CheckLeft, 80, 353, 17));
    for (QLineEdit* edit : {form.eTo, form.eCC, form.eSubject}) EXPECT_EQ(edit->width(), row.EditWidth);
  }
  struct { const char *Server, *Address, *RealName; bool Enabled; } typed[] = {
      {"", "", "Ann", false}, {"mail", "", "", false}, {"", "a@b", "", false}, {"mail", "a@b", "", true}};
  for (const auto& row : typed) {
    TSendMailToOrvalleForm fresh;
    QTest::keyClicks(fresh.eSMTPServer, row.Server);
    QTest::keyClicks(fresh.eHomeAddr, row.Address);
    QTest::keyClicks(fresh.EDRealName, row.RealName);
    EXPECT_EQ(fresh.SMTPConnectBtn->isEnabled(), row.Enabled) << row.Server << "/" << row.Address;
  }
}

TEST(SendMailFormLayout, AttachCaptionsAndClear) {
  VantryTest::TTempDir temp;
  const QString file = QString::fromStdString(temp.WriteFile("notes & more.txt", "notes\n"));
  const QString shown = QString(file).replace("&", "&&");
  TSendMailToOrvalleForm form;
  form.show();
  form.eTo->setText("vendor@example.org");
  struct { QString Answer; bool Ticked; QString Caption; } clicks[] = {
      {file, true, "&Attach File: " + shown},
      {{}, false, "&Attach Text File"},  // unticked: no dialog
      {{}, false, "&Attach Text File"},  // ticked, dialog cancelled
      {file, true, "&Attach Text File: " + shown}};
  for (const auto& row : clicks) {
    if (!form.cbSendFile->isChecked()) AnswerFileDialog(row.Answer);
    QTest::mouseClick(form.cbSendFile, Qt::LeftButton, {}, QPoint(5, 8));
    EXPECT_EQ(form.cbSendFile->isChecked(), row.Ticked);
    EXPECT_EQ(form.cbSendFile->text(), row.Caption);
  }
  QTest::keyClicks(form.reMessageText, "text");
  form.AutomaticMessage().Add("kept");
  QTest::mouseClick(form.ClearBtn, Qt::LeftButton);
  for (QLineEdit* edit : {form.eTo, form.eCC, form.eSubject}) EXPECT_TRUE(edit->text().isEmpty());
  EXPECT_TRUE(form.reMessageText->toPlainText().isEmpty());
  EXPECT_EQ(form.OpenDialog->FileName, "");
  EXPECT_TRUE(form.cbSendFile->isChecked());
  EXPECT_EQ(form.cbSendFile->text(), clicks[3].Caption);
  EXPECT_EQ(form.AutomaticMessage().Count(), 1);
}

TEST(SendMailFormTexts, ProgressAndErrors) {
  struct { int16_t State; int Done, Total; bool Aborted; const char* Text; } rows[] = {
      {1, 0, 0, false, "Initiating document transfer"}, {2, 0, 0, false, "Sending headers"},
      {3, 512, 2048, false, "Sending data: 512 of 2048 bytes (25%)"},
      {3, 2047, 2048, false, "Sending data: 2047 of 2048 bytes (99%)"}, {3, 10, 0, false, "Sending..."},
      {5, 300, 300, false, "Mail sent to a@b (300 bytes data)"}, {5, 30, 300, true, "Transfer aborted"}};
  for (const auto& row : rows)
    EXPECT_EQ(TSendMailToOrvalleForm::DocInputStatusText(row.State, row.Done, row.Total, row.Aborted, "a@b"), row.Text);
  EXPECT_FALSE(TSendMailToOrvalleForm::DocInputStatusText(4, 1, 2, false, "a@b"));
  EXPECT_EQ(TSendMailToOrvalleForm::ErrorText(550, "Refused", {"one", "two", "three"}), "550 - Refused(one)\r(two)\r(three)");
  EXPECT_EQ(TSendMailToOrvalleForm::ErrorText(20002, "Connection refused", {}), "20002 - Connection refused");
  // A long refusal: its lines once each, 20 of them, then how many more.
  std::vector<WideString> lines;
  for (int i = 1; i <= 50; ++i) lines.push_back(QString("line %1").arg(i));
  const std::string text = TSendMailToOrvalleForm::ErrorText(550, QStringList(lines.begin(), lines.end()).join(' '), lines);
  std::string expected = "550 - line 1";
  for (int i = 2; i <= 20; ++i) expected += "\r(line " + std::to_string(i) + ")";
  EXPECT_EQ(text, expected.replace(expected.find("\r"), 1, "") + "\r\u2026 (30 more lines)");
  EXPECT_EQ(TSendMailToOrvalleForm::ErrorText(554, "a b", {"a", "b"}), "554 - a(b)");
}

// Messages as the server received them, one session for all; a non-ASCII
// message is checked as a reader shows it.
TEST(SendMailFormSending, TheLaidOutMessages) {
  struct { const char *CC, *Subject, *RealName; TStringList Automatic; const char *Text, *Attachment, *Rcpt; } rows[] = {
      {"", "Hello", "Ann User", {"%%% Product: Vantry 1.0", "%%% Host: IDE"}, "Line one\nLine two", nullptr,
       R"("to": ["vendor@example.org"])"},
      {"copy@example.org", "", "", {}, ".dot first\n", nullptr, R"(["vendor@example.org", "copy@example.org"])"},
      {"", "Files", "Ann", {}, "See the file", "first\nsecond\n", nullptr},
      {"", "Grüße", "Ann", {}, "Grüße aus\u00A0Köln", nullptr, nullptr}};  // a no-break space stays one
  TSession session;
  ASSERT_TRUE(session.Connect());
  TSendMailToOrvalleForm& form = session.Form;
  VantryTest::TTempDir temp;
  int sent = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Subject);
    form.eCC->setText(row.CC);
    form.eSubject->setText(row.Subject);
    form.EDRealName->setText(row.RealName);
    form.AutomaticMessage().Assign(row.Automatic);
    form.reMessageText->clear();
    Type(form.reMessageText, row.Text);
    if (form.cbSendFile->isChecked() != bool(row.Attachment)) Attach(form, row.Attachment ? temp.WriteFile("a.txt", row.Attachment) : "");
    if (!sent) Snapshot(form, "send-page-filled");
    const int before = sent;
    sent += row.Attachment ? 2 : 1;
    ASSERT_EQ(session.Send(sent), sent);
    EXPECT_EQ(session.Sent(), sent);
    const QByteArray message = session.Server.Message(before + 1);
    QByteArray block = QByteArray("%%% BEGIN OF AUTOMATIC MESSAGE \r\n%%% SENT FROM: ") + row.RealName + "\r\n";
    for (const std::string& line : row.Automatic) block += QByteArray::fromStdString(line) + "\r\n";
    block += "%%% END OF AUTOMATIC MESSAGE\r\n   \r\n   \r\n";
    if (!row.Rcpt && !row.Attachment) {  // not ASCII: the control's encoding applies
      const QJsonObject reader = session.Server.Reader(before + 1);
      EXPECT_EQ(reader["Subject"].toString(), QString("Orvalle AUTOMSG: ") + row.Subject);
      EXPECT_EQ(reader["body"].toString(), QString(block + row.Text + "\r\n"));
      continue;
    }
    QByteArray body = block + QByteArray(row.Text).replace("\n", "\r\n");
    EXPECT_EQ(ExpectHeaders(message, FormHeaders(row.CC, row.Subject)), body.endsWith("\r\n") ? body : body + "\r\n");
    if (row.Rcpt) {
      EXPECT_TRUE(session.Server.File(QString("msg-%1.json").arg(before + 1)).contains(row.Rcpt));
    } else {  // the attachment
      EXPECT_EQ(ExpectHeaders(session.Server.Message(sent), FormHeaders(row.CC, row.Subject)), "first\r\nsecond\r\n");
    }
  }
  EXPECT_TRUE(session.App.Errors.empty()) << session.App.Errors.front();
  EXPECT_EQ(session.Server.File("log").count("CONNECT"), 1);
}

// Each way a send can fail: the boxes shown, the last status, what arrived.
TEST(SendMailFormSending, Failures) {
  struct {
    const char* Name; QStringList Options; bool Connect; const char* CC; bool LostAttachment;
    QStringList Boxes; int Arrived; const char* LastStatus;
  } rows[] = {
      {"not connected", {}, false, "", false, {"Not connected to SMTP server"}, 0, ""},
      {"malformed cc", {}, true, "not an address", false, {"20008 - "}, 0, ""},
      // the text refused, its attachment is not sent on its own
      {"recipient refused", {"--reject-rcpt", "vendor@example.org"}, true, "", true, {"550 - "}, 0,
       "Transfer aborted: the attached file was not sent either"},
      {"dropped in data", {"--close-in-data", "10"}, true, "", false, {"20005 - "}, 0, "Transfer aborted"},
      {"attachment unreadable", {}, true, "", true, {"20006 - "}, 1, "Transfer aborted"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TSession session(row.Options);
    session.Form.eCC->setText(row.CC);
    VantryTest::TTempDir temp;
    if (row.LostAttachment) {
      Attach(session.Form, temp.WriteFile("gone.txt", "x"));
      std::filesystem::remove(temp / "gone.txt");
    }
    if (row.Connect) {
      ASSERT_TRUE(session.Connect());
    }
    EXPECT_EQ(session.Send(row.Arrived), row.Arrived);
    const std::vector<std::string>& boxes = session.App.Errors;
    ASSERT_EQ(boxes.size(), size_t(row.Boxes.size())) << (boxes.empty() ? "" : boxes.front());
    for (qsizetype i = 0; i < row.Boxes.size(); ++i) EXPECT_TRUE(QString::fromStdString(boxes[i]).startsWith(row.Boxes[i])) << boxes[i];
    EXPECT_EQ(session.Status.value(session.Status.size() - 1), row.LastStatus);
    if (row.Options.contains("--reject-rcpt")) {  // the server's two reply lines, each in parentheses
      const QRegularExpression twoItems("^550 - 5.1.1 Mailbox unknown\\(5.1.1 Recipient refused\\)$");
      EXPECT_TRUE(QString::fromStdString(boxes[0]).contains(twoItems)) << boxes[0];
    }
    if (row.Options.contains("--close-in-data")) {
      Snapshot(session.Form, "send-page-after-error");
      session.Form.PageControl1->setCurrentWidget(session.Form.ConPage);
      Snapshot(session.Form, "connection-page-after-error");
    }
  }
}

// The connection button acts only in states 4 and 6; closing disconnects.
TEST(SendMailFormConnection, ButtonAndClosing) {
  TSession session;
  TSendMailToOrvalleForm& form = session.Form;
  QStringList seen;
  auto formHandler = form.SMTP1->OnStateChanged;
  form.SMTP1->OnStateChanged = [&](TObject* Sender, int16_t State) {
    formHandler(Sender, State);
    seen << QString("%1 %2|%3|%4").arg(State).arg(form.ConnectStatus->currentMessage(), form.SMTPConnectBtn->text(),
                                                   form.eSMTPServer->isEnabled() ? "open" : "locked");
    if (State != stConnected && State != stDisconnected) QTest::mouseClick(form.SMTPConnectBtn, Qt::LeftButton);
  };
  ASSERT_TRUE(session.Connect());
  Snapshot(form, "connection-page-connected");
  QTest::mouseClick(form.SMTPConnectBtn, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == 6; }, 10000));
  const QString host = session.Server.Host();
  EXPECT_EQ(seen, (QStringList{"1 Connecting to SMTP server: " + host + "...|Connect|open", "2 Resolving Host|Connect|open",
                               "3 Host Resolved|Connect|open", "4 Connected to SMTP server: " + host + "|Disconnect|locked",
                               "5 Disconnecting from SMTP server: " + host + "...|Disconnect|open",
                               "6 Disconnected from SMTP server: " + host + "|Connect|open"}));
  ASSERT_TRUE(session.Connect());
  QTimer::singleShot(0, &form, [&] { form.close(); });
  form.ShowModal();
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.SMTP1->State() == stDisconnected; }, 10000));
  EXPECT_EQ(session.Server.File("log").count("QUIT"), 2);
  EXPECT_TRUE(session.App.Errors.empty()) << session.App.Errors.front();
}

// While a send waits, the buttons that would start or disturb another are
// off; closing the form ends the wait at once, with no box.
TEST(SendMailFormConnection, ClosingEndsTheWait) {
  TSession session;
  TSendMailToOrvalleForm& form = session.Form;
  form.reMessageText->setPlainText(QString(QString(79, 'x') + '\n').repeated(4000));
  ASSERT_TRUE(session.Connect());
  QList<bool> seen;
  auto formHandler = form.SMTP1->OnDocInput;
  form.SMTP1->OnDocInput = [&](TObject* Sender, TDocInput* DocInput) {
    formHandler(Sender, DocInput);
    if (DocInput->State() != disData || !seen.isEmpty()) return;
    // The buttons as the send left them, then after typing (which
    // re-evaluates them): off both times.
    for (int look = 0; look < 2; ++look) {
      if (look == 1) QTest::keyClicks(form.EDRealName, "typed meanwhile");
      for (QWidget* w : std::initializer_list<QWidget*>{form.SendBtn, form.ClearBtn, form.cbSendFile, form.SMTPConnectBtn})
        seen << w->isEnabled();
    }
    seen << form.Sending();
    Snapshot(form, "send-page-sending");
    form.close();
    seen << form.Sending();  // still inside the wait: it ends once this event is over
  };
  session.Send(0);
  EXPECT_EQ(seen, (QList<bool>{false, false, false, false, false, false, false, false, true, true}));
  EXPECT_FALSE(form.Sending());
  EXPECT_TRUE(form.SendBtn->isEnabled());
  EXPECT_TRUE(session.App.Errors.empty()) << session.App.Errors.front();
  EXPECT_EQ(session.App.Questions.size(), 1u);
}

// Closing during a send asks first, as the About form closes it: the form is
// freed as soon as it has closed. No keeps the form and the send; Yes stops
// the send and says in a box what became of the message: not sent when its
// data had not all gone out, perhaps sent when the server had it whole and
// only its answer was missing (the server keeps it, as real ones do).
// Freeing the form during a send stops it too, without a crash or a word.
TEST(SendMailFormConnection, ClosingOrFreeingDuringASend) {
  enum TWay { AnswerNo, AnswerYes, AnswerYesInTheData, Free };
  for (TWay way : {AnswerNo, AnswerYes, AnswerYesInTheData, Free}) {
    SCOPED_TRACE(way);
    // The server takes a second to answer the end of the data (keeping the
    // message at once, or only when it answers), or takes the data slowly:
    // then a 5 MB attachment, more than the system buffers, is in the data
    // when Yes stops it.
    TSession session(way == AnswerYesInTheData ? QStringList{"--read-rate", "20000"}
                     : way == AnswerYes        ? QStringList{"--store-first", "--slow", "eod=1"}
                                               : QStringList{"--slow", "eod=1"});
    session.App.Answer = way == AnswerNo ? false : true;
    TSendMailToOrvalleForm& form = session.Form;
    form.eSubject->setText("Hello");
    VantryTest::TTempDir temp;
    const std::string big = temp.WriteFile("big.txt", std::string(5 << 20, 'x'));
    if (way == AnswerYesInTheData) {
      form.cbSendFile->setChecked(true);
      form.OpenDialog->FileName = big;
    }
    bool closed = false;
    QObject::connect(&form, &TSendMailToOrvalleForm::Closed, [&] { closed = true; });
    ASSERT_TRUE(session.Connect());
    auto formHandler = form.SMTP1->OnDocInput;
    form.SMTP1->OnDocInput = [&, done = false, begun = 0](TObject* Sender, TDocInput* DocInput) mutable {
      formHandler(Sender, DocInput);
      begun += DocInput->State() == disBegin;
      if (DocInput->State() != disData || done) return;
      // Yes to a message the server holds whole: once it took the last byte.
      if (way == AnswerYes && DocInput->BytesTransferred() < DocInput->BytesTotal()) return;
      if (way == AnswerYesInTheData && begun < 2) return;  // the attachment's data
      done = true;
      if (way == Free) QTimer::singleShot(0, [&] { session.FreeForm(); });
      else QTimer::singleShot(0, &form, [&] { form.close(); });
    };
    form.PageControl1->setCurrentWidget(form.SendPage);
    form.SendBtn->click();  // returns once the send is over, or stopped
    const std::string outcome = way == AnswerYes ? "Sending stopped: the message \"Hello\" may have been sent: the server did not confirm it"
                          : way == AnswerYesInTheData ? "Sending stopped: the file " + QString::fromStdString(big).toStdString() + " was not sent"
                                                      : std::string();
    if (way != Free) {
      EXPECT_EQ(closed, way != AnswerNo);
      EXPECT_EQ(session.App.Questions, std::vector<std::string>{"A message is still being sent. Stop sending and close?"});
      EXPECT_EQ(session.Status.last().toStdString(), outcome.empty() ? "Mail sent to vendor@example.org (90 bytes data)" : outcome);
      // The status line goes with the form: the outcome is told in a box.
      EXPECT_EQ(session.App.Messages, outcome.empty() ? std::vector<std::string>{} : std::vector<std::string>{outcome});
      if (way == AnswerNo) form.close();  // nothing in flight now: no question
      session.FreeForm();
    }
    QTest::qWait(1500);  // time for the server to have taken a message
    EXPECT_EQ(session.Server.Count(), way == Free ? 0 : 1) << "the text, or the message Yes may have sent";
    EXPECT_EQ(session.App.Questions.size(), way == Free ? 0u : 1u);
    EXPECT_TRUE(session.App.Errors.empty()) << session.App.Errors.front();
  }
}

// A send takes the fields as they are when Send is pressed: what is typed
// while the text goes out does not reach the file's message, and the form
// stays locked until the file's message is over too, so a second click
// sends nothing twice. The attachment's path is kept byte for byte. A bad
// CC afterwards is named once and leaves no stale "Mail sent".
TEST(SendMailFormSending, TheFieldsAndTheLockHoldForBothMessages) {
  TSession session;
  TSendMailToOrvalleForm& form = session.Form;
  VantryTest::TTempDir temp;
  const std::string file = temp / "caf\xE9.txt";  // not UTF-8
  std::ofstream(file) << "attached\n";
  form.cbSendFile->setChecked(true);
  form.OpenDialog->FileName = file;
  form.eCC->setText("copy@example.org");
  form.eSubject->setText("Both");
  form.reMessageText->setPlainText("Text");
  ASSERT_TRUE(session.Connect());
  QList<bool> sendEnabled;
  auto formHandler = form.SMTP1->OnDocInput;
  form.SMTP1->OnDocInput = [&](TObject* Sender, TDocInput* DocInput) {
    formHandler(Sender, DocInput);
    if (DocInput->State() != disBegin || sendEnabled.size() == 2) return;
    if (sendEnabled.isEmpty()) {  // the text message: typed meanwhile
      form.eCC->setText("unchecked@example.org, not an address");
      form.eSubject->setText("Changed");
      form.reMessageText->setPlainText("Changed");
    }
    sendEnabled << form.SendBtn->isEnabled();
    if (sendEnabled.size() == 2) Snapshot(form, "send-page-sending-attachment");
    QTimer::singleShot(0, &form, [&] { QTest::mouseClick(form.SendBtn, Qt::LeftButton); });  // as a user's click comes
  };
  ASSERT_EQ(session.Send(2), 2);
  QTest::qWait(500);
  EXPECT_EQ(session.Server.Count(), 2) << "a click during the send sent it again";
  EXPECT_EQ(sendEnabled, (QList<bool>{false, false}));
  EXPECT_EQ(ExpectHeaders(session.Server.Message(2), FormHeaders("copy@example.org", "Both")), "attached\r\n");
  EXPECT_TRUE(session.Server.File("msg-2.json").contains(R"(["vendor@example.org", "copy@example.org"])"));
  EXPECT_TRUE(session.App.Errors.empty()) << session.App.Errors.front();
  EXPECT_TRUE(form.SendBtn->isEnabled());
  EXPECT_EQ(session.Sent(), 2);

  form.SMTP1->OnDocInput = formHandler;
  form.eCC->setText("not an address");
  form.cbSendFile->setChecked(false);
  EXPECT_EQ(session.Send(2), 2);
  EXPECT_EQ(session.App.Errors.size(), 1u);
  EXPECT_EQ(form.SMTPStatus->currentMessage().toStdString(), "") << "no stale outcome of the last send";
}

// The question "Stop sending and close?" stands in a modal box; when the
// send fails meanwhile (its error shown over the question) and so ends,
// the question goes by itself and the form closes as asked.
TEST(SendMailFormConnection, AQuestionOutlivedByTheSendGoes) {
  // Questions in real boxes, errors only noted.
  struct TBoxes : TApplicationServices {
    std::vector<std::string> Errors;
    void ShowException(TObject*, const std::string& AMessage) override { Errors.push_back(AMessage); }
    bool AskYesNo(const std::string& AText) override {
      QMessageBox box(QMessageBox::Question, "", QString::fromStdString(AText), QMessageBox::Yes | QMessageBox::No,
                      QApplication::activeModalWidget());
      return box.exec() == QMessageBox::Yes;
    }
  } boxes;
  TSession session({"--slow", "eod=1", "--reject-data"});  // refused after a second
  TApplicationServices* saved = Application().SetServices(&boxes);
  TSendMailToOrvalleForm& form = session.Form;
  bool closed = false;
  QObject::connect(&form, &TSendMailToOrvalleForm::Closed, [&] { closed = true; });
  ASSERT_TRUE(session.Connect());
  auto formHandler = form.SMTP1->OnDocInput;
  form.SMTP1->OnDocInput = [&, done = false](TObject* Sender, TDocInput* DocInput) mutable {
    formHandler(Sender, DocInput);
    if (DocInput->State() == disData && !std::exchange(done, true)) QTimer::singleShot(0, &form, [&] { form.close(); });
  };
  auto questionShown = [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (qobject_cast<QMessageBox*>(w) && w->isVisible()) return true;
    return false;
  };
  bool asked = false, stood = false;
  QTimer watch;  // looks at the boxes from inside the question's loop
  QElapsedTimer clock;
  clock.start();
  QObject::connect(&watch, &QTimer::timeout, [&] {
    asked |= questionShown();
    if (clock.elapsed() < 6000 || !questionShown()) return;
    stood = true;  // still there long after the send ended: answer it
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w)) box->reject();
  });
  watch.start(20);
  form.PageControl1->setCurrentWidget(form.SendPage);
  form.SendBtn->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return closed || stood; }, 8000));
  watch.stop();
  Application().SetServices(saved);
  EXPECT_TRUE(asked);
  EXPECT_FALSE(stood) << "the question outlived the send";
  EXPECT_TRUE(closed);
  ASSERT_EQ(boxes.Errors.size(), 1u);
  EXPECT_TRUE(boxes.Errors[0].starts_with("554 - ")) << boxes.Errors[0];
}

}  // namespace
