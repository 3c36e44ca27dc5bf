#include "mail/isp3Session.h"

#include "mail/isp3.h"
#include "mail/isp3Message.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QUrl>

#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

// How the session works
// ---------------------
// libcurl's multi interface does the SMTP dialogue; Qt socket notifiers and
// one single-shot timer of the session's thread drive it
// (curl_multi_socket_action), so nothing polls.
//
// A session is a libcurl multi handle whose connection pool holds the one
// SMTP connection. Connect resolves the name with QHostInfo (states 2 and 3),
// hands the addresses to libcurl (CURLOPT_RESOLVE, so the certificate is still
// checked against the name) and runs a NOOP transfer: libcurl reads the
// greeting, says EHLO, upgrades with STARTTLS when offered, and sends NOOP;
// when that succeeds the connection rests in the pool and state 4 is reported.
// Each message is then a transfer with the same URL and options, which makes
// libcurl reuse that connection. Disconnect runs a QUIT transfer.
//
// libcurl drops a connection after any failed transfer. After a refusal by
// the server (a recipient refused, the data refused) or a local fault (an
// unreadable file) the session is therefore reopened at once with another
// NOOP transfer, so the control stays in state 4; a timeout or a lost
// connection ends the session (state 6).
//
// While no transfer runs, a socket notifier watches the resting connection:
// the server only speaks unasked to close the session (421, or just closing),
// which ends the session with an OnError.

namespace Vantry::Isp3 {

namespace {

std::string Utf8(const QString& S) { return S.toStdString(); }

// A host name for EHLO and Message-ID: the machine's name when it is a
// usable DNS name.
std::string LocalHostName() {
  std::string name = Utf8(QSysInfo::machineHostName()), clean;
  for (char c : name)
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.') clean += c;
  if (clean.empty() || clean.size() != name.size() || clean.front() == '.' || clean.front() == '-') return "localhost";
  return clean;
}

// The latest complete reply of the server, line by line.
struct TReply {
  int Code = 0;
  std::vector<std::string> Lines;
};

int Seconds(int AMilliseconds) { return std::max(1, (AMilliseconds + 999) / 1000); }

constexpr size_t ChunkSize = 64 * 1024;
constexpr size_t MaxReplyLine = 510;  // octets, without the line end
constexpr int ProgressInterval = 50;  // milliseconds between progress events: at most 20 a second
constexpr int QuitTimeout = 5000;     // milliseconds for the server's answer to QUIT, at most
constexpr int ReplyBackstop = 24 * 3600;  // seconds: libcurl's own limit for a reply
// How often the deadline watch looks at what the server has taken.
constexpr std::chrono::milliseconds TakenInterval{200};

// A file name as the control takes it: text whose lone surrogates
// U+DC80..U+DCFF each stand for a byte that is not UTF-8 (the escape the
// forms use for paths), so that any path of bytes can be named.
QByteArray PathBytes(const QString& AText) {
  QByteArray path;
  qsizetype start = 0;
  for (qsizetype i = 0; i <= AText.size(); ++i) {
    bool escaped = i < AText.size() && AText[i].unicode() >= 0xDC80 && AText[i].unicode() <= 0xDCFF &&
                   (i == 0 || !AText[i - 1].isHighSurrogate());
    if (!escaped && i < AText.size()) continue;
    path += AText.mid(start, i - start).toUtf8();
    if (escaped) path += static_cast<char>(AText[i].unicode() - 0xDC00);
    start = i + 1;
  }
  return path;
}

}  // namespace

// One libcurl transfer: opening the session, a message, or QUIT.
struct TTransfer {
  TSMTPSession* Session = nullptr;
  TTransferKind Kind = TTransferKind::Open;
  CURL* Easy = nullptr;
  curl_slist* Recipients = nullptr;
  char ErrorBuffer[CURL_ERROR_SIZE] = {};
  TReply Reading, Last;
  TReply Refusal;  // the first reply of 400 or more: what failed the transfer
  bool StartTlsSent = false, StartTlsAnswered = false;
  TReply TlsRefusal;  // the server's answer to STARTTLS when it was not 220
  std::string ProtocolError;  // the start of a line that was no reply
  // The message's wire form, produced as libcurl asks for it.
  std::string HeaderBlock;
  std::string Text;
  size_t TextPos = 0;
  std::unique_ptr<QFile> File;
  // The body file as the scan before sending found it, and what has gone out
  // of it since: they must agree, or the file changed meanwhile.
  TBodyScan Expected, Sent;
  struct stat FileInfo {};
  std::unique_ptr<TBodyEncoder> Encoder;
  std::string Pending;
  size_t PendingPos = 0;
  bool HeadersQueued = false, BodyStarted = false, BodyDone = false;
  int64_t Total = 0, Done = 0;
  uint64_t DataStart = 0;  // what the server had taken when the data began
  int64_t WireQueued = 0;  // bytes of the data handed over, as on the wire
  std::string ReadError;
  std::string FileName;    // the body file's name, for messages
  std::string ReadBuffer;  // one chunk of the file, reused

  ~TTransfer() {
    if (Easy) curl_easy_cleanup(Easy);
    if (Recipients) curl_slist_free_all(Recipients);
  }

  // Takes the server's reply lines; tells the session of each whole reply,
  // and of a line that is no reply (RFC 5321 4.2: a code, then a blank or a
  // dash; at most 512 octets with its line end).
  void AddReplyText(std::string_view AText) {
    while (!AText.empty()) {
      size_t end = AText.find('\n');
      std::string_view line = AText.substr(0, end);
      AText = end == std::string_view::npos ? std::string_view() : AText.substr(end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                   std::isdigit(static_cast<unsigned char>(line[1])) &&
                   std::isdigit(static_cast<unsigned char>(line[2])) &&
                   (line.size() == 3 || line[3] == ' ' || line[3] == '-');
      if (!coded || line.size() > MaxReplyLine) {
        if (Session && ProtocolError.empty()) {
          ProtocolError = std::string(line.substr(0, 40));
          Session->ProtocolBroken();
        }
        continue;
      }
      Reading.Code = std::stoi(std::string(line.substr(0, 3)));
      Reading.Lines.emplace_back(line.size() > 4 ? line.substr(4) : std::string_view());
      if (line.size() < 4 || line[3] != '-') {
        if (Reading.Code >= 400 && !Refusal.Code) Refusal = Reading;
        Last = std::move(Reading);
        Reading = {};
        if (Session) Session->ReplyReceived(*this, Last.Code);
      }
    }
  }

  // libcurl's debug channel: the commands and data it sends, the replies it
  // reads, and whether TLS carries them.
  void Debug(curl_infotype AType, std::string_view AData) {
    switch (AType) {
      case CURLINFO_HEADER_IN: AddReplyText(AData); break;
      case CURLINFO_HEADER_OUT: Session->CommandSent(*this, AData); break;
      case CURLINFO_DATA_OUT: Session->DataSent(); break;
      case CURLINFO_SSL_DATA_OUT: Session->TlsInUse(); break;
      default: break;
    }
  }

  size_t Read(char* ABuffer, size_t AMax);
  bool Refill();
  std::string_view ReadFileChunk();
};

// The reply lines joined into one sentence.
std::string ReplyText(const TReply& AReply) {
  std::string text;
  for (const std::string& line : AReply.Lines) text += (text.empty() ? "" : " ") + line;
  return text;
}

// A time in words: "60 seconds", "1 second", "0.25 seconds".
std::string DurationText(int AMilliseconds) {
  char buffer[32];
  if (AMilliseconds % 1000 == 0)
    std::snprintf(buffer, sizeof buffer, "%d second%s", AMilliseconds / 1000, AMilliseconds == 1000 ? "" : "s");
  else
    std::snprintf(buffer, sizeof buffer, "%g seconds", AMilliseconds / 1000.0);
  return buffer;
}

// ---- the sockets

curl_socket_t TSocketRegistry::Open(int AFamily, int AType, int AProtocol) {
  std::lock_guard lock(FLock);
  if (FInterrupted) return CURL_SOCKET_BAD;
  curl_socket_t s = ::socket(AFamily, AType | SOCK_CLOEXEC, AProtocol);
  if (s != CURL_SOCKET_BAD) FSockets.insert(s);
  return s;
}

void TSocketRegistry::Close(curl_socket_t ASocket) {
  std::lock_guard lock(FLock);
  FSockets.erase(ASocket);
  ::close(ASocket);
}

uint64_t TSocketRegistry::BytesTaken() {
  std::lock_guard lock(FLock);
  uint64_t taken = 0;
  for (curl_socket_t s : FSockets) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
        size >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
      taken += info.tcpi_bytes_acked;
  }
  return taken;
}

void TSocketRegistry::ShutDownAll() {
  std::lock_guard lock(FLock);
  for (curl_socket_t s : FSockets) ::shutdown(s, SHUT_RDWR);
}

// ---- the deadline watch

TDeadlineWatch::TDeadlineWatch(TSocketRegistry& ASockets, TExpiry AOnExpiry, TTaken AOnTaken)
    : FSockets(ASockets), FOnExpiry(std::move(AOnExpiry)), FOnTaken(std::move(AOnTaken)), FThread([this] { Run(); }) {}

TDeadlineWatch::~TDeadlineWatch() {
  {
    std::lock_guard lock(FLock);
    FStop = true;
  }
  FWake.notify_one();
  FThread.join();
}

uint64_t TDeadlineWatch::Arm(TWaitKind AKind, int AMilliseconds) {
  uint64_t wait;
  {
    std::lock_guard lock(FLock);
    FKind = AKind;
    FExpired = TWaitKind::None;
    FSpan = std::chrono::milliseconds(std::max(1, AMilliseconds));
    FDeadline = std::chrono::steady_clock::now() + FSpan;
    FTaken = FSockets.BytesTaken();
    wait = ++FWait;
  }
  FWake.notify_one();
  return wait;
}

void TDeadlineWatch::Extend() {
  // A later deadline needs no wake-up: the watch looks again when the
  // earlier one comes.
  std::lock_guard lock(FLock);
  if (FKind != TWaitKind::None) FDeadline = std::chrono::steady_clock::now() + FSpan;
}

TWaitKind TDeadlineWatch::Disarm() {
  std::lock_guard lock(FLock);
  FKind = TWaitKind::None;
  return std::exchange(FExpired, TWaitKind::None);
}

uint64_t TDeadlineWatch::Wait() const {
  std::lock_guard lock(FLock);
  return FWait;
}

TWaitKind TDeadlineWatch::Kind() const {
  std::lock_guard lock(FLock);
  return FKind;
}

void TDeadlineWatch::Run() {
  std::unique_lock lock(FLock);
  while (!FStop) {
    if (FKind == TWaitKind::None) {
      FWake.wait(lock);
      continue;
    }
    // A response wait looks at what the server has taken every little
    // while: data it goes on taking, however slowly, is progress, even
    // while libcurl has nothing more to hand over or waits inside for the
    // reply. A stall moves nothing and runs into the deadline.
    const auto now = std::chrono::steady_clock::now();
    if (FKind == TWaitKind::Response) {
      uint64_t taken = FSockets.BytesTaken();
      if (taken > FTaken) FDeadline = now + FSpan;
      // Told at every look, not only when more was taken: the last of the
      // data may have been taken while progress reports were held back,
      // and would otherwise never be shown.
      FOnTaken(taken);  // under the lock: Disarm waits for it
      FTaken = taken;
    }
    if (now < FDeadline) {
      FWake.wait_until(lock, FKind == TWaitKind::Response ? std::min(FDeadline, now + TakenInterval) : FDeadline);
      continue;
    }
    FExpired = std::exchange(FKind, TWaitKind::None);
    uint64_t wait = FWait;
    lock.unlock();
    FSockets.ShutDownAll();
    FOnExpiry(wait);
    lock.lock();
  }
}

// ---- the session

void TSMTPSession::GlobalInit() {
  static const bool Done = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return true;
  }();
  (void)Done;
}

TSMTPSession::TSMTPSession(std::shared_ptr<TSessionReports> AReports, std::shared_ptr<TSocketRegistry> ASockets)
    : FReports(std::move(AReports)),
      FSockets(std::move(ASockets)),
      FLocalName(LocalHostName()),
      FWatch(
          *FSockets, [this](uint64_t AWait) { Later([this, AWait] { DeadlinePassed(AWait); }); },
          [this](uint64_t ATaken) { ReportTaken(ATaken); }) {
  FCurlTimer.setSingleShot(true);
  QObject::connect(&FCurlTimer, &QTimer::timeout, &FContext, [this] { SocketAction(CURL_SOCKET_TIMEOUT, 0); });

  FLookup.OnResult = [this](const QHostInfo& AInfo) {
    if (AInfo.lookupId() == FLookupId) LookedUp(AInfo);
  };
}

TSMTPSession::~TSMTPSession() { Teardown(); }

int TSMTPSession::SocketCallback(CURL*, curl_socket_t ASocket, int AWhat, void* AUser, void*) {
  static_cast<TSMTPSession*>(AUser)->WatchSocket(ASocket, AWhat);
  return 0;
}

int TSMTPSession::TimerCallback(CURLM*, long ATimeout, void* AUser) {
  auto* self = static_cast<TSMTPSession*>(AUser);
  if (ATimeout < 0)
    self->FCurlTimer.stop();
  else
    self->FCurlTimer.start(static_cast<int>(std::min<long>(ATimeout, 1 << 30)));
  return 0;
}

void TSMTPSession::Later(std::function<void()> A) {
  QMetaObject::invokeMethod(&FContext, std::move(A), Qt::QueuedConnection);
}

// ---- connecting

bool TSMTPSession::ParseHost(TFailure& AFailure) {
  QString text = FSettings.Host;
  FHostText = Utf8(text);
  FPort = FSettings.Port;
  QString host = text;
  std::optional<QString> port;
  if (text.startsWith('[')) {
    int close = text.indexOf(']');
    if (close < 0) host.clear();
    else {
      host = text.mid(1, close - 1);
      QString rest = text.mid(close + 1);
      if (rest.startsWith(':')) port = rest.mid(1);
      else if (!rest.isEmpty()) host.clear();
    }
  } else if (text.count(':') == 1) {
    host = text.section(':', 0, 0);
    port = text.section(':', 1);
  }
  bool ok = true;
  if (port) {
    FPort = port->toInt(&ok);
    ok = ok && FPort > 0 && FPort < 65536;
  }
  QHostAddress literal;
  bool isLiteral = literal.setAddress(host);
  bool validName = !host.isEmpty() && std::all_of(host.begin(), host.end(), [](QChar c) {
    return c.isLetterOrNumber() || c == '-' || c == '.' || c == '_';
  });
  if (host.isEmpty() || !ok || FPort <= 0 || FPort > 65535 || (!isLiteral && !validName)) {
    AFailure = {smtpErrHostNotFound,
                text.isEmpty() ? std::string("No SMTP server is given.")
                               : "\"" + FHostText + "\" is not a server name, an address or a port that can be used.",
                {}, true};
    return false;
  }
  FHost = host;
  std::string urlHost = isLiteral && literal.protocol() == QAbstractSocket::IPv6Protocol
                            ? "[" + Utf8(literal.toString()) + "]"
                            : Utf8(isLiteral ? literal.toString() : QString::fromLatin1(QUrl::toAce(host)));
  FUrl = "smtp://" + urlHost + ":" + std::to_string(FPort) + "/" + FLocalName;
  return true;
}

void TSMTPSession::Connect(uint64_t AConnect, const TSessionSettings& ASettings) {
  if (FState != stDisconnected) Abort(AConnect, false);  // the control gave the last attempt up already
  FConnect = AConnect;
  FSettings = ASettings;
  FState = stConnecting;
  FTlsUsed = false;
  // One deadline for resolving, connecting, the greeting, EHLO and STARTTLS.
  FWatch.Arm(TWaitKind::Connect, FSettings.ConnectTimeout);
  TFailure failure;
  if (!ParseHost(failure)) return ConnectFailed(std::move(failure));
  FState = stResolvingHost;
  FReports->StateChanged(FConnect, stResolvingHost);
  // A lookup given up is left to finish and its answer ignored (see
  // TLookupReceiver).
  FLookupId = QHostInfo::lookupHost(FHost, &FLookup, SLOT(LookedUp(QHostInfo)));
}

void TSMTPSession::LookedUp(const QHostInfo& AInfo) {
  FLookupId = -1;
  if (FState != stResolvingHost) return;
  if (AInfo.error() != QHostInfo::NoError || AInfo.addresses().isEmpty())
    return ConnectFailed({smtpErrHostNotFound,
                          "The SMTP server \"" + Utf8(FHost) + "\" was not found: " + Utf8(AInfo.errorString()), {}, true});
  FState = stHostResolved;
  FReports->StateChanged(FConnect, stHostResolved);
  if (FResolve) curl_slist_free_all(FResolve);
  FResolve = nullptr;
  QHostAddress literal;
  if (!literal.setAddress(FHost)) {
    std::string entry = Utf8(QString::fromLatin1(QUrl::toAce(FHost))) + ":" + std::to_string(FPort) + ":";
    bool first = true;
    for (const QHostAddress& a : AInfo.addresses()) {
      if (!first) entry += ",";
      first = false;
      entry += a.protocol() == QAbstractSocket::IPv6Protocol ? "[" + Utf8(a.toString()) + "]" : Utf8(a.toString());
    }
    FResolve = curl_slist_append(nullptr, entry.c_str());
  }
  if (!CreateMulti())
    return ConnectFailed({smtpErrProtocol, "The mail library could not be started.", {}, true});
  Start(NewTransfer(TTransferKind::Open));
}

// The watch found a wait over its deadline and shut the sockets down. A
// transfer waiting inside libcurl has failed by then; one waiting in this
// thread's event loop, or a lookup, is ended here.
void TSMTPSession::DeadlinePassed(uint64_t AWait) {
  if (AWait != FWatch.Wait()) return;  // a later wait has begun
  if (FTransfer) return TransferDone(CURLE_OPERATION_TIMEDOUT);
  if (FState >= stConnecting && FState <= stHostResolved) {
    FLookupId = -1;
    FWatch.Disarm();
    ConnectFailed(TimeoutFailure(TWaitKind::Connect));
  }
}

TFailure TSMTPSession::TimeoutFailure(TWaitKind AKind) const {
  if (AKind == TWaitKind::Connect)
    return {smtpErrConnectTimeout,
            "No session with the SMTP server (" + FHostText + ") within " +
                DurationText(FSettings.ConnectTimeout) + ".",
            {}, true};
  return {smtpErrResponseTimeout,
          "The SMTP server (" + FHostText + ") did not answer within " + DurationText(FSettings.ResponseTimeout) + ".",
          {}, true};
}

void TSMTPSession::ConnectFailed(TFailure AFailure) {
  FWatch.Disarm();
  Teardown();
  FState = stDisconnected;
  bool timedOut = AFailure.Number == smtpErrConnectTimeout || AFailure.Number == smtpErrResponseTimeout;
  FReports->SessionEnded(FConnect, std::move(AFailure), timedOut);
}

void TSMTPSession::SessionLost(TFailure AFailure, bool AReport) {
  // A session given up on a time-out closes (state 5) before it ends,
  // unless it was closing already.
  bool closing = (AFailure.Number == smtpErrConnectTimeout || AFailure.Number == smtpErrResponseTimeout) &&
                 FState != stDisconnecting;
  Teardown();
  FState = stDisconnected;
  FailQueued("The session with the SMTP server ended before the message was sent.");
  FReports->SessionEnded(FConnect, AReport ? std::optional<TFailure>(std::move(AFailure)) : std::nullopt, closing);
}

void TSMTPSession::FailQueued(const std::string& AWhy) {
  while (!FQueue.empty()) {
    FQueue.pop_front();
    FReports->Refused({smtpErrNotConnected, AWhy, {}, false}, 0);
  }
}

void TSMTPSession::Disconnect() {
  if (FState != stConnected) return;  // the session has ended already, and said so
  FState = stDisconnecting;
  StartNext();  // the messages already handed over go first, then QUIT
}

void TSMTPSession::Abort(uint64_t AConnect, bool AReportEnd) {
  FConnect = AConnect;
  FLookupId = -1;
  FWatch.Disarm();
  DataEnded();
  bool open = FState != stDisconnected;
  if (FTransfer && FTransfer->Kind == TTransferKind::Message)
    FReports->Failed({smtpErrConnectionLost, "The transfer was stopped by a disconnection.", {}, false},
                     FTransfer->Total, FTransfer->Done);
  Teardown();
  FailQueued("The session was closed before the message was sent.");
  FState = stDisconnected;
  FSockets->Resume();
  if (open && AReportEnd) FReports->SessionEnded(FConnect, std::nullopt, false);
}

// ---- sending

void TSMTPSession::Send(std::unique_ptr<TQueuedMessage> AMessage) {
  if (FState != stConnected) {
    // The session ended while the message was on its way here.
    FReports->Refused({smtpErrNotConnected, "Not connected to an SMTP server: the message was not sent.", {}, false}, 0);
    return;
  }
  FQueue.push_back(std::move(AMessage));
  StartNext();
}

void TSMTPSession::StartNext() {
  while (!FTransfer && (FState == stConnected || FState == stDisconnecting)) {
    if (!FSessionOpen && (!FQueue.empty() || FState == stConnected)) {
      DisarmIdleWatch();
      Start(NewTransfer(TTransferKind::Open));
      return;
    }
    if (FQueue.empty()) {
      if (FState == stDisconnecting) {
        if (!FSessionOpen) {
          Teardown();
          FState = stDisconnected;
          FReports->SessionEnded(FConnect, std::nullopt, false);
          return;
        }
        DisarmIdleWatch();
        Start(NewTransfer(TTransferKind::Quit));
        return;
      }
      ArmIdleWatch();
      return;
    }
    std::unique_ptr<TQueuedMessage> message = std::move(FQueue.front());
    FQueue.pop_front();
    DisarmIdleWatch();
    if (StartMessage(std::move(message))) return;
  }
}

// Opens the body's file for ATransfer and reads it once to learn what it
// holds (ASCII, UTF-8, line lengths), which decides the headers; the
// transfer then streams it and checks that it reads the same again. Only a
// regular file will do: a FIFO or a device could block the session or never
// end. It is opened without blocking and checked before anything is read.
bool TSMTPSession::OpenBodyFile(const QString& AName, TTransfer& ATransfer, TBodyScan& AScan, std::string& AError) {
  std::string name = Utf8(AName);
  int fd = ::open(PathBytes(AName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ATransfer.FileName = name;
  struct stat& info = ATransfer.FileInfo;
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    AError = "The file \"" + name + "\" cannot be read: " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    AError = "\"" + name + "\" is not a file that can be sent (a folder, a device or a pipe).";
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  ATransfer.File = std::make_unique<QFile>();
  bool ok = ATransfer.File->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
  if (!ok) ::close(fd);
  std::string chunk(ChunkSize, '\0');
  while (ok && !FSockets->Interrupted()) {
    qint64 n = ATransfer.File->read(chunk.data(), static_cast<qint64>(chunk.size()));
    if (n < 0) ok = false;
    if (n <= 0) break;
    AScan.Add(std::string_view(chunk.data(), static_cast<size_t>(n)));
  }
  if (FSockets->Interrupted()) {
    AError = "The message was given up while its file \"" + name + "\" was read.";
    return false;
  }
  if (!ok || !ATransfer.File->seek(0)) {
    AError = "The file \"" + name + "\" cannot be read: " + Utf8(ATransfer.File->errorString());
    return false;
  }
  ATransfer.Expected = AScan;
  return true;
}

// Prepares the message's transfer and starts it; false when it failed
// before anything went out (its failure is posted).
bool TSMTPSession::StartMessage(std::unique_ptr<TQueuedMessage> AMessage) {
  auto transfer = NewTransfer(TTransferKind::Message);
  FSockets->SetDataEndSent(false);
  TBodyScan scan;
  if (AMessage->FromFile) {
    std::string error;
    if (!OpenBodyFile(AMessage->FileName, *transfer, scan, error)) {
      FReports->Refused({smtpErrFileUnreadable, error, {}, false}, 0);
      return false;
    }
  } else {
    transfer->Text = std::move(AMessage->Text);
    scan.Add(transfer->Text);
  }
  TPreparedHeaders headers = PrepareHeaders(AMessage->Headers, scan, FLocalName);
  transfer->Total = scan.Size;
  if (!headers.Error.empty()) {
    FReports->Refused({headers.BadAddress ? smtpErrBadAddress : smtpErrBadHeader, headers.Error, {}, false}, scan.Size);
    return false;
  }
  FReports->DocInput(disBegin, scan.Size, 0);
  transfer->HeaderBlock = std::move(headers.Block);
  transfer->Encoder = std::make_unique<TBodyEncoder>(headers.QuotedPrintable);
  CURL* e = transfer->Easy;
  curl_easy_setopt(e, CURLOPT_MAIL_FROM, ("<" + headers.From + ">").c_str());
  for (const std::string& r : headers.Recipients)
    transfer->Recipients = curl_slist_append(transfer->Recipients, ("<" + r + ">").c_str());
  curl_easy_setopt(e, CURLOPT_MAIL_RCPT, transfer->Recipients);
  curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(e, CURLOPT_READFUNCTION, +[](char* ABuffer, size_t ASize, size_t ACount, void* AUser) -> size_t {
    return static_cast<TTransfer*>(AUser)->Read(ABuffer, ASize * ACount);
  });
  curl_easy_setopt(e, CURLOPT_READDATA, transfer.get());
  Start(std::move(transfer));
  return true;
}

size_t TTransfer::Read(char* ABuffer, size_t AMax) {
  while (Pending.size() - PendingPos < AMax && !BodyDone)
    if (!Refill()) return CURL_READFUNC_ABORT;
  size_t n = std::min(AMax, Pending.size() - PendingPos);
  // Nothing more to hand over: libcurl sends the end of the data next.
  if (n == 0 && BodyDone) Session->DataEnding();
  std::memcpy(ABuffer, Pending.data() + PendingPos, n);
  PendingPos += n;
  if (PendingPos == Pending.size()) {
    Pending.clear();
    PendingPos = 0;
  } else if (PendingPos > ChunkSize) {
    Pending.erase(0, PendingPos);
    PendingPos = 0;
  }
  return n;
}

// The next chunk of the body file, empty at its end. The file must read as
// the scan found it: as long, no byte the headers did not declare, and not
// written to since; otherwise ReadError is set and the message is given up
// before its end, so the server never takes it.
std::string_view TTransfer::ReadFileChunk() {
  auto changed = [this] {
    ReadError = "The file \"" + FileName + "\" changed while it was being sent: the message was not sent.";
    return std::string_view();
  };
  int64_t left = Expected.Size - Done;
  ReadBuffer.resize(ChunkSize);
  // At the expected end one more byte is asked for: if it comes, the file grew.
  qint64 n = File->read(ReadBuffer.data(), static_cast<qint64>(std::clamp<int64_t>(left, 1, ChunkSize)));
  if (n < 0) {
    ReadError = "The file \"" + FileName + "\" cannot be read: " + Utf8(File->errorString());
    return {};
  }
  if ((left > 0 && n == 0) || (left == 0 && n > 0)) return changed();
  std::string_view chunk(ReadBuffer.data(), static_cast<size_t>(n));
  Sent.Add(chunk);
  if ((Expected.Ascii && !Sent.Ascii) || (!Expected.LongLine && Sent.LongLine)) return changed();
  if (chunk.empty()) {
    struct stat now {};
    if (!Sent.Matches(Expected) || ::fstat(File->handle(), &now) != 0 || now.st_size != FileInfo.st_size ||
        now.st_mtim.tv_sec != FileInfo.st_mtim.tv_sec || now.st_mtim.tv_nsec != FileInfo.st_mtim.tv_nsec)
      return changed();
  }
  return chunk;
}

bool TTransfer::Refill() {
  if (!HeadersQueued) {
    HeadersQueued = true;
    // The server has answered DATA: what it took before is commands.
    DataStart = Session->Sockets().BytesTaken();
    Pending += HeaderBlock;
    Pending += "\r\n";
    WireQueued += static_cast<int64_t>(HeaderBlock.size() + 2);
    Session->Reports().DocInput(disHeaders, Total, 0);
    return true;
  }
  if (!BodyStarted) {
    BodyStarted = true;
    Session->Reports().DocInput(disData, Total, 0);
    Session->DataStarted(DataStart, WireQueued, Total);
  }
  const size_t queued = Pending.size();
  std::string_view chunk;
  if (File) {
    chunk = ReadFileChunk();
    if (!ReadError.empty()) return false;
  } else {
    chunk = std::string_view(Text).substr(TextPos, ChunkSize);
    TextPos += chunk.size();
  }
  Encoder->Add(chunk, Pending);
  Done += static_cast<int64_t>(chunk.size());
  if (chunk.empty()) {
    Encoder->Finish(Pending);
    BodyDone = true;
  }
  WireQueued += static_cast<int64_t>(Pending.size() - queued);
  Session->DataQueued(WireQueued, Done);
  return true;
}

// ---- the progress of the data

// The progress shown follows what the server took, not what libcurl was
// handed: the kernel's send buffer may hold megabytes for a slow server.
void TSMTPSession::DataStarted(uint64_t ADataStart, int64_t AHeaderWire, int64_t ATotal) {
  std::lock_guard lock(FProgress.Lock);
  FProgress.Active = true;
  FProgress.DataStart = ADataStart;
  FProgress.Marks = {{AHeaderWire, 0}};
  FProgress.Total = ATotal;
  FProgress.Done = FProgress.Reported = 0;
  FProgress.Since.start();
}

void TSMTPSession::DataQueued(int64_t AWire, int64_t ADone) {
  {
    std::lock_guard lock(FProgress.Lock);
    FProgress.Marks.emplace_back(AWire, ADone);
    FProgress.Done = ADone;
  }
  ReportTaken(FSockets->BytesTaken());
}

int64_t TSMTPSession::DataEnded() {
  std::lock_guard lock(FProgress.Lock);
  FProgress.Active = false;
  return FProgress.Reported;
}

void TSMTPSession::ReportTaken(uint64_t ATaken) {
  std::lock_guard lock(FProgress.Lock);
  TProgress& p = FProgress;
  if (!p.Active || p.Since.elapsed() < ProgressInterval) return;
  const int64_t wire = static_cast<int64_t>(ATaken - std::min(ATaken, p.DataStart));
  while (p.Marks.size() > 1 && p.Marks[1].first <= wire) p.Marks.pop_front();
  const auto [wire0, body0] = p.Marks.front();
  int64_t taken = body0;
  if (wire < wire0) taken = 0;  // still in the header block
  else if (p.Marks.size() > 1) {
    const auto [wire1, body1] = p.Marks[1];
    taken = body0 + (wire - wire0) * (body1 - body0) / std::max<int64_t>(1, wire1 - wire0);
  }
  taken = std::min(taken, p.Done);
  if (taken <= p.Reported) return;
  FReports->DocInput(disData, p.Total, taken);
  p.Reported = taken;
  p.Since.restart();
}

// ---- what a transfer tells of its progress

// The connect deadline holds until the session is open: an Open transfer's
// NOOP is its first command after the greeting, EHLO and STARTTLS. From then
// on each wait has the response time-out, counted from the last command or
// data sent and from the last whole reply; a reply trickled byte by byte
// does not count until it is whole.
void TSMTPSession::CommandSent(TTransfer& ATransfer, std::string_view ACommand) {
  if (ACommand.starts_with("STARTTLS")) ATransfer.StartTlsSent = true;
  if (ATransfer.Kind == TTransferKind::Open && ACommand.starts_with("NOOP"))
    FWatch.Arm(TWaitKind::Response, FSettings.ResponseTimeout);
  else if (FWatch.Kind() == TWaitKind::Response)
    FWatch.Extend();
}

void TSMTPSession::DataSent() {
  if (FWatch.Kind() == TWaitKind::Response) FWatch.Extend();
}

int TSMTPSession::ResponseSpan() const {
  if (FTransfer && FTransfer->Kind == TTransferKind::Quit) return std::min(FSettings.ResponseTimeout, QuitTimeout);
  return FSettings.ResponseTimeout;
}

// libcurl, asked only to try TLS, goes on in plaintext when the server
// refuses STARTTLS; a server that offers it and then refuses it gets
// nothing more: its socket is shut before libcurl can send another command.
void TSMTPSession::ReplyReceived(TTransfer& ATransfer, int ACode) {
  if (ATransfer.StartTlsSent && !ATransfer.StartTlsAnswered) {
    ATransfer.StartTlsAnswered = true;
    if (ACode != 220) {
      ATransfer.TlsRefusal = ATransfer.Last;
      FSockets->ShutDownAll();
    }
  }
  if (FWatch.Kind() == TWaitKind::Response) FWatch.Extend();
}

// ---- libcurl plumbing

bool TSMTPSession::CreateMulti() {
  FMulti = curl_multi_init();
  if (!FMulti) return false;
  curl_multi_setopt(FMulti, CURLMOPT_SOCKETFUNCTION, &TSMTPSession::SocketCallback);
  curl_multi_setopt(FMulti, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(FMulti, CURLMOPT_TIMERFUNCTION, &TSMTPSession::TimerCallback);
  curl_multi_setopt(FMulti, CURLMOPT_TIMERDATA, this);
  return true;
}

std::unique_ptr<TTransfer> TSMTPSession::NewTransfer(TTransferKind AKind) {
  auto t = std::make_unique<TTransfer>();
  t->Session = this;
  t->Kind = AKind;
  t->Easy = curl_easy_init();
  CURL* e = t->Easy;
  if (!e) return t;
  // Everything that decides which pooled connection a transfer may use is
  // the same for every transfer of the session.
  curl_easy_setopt(e, CURLOPT_URL, FUrl.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "smtp");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // TLS when the server offers it; required when asked for, when a CA file
  // is given, and once the session has used it.
  curl_easy_setopt(e, CURLOPT_USE_SSL, static_cast<long>(TlsRequired() ? CURLUSESSL_ALL : CURLUSESSL_TRY));
  if (!FSettings.CAFile.isEmpty()) curl_easy_setopt(e, CURLOPT_CAINFO, QFile::encodeName(FSettings.CAFile).constData());
  if (FResolve) curl_easy_setopt(e, CURLOPT_RESOLVE, FResolve);
  // The deadlines are the watch's (TDeadlineWatch); libcurl's own are a
  // backstop a little later. libcurl counts a reply's time from the end of
  // the data it wrote, while the send buffer may still be draining to a slow
  // server that the watch rightly waits for: its reply time-out only stops
  // a session that nothing else would.
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(FSettings.ConnectTimeout) + 5000);
  curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                   static_cast<long>(std::max(Seconds(FSettings.ResponseTimeout) + 5, ReplyBackstop)));
  curl_easy_setopt(e, CURLOPT_MAXAGE_CONN, 7L * 24 * 3600);  // the session lasts until Disconnect
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->ErrorBuffer);
  // The sockets are opened and closed through the registry, so that the
  // control and the deadline watch can wake a transfer that waits inside libcurl.
  curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, FSockets.get());
  curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION,
                   +[](void* ARegistry, curlsocktype, curl_sockaddr* AAddress) -> curl_socket_t {
                     return static_cast<TSocketRegistry*>(ARegistry)->Open(AAddress->family, AAddress->socktype,
                                                                           AAddress->protocol);
                   });
  curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, FSockets.get());
  curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, +[](void* ARegistry, curl_socket_t ASocket) {
    static_cast<TSocketRegistry*>(ARegistry)->Close(ASocket);
    return 0;
  });
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, +[](char*, size_t ASize, size_t ACount, void*) { return ASize * ACount; });
  // The debug channel is where libcurl hands over the server's replies and
  // tells what it sends: the errors report the replies line by line, and
  // the deadlines follow what moves.
  curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(e, CURLOPT_DEBUGDATA, t.get());
  curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, +[](CURL*, curl_infotype AType, char* AData, size_t ASize, void* AUser) {
    static_cast<TTransfer*>(AUser)->Debug(AType, std::string_view(AData, ASize));
    return 0;
  });
  if (AKind == TTransferKind::Open) curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "NOOP");
  if (AKind == TTransferKind::Quit) curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "QUIT");
  return t;
}

void TSMTPSession::Start(std::unique_ptr<TTransfer> ATransfer) {
  FTransfer = std::move(ATransfer);
  // The first Open of a session runs under the deadline Connect armed; a
  // reopened session gets a connect deadline of its own.
  if (FTransfer->Kind != TTransferKind::Open)
    FWatch.Arm(TWaitKind::Response, ResponseSpan());
  else if (FState >= stConnected)
    FWatch.Arm(TWaitKind::Connect, FSettings.ConnectTimeout);
  if (!FTransfer->Easy || !FMulti || curl_multi_add_handle(FMulti, FTransfer->Easy) != CURLM_OK) {
    // Reported like any other failed transfer, from the event loop.
    Later([this] {
      if (FTransfer && !FTransfer->ErrorBuffer[0]) std::strcpy(FTransfer->ErrorBuffer, "out of resources");
      if (FTransfer) TransferDone(CURLE_OUT_OF_MEMORY);
    });
  }
}

void TSMTPSession::WatchSocket(curl_socket_t ASocket, int AWhat) {
  auto& [reader, writer] = FNotifiers[ASocket];
  if (AWhat == CURL_POLL_REMOVE) {
    for (QSocketNotifier* n : {reader, writer})
      if (n) {
        n->setEnabled(false);
        n->deleteLater();  // it may be the notifier whose signal is running
      }
    FNotifiers.erase(ASocket);
    return;
  }
  if (!reader) {
    reader = new QSocketNotifier(ASocket, QSocketNotifier::Read, &FContext);
    QObject::connect(reader, &QSocketNotifier::activated, &FContext, [this, ASocket] { SocketAction(ASocket, CURL_CSELECT_IN); });
    writer = new QSocketNotifier(ASocket, QSocketNotifier::Write, &FContext);
    QObject::connect(writer, &QSocketNotifier::activated, &FContext, [this, ASocket] { SocketAction(ASocket, CURL_CSELECT_OUT); });
  }
  reader->setEnabled((AWhat & CURL_POLL_IN) != 0);
  writer->setEnabled((AWhat & CURL_POLL_OUT) != 0);
}

void TSMTPSession::SocketAction(curl_socket_t ASocket, int AEvents) {
  if (!FMulti) return;
  int running = 0;
  curl_multi_socket_action(FMulti, ASocket, AEvents, &running);
  int left = 0;
  while (CURLMsg* m = FMulti ? curl_multi_info_read(FMulti, &left) : nullptr) {
    if (m->msg == CURLMSG_DONE && FTransfer && m->easy_handle == FTransfer->Easy) {
      TransferDone(m->data.result);
      return;  // the multi handle may be gone now
    }
  }
}

TFailure TSMTPSession::Classify(CURLcode AResult, const TTransfer& T, TWaitKind AExpired) const {
  std::string detail = T.ErrorBuffer[0] ? std::string(T.ErrorBuffer) : std::string(curl_easy_strerror(AResult));
  std::string server = " (" + FHostText + ")";
  if (!T.ReadError.empty()) return {smtpErrFileUnreadable, T.ReadError, {}, false};
  if (AExpired != TWaitKind::None) return TimeoutFailure(AExpired);
  if (FSockets->Interrupted()) return {smtpErrConnectionLost, "The transfer was stopped by a disconnection.", {}, true};
  if (!T.ProtocolError.empty())
    return {smtpErrProtocol,
            "The SMTP server" + server + " broke the protocol: it sent \"" + T.ProtocolError + "\" where a reply was due.",
            {}, true};
  // TLS comes before the server's refusals: a STARTTLS refused is a TLS failure.
  if (T.TlsRefusal.Code || (AResult == CURLE_USE_SSL_FAILED && T.StartTlsSent)) {
    const TReply& reply = T.TlsRefusal.Code ? T.TlsRefusal : T.Refusal;
    return {smtpErrTls,
            "The SMTP server" + server + " refused STARTTLS (" + std::to_string(reply.Code) + " " + ReplyText(reply) +
                "): nothing was sent.",
            reply.Lines, true};
  }
  if (AResult == CURLE_USE_SSL_FAILED)
    return {smtpErrTls,
            "The SMTP server" + server + " does not offer STARTTLS, and the session must be secure: nothing was sent.",
            {}, true};
  switch (AResult) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
      return {smtpErrTls, "The secure connection (STARTTLS) to the SMTP server" + server + " failed: " + detail, {}, true};
    default:
      break;
  }
  // libcurl may say QUIT after a refusal: the refusal, not the farewell, is the error.
  if (T.Refusal.Code && AResult != CURLE_OPERATION_TIMEDOUT)
    return {static_cast<int16_t>(T.Refusal.Code), ReplyText(T.Refusal), T.Refusal.Lines,
            T.Refusal.Code == 421 || T.Kind != TTransferKind::Message};
  switch (AResult) {
    case CURLE_OPERATION_TIMEDOUT:
      return TimeoutFailure(FState < stConnected ? TWaitKind::Connect : TWaitKind::Response);
    case CURLE_COULDNT_CONNECT:
      return {smtpErrConnectionRefused, "Cannot connect to the SMTP server" + server + ": " + detail, {}, true};
    case CURLE_COULDNT_RESOLVE_HOST:
      return {smtpErrHostNotFound, "The SMTP server" + server + " was not found: " + detail, {}, true};
    case CURLE_WEIRD_SERVER_REPLY:
      return {smtpErrProtocol, "The SMTP server" + server + " broke the protocol: " + detail, {}, true};
    default:
      return {smtpErrConnectionLost, "The connection to the SMTP server" + server + " was lost: " + detail, {}, true};
  }
}

void TSMTPSession::TransferDone(CURLcode AResult) {
  std::unique_ptr<TTransfer> t = std::move(FTransfer);
  TWaitKind expired = FWatch.Disarm();
  const int64_t reported = DataEnded();
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (AResult == CURLE_OK && expired == TWaitKind::None) curl_easy_getinfo(t->Easy, CURLINFO_ACTIVESOCKET, &socket);
  if (FMulti) curl_multi_remove_handle(FMulti, t->Easy);
  FSessionOpen = socket != CURL_SOCKET_BAD;
  FSessionSocket = socket;
  switch (t->Kind) {
    case TTransferKind::Open:
      if (AResult != CURLE_OK || expired != TWaitKind::None) {
        TFailure failure = Classify(AResult, *t, expired);
        failure.SessionEnds = true;
        if (FState < stConnected) return ConnectFailed(std::move(failure));
        return SessionLost(std::move(failure));
      }
      if (FState < stConnected) {
        FState = stConnected;
        FReports->StateChanged(FConnect, stConnected);
      }
      break;
    case TTransferKind::Message:
      if (AResult == CURLE_OK) {
        // The server has accepted the message: it took it all, which the
        // last progress may not have seen yet; only now is it reported sent.
        if (t->BodyDone && reported < t->Done) FReports->DocInput(disData, t->Total, t->Done);
        FReports->MessageSent(t->Total, t->Done);
        // Its deadline ran out just as the reply came: the connection is cut.
        if (expired != TWaitKind::None) return SessionLost(TimeoutFailure(expired));
      } else {
        TFailure failure = Classify(AResult, *t, expired);
        FReports->Failed(failure, t->Total, t->Done);
        if (failure.SessionEnds) return SessionLost(std::move(failure), false);
      }
      break;
    case TTransferKind::Quit:
      // Whether the server said goodbye or stayed silent, the session is over.
      Teardown();
      FState = stDisconnected;
      FReports->SessionEnded(FConnect, std::nullopt, false);
      return;
  }
  StartNext();
}

// ---- the resting connection

void TSMTPSession::ArmIdleWatch() {
  if (FIdleWatch || FSessionSocket == CURL_SOCKET_BAD || FNotifiers.count(FSessionSocket)) return;
  FIdleWatch = new QSocketNotifier(FSessionSocket, QSocketNotifier::Read, &FContext);
  QObject::connect(FIdleWatch, &QSocketNotifier::activated, &FContext, [this] { IdleSocketReady(); });
}

void TSMTPSession::DisarmIdleWatch() {
  if (!FIdleWatch) return;
  FIdleWatch->setEnabled(false);
  FIdleWatch->deleteLater();
  FIdleWatch = nullptr;
}

// The server spoke while no transfer runs: it is closing the session (421,
// or just closing). On a plain connection its words are read here; on a TLS
// connection only libcurl can read them, so a NOOP goes out and the reply
// that comes back is the server's closing word.
void TSMTPSession::IdleSocketReady() {
  if (FTlsUsed) {
    DisarmIdleWatch();
    return Start(NewTransfer(TTransferKind::Open));
  }
  char buffer[512];
  ssize_t n = ::recv(FSessionSocket, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  TTransfer reply;
  if (n > 0) reply.AddReplyText(std::string_view(buffer, static_cast<size_t>(n)));
  if (reply.Last.Code >= 400 || reply.Reading.Code >= 400) {
    const TReply& r = reply.Last.Code ? reply.Last : reply.Reading;
    return SessionLost({static_cast<int16_t>(r.Code), ReplyText(r), r.Lines, true});
  }
  SessionLost({smtpErrConnectionLost, "The SMTP server (" + FHostText + ") closed the session.", {}, true});
}

// Drops the connection without a word to the server: used when it is gone
// already, after QUIT, or when the control is freed.
void TSMTPSession::Teardown() {
  // libcurl would finish a message in flight (the end of its data) and say
  // QUIT to a pooled connection, and wait for the answers, blocking; shutting
  // the sockets first makes that fail at once.
  FSockets->ShutDownAll();
  DisarmIdleWatch();
  if (FTransfer) {
    if (FMulti) curl_multi_remove_handle(FMulti, FTransfer->Easy);
    FTransfer.reset();
  }
  if (FMulti) {
    curl_multi_cleanup(FMulti);
    FMulti = nullptr;
  }
  FSessionOpen = false;
  FSessionSocket = CURL_SOCKET_BAD;
  for (auto& [socket, pair] : FNotifiers)
    for (QSocketNotifier* n : {pair.first, pair.second})
      if (n) {
        n->setEnabled(false);
        n->deleteLater();
      }
  FNotifiers.clear();
  FCurlTimer.stop();
  DataEnded();
  if (FResolve) curl_slist_free_all(FResolve);
  FResolve = nullptr;
}

}  // namespace Vantry::Isp3
