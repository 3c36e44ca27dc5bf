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
  QList<QByteArray> Send(int AExpected) {
    Form.PageControl1->setCurrentWidget(Form.SendPage);
    QTest::mouseClick(Form.SendBtn, Qt::LeftButton);
    QTest::qWaitFor([&] { return Server.Messages().size() >= AExpected && !Form.SMTP1->Busy(); }, 10000);
    QTest::qWait(50);
    return Server.Messages();
  }
  int Sent() const { return Status.filter("Mail sent to vendor@example.org (").size(); }

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

QList<QByteArray> FormHeaders(const QByteArray& ACC, const QByteArray& ASubject) {
  return {"To: vendor@example.org", "From: user@example.org", "CC: " + ACC, "Subject: Orvalle AUTOMSG: " + ASubject,
          "Content-Type: TEXT/PLAIN; charset=US-ASCII", "X-Mailer: Orvalle X-Mailer version 1.0"};
}

TEST(SendMailFormSending, TheLaidOutMessagesOverOneSession) {
  struct { const char *CC, *Subject, *RealName; TStringList Automatic; const char *Text, *Envelope; } rows[] = {
      {"", "Hello", "Ann User", {"%%% Product: Vantry 1.0", "%%% Host: IDE"}, "Line one\nLine two",
       R"("to": ["vendor@example.org"])"},
      {"copy@example.org", "", "", {}, ".dot first\n", R"("to": ["vendor@example.org", "copy@example.org"])"}};
  TSession session;
  ASSERT_TRUE(session.Connect());
  TSendMailToOrvalleForm& form = session.Form;
  for (int k = 0; k < 2; ++k) {
    const auto& row = rows[k];
    form.eCC->setText(row.CC);
    form.eSubject->setText(row.Subject);
    form.EDRealName->setText(row.RealName);
    form.AutomaticMessage().Assign(row.Automatic);
    form.reMessageText->clear();
    TypeMessage(form.reMessageText, row.Text);
    form.PageControl1->setCurrentWidget(form.SendPage);
    if (k == 0) Snapshot(form, "send-page-filled");
    const QList<QByteArray> messages = session.Send(k + 1);
    ASSERT_EQ(messages.size(), k + 1);
    ExpectHeaders(messages[k], FormHeaders(row.CC, row.Subject));
    QByteArray body = QByteArray("%%% BEGIN OF AUTOMATIC MESSAGE \r\n%%% SENT FROM: ") + row.RealName + "\r\n";
    for (const std::string& line : row.Automatic) body += QByteArray::fromStdString(line) + "\r\n";
    body += "%%% END OF AUTOMATIC MESSAGE\r\n   \r\n   \r\n" + QByteArray(row.Text).replace("\n", "\r\n");
    if (!body.endsWith("\r\n")) body += "\r\n";  // SMTP data always ends on a line end
    EXPECT_EQ(Body(messages[k]), body);
    EXPECT_TRUE(session.Server.Envelope(k + 1).contains(row.Envelope)) << session.Server.Envelope(k + 1).constData();
    EXPECT_EQ(session.Sent(), k + 1) << session.Status.join('|').toStdString();
  }
  EXPECT_TRUE(session.App.Errors.empty()) << session.App.Errors.front();
  EXPECT_EQ(session.Server.Log().count("CONNECT"), 1);
}

TEST(SendMailFormSending, AttachmentIsASecondMessage) {
  TSession session;
  VantryTest::TTempDir temp;
  AnswerFileDialog(QString::fromStdString(temp.WriteFile("notes.txt", "first\nsecond\n")));
  QTest::mouseClick(session.Form.cbSendFile, Qt::LeftButton, {}, QPoint(5, 8));
  QTest::keyClicks(session.Form.eSubject, "Files");
  ASSERT_TRUE(session.Connect());
  const QList<QByteArray> messages = session.Send(2);
  ASSERT_EQ(messages.size(), 2);
  for (const QByteArray& message : messages) ExpectHeaders(message, FormHeaders("", "Files"));
  EXPECT_EQ(Body(messages[1]), "first\r\nsecond\r\n");
  EXPECT_EQ(session.Sent(), 2);
  EXPECT_TRUE(session.App.Errors.empty());
}

// Each way a send can fail: the boxes shown, the last status, what arrived.
TEST(SendMailFormSending, Failures) {
  struct {
    const char* Name; QStringList Options; bool Connect; const char* CC; bool LostAttachment;
    QStringList Boxes; int Arrived; const char* LastStatus;
  } rows[] = {
      {"not connected", {}, false, "", false, {"Not connected to SMTP server"}, 0, ""},
      {"malformed cc", {}, true, "not an address", false, {"20008 - *", "Incorrect address format"}, 0, ""},
      {"recipient refused", {"--reject-rcpt", "vendor@example.org"}, true, "", true, {"550 - *(*)\r(*)"}, 0,
       "Transfer aborted"},
      {"dropped in data", {"--close-in-data", "10"}, true, "", false, {"20005 - *"}, 0, "Transfer aborted"},
      {"attachment unreadable", {}, true, "", true, {"20006 - *"}, 1, "Transfer aborted"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TSession session(row.Options);
    session.Form.eCC->setText(row.CC);
    VantryTest::TTempDir temp;
    if (row.LostAttachment) {
      const std::string file = temp.WriteFile("gone.txt", "x");
      AnswerFileDialog(QString::fromStdString(file));
      QTest::mouseClick(session.Form.cbSendFile, Qt::LeftButton, {}, QPoint(5, 8));
      std::filesystem::remove(file);
    }
    if (row.Connect) ASSERT_TRUE(session.Connect());
    EXPECT_EQ(session.Send(row.Arrived).size(), row.Arrived);
    const std::vector<std::string>& boxes = session.App.Errors;
    ASSERT_EQ(boxes.size(), size_t(row.Boxes.size())) << (boxes.empty() ? "" : boxes.front());
    for (qsizetype i = 0; i < row.Boxes.size(); ++i)
      EXPECT_TRUE(Matches(QString::fromStdString(boxes[i]), row.Boxes[i])) << boxes[i];
    EXPECT_EQ(session.Status.value(session.Status.size() - 1), QString::fromLatin1(row.LastStatus));
    if (std::string(row.Name) == "dropped in data") {
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
    seen << QString::number(State) + " " + form.ConnectStatus->currentMessage() + "|" + form.SMTPConnectBtn->text() +
                (form.eSMTPServer->isEnabled() ? "|open" : "|locked");
    if (State != stConnected && State != stDisconnected) QTest::mouseClick(form.SMTPConnectBtn, Qt::LeftButton);
  };
  ASSERT_TRUE(session.Connect());
  QTest::mouseClick(form.SMTPConnectBtn, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == 6; }, 10000));
  const QString host = session.Server.Host();
  EXPECT_EQ(seen, (QStringList{"1 Connecting to SMTP server: " + host + "...|Connect|open", "2 Resolving Host|Connect|open",
                               "3 Host Resolved|Connect|open", "4 Connected to SMTP server: " + host + "|Disconnect|locked",
                               "5 Disconnecting from SMTP server: " + host + "...|Disconnect|open",
                               "6 Disconnected from SMTP server: " + host + "|Connect|open"}));
  ASSERT_TRUE(session.Connect());
  Snapshot(form, "connection-page-connected");
  QTimer::singleShot(0, &form, [&] { form.close(); });
  form.ShowModal();
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.SMTP1->State() == stDisconnected && session.Server.Log().contains("QUIT"); }, 10000));
  EXPECT_TRUE(session.App.Errors.empty()) << session.App.Errors.front();
}

// While a send waits, the buttons that would start or disturb another are
// off; closing the form ends the wait at once, with no box.
TEST(SendMailFormConnection, ClosingEndsTheWait) {
  TSession session;
  TSendMailToOrvalleForm& form = session.Form;
  form.reMessageText->setPlainText(QString(QString(79, QLatin1Char('x')) + QLatin1Char('\n')).repeated(4000));
  ASSERT_TRUE(session.Connect());
  QList<bool> seen;
  auto formHandler = form.SMTP1->OnDocInput;
  form.SMTP1->OnDocInput = [&](TObject* Sender, TDocInput* DocInput) {
    formHandler(Sender, DocInput);
    if (DocInput->State() != disData || !seen.isEmpty()) return;
    for (QWidget* w : std::initializer_list<QWidget*>{form.SendBtn, form.ClearBtn, form.cbSendFile, form.SMTPConnectBtn})
      seen << w->isEnabled();
    seen << form.Sending();
    Snapshot(form, "send-page-sending");
    form.close();
    seen << form.Sending();
  };
  session.Send(0);
  EXPECT_EQ(seen, (QList<bool>{false, false, false, false, true, true}));
  EXPECT_FALSE(form.Sending());
  EXPECT_TRUE(form.SendBtn->isEnabled());
  EXPECT_TRUE(session.App.Errors.empty()) << session.App.Errors.front();
}

}  // namespace
