#include "index/DeclarationTable.h"

#include "index/FileStanding.h"
#include "index/LibraryIndex.h"
#include "index/NameMatch.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <unordered_map>

namespace Vantry {

uint32_t TDeclarationTable::FileOf(uint32_t ADeclaration) const {
  // The last file that starts at or before the declaration.
  auto it = std::upper_bound(FFiles.begin(), FFiles.end() - 1, ADeclaration,
                             [](uint32_t A, const TSourceFile& F) { return A < F.FirstEntry; });
  return static_cast<uint32_t>(it - FFiles.begin()) - 1;
}

std::string TDeclarationTable::QualifiedName(uint32_t ADeclaration) const {
  const TDeclarationEntry& e = FEntries[ADeclaration];
  std::string name;
  if (e.Owner != None) {
    name = Name(e.Owner);
    name += '.';
  }
  name += Name(ADeclaration);
  return name;
}

std::string TDeclarationTable::FullPath(uint32_t AFile) const {
  std::string path = FRoot;
  if (!path.empty() && path.back() != '/') path += '/';
  path += FilePath(AFile);
  return path;
}

std::vector<TFileStanding> TDeclarationTable::WorkOutStanding(const TTarget& ATarget) const {
  // Each root by itself: its packages' build descriptions lie below it, and
  // its folders are named for targets from it down.
  std::vector<TFileStanding> standing;
  for (size_t r = 0; r < RootCount(); ++r) {
    const uint32_t first = FRoots.empty() ? 0 : FRoots[r].FirstFile;
    const uint32_t last = FRoots.empty() || r + 1 == FRoots.size() ? static_cast<uint32_t>(FileCount()) : FRoots[r + 1].FirstFile;
    std::vector<TStandingSource> sources;
    for (uint32_t f = first; f < last; ++f) {
      // A program's declarations (an example's, a test's) are its own, not
      // the library's.
      const uint32_t entry = File(f).FirstEntry;
      const bool program = entry < File(f + 1).FirstEntry && Entry(entry).Kind() == dkProgram;
      sources.push_back({PathBelowOwnRoot(f), program, FileLinks(f)});
    }
    const std::vector<TFileStanding> own = StandingOfFiles(RootName(r), sources, ATarget);
    standing.insert(standing.end(), own.begin(), own.end());
  }
  return standing;
}

size_t TDeclarationTable::RootIndexOf(uint32_t AFile) const {
  if (FRoots.empty()) return 0;
  const auto it = std::upper_bound(FRoots.begin(), FRoots.end(), AFile,
                                   [](uint32_t A, const TRoot& R) { return A < R.FirstFile; });
  return static_cast<size_t>(it - FRoots.begin()) - 1;
}

std::string_view TDeclarationTable::PathBelowOwnRoot(uint32_t AFile) const {
  const std::string_view path = FilePath(AFile);
  return FRoots.empty() ? path : path.substr(std::min(path.size(), FRoots[RootIndexOf(AFile)].PrefixLength));
}

namespace {

// APath below ARoot (the rest after the root and its separator), or
// nothing when it does not lie there.
std::optional<std::string_view> Below(std::string_view APath, std::string_view ARoot) {
  while (ARoot.size() > 1 && ARoot.back() == '/') ARoot.remove_suffix(1);
  if (ARoot.empty() || APath.size() <= ARoot.size() || APath.substr(0, ARoot.size()) != ARoot) return std::nullopt;
  if (ARoot != "/" && APath[ARoot.size()] != '/') return std::nullopt;
  return APath.substr(ARoot == "/" ? 1 : ARoot.size() + 1);
}

}  // namespace

std::string MergedPathPrefix(const std::string& ARoot) {
  std::error_code error;
  std::string prefix = std::filesystem::absolute(ARoot, error).lexically_normal().string();
  while (!prefix.empty() && prefix.front() == '/') prefix.erase(0, 1);
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  return prefix;
}

std::string TDeclarationTable::PathInTable(const std::string& APath) const {
  std::error_code error;
  const std::string canonical = std::filesystem::weakly_canonical(APath, error).string();
  for (size_t r = 0; r < RootCount(); ++r) {
    const std::string& root = RootName(r);
    for (const std::string& path : {APath, canonical})
      for (const std::string& base : {root, CanonicalFolder(root)})
        if (const auto rest = Below(path, base))
          return FRoots.empty() ? std::string(*rest) : MergedPathPrefix(root) + std::string(*rest);
  }
  return APath;
}

namespace {

bool IsStructureKind(TDeclarationKind AKind) {
  return AKind == dkClass || AKind == dkObject || AKind == dkRecord || AKind == dkInterface || AKind == dkHelper;
}

}  // namespace

std::shared_ptr<const TDeclarationTable> TDeclarationTable::WithFileReplaced(uint32_t AFile,
                                                                             const TDeclarationTable& AScanned) const {
  const uint32_t first = File(AFile).FirstEntry, last = File(AFile + 1).FirstEntry;
  const auto scannedCount = static_cast<uint32_t>(AScanned.Count());
  const std::string_view path = FilePath(AFile);
  // Members that another file's class takes in from this one (an include
  // file inside a class body) are owned as a whole build owns them: not
  // here.
  for (uint32_t d = first; d < last; ++d)
    if (const uint32_t owner = Entry(d).Owner; owner != None && (owner < first || owner >= last) && !Entry(d).Definition())
      return nullptr;
  // The scanned bodies of types another file declares, linked as a build
  // links them: the type of that name (inside the outer type the heading
  // names) whose file shares the most folders with this one; a body whose
  // type is declared nowhere is left out.
  constexpr uint32_t Dropped = None - 1;
  std::vector<uint32_t> owner(scannedCount);  // the scanned entry's owner: a scanned index, or a table id | Outside
  constexpr uint32_t Outside = 0x80000000u;
  for (uint32_t i = 0; i < scannedCount; ++i) owner[i] = AScanned.Entry(i).Owner;
  for (const TStorage::TOwnerLink& link : AScanned.FStore->OwnerLinks) {
    uint32_t best = None;
    uint64_t bestScore = 0;
    for (uint32_t c : Named(link.Owner)) {
      if ((c >= first && c < last) || !IsStructureKind(Entry(c).Kind())) continue;
      const TDeclarationEntry& e = Entry(c);
      const bool outer = !link.Outer.empty() && e.Owner != None && SameFolded(Name(e.Owner), link.Outer);
      const std::string_view other = FilePath(FileOf(c));
      size_t shared = 0, folders = 0;
      while (shared < other.size() && shared < path.size() && other[shared] == path[shared]) folders += other[shared++] == '/';
      const uint64_t score = uint64_t{outer} << 40 | uint64_t{std::min<size_t>(folders, 0xFFFF)} << 20 | uint64_t{!e.Skipped()} << 19 | 1;
      if (score > bestScore) best = c, bestScore = score;
    }
    owner[link.Declaration] = best == None ? Dropped : best | Outside;
  }
  // Where each kept scanned entry goes, and how far the entries after the
  // file move.
  std::vector<uint32_t> placed(scannedCount, None);
  uint32_t kept = 0;
  for (uint32_t i = 0; i < scannedCount; ++i)
    if (owner[i] != Dropped) placed[i] = first + kept++;
  const int64_t delta = int64_t{kept} - int64_t{last - first};
  auto moved = [&](uint32_t AId) { return AId < first ? AId : static_cast<uint32_t>(AId + delta); };
  // An outside body whose type was one of the file's: the file's type of
  // that name now, if it still has one.
  auto relinked = [&](uint32_t AOldOwner) {
    for (uint32_t i = 0; i < scannedCount; ++i)
      if (placed[i] != None && IsStructureKind(AScanned.Entry(i).Kind()) && SameFolded(AScanned.Name(i), Name(AOldOwner)))
        return placed[i];
    return None;
  };

  auto table = std::make_shared<TDeclarationTable>(FRoot, FTarget);
  table->FRoots = FRoots;
  TStorage& t = *table->FStore;
  const size_t nameBase = FNames.size() - std::min(FNames.size(), NamePadding);
  t.Names.reserve(nameBase + AScanned.FNames.size() + NamePadding);
  t.Names.append(FNames.data(), nameBase);
  t.Names.append(AScanned.FNames.data(), AScanned.FNames.size() - std::min(AScanned.FNames.size(), NamePadding));
  t.Names.append(NamePadding, '\0');
  t.Entries.reserve(Count() + kept - (last - first));
  bool orphaned = false;  // a body elsewhere whose type the file no longer declares
  auto copyOutside = [&](uint32_t AFrom, uint32_t ATo) {
    for (uint32_t d = AFrom; d < ATo; ++d) {
      TDeclarationEntry e = FEntries[d];
      if (e.Owner != None) e.Owner = e.Owner >= first && e.Owner < last ? relinked(e.Owner) : moved(e.Owner);
      orphaned |= e.Owner == None && FEntries[d].Owner != None;
      t.Entries.push_back(e);
    }
    t.Letters.insert(t.Letters.end(), FLetters.begin() + AFrom, FLetters.begin() + ATo);
    t.Words.insert(t.Words.end(), FWords.begin() + AFrom, FWords.begin() + ATo);
    t.FirstBytes.append(FFirstBytes.data() + AFrom, ATo - AFrom);
  };
  copyOutside(0, first);
  for (uint32_t i = 0; i < scannedCount; ++i) {
    if (placed[i] == None) continue;
    TDeclarationEntry e = AScanned.Entry(i);
    e.NameStart += static_cast<uint32_t>(nameBase);
    e.Owner = owner[i] == None ? None : owner[i] & Outside ? moved(owner[i] & ~Outside) : placed[owner[i]];
    t.Entries.push_back(e);
    t.Letters.push_back(AScanned.Letters(i));
    t.Words.push_back(AScanned.Words(i));
    t.FirstBytes += AScanned.FirstByte(i);
  }
  copyOutside(last, static_cast<uint32_t>(Count()));
  // A build leaves such a body out, and every index after it moves: a
  // whole build is wanted.
  if (orphaned) return nullptr;

  // The files, their links and name hashes, with the file's own in its place.
  const TSourceFile &own = File(AFile), &next = File(AFile + 1), &scannedFile = AScanned.File(0);
  const int64_t linkDelta = int64_t(AScanned.FLinks.size()) - int64_t(next.LinksStart - own.LinksStart);
  const int64_t hashDelta = int64_t(AScanned.FNameHashes.size()) - int64_t(next.NamesStart - own.NamesStart);
  for (uint32_t f = 0; f < FFiles.size(); ++f) {
    TSourceFile file = FFiles[f];
    if (f == AFile) file.Size = scannedFile.Size, file.ModifiedNs = scannedFile.ModifiedNs;
    if (f > AFile) {
      file.FirstEntry = static_cast<uint32_t>(file.FirstEntry + delta);
      file.LinksStart = static_cast<uint32_t>(file.LinksStart + linkDelta);
      file.NamesStart = static_cast<uint32_t>(file.NamesStart + hashDelta);
    }
    t.Files.push_back(file);
  }
  t.Paths.assign(FPaths.data(), FPaths.size());
  t.Links.assign(FLinks.data(), own.LinksStart);
  t.Links.append(AScanned.FLinks.data(), AScanned.FLinks.size());
  t.Links.append(FLinks.data() + next.LinksStart, FLinks.size() - next.LinksStart);
  t.NameHashes.assign(FNameHashes.begin(), FNameHashes.begin() + own.NamesStart);
  t.NameHashes.insert(t.NameHashes.end(), AScanned.FNameHashes.begin(), AScanned.FNameHashes.end());
  t.NameHashes.insert(t.NameHashes.end(), FNameHashes.begin() + next.NamesStart, FNameHashes.end());
  table->Bind();

  // What was worked out once for the whole table stays: the files'
  // standing, and the index of the names (the file's own taken out and put
  // in again, in one merge).
  if (FStanding->Built.load(std::memory_order_acquire))
    std::call_once(table->FStanding->Once, [&] {
      table->FStanding->Standing = FStanding->Standing;
      table->FStanding->Built.store(true, std::memory_order_release);
    });
  if (FNameIndex->Built.load(std::memory_order_acquire)) {
    std::vector<uint64_t> fresh;
    for (uint32_t i = 0; i < scannedCount; ++i)
      if (placed[i] != None) fresh.push_back(uint64_t{NameHash(AScanned.Name(i))} << 32 | placed[i]);
    std::sort(fresh.begin(), fresh.end());
    std::call_once(table->FNameIndex->Once, [&] {
      TNameIndex& index = *table->FNameIndex;
      index.Hashes.reserve(table->Count());
      index.Declarations.reserve(table->Count());
      size_t k = 0;
      auto put = [&](uint64_t AKeyed) {
        index.Hashes.push_back(static_cast<uint32_t>(AKeyed >> 32));
        index.Declarations.push_back(static_cast<uint32_t>(AKeyed));
      };
      for (size_t i = 0; i < FNameIndex->Declarations.size(); ++i) {
        const uint32_t d = FNameIndex->Declarations[i];
        if (d >= first && d < last) continue;
        const uint64_t keyed = uint64_t{FNameIndex->Hashes[i]} << 32 | moved(d);
        while (k < fresh.size() && fresh[k] < keyed) put(fresh[k++]);
        put(keyed);
      }
      while (k < fresh.size()) put(fresh[k++]);
      index.Built.store(true, std::memory_order_release);
    });
  }
  return table;
}

std::shared_ptr<const TDeclarationTable> TDeclarationTable::Merge(
    const std::vector<std::shared_ptr<const TDeclarationTable>>& ATables, const TTarget& ATarget) {
  if (ATables.size() == 1) return ATables.front();
  auto merged = std::make_shared<TDeclarationTable>("/", ATarget.Os.empty() ? std::string() : ATarget.Name());
  TStorage& s = *merged->FStore;
  std::vector<TFileStanding> standing;
  for (const auto& table : ATables) {
    const TDeclarationTable& t = *table;
    const std::string prefix = MergedPathPrefix(t.Root());
    merged->FRoots.push_back({t.Root(), static_cast<uint32_t>(s.Files.size()), prefix.size()});
    const auto nameBase = static_cast<uint32_t>(s.Names.size()), entryBase = static_cast<uint32_t>(s.Entries.size()),
               linkBase = static_cast<uint32_t>(s.Links.size()), hashBase = static_cast<uint32_t>(s.NameHashes.size());
    s.Names.append(t.FNames.data(), t.FNames.size() - std::min(t.FNames.size(), NamePadding));
    for (TDeclarationEntry e : t.FEntries) {
      e.NameStart += nameBase;
      if (e.Owner != None) e.Owner += entryBase;
      s.Entries.push_back(e);
    }
    s.Letters.insert(s.Letters.end(), t.FLetters.begin(), t.FLetters.end());
    s.Words.insert(s.Words.end(), t.FWords.begin(), t.FWords.end());
    s.FirstBytes.append(t.FFirstBytes.data(), t.FFirstBytes.size());
    for (uint32_t f = 0; f < t.FileCount(); ++f) {
      TSourceFile file = t.File(f);
      file.FirstEntry += entryBase;
      file.PathStart = static_cast<uint32_t>(s.Paths.size());
      file.LinksStart += linkBase;
      file.NamesStart += hashBase;
      s.Files.push_back(file);
      s.Paths += prefix;
      s.Paths += t.FilePath(f);
    }
    s.Links.append(t.FLinks.data(), t.FLinks.size());
    s.NameHashes.insert(s.NameHashes.end(), t.FNameHashes.begin(), t.FNameHashes.end());
    const std::vector<TFileStanding> own = t.StandingFor(ATarget);
    standing.insert(standing.end(), own.begin(), own.end());
  }
  s.Files.push_back({static_cast<uint32_t>(s.Entries.size()), static_cast<uint32_t>(s.Paths.size()), 0, 0,
                     static_cast<uint32_t>(s.Links.size()), static_cast<uint32_t>(s.NameHashes.size())});
  s.Names.append(NamePadding, '\0');
  merged->Bind();
  std::call_once(merged->FStanding->Once, [&] {
    merged->FStanding->Standing = std::move(standing);
    merged->FStanding->Built.store(true, std::memory_order_release);
  });
  return merged;
}

std::vector<TFileStanding> TDeclarationTable::StandingFor(const TTarget& ATarget) const {
  const std::string name = ATarget.Os.empty() ? std::string() : ATarget.Name();
  if (name != FTarget) return WorkOutStanding(ATarget);
  std::call_once(FStanding->Once, [&] {
    FStanding->Standing = WorkOutStanding(ATarget);
    FStanding->Built.store(true, std::memory_order_release);
  });
  return FStanding->Standing;
}

std::vector<uint32_t> TDeclarationTable::Named(std::string_view AName) const {
  TNameIndex& index = *FNameIndex;
  std::call_once(index.Once, [&] {
    std::vector<uint64_t> keyed(Count());
    for (uint32_t d = 0; d < Count(); ++d) keyed[d] = uint64_t{NameHash(Name(d))} << 32 | d;
    std::sort(keyed.begin(), keyed.end());
    index.Hashes.resize(keyed.size());
    index.Declarations.resize(keyed.size());
    for (size_t i = 0; i < keyed.size(); ++i) {
      index.Hashes[i] = static_cast<uint32_t>(keyed[i] >> 32);
      index.Declarations[i] = static_cast<uint32_t>(keyed[i]);
    }
    index.Built.store(true, std::memory_order_release);
  });
  const auto [first, last] = std::equal_range(index.Hashes.begin(), index.Hashes.end(), NameHash(AName));
  std::vector<uint32_t> found;
  for (auto it = first; it != last; ++it) {
    const uint32_t d = index.Declarations[static_cast<size_t>(it - index.Hashes.begin())];
    if (SameFolded(Name(d), AName)) found.push_back(d);
  }
  return found;
}

size_t TDeclarationTable::MemoryUsed() const {
  return FNames.size() + FPaths.size() + FEntries.size() * sizeof(TDeclarationEntry) +
         FLetters.size() * sizeof(uint64_t) + FWords.size() * sizeof(TWordMasks) + FFirstBytes.size() +
         FFiles.size() * sizeof(TSourceFile) + FLinks.size() + FNameHashes.size() * sizeof(uint32_t) +
         FStanding->Standing.capacity() * sizeof(TFileStanding) +
         (FNameIndex->Hashes.capacity() + FNameIndex->Declarations.capacity()) * sizeof(uint32_t);
}

void TDeclarationTable::Bind() {
  const TStorage& s = *FStore;
  FNames = {s.Names.data(), s.Names.size()};
  FEntries = {s.Entries.data(), s.Entries.size()};
  FLetters = {s.Letters.data(), s.Letters.size()};
  FWords = {s.Words.data(), s.Words.size()};
  FFirstBytes = {s.FirstBytes.data(), s.FirstBytes.size()};
  FFiles = {s.Files.data(), s.Files.size()};
  FPaths = {s.Paths.data(), s.Paths.size()};
  FLinks = {s.Links.data(), s.Links.size()};
  FNameHashes = {s.NameHashes.data(), s.NameHashes.size()};
  FMapping.reset();
}

// ---- building

namespace {

// Makes room for ASize items, at least doubling when it must grow, so that
// adding file after file stays linear.
template <class T>
void Grow(T& AItems, size_t ASize) {
  if (AItems.capacity() < ASize) AItems.reserve(std::max(ASize, 2 * AItems.capacity()));
}

}  // namespace

TDeclarationTableBuilder::TDeclarationTableBuilder(std::string ARoot, size_t AExpected, std::string ATarget)
    : FTable(std::move(ARoot), std::move(ATarget)) {
  TDeclarationTable::TStorage& t = *FTable.FStore;
  t.Entries.reserve(AExpected);
  t.Letters.reserve(AExpected);
  t.Words.reserve(AExpected);
  t.FirstBytes.reserve(AExpected);
  t.Names.reserve(AExpected * 12);
}

void TDeclarationTableBuilder::StartFile(std::string_view APath, int64_t ASize, int64_t AModifiedNs,
                                         std::string_view ALinks) {
  TDeclarationTable::TStorage& t = *FTable.FStore;
  t.Files.push_back({static_cast<uint32_t>(t.Entries.size()), static_cast<uint32_t>(t.Paths.size()), ASize, AModifiedNs,
                     static_cast<uint32_t>(t.Links.size()), static_cast<uint32_t>(t.NameHashes.size())});
  t.Paths += APath;
  t.Links += ALinks;
}

void TDeclarationTableBuilder::AddNameHashes(const uint32_t* AFirst, const uint32_t* ALast) {
  std::vector<uint32_t>& hashes = FTable.FStore->NameHashes;
  Grow(hashes, hashes.size() + static_cast<size_t>(ALast - AFirst));
  hashes.insert(hashes.end(), AFirst, ALast);
}

void TDeclarationTableBuilder::AddFile(std::string_view APath, int64_t ASize, int64_t AModifiedNs,
                                       const std::vector<TFoundDeclaration>& ADeclarations, std::string_view ALinks,
                                       const std::vector<uint32_t>& ANameHashes) {
  TDeclarationTable::TStorage& t = *FTable.FStore;
  const auto first = static_cast<uint32_t>(t.Entries.size());
  StartFile(APath, ASize, AModifiedNs, ALinks);
  AddNameHashes(ANameHashes.data(), ANameHashes.data() + ANameHashes.size());
  // Room for the file at once (a scanning thread builds a table a file):
  // growing as it goes was a copy and an allocation many times a file.
  size_t nameBytes = 0;
  for (const TFoundDeclaration& d : ADeclarations) nameBytes += std::min<size_t>(d.Name.size(), 255);
  const size_t entries = first + ADeclarations.size();
  Grow(t.Names, t.Names.size() + nameBytes + NamePadding);
  Grow(t.Entries, entries);
  Grow(t.Letters, entries);
  Grow(t.Words, entries);
  Grow(t.FirstBytes, entries);
  for (const TFoundDeclaration& d : ADeclarations) {
    const std::string_view name = d.Name.substr(0, 255);
    TDeclarationEntry e;
    e.NameStart = static_cast<uint32_t>(t.Names.size());
    e.NameLength = static_cast<uint8_t>(name.size());
    e.Owner = d.OwnerIndex >= 0 ? first + static_cast<uint32_t>(d.OwnerIndex) : TDeclarationTable::None;
    e.Line = d.Line;
    e.Column = static_cast<uint16_t>(std::min<uint32_t>(d.Column, UINT16_MAX));
    e.KindAndFlags = static_cast<uint8_t>(d.Kind | (d.Skipped ? 0x20 : 0) | (d.Definition ? 0x40 : 0) | (d.Hidden ? 0x80 : 0));
    if (d.Definition && d.OwnerIndex < 0 && !d.Owner.empty())
      t.OwnerLinks.push_back({static_cast<uint32_t>(t.Entries.size()), std::string(d.Owner), std::string(d.OuterOwner)});
    t.Names += name;
    t.Entries.push_back(e);
    const uint64_t starts = WordStarts(name);
    t.Letters.push_back(LetterFilter(name));
    t.Words.push_back({starts, WordLetterMask(name, starts)});
    t.FirstBytes += name.empty() ? '\0' : LowerAscii(name[0]);
  }
}

void TDeclarationTableBuilder::AddFile(const TDeclarationTable& AFrom, uint32_t AFile) {
  TDeclarationTable::TStorage& t = *FTable.FStore;
  const uint32_t from = AFrom.File(AFile).FirstEntry, to = AFrom.File(AFile + 1).FirstEntry;
  const auto first = static_cast<uint32_t>(t.Entries.size());
  StartFile(AFrom.FilePath(AFile), AFrom.File(AFile).Size, AFrom.File(AFile).ModifiedNs, AFrom.FileLinks(AFile));
  AddNameHashes(AFrom.FNameHashes.data() + AFrom.File(AFile).NamesStart,
                AFrom.FNameHashes.data() + AFrom.File(AFile + 1).NamesStart);
  for (uint32_t i = from; i < to; ++i) {
    TDeclarationEntry e = AFrom.Entry(i);
    const std::string_view name = AFrom.Name(i);
    e.NameStart = static_cast<uint32_t>(t.Names.size());
    if (e.Owner != TDeclarationTable::None && (e.Owner < from || e.Owner >= to)) {
      // A method's body whose type another file declares: linked again by
      // name, as that file may have changed.
      const uint32_t outer = AFrom.Entry(e.Owner).Owner;
      t.OwnerLinks.push_back({static_cast<uint32_t>(t.Entries.size()), std::string(AFrom.Name(e.Owner)),
                              outer == TDeclarationTable::None ? std::string() : std::string(AFrom.Name(outer))});
      e.Owner = TDeclarationTable::None;
    } else if (e.Owner != TDeclarationTable::None) {
      e.Owner = e.Owner - from + first;
    }
    t.Names += name;
    t.Entries.push_back(e);
  }
  for (const TDeclarationTable::TStorage::TOwnerLink& link : AFrom.FStore->OwnerLinks)
    if (link.Declaration >= from && link.Declaration < to)
      t.OwnerLinks.push_back({link.Declaration - from + first, link.Owner, link.Outer});
  t.Letters.insert(t.Letters.end(), AFrom.FLetters.begin() + from, AFrom.FLetters.begin() + to);
  t.Words.insert(t.Words.end(), AFrom.FWords.begin() + from, AFrom.FWords.begin() + to);
  t.FirstBytes.append(AFrom.FFirstBytes.data() + from, to - from);
}

TDeclarationTable TDeclarationTableBuilder::Finish(bool ALinkOwners) {
  TDeclarationTable::TStorage& t = *FTable.FStore;
  t.Files.push_back({static_cast<uint32_t>(t.Entries.size()), static_cast<uint32_t>(t.Paths.size()), 0, 0,
                     static_cast<uint32_t>(t.Links.size()), static_cast<uint32_t>(t.NameHashes.size())});
  if (ALinkOwners) LinkOwners();
  t.Names.append(NamePadding, '\0');
  t.Names.shrink_to_fit();
  t.Entries.shrink_to_fit();
  t.Letters.shrink_to_fit();
  t.Words.shrink_to_fit();
  t.FirstBytes.shrink_to_fit();
  t.NameHashes.shrink_to_fit();
  FTable.Bind();
  TDeclarationTable table = std::move(FTable);
  FTable = TDeclarationTable();
  return table;
}

namespace {

std::string LowerCopy(std::string_view AText) {
  std::string lower(AText);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

}  // namespace

// The declarations of a file that only a structure's body includes are its
// members (MemberIncludes): linked to it by name, as methods' bodies are.
void TDeclarationTableBuilder::OwnIncludedMembers() {
  TDeclarationTable::TStorage& t = *FTable.FStore;
  const size_t files = t.Files.size() - 1;
  std::vector<std::string_view> links(files);
  for (size_t f = 0; f < files; ++f)
    links[f] = std::string_view(t.Links).substr(t.Files[f].LinksStart, t.Files[f + 1].LinksStart - t.Files[f].LinksStart);
  const auto members = MemberIncludes(links);
  if (members.empty()) return;
  std::vector<bool> linked(t.Entries.size());
  for (const auto& link : t.OwnerLinks) linked[link.Declaration] = true;
  for (size_t f = 0; f < files; ++f) {
    const auto it = members.find(LowerBaseName(
        std::string_view(t.Paths).substr(t.Files[f].PathStart, t.Files[f + 1].PathStart - t.Files[f].PathStart)));
    if (it == members.end()) continue;
    for (uint32_t d = t.Files[f].FirstEntry; d < t.Files[f + 1].FirstEntry; ++d)
      if (t.Entries[d].Owner == TDeclarationTable::None && IsMemberKind(t.Entries[d].Kind()) && !linked[d])
        t.OwnerLinks.push_back({d, it->second, {}, true});
  }
}

void TDeclarationTableBuilder::LinkOwners() {
  TDeclarationTable::TStorage& t = *FTable.FStore;
  OwnIncludedMembers();
  if (t.OwnerLinks.empty()) return;
  auto nameOf = [&](uint32_t D) { return std::string_view(t.Names.data() + t.Entries[D].NameStart, t.Entries[D].NameLength); };
  auto fileOf = [&](uint32_t D) {
    return static_cast<uint32_t>(std::upper_bound(t.Files.begin(), t.Files.end() - 1, D,
                                                  [](uint32_t A, const TDeclarationTable::TSourceFile& F) { return A < F.FirstEntry; }) -
                                 t.Files.begin()) - 1;
  };
  auto pathOf = [&](uint32_t F) {
    return std::string_view(t.Paths.data() + t.Files[F].PathStart, t.Files[F + 1].PathStart - t.Files[F].PathStart);
  };
  // The types of the names asked for, by their names in lower case.
  std::unordered_map<std::string, std::vector<uint32_t>> types;
  for (const auto& link : t.OwnerLinks) types.emplace(LowerCopy(link.Owner), std::vector<uint32_t>());
  std::string lower;
  for (uint32_t d = 0; d < t.Entries.size(); ++d) {
    if (!IsStructureKind(t.Entries[d].Kind())) continue;
    lower = nameOf(d);
    for (char& c : lower) c = LowerAscii(c);
    if (const auto it = types.find(lower); it != types.end()) it->second.push_back(d);
  }
  // Of the types of that name, the one inside the type the heading names
  // around it, then the one whose file shares the most folders with the
  // body's (a unit's include files lie beside it), then one the target's
  // compiler reads, then the first.
  std::vector<bool> dropped;
  for (const auto& link : t.OwnerLinks) {
    const std::vector<uint32_t>& candidates = types[LowerCopy(link.Owner)];
    const std::string_view bodyPath = pathOf(fileOf(link.Declaration));
    uint32_t best = TDeclarationTable::None;
    uint64_t bestScore = 0;
    for (uint32_t c : candidates) {
      const TDeclarationEntry& e = t.Entries[c];
      const bool outer = !link.Outer.empty() && e.Owner != TDeclarationTable::None && SameFolded(nameOf(e.Owner), link.Outer);
      const std::string_view path = pathOf(fileOf(c));
      size_t shared = 0, folders = 0;
      while (shared < path.size() && shared < bodyPath.size() && path[shared] == bodyPath[shared])
        folders += path[shared++] == '/';
      const uint64_t score = uint64_t{outer} << 40 | uint64_t{std::min<size_t>(folders, 0xFFFF)} << 20 |
                             uint64_t{!e.Skipped()} << 19 | 1;
      if (score > bestScore) best = c, bestScore = score;
    }
    if (best != TDeclarationTable::None) {
      t.Entries[link.Declaration].Owner = best;
    } else if (!link.Kept) {
      if (dropped.empty()) dropped.resize(t.Entries.size());
      dropped[link.Declaration] = true;
    }
  }
  t.OwnerLinks.clear();
  t.OwnerLinks.shrink_to_fit();
  if (dropped.empty()) return;
  // The bodies whose type the library does not declare are left out; every
  // index after one moves down (a body owns nothing).
  std::vector<uint32_t> moved(t.Entries.size() + 1);
  uint32_t kept = 0;
  for (uint32_t d = 0; d < t.Entries.size(); ++d) {
    moved[d] = kept;
    if (dropped[d]) continue;
    t.Entries[kept] = t.Entries[d];
    t.Letters[kept] = t.Letters[d];
    t.Words[kept] = t.Words[d];
    t.FirstBytes[kept] = t.FirstBytes[d];
    ++kept;
  }
  moved[t.Entries.size()] = kept;
  t.Entries.resize(kept);
  t.Letters.resize(kept);
  t.Words.resize(kept);
  t.FirstBytes.resize(kept);
  for (TDeclarationEntry& e : t.Entries)
    if (e.Owner != TDeclarationTable::None) e.Owner = moved[e.Owner];
  for (TDeclarationTable::TSourceFile& f : t.Files) f.FirstEntry = moved[f.FirstEntry];
}

// ---- the cache

std::string CanonicalFolder(const std::string& AFolder) {
  if (AFolder.empty()) return {};
  char* resolved = ::realpath(AFolder.c_str(), nullptr);
  if (!resolved) return {};
  std::string path(resolved);
  std::free(resolved);
  return path;
}

namespace {

// Bumped whenever the format or what the scanner finds changes: a cache of
// another version is read as none.
constexpr char Magic[8] = {'V', 'N', 'T', 'R', 'Y', 'D', 'X', '2'};
constexpr uint32_t FormatVersion = 18;

// The file: the header, then the canonical root, the target, the names
// (with their NamePadding zero bytes), the entries, letters, word masks,
// first bytes, files, paths, links, the files' name hashes and their standing for the target,
// each starting at a multiple of 8 bytes so that a mapped file is read in
// place. The standing is kept as it reads the packages' build descriptions,
// which a query from a shell should not read again; those are among the
// table's files, so a change to one makes a new table and a new standing.
struct THeader {
  char Magic[8];
  uint32_t Version;
  uint32_t RootLength;
  uint32_t TargetLength;
  uint64_t NameBytes, Entries, Files, PathBytes, LinkBytes, NameHashes, Standings;
  uint64_t Checksum;  // of everything after the header
};
static_assert(sizeof(TFileStanding) == 3, "the standing is stored as it lies in memory");
static_assert(sizeof(THeader) % 8 == 0);

size_t Aligned(size_t ASize) { return (ASize + 7) & ~size_t{7}; }

// A fast checksum of 64-bit words, enough to tell a damaged file: four
// lanes, so that it runs at the speed memory is read. ASize is a multiple
// of 8.
uint64_t Checksum(const char* AData, size_t ASize) {
  uint64_t lanes[4] = {0xCBF29CE484222325ull, 0x84222325CBF29CE4ull, 0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full};
  constexpr uint64_t Prime = 0x100000001B3ull;
  size_t i = 0;
  for (; i + 32 <= ASize; i += 32)
    for (int l = 0; l < 4; ++l) {
      uint64_t w;
      std::memcpy(&w, AData + i + 8 * l, 8);
      lanes[l] = (lanes[l] ^ w) * Prime;
      lanes[l] ^= lanes[l] >> 29;
    }
  for (int l = 0; i + 8 <= ASize; i += 8, ++l) {
    uint64_t w;
    std::memcpy(&w, AData + i, 8);
    lanes[l] = (lanes[l] ^ w) * Prime;
  }
  uint64_t h = ASize;
  for (uint64_t lane : lanes) h = ((h ^ lane) * Prime) ^ (h >> 31);
  return h;
}

void Put(std::string& AOut, const void* AData, size_t ABytes) {
  AOut.append(static_cast<const char*>(AData), ABytes);
  AOut.append(Aligned(AOut.size()) - AOut.size(), '\0');
}

// Takes the sections of a mapped file in turn, answering false once it
// runs short.
class TReader {
public:
  TReader(const char* AData, size_t ASize) : FData(AData), FEnd(AData + ASize) {}
  template <class T>
  bool Get(const T*& AItems, uint64_t ACount) {
    if (ACount > static_cast<size_t>(FEnd - FData) / sizeof(T)) return false;
    AItems = reinterpret_cast<const T*>(FData);
    const size_t bytes = Aligned(ACount * sizeof(T));
    FData += std::min<size_t>(bytes, static_cast<size_t>(FEnd - FData));
    return true;
  }
  bool Empty() const { return FData == FEnd; }

private:
  const char* FData;
  const char* FEnd;
};

// Writes the whole of AData to AFd.
bool WriteAll(int AFd, const char* AData, size_t ASize) {
  for (size_t at = 0; at < ASize;) {
    const ssize_t n = ::write(AFd, AData + at, ASize - at);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool TDeclarationTable::Save(const std::string& AFileName) const {
  const std::string root = CanonicalFolder(FRoot);
  if (root.empty()) return false;  // a folder that cannot be reached has nothing to keep
  std::string body;
  body.reserve(MemoryUsed() + root.size() + FTarget.size() + 128);
  Put(body, root.data(), root.size());
  Put(body, FTarget.data(), FTarget.size());
  const size_t nameBytes = FNames.size() - std::min(FNames.size(), NamePadding);
  Put(body, FNames.data(), nameBytes);
  body.append(NamePadding, '\0');
  Put(body, FEntries.data(), FEntries.size() * sizeof(TDeclarationEntry));
  Put(body, FLetters.data(), FLetters.size() * sizeof(uint64_t));
  Put(body, FWords.data(), FWords.size() * sizeof(TWordMasks));
  Put(body, FFirstBytes.data(), FFirstBytes.size());
  Put(body, FFiles.data(), FFiles.size() * sizeof(TSourceFile));
  Put(body, FPaths.data(), FPaths.size());
  Put(body, FLinks.data(), FLinks.size());
  Put(body, FNameHashes.data(), FNameHashes.size() * sizeof(uint32_t));
  const std::vector<TFileStanding> standing = StandingFor(ParseTarget(FTarget).value_or(TTarget()));
  Put(body, standing.data(), standing.size() * sizeof(TFileStanding));
  THeader header{};
  std::memcpy(header.Magic, Magic, sizeof Magic);
  header.Version = FormatVersion;
  header.RootLength = static_cast<uint32_t>(root.size());
  header.TargetLength = static_cast<uint32_t>(FTarget.size());
  header.NameBytes = nameBytes;
  header.Entries = FEntries.size();
  header.Files = FFiles.size();
  header.PathBytes = FPaths.size();
  header.LinkBytes = FLinks.size();
  header.NameHashes = FNameHashes.size();
  header.Standings = standing.size();
  header.Checksum = Checksum(body.data(), body.size());

  // A temporary file of this writer's own, in the same folder: another
  // writer's never replaces it half-written, nor is removed by this one.
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(AFileName).parent_path(), error);
  std::string temporary = AFileName + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, reinterpret_cast<const char*>(&header), sizeof header) && WriteAll(fd, body.data(), body.size());
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = std::rename(temporary.c_str(), AFileName.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

bool TDeclarationTable::Load(const std::string& AFileName, const std::string& ARoot, const std::string& ATarget) {
  const int fd = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  void* address = MAP_FAILED;
  size_t size = 0;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= static_cast<off_t>(sizeof(THeader))) {
    size = static_cast<size_t>(info.st_size);
    address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  }
  ::close(fd);
  if (address == MAP_FAILED) return false;
  std::shared_ptr<const void> mapping(address, [size](const void* A) { ::munmap(const_cast<void*>(A), size); });
  const char* data = static_cast<const char*>(address);
  THeader h;
  std::memcpy(&h, data, sizeof h);
  const char* body = data + sizeof h;
  const size_t bodySize = size - sizeof h;
  if (std::memcmp(h.Magic, Magic, sizeof Magic) != 0 || h.Version != FormatVersion || h.Files == 0 ||
      bodySize % 8 != 0 || Checksum(body, bodySize) != h.Checksum)
    return false;

  const char *root, *target, *names, *firstBytes, *paths, *links;
  const TDeclarationEntry* entries;
  const uint64_t* letters;
  const TWordMasks* words;
  const TSourceFile* files;
  const uint32_t* nameHashes;
  const TFileStanding* standing;
  TReader r(body, bodySize);
  if (!r.Get(root, h.RootLength) || std::string_view(root, h.RootLength) != CanonicalFolder(ARoot) ||
      !r.Get(target, h.TargetLength) || std::string_view(target, h.TargetLength) != ATarget ||
      h.NameBytes > SIZE_MAX - NamePadding || !r.Get(names, h.NameBytes + NamePadding) || !r.Get(entries, h.Entries) ||
      !r.Get(letters, h.Entries) || !r.Get(words, h.Entries) || !r.Get(firstBytes, h.Entries) || !r.Get(files, h.Files) ||
      !r.Get(paths, h.PathBytes) || !r.Get(links, h.LinkBytes) || !r.Get(nameHashes, h.NameHashes) ||
      h.Standings != h.Files - 1 ||
      !r.Get(standing, h.Standings) || !r.Empty())
    return false;
  // Every index must stay inside the table: the checksum tells damage, this
  // tells a file made by a faulty writer.
  for (uint64_t i = 0; i < h.Entries; ++i) {
    const TDeclarationEntry& e = entries[i];
    if (uint64_t{e.NameStart} + e.NameLength > h.NameBytes || (e.Owner != None && e.Owner >= h.Entries) ||
        e.Kind() >= dkKindCount)
      return false;
  }
  for (size_t f = 0; f + 1 < h.Files; ++f)
    if (files[f].FirstEntry > files[f + 1].FirstEntry || files[f].PathStart > files[f + 1].PathStart ||
        files[f].LinksStart > files[f + 1].LinksStart || files[f].NamesStart > files[f + 1].NamesStart)
      return false;
  for (uint64_t f = 0; f < h.Standings; ++f)
    if (standing[f].Place > MostFilePlace || standing[f].Rarity > MostRarity) return false;
  const TSourceFile &first = files[0], &last = files[h.Files - 1];
  if (first.FirstEntry != 0 || first.LinksStart != 0 || first.NamesStart != 0 || last.FirstEntry != h.Entries ||
      last.PathStart != h.PathBytes || last.LinksStart != h.LinkBytes || last.NamesStart != h.NameHashes)
    return false;

  TDeclarationTable t(ARoot, ATarget);
  t.FNames = {names, h.NameBytes + NamePadding};
  t.FEntries = {entries, h.Entries};
  t.FLetters = {letters, h.Entries};
  t.FWords = {words, h.Entries};
  t.FFirstBytes = {firstBytes, h.Entries};
  t.FFiles = {files, h.Files};
  t.FPaths = {paths, h.PathBytes};
  t.FLinks = {links, h.LinkBytes};
  t.FNameHashes = {nameHashes, h.NameHashes};
  t.FMapping = std::move(mapping);
  std::call_once(t.FStanding->Once, [&] {
    t.FStanding->Standing.assign(standing, standing + h.Standings);
    t.FStanding->Built.store(true, std::memory_order_release);
  });
  *this = std::move(t);
  return true;
}

}  // namespace Vantry
