#include "index/Workspace.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace Vantry {

namespace {

bool HoldsProjectMarker(const std::filesystem::path& AFolder) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(AFolder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::string extension = it->path().extension().string();
    if (name == "fpmake.pp" || name == "Makefile.fpc" || name == ".git" || name == ".hg" || name == ".svn" ||
        name == ".bzr" || extension == ".lpi" || extension == ".lpk")
      return true;
  }
  return false;
}

// Whether AInner is AOuter or lies below it (both canonical).
bool Inside(const std::string& AInner, const std::string& AOuter) {
  return !AOuter.empty() && AInner.compare(0, AOuter.size(), AOuter) == 0 &&
         (AInner.size() == AOuter.size() || AOuter == "/" || AInner[AOuter.size()] == '/');
}

}  // namespace

std::string ProjectFolderOf(const std::string& AFile) {
  std::error_code error;
  const std::filesystem::path own = std::filesystem::absolute(AFile, error).lexically_normal().parent_path();
  // A marker far above (a home folder kept in version control) would make
  // everything below it one project: a few levels are enough.
  // The home folder is no project (its dot files may be kept in version
  // control): the search stops below it, and a file loose in it has none.
  constexpr int MostLevels = 8;
  const char* home = std::getenv("HOME");
  auto isHome = [&](const std::filesystem::path& AFolder) {
    return home && *home && std::filesystem::equivalent(AFolder, home, error);
  };
  std::filesystem::path folder = own;
  for (int level = 0; level < MostLevels && folder.has_relative_path() && !isHome(folder);
       ++level, folder = folder.parent_path())
    if (HoldsProjectMarker(folder)) return folder.string();
  if (!own.has_relative_path() || isHome(own)) return {};
  return own.string();
}

void TWorkspace::SetTarget(TTarget ATarget) {
  FTarget = std::move(ATarget);
  for (TFolder& f : FFolders) f.Index->SetTarget(FTarget);
}

void TWorkspace::SetCacheFolder(std::string AFolder) {
  FCacheFolder = std::move(AFolder);
  for (TFolder& f : FFolders) f.Index->SetCacheFolder(FCacheFolder);
}

void TWorkspace::SetRoots(std::vector<TWorkspaceRoot> ARoots, bool ADeclarations) {
  std::stable_partition(ARoots.begin(), ARoots.end(), [](const TWorkspaceRoot& R) { return R.Project; });
  // Each folder once: one inside another is read with the outer one.
  std::vector<TWorkspaceRoot> roots;
  std::vector<std::string> canonical;
  for (const TWorkspaceRoot& root : ARoots) {
    if (root.Path.empty()) continue;
    const std::string path = CanonicalFolder(root.Path);
    const bool covered = std::any_of(canonical.begin(), canonical.end(), [&](const std::string& C) {
      return !path.empty() && Inside(path, C);
    });
    if (covered) continue;
    // An outer folder named later takes the place of those inside it.
    for (size_t i = roots.size(); i-- > 0;)
      if (!path.empty() && Inside(canonical[i], path)) roots.erase(roots.begin() + i), canonical.erase(canonical.begin() + i);
    roots.push_back(root);
    canonical.push_back(path);
  }
  FWantDeclarations |= ADeclarations;
  if (roots == FRoots) {
    Refresh(ADeclarations);
    return;
  }
  std::vector<TFolder> folders;
  for (const TWorkspaceRoot& root : roots) {
    const auto kept = std::find_if(FFolders.begin(), FFolders.end(), [&](const TFolder& F) { return F.Root.Path == root.Path; });
    if (kept != FFolders.end()) {
      if (FWantDeclarations) kept->Index->Refresh(root.Path, true);  // a folder walked for its files alone so far
      folders.push_back({root, std::move(kept->Index)});
      continue;
    }
    auto index = std::make_unique<TLibraryIndex>();
    index->SetCacheFolder(FCacheFolder);
    index->SetTarget(FTarget);
    index->Refresh(root.Path, FWantDeclarations);
    folders.push_back({root, std::move(index)});
  }
  for (TFolder& f : FFolders)
    if (f.Index) f.Index->Stop();
  FFolders = std::move(folders);
  FRoots = std::move(roots);
  Merge();
}

const TWorkspaceRoot* TWorkspace::RootOf(const std::string& APath) const {
  const std::string path = CanonicalFolder(APath);
  for (const TWorkspaceRoot& root : FRoots)
    if (const std::string folder = CanonicalFolder(root.Path); !path.empty() && !folder.empty() && Inside(path, folder))
      return &root;
  return nullptr;
}

void TWorkspace::Refresh(bool ADeclarations) {
  FWantDeclarations |= ADeclarations;
  for (TFolder& f : FFolders) f.Index->Refresh(f.Root.Path, FWantDeclarations);
}

bool TWorkspace::UpdateFile(const std::string& APath) {
  for (size_t r = 0; r < FFolders.size(); ++r) {
    TLibraryIndex& index = *FFolders[r].Index;
    const auto own = index.Declarations();
    if (!own) continue;
    const std::string relative = own->PathInTable(APath);
    if (relative == APath) continue;  // not below this folder
    const auto scanned = index.UpdateFile(relative);
    if (!scanned) return false;
    if (FFolders.size() == 1 || !FDeclarations) {
      Merge();
      return true;
    }
    // The merged table changes in the same file, at its place among all.
    const std::string merged = FDeclarations->PathInTable(APath);
    for (uint32_t f = 0; f < FDeclarations->FileCount(); ++f)
      if (FDeclarations->FilePath(f) == merged) {
        auto replaced = FDeclarations->WithFileReplaced(f, *scanned);
        if (!replaced) break;  // the folder's table took it: merge them again
        FDeclarations = std::move(replaced);
        FMergedFrom[r] = index.Declarations();
        ++FDeclarationGeneration;
        return true;
      }
    Merge();
    return true;
  }
  return false;
}

bool TWorkspace::Poll() {
  bool changed = false;
  for (TFolder& f : FFolders) changed |= f.Index->Poll();
  if (changed) Merge();
  return changed;
}

void TWorkspace::Stop() {
  for (TFolder& f : FFolders) f.Index->Stop();
}

bool TWorkspace::WaitForWalk(std::chrono::milliseconds ATimeout) {
  const auto deadline = std::chrono::steady_clock::now() + ATimeout;
  bool done = true;
  for (TFolder& f : FFolders) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    done &= f.Index->WaitForWalk(std::max(left, std::chrono::milliseconds(0)));
  }
  Merge();
  return done;
}

const TFileTable& TWorkspace::Files() const { return FFolders.size() == 1 ? FFolders.front().Index->Files() : FFiles; }

bool TWorkspace::Walking() const {
  return std::any_of(FFolders.begin(), FFolders.end(), [](const TFolder& F) { return F.Index->Walking(); });
}

bool TWorkspace::Building() const {
  return std::any_of(FFolders.begin(), FFolders.end(), [](const TFolder& F) { return F.Index->Building(); });
}

bool TWorkspace::Complete() const {
  return std::all_of(FFolders.begin(), FFolders.end(), [](const TFolder& F) { return F.Index->Complete(); });
}

const TWalkReport& TWorkspace::LastReport() const {
  static const TWalkReport none;
  for (const TFolder& f : FFolders)
    if (!f.Index->LastReport().Error.empty()) return f.Index->LastReport();
  return FFolders.empty() ? none : FFolders.front().Index->LastReport();
}

std::string TWorkspace::RootsText() const {
  std::string text;
  for (size_t i = 0; i < FRoots.size(); ++i)
    text += (i == 0 ? "" : i + 1 == FRoots.size() ? " and " : ", ") + FRoots[i].Path;
  return text;
}

const std::string& TWorkspace::ReportedRoot() const {
  static const std::string none;
  for (const TFolder& f : FFolders)
    if (!f.Index->LastReport().Error.empty()) return f.Root.Path;
  return FFolders.empty() ? none : FFolders.front().Root.Path;
}

// Joins what the folders' indexes hold now.
void TWorkspace::Merge() {
  ++FGeneration;
  if (FFolders.size() != 1) {
    FFiles = TFileTable("/");
    for (const TFolder& f : FFolders) FFiles.Append(f.Index->Files(), MergedPathPrefix(f.Root.Path));
  } else {
    FFiles = TFileTable();
  }
  std::vector<std::shared_ptr<const TDeclarationTable>> tables;
  for (const TFolder& f : FFolders)
    if (const auto table = f.Index->Declarations()) tables.push_back(table);
  std::shared_ptr<const TDeclarationTable> merged;
  if (!tables.empty() && tables.size() == FFolders.size()) {
    // Unchanged tables need no new merge.
    const bool same = FDeclarations && FMergedFrom == tables;
    merged = same ? FDeclarations : TDeclarationTable::Merge(tables, FTarget);
    FMergedFrom = std::move(tables);
  }
  if (merged != FDeclarations) {
    FDeclarations = std::move(merged);
    ++FDeclarationGeneration;
  }
}

}  // namespace Vantry
