#include "mail/isp3.h"

#include "mail/isp3Message.h"
#include "mail/isp3Session.h"
#include "platform/Application.h"

#include <QThread>

#include <dlfcn.h>

#include <algorithm>

// How the control works
// ---------------------
// The control lives on the GUI thread; its SMTP session (isp3Session.h) runs
// on a thread of its own, started at the first Connect, so that nothing the
// network or libcurl does can block the GUI thread.
//
// The control keeps what its users read (State, Busy, DocInput, Errors) and
// raises every event. It hands Connect, Disconnect and the messages to the
// session as commands, in call order; the session reports back, and each
// report is posted to the GUI thread's event loop and raised from there, in
// order: never from inside a call of the control's user, never from inside a
// libcurl callback. A handler may call the control again, run a nested event
// loop, or free the control.
//
// Verify needs no network: the control checks the list itself.
//
// Giving up (Disconnect while connecting or closing, or freeing the control)
// shuts the session's sockets down first, which wakes a session waiting
// inside libcurl for a silent server, so the control never waits for the
// response time-out. Freeing the control waits for the session's thread for
// a second at most.

namespace Vantry {

using namespace Isp3;

namespace {

std::string Utf8(const QString& S) { return S.toStdString(); }

// Keeps the shared object that holds this code loaded until the process
// ends. A session thread left to end on its own runs this code when it
// wakes; if the control lives in an add-in the IDE unloads at exit, the
// thread would wake into unmapped memory. Within an executable it changes
// nothing.
void PinThisLibrary() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PinThisLibrary), &info) == 0 || !info.dli_fname) return;
  // RTLD_NOLOAD: the object is loaded already; RTLD_NODELETE: no dlclose
  // unloads it from now on.
  (void)dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace

// The session's thread: it makes the session, runs the event loop that
// drives it, and frees it as the loop ends.
class TSessionThread final : public QThread {
public:
  TSessionThread(std::shared_ptr<TSessionReports> AReports, std::shared_ptr<TSocketRegistry> ASockets)
      : FReports(std::move(AReports)), FSockets(std::move(ASockets)), FHome(new QObject) {
    setObjectName(QStringLiteral("SMTP session"));
    FHome->moveToThread(this);
  }
  // Runs A on the session's thread, after the commands before it. Commands
  // sent before the thread runs wait for its loop, and so for the session.
  void Command(std::function<void(TSMTPSession&)> A) {
    QMetaObject::invokeMethod(
        FHome, [this, A = std::move(A)] { A(*FSession); }, Qt::QueuedConnection);
  }

protected:
  void run() override {
    {
      TSMTPSession session(FReports, FSockets);
      FSession = &session;
      exec();
      FSession = nullptr;
    }
    delete FHome;  // with the commands that did not run
  }

private:
  std::shared_ptr<TSessionReports> FReports;
  std::shared_ptr<TSocketRegistry> FSockets;
  QObject* FHome;  // lives on the session's thread and takes its commands
  TSMTPSession* FSession = nullptr;
};

class TSMTPEngine final : public TSessionReports {
public:
  explicit TSMTPEngine(TSMTP& AOwner) : FOwner(AOwner) {}
  ~TSMTPEngine() override;

  int16_t State() const { return FState; }
  bool Busy() const { return FOperations > 0; }
  bool DataEndSent() const { return FSockets->DataEndSent(); }

  void Connect();
  void Disconnect();
  void Verify(const QString& AAddresses);
  void Send(std::unique_ptr<TQueuedMessage> AMessage);
  // OnError; then, for a message (ADocument), its document ends with these
  // counts (total, done); then, when AOperation, the operation is over.
  void PostFailure(TFailure AFailure, std::optional<std::pair<int64_t, int64_t>> ADocument, bool AOperation);

  // What the session reports; called on its thread.
  void StateChanged(uint64_t AConnect, int16_t AState) override;
  void SessionEnded(uint64_t AConnect, std::optional<TFailure> AFailure, bool ADisconnecting) override;
  void DocInput(int16_t AState, int64_t ATotal, int64_t ADone) override;
  void MessageSent(int64_t ATotal, int64_t ADone) override;
  void Failed(TFailure AFailure, int64_t ATotal, int64_t ADone) override;
  void Refused(TFailure AFailure, int64_t ATotal) override;

private:
  // Runs A on the GUI thread's event loop, after everything posted before
  // it. Any thread may call it.
  void Post(std::function<void()> A) { QMetaObject::invokeMethod(&FContext, std::move(A), Qt::QueuedConnection); }
  // Runs A on the session's thread, after the commands before it; starts
  // the thread and the session first when needed.
  void ToSession(std::function<void(TSMTPSession&)> A);
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

  TSMTP& FOwner;
  QObject FContext;  // receives the posted events; dies with the engine
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
  int16_t FState = stDisconnected;
  bool FClosingRaised = false;  // state 5 has been raised for the present attempt
  int FOperations = 0;
  // Counts the Connect calls and the attempts given up; a session report of
  // an earlier count is about an attempt the control has left behind.
  uint64_t FConnect = 0;
  // Shared with the session's thread, which may outlive the control.
  std::shared_ptr<TSocketRegistry> FSockets = std::make_shared<TSocketRegistry>();
  std::shared_ptr<TReportRelay> FRelay = std::make_shared<TReportRelay>(this);
  std::unique_ptr<TSessionThread> FThread;
};

// ---- the session's thread

void TSMTPEngine::ToSession(std::function<void(TSMTPSession&)> A) {
  if (!FThread) {
    TSMTPSession::GlobalInit();
    FThread = std::make_unique<TSessionThread>(FRelay, FSockets);
    FThread->start();
  }
  FThread->Command(std::move(A));
}

// Stops the session's thread. The sockets are shut down first, so that the
// session cannot be stuck inside libcurl waiting for a server; the wait is
// still bounded, since a read of the body file on a hung network file
// system cannot be woken: such a thread is left to end on its own and frees
// itself then, and what it reports reaches nobody. Its code must outlive it:
// the library that holds it stays loaded from then on.
TSMTPEngine::~TSMTPEngine() {
  FAlive.reset();
  FRelay->Detach();
  if (!FThread) return;
  FSockets->Interrupt();
  FThread->quit();
  constexpr int StopLimit = 1000;  // milliseconds
  if (FThread->wait(StopLimit)) return;
  PinThisLibrary();
  QThread* stuck = FThread.release();
  QObject::connect(stuck, &QThread::finished, stuck, &QObject::deleteLater);
  if (stuck->isFinished()) delete stuck;
}

// ---- events

bool TSMTPEngine::RaiseState(int16_t AState) {
  if (AState == stConnecting || AState == stDisconnecting) FClosingRaised = AState == stDisconnecting;
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

void TSMTPEngine::PostFailure(TFailure AFailure, std::optional<std::pair<int64_t, int64_t>> ADocument,
                              bool AOperation) {
  Post([this, AFailure = std::move(AFailure), ADocument, AOperation] {
    if (!RaiseError(AFailure)) return;
    if (ADocument && !RaiseDocInput(disEnd, ADocument->first, ADocument->second)) return;
    if (AOperation) OperationEnded();
  });
}

// ---- what the session reports

void TSMTPEngine::StateChanged(uint64_t AConnect, int16_t AState) {
  Post([this, AConnect, AState] {
    if (AConnect != FConnect) return;
    FState = AState;
    RaiseState(AState);
  });
}

void TSMTPEngine::SessionEnded(uint64_t AConnect, std::optional<TFailure> AFailure, bool ADisconnecting) {
  Post([this, AConnect, AFailure = std::move(AFailure), ADisconnecting] {
    if (AConnect != FConnect) return;
    // On a time-out the session closes (state 5) before it ends, unless a
    // Disconnect has raised state 5 already.
    bool closing = ADisconnecting && !FClosingRaised;
    FState = stDisconnected;
    if (AFailure && !RaiseError(*AFailure)) return;
    if (closing && !RaiseState(stDisconnecting)) return;
    RaiseState(stDisconnected);
  });
}

void TSMTPEngine::DocInput(int16_t AState, int64_t ATotal, int64_t ADone) {
  Post([this, AState, ATotal, ADone] { RaiseDocInput(AState, ATotal, ADone); });
}

// The server has accepted the message: only now is it reported sent.
void TSMTPEngine::MessageSent(int64_t ATotal, int64_t ADone) {
  Post([this, ATotal, ADone] {
    if (RaiseDocInput(disEnd, ATotal, ADone)) OperationEnded();
  });
}

void TSMTPEngine::Failed(TFailure AFailure, int64_t ATotal, int64_t ADone) {
  PostFailure(std::move(AFailure), std::pair(ATotal, ADone), true);
}

void TSMTPEngine::Refused(TFailure AFailure, int64_t ATotal) {
  Post([this, AFailure = std::move(AFailure), ATotal] {
    if (RaiseDocInput(disBegin, ATotal, 0) && RaiseError(AFailure) && RaiseDocInput(disEnd, ATotal, 0))
      OperationEnded();
  });
}

// ---- commands

void TSMTPEngine::Connect() {
  if (FState != stDisconnected) {
    PostFailure({smtpErrWrongState, "Connect is not possible now: a session is open, opening or closing.", {}, false},
                std::nullopt, false);
    return;
  }
  TSessionSettings settings{FOwner.RemoteHost().trimmed(), FOwner.RemotePort(), FOwner.CAFile(),
                            FOwner.ConnectTimeout(), FOwner.ResponseTimeout(), FOwner.RequireTLS()};
  uint64_t connect = ++FConnect;
  FState = stConnecting;
  Post([this] { RaiseState(stConnecting); });
  ToSession([connect, settings](TSMTPSession& ASession) { ASession.Connect(connect, settings); });
}

void TSMTPEngine::Disconnect() {
  switch (FState) {
    case stDisconnected:
      return;
    case stConnected:
      // The session sends what was handed over, then QUITs. A session that
      // ended meanwhile, and said so, raises state 5 itself, or raised 6.
      FState = stDisconnecting;
      Post([this, connect = FConnect] {
        if (connect == FConnect && FState == stDisconnecting && !FClosingRaised) RaiseState(stDisconnecting);
      });
      ToSession([](TSMTPSession& ASession) { ASession.Disconnect(); });
      return;
    case stDisconnecting:
      // A second Disconnect while closing gives up now: the message in
      // flight and those queued fail, then the session ends (state 6).
      FSockets->Interrupt();
      ToSession([connect = FConnect](TSMTPSession& ASession) { ASession.Abort(connect, true); });
      return;
    default: {
      // Still connecting: give up now. What the session still reports of
      // this attempt is stale from here.
      uint64_t connect = ++FConnect;
      FSockets->Interrupt();
      ToSession([connect](TSMTPSession& ASession) { ASession.Abort(connect, false); });
      Post([this] { RaiseState(stDisconnecting); });
      FState = stDisconnected;
      Post([this] { RaiseState(stDisconnected); });
    }
  }
}

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
    Refused({smtpErrNotConnected, "Not connected to an SMTP server: the message was not sent.", {}, false}, 0);
    return;
  }
  // Commands are copied into the event queue, so the message travels shared.
  ToSession([message = std::shared_ptr<TQueuedMessage>(std::move(AMessage))](TSMTPSession& ASession) {
    ASession.Send(std::make_unique<TQueuedMessage>(std::move(*message)));
  });
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
bool TSMTP::DataEndSent() const { return FEngine->DataEndSent(); }

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
                         std::pair<int64_t, int64_t>(0, 0), false);
    return;
  }
  FEngine->Send(std::move(message));
}

}  // namespace Vantry
