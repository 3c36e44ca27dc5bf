#pragma once
// Builds the declaration table of a library while its walk goes on. The
// walk hands over its files in walk order; a helper thread starts scanning
// them at once, and when the walk is done its own thread joins in and takes
// the scanned files into the table in walk order. Files whose size and
// modification time match the earlier table are taken from it unscanned.

#include "index/DeclarationTable.h"
#include "index/Target.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

namespace Vantry {

// Reads a whole source file into ABuffer (at most 256 MB of it), with its
// size and modification time; false when it cannot be read. A file that
// shrinks while it is read gives what was there.
bool ReadSourceFile(const std::string& APath, std::string& ABuffer, int64_t& ASize, int64_t& AModifiedNs);
bool ReadSourceFile(const std::string& APath, std::string& ABuffer);

// The table of one file of a library (ARelative below ARoot) as a build
// scans it, its methods' bodies not yet linked to types of other files; a
// file that cannot be read has no declarations. AScanner (set for the
// target) and AText are reused from file to file.
TDeclarationTable ScanLibraryFile(const std::string& ARoot, const std::string& ARelative, TDeclarationScanner& AScanner,
                                  std::string& AText);

class TDeclarationBuild {
public:
  // ATarget: the target whose conditional branches the scan follows; ABase:
  // the table there was (may be null; one for another target is not
  // reused); ACancel stops the build.
  TDeclarationBuild(std::string ARoot, const TTarget& ATarget, std::shared_ptr<const TDeclarationTable> ABase,
                    const std::atomic<bool>& ACancel);
  ~TDeclarationBuild();
  TDeclarationBuild(const TDeclarationBuild&) = delete;
  TDeclarationBuild& operator=(const TDeclarationBuild&) = delete;

  // A file of the walk, its path relative to the root.
  void Add(std::string APath, int64_t ASize, int64_t AModifiedNs);
  // Once the walk is done: the table, or null when nothing at all changed
  // since the earlier table or the build was cancelled.
  std::shared_ptr<TDeclarationTable> Finish();

private:
  struct TFile {
    std::string Path;
    int64_t Size;
    int64_t ModifiedNs;
    int64_t Reuse;              // its file in the earlier table, or -1 to scan it
    std::optional<TDeclarationTable> Scanned;  // what the scan found, once Ready (none for a file reused)
    std::atomic<bool> Ready{false};
  };

  // What a scanning thread reuses from file to file.
  struct TScanner {
    TDeclarationScanner Scanner;
    std::string Text;
  };

  bool ScanNext(TScanner& AScanner);
  void Scan(TFile& AFile, TScanner& AScanner) const;

  const std::string FRoot;
  const std::string FTarget;  // its name
  const TTargetSymbols FSymbols;
  const std::shared_ptr<const TDeclarationTable> FBase;
  std::unordered_map<std::string_view, uint32_t> FBaseFiles;
  const std::atomic<bool>& FCancel;

  std::mutex FLock;               // guards the four members after FWork
  std::condition_variable FWork;  // a file to scan, or the walk's end
  std::deque<TFile> FFiles;       // in walk order; a deque keeps them in place as it grows
  std::deque<TFile*> FToScan;     // not yet taken by a scanner
  bool FWalkDone = false;
  bool FUnchanged = true;         // so far, every file is the earlier table's, in its place
  std::thread FHelper;
};

}  // namespace Vantry
