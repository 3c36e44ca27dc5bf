// The send-mail form driven as a user drives it (clicks and keys on the
// offscreen platform) against a real SMTP server on a loopback port.

#include "mail/OVSSendMailToOrvalle.h"

#include "forms/Dialogs.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>

using namespace Vantry;

namespace {

// The recording server shared with the control's tests, in a folder of its own.
class TSmtpServer {
public:
  explicit TSmtpServer(const QStringList& AOptions = {}) {
    FProcess.start(QStringLiteral("/usr/bin/python3"), QStringList{VANTRY_SMTP_SERVER, FDir.path()} + AOptions);
    if (FProcess.waitForReadyRead(20000)) FPort = FProcess.readLine().trimmed().mid(5).toInt();
  }
  ~TSmtpServer() {
    FProcess.closeWriteChannel();
    if (!FProcess.waitForFinished(5000)) FProcess.kill(), FProcess.waitForFinished();
  }
  QString Host() const { return QStringLiteral("127.0.0.1:%1").arg(FPort); }
  int Port() const { return FPort; }
  // Each message as received, in arrival order.
  QList<QByteArray> Messages() const {
    QList<QByteArray> result;
    for (int k = 1; QFile::exists(Path("msg-%1.eml", k)); ++k) result << Read(Path("msg-%1.eml", k));
    return result;
  }
  QByteArray Envelope(int k) const { return Read(Path("msg-%1.json", k)); }
  QByteArray Log() const { return Read(FDir.filePath(QStringLiteral("log"))); }

private:
  QString Path(const char* AName, int k) const { return FDir.filePath(QString::fromLatin1(AName).arg(k)); }
  static QByteArray Read(const QString& APath) {
    QFile f(APath);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
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

class SendMailForm : public ::testing::Test {
protected:
  SendMailForm() {
    Form.eTo->setText(QStringLiteral("vendor@example.org"));
    Form.eSMTPServer->setText(Server.Host());
    Form.eHomeAddr->setText(QStringLiteral("user@example.org"));
    Form.EDRealName->setText(QStringLiteral("Ann User"));
    Form.AutomaticMessage().Assign(TStringList{"%%% Product: Vantry 1.0"});
    Form.show();
    QObject::connect(Form.SMTPStatus, &QStatusBar::messageChanged, [this](const QString& s) { Status << s; });
  }
  void Type(QWidget* AWidget, const QString& AText) { QTest::keyClicks(AWidget, AText); }
  bool Connect() {
    Form.PageControl1->setCurrentWidget(Form.ConPage);
    QTest::mouseClick(Form.SMTPConnectBtn, Qt::LeftButton);
    return QTest::qWaitFor([this] { return Form.SMTP1->State() == stConnected || Form.SMTP1->State() == stDisconnected; }, 10000) &&
           Form.SMTP1->State() == stConnected;
  }
  void Send() {
    Form.PageControl1->setCurrentWidget(Form.SendPage);
    QTest::mouseClick(Form.SendBtn, Qt::LeftButton);
  }
  // Sent mail has a long life: waits for what the server holds to settle.
  QList<QByteArray> Received(int ACount) {
    QTest::qWaitFor([&] { return Server.Messages().size() >= ACount && !Form.SMTP1->Busy(); }, 10000);
    return Server.Messages();
  }

  VantryTest::TRecordedApplication App;
  TSmtpServer Server;
  TSendMailToOrvalleForm Form;
  QStringList Status;
};

// The header block the form writes, then the control's own additions only.
void ExpectHeaders(const QByteArray& ARaw, const QList<QByteArray>& AHeaders) {
  const QList<QByteArray> lines = ARaw.left(ARaw.indexOf("\r\n\r\n")).split('\n');
  ASSERT_GE(lines.size(), AHeaders.size()) << ARaw.constData();
  for (qsizetype i = 0; i < AHeaders.size(); ++i) EXPECT_EQ(lines[i].trimmed(), AHeaders[i].trimmed());
  for (qsizetype i = AHeaders.size(); i < lines.size(); ++i)
    EXPECT_TRUE(lines[i].startsWith("Date: ") || lines[i].startsWith("Message-ID: ") || lines[i].startsWith("MIME-Version: "))
        << lines[i].constData();
}

// Whether AText is APattern, each '*' in which stands for any text.
bool Matches(const QString& AText, const QString& APattern) {
  const QString pattern = QRegularExpression::escape(APattern).replace(QStringLiteral("\\*"), QStringLiteral(".*"));
  return QRegularExpression(QRegularExpression::anchoredPattern(pattern), QRegularExpression::DotMatchesEverythingOption)
      .match(AText)
      .hasMatch();
}

QByteArray Body(const QByteArray& ARaw) { return ARaw.mid(ARaw.indexOf("\r\n\r\n") + 4); }

struct TResizeRow { int Width, ButtonLeft, CheckLeft, EditWidth; };

TEST(SendMailFormLayout, ResizeRuleReadsTheFormWidth) {
  TSendMailToOrvalleForm form;
  form.show();
  EXPECT_EQ(form.PageControl1->currentWidget(), form.SendPage);
  EXPECT_EQ(form.size(), QSize(416, 329));
  for (TResizeRow row : {TResizeRow{416, 316, 53, 250}, {600, 500, 237, 434}, {330, 230, -33, 164}}) {
    form.resize(row.Width, 329);
    QApplication::processEvents();
    SCOPED_TRACE(row.Width);
    EXPECT_EQ(form.SendBtn->geometry(), QRect(row.ButtonLeft, 15, 90, 25));
    EXPECT_EQ(form.ClearBtn->geometry(), QRect(row.ButtonLeft, 48, 90, 25));
    EXPECT_EQ(form.cbSendFile->geometry(), QRect(row.CheckLeft, 80, 353, 17));
    for (QLineEdit* edit : {form.eTo, form.eCC, form.eSubject}) EXPECT_EQ(edit->width(), row.EditWidth);
  }
}

TEST(SendMailFormLayout, ConnectNeedsServerAndOwnAddress) {
  struct { const char *Server, *Address, *RealName; bool Enabled; } rows[] = {
      {"", "", "Ann", false}, {"mail", "", "", false}, {"", "a@b", "", false}, {"mail", "a@b", "", true}};
  for (const auto& row : rows) {
    TSendMailToOrvalleForm form;
    QTest::keyClicks(form.eSMTPServer, QString::fromLatin1(row.Server));
    QTest::keyClicks(form.eHomeAddr, QString::fromLatin1(row.Address));
    QTest::keyClicks(form.EDRealName, QString::fromLatin1(row.RealName));
    EXPECT_EQ(form.SMTPConnectBtn->isEnabled(), row.Enabled) << row.Server << "/" << row.Address;
  }
}

TEST(SendMailFormLayout, AttachCaptionsAndClear) {
  VantryTest::TTempDir temp;
  const QString file = QString::fromStdString(temp.WriteFile("notes & more.txt", "notes\n"));
  TSendMailToOrvalleForm form;
  form.show();
  form.eTo->setText(QStringLiteral("vendor@example.org"));
  struct { QString Answer; bool Ticked; QString Caption; } rows[] = {
      {file, true, "&Attach File: " + QString(file).replace("&", "&&")},
      {{}, false, "&Attach Text File"},  // unticked: no dialog
      {{}, false, "&Attach Text File"},  // ticked, dialog cancelled
      {file, true, "&Attach Text File: " + QString(file).replace("&", "&&")}};
  for (const auto& row : rows) {
    if (!form.cbSendFile->isChecked()) AnswerFileDialog(row.Answer);
    QTest::mouseClick(form.cbSendFile, Qt::LeftButton, {}, QPoint(5, 8));
    EXPECT_EQ(form.cbSendFile->isChecked(), row.Ticked);
    EXPECT_EQ(form.cbSendFile->text(), row.Caption);
  }
  QTest::keyClicks(form.reMessageText, QStringLiteral("text"));
  form.AutomaticMessage().Add("kept");
  Snapshot(form, "send-page-attached");
  form.PageControl1->setCurrentWidget(form.ConPage);
  Snapshot(form, "connection-page");
  QTest::mouseClick(form.ClearBtn, Qt::LeftButton);
  for (QLineEdit* edit : {form.eTo, form.eCC, form.eSubject}) EXPECT_TRUE(edit->text().isEmpty());
  EXPECT_TRUE(form.reMessageText->toPlainText().isEmpty());
  EXPECT_EQ(form.OpenDialog->FileName, "");
  EXPECT_TRUE(form.cbSendFile->isChecked());
  EXPECT_EQ(form.cbSendFile->text(), rows[3].Caption);
  EXPECT_EQ(form.AutomaticMessage().Count(), 1);
}

TEST(SendMailFormTexts, ProgressAndErrors) {
  struct { int16_t State; int Done, Total; bool Aborted; const char* Text; } rows[] = {
      {1, 0, 0, false, "Initiating document transfer"}, {2, 0, 0, false, "Sending headers"},
      {3, 512, 2048, false, "Sending data: 512 of 2048 bytes (25%)"},
      {3, 2047, 2048, false, "Sending data: 2047 of 2048 bytes (99%)"}, {3, 10, 0, false, "Sending..."},
      {5, 300, 300, false, "Mail sent to a@b (300 bytes data)"}, {5, 30, 300, true, "Transfer aborted"}};
  for (const auto& row : rows)
    EXPECT_EQ(TSendMailToOrvalleForm::DocInputStatusText(row.State, row.Done, row.Total, row.Aborted, "a@b"),
              QString::fromLatin1(row.Text));
  EXPECT_FALSE(TSendMailToOrvalleForm::DocInputStatusText(4, 1, 2, false, "a@b"));
  EXPECT_EQ(TSendMailToOrvalleForm::ErrorText(550, "Refused", {"one", "two", "three"}), "550 - Refused(one)\r(two)\r(three)");
  EXPECT_EQ(TSendMailToOrvalleForm::ErrorText(20002, "Connection refused", {}), "20002 - Connection refused");
}

// Types the text into the message editor, Return for each line end.
void TypeMessage(QWidget* AEditor, const QString& AText) {
  const QStringList lines = AText.split('\n');
  for (qsizetype i = 0; i < lines.size(); ++i) {
    if (i) QTest::keyClick(AEditor, Qt::Key_Return);
    QTest::keyClicks(AEditor, lines[i]);
  }
}

const QList<QByteArray> FormHeaders(const QByteArray& ACC, const QByteArray& ASubject) {
  return {"To: vendor@example.org", "From: user@example.org", "CC: " + ACC, "Subject: Orvalle AUTOMSG: " + ASubject,
          "Content-Type: TEXT/PLAIN; charset=US-ASCII", "X-Mailer: Orvalle X-Mailer version 1.0"};
}

TEST_F(SendMailForm, SendsTheLaidOutMessages) {
  struct { const char *CC, *Subject, *RealName; TStringList Automatic; const char *Text, *Envelope; } rows[] = {
      {"", "Hello", "Ann User", {"%%% Product: Vantry 1.0", "%%% Host: IDE"}, "Line one\nLine two",
       R"("to": ["vendor@example.org"])"},
      {"copy@example.org", "", "", {}, ".dot first\n", R"("to": ["vendor@example.org", "copy@example.org"])"}};
  ASSERT_TRUE(Connect());
  for (const auto& row : rows) {
    Form.eCC->setText(row.CC);
    Form.eSubject->setText(row.Subject);
    Form.EDRealName->setText(row.RealName);
    Form.AutomaticMessage().Assign(row.Automatic);
    Form.reMessageText->clear();
    TypeMessage(Form.reMessageText, row.Text);
    if (row.Automatic.Count()) Snapshot(Form, "send-page-filled");
    Send();
  }
  const QList<QByteArray> messages = Received(2);
  ASSERT_EQ(messages.size(), 2);
  EXPECT_TRUE(App.Errors.empty()) << App.Errors.front();
  for (int k = 0; k < 2; ++k) {
    const auto& row = rows[k];
    ExpectHeaders(messages[k], FormHeaders(row.CC, row.Subject));
    QByteArray body = QByteArray("%%% BEGIN OF AUTOMATIC MESSAGE \r\n%%% SENT FROM: ") + row.RealName + "\r\n";
    for (const std::string& line : row.Automatic) body += QByteArray::fromStdString(line) + "\r\n";
    body += "%%% END OF AUTOMATIC MESSAGE\r\n   \r\n   \r\n" + QByteArray(row.Text).replace("\n", "\r\n");
    EXPECT_EQ(Body(messages[k]), body);
    EXPECT_TRUE(Server.Envelope(k + 1).contains(row.Envelope)) << Server.Envelope(k + 1).constData();
  }
  EXPECT_EQ(Status.filter("Mail sent to vendor@example.org (").size(), 2) << Status.join('|').toStdString();
  EXPECT_EQ(Server.Log().count("CONNECT"), 1);
}

TEST_F(SendMailForm, AttachmentIsASecondMessage) {
  VantryTest::TTempDir temp;
  AnswerFileDialog(QString::fromStdString(temp.WriteFile("notes.txt", "first\nsecond\n")));
  QTest::mouseClick(Form.cbSendFile, Qt::LeftButton, {}, QPoint(5, 8));
  Type(Form.eSubject, "Files");
  ASSERT_TRUE(Connect());
  Send();
  const QList<QByteArray> messages = Received(2);
  ASSERT_EQ(messages.size(), 2);
  for (const QByteArray& message : messages) ExpectHeaders(message, FormHeaders("", "Files"));
  EXPECT_EQ(Body(messages[1]), "first\r\nsecond\r\n");
  EXPECT_EQ(Status.filter("Mail sent to vendor@example.org (").size(), 2);
  EXPECT_TRUE(App.Errors.empty());
}

// Each way a send can fail: the boxes shown, the last status, what arrived.
TEST(SendMailFormFailures, BoxesStatusAndWhatArrived) {
  struct {
    const char* Name; QStringList Options; bool Connect; const char* CC; bool LostAttachment;
    QStringList Boxes; int Arrived; const char* LastStatus;
  } rows[] = {
      {"not connected", {}, false, "", false, {"Not connected to SMTP server"}, 0, ""},
      {"malformed cc", {}, true, "not an address", false, {"20008 - *", "Incorrect address format"}, 0, ""},
      {"recipient refused", {"--reject-rcpt", "vendor@example.org"}, true, "", false,
       {"550 - *(*)\r(*)"}, 0, "Transfer aborted"},
      {"dropped in data", {"--close-in-data", "10"}, true, "", false, {"20005 - *"}, 0, "Transfer aborted"},
      {"attachment unreadable", {}, true, "", true, {"20006 - *"}, 1, "Transfer aborted"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    VantryTest::TRecordedApplication app;
    TSmtpServer server(row.Options);
    TSendMailToOrvalleForm form;
    QStringList status;
    QObject::connect(form.SMTPStatus, &QStatusBar::messageChanged, [&](const QString& s) { status << s; });
    form.show();
    form.eTo->setText("vendor@example.org");
    form.eCC->setText(row.CC);
    form.eSMTPServer->setText(server.Host());
    form.eHomeAddr->setText("user@example.org");
    VantryTest::TTempDir temp;
    if (row.LostAttachment) {
      const std::string file = temp.WriteFile("gone.txt", "x");
      AnswerFileDialog(QString::fromStdString(file));
      QTest::mouseClick(form.cbSendFile, Qt::LeftButton, {}, QPoint(5, 8));
      std::filesystem::remove(file);
    }
    if (row.Connect) {
      QTest::mouseClick(form.SMTPConnectBtn, Qt::LeftButton);
      ASSERT_TRUE(QTest::qWaitFor([&] { return form.SMTP1->State() == stConnected; }, 10000));
    }
    QTest::mouseClick(form.SendBtn, Qt::LeftButton);
    QTest::qWaitFor([&] { return !form.SMTP1->Busy() && server.Messages().size() >= row.Arrived; }, 10000);
    QTest::qWait(100);
    ASSERT_EQ(app.Errors.size(), size_t(row.Boxes.size())) << (app.Errors.empty() ? "" : app.Errors.front());
    for (qsizetype i = 0; i < row.Boxes.size(); ++i)
      EXPECT_TRUE(Matches(QString::fromStdString(app.Errors[i]), row.Boxes[i])) << app.Errors[i];
    EXPECT_EQ(server.Messages().size(), row.Arrived);
    if (row.Arrived) Snapshot(form, "send-page-after-error");
    EXPECT_EQ(status.value(status.size() - 1), QString::fromLatin1(row.LastStatus));
  }
}

// The connection button acts only in states 4 and 6; closing disconnects.
TEST_F(SendMailForm, ConnectionButtonAndClosing) {
  QList<int> states;
  QStringList texts;
  auto formHandler = Form.SMTP1->OnStateChanged;
  Form.SMTP1->OnStateChanged = [&](TObject* Sender, int16_t State) {
    formHandler(Sender, State);
    states << State;
    texts << Form.ConnectStatus->currentMessage() + "|" + Form.SMTPConnectBtn->text() +
                 (Form.eSMTPServer->isEnabled() ? "|open" : "|locked");
    if (State != stConnected && State != stDisconnected) QTest::mouseClick(Form.SMTPConnectBtn, Qt::LeftButton);
  };
  ASSERT_TRUE(Connect());
  QTest::mouseClick(Form.SMTPConnectBtn, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 6; }, 10000));
  EXPECT_EQ(states, (QList<int>{1, 2, 3, 4, 5, 6}));
  const QString host = Server.Host();
  EXPECT_EQ(texts, (QStringList{"Connecting to SMTP server: " + host + "...|Connect|open", "Resolving Host|Connect|open",
                                "Host Resolved|Connect|open", "Connected to SMTP server: " + host + "|Disconnect|locked",
                                "Disconnecting from SMTP server: " + host + "...|Disconnect|open",
                                "Disconnected from SMTP server: " + host + "|Connect|open"}));
  ASSERT_TRUE(Connect());
  Snapshot(Form, "connection-page-connected");
  Form.close();
  EXPECT_TRUE(QTest::qWaitFor([&] { return Form.SMTP1->State() == stDisconnected && Server.Log().contains("QUIT"); }, 10000));
  EXPECT_TRUE(App.Errors.empty()) << App.Errors.front();
}

// While a send waits, the buttons that would start or disturb another are
// off; closing the form ends the wait at once, with no box.
TEST(SendMailFormWait, ClosingEndsTheWait) {
  VantryTest::TRecordedApplication app;
  TSmtpServer server({"--silent-data"});
  TSendMailToOrvalleForm form;
  form.show();
  form.eTo->setText("vendor@example.org");
  form.eSMTPServer->setText(server.Host());
  form.eHomeAddr->setText("user@example.org");
  QTest::mouseClick(form.SMTPConnectBtn, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.SMTP1->State() == stConnected; }, 10000));
  QList<bool> enabled;
  QTimer::singleShot(500, [&] {
    for (QWidget* w : std::initializer_list<QWidget*>{form.SendBtn, form.ClearBtn, form.cbSendFile, form.SMTPConnectBtn}) enabled << w->isEnabled();
    enabled << form.Sending();
    Snapshot(form, "send-page-sending");
    form.close();
  });
  QTest::mouseClick(form.SendBtn, Qt::LeftButton);
  EXPECT_EQ(enabled, (QList<bool>{false, false, false, false, true}));
  EXPECT_FALSE(form.Sending());
  EXPECT_TRUE(form.SendBtn->isEnabled());
  EXPECT_TRUE(app.Errors.empty()) << app.Errors.front();
  EXPECT_TRUE(server.Messages().isEmpty());
}

}  // namespace
