#pragma once
// The index of a library's Pascal sources: every *.pas, *.pp, *.p, *.inc,
// *.lpr and *.dpr file below a source folder, found by a walk that runs on a
// thread of its own and kept in a compact table that the ranking reads.
// Names and paths are bytes exactly as the file system has them.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "index/Target.h"

namespace Vantry {

class TDeclarationTable;

// Which characters a text holds, ASCII letters without regard to case: a
// file can only match a query whose characters its name (or path) holds.
uint64_t LetterMask(std::string_view AText);
// The same for the characters a text holds at least twice.
uint64_t DoubleLetterMask(std::string_view AText);
// The letters a text holds, and the ASCII letters it holds more than once,
// in 32 bits each (the low and the high half): a name can only match a
// query whose LetterFilter has no bit the name's lacks, and one test tells
// it.
uint64_t LetterFilter(std::string_view AText);
// Whether the file name ends in one of the index's extensions, ignoring case.
bool IsLibrarySourceName(std::string_view AName);
// Where the words of a name start, as bits (i < 64): at its start, after a
// separator (`_`, `-`, a space...), at an upper-case letter after a
// lower-case one, and where digits begin or end.
uint64_t WordStarts(std::string_view AName);
// LetterMask of the bytes of AName where AWordStarts says words start.
uint64_t WordLetterMask(std::string_view AName, uint64_t AWordStarts);

// The files of one walk. Folders are kept by their path relative to the
// root ("" for the root itself, else "rtl/unix/", ending in a separator);
// files by folder and name. Each name is kept as found and in lower case.
class TFileTable {
public:
  struct TFile {
    uint32_t Name;         // offset of the name in both name stores
    uint16_t NameLength;
    uint16_t StemLength;   // the name without its extension
    uint32_t Folder;
    bool Include;          // an include file (*.inc) rather than a unit or program
    uint64_t Letters;      // LetterMask of the name
    uint64_t WordStarts;   // bit i: a word of the stem starts at byte i (i < 64)
    uint64_t WordLetters;  // LetterMask of the bytes that start words
    uint64_t Doubles;      // DoubleLetterMask of the name
  };

  explicit TFileTable(std::string ARoot = {}) : FRoot(std::move(ARoot)) {}

  const std::string& Root() const { return FRoot; }
  size_t FileCount() const { return FFiles.size(); }
  size_t FolderCount() const { return FFolders.size(); }
  const TFile& File(size_t AIndex) const { return FFiles[AIndex]; }

  std::string_view Name(size_t AIndex) const {
    return {FNames.data() + FFiles[AIndex].Name, FFiles[AIndex].NameLength};
  }
  std::string_view LowerName(size_t AIndex) const {
    return {FLowerNames.data() + FFiles[AIndex].Name, FFiles[AIndex].NameLength};
  }
  std::string_view Folder(uint32_t AFolder) const { return FFolders[AFolder].Path; }
  std::string_view LowerFolder(uint32_t AFolder) const { return FFolders[AFolder].LowerPath; }
  uint64_t FolderLetters(uint32_t AFolder) const { return FFolders[AFolder].Letters; }
  uint64_t FolderDoubles(uint32_t AFolder) const { return FFolders[AFolder].Doubles; }
  int FolderDepth(uint32_t AFolder) const { return FFolders[AFolder].Depth; }
  // The file's path below the root, and the full path (root joined to it).
  std::string RelativePath(size_t AIndex) const;
  std::string FullPath(size_t AIndex) const;

  // Adds a folder (relative, "" or ending in '/') and returns its number.
  uint32_t AddFolder(std::string_view ARelative);
  void AddFile(uint32_t AFolder, std::string_view AName);
  // Appends the other table's folders and files, renumbering its folders;
  // AFolderPrefix goes before each of its folders' paths (a workspace's
  // table of several roots keeps whole paths).
  void Append(const TFileTable& AOther, std::string_view AFolderPrefix = {});
  void Clear();
  // Bytes held, for the benchmarks.
  size_t MemoryUsed() const;

private:
  struct TFolder {
    std::string Path;
    std::string LowerPath;
    uint64_t Letters;
    uint64_t Doubles;
    int Depth;
  };

  std::string FRoot;
  std::vector<TFolder> FFolders;
  std::vector<TFile> FFiles;
  std::string FNames;       // every name, as found, one after the other
  std::string FLowerNames;  // the same in lower case (ASCII letters only)
};

// What a walk met besides the files it indexed.
struct TWalkReport {
  int Folders = 0;       // folders read
  int Unreadable = 0;    // folders that could not be opened or read
  int LinksInside = 0;   // links to folders inside the tree (or holding it), left out
  int Repeated = 0;      // folders reached a second time (a link, a bind mount), walked once
  int TooDeep = 0;       // folders below the depth limit, left out
  std::string Error;     // why the root itself could not be read, or empty
};

// A file a walk found: its name, and when asked for, its size and
// modification time.
struct TWalkedFile {
  std::string Name;
  int64_t Size = 0;
  int64_t ModifiedNs = 0;
};

// Walks the tree below ARoot, depth first, each folder's entries in byte
// order, and calls AFolder once per folder that holds indexed files with its
// relative path and the files. The walk skips hidden folders (names
// beginning with '.') and anything that is neither a folder nor a regular
// file; it follows links to folders outside the tree, walks every real
// folder (device and inode) once, and stops descending MaxWalkDepth levels
// down. It returns early, without an error, when ACancel becomes true.
using TFolderSink = std::function<void(std::string_view ARelative, std::vector<TWalkedFile>& AFiles)>;
// With AFileTimes, each file's size and modification time come too (a stat
// each, which the walk of names alone does without).
TWalkReport WalkLibrary(const std::string& ARoot, const std::atomic<bool>& ACancel, const TFolderSink& AFolder,
                        bool AFileTimes = false);
constexpr int MaxWalkDepth = 200;

// The index of one source folder, filled by a background walk: its files,
// and (once asked for) its declarations. Every member function is for the
// thread that owns the index (the IDE's user-interface thread); the walk's
// thread touches only the hand-over box, under a lock.
//
// The first walk of a root shows its files as they come; a later walk of
// the same root (a refresh) replaces the table only when it is complete, so
// a search never sees a half-read tree after it has seen a whole one.
//
// The declarations come from the same walk. The first time, they are read
// from the cache folder when a table of this root is saved there, and so
// are ready at once; then every file the walk finds is checked against the
// table by its size and modification time, only new and changed files are
// scanned (on two threads), and a table that changed replaces the old one
// and is saved again.
class TLibraryIndex {
public:
  TLibraryIndex() = default;
  // Stops the walk and waits for its thread.
  ~TLibraryIndex();
  TLibraryIndex(const TLibraryIndex&) = delete;
  TLibraryIndex& operator=(const TLibraryIndex&) = delete;

  // Starts a walk of ARoot unless one of it is running. A root other than
  // the table's empties the tables first. ADeclarations: bring the
  // declarations up to date too; once asked for, every later refresh does.
  void Refresh(const std::string& ARoot, bool ADeclarations = false);
  // Where declaration tables are saved: by default $XDG_CACHE_HOME/vantry
  // (~/.cache/vantry); empty for nowhere.
  void SetCacheFolder(std::string AFolder) { FCacheFolder = std::move(AFolder); }
  static std::string DefaultCacheFolder();
  // The target the answers are for: its files and declarations come first.
  // Every search over this index ranks for it.
  // A new target takes effect at the next Refresh, whose declarations are
  // read for it (the cache keeps a table for each).
  void SetTarget(TTarget ATarget) { FTarget = std::move(ATarget); }
  const TTarget& Target() const { return FTarget; }
  // Takes in what the walk has found since the last call; true when the
  // table changed.
  bool Poll();
  // Reads the file ARelative (below the root) again and puts what it
  // declares now in the place of what it declared, without a walk: the
  // table it was is replaced by one that differs in that file alone. The
  // file's table as scanned, for a table that holds this one's; null when
  // it cannot be done so (a walk is running, no declarations are known, the
  // table has no such file: a Refresh then).
  std::shared_ptr<const TDeclarationTable> UpdateFile(const std::string& ARelative);
  // Cancels a running walk and waits for its thread; the table stays.
  void Stop();
  // Waits up to ATimeout for the walk (and the declarations, when asked
  // for) to end, then polls; true when nothing is left running. For tools
  // and tests: the IDE itself never waits.
  bool WaitForWalk(std::chrono::milliseconds ATimeout);

  const TFileTable& Files() const { return FTable; }
  // Changes whenever the table is replaced or emptied (not when it grows).
  uint64_t Generation() const { return FGeneration; }
  // A walk is running, or has ended and waits for Poll.
  bool Walking() const { return FThread.joinable() && !FWalkTaken; }
  // The walk, or the declarations that follow it, are still being made.
  bool Building() const { return FThread.joinable(); }
  // The table holds a whole walk of its root.
  bool Complete() const { return FComplete; }
  const TWalkReport& LastReport() const { return FReport; }

  // The declarations, or null while none are known yet. A table given out
  // stays valid however the index changes.
  std::shared_ptr<const TDeclarationTable> Declarations() const { return FDeclarations; }
  // Changes whenever the declarations are replaced.
  uint64_t DeclarationGeneration() const { return FDeclarationGeneration; }

private:
  void Run(std::string ARoot, TTarget ATarget, bool ADeclarations, std::shared_ptr<const TDeclarationTable> ABase,
           std::string ACacheFile);
  void Join();
  // Where the declaration table of ARoot for ATarget is kept: named by the
  // folder's canonical path, so that a relative path and a link share the
  // cache of the folder they reach. Empty when there is no cache folder or
  // ARoot cannot be reached.
  std::string CacheFile(const std::string& ARoot, const std::string& ATarget) const;

  TFileTable FTable;
  TFileTable FNext;           // a refresh's files, until the refresh is complete
  bool FRefreshing = false;   // the running walk fills FNext rather than FTable
  bool FComplete = false;
  bool FWalkTaken = false;    // the running thread's walk has been taken in
  uint64_t FGeneration = 0;
  TWalkReport FReport;
  bool FWantDeclarations = false;
  bool FWalkAgain = false;  // a refresh was asked for while a walk ran
  bool FRunHasDeclarations = false;  // the running walk builds the declarations too
  std::shared_ptr<const TDeclarationTable> FDeclarations;
  uint64_t FDeclarationGeneration = 0;
  std::string FCacheFolder = DefaultCacheFolder();
  TTarget FTarget;

  std::thread FThread;
  std::atomic<bool> FCancel{false};
  std::mutex FLock;                 // guards the three members below
  std::condition_variable FEnded;
  TFileTable FBox;                  // found by the walk, not yet taken in
  bool FWalkDone = false;
  bool FDone = false;
  TWalkReport FBoxReport;
  std::shared_ptr<const TDeclarationTable> FBoxDeclarations;  // the newest, not yet taken in
};

}  // namespace Vantry
