#include "Worker.h"

namespace Vantry::Lsp {

TWorker::TWorker() : FThread([this] { Run(); }) {}

TWorker::~TWorker() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStop = true;
    for (auto& [id, flag] : FFlags) *flag = true;
  }
  FWake.notify_all();
  FThread.join();
}

void TWorker::Add(const QString& AKey, TJob AJob) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard<std::mutex> lock(FLock);
    FFlags[AKey] = flag;
    FJobs.push_back({AKey, std::move(AJob), flag});
  }
  FWake.notify_one();
}

void TWorker::Hold() {
  std::lock_guard<std::mutex> lock(FLock);
  FHeld = true;
}

void TWorker::Release() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FHeld = false;
  }
  FWake.notify_one();
}

bool TWorker::Cancel(const QString& AKey) {
  std::lock_guard<std::mutex> lock(FLock);
  const auto found = FFlags.find(AKey);
  if (found == FFlags.end()) return false;
  *found->second = true;
  return true;
}

void TWorker::Run() {
  for (;;) {
    TQueued next;
    {
      std::unique_lock<std::mutex> lock(FLock);
      FWake.wait(lock, [this] { return FStop || (!FHeld && !FJobs.empty()); });
      if (FJobs.empty()) return;
      next = std::move(FJobs.front());
      FJobs.pop_front();
    }
    next.Job(*next.Flag);
    std::lock_guard<std::mutex> lock(FLock);
    FFlags.erase(next.Key);
  }
}

}  // namespace Vantry::Lsp
