#pragma once
// A thread for the long requests: runs one job at a time, in the order given;
// a job's flag, set by a cancellation, stops it. The worker owns the jobs it
// is given; its destructor cancels those left and waits for them to end.

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace Vantry::Lsp {

class TWorker {
public:
  using TJob = std::function<void(const std::atomic<bool>& ACancel)>;

  TWorker();
  ~TWorker();
  TWorker(const TWorker&) = delete;
  TWorker& operator=(const TWorker&) = delete;

  // AKey names the job to Cancel.
  void Add(const QString& AKey, TJob AJob);
  // While held, no queued job starts (the one running goes on): the server
  // holds the worker while it reads the frames that have arrived together,
  // so that a cancellation among them reaches a job queued before it.
  void Hold();
  void Release();
  // True when the job is queued or running (it then answers as cancelled).
  bool Cancel(const QString& AKey);

private:
  struct TQueued {
    QString Key;
    TJob Job;
    std::shared_ptr<std::atomic<bool>> Flag;
  };
  void Run();

  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TQueued> FJobs;
  std::map<QString, std::shared_ptr<std::atomic<bool>>> FFlags;
  bool FStop = false;
  bool FHeld = false;
  std::thread FThread;
};

}  // namespace Vantry::Lsp
