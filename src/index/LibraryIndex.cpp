#include "index/LibraryIndex.h"

#include "index/DeclarationBuild.h"
#include "index/DeclarationTable.h"
#include "source_menu/ZebFiles.h"
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <tuple>
#include <optional>
#include <thread>
#include <utility>

namespace Vantry {

namespace {

char Lower(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

// What a byte is to WordStarts. Bytes of other scripts count as letters:
// they are parts of words.
enum TWordByte : uint8_t { wbNone, wbUpper, wbLower, wbDigit, wbOther };
constexpr std::array<TWordByte, 256> MakeWordBytes() {
  std::array<TWordByte, 256> kinds{};
  for (int c = 0x80; c < 256; ++c) kinds[c] = wbOther;
  for (int c = 'A'; c <= 'Z'; ++c) kinds[c] = wbUpper;
  for (int c = 'a'; c <= 'z'; ++c) kinds[c] = wbLower;
  for (int c = '0'; c <= '9'; ++c) kinds[c] = wbDigit;
  return kinds;
}
constexpr std::array<TWordByte, 256> WordBytes = MakeWordBytes();

constexpr std::array<uint8_t, 256> MakeLetterBits() {
  std::array<uint8_t, 256> bits{};
  for (int c = 0; c < 256; ++c) bits[c] = static_cast<uint8_t>(41 + c % 23);
  for (int c = 'a'; c <= 'z'; ++c) bits[c] = bits[c - 'a' + 'A'] = static_cast<uint8_t>(c - 'a');
  for (int c = '0'; c <= '9'; ++c) bits[c] = static_cast<uint8_t>(26 + (c - '0'));
  bits['_'] = 36;
  bits['.'] = 37;
  bits['/'] = 38;
  bits['-'] = 39;
  bits[' '] = 40;
  return bits;
}
// The bit of LetterMask that stands for a byte.
constexpr std::array<uint8_t, 256> LetterBits = MakeLetterBits();
int LetterBit(unsigned char C) { return LetterBits[C]; }

}  // namespace

uint64_t WordStarts(std::string_view AStem) {
  uint64_t starts = 0;
  const size_t n = std::min<size_t>(AStem.size(), 64);
  TWordByte before = wbNone;
  for (size_t i = 0; i < n; ++i) {
    const TWordByte kind = WordBytes[static_cast<unsigned char>(AStem[i])];
    const bool start = kind != wbNone && (before == wbNone || (kind == wbUpper && before == wbLower) ||
                                          ((kind == wbDigit) != (before == wbDigit)));
    starts |= uint64_t{start} << i;
    before = kind;
  }
  return starts;
}

uint64_t WordLetterMask(std::string_view AName, uint64_t AWordStarts) {
  uint64_t letters = 0;
  for (; AWordStarts; AWordStarts &= AWordStarts - 1)
    letters |= uint64_t{1} << LetterBit(static_cast<unsigned char>(AName[static_cast<size_t>(__builtin_ctzll(AWordStarts))]));
  return letters;
}

namespace {

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

namespace {

// The bit of a LetterFilter's low half that stands for a byte: the letters
// keep LetterMask's, the rest (digits, '_', other bytes) share six.
constexpr std::array<uint8_t, 256> MakeFilterBits() {
  std::array<uint8_t, 256> bits{};
  for (int c = 0; c < 256; ++c)
    bits[c] = static_cast<uint8_t>(LetterBits[c] < 26 ? LetterBits[c] : 26 + (LetterBits[c] - 26) % 6);
  return bits;
}
constexpr std::array<uint8_t, 256> FilterBits = MakeFilterBits();

}  // namespace

uint64_t LetterFilter(std::string_view AText) {
  uint32_t seen = 0, twice = 0, thrice = 0;
  for (char c : AText) {
    const uint32_t bit = 1u << FilterBits[static_cast<unsigned char>(c)];
    thrice |= twice & bit;
    twice |= seen & bit;
    seen |= bit;
  }
  // The high half: the letters held twice, and in its top six bits those
  // held three times or more (a letter's bit shared by every sixth letter),
  // which tells "eee" from the many names with two e's.
  constexpr uint32_t Letters = (1u << 26) - 1;
  uint32_t repeated = twice & Letters;
  for (uint32_t more = thrice & Letters; more; more &= more - 1) repeated |= 1u << (26 + __builtin_ctz(more) % 6);
  return seen | uint64_t{repeated} << 32;
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
  file.WordStarts = WordStarts(AName.substr(0, file.StemLength));
  file.WordLetters = WordLetterMask(AName, file.WordStarts);
  FNames += AName;
  for (char c : AName) FLowerNames += Lower(c);
  FFiles.push_back(file);
}

void TFileTable::Append(const TFileTable& AOther, std::string_view AFolderPrefix) {
  const auto base = static_cast<uint32_t>(FFolders.size());
  const auto nameBase = static_cast<uint32_t>(FNames.size());
  if (AFolderPrefix.empty())
    FFolders.insert(FFolders.end(), AOther.FFolders.begin(), AOther.FFolders.end());
  else
    for (const TFolder& folder : AOther.FFolders) AddFolder(std::string(AFolderPrefix) + folder.Path);
  FNames += AOther.FNames;
  FLowerNames += AOther.FLowerNames;
  // At least doubling: a walk appends a folder at a time, and growing to
  // the exact size each time copied the whole table at every folder.
  if (FFiles.capacity() < FFiles.size() + AOther.FFiles.size())
    FFiles.reserve(std::max(FFiles.size() + AOther.FFiles.size(), 2 * FFiles.capacity()));
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

TWalkReport WalkLibrary(const std::string& ARoot, const std::atomic<bool>& ACancel, const TFolderSink& AFolder,
                        bool AFileTimes) {
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
  std::vector<TWalkedFile> files;
  TTreeRules rules;
  // Reads a folder's entries and takes it onto the walk, unless it was met before.
  auto enter = [&](std::unique_ptr<TDirectoryListing> AListing, std::string ARelative) {
    if (!AListing->Opened()) return ++report.Unreadable, void();
    if (!rules.FirstVisit(*AListing)) return ++report.Repeated, void();
    ++report.Folders;
    TFrame frame{std::move(AListing), std::move(ARelative), {}};
    files.clear();
    for (const TDirectoryListing::TEntry& e : frame.Listing->Entries()) {
      if (e.Kind == TDirectoryListing::ekDirectory && e.Name[0] != '.') frame.Folders.push_back(e.Name);
      if (e.Kind != TDirectoryListing::ekFile || !IsLibrarySourceName(e.Name)) continue;
      struct stat info;
      if (!AFileTimes)
        files.push_back({e.Name});
      else if (frame.Listing->Stat(e.Name, info))
        files.push_back({e.Name, info.st_size, info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec});
    }
    std::sort(frame.Folders.begin(), frame.Folders.end());
    std::sort(files.begin(), files.end(), [](const TWalkedFile& A, const TWalkedFile& B) { return A.Name < B.Name; });
    if (!files.empty()) AFolder(frame.Relative, files);
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

std::string TLibraryIndex::DefaultCacheFolder() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') return std::string(cache) + "/vantry";
  if (const char* home = std::getenv("HOME"); home && *home == '/') return std::string(home) + "/.cache/vantry";
  return {};
}

std::string TLibraryIndex::CacheFile(const std::string& ARoot, const std::string& ATarget) const {
  // The canonical root's bytes and the target's, hashed: one file per
  // source folder and target, however the folder is reached (a relative
  // path, a link). A folder that cannot be reached has none.
  const std::string root = CanonicalFolder(ARoot);
  if (FCacheFolder.empty() || root.empty()) return {};
  uint64_t h = 0xCBF29CE484222325ull;
  for (char c : root + '\0' + ATarget) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  char name[48];
  std::snprintf(name, sizeof name, "/declarations-%016llx.idx", static_cast<unsigned long long>(h));
  return FCacheFolder + name;
}

void TLibraryIndex::Refresh(const std::string& ARoot, bool ADeclarations) {
  const std::string target = FTarget.Os.empty() ? std::string() : FTarget.Name();
  if (FDeclarations && FDeclarations->Target() != target) {
    // Read for another target: the walk that follows reads them anew.
    Stop();
    FDeclarations.reset();
    ++FDeclarationGeneration;
  }
  if (ARoot != FTable.Root()) {
    Stop();
    FTable = TFileTable(ARoot);
    FComplete = false;
    ++FGeneration;
    FWantDeclarations = false;
    if (FDeclarations) {
      FDeclarations.reset();
      ++FDeclarationGeneration;
    }
  } else if (Building()) {
    // The running walk may have passed a file changed since it started:
    // another follows it (Poll), with the declarations when they are wanted.
    FWantDeclarations |= ADeclarations;
    FWalkAgain = true;
    return;
  }
  FWalkAgain = false;
  Join();
  FWantDeclarations |= ADeclarations;
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
    FWalkDone = FDone = false;
    FBoxDeclarations.reset();
  }
  FWalkTaken = false;
  FCancel = false;
  FRunHasDeclarations = FWantDeclarations;
  FThread = std::thread(&TLibraryIndex::Run, this, ARoot, FTarget, FWantDeclarations, FDeclarations,
                        CacheFile(ARoot, target));
}

// The walk's thread. It owns nothing of the index but the box, which it
// fills under the lock (a folder of files at a time, then the
// declarations); nothing it does may throw out of the thread.
void TLibraryIndex::Run(std::string ARoot, TTarget ATarget, bool ADeclarations,
                        std::shared_ptr<const TDeclarationTable> ABase, std::string ACacheFile) {
  const std::string target = ATarget.Os.empty() ? std::string() : ATarget.Name();
  TWalkReport report;
  std::shared_ptr<TDeclarationTable> built;
  try {
    // The cache is read (mapped and checked) on a thread of its own while
    // the walk goes on; the walk's files wait for it, as it tells which of
    // them need no scan.
    std::future<std::shared_ptr<TDeclarationTable>> loading;
    if (ADeclarations && !ABase && !ACacheFile.empty())
      loading = std::async(std::launch::async, [&]() -> std::shared_ptr<TDeclarationTable> {
        auto cached = std::make_shared<TDeclarationTable>();
        return cached->Load(ACacheFile, ARoot, target) ? cached : nullptr;
      });
    std::optional<TDeclarationBuild> build;
    std::vector<std::tuple<std::string, int64_t, int64_t>> waiting;  // files found before the cache was read
    auto startBuild = [&] {
      if (loading.valid()) {
        if (auto cached = loading.get()) {
          ABase = cached;
          std::lock_guard lock(FLock);
          FBoxDeclarations = std::move(cached);
        }
      }
      build.emplace(ARoot, ATarget, ABase, FCancel);
      for (auto& [path, size, modified] : waiting) build->Add(std::move(path), size, modified);
      waiting.clear();
    };
    TFileTable folder;
    report = WalkLibrary(ARoot, FCancel, [&](std::string_view ARelative, std::vector<TWalkedFile>& AFiles) {
      folder.Clear();
      uint32_t f = folder.AddFolder(ARelative);
      if (ADeclarations && !build &&
          (!loading.valid() || loading.wait_for(std::chrono::seconds(0)) == std::future_status::ready))
        startBuild();
      for (const TWalkedFile& file : AFiles) {
        folder.AddFile(f, file.Name);
        if (build)
          build->Add(std::string(ARelative) + file.Name, file.Size, file.ModifiedNs);
        else if (ADeclarations)
          waiting.emplace_back(std::string(ARelative) + file.Name, file.Size, file.ModifiedNs);
      }
      std::lock_guard lock(FLock);
      FBox.Append(folder);
    }, ADeclarations);
    if (ADeclarations && !build) startBuild();
    {
      std::lock_guard lock(FLock);
      FBoxReport = report;
      FWalkDone = true;
    }
    // A root that could not be read has no declarations to keep: its cache
    // file would only stand for a failure.
    if (!report.Error.empty()) ACacheFile.clear();
    if (build && !FCancel) built = build->Finish();
    if (built) {
      // Given to the index first, then saved: the user need not wait for the disk.
      {
        std::lock_guard lock(FLock);
        FBoxDeclarations = built;
      }
      if (!ACacheFile.empty()) built->Save(ACacheFile);
      built.reset();
    }
  } catch (const std::exception& e) {
    built.reset();  // out of memory, most likely: the table there was stays
    std::lock_guard lock(FLock);
    if (!FWalkDone) {
      report.Error = e.what();
      FBoxReport = report;
      FWalkDone = true;
    }
  }
  std::lock_guard lock(FLock);
  if (built) FBoxDeclarations = std::move(built);
  FDone = true;
  FEnded.notify_all();
}

bool TLibraryIndex::Poll() {
  if (!Building()) return false;
  TFileTable found(FTable.Root());
  bool walkDone, done;
  std::shared_ptr<const TDeclarationTable> declarations;
  {
    std::lock_guard lock(FLock);
    std::swap(found, FBox);
    walkDone = FWalkDone;
    done = FDone;
    declarations = std::move(FBoxDeclarations);
    if (walkDone) FReport = FBoxReport;
  }
  bool changed = found.FileCount() != 0 && !FRefreshing;
  (FRefreshing ? FNext : FTable).Append(found);
  if (walkDone && !FWalkTaken) {
    FWalkTaken = true;
    if (FRefreshing) {
      FTable = std::move(FNext);
      FNext = TFileTable(FTable.Root());
      ++FGeneration;
      changed = true;
    }
    FComplete = true;
  }
  if (declarations) {
    FDeclarations = std::move(declarations);
    ++FDeclarationGeneration;
    changed = true;
  }
  if (done) {
    Join();
    // The declarations were asked for while a walk without them ran.
    if (((FWantDeclarations && !FRunHasDeclarations) || FWalkAgain) && !FCancel) Refresh(FTable.Root(), FWantDeclarations);
  }
  return changed;
}

std::shared_ptr<const TDeclarationTable> TLibraryIndex::UpdateFile(const std::string& ARelative) {
  if (Building() || !FDeclarations || FDeclarations->Target() != (FTarget.Os.empty() ? std::string() : FTarget.Name()))
    return nullptr;
  const TDeclarationTable& old = *FDeclarations;
  uint32_t file = TDeclarationTable::None;
  for (uint32_t f = 0; f < old.FileCount() && file == TDeclarationTable::None; ++f)
    if (old.FilePath(f) == ARelative) file = f;
  if (file == TDeclarationTable::None) return nullptr;
  const TTargetSymbols symbols = SymbolsOf(FTarget);
  TDeclarationScanner scanner;
  scanner.SetTarget(&symbols);
  std::string text;
  auto scanned = std::make_shared<const TDeclarationTable>(ScanLibraryFile(FTable.Root(), ARelative, scanner, text));
  auto replaced = old.WithFileReplaced(file, *scanned);
  if (!replaced) return nullptr;
  FDeclarations = std::move(replaced);
  ++FDeclarationGeneration;
  return scanned;
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
  const auto deadline = std::chrono::steady_clock::now() + ATimeout;
  while (Building()) {  // a walk may be followed by one that brings the declarations
    {
      std::unique_lock lock(FLock);
      if (!FEnded.wait_until(lock, deadline, [this] { return FDone; })) return false;
    }
    Poll();
  }
  return true;
}

}  // namespace Vantry
