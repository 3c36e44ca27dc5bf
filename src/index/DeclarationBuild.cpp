#include "index/DeclarationBuild.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace Vantry {

namespace {

// No source is this large; a file that is gets read as far as this.
constexpr off_t LargestSource = off_t{256} << 20;

}  // namespace

bool ReadSourceFile(const std::string& APath, std::string& ABuffer, int64_t& ASize, int64_t& AModifiedNs) {
  const int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  const bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (ok) {
    ABuffer.resize(static_cast<size_t>(std::min(info.st_size, LargestSource)));
    size_t size = 0;
    while (size < ABuffer.size()) {
      const ssize_t n = ::read(fd, ABuffer.data() + size, ABuffer.size() - size);
      if (n <= 0) break;
      size += static_cast<size_t>(n);
    }
    ABuffer.resize(size);
    ASize = info.st_size;
    AModifiedNs = info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec;
  }
  ::close(fd);
  return ok;
}

bool ReadSourceFile(const std::string& APath, std::string& ABuffer) {
  int64_t size = 0, modifiedNs = 0;
  return ReadSourceFile(APath, ABuffer, size, modifiedNs);
}

TDeclarationBuild::TDeclarationBuild(std::string ARoot, const TTarget& ATarget,
                                     std::shared_ptr<const TDeclarationTable> ABase, const std::atomic<bool>& ACancel)
    : FRoot(std::move(ARoot)),
      FTarget(ATarget.Os.empty() ? std::string() : ATarget.Name()),
      FSymbols(SymbolsOf(ATarget)),
      FBase(ABase && ABase->Target() == FTarget ? std::move(ABase) : nullptr),
      FCancel(ACancel) {}

TDeclarationBuild::~TDeclarationBuild() {
  {
    std::lock_guard lock(FLock);
    FWalkDone = true;
    FToScan.clear();
  }
  FWork.notify_all();
  if (FHelper.joinable()) FHelper.join();
}

void TDeclarationBuild::Add(std::string APath, int64_t ASize, int64_t AModifiedNs) {
  int64_t reuse = -1;
  // Mostly the walk meets the files in the earlier table's order: the file
  // at this place is tried before the map.
  int64_t earlier = -1;
  if (const size_t next = FFiles.size(); FBase && next < FBase->FileCount() && FBase->FilePath(next) == APath)
    earlier = static_cast<int64_t>(next);
  else if (FBase) {
    if (FBaseFiles.empty())  // made at the first file out of place
      for (uint32_t f = 0; f < FBase->FileCount(); ++f) FBaseFiles.emplace(FBase->FilePath(f), f);
    if (auto it = FBaseFiles.find(APath); it != FBaseFiles.end()) earlier = it->second;
  }
  if (earlier >= 0) {
    const TDeclarationTable::TSourceFile& before = FBase->File(static_cast<uint32_t>(earlier));
    if (before.Size == ASize && before.ModifiedNs == AModifiedNs) reuse = earlier;
  }
  {
    std::lock_guard lock(FLock);
    FUnchanged = FUnchanged && reuse == static_cast<int64_t>(FFiles.size());
    TFile& file = FFiles.emplace_back();
    file.Path = std::move(APath);
    file.Size = ASize;
    file.ModifiedNs = AModifiedNs;
    file.Reuse = reuse;
    if (reuse >= 0) return;
    FToScan.push_back(&file);
  }
  FWork.notify_one();
  if (!FHelper.joinable())
    FHelper = std::thread([this] {
      TScanner scanner;
      scanner.Scanner.SetTarget(&FSymbols);
      for (;;) {
        TFile* file;
        {
          std::unique_lock lock(FLock);
          FWork.wait(lock, [this] { return !FToScan.empty() || FWalkDone; });
          if (FToScan.empty()) return;
          file = FToScan.front();
          FToScan.pop_front();
        }
        Scan(*file, scanner);
      }
    });
}

// Scans the next file nobody has taken, on the calling thread; false when
// none is left.
bool TDeclarationBuild::ScanNext(TScanner& AScanner) {
  TFile* file;
  {
    std::lock_guard lock(FLock);
    if (FToScan.empty()) return false;
    file = FToScan.front();
    FToScan.pop_front();
  }
  Scan(*file, AScanner);
  return true;
}

// Nothing may throw out of a scanning thread: a file that cannot be read
// or held in memory counts as empty, and is scanned again next time.
TDeclarationTable ScanLibraryFile(const std::string& ARoot, const std::string& ARelative, TDeclarationScanner& AScanner,
                                  std::string& AText) {
  int64_t size = 0, modifiedNs = -1;
  TDeclarationTableBuilder builder({});  // a file's table, taken into the whole one later
  if (ReadSourceFile(ARoot + "/" + ARelative, AText, size, modifiedNs)) {
    const auto& found = AScanner.Scan(AText, IsIncludeFileName(ARelative));
    builder.AddFile(ARelative, size, modifiedNs, found, AScanner.Links(), AScanner.NameHashes());
  } else {
    builder.AddFile(ARelative, size, modifiedNs, {});
  }
  return builder.Finish(false);  // its methods' bodies are linked to their types in the whole table
}

void TDeclarationBuild::Scan(TFile& AFile, TScanner& AScanner) const {
  try {
    if (FCancel.load(std::memory_order_relaxed)) {
      TDeclarationTableBuilder builder({});
      builder.AddFile(AFile.Path, AFile.Size, -1, {});
      AFile.Scanned = builder.Finish(false);
    } else {
      AFile.Scanned = ScanLibraryFile(FRoot, AFile.Path, AScanner.Scanner, AScanner.Text);
    }
  } catch (const std::exception&) {
    TDeclarationTableBuilder empty({});
    empty.AddFile(AFile.Path, AFile.Size, -1, {});
    AFile.Scanned = empty.Finish();
  }
  AFile.Ready.store(true, std::memory_order_release);
}

std::shared_ptr<TDeclarationTable> TDeclarationBuild::Finish() {
  size_t toScan;
  {
    std::lock_guard lock(FLock);
    FWalkDone = true;
    if (FUnchanged && FBase && FFiles.size() == FBase->FileCount()) return nullptr;
    toScan = FToScan.size();
  }
  FWork.notify_all();
  TScanner scanner;
  scanner.Scanner.SetTarget(&FSymbols);
  TDeclarationTableBuilder builder(FRoot, FBase ? FBase->Count() + toScan * 64 : FFiles.size() * 96, FTarget);
  for (TFile& file : FFiles) {
    if (FCancel.load(std::memory_order_relaxed)) return nullptr;
    if (file.Reuse >= 0) {
      builder.AddFile(*FBase, static_cast<uint32_t>(file.Reuse));
      continue;
    }
    while (!file.Ready.load(std::memory_order_acquire))
      if (!ScanNext(scanner)) std::this_thread::yield();  // the helper has it, and is nearly done
    builder.AddFile(*file.Scanned, 0);
    file.Scanned.reset();
  }
  return std::make_shared<TDeclarationTable>(builder.Finish());
}

}  // namespace Vantry
