#pragma once
// The network side of the SMTP control: one SMTP session on libcurl's multi
// interface, run on a thread of its own.
//
// Why a thread of its own: libcurl waits for some replies inside
// curl_multi_socket_action (the reply to the end of a message's data, the
// reply to QUIT when it drops a connection), for as long as the server takes
// or until the response time-out. On the GUI thread that would freeze the
// IDE whenever a server is slow or silent. So the session lives on a worker
// thread with a Qt event loop of its own, which drives libcurl with socket
// notifiers and a timer; the control on the GUI thread hands it commands and
// raises the events the session reports (see TSessionReports).
//
// Every wait for the server has a deadline kept by TDeadlineWatch, a thread
// that needs neither libcurl nor the session's event loop to be free: when a
// deadline passes it shuts the sockets down, which ends any wait at once.
//
// Everything in this header except TSocketRegistry, TReportRelay and
// TDeadlineWatch belongs to the session's thread once created there.

#include <QElapsedTimer>
#include <QHostInfo>
#include <QObject>
#include <QString>
#include <QTimer>

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class QSocketNotifier;

namespace Vantry::Isp3 {

// How an operation or the session failed.
struct TFailure {
  int16_t Number = 0;
  std::string Description;
  std::vector<std::string> Items;
  bool SessionEnds = false;  // the connection is gone: state 6
};

// What the session is given by Connect, copied from the control's properties.
struct TSessionSettings {
  QString Host;  // RemoteHost as the user gave it, trimmed
  int Port = 25;
  QString CAFile;
  int ConnectTimeout = 30000;   // milliseconds
  int ResponseTimeout = 60000;  // milliseconds
  bool RequireTls = false;      // also implied by a CA file
};

// A message waiting for its turn: its headers and body copied at the call.
struct TQueuedMessage {
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Text;
  QString FileName;
  bool FromFile = false;
};

// What the session tells the control. Called on the session's thread; an
// implementation carries each report over to the control's thread, in order.
// Reports about the session carry the number of the Connect they belong to,
// so that the control can tell a given-up attempt's reports from the next.
class TSessionReports {
public:
  virtual ~TSessionReports() = default;
  virtual void StateChanged(uint64_t AConnect, int16_t AState) = 0;
  // The session ended: OnError with AFailure when given, then state 5 when
  // ADisconnecting (the session was given up, on a time-out), then state 6.
  virtual void SessionEnded(uint64_t AConnect, std::optional<TFailure> AFailure, bool ADisconnecting) = 0;
  virtual void DocInput(int16_t AState, int64_t ATotal, int64_t ADone) = 0;
  // The message was accepted by the server.
  virtual void MessageSent(int64_t ATotal, int64_t ADone) = 0;
  // The message in flight failed: OnError, then its document ends with
  // these counts, then it no longer counts towards Busy.
  virtual void Failed(TFailure AFailure, int64_t ATotal, int64_t ADone) = 0;
  // A message failed before any of it went out: its document begins, OnError,
  // its document ends, and it no longer counts towards Busy; all at once, so
  // that no other message's events come between.
  virtual void Refused(TFailure AFailure, int64_t ATotal) = 0;
};

// Passes the session's reports on to the control until the control detaches
// it; after Detach returns, no report reaches the control any more. This lets
// a control go while its session thread is still stuck (in a read of a hung
// network file system, say): the thread then ends on its own.
class TReportRelay final : public TSessionReports {
public:
  explicit TReportRelay(TSessionReports* ATarget) : FTarget(ATarget) {}
  void Detach() {
    std::lock_guard lock(FLock);
    FTarget = nullptr;
  }
  void StateChanged(uint64_t AConnect, int16_t AState) override { Pass(&TSessionReports::StateChanged, AConnect, AState); }
  void SessionEnded(uint64_t AConnect, std::optional<TFailure> AFailure, bool ADisconnecting) override {
    Pass(&TSessionReports::SessionEnded, AConnect, std::move(AFailure), ADisconnecting);
  }
  void DocInput(int16_t AState, int64_t ATotal, int64_t ADone) override {
    Pass(&TSessionReports::DocInput, AState, ATotal, ADone);
  }
  void MessageSent(int64_t ATotal, int64_t ADone) override { Pass(&TSessionReports::MessageSent, ATotal, ADone); }
  void Failed(TFailure AFailure, int64_t ATotal, int64_t ADone) override {
    Pass(&TSessionReports::Failed, std::move(AFailure), ATotal, ADone);
  }
  void Refused(TFailure AFailure, int64_t ATotal) override { Pass(&TSessionReports::Refused, std::move(AFailure), ATotal); }

private:
  template <class M, class... A>
  void Pass(M AMethod, A&&... AArgs) {
    std::lock_guard lock(FLock);
    if (FTarget) (FTarget->*AMethod)(std::forward<A>(AArgs)...);
  }
  std::mutex FLock;
  TSessionReports* FTarget;
};

// The sockets libcurl has open for a session, and the brake the control's
// thread pulls to wake a session that waits inside libcurl or reads a long
// body file. The lock makes sure a socket is never shut after libcurl closed
// it (its number could by then belong to another file).
class TSocketRegistry {
public:
  // A new socket, or CURL_SOCKET_BAD while the brake is pulled.
  curl_socket_t Open(int AFamily, int AType, int AProtocol);
  void Close(curl_socket_t ASocket);
  // Makes every pending and future read or write on the sockets fail at once.
  void ShutDownAll();
  // Any thread: shuts the sockets down and stops the scan of a body file
  // until the session calls Resume.
  void Interrupt() {
    FInterrupted = true;
    ShutDownAll();
  }
  bool Interrupted() const { return FInterrupted; }
  void Resume() { FInterrupted = false; }
  // Bytes of all the open sockets that the peer has acknowledged (TCP_INFO):
  // what the server has taken, not what was handed to the kernel. It moves
  // while the kernel's send buffer drains to a slow server.
  uint64_t BytesTaken();
  // Whether the message in flight has handed the end of its data to
  // libcurl, which sends it: from then on the server may hold the whole
  // message. Set by the session's thread, read by the control's.
  void SetDataEndSent(bool AValue) { FDataEndSent = AValue; }
  bool DataEndSent() const { return FDataEndSent; }

private:
  std::mutex FLock;
  std::set<curl_socket_t> FSockets;
  std::atomic<bool> FInterrupted = false;
  std::atomic<bool> FDataEndSent = false;
};

// What a wait for the server is bounded by.
enum class TWaitKind { None, Connect, Response };

// Keeps the deadline of the session's present wait on a thread of its own.
// When the deadline passes, it shuts the session's sockets down (which ends a
// wait inside libcurl at once) and calls OnExpiry with the wait's number, on
// its own thread. The session arms and disarms it from its thread.
class TDeadlineWatch {
public:
  using TExpiry = std::function<void(uint64_t AWait)>;
  using TTaken = std::function<void(uint64_t ATaken)>;
  // AOnTaken hears of each growth of what the server has taken during a
  // response wait, on the watch's thread; never after Disarm returned.
  TDeadlineWatch(TSocketRegistry& ASockets, TExpiry AOnExpiry, TTaken AOnTaken);
  ~TDeadlineWatch();

  // Starts a new wait of AMilliseconds; returns its number. While a
  // response wait runs, bytes the server takes from the socket (a slow
  // server draining the send buffer) count as progress and restart it.
  uint64_t Arm(TWaitKind AKind, int AMilliseconds);
  // Moves the present wait's deadline to its length from now: the server
  // moved a byte.
  void Extend();
  // Ends the present wait; returns its kind when its deadline had passed.
  TWaitKind Disarm();
  // The number of the present (or last) wait.
  uint64_t Wait() const;
  TWaitKind Kind() const;

private:
  void Run();
  TSocketRegistry& FSockets;
  TExpiry FOnExpiry;
  TTaken FOnTaken;
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::chrono::steady_clock::time_point FDeadline;
  std::chrono::milliseconds FSpan{0};
  uint64_t FTaken = 0;  // BytesTaken at the last look
  TWaitKind FKind = TWaitKind::None;
  TWaitKind FExpired = TWaitKind::None;
  uint64_t FWait = 0;
  bool FStop = false;
  std::thread FThread;  // last: starts once the rest is ready
};

// Receives the answer of a host name lookup. Qt 6.4 loses the memory of a
// lookup's callback object when the lookup is given up or its context is
// freed first; a slot named through the meta-object system needs none.
class TLookupReceiver : public QObject {
  Q_OBJECT
public:
  std::function<void(const QHostInfo&)> OnResult;
public slots:
  void LookedUp(const QHostInfo& AInfo) { OnResult(AInfo); }
};

struct TTransfer;
struct TBodyScan;
enum class TTransferKind { Open, Message, Quit };

class TSMTPSession {
public:
  // Sets libcurl up for the process; the control's thread calls it before
  // any session's thread starts, since it must not run beside other threads.
  static void GlobalInit();

  // AReports and ASockets are shared with the control, and live as long as
  // the session does.
  TSMTPSession(std::shared_ptr<TSessionReports> AReports, std::shared_ptr<TSocketRegistry> ASockets);
  // Drops an open session without waiting for the server.
  ~TSMTPSession();

  // Opens a session: states 2, 3, 4, or SessionEnded with the failure.
  // State 1 is the control's own: it is raised at the call.
  void Connect(uint64_t AConnect, const TSessionSettings& ASettings);
  // Sends the messages handed over, then QUIT: state 6. State 5 is the
  // control's own: it is raised at the call.
  void Disconnect();
  // Drops the session and everything queued at once: the message in flight
  // and those queued fail. AConnect becomes the session's number; with
  // AReportEnd the end is reported (state 6) after the messages' failures,
  // otherwise the control has raised states 5 and 6 itself.
  void Abort(uint64_t AConnect, bool AReportEnd);
  void Send(std::unique_ptr<TQueuedMessage> AMessage);

  // What a transfer tells the session from inside libcurl.
  TSessionReports& Reports() { return *FReports; }
  void CommandSent(TTransfer& ATransfer, std::string_view ACommand);
  void DataSent();
  // The message's data is all handed over: its end goes out next.
  void DataEnding() { FSockets->SetDataEndSent(true); }
  // The body's progress as the server takes it: ADataStart is what the
  // sockets' peer had acknowledged when the data began, AHeaderWire the
  // header block's size on the wire. DataQueued marks where the body's
  // first ADone bytes end on the wire; DataEnded stops the reports and
  // returns the last one's count.
  void DataStarted(uint64_t ADataStart, int64_t AHeaderWire, int64_t ATotal);
  void DataQueued(int64_t AWire, int64_t ADone);
  int64_t DataEnded();
  // Reports how much of the body the server has taken, given what the
  // sockets' peer has acknowledged; at most 20 times a second. Any thread.
  void ReportTaken(uint64_t ATaken);
  TSocketRegistry& Sockets() { return *FSockets; }
  void ReplyReceived(TTransfer& ATransfer, int ACode);
  void TlsInUse() { FTlsUsed = true; }
  // The server sent something that is no reply: nothing more goes to it.
  void ProtocolBroken() { FSockets->ShutDownAll(); }

private:
  // Runs A from the session's event loop, after everything posted before it.
  void Later(std::function<void()> A);
  bool ParseHost(TFailure& AFailure);
  void LookedUp(const QHostInfo& AInfo);
  void DeadlinePassed(uint64_t AWait);
  TFailure TimeoutFailure(TWaitKind AKind) const;
  void ConnectFailed(TFailure AFailure);
  // AReport false: the failure has been reported already (with its message).
  void SessionLost(TFailure AFailure, bool AReport = true);
  void FailQueued(const std::string& AWhy);

  bool CreateMulti();
  std::unique_ptr<TTransfer> NewTransfer(TTransferKind AKind);
  void Start(std::unique_ptr<TTransfer> ATransfer);
  void StartNext();
  bool StartMessage(std::unique_ptr<TQueuedMessage> AMessage);
  bool OpenBodyFile(const QString& AName, TTransfer& ATransfer, TBodyScan& AScan, std::string& AError);
  void SocketAction(curl_socket_t ASocket, int AEvents);
  void TransferDone(CURLcode AResult);
  TFailure Classify(CURLcode AResult, const TTransfer& ATransfer, TWaitKind AExpired) const;
  // The response time-out of the present transfer: QUIT has a short one of
  // its own, since the message is out and a silent farewell must not hold
  // anyone up.
  int ResponseSpan() const;
  bool TlsRequired() const { return FSettings.RequireTls || !FSettings.CAFile.isEmpty() || FTlsUsed; }
  void WatchSocket(curl_socket_t ASocket, int AWhat);
  void ArmIdleWatch();
  void DisarmIdleWatch();
  void IdleSocketReady();
  void Teardown();

  static int SocketCallback(CURL*, curl_socket_t ASocket, int AWhat, void* AUser, void*);
  static int TimerCallback(CURLM*, long ATimeout, void* AUser);

  std::shared_ptr<TSessionReports> FReports;
  std::shared_ptr<TSocketRegistry> FSockets;
  QObject FContext;  // receives the Qt signals; dies with the session
  TLookupReceiver FLookup;
  uint64_t FConnect = 0;
  TSessionSettings FSettings;
  int16_t FState = 6;
  std::string FHostText;  // the host as given, for messages
  QString FHost;
  int FPort = 25;
  std::string FUrl;
  curl_slist* FResolve = nullptr;
  std::string FLocalName;
  int FLookupId = -1;
  bool FTlsUsed = false;  // the session has spoken TLS: it never goes on without
  CURLM* FMulti = nullptr;
  QTimer FCurlTimer;
  // The progress of the message's data in flight, reported from the
  // session's thread as data is handed over and from the watch's while the
  // server takes it (libcurl may wait inside meanwhile). Where the body's
  // chunks end on the wire ((wire offset, body offset) from the start of
  // the data) turns acknowledged bytes into body bytes, read between two
  // marks in proportion.
  struct TProgress {
    std::mutex Lock;
    bool Active = false;
    uint64_t DataStart = 0;
    std::deque<std::pair<int64_t, int64_t>> Marks;
    int64_t Total = 0, Done = 0, Reported = 0;
    QElapsedTimer Since;
  } FProgress;
  std::map<curl_socket_t, std::pair<QSocketNotifier*, QSocketNotifier*>> FNotifiers;
  std::unique_ptr<TTransfer> FTransfer;
  std::deque<std::unique_ptr<TQueuedMessage>> FQueue;
  bool FSessionOpen = false;  // a live connection rests in the pool
  curl_socket_t FSessionSocket = CURL_SOCKET_BAD;
  QSocketNotifier* FIdleWatch = nullptr;
  // Last: its thread is stopped before anything it reports to goes.
  TDeadlineWatch FWatch;
};

}  // namespace Vantry::Isp3
