#pragma once
// The folders Vantry answers for, as one index: the user's project folders
// and any number of libraries. Each folder is walked, and its declarations
// cached, by an index of its own, so that adding a library reads no other
// folder again; their tables are merged in the order the compiler searches
// for units: the project's folders first, then the libraries in the order
// given (TDeclarationTable::Merge). It answers as one TLibraryIndex does.
// Every member function is for the thread that owns the workspace.

#include "index/DeclarationTable.h"
#include "index/LibraryIndex.h"
#include "index/Target.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Vantry {

struct TWorkspaceRoot {
  std::string Path;
  bool Project = false;  // the user's own code, before every library

  bool operator==(const TWorkspaceRoot&) const = default;
};

// The folder of the project a source file belongs to: the nearest folder
// above it (its own first) that holds a project's marker (a Lazarus project
// or package, a Free Pascal package's build description, a version-control
// folder), else the file's own folder. Never the file system's root nor
// the home folder: empty then, for a file that belongs to no project.
std::string ProjectFolderOf(const std::string& AFile);

class TWorkspace {
public:
  TWorkspace() = default;
  TWorkspace(const TWorkspace&) = delete;
  TWorkspace& operator=(const TWorkspace&) = delete;

  // As TLibraryIndex's: for every root, taking effect at the next Refresh.
  void SetTarget(TTarget ATarget);
  const TTarget& Target() const { return FTarget; }
  void SetCacheFolder(std::string AFolder);

  // The folders, in the order of their kinds' search (projects first, each
  // kind in the order given). A folder named twice, or lying inside another
  // one, counts once. The indexes of folders kept stay as they are; new
  // ones are walked. ADeclarations as TLibraryIndex::Refresh.
  void SetRoots(std::vector<TWorkspaceRoot> ARoots, bool ADeclarations = false);
  const std::vector<TWorkspaceRoot>& Roots() const { return FRoots; }
  // Whether APath lies in one of the folders (through links too).
  bool Holds(const std::string& APath) const { return RootOf(APath) != nullptr; }
  // The folder APath lies in, or null.
  const TWorkspaceRoot* RootOf(const std::string& APath) const;
  // Walks every folder again: files changed since are read anew, the
  // others' declarations kept.
  void Refresh(bool ADeclarations = false);

  // A file of one of the folders changed on disk: it alone is read again
  // and its declarations replaced in the tables (TLibraryIndex::UpdateFile).
  // False when that cannot be done, and a Refresh is wanted instead (a new
  // or removed file, a walk running).
  bool UpdateFile(const std::string& APath);

  bool Poll();
  void Stop();
  bool WaitForWalk(std::chrono::milliseconds ATimeout);

  // The files of every folder (whole paths when there are several).
  const TFileTable& Files() const;
  uint64_t Generation() const { return FGeneration; }
  bool Walking() const;
  bool Building() const;
  bool Complete() const;
  // The first folder's report that holds an error, else the first's.
  const TWalkReport& LastReport() const;
  // The folders as a user reads them: "a, b and c"; empty for none.
  std::string RootsText() const;
  // The folder whose walk LastReport tells of.
  const std::string& ReportedRoot() const;

  // The declarations of every folder as one table, or null while any
  // folder's are not known yet. A table given out stays valid.
  std::shared_ptr<const TDeclarationTable> Declarations() const { return FDeclarations; }
  uint64_t DeclarationGeneration() const { return FDeclarationGeneration; }

private:
  struct TFolder {
    TWorkspaceRoot Root;
    std::unique_ptr<TLibraryIndex> Index;
  };
  void Merge();

  std::vector<TWorkspaceRoot> FRoots;
  std::vector<TFolder> FFolders;  // in FRoots's order
  TTarget FTarget;
  std::string FCacheFolder = TLibraryIndex::DefaultCacheFolder();
  bool FWantDeclarations = false;
  TFileTable FFiles;  // the merged files, when there are several folders
  uint64_t FGeneration = 0;
  std::shared_ptr<const TDeclarationTable> FDeclarations;
  std::vector<std::shared_ptr<const TDeclarationTable>> FMergedFrom;  // the folders' tables FDeclarations was made of
  uint64_t FDeclarationGeneration = 0;
};

}  // namespace Vantry
