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
// Everything in this header except TSocketRegistry belongs to the session's
// thread once created there.

#include <QElapsedTimer>
#include <QHostInfo>
#include <QObject>
#include <QString>
#include <QTimer>

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
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
  // The session ended: OnError with AFailure when given, then state 6.
  virtual void SessionEnded(uint64_t AConnect, std::optional<TFailure> AFailure) = 0;
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

// The sockets libcurl has open for a session, and the brake the control's
// thread pulls to wake a session that waits inside libcurl or reads a long
// body file. The lock makes sure a socket is never shut after libcurl closed
// it (its number could by then belong to another file).
class TSocketRegistry {
public:
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

private:
  std::mutex FLock;
  std::set<curl_socket_t> FSockets;
  std::atomic<bool> FInterrupted = false;
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

  TSMTPSession(TSessionReports& AReports, TSocketRegistry& ASockets);
  // Drops an open session without waiting for the server.
  ~TSMTPSession();

  // Opens a session: states 2, 3, 4, or SessionEnded with the failure.
  // State 1 is the control's own: it is raised at the call.
  void Connect(uint64_t AConnect, const TSessionSettings& ASettings);
  // Sends the messages handed over, then QUIT: state 6.
  void Disconnect();
  // Drops the session and everything queued at once, without reports about
  // the session: the control has raised states 5 and 6 itself.
  void Abort();
  void Send(std::unique_ptr<TQueuedMessage> AMessage);

  // Called by a transfer as libcurl reads the message.
  TSessionReports& Reports() { return FReports; }

private:
  // Runs A from the session's event loop, after everything posted before it.
  void Later(std::function<void()> A);
  bool ParseHost(TFailure& AFailure);
  void LookedUp(const QHostInfo& AInfo);
  void ConnectTimedOut();
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
  TFailure Classify(CURLcode AResult, const TTransfer& ATransfer) const;
  void WatchSocket(curl_socket_t ASocket, int AWhat);
  void ArmIdleWatch();
  void DisarmIdleWatch();
  void IdleSocketReady();
  void Teardown();

  static int SocketCallback(CURL*, curl_socket_t ASocket, int AWhat, void* AUser, void*);
  static int TimerCallback(CURLM*, long ATimeout, void* AUser);

  TSessionReports& FReports;
  TSocketRegistry& FSockets;
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

}  // namespace Vantry::Isp3
