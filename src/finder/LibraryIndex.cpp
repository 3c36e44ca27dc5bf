#include "finder/LibraryIndex.h"

#include "source_menu/ZebFiles.h"


#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace Vantry {

namespace {

char Lower(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }
bool IsUpper(unsigned char C) { return C >= 'A' && C <= 'Z'; }
bool IsLower(unsigned char C) { return C >= 'a' && C <= 'z'; }
bool IsDigit(unsigned char C) { return C >= '0' && C <= '9'; }
// Bytes of other scripts count as letters: they are parts of words.
bool IsWordChar(unsigned char C) { return IsUpper(C) || IsLower(C) || IsDigit(C) || C >= 0x80; }

int LetterBit(unsigned char C) {
  if (IsUpper(C)) return C - 'A';
  if (IsLower(C)) return C - 'a';
  if (IsDigit(C)) return 26 + (C - '0');
  switch (C) {
    case '_': return 36;
    case '.': return 37;
    case '/': return 38;
    case '-': return 39;
    case ' ': return 40;
    default: return 41 + C % 23;
  }
}

// A word starts at the beginning, after a separator (`_`, `-`, a space...),
// at an upper-case letter after a lower-case one, and where digits begin or end.
uint64_t WordStartsOf(std::string_view AStem) {
  uint64_t starts = 0;
  const size_t n = std::min<size_t>(AStem.size(), 64);
  for (size_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(AStem[i]);
    if (!IsWordChar(c)) continue;
    bool start = i == 0;
    if (!start) {
      auto p = static_cast<unsigned char>(AStem[i - 1]);
      start = !IsWordChar(p) || (IsUpper(c) && IsLower(p)) || (IsDigit(c) != IsDigit(p));
    }
    if (start) starts |= uint64_t{1} << i;
  }
  return starts;
}

size_t StemLength(std::string_view AName) {
  size_t dot = AName.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? AName.size() : dot;
}

}  // namespace

uint64_t LetterMask(std::string_view AText) {
  uint64_t mask = 0;
  for (char c : AText) mask |= uint64_t{1} << LetterBit(static_cast<unsigned char>(c));
  return mask;
}

uint64_t DoubleLetterMask(std::string_view AText) {
  uint64_t seen = 0, twice = 0;
  for (char c : AText) {
    uint64_t bit = uint64_t{1} << LetterBit(static_cast<unsigned char>(c));
    twice |= seen & bit;
    seen |= bit;
  }
  return twice;
}

bool IsLibrarySourceName(std::string_view AName) {
  size_t dot = AName.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view ext = AName.substr(dot + 1);
  if (ext.size() > 3 || ext.empty()) return false;
  char lower[4] = {};
  for (size_t i = 0; i < ext.size(); ++i) lower[i] = Lower(ext[i]);
  for (const char* known : {"pas", "pp", "p", "inc", "lpr", "dpr"})
    if (std::strcmp(lower, known) == 0) return true;
  return false;
}

std::string TFileTable::RelativePath(size_t AIndex) const {
  std::string path(Folder(FFiles[AIndex].Folder));
  path += Name(AIndex);
  return path;
}

std::string TFileTable::FullPath(size_t AIndex) const {
  std::string path = FRoot;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + RelativePath(AIndex);
}

uint32_t TFileTable::AddFolder(std::string_view ARelative) {
  TFolder folder;
  folder.Path = ARelative;
  folder.LowerPath = ARelative;
  for (char& c : folder.LowerPath) c = Lower(c);
  folder.Letters = LetterMask(ARelative);
  folder.Doubles = DoubleLetterMask(ARelative);
  folder.Depth = static_cast<int>(std::count(ARelative.begin(), ARelative.end(), '/'));
  FFolders.push_back(std::move(folder));
  return static_cast<uint32_t>(FFolders.size() - 1);
}

void TFileTable::AddFile(uint32_t AFolder, std::string_view AName) {
  // Longer names than a file system allows (255 bytes) cannot occur.
  const size_t length = std::min<size_t>(AName.size(), UINT16_MAX);
  AName = AName.substr(0, length);
  TFile file;
  file.Name = static_cast<uint32_t>(FNames.size());
  file.NameLength = static_cast<uint16_t>(length);
  file.StemLength = static_cast<uint16_t>(StemLength(AName));
  file.Folder = AFolder;
  std::string_view ext = AName.substr(file.StemLength);
  file.Include = ext.size() == 4 && Lower(ext[1]) == 'i' && Lower(ext[2]) == 'n' && Lower(ext[3]) == 'c';
  file.Letters = LetterMask(AName);
  file.Doubles = DoubleLetterMask(AName);
  file.WordStarts = WordStartsOf(AName.substr(0, file.StemLength));
  file.WordLetters = 0;
  for (uint64_t starts = file.WordStarts; starts; starts &= starts - 1)
    file.WordLetters |= LetterMask(AName.substr(static_cast<size_t>(__builtin_ctzll(starts)), 1));
  FNames += AName;
  for (char c : AName) FLowerNames += Lower(c);
  FFiles.push_back(file);
}

void TFileTable::Append(const TFileTable& AOther) {
  const auto base = static_cast<uint32_t>(FFolders.size());
  const auto nameBase = static_cast<uint32_t>(FNames.size());
  FFolders.insert(FFolders.end(), AOther.FFolders.begin(), AOther.FFolders.end());
  FNames += AOther.FNames;
  FLowerNames += AOther.FLowerNames;
  FFiles.reserve(FFiles.size() + AOther.FFiles.size());
  for (TFile file : AOther.FFiles) {
    file.Folder += base;
    file.Name += nameBase;
    FFiles.push_back(file);
  }
}

void TFileTable::Clear() {
  FFolders.clear();
  FFiles.clear();
  FNames.clear();
  FLowerNames.clear();
}

size_t TFileTable::MemoryUsed() const {
  size_t bytes = FFiles.capacity() * sizeof(TFile) + FNames.capacity() + FLowerNames.capacity() +
                 FFolders.capacity() * sizeof(TFolder);
  for (const TFolder& f : FFolders) bytes += f.Path.capacity() + f.LowerPath.capacity();
  return bytes;
}

TWalkReport WalkLibrary(const std::string& ARoot, const std::atomic<bool>& ACancel, const TFolderSink& AFolder) {
  TWalkReport report;
  if (ARoot.empty()) {
    report.Error = "no source folder is set";
    return report;
  }
  // One folder on the walk's path: its listing (subfolders open relative to
  // it, whatever the length of their full path), its relative path, and the
  // subfolders still to visit.
  struct TFrame {
    std::unique_ptr<TDirectoryListing> Listing;
    std::string Relative;
    std::vector<std::string> Folders;
    size_t Next = 0;
  };
  std::vector<TFrame> stack;
  std::vector<std::string> names;
  TTreeRules rules;
  // Reads a folder's entries and takes it onto the walk, unless it was met before.
  auto enter = [&](std::unique_ptr<TDirectoryListing> AListing, std::string ARelative) {
    if (!AListing->Opened()) return ++report.Unreadable, void();
    if (!rules.FirstVisit(*AListing)) return ++report.Repeated, void();
    ++report.Folders;
    TFrame frame{std::move(AListing), std::move(ARelative), {}};
    names.clear();
    for (const TDirectoryListing::TEntry& e : frame.Listing->Entries()) {
      if (e.Kind == TDirectoryListing::ekDirectory && e.Name[0] != '.') frame.Folders.push_back(e.Name);
      if (e.Kind == TDirectoryListing::ekFile && IsLibrarySourceName(e.Name)) names.push_back(e.Name);
    }
    std::sort(frame.Folders.begin(), frame.Folders.end());
    std::sort(names.begin(), names.end());
    if (!names.empty()) AFolder(frame.Relative, names);
    stack.push_back(std::move(frame));
  };
  auto root = std::make_unique<TDirectoryListing>(ARoot);
  if (!root->Opened()) {
    report.Error = std::strerror(root->Error());
    return report;
  }
  rules.Start(*root);
  enter(std::move(root), "");
  while (!stack.empty() && !ACancel.load(std::memory_order_relaxed)) {
    TFrame& top = stack.back();
    if (top.Next == top.Folders.size()) {
      stack.pop_back();
      continue;
    }
    const std::string& name = top.Folders[top.Next++];
    if (stack.size() > static_cast<size_t>(MaxWalkDepth)) {
      ++report.TooDeep;
      continue;
    }
    if (rules.LeadsIntoTree(*top.Listing, name)) {
      ++report.LinksInside;
      continue;
    }
    std::string relative = top.Relative + name + '/';
    auto child = std::make_unique<TDirectoryListing>(top.Listing->Path() + name, top.Listing.get());
    enter(std::move(child), std::move(relative));
  }
  return report;
}

TLibraryIndex::~TLibraryIndex() { Stop(); }

void TLibraryIndex::Refresh(const std::string& ARoot) {
  if (ARoot != FTable.Root()) {
    Stop();
    FTable = TFileTable(ARoot);
    FComplete = false;
    ++FGeneration;
  } else if (Walking()) {
    return;
  }
  Join();
  FRefreshing = FComplete;
  if (!FRefreshing && FTable.FileCount() != 0) {
    // What a stopped walk left is redone from the start.
    FTable = TFileTable(ARoot);
    ++FGeneration;
  }
  FNext = TFileTable(ARoot);
  {
    std::lock_guard lock(FLock);
    FBox = TFileTable(ARoot);
    FDone = false;
  }
  FCancel = false;
  FThread = std::thread(&TLibraryIndex::Run, this, ARoot);
}

// The walk's thread. It owns nothing of the index but the box, which it
// fills under the lock, a folder at a time; nothing it does may throw out
// of the thread.
void TLibraryIndex::Run(std::string ARoot) {
  TWalkReport report;
  try {
    TFileTable folder;
    report = WalkLibrary(ARoot, FCancel, [&](std::string_view ARelative, std::vector<std::string>& ANames) {
      folder.Clear();
      uint32_t f = folder.AddFolder(ARelative);
      for (const std::string& name : ANames) folder.AddFile(f, name);
      std::lock_guard lock(FLock);
      FBox.Append(folder);
    });
  } catch (const std::exception& e) {
    report.Error = e.what();
  }
  std::lock_guard lock(FLock);
  FBoxReport = std::move(report);
  FDone = true;
  FEnded.notify_all();
}

bool TLibraryIndex::Poll() {
  if (!Walking()) return false;
  TFileTable found(FTable.Root());
  bool done;
  {
    std::lock_guard lock(FLock);
    std::swap(found, FBox);
    done = FDone;
    if (done) FReport = FBoxReport;
  }
  bool changed = found.FileCount() != 0 && !FRefreshing;
  (FRefreshing ? FNext : FTable).Append(found);
  if (done) {
    Join();
    if (FRefreshing) {
      FTable = std::move(FNext);
      FNext = TFileTable(FTable.Root());
      ++FGeneration;
      changed = true;
    }
    FComplete = true;
  }
  return changed;
}

void TLibraryIndex::Stop() {
  FCancel = true;
  Join();
  FNext.Clear();
}

void TLibraryIndex::Join() {
  if (FThread.joinable()) FThread.join();
}

bool TLibraryIndex::WaitForWalk(std::chrono::milliseconds ATimeout) {
  if (!Walking()) return true;
  {
    std::unique_lock lock(FLock);
    if (!FEnded.wait_for(lock, ATimeout, [this] { return FDone; })) return false;
  }
  Poll();
  return !Walking();
}

}  // namespace Vantry
