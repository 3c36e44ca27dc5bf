#include "mail/isp3.h"

#include "mail/isp3Message.h"
#include "platform/Application.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QTimer>

#include <curl/curl.h>
#include <sys/socket.h>

#include <QUrl>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

// How the control works
// ---------------------
// libcurl's multi interface does the SMTP dialogue; Qt socket notifiers and
// one single-shot timer drive it (curl_multi_socket_action), so nothing ever
// blocks the GUI thread and nothing polls.
//
// A session is a libcurl multi handle whose connection pool holds the one
// SMTP connection. Connect resolves the name with QHostInfo (states 2 and 3),
// hands the addresses to libcurl (CURLOPT_RESOLVE, so the certificate is still
// checked against the name) and runs a NOOP transfer: libcurl reads the
// greeting, says EHLO, upgrades with STARTTLS when offered, and sends NOOP;
// when that succeeds the connection rests in the pool and state 4 is raised.
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
//
// Every event is posted to the Qt event loop, in order, and raised from
// there: never from inside a call of the control's user, never from inside
// a libcurl callback. A handler may call the control again, run a nested
// event loop, or free the control.

namespace Vantry {

using namespace Isp3;

namespace {

void GlobalInit() {
  static const bool Done = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return true;
  }();
  (void)Done;
}

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

struct TFailure {
  int16_t Number = 0;
  std::string Description;
  std::vector<std::string> Items;
  bool SessionEnds = false;  // the connection is gone: state 6
};

int Seconds(int AMilliseconds) { return std::max(1, (AMilliseconds + 999) / 1000); }

constexpr size_t ChunkSize = 64 * 1024;
constexpr int ProgressInterval = 50;  // milliseconds between progress events: at most 20 a second

}  // namespace

// A message waiting for its turn: its headers and body copied at the call.
struct TQueuedMessage {
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Text;
  QString FileName;
  bool FromFile = false;
};

enum class TTransferKind { Open, Message, Quit };

class TSMTPEngine;

// One libcurl transfer: opening the session, a message, or QUIT.
struct TTransfer {
  TSMTPEngine* Engine = nullptr;
  TTransferKind Kind = TTransferKind::Open;
  CURL* Easy = nullptr;
  curl_slist* Recipients = nullptr;
  char ErrorBuffer[CURL_ERROR_SIZE] = {};
  TReply Reading, Last;
  TReply Refusal;  // the first reply of 400 or more: what failed the transfer
  // The message's wire form, produced as libcurl asks for it.
  std::string HeaderBlock;
  std::string Text;
  size_t TextPos = 0;
  std::unique_ptr<QFile> File;
  std::unique_ptr<TBodyEncoder> Encoder;
  std::string Pending;
  size_t PendingPos = 0;
  bool HeadersQueued = false, BodyStarted = false, BodyDone = false;
  int64_t Total = 0, Done = 0, Reported = -1;
  QElapsedTimer SinceProgress;
  std::string ReadError;
  std::string ReadBuffer;  // one chunk of the file, reused

  ~TTransfer() {
    if (Easy) curl_easy_cleanup(Easy);
    if (Recipients) curl_slist_free_all(Recipients);
  }

  void AddReplyText(std::string_view AText) {
    while (!AText.empty()) {
      size_t end = AText.find('\n');
      std::string_view line = AText.substr(0, end);
      AText = end == std::string_view::npos ? std::string_view() : AText.substr(end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
          !std::isdigit(static_cast<unsigned char>(line[1])) || !std::isdigit(static_cast<unsigned char>(line[2])))
        continue;
      Reading.Code = std::stoi(std::string(line.substr(0, 3)));
      Reading.Lines.emplace_back(line.size() > 4 ? line.substr(4) : std::string_view());
      if (line.size() < 4 || line[3] != '-') {
        if (Reading.Code >= 400 && !Refusal.Code) Refusal = Reading;
        Last = std::move(Reading);
        Reading = {};
      }
    }
  }

  size_t Read(char* ABuffer, size_t AMax);
  bool Refill();
};

class TSMTPEngine {
public:
  explicit TSMTPEngine(TSMTP& AOwner) : FOwner(AOwner) {
    GlobalInit();
    FCurlTimer.setSingleShot(true);
    QObject::connect(&FCurlTimer, &QTimer::timeout, &FContext, [this] { SocketAction(CURL_SOCKET_TIMEOUT, 0); });
    FConnectDeadline.setSingleShot(true);
    QObject::connect(&FConnectDeadline, &QTimer::timeout, &FContext, [this] { ConnectTimedOut(); });
  }

  ~TSMTPEngine() {
    FAlive.reset();
    if (FLookupId >= 0) QHostInfo::abortHostLookup(FLookupId);
    Teardown();
  }

  int16_t State() const { return FState; }
  bool Busy() const { return FOperations > 0; }

  void Connect();
  void Disconnect();
  void Verify(const QString& AAddresses);
  void Send(std::unique_ptr<TQueuedMessage> AMessage);
  // AOperation: the failure ends an operation that counted towards Busy.
  void PostFailure(TFailure AFailure, bool AWithDocument, bool AOperation = true);

  // Called by the transfer as libcurl reads the message.
  void PostDocInput(int16_t AState, int64_t ATotal, int64_t ADone);

private:
  // Runs A from the event loop, after everything posted before it.
  void Post(std::function<void()> A) { QMetaObject::invokeMethod(&FContext, std::move(A), Qt::QueuedConnection); }
  // Calls a handler; false when the handler freed the control.
  template <class F>
  bool Call(F&& AHandler) {
    std::weak_ptr<bool> alive = FAlive;
    AHandler();
    return !alive.expired();
  }
  bool RaiseState(int16_t AState);
  bool RaiseError(const TFailure& AFailure);
  bool RaiseDocInput(int16_t AState, int64_t ATotal, int64_t ADone);
  void OperationEnded() { FOperations = std::max(0, FOperations - 1); }

  bool ParseHost(TFailure& AFailure);
  void LookedUp(const QHostInfo& AInfo);
  void ConnectTimedOut();
  void ConnectFailed(TFailure AFailure);
  // AReport false: the failure has been posted already (with its message).
  void SessionLost(TFailure AFailure, bool AReport = true);
  void FailQueued(const std::string& AWhy);

  bool CreateMulti();
  std::unique_ptr<TTransfer> NewTransfer(TTransferKind AKind);
  void Start(std::unique_ptr<TTransfer> ATransfer);
  void StartNext();
  bool StartMessage(std::unique_ptr<TQueuedMessage> AMessage);
  void SocketAction(curl_socket_t ASocket, int AEvents);
  void TransferDone(CURLcode AResult);
  TFailure Classify(CURLcode AResult, const TTransfer& ATransfer) const;
  void WatchSocket(curl_socket_t ASocket, int AWhat);
  void ArmIdleWatch();
  void DisarmIdleWatch();
  void IdleSocketReady();
  void Teardown();

  static int SocketCallback(CURL*, curl_socket_t ASocket, int AWhat, void* AUser, void*) {
    static_cast<TSMTPEngine*>(AUser)->WatchSocket(ASocket, AWhat);
    return 0;
  }
  static int TimerCallback(CURLM*, long ATimeout, void* AUser) {
    auto* self = static_cast<TSMTPEngine*>(AUser);
    if (ATimeout < 0)
      self->FCurlTimer.stop();
    else
      self->FCurlTimer.start(static_cast<int>(std::min<long>(ATimeout, 1 << 30)));
    return 0;
  }

  TSMTP& FOwner;
  QObject FContext;  // receives the posted events and the Qt signals; dies with the engine
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
  int16_t FState = stDisconnected;
  int FOperations = 0;
  std::string FHostText;  // the host as given, for messages
  QString FHost;
  int FPort = 25;
  std::string FUrl;
  curl_slist* FResolve = nullptr;
  std::string FLocalName = LocalHostName();
  int FLookupId = -1;
  QTimer FConnectDeadline;
  QElapsedTimer FConnectClock;
  CURLM* FMulti = nullptr;
  QTimer FCurlTimer;
  std::map<curl_socket_t, std::pair<QSocketNotifier*, QSocketNotifier*>> FNotifiers;
  std::unique_ptr<TTransfer> FTransfer;
  std::deque<std::unique_ptr<TQueuedMessage>> FQueue;
  bool FSessionOpen = false;  // a live connection rests in the pool
  curl_socket_t FSessionSocket = CURL_SOCKET_BAD;
  QSocketNotifier* FIdleWatch = nullptr;
};

// ---- events

bool TSMTPEngine::RaiseState(int16_t AState) {
  return Call([&] {
    if (FOwner.OnStateChanged) FOwner.OnStateChanged(&FOwner, AState);
  });
}

bool TSMTPEngine::RaiseError(const TFailure& AFailure) {
  FOwner.FErrors.FItems.clear();
  for (const std::string& item : AFailure.Items) FOwner.FErrors.FItems.emplace_back(QString::fromStdString(item));
  WideString description = QString::fromStdString(AFailure.Description);
  bool cancel = false;
  if (!Call([&] {
        if (FOwner.OnError)
          FOwner.OnError(&FOwner, AFailure.Number, description, 0, QStringLiteral("TSMTP"), QString(), 0, cancel);
      }))
    return false;
  if (!cancel) {
    std::string text = std::to_string(AFailure.Number) + " - " + Utf8(description);
    for (const std::string& item : AFailure.Items)
      if (item != AFailure.Description) text += "\n" + item;
    return Call([&] { Application().HandleException(&FOwner, std::make_exception_ptr(Exception(text))); });
  }
  return true;
}

bool TSMTPEngine::RaiseDocInput(int16_t AState, int64_t ATotal, int64_t ADone) {
  TDocInput& doc = FOwner.FDocInput;
  constexpr int64_t Max = INT32_MAX;
  doc.FState = AState;
  doc.FBytesTotal = ATotal > Max ? -1 : static_cast<int32_t>(ATotal);
  doc.FBytesTransferred = static_cast<int32_t>(std::min(ADone, Max));
  return Call([&] {
    if (FOwner.OnDocInput) FOwner.OnDocInput(&FOwner, &doc);
  });
}

void TSMTPEngine::PostDocInput(int16_t AState, int64_t ATotal, int64_t ADone) {
  Post([this, AState, ATotal, ADone] { RaiseDocInput(AState, ATotal, ADone); });
}

// An operation that fails before or during its transfer: OnError, then, for
// a message, its document ends (state 5); then the operation is over.
void TSMTPEngine::PostFailure(TFailure AFailure, bool AWithDocument, bool AOperation) {
  Post([this, AFailure = std::move(AFailure), AWithDocument, AOperation] {
    if (!RaiseError(AFailure)) return;
    const TDocInput& doc = FOwner.FDocInput;
    if (AWithDocument && !RaiseDocInput(disEnd, doc.FBytesTotal, doc.FBytesTransferred)) return;
    if (AOperation) OperationEnded();
  });
}

// ---- connecting

bool TSMTPEngine::ParseHost(TFailure& AFailure) {
  QString text = FOwner.RemoteHost().trimmed();
  FHostText = Utf8(text);
  FPort = FOwner.RemotePort();
  QString host = text;
  QString port;
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
  if (!port.isNull()) {
    FPort = port.toInt(&ok);
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

void TSMTPEngine::Connect() {
  if (FState != stDisconnected) {
    PostFailure({smtpErrWrongState, "Connect is not possible now: a session is open, opening or closing.", {}, false},
                false, false);
    return;
  }
  TFailure failure;
  bool parsed = ParseHost(failure);
  FState = stConnecting;
  FConnectClock.start();
  FConnectDeadline.start(std::max(1, FOwner.ConnectTimeout()));
  Post([this] { RaiseState(stConnecting); });
  Post([this, parsed, failure] {
    if (FState != stConnecting) return;
    if (!parsed) return ConnectFailed(failure);
    FState = stResolvingHost;
    if (!RaiseState(stResolvingHost) || FState != stResolvingHost) return;
    FLookupId = QHostInfo::lookupHost(FHost, &FContext, [this](const QHostInfo& AInfo) { LookedUp(AInfo); });
  });
}

void TSMTPEngine::LookedUp(const QHostInfo& AInfo) {
  FLookupId = -1;
  if (FState != stResolvingHost) return;
  if (AInfo.error() != QHostInfo::NoError || AInfo.addresses().isEmpty())
    return ConnectFailed({smtpErrHostNotFound,
                          "The SMTP server \"" + Utf8(FHost) + "\" was not found: " + Utf8(AInfo.errorString()), {}, true});
  FState = stHostResolved;
  Post([this] { RaiseState(stHostResolved); });
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

void TSMTPEngine::ConnectTimedOut() {
  if (FState < stConnecting || FState > stHostResolved) return;
  if (FLookupId >= 0) QHostInfo::abortHostLookup(FLookupId);
  FLookupId = -1;
  ConnectFailed({smtpErrConnectTimeout,
                 "No session with the SMTP server " + FHostText + " within " +
                     std::to_string(Seconds(FOwner.ConnectTimeout())) + " seconds.",
                 {}, true});
}

void TSMTPEngine::ConnectFailed(TFailure AFailure) {
  FConnectDeadline.stop();
  Teardown();
  FState = stDisconnected;
  Post([this, AFailure = std::move(AFailure)] {
    if (RaiseError(AFailure)) RaiseState(stDisconnected);
  });
}

void TSMTPEngine::SessionLost(TFailure AFailure, bool AReport) {
  Teardown();
  FState = stDisconnected;
  Post([this, AFailure = std::move(AFailure), AReport] {
    if (!AReport || RaiseError(AFailure)) RaiseState(stDisconnected);
  });
  FailQueued("The session with the SMTP server ended before the message was sent.");
}

void TSMTPEngine::FailQueued(const std::string& AWhy) {
  while (!FQueue.empty()) {
    FQueue.pop_front();
    Post([this] { RaiseDocInput(disBegin, 0, 0); });
    PostFailure({smtpErrNotConnected, AWhy, {}, false}, true);
  }
}

void TSMTPEngine::Disconnect() {
  switch (FState) {
    case stDisconnected:
      return;
    case stConnected:
      FState = stDisconnecting;
      Post([this] { RaiseState(stDisconnecting); });
      StartNext();  // the messages already handed over go first, then QUIT
      return;
    default:
      // Still connecting, or a second Disconnect while closing: give up now.
      if (FLookupId >= 0) QHostInfo::abortHostLookup(FLookupId);
      FLookupId = -1;
      FConnectDeadline.stop();
      if (FTransfer && FTransfer->Kind == TTransferKind::Message)
        PostFailure({smtpErrConnectionLost, "The transfer was stopped by a disconnection.", {}, false}, true);
      Teardown();
      FailQueued("The session was closed before the message was sent.");
      if (FState != stDisconnecting) Post([this] { RaiseState(stDisconnecting); });
      FState = stDisconnected;
      Post([this] { RaiseState(stDisconnected); });
  }
}

// ---- verifying and sending

void TSMTPEngine::Verify(const QString& AAddresses) {
  std::vector<std::string> errors;
  ParseAddressList(Utf8(AAddresses), false, errors);
  FOperations++;
  Post([this, errors = std::move(errors)] {
    if (errors.empty()) {
      if (!Call([&] {
            if (FOwner.OnVerify) FOwner.OnVerify(&FOwner);
          }))
        return;
    } else {
      TFailure failure{smtpErrBadAddress,
                       errors.size() == 1 ? errors.front()
                                          : std::to_string(errors.size()) + " addresses are not valid.",
                       errors, false};
      if (!RaiseError(failure)) return;
    }
    OperationEnded();
  });
}

void TSMTPEngine::Send(std::unique_ptr<TQueuedMessage> AMessage) {
  FOperations++;
  if (FState != stConnected) {
    Post([this] { RaiseDocInput(disBegin, 0, 0); });
    PostFailure({smtpErrNotConnected, "Not connected to an SMTP server: the message was not sent.", {}, false}, true);
    return;
  }
  FQueue.push_back(std::move(AMessage));
  StartNext();
}

void TSMTPEngine::StartNext() {
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
          Post([this] { RaiseState(stDisconnected); });
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

// Prepares the message's transfer and starts it; false when it failed
// before anything went out (its failure is posted).
bool TSMTPEngine::StartMessage(std::unique_ptr<TQueuedMessage> AMessage) {
  auto transfer = NewTransfer(TTransferKind::Message);
  TBodyScan scan;
  if (AMessage->FromFile) {
    transfer->File = std::make_unique<QFile>(AMessage->FileName);
    std::string name = Utf8(AMessage->FileName);
    bool ok = transfer->File->open(QIODevice::ReadOnly);
    // One pass to learn what the body holds (ASCII, UTF-8, line lengths),
    // which decides its headers; the second pass streams it.
    std::string chunk(ChunkSize, '\0');
    while (ok) {
      qint64 n = transfer->File->read(chunk.data(), static_cast<qint64>(chunk.size()));
      if (n < 0) ok = false;
      if (n <= 0) break;
      scan.Add(std::string_view(chunk.data(), static_cast<size_t>(n)));
    }
    if (!ok || !transfer->File->seek(0)) {
      Post([this] { RaiseDocInput(disBegin, 0, 0); });
      PostFailure({smtpErrFileUnreadable,
                   "The file \"" + name + "\" cannot be read: " + Utf8(transfer->File->errorString()), {}, false},
                  true);
      return false;
    }
  } else {
    transfer->Text = std::move(AMessage->Text);
    scan.Add(transfer->Text);
  }
  TPreparedHeaders headers = PrepareHeaders(AMessage->Headers, scan, FLocalName);
  transfer->Total = scan.Size;
  Post([this, total = scan.Size] { RaiseDocInput(disBegin, total, 0); });
  if (!headers.Error.empty()) {
    bool address = headers.Error.find("not a valid address") != std::string::npos;
    PostFailure({address ? smtpErrBadAddress : smtpErrBadHeader, headers.Error, {}, false}, true);
    return false;
  }
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

bool TTransfer::Refill() {
  if (!HeadersQueued) {
    HeadersQueued = true;
    Pending += HeaderBlock;
    Pending += "\r\n";
    Engine->PostDocInput(disHeaders, Total, 0);
    return true;
  }
  if (!BodyStarted) {
    BodyStarted = true;
    SinceProgress.start();
    Engine->PostDocInput(disData, Total, 0);
    Reported = 0;
  }
  std::string_view chunk;
  if (File) {
    ReadBuffer.resize(ChunkSize);
    qint64 n = File->read(ReadBuffer.data(), static_cast<qint64>(ReadBuffer.size()));
    if (n < 0) {
      ReadError = "The file \"" + Utf8(File->fileName()) + "\" cannot be read: " + Utf8(File->errorString());
      return false;
    }
    chunk = std::string_view(ReadBuffer.data(), static_cast<size_t>(n));
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
  if (Done != Reported && (BodyDone || SinceProgress.elapsed() >= ProgressInterval)) {
    Engine->PostDocInput(disData, Total, Done);
    Reported = Done;
    SinceProgress.restart();
  }
  return true;
}

// ---- libcurl plumbing

bool TSMTPEngine::CreateMulti() {
  FMulti = curl_multi_init();
  if (!FMulti) return false;
  curl_multi_setopt(FMulti, CURLMOPT_SOCKETFUNCTION, &TSMTPEngine::SocketCallback);
  curl_multi_setopt(FMulti, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(FMulti, CURLMOPT_TIMERFUNCTION, &TSMTPEngine::TimerCallback);
  curl_multi_setopt(FMulti, CURLMOPT_TIMERDATA, this);
  return true;
}

std::unique_ptr<TTransfer> TSMTPEngine::NewTransfer(TTransferKind AKind) {
  auto t = std::make_unique<TTransfer>();
  t->Engine = this;
  t->Kind = AKind;
  t->Easy = curl_easy_init();
  CURL* e = t->Easy;
  if (!e) return t;
  // Everything that decides which pooled connection a transfer may use is
  // the same for every transfer of the session.
  curl_easy_setopt(e, CURLOPT_URL, FUrl.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "smtp");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
  if (!FOwner.CAFile().isEmpty()) curl_easy_setopt(e, CURLOPT_CAINFO, QFile::encodeName(FOwner.CAFile()).constData());
  if (FResolve) curl_easy_setopt(e, CURLOPT_RESOLVE, FResolve);
  long connectMs = FOwner.ConnectTimeout();
  if (FState < stConnected) connectMs = std::max<long>(1, connectMs - FConnectClock.elapsed());
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  long silence = Seconds(FOwner.ResponseTimeout());
  curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, silence);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, silence);
  curl_easy_setopt(e, CURLOPT_MAXAGE_CONN, 7L * 24 * 3600);  // the session lasts until Disconnect
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->ErrorBuffer);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, +[](char*, size_t ASize, size_t ACount, void*) { return ASize * ACount; });
  // The debug channel is where libcurl hands over the server's replies,
  // which the errors report line by line.
  curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(e, CURLOPT_DEBUGDATA, t.get());
  curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, +[](CURL*, curl_infotype AType, char* AData, size_t ASize, void* AUser) {
    if (AType == CURLINFO_HEADER_IN) static_cast<TTransfer*>(AUser)->AddReplyText(std::string_view(AData, ASize));
    return 0;
  });
  if (AKind == TTransferKind::Open) curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "NOOP");
  if (AKind == TTransferKind::Quit) curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "QUIT");
  return t;
}

void TSMTPEngine::Start(std::unique_ptr<TTransfer> ATransfer) {
  FTransfer = std::move(ATransfer);
  if (!FTransfer->Easy || !FMulti || curl_multi_add_handle(FMulti, FTransfer->Easy) != CURLM_OK) {
    // Reported like any other failed transfer, from the event loop.
    Post([this] {
      if (FTransfer && !FTransfer->ErrorBuffer[0]) std::strcpy(FTransfer->ErrorBuffer, "out of resources");
      if (FTransfer) TransferDone(CURLE_OUT_OF_MEMORY);
    });
  }
}

void TSMTPEngine::WatchSocket(curl_socket_t ASocket, int AWhat) {
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

void TSMTPEngine::SocketAction(curl_socket_t ASocket, int AEvents) {
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

TFailure TSMTPEngine::Classify(CURLcode AResult, const TTransfer& T) const {
  std::string detail = T.ErrorBuffer[0] ? std::string(T.ErrorBuffer) : std::string(curl_easy_strerror(AResult));
  if (!T.ReadError.empty()) return {smtpErrFileUnreadable, T.ReadError, {}, false};
  // libcurl may say QUIT after a refusal: the refusal, not the farewell, is the error.
  if (T.Refusal.Code && AResult != CURLE_OPERATION_TIMEDOUT) {
    std::string text;
    for (const std::string& line : T.Refusal.Lines) text += (text.empty() ? "" : " ") + line;
    return {static_cast<int16_t>(T.Refusal.Code), text, T.Refusal.Lines,
            T.Refusal.Code == 421 || T.Kind != TTransferKind::Message};
  }
  std::string server = " (" + FHostText + ")";
  switch (AResult) {
    case CURLE_OPERATION_TIMEDOUT:
      if (FState < stConnected)
        return {smtpErrConnectTimeout, "No session with the SMTP server" + server + " in time: " + detail, {}, true};
      return {smtpErrResponseTimeout,
              "The SMTP server" + server + " did not answer for " + std::to_string(Seconds(FOwner.ResponseTimeout())) +
                  " seconds.",
              {}, true};
    case CURLE_COULDNT_CONNECT:
      return {smtpErrConnectionRefused, "Cannot connect to the SMTP server" + server + ": " + detail, {}, true};
    case CURLE_COULDNT_RESOLVE_HOST:
      return {smtpErrHostNotFound, "The SMTP server" + server + " was not found: " + detail, {}, true};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
      return {smtpErrTls, "The secure connection (STARTTLS) to the SMTP server" + server + " failed: " + detail, {}, true};
    default:
      return {smtpErrConnectionLost, "The connection to the SMTP server" + server + " was lost: " + detail, {}, true};
  }
}

void TSMTPEngine::TransferDone(CURLcode AResult) {
  std::unique_ptr<TTransfer> t = std::move(FTransfer);
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (AResult == CURLE_OK) curl_easy_getinfo(t->Easy, CURLINFO_ACTIVESOCKET, &socket);
  if (FMulti) curl_multi_remove_handle(FMulti, t->Easy);
  FSessionOpen = AResult == CURLE_OK && socket != CURL_SOCKET_BAD;
  FSessionSocket = FSessionOpen ? socket : CURL_SOCKET_BAD;
  switch (t->Kind) {
    case TTransferKind::Open:
      if (AResult != CURLE_OK) {
        TFailure failure = Classify(AResult, *t);
        failure.SessionEnds = true;
        if (FState < stConnected) return ConnectFailed(std::move(failure));
        return SessionLost(std::move(failure));
      }
      if (FState < stConnected) {
        FConnectDeadline.stop();
        FState = stConnected;
        Post([this] { RaiseState(stConnected); });
      }
      break;
    case TTransferKind::Message:
      if (AResult == CURLE_OK) {
        // The server has accepted the message: only now is it reported sent.
        Post([this, total = t->Total, done = t->Done] {
          if (RaiseDocInput(disEnd, total, done)) OperationEnded();
        });
      } else {
        TFailure failure = Classify(AResult, *t);
        PostFailure(failure, true);
        if (failure.SessionEnds) return SessionLost(std::move(failure), false);
      }
      break;
    case TTransferKind::Quit:
      Teardown();
      FState = stDisconnected;
      Post([this] { RaiseState(stDisconnected); });
      return;
  }
  StartNext();
}

// ---- the resting connection

void TSMTPEngine::ArmIdleWatch() {
  if (FIdleWatch || FSessionSocket == CURL_SOCKET_BAD || FNotifiers.count(FSessionSocket)) return;
  FIdleWatch = new QSocketNotifier(FSessionSocket, QSocketNotifier::Read, &FContext);
  QObject::connect(FIdleWatch, &QSocketNotifier::activated, &FContext, [this] { IdleSocketReady(); });
}

void TSMTPEngine::DisarmIdleWatch() {
  if (!FIdleWatch) return;
  FIdleWatch->setEnabled(false);
  FIdleWatch->deleteLater();
  FIdleWatch = nullptr;
}

void TSMTPEngine::IdleSocketReady() {
  char buffer[512];
  ssize_t n = ::recv(FSessionSocket, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  TTransfer reply;
  if (n > 0) reply.AddReplyText(std::string_view(buffer, static_cast<size_t>(n)));
  if (reply.Last.Code >= 400 || reply.Reading.Code >= 400) {
    const TReply& r = reply.Last.Code ? reply.Last : reply.Reading;
    std::string text;
    for (const std::string& line : r.Lines) text += (text.empty() ? "" : " ") + line;
    return SessionLost({static_cast<int16_t>(r.Code), text, r.Lines, true});
  }
  SessionLost({smtpErrConnectionLost, "The SMTP server (" + FHostText + ") closed the session.", {}, true});
}

// Drops the connection without a word to the server: used when it is gone
// already, after QUIT, or when the control is freed.
void TSMTPEngine::Teardown() {
  DisarmIdleWatch();
  if (FTransfer) {
    if (FMulti) curl_multi_remove_handle(FMulti, FTransfer->Easy);
    FTransfer.reset();
  }
  if (FMulti) {
    // libcurl would say QUIT to a pooled connection and wait for the answer,
    // blocking; shutting the socket first makes that fail at once.
    if (FSessionOpen && FSessionSocket != CURL_SOCKET_BAD) ::shutdown(FSessionSocket, SHUT_RDWR);
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
  if (FResolve) curl_slist_free_all(FResolve);
  FResolve = nullptr;
}

// ---- the control

const TClassInfo& TSMTP::StaticClass() {
  using T = TSMTP;
  static constexpr TPropInfo Properties[] = {
      Published::String<&T::SetRemoteHostText>("RemoteHost"),
      Published::Integer<&T::SetRemotePort>("RemotePort"),
      Published::Event<&T::OnError>("OnError"),
      Published::Event<&T::OnStateChanged>("OnStateChanged"),
      Published::Event<&T::OnDocInput>("OnDocInput"),
      Published::Event<&T::OnVerify>("OnVerify"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<T, TComponent>("TSMTP").WithProperties(Properties);
  return Info;
}

[[maybe_unused]] static const bool Registered = RegisterClass(TSMTP::StaticClass());

const TDocHeader& TDocHeaders::Item(int AIndex) const {
  if (AIndex < 1 || AIndex > Count()) throw EListError("Header index out of bounds (" + std::to_string(AIndex) + ")");
  return FItems[AIndex - 1];
}

const TSMTPErrorItem& TSMTPErrors::Item(int AIndex) const {
  if (AIndex < 1 || AIndex > Count()) throw EListError("Error index out of bounds (" + std::to_string(AIndex) + ")");
  return FItems[AIndex - 1];
}

TSMTP::TSMTP(TComponent* AOwner) : TComponent(AOwner), FEngine(std::make_unique<TSMTPEngine>(*this)) {}

TSMTP::~TSMTP() = default;

int16_t TSMTP::State() const { return FEngine->State(); }
bool TSMTP::Busy() const { return FEngine->Busy(); }

void TSMTP::Connect(const std::optional<WideString>& ARemoteHost, const std::optional<int>& ARemotePort) {
  if (ARemoteHost) FRemoteHost = *ARemoteHost;
  if (ARemotePort) FRemotePort = *ARemotePort;
  FEngine->Connect();
}

void TSMTP::Disconnect() { FEngine->Disconnect(); }

void TSMTP::Verify(const WideString& AAddresses) { FEngine->Verify(AAddresses); }

void TSMTP::SendDocument(const std::optional<WideString>&, const TDocHeaders* AHeaders,
                         const std::optional<WideString>& AInputData, const std::optional<WideString>& AInputFile,
                         const std::optional<WideString>&) {
  const TDocHeaders& headers = AHeaders ? *AHeaders : FDocInput.FHeaders;
  auto message = std::make_unique<TQueuedMessage>();
  for (const TDocHeader& h : headers) message->Headers.emplace_back(Utf8(h.Name), Utf8(h.Value));
  if (AInputData) {
    message->Text = Utf8(*AInputData);
  } else if (AInputFile && !AInputFile->isEmpty()) {
    message->FromFile = true;
    message->FileName = *AInputFile;
  } else {
    FEngine->PostFailure({smtpErrBadArguments, "There is nothing to send: neither a text nor a file name is given.",
                          {}, false},
                         true, false);
    return;
  }
  FEngine->Send(std::move(message));
}

}  // namespace Vantry
