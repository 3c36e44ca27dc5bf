// The SMTP control against a real server: aiosmtpd on a loopback port,
// started per test by smtp_server.py, which records what it received and
// how a mail reader would show it.

#include "mail/isp3.h"
#include "mail/isp3Message.h"
#include "platform/Application.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <memory>
#include <set>

// Readable QStrings in failure messages.
inline void PrintTo(const QString& S, std::ostream* AOut) { *AOut << '"' << S.toStdString() << '"'; }

namespace {

using namespace Vantry;

bool WaitUntil(const std::function<bool()>& ACondition, int AMilliseconds = 15000) {
  QElapsedTimer clock;
  clock.start();
  QEventLoop loop;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (ACondition() || clock.elapsed() > AMilliseconds) loop.quit();
  });
  tick.start(5);
  if (!ACondition()) loop.exec();
  return ACondition();
}

class TTestServer {
public:
  explicit TTestServer(const QStringList& AArgs = {}) {
    FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess.start("/usr/bin/python3", QStringList{VANTRY_SMTP_SERVER, Dir()} + AArgs);
    QElapsedTimer clock;
    clock.start();
    while (!FProcess.canReadLine() && clock.elapsed() < 20000) FProcess.waitForReadyRead(100);
    QByteArray line = FProcess.readLine().trimmed();
    if (line.startsWith("PORT ")) FPort = line.mid(5).toInt();
  }
  ~TTestServer() {
    FProcess.closeWriteChannel();
    if (!FProcess.waitForFinished(3000)) {
      FProcess.kill();
      FProcess.waitForFinished(3000);
    }
  }
  int Port() const { return FPort; }
  QString Address() const { return "127.0.0.1:" + QString::number(FPort); }
  QString Dir() const { return FDir.path() + "/out"; }
  QStringList Log() const {
    QFile f(Dir() + "/log");
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts) : QStringList();
  }
  int Count(const QString& APrefix) const { return static_cast<int>(Log().filter(QRegularExpression("^" + APrefix)).size()); }
  // Distinct client ports that connected (STARTTLS reports its connection twice).
  int Connections() const {
    std::set<QString> ports;
    for (const QString& l : Log().filter(QRegularExpression("^CONNECT "))) ports.insert(l);
    return static_cast<int>(ports.size());
  }
  int Messages() const { return static_cast<int>(QDir(Dir()).entryList({"msg-*.json"}).size()); }
  QJsonObject Message(int AIndex) const {
    QFile f(Dir() + QString("/msg-%1.json").arg(AIndex));
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
  }

  QByteArray Raw(int AIndex) const {
    QFile f(Dir() + QString("/msg-%1.eml").arg(AIndex));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  // What a mail reader shows of the message (see read_back in smtp_server.py).
  QString Reader(int AIndex, const char* AKey) const { return Message(AIndex)["reader"].toObject()[AKey].toString(); }

private:
  QTemporaryDir FDir;
  QProcess FProcess;
  int FPort = 0;
};

class SMTPTest : public testing::Test {
protected:
  void SetUp() override {
    SMTP = CreateComponent<TSMTP>(nullptr);
    SMTP->SetConnectTimeout(5000);
    SMTP->SetResponseTimeout(10000);  // the silent-server case shortens it
    SMTP->OnStateChanged = [this](TObject*, int16_t AState) {
      States.push_back(AState);
      Events.push_back("state " + std::to_string(AState));
    };
    SMTP->OnDocInput = [this](TObject*, TDocInput* ADoc) {
      Docs.push_back({ADoc->State(), ADoc->BytesTransferred(), ADoc->BytesTotal()});
      Events.push_back("doc " + std::to_string(ADoc->State()));
    };
    SMTP->OnError = [this](TObject*, int16_t ANumber, WideString& ADescription, int32_t, const WideString&,
                           const WideString&, int32_t, bool& ACancelDisplay) {
      ACancelDisplay = true;
      Errors.push_back(ANumber);
      LastError = ADescription;
      ErrorItems = SMTP->Errors()->Count();
      Events.push_back("error " + std::to_string(ANumber));
    };
    SMTP->OnVerify = [this](TObject*) {
      Events.push_back("verify");
      if (OnVerified) OnVerified();
    };
  }
  void TearDown() override { SMTP->Free(); }
  // A fresh control and empty records, for the next row of a table.
  void Restart() {
    TearDown();
    States.clear();
    Docs.clear();
    Errors.clear();
    Events.clear();
    SetUp();
  }

  void StartServer(const QStringList& AArgs = {}) {
    Server = std::make_unique<TTestServer>(AArgs);
    ASSERT_GT(Server->Port(), 0) << "the test SMTP server did not start";
  }
  bool Connect(const QString& AHost = {}) {
    States.clear();
    SMTP->Connect(AHost.isEmpty() ? Server->Address() : AHost);
    return WaitUntil([&] { return !States.empty() && (States.back() == stConnected || States.back() == stDisconnected); }) &&
           SMTP->State() == stConnected;
  }
  void SetHeaders(const QString& ASubject, const QString& ACC = {}) {
    TDocHeaders* h = SMTP->DocInput()->Headers();
    h->Clear();
    h->Add("To", "you@example.org");
    h->Add("From", "me@example.org");
    h->Add("CC", ACC);
    h->Add("Subject", "Orvalle AUTOMSG: " + ASubject);
    h->Add("Content-Type", "TEXT/PLAIN; charset=US-ASCII");
    h->Add("X-Mailer", "Orvalle X-Mailer version 1.0");
  }
  void SendText(const QString& ASubject, const QString& AText, const QString& ACC = {}) {
    SetHeaders(ASubject, ACC);
    SMTP->SendDocument(std::nullopt, SMTP->DocInput()->Headers(), AText, QString(), QString());
  }
  void SendFile(const QString& ASubject, const QString& AFile) {
    SetHeaders(ASubject);
    SMTP->DocInput()->SetFileName(AFile);
    SMTP->SendDocument(std::nullopt, SMTP->DocInput()->Headers(), std::nullopt, SMTP->DocInput()->FileName(), QString());
  }
  bool WaitIdle(int AMilliseconds = 15000) { return WaitUntil([&] { return !SMTP->Busy(); }, AMilliseconds); }
  QString WriteFile(const QString& AName, const QByteArray& AData) {
    QString path = Temp.path() + "/" + AName;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(AData);
    return path;
  }

  QTemporaryDir Temp;
  std::unique_ptr<TTestServer> Server;
  TSMTP* SMTP = nullptr;
  std::vector<int> States;
  struct TDoc {
    int State, Done, Total;
  };
  std::vector<TDoc> Docs;
  std::vector<int> Errors;
  QString LastError;
  int ErrorItems = 0;
  std::vector<std::string> Events;
  std::function<void()> OnVerified;
};

TEST_F(SMTPTest, ConnectSendDisconnectRaiseTheExactSequences) {
  StartServer();
  EXPECT_EQ(SMTP->State(), stDisconnected);
  ASSERT_TRUE(Connect());
  SendText("Hello", "First line\r\nSecond line\r\n");
  EXPECT_TRUE(SMTP->Busy());
  ASSERT_TRUE(WaitIdle());
  SMTP->Disconnect();
  ASSERT_TRUE(WaitUntil([&] { return States.back() == stDisconnected; }));

  EXPECT_EQ(States, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
  ASSERT_GE(Docs.size(), 5u);
  EXPECT_EQ(Docs[0].State, disBegin);
  EXPECT_EQ(Docs[1].State, disHeaders);
  EXPECT_EQ(Docs[2].State, disData);
  EXPECT_EQ(Docs.back().State, disEnd);
  EXPECT_EQ(Docs.back().Done, 25);
  EXPECT_EQ(Docs.back().Total, 25);
  EXPECT_EQ(Docs[Docs.size() - 2].Done, 25) << "the last progress event shows the whole body";
  EXPECT_EQ(Server->Log().filter("QUIT").size(), 1);

  QJsonObject reader = Server->Message(1)["reader"].toObject();
  EXPECT_EQ(reader["Subject"].toString(), "Orvalle AUTOMSG: Hello");
  EXPECT_EQ(reader["body"].toString(), "First line\r\nSecond line\r\n");
  EXPECT_TRUE(Server->Raw(1).startsWith("To: you@example.org\r\nFrom: me@example.org\r\nCC: \r\n"
                                        "Subject: Orvalle AUTOMSG: Hello\r\n"
                                        "Content-Type: TEXT/PLAIN; charset=US-ASCII\r\n"
                                        "X-Mailer: Orvalle X-Mailer version 1.0\r\nDate: "))
      << "a pure-ASCII message goes out as it was built";
  for (const char* added : {"Date", "Message-ID", "MIME-Version"}) EXPECT_TRUE(reader.contains(added)) << added;
  QJsonArray names = reader["header_names"].toArray();
  EXPECT_EQ(names[0].toString(), "To");
  EXPECT_EQ(names[5].toString(), "X-Mailer");
  EXPECT_EQ(names[6].toString(), "Date") << "the added headers follow the given ones";
}

// The form's way: the text goes out from inside OnVerify, the file right
// after the wait, without waiting for the text.
TEST_F(SMTPTest, TwoMessagesShareOneConnectionAndCopiesReachTheEnvelope) {
  StartServer();
  ASSERT_TRUE(Connect());
  QString file = WriteFile("attached.txt", "attached\r\n");
  OnVerified = [&] { SendText("text", "typed\r\n", "copy@example.org"); };
  SMTP->Verify("you@example.org, Copy <copy@example.org>");
  EXPECT_TRUE(SMTP->Busy());
  ASSERT_TRUE(WaitIdle());
  SendFile("file", file);
  ASSERT_TRUE(WaitIdle());

  EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
  ASSERT_EQ(Server->Messages(), 2);
  EXPECT_EQ(Server->Connections(), 1);
  EXPECT_EQ(Server->Message(1)["client_port"], Server->Message(2)["client_port"]);
  EXPECT_EQ(Server->Message(1)["to"].toArray(), (QJsonArray{"you@example.org", "copy@example.org"}));
  EXPECT_EQ(Server->Reader(1, "body"), "typed\r\n");
  EXPECT_EQ(Server->Reader(2, "body"), "attached\r\n");
  EXPECT_EQ(std::count(Events.begin(), Events.end(), "doc 5"), 2);
  EXPECT_EQ(Events.front(), "state 1");
}

// Closing the form while messages are on their way: they go out first,
// then QUIT; a message handed over after Disconnect is refused.
TEST_F(SMTPTest, DisconnectSendsWhatWasHandedOverThenQuits) {
  StartServer();
  ASSERT_TRUE(Connect());
  SendText("one", "one\r\n");
  SendText("two", "two\r\n");
  SMTP->Disconnect();
  EXPECT_EQ(SMTP->State(), stDisconnecting);
  SendText("late", "late\r\n");
  ASSERT_TRUE(WaitUntil([&] { return !SMTP->Busy() && SMTP->State() == stDisconnected; }));
  EXPECT_EQ(States, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Events.back(), "state 6") << "the session ends after the messages handed over";
  EXPECT_EQ(Errors, std::vector<int>{smtpErrNotConnected});
  ASSERT_EQ(Server->Messages(), 2);
  EXPECT_EQ(Server->Reader(2, "Subject"), "Orvalle AUTOMSG: two");
  EXPECT_EQ(Server->Log().filter("QUIT").size(), 1);
  EXPECT_EQ(Server->Connections(), 1);
}

struct TBodyRow {
  const char* Name;
  QString Subject;
  QByteArray Body;  // sent from a file when FromFile, else as the text (UTF-8)
  bool FromFile;
  QString Expected;  // the body as a reader decodes it
  QString Charset;
  QString Encoding;  // Content-Transfer-Encoding, empty when none is added
};

TEST_F(SMTPTest, BodiesAndHeadersReadBackIntact) {
  const QString longLine(2000, 'x');
  const TBodyRow rows[] = {
      {"dots", "dots", ".\r\n..\r\nFrom here\r\n.leading\r\n.", false, ".\r\n..\r\nFrom here\r\n.leading\r\n.\r\n",
       "us-ascii", ""},
      {"bare LF", "lf", "one\ntwo\n", true, "one\r\ntwo\r\n", "us-ascii", ""},
      {"bare CR", "cr", "one\rtwo\r\n\r", true, "one\r\ntwo\r\n\r\n", "us-ascii", ""},
      {"UTF-8 text", QString::fromUtf8("Grüße, 日本"), "Gr\xC3\xBC\xC3\x9F" "e =\r\n", false,
       QString::fromUtf8("Grüße =\n"), "utf-8", "quoted-printable"},
      {"Latin-1 file", "latin", "caf\xE9\r\n", true, QString::fromUtf8("café\n"), "iso-8859-1", "quoted-printable"},
      {"long line", "long", longLine.toLatin1() + "\r\n", true, longLine + "\n", "us-ascii", "quoted-printable"},
  };
  StartServer();
  ASSERT_TRUE(Connect());
  int n = 0;
  for (const TBodyRow& row : rows) {
    if (row.FromFile)
      SendFile(row.Subject, WriteFile(QString("body%1").arg(n), row.Body));
    else
      SendText(row.Subject, QString::fromUtf8(row.Body));
    ++n;
  }
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
  ASSERT_EQ(Server->Messages(), n);
  for (int i = 0; i < n; ++i) {
    const TBodyRow& row = rows[i];
    QJsonObject reader = Server->Message(i + 1)["reader"].toObject();
    QString body = reader["body"].toString();
    if (!row.Encoding.isEmpty()) body.replace("\r\n", "\n");  // the email package decodes to Python's line ends
    EXPECT_EQ(body, row.Expected) << row.Name;
    EXPECT_EQ(reader["Subject"].toString(), "Orvalle AUTOMSG: " + row.Subject) << row.Name;
    EXPECT_EQ(reader["charset"].toString(), row.Charset) << row.Name;
    EXPECT_EQ(reader["Content-Transfer-Encoding"].toString(), row.Encoding) << row.Name;
  }
}

// Sanitizers keep shadow memory of their own beside what the send uses:
// AddressSanitizer and ThreadSanitizer, as GCC and Clang announce them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true;
#elif defined(__has_feature)
constexpr bool Sanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool Sanitized = false;
#endif

long PeakKilobytes(const char* AField) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(AField, 0) == 0) return std::stol(line.substr(std::strlen(AField) + 1));
  return 0;
}

TEST_F(SMTPTest, FiftyMegabytesStreamInConstantMemoryWithProgress) {
  QByteArray line = "0123456789 the quick brown fox jumps over the lazy dog 0123456789\r\n";
  QByteArray data;
  data.reserve(50 << 20);
  while (data.size() < (50 << 20)) data += line;
  QString file = WriteFile("big.txt", data);
  QByteArray sha = QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
  data = QByteArray();
  StartServer();
  ASSERT_TRUE(Connect());
  std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to the present size
  long before = PeakKilobytes("VmRSS:");
  QElapsedTimer clock;
  clock.start();
  SendFile("big", file);
  ASSERT_TRUE(WaitIdle(120000));
  long growth = PeakKilobytes("VmHWM:") - before;
  EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
  ASSERT_EQ(Server->Messages(), 1);
  EXPECT_EQ(Server->Reader(1, "body_sha256").toLatin1(), sha);
  long progress = std::count_if(Docs.begin(), Docs.end(), [](const TDoc& d) { return d.State == disData; });
  EXPECT_GE(progress, 3);
  EXPECT_LE(progress, clock.elapsed() / 50 + 4) << "at most about 20 progress events a second";
  for (size_t i = 1; i < Docs.size(); ++i) EXPECT_GE(Docs[i].Done, Docs[i - 1].Done);
  if (!Sanitized) {
    EXPECT_LT(growth, 16 * 1024) << "peak memory growth in KB while sending 50 MB";
  }
}

enum class TAction { Connect, Idle, Text, Big, MissingFile, Pipe, BrokenHeader, Unconnected };

struct TFaultRow {
  const char* Name;
  QStringList ServerArgs;
  QString Host;  // "refused": a loopback port nobody listens on; empty: the server
  TAction Action;
  int Number;
  int StateAfter;
  int Items;
};

// Each fault: the right OnError, state 5 on the document, the control usable
// again, and the server holding only the message that was reported sent.
TEST_F(SMTPTest, FaultsEndInAClearErrorAndTheControlStaysUsable) {
  const TFaultRow rows[] = {
      {"unknown host", {}, "nosuchhost.invalid", TAction::Connect, smtpErrHostNotFound, stDisconnected, 0},
      {"connection refused", {}, "refused", TAction::Connect, smtpErrConnectionRefused, stDisconnected, 0},
      {"550 on RCPT", {"--reject-rcpt", "bad@example.org"}, {}, TAction::Text, 550, stConnected, 2},
      {"554 after DATA", {"--reject-data"}, {}, TAction::Text, 554, stConnected, 1},
      {"closed in DATA", {"--close-in-data", "100000"}, {}, TAction::Big, smtpErrConnectionLost, stDisconnected, 0},
      {"silent server", {"--silent-data"}, {}, TAction::Text, smtpErrResponseTimeout, stDisconnected, 0},
      {"unreadable file", {}, {}, TAction::MissingFile, smtpErrFileUnreadable, stConnected, 0},
      {"a pipe for a file", {}, {}, TAction::Pipe, smtpErrFileUnreadable, stConnected, 0},
      {"CR LF in a header", {}, {}, TAction::BrokenHeader, smtpErrBadHeader, stConnected, 0},
      {"not connected", {}, {}, TAction::Unconnected, smtpErrNotConnected, stDisconnected, 0},
      {"idle session closed", {"--idle-timeout", "0.5"}, {}, TAction::Idle, 421, stDisconnected, 1},
  };
  for (const TFaultRow& row : rows) {
    SCOPED_TRACE(row.Name);
    Restart();
    StartServer(row.ServerArgs);
    if (row.ServerArgs.contains("--silent-data")) SMTP->SetResponseTimeout(1000);
    QString host = row.Host;
    if (host == "refused") {
      QTcpServer probe;
      probe.listen(QHostAddress::LocalHost);
      host = "127.0.0.1:" + QString::number(probe.serverPort());
    }
    if (row.Action == TAction::Connect) {
      EXPECT_FALSE(Connect(host));
    } else if (row.Action == TAction::Idle) {
      ASSERT_TRUE(Connect());
    } else {
      if (row.Action != TAction::Unconnected) {
        ASSERT_TRUE(Connect());
      }
      if (row.Action == TAction::Text || row.Action == TAction::Unconnected)
        SendText("bad", "text\r\n", "bad@example.org");
      if (row.Action == TAction::Big) SendText("bad", QString(80, 'y').append('\n').repeated(40000));
      if (row.Action == TAction::MissingFile) SendFile("bad", Temp.path() + "/missing.txt");
      if (row.Action == TAction::Pipe) {
        QString pipe = Temp.path() + "/pipe";
        ASSERT_EQ(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        SendFile("bad", pipe);
      }
      if (row.Action == TAction::BrokenHeader) {
        SetHeaders("bad\r\nBcc: victim@example.org");
        SMTP->SendDocument(std::nullopt, SMTP->DocInput()->Headers(), QString("text"), QString(), QString());
      }
      ASSERT_TRUE(WaitIdle());
      ASSERT_FALSE(Docs.empty());
      EXPECT_EQ(Docs.back().State, disEnd);
      auto error = std::find(Events.begin(), Events.end(), "error " + std::to_string(row.Number));
      EXPECT_LT(error, std::find(Events.begin(), Events.end(), "doc 5")) << "OnError comes before the end";
    }
    ASSERT_TRUE(WaitUntil([&] { return SMTP->State() == row.StateAfter && !Errors.empty(); }));
    ASSERT_FALSE(Errors.empty());
    EXPECT_EQ(Errors.front(), row.Number) << LastError.toStdString();
    EXPECT_FALSE(LastError.isEmpty());
    if (row.Items) {
      EXPECT_EQ(ErrorItems, row.Items);
    }
    EXPECT_EQ(Server->Count("MAIL"), row.Action == TAction::Text || row.Action == TAction::Big ? 1 : 0)
        << "nothing goes out for a fault found before sending";

    if (SMTP->State() != stConnected) {
      ASSERT_TRUE(Connect(Server->Address()));
    }
    Errors.clear();
    SendText("good", "good\r\n");
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
    ASSERT_EQ(Server->Messages(), 1) << "only the message reported sent is on the server";
    EXPECT_EQ(Server->Reader(1, "Subject"), "Orvalle AUTOMSG: good");
  }
}

// A server that takes the data and never answers: the GUI thread goes on
// while the control waits, and giving up does not wait for the time-out.
TEST_F(SMTPTest, ASilentServerNeverHoldsUpTheGuiThread) {
  for (const char* giveUp : {"disconnect twice", "free the control"}) {
    SCOPED_TRACE(giveUp);
    Restart();
    SMTP->SetResponseTimeout(60000);
    StartServer({"--silent-data"});
    ASSERT_TRUE(Connect());
    SendText("silent", "waiting for a reply\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !Docs.empty() && Docs.back().State == disData && Docs.back().Done == 21; }));
    WaitUntil([] { return false; }, 300);  // the event loop turns while the reply is awaited
    EXPECT_TRUE(SMTP->Busy()) << "the control still waits for the server's reply";
    EXPECT_TRUE(Errors.empty());

    if (std::string(giveUp) == "free the control") {
      QElapsedTimer clock;
      clock.start();
      SMTP->Free();
      SMTP = CreateComponent<TSMTP>(nullptr);  // for TearDown
      EXPECT_LT(clock.elapsed(), 10000) << "freeing must not wait for the 60 s response time-out";
    } else {
      Events.clear();
      SMTP->Disconnect();
      SMTP->Disconnect();
      ASSERT_TRUE(WaitUntil([&] { return !SMTP->Busy() && SMTP->State() == stDisconnected; }, 10000));
      EXPECT_EQ(Errors, std::vector<int>{smtpErrConnectionLost});
      EXPECT_EQ(Events, (std::vector<std::string>{"state 5", "error 20005", "doc 5", "state 6"}))
          << "closing is raised, and the message fails before the session ends";
    }
    EXPECT_EQ(Server->Messages(), 0);
  }
}

// The server closes an idle session while the GUI thread is busy elsewhere;
// a Disconnect made before the loop hears of it raises nothing after state 6.
TEST_F(SMTPTest, DisconnectAfterAnUnseenEndRaisesNothingAfterState6) {
  StartServer({"--idle-timeout", "0.2"});
  ASSERT_TRUE(Connect());
  States.clear();
  QThread::msleep(1500);  // no event loop: the session's end waits in the queue
  SMTP->Disconnect();
  ASSERT_TRUE(WaitUntil([&] { return !States.empty() && States.back() == stDisconnected; }));
  WaitUntil([] { return false; }, 300);
  EXPECT_EQ(States, std::vector<int>{stDisconnected});
  EXPECT_EQ(SMTP->State(), stDisconnected);
  EXPECT_EQ(Errors, std::vector<int>{421});
}

// A handler may give the attempt up at any state of connecting; what the
// given-up attempt would still have reported never reaches the handlers.
TEST_F(SMTPTest, DisconnectWhileConnectingGivesUpAtOnce) {
  StartServer();
  for (int16_t at : {stConnecting, stResolvingHost, stHostResolved}) {
    SCOPED_TRACE(at);
    States.clear();
    Errors.clear();
    SMTP->OnStateChanged = [&, at](TObject*, int16_t AState) {
      States.push_back(AState);
      if (AState == at) SMTP->Disconnect();
    };
    SMTP->Connect(Server->Address());
    ASSERT_TRUE(WaitUntil([&] { return SMTP->State() == stDisconnected && !States.empty() && States.back() == 6; }));
    WaitUntil([] { return false; }, 300);
    std::vector<int> expected;
    for (int s = stConnecting; s <= at; ++s) expected.push_back(s);
    expected.insert(expected.end(), {stDisconnecting, stDisconnected});
    EXPECT_EQ(States, expected);
    EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
  }
  SMTP->OnStateChanged = [&](TObject*, int16_t AState) { States.push_back(AState); };
  ASSERT_TRUE(Connect());
  SendText("after", "after\r\n");
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Server->Messages(), 1);
}

// A handler may free the control; nothing of it is touched afterwards.
TEST_F(SMTPTest, AHandlerMayFreeTheControl) {
  enum TWhere { OnState2, OnState4, OnData, OnRefusal };
  StartServer({"--reject-rcpt", "bad@example.org"});
  SMTP->Free();
  for (TWhere where : {OnState2, OnState4, OnData, OnRefusal}) {
    SCOPED_TRACE(where);
    bool freed = false;
    auto free = [&] {
      SMTP->Free();
      SMTP = nullptr;
      freed = true;
    };
    SMTP = CreateComponent<TSMTP>(nullptr);
    SMTP->OnStateChanged = [&](TObject* ASender, int16_t AState) {
      // The handler lives in the control: once it is freed, return at once.
      if ((where == OnState2 && AState == stResolvingHost) || (where == OnState4 && AState == stConnected))
        return free();
      if (AState == stConnected)
        static_cast<TSMTP*>(ASender)->SendDocument(std::nullopt, nullptr, QString("body\r\n"));
    };
    SMTP->OnDocInput = [&](TObject*, TDocInput* ADoc) {
      if (where == OnData && ADoc->State() == disData) free();
    };
    SMTP->OnError = [&](TObject*, int16_t, WideString&, int32_t, const WideString&, const WideString&, int32_t,
                        bool& ACancel) {
      ACancel = true;
      if (where == OnRefusal) free();
    };
    TDocHeaders* h = SMTP->DocInput()->Headers();
    h->Add("From", "me@example.org");
    h->Add("To", where == OnRefusal ? "bad@example.org" : "you@example.org");
    SMTP->Connect(Server->Address());
    EXPECT_TRUE(WaitUntil([&] { return freed; }));
    WaitUntil([] { return false; }, 200);
  }
  SMTP = CreateComponent<TSMTP>(nullptr);  // for TearDown
}

TEST_F(SMTPTest, VerifyAcceptsAddressListsAndNamesEachBadEntry) {
  const std::pair<const char*, int> rows[] = {
      {"you@example.org", 0},
      {"you@example.org, Ann Other <ann@example.org>, \"Doe, J\" <j@example.org>", 0},
      {"", 1},
      {"you@example.org, ", 1},
      {"nobody", 1},
      {"you @example.org, x@y.org, <a@b.org", 2},
      {"Ann <ann@example.org>>", 1},
      {"a@b.org\r\nRCPT TO:<c@d.org>", 1},
      // a trailing comment, as old forms name the address's owner
      {"vendor@example.org (Vendor), Ann <ann@example.org> (work, home), b@example.org (B (x\\) y))", 0},
      {"a@example.org (unclosed, b@example.org", 1},
      {"a@example.org (c) later, b@example.org) (d", 2},
  };
  for (const auto& [list, bad] : rows) {
    SCOPED_TRACE(list);
    Errors.clear();
    Events.clear();
    SMTP->Verify(QString::fromUtf8(list));
    EXPECT_TRUE(SMTP->Busy());
    EXPECT_TRUE(Events.empty()) << "events come only from the event loop";
    ASSERT_TRUE(WaitIdle());
    if (bad == 0) {
      EXPECT_EQ(Events, std::vector<std::string>{"verify"});
    } else {
      EXPECT_EQ(Events, std::vector<std::string>{"error " + std::to_string(smtpErrBadAddress)});
      EXPECT_EQ(ErrorItems, bad);
    }
  }
}

// A handler that leaves CancelDisplay false lets the control show the error.
TEST_F(SMTPTest, AnUncancelledErrorIsShownThroughTheApplication) {
  struct TSink : TApplicationServices {
    std::string Shown;
    void ShowException(TObject*, const std::string& AMessage) override { Shown += AMessage; }
  } sink;
  TApplicationServices* previous = Application().SetServices(&sink);
  SMTP->OnError = nullptr;
  SMTP->Verify("Ann <ann@example.org");
  WaitIdle();
  Application().SetServices(previous);
  EXPECT_NE(sink.Shown.find("20008"), std::string::npos) << sink.Shown;
  EXPECT_NE(sink.Shown.find("ann@example.org"), std::string::npos) << sink.Shown;
}

TEST_F(SMTPTest, StartTlsIsUsedAndTheCertificateChecked) {
  StartServer({"--tls"});
  EXPECT_FALSE(Connect()) << "the test certificate is in no system store";
  EXPECT_EQ(Errors, std::vector<int>{smtpErrTls});
  EXPECT_TRUE(LastError.contains("certificate")) << LastError.toStdString();

  Errors.clear();
  SMTP->SetCAFile(Server->Dir() + "/cert.pem");
  ASSERT_TRUE(Connect());
  WaitUntil([] { return false; }, 500);  // a resting TLS session is not mistaken for a closed one
  EXPECT_EQ(SMTP->State(), stConnected);
  SendText("secret", "over TLS\r\n");
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
  ASSERT_EQ(Server->Messages(), 1);
  EXPECT_TRUE(Server->Message(1)["tls"].toBool());
}

enum class TStep { Connect, Idle, Send, SendRefused, SendThenDisconnect };
enum class TTls { Offered, Required, CAFile };

struct THostileRow {
  const char* Name;
  QStringList ServerArgs;
  TTls Tls;
  TStep Step;
  std::vector<std::string> Tail;  // the last events, in order
  int MailCommands;               // MAIL FROM the server saw
  bool Sent;                      // the message reached the server
  bool Recovers;                  // a new session then works at once
};

// Servers that go silent, trickle, refuse STARTTLS or drop it: each ends
// with the right error within its time-out (1.5 s here), never later, and
// nothing goes out in plaintext that should not.
TEST_F(SMTPTest, HostileServersEndInTimeAndGetNoPlaintext) {
  const std::vector<std::string> timedOut = {"error 20004", "doc 5", "state 5", "state 6"};
  const QString rejected = "--reject-rcpt";
  const QString tls454 = "454 4.7.0 TLS not available now";
  const THostileRow rows[] = {
      {"silent after the greeting", {"--slow", "ehlo=3600"}, TTls::Offered, TStep::Connect,
       {"state 3", "error 20003", "state 5", "state 6"}, 0, false, true},
      {"silent after MAIL FROM", {"--slow", "mail=3600"}, TTls::Offered, TStep::Send, timedOut, 1, false, true},
      {"silent after RCPT", {"--slow", "rcpt=3600"}, TTls::Offered, TStep::Send, timedOut, 1, false, true},
      {"silent after DATA", {"--slow", "data=3600"}, TTls::Offered, TStep::Send, timedOut, 1, false, true},
      {"silent after the data", {"--slow", "eod=3600"}, TTls::Offered, TStep::Send, timedOut, 1, false, true},
      {"silent after QUIT", {"--slow", "quit=3600"}, TTls::Offered, TStep::SendThenDisconnect,
       {"doc 5", "state 5", "state 6"}, 1, true, true},
      {"trickling the reply to MAIL FROM", {"--trickle", "mail"}, TTls::Offered, TStep::Send, timedOut, 1, false, true},
      {"silent after a reopened session's NOOP", {rejected, "bad@example.org", "--slow", "noop#2=3600"}, TTls::Offered,
       TStep::SendRefused, {"error 550", "doc 5", "error 20004", "state 5", "state 6"}, 1, false, true},
      {"garbage for a reply", {"--garbage", "mail"}, TTls::Offered, TStep::Send,
       {"error 20012", "doc 5", "state 6"}, 1, false, true},
      {"an oversized reply", {"--oversized", "mail"}, TTls::Offered, TStep::Send,
       {"error 20012", "doc 5", "state 6"}, 1, false, true},
      {"454 to STARTTLS", {"--tls", "--starttls-reply", tls454}, TTls::Offered, TStep::Connect,
       {"state 3", "error 20011", "state 6"}, 0, false, false},
      {"no STARTTLS, TLS required", {}, TTls::Required, TStep::Connect, {"state 3", "error 20011", "state 6"}, 0, false,
       false},
      {"421 on an idle TLS session", {"--tls", "--idle-timeout", "0.5"}, TTls::CAFile, TStep::Idle,
       {"state 4", "error 421", "state 6"}, 0, false, true},
      {"a reopened session loses STARTTLS", {"--tls", "--tls-once", rejected, "bad@example.org"}, TTls::CAFile,
       TStep::SendRefused, {"error 550", "doc 5", "error 20011", "state 6"}, 1, false, false},
  };
  constexpr int Limit = 1500;
  for (const THostileRow& row : rows) {
    SCOPED_TRACE(row.Name);
    Restart();
    SMTP->SetConnectTimeout(Limit);
    SMTP->SetResponseTimeout(Limit);
    StartServer(row.ServerArgs);
    SMTP->SetRequireTLS(row.Tls == TTls::Required);
    if (row.Tls == TTls::CAFile) SMTP->SetCAFile(Server->Dir() + "/cert.pem");
    QElapsedTimer clock;
    clock.start();
    if (row.Step == TStep::Connect) {
      SMTP->Connect(Server->Address());
    } else if (row.Step == TStep::Idle) {
      ASSERT_TRUE(Connect());
    } else {
      ASSERT_TRUE(Connect());
      clock.restart();
      SendText("hostile", "body\r\n", row.Step == TStep::SendRefused ? "bad@example.org" : "");
      if (row.Step == TStep::SendThenDisconnect) {
        ASSERT_TRUE(WaitIdle());
        clock.restart();
        SMTP->Disconnect();
      }
    }
    ASSERT_TRUE(WaitUntil([&] { return SMTP->State() == stDisconnected && !SMTP->Busy(); }, 10000));
    qint64 took = clock.elapsed();
    bool waits = std::find(row.Tail.begin(), row.Tail.end(), "state 5") != row.Tail.end();
    if (waits) {
      EXPECT_GE(took, Limit - 100) << "the time-out, not sooner";
    }
    EXPECT_LT(took, Limit + 1100) << "the time-out, not twice or more";
    ASSERT_GE(Events.size(), row.Tail.size());
    EXPECT_EQ(std::vector<std::string>(Events.end() - static_cast<long>(row.Tail.size()), Events.end()), row.Tail)
        << LastError.toStdString();
    if (std::find(row.Tail.begin(), row.Tail.end(), "error 20004") != row.Tail.end()) {
      EXPECT_TRUE(LastError.contains("1.5 seconds")) << LastError.toStdString();
    }
    EXPECT_EQ(Server->Count("MAIL"), row.MailCommands);
    EXPECT_EQ(Server->Messages(), row.Sent ? 1 : 0);
    if (!row.Recovers) continue;
    Errors.clear();
    ASSERT_TRUE(Connect());
    SendText("good", "good\r\n");
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
    EXPECT_EQ(Server->Messages(), row.Sent ? 2 : 1);
  }
}

struct THeaderRow {
  const char* Name;
  QString To;
  QString Subject;
  QString Extra, ExtraValue;  // one more header
  QJsonArray Mailboxes;       // [name, address] as the reader finds them in To
};

// What a mail reader (Python's email package) makes of the headers, and
// their lines: folded at 78, encoded words on lines of at most 76.
TEST_F(SMTPTest, HeadersAreFoldedQuotedAndEncodedAsReadersExpect) {
  const QString longName = QString(5000, QChar(0xC4));
  QStringList ids;
  for (int i = 0; i < 40; ++i) ids << QString("<id-%1.%2@example.org>").arg(i).arg(QString(20, 'x'));
  QStringList parameters;  // as a reader writes them back
  for (int i = 0; i < 20; ++i) parameters << QString("parameter%1=\"value%1\"").arg(i);
  const QString type = "text/plain; charset=\"US-ASCII\"; " + parameters.join("; ");
  const QString name76 = "X-" + QString(74, 'n');
  const THeaderRow rows[] = {
      {"a 5,000-character name", longName + " <you@example.org>", "s", {}, {}, {QJsonArray{longName, "you@example.org"}}},
      {"specials in a name", "a@b.example <c@d.example>", "s", {}, {}, {QJsonArray{"a@b.example", "c@d.example"}}},
      {"a quoted name", QString::fromUtf8("\"Jörg, Ä\" <j@example.org>"), "s", {}, {},
       {QJsonArray{QString::fromUtf8("Jörg, Ä"), "j@example.org"}}},
      {"an encoded-word look-alike", "you@example.org", "=?UTF-8?B?SGk=?=", {}, {}, {QJsonArray{"", "you@example.org"}}},
      {"a long text subject", "you@example.org", QString::fromUtf8("Grüße aus Köln ").repeated(30), {}, {}, {}},
      {"a long ASCII subject", "you@example.org", QString("word  ").repeated(100) + "end", {}, {}, {}},
      {"a long References", "you@example.org", "s", "References", ids.join(' '), {}},
      {"a long Content-Type", "you@example.org", "s", "Content-Type", type, {}},
      {"a text X- header", "you@example.org", "s", "X-Note", QString::fromUtf8("Grüße"), {}},
      {"a 76-character name", "you@example.org", "s", name76, "v", {}},
      {"an address with a comment", "vendor@example.org (Vendor, Inc.)", "s", {}, {},
       {QJsonArray{"Vendor, Inc.", "vendor@example.org"}}},
      {"a long first word", "you@example.org", QString(75, 'w') + " tail", {}, {}, {}},
  };
  StartServer();
  ASSERT_TRUE(Connect());
  for (const THeaderRow& row : rows) {
    TDocHeaders* h = SMTP->DocInput()->Headers();
    h->Clear();
    h->Add("From", "me@example.org");
    h->Add("To", row.To);
    h->Add("Subject", row.Subject);
    if (!row.Extra.isEmpty()) h->Add(row.Extra, row.ExtraValue);
    SMTP->SendDocument(std::nullopt, h, QString("body\r\n"));
  }
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
  ASSERT_EQ(Server->Messages(), int(std::size(rows)));
  for (int i = 0; i < int(std::size(rows)); ++i) {
    const THeaderRow& row = rows[i];
    SCOPED_TRACE(row.Name);
    QJsonObject reader = Server->Message(i + 1)["reader"].toObject();
    EXPECT_EQ(reader["Subject"].toString(), row.Subject);
    if (!row.Mailboxes.isEmpty()) {
      EXPECT_EQ(reader["mailboxes"].toArray()[0], row.Mailboxes[0]) << Server->Raw(i + 1).left(400).constData();
    }
    QByteArray raw = Server->Raw(i + 1);
    raw.truncate(raw.indexOf("\r\n\r\n"));
    for (const QByteArray& line : raw.split('\n')) {
      // A header's first word stays on its first line, however long.
      const qsizetype colon = line.indexOf(':');
      const bool oneWord = colon > 0 && line.indexOf(' ') == colon + 1 && line.count(' ') == 1;
      if (!oneWord) {
        EXPECT_LE(line.size(), line.contains("=?") ? 77 : 79) << line.constData();  // with its CR
      }
      EXPECT_FALSE(line.trimmed().endsWith(':')) << "a fold right after the name reads as a leading blank";
      if (!row.Extra.isEmpty() && line.startsWith(row.Extra.toLatin1() + ":") && row.Extra != "X-Note") {
        EXPECT_FALSE(line.contains("=?")) << "a structured header is never encoded";
      }
    }
    if (row.Extra == "References" || row.Extra == "X-Note" || row.Extra == "Content-Type") {
      EXPECT_EQ(reader[row.Extra].toString(), row.ExtraValue) << Server->Raw(i + 1).left(1200).constData();
    }
    if (row.Extra == name76) {
      EXPECT_TRUE(raw.contains(name76.toLatin1() + ": v"));
    }
  }
}

// Headers and addresses that cannot go out as given are refused, with the
// number that says which, and nothing reaches the server.
TEST_F(SMTPTest, HeadersThatCannotBeSentAreRefused) {
  const struct {
    const char* Name;
    QString Header, Value;
    int Number;
  } rows[] = {
      {"a 77-character header name", "X-" + QString(75, 'n'), "v", smtpErrBadHeader},
      {"an unfoldable References", "References", "<" + QString(1000, 'x') + "@example.org>", smtpErrBadHeader},
      {"a Content-Type outside ASCII", "Content-Type", QString::fromUtf8("text/plain; name=\"ä\""), smtpErrBadHeader},
      {"an empty entry", "To", "you@example.org, ", smtpErrBadAddress},
      {"a 65-character local part", "To", QString(65, 'l') + "@example.org", smtpErrBadAddress},
      {"a 256-character domain", "To", "you@" + QString(252, 'd') + ".org", smtpErrBadAddress},
  };
  StartServer();
  ASSERT_TRUE(Connect());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    Errors.clear();
    TDocHeaders* h = SMTP->DocInput()->Headers();
    h->Clear();
    h->Add("From", "me@example.org");
    if (row.Header != "To") h->Add("To", "you@example.org");
    h->Add(row.Header, row.Value);
    SMTP->SendDocument(std::nullopt, h, QString("body\r\n"));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Errors, std::vector<int>{row.Number}) << LastError.toStdString();
  }
  EXPECT_EQ(Server->Count("MAIL"), 0);
}

TEST(SMTPMessage, Utf8IsCheckedStrictly) {
  const std::pair<const char*, bool> rows[] = {
      {"plain", true},           {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
      {"overlong \xC0\xAF", false}, {"overlong \xE0\x80\xAF", false},
      {"surrogate \xED\xA0\x80", false}, {"too large \xF4\x90\x80\x80", false},
      {"cut off \xE2\x82", false}, {"lone \x80", false}, {"\xF5\x80\x80\x80", false}};
  for (const auto& [text, valid] : rows) EXPECT_EQ(Isp3::IsValidUtf8(text), valid) << text;
}

// The body file is read once to choose its encoding and again as it goes
// out; a file that changes in between is not sent, whatever the change.
TEST_F(SMTPTest, ABodyFileThatChangesWhileSentIsNotSent) {
  const std::pair<const char*, std::function<void(QFile&)>> rows[] = {
      {"grows by a byte outside ASCII", [](QFile& F) { F.open(QIODevice::Append), F.write("\xE9"); }},
      {"shrinks", [](QFile& F) { F.resize(100); }},
      {"is rewritten in place", [](QFile& F) { F.open(QIODevice::ReadWrite), F.write("Y"); }},
  };
  QStringList slow;
  for (int k = 1; k <= 3; ++k) slow << "--slow" << QString("data#%1=0.7").arg(k);
  StartServer(slow);
  ASSERT_TRUE(Connect());
  int n = 0;
  for (const auto& [name, change] : rows) {
    SCOPED_TRACE(name);
    Errors.clear();
    Docs.clear();
    QString path = WriteFile(QString("body%1.txt").arg(n++), QByteArray(4000, 'x'));
    SendFile("changing", path);
    ASSERT_TRUE(WaitUntil([&] { return !Docs.empty(); }));  // the file has been scanned
    QFile file(path);
    change(file);
    file.close();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Errors, std::vector<int>{smtpErrFileUnreadable});
    EXPECT_TRUE(LastError.contains("changed")) << LastError.toStdString();
    EXPECT_TRUE(LastError.contains("\"" + path + "\"")) << LastError.toStdString();
    EXPECT_EQ(Docs.back().State, disEnd);
  }
  EXPECT_EQ(Server->Messages(), 0);
}

// The command-line tool: standard input's bytes kept, its options, and grep's
// kind of exit codes.
TEST_F(SMTPTest, TheSendmailToolKeepsBytesAndSaysHowItEnded) {
  const struct {
    const char* Name;
    QStringList ServerArgs, Options;
    QByteArray Input;
    int Exit;
    const char* Says;  // on standard error
    int MaxMs;
  } rows[] = {
      {"Latin-1 on standard input", {}, {}, "caf\xE9\n", 0, "document 5", 10000},
      {"a silent server and --timeout", {"--slow", "mail=3600"}, {"--timeout", "1"}, "x\n", 1, "error 20004", 2500},
      {"--require-tls without STARTTLS", {}, {"--require-tls"}, "x\n", 1, "error 20011", 10000},
      {"a bad --timeout", {}, {"--timeout", "soon"}, "x\n", 2, "--timeout takes a number", 10000},
      {"an unknown option", {}, {"--bogus"}, "x\n", 2, "unknown option --bogus", 10000},
      {"a bad --cc", {}, {"--cc", "not an address"}, "x\n", 2, "--cc: \"not an address\" is not a valid address", 10000},
      {"a line break in --subject", {}, {"--subject", "a\r\nBcc: x@example.org"}, "x\n", 2, "line break", 10000},
      {"an unreadable --file", {}, {"--file", "/nonexistent/body.txt"}, "x\n", 2, "--file: ", 10000},
      // the message is accepted: a server silent after QUIT holds nobody for long
      {"a silent QUIT", {"--slow", "quit=3600"}, {}, "caf\xE9\n", 0, "document 5", 8000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    StartServer(row.ServerArgs);
    QProcess tool;
    tool.start(VANTRY_SENDMAIL, QStringList{"--server", Server->Address(), "--from", "me@example.org", "--to",
                                            "you@example.org", "--subject", "tool"} + row.Options);
    QElapsedTimer clock;
    clock.start();
    tool.write(row.Input);
    tool.closeWriteChannel();
    ASSERT_TRUE(tool.waitForFinished(15000));
    EXPECT_LT(clock.elapsed(), row.MaxMs);
    EXPECT_EQ(tool.exitCode(), row.Exit);
    EXPECT_TRUE(tool.readAllStandardError().contains(row.Says));
    EXPECT_EQ(Server->Messages(), row.Exit == 0 ? 1 : 0);
    if (row.Exit == 2) {
      EXPECT_EQ(Server->Count("CONNECT"), 0) << "a usage error is found before connecting";
    }
    if (row.Exit == 0) {
      EXPECT_EQ(Server->Reader(1, "body"), QString::fromUtf8("café\r\n"));
      QJsonArray names = Server->Message(1)["reader"].toObject()["header_names"].toArray();
      EXPECT_FALSE(names.contains("CC")) << "no CC header without --cc";
    }
  }
}

// A server that takes the data slowly but steadily is no silent server: the
// response time-out counts from the last byte it took, also while the data
// waits in the system's send buffer, and the progress shown is what it took.
// One that stops taking data fails in about the time-out.
TEST_F(SMTPTest, ASlowButSteadyServerIsWaitedForAndAStallIsNot) {
  const struct {
    const char* Name;
    QStringList ServerArgs;
    int Error;  // 0: the message arrives
    int MaxMs;
  } rows[] = {
      {"40 KB a second", {"--read-rate", "40000"}, 0, 30000},
      {"stops after 40 KB", {"--read-rate", "40000", "--read-stall-after", "40000"}, smtpErrResponseTimeout, 6000},
  };
  const QString text = QString(QString(78, 'z') + "\r\n").repeated(3000);  // 240 KB
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    Restart();
    SMTP->SetResponseTimeout(1000);
    StartServer(row.ServerArgs);
    ASSERT_TRUE(Connect());
    std::vector<std::pair<qint64, int>> progress;  // (ms, bytes taken)
    QElapsedTimer clock;
    clock.start();
    auto recorder = SMTP->OnDocInput;
    SMTP->OnDocInput = [&](TObject* ASender, TDocInput* ADoc) {
      recorder(ASender, ADoc);
      if (ADoc->State() == disData) progress.emplace_back(clock.elapsed(), ADoc->BytesTransferred());
    };
    SendText("slow", text);
    ASSERT_TRUE(WaitIdle(row.MaxMs));
    EXPECT_LT(clock.elapsed(), row.MaxMs);
    if (row.Error) {
      EXPECT_EQ(Errors, std::vector<int>{row.Error});
      EXPECT_EQ(Server->Messages(), 0);
      continue;
    }
    EXPECT_TRUE(Errors.empty()) << LastError.toStdString();
    ASSERT_EQ(Server->Messages(), 1);
    EXPECT_EQ(Server->Reader(1, "body"), text);
    // Three quarters taken at 40 KB a second is some 4.5 s in; what the kernel
    // buffers must not count.
    auto late = std::find_if(progress.begin(), progress.end(), [&](auto& p) { return p.second >= text.size() * 3 / 4; });
    if (late != progress.end()) {
      EXPECT_GT(late->first - progress.front().first, 2500) << "progress ran ahead of what the server took";
    }
    EXPECT_GE(progress.size(), 10u);
  }
}

// An add-in that frees its control while the session thread is stuck in a
// read of the body file (the control gives the thread up after a second),
// then is unloaded: when the read returns, the thread runs on in the
// library, which must still be there.
TEST_F(SMTPTest, AThreadLeftBehindKeepsItsLibraryLoaded) {
  StartServer();
  QString file = WriteFile("stalling.txt", QByteArray(1000, 'x'));
  QProcess host;
  host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  host.start(VANTRY_UNLOAD_HOST, {VANTRY_UNLOAD_MODULE, Server->Address(), file});
  ASSERT_TRUE(host.waitForFinished(20000));
  EXPECT_EQ(host.exitStatus(), QProcess::NormalExit) << "the host crashed";
  EXPECT_EQ(host.exitCode(), 0);
  EXPECT_EQ(host.readAllStandardOutput().trimmed(), "lived on");
}

}  // namespace
