#include "finder/DeclarationTable.h"

#include "finder/LibraryIndex.h"
#include "finder/NameMatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

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
  std::vector<TStandingSource> sources;
  for (uint32_t f = 0; f < FileCount(); ++f) {
    // A program's declarations (an example's, a test's) are its own, not
    // the library's.
    const uint32_t first = File(f).FirstEntry;
    const bool program = first < File(f + 1).FirstEntry && Entry(first).Kind() == dkProgram;
    sources.push_back({FilePath(f), program, FileLinks(f)});
  }
  return StandingOfFiles(FRoot, sources, ATarget);
}

std::vector<TFileStanding> TDeclarationTable::StandingFor(const TTarget& ATarget) const {
  const std::string name = ATarget.Os.empty() ? std::string() : ATarget.Name();
  if (name != FTarget) return WorkOutStanding(ATarget);
  std::call_once(FStanding->Once, [&] { FStanding->Standing = WorkOutStanding(ATarget); });
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
  return FNames.capacity() + FPaths.capacity() + FEntries.capacity() * sizeof(TDeclarationEntry) +
         FLetters.capacity() * sizeof(uint64_t) + FWords.capacity() * sizeof(TWordMasks) + FFirstBytes.capacity() +
         FFiles.capacity() * sizeof(TSourceFile) + FLinks.capacity() + FNameHashes.capacity() * sizeof(uint32_t) +
         FStanding->Standing.capacity() * sizeof(TFileStanding) +
         (FNameIndex->Hashes.capacity() + FNameIndex->Declarations.capacity()) * sizeof(uint32_t);
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
  FTable.FEntries.reserve(AExpected);
  FTable.FLetters.reserve(AExpected);
  FTable.FWords.reserve(AExpected);
  FTable.FFirstBytes.reserve(AExpected);
  FTable.FNames.reserve(AExpected * 12);
}

void TDeclarationTableBuilder::StartFile(std::string_view APath, int64_t ASize, int64_t AModifiedNs,
                                         std::string_view ALinks) {
  FTable.FFiles.push_back({static_cast<uint32_t>(FTable.FEntries.size()), static_cast<uint32_t>(FTable.FPaths.size()),
                           ASize, AModifiedNs, static_cast<uint32_t>(FTable.FLinks.size()),
                           static_cast<uint32_t>(FTable.FNameHashes.size())});
  FTable.FPaths += APath;
  FTable.FLinks += ALinks;
}

void TDeclarationTableBuilder::AddNameHashes(const uint32_t* AFirst, const uint32_t* ALast) {
  Grow(FTable.FNameHashes, FTable.FNameHashes.size() + static_cast<size_t>(ALast - AFirst));
  FTable.FNameHashes.insert(FTable.FNameHashes.end(), AFirst, ALast);
}

void TDeclarationTableBuilder::AddFile(std::string_view APath, int64_t ASize, int64_t AModifiedNs,
                                       const std::vector<TFoundDeclaration>& ADeclarations, std::string_view ALinks,
                                       const std::vector<uint32_t>& ANameHashes) {
  const auto first = static_cast<uint32_t>(FTable.FEntries.size());
  StartFile(APath, ASize, AModifiedNs, ALinks);
  AddNameHashes(ANameHashes.data(), ANameHashes.data() + ANameHashes.size());
  TDeclarationTable& t = FTable;
  // Room for the file at once (a scanning thread builds a table a file):
  // growing as it goes was a copy and an allocation many times a file.
  size_t nameBytes = 0;
  for (const TFoundDeclaration& d : ADeclarations) nameBytes += std::min<size_t>(d.Name.size(), 255);
  const size_t entries = first + ADeclarations.size();
  Grow(t.FNames, t.FNames.size() + nameBytes + NamePadding);
  Grow(t.FEntries, entries);
  Grow(t.FLetters, entries);
  Grow(t.FWords, entries);
  Grow(t.FFirstBytes, entries);
  for (const TFoundDeclaration& d : ADeclarations) {
    const std::string_view name = d.Name.substr(0, 255);
    TDeclarationEntry e;
    e.NameStart = static_cast<uint32_t>(t.FNames.size());
    e.NameLength = static_cast<uint8_t>(name.size());
    e.Owner = d.OwnerIndex >= 0 ? first + static_cast<uint32_t>(d.OwnerIndex) : TDeclarationTable::None;
    e.Line = d.Line;
    e.Column = static_cast<uint16_t>(std::min<uint32_t>(d.Column, UINT16_MAX));
    e.KindAndFlags = static_cast<uint8_t>(d.Kind | (d.Skipped ? 0x20 : 0) | (d.Definition ? 0x40 : 0) | (d.Hidden ? 0x80 : 0));
    t.FNames += name;
    t.FEntries.push_back(e);
    const uint64_t starts = WordStarts(name);
    t.FLetters.push_back(LetterFilter(name));
    t.FWords.push_back({starts, WordLetterMask(name, starts)});
    t.FFirstBytes += name.empty() ? '\0' : LowerAscii(name[0]);
  }
}

void TDeclarationTableBuilder::AddFile(const TDeclarationTable& AFrom, uint32_t AFile) {
  TDeclarationTable& t = FTable;
  const uint32_t from = AFrom.File(AFile).FirstEntry, to = AFrom.File(AFile + 1).FirstEntry;
  const auto first = static_cast<uint32_t>(t.FEntries.size());
  StartFile(AFrom.FilePath(AFile), AFrom.File(AFile).Size, AFrom.File(AFile).ModifiedNs, AFrom.FileLinks(AFile));
  AddNameHashes(AFrom.FNameHashes.data() + AFrom.File(AFile).NamesStart,
                AFrom.FNameHashes.data() + AFrom.File(AFile + 1).NamesStart);
  for (uint32_t i = from; i < to; ++i) {
    TDeclarationEntry e = AFrom.Entry(i);
    const std::string_view name = AFrom.Name(i);
    e.NameStart = static_cast<uint32_t>(t.FNames.size());
    if (e.Owner != TDeclarationTable::None) e.Owner = e.Owner - from + first;
    t.FNames += name;
    t.FEntries.push_back(e);
  }
  t.FLetters.insert(t.FLetters.end(), AFrom.FLetters.begin() + from, AFrom.FLetters.begin() + to);
  t.FWords.insert(t.FWords.end(), AFrom.FWords.begin() + from, AFrom.FWords.begin() + to);
  t.FFirstBytes.append(AFrom.FFirstBytes, from, to - from);
}

TDeclarationTable TDeclarationTableBuilder::Finish() {
  TDeclarationTable& t = FTable;
  t.FFiles.push_back({static_cast<uint32_t>(t.FEntries.size()), static_cast<uint32_t>(t.FPaths.size()), 0, 0,
                      static_cast<uint32_t>(t.FLinks.size()), static_cast<uint32_t>(t.FNameHashes.size())});
  t.FNames.append(NamePadding, '\0');
  t.FNames.shrink_to_fit();
  t.FEntries.shrink_to_fit();
  t.FLetters.shrink_to_fit();
  t.FWords.shrink_to_fit();
  t.FFirstBytes.shrink_to_fit();
  t.FNameHashes.shrink_to_fit();
  return std::move(t);
}

// ---- the cache

namespace {

// Bumped whenever the format or what the scanner finds changes: a cache of
// another version is read as none.
constexpr char Magic[8] = {'V', 'N', 'T', 'R', 'Y', 'D', 'X', '2'};
constexpr uint32_t FormatVersion = 13;

struct THeader {
  char Magic[8];
  uint32_t Version;
  uint32_t RootLength;
  uint32_t TargetLength;
  uint64_t NameBytes, Entries, Files, PathBytes, LinkBytes, NameHashes;
  uint64_t Checksum;  // of everything after the header
};

// A fast checksum of 64-bit words: enough to tell a damaged file.
uint64_t Checksum(const char* AData, size_t ASize) {
  uint64_t h = 0xCBF29CE484222325ull;
  size_t i = 0;
  for (; i + 8 <= ASize; i += 8) {
    uint64_t w;
    std::memcpy(&w, AData + i, 8);
    h = (h ^ w) * 0x100000001B3ull;
    h ^= h >> 29;
  }
  for (; i < ASize; ++i) h = (h ^ static_cast<unsigned char>(AData[i])) * 0x100000001B3ull;
  return h;
}

template <class T>
void Put(std::string& AOut, const std::vector<T>& AItems) {
  AOut.append(reinterpret_cast<const char*>(AItems.data()), AItems.size() * sizeof(T));
}

// Reads arrays back from a buffer, answering false once it runs short.
class TReader {
public:
  TReader(const char* AData, size_t ASize) : FData(AData), FLeft(ASize) {}
  template <class T>
  bool Get(std::vector<T>& AItems, uint64_t ACount) {
    if (ACount > FLeft / sizeof(T)) return false;
    AItems.resize(ACount);
    std::memcpy(AItems.data(), FData, ACount * sizeof(T));
    FData += ACount * sizeof(T);
    FLeft -= ACount * sizeof(T);
    return true;
  }
  bool Get(std::string& AText, uint64_t ALength) {
    if (ALength > FLeft) return false;
    AText.assign(FData, ALength);
    FData += ALength;
    FLeft -= ALength;
    return true;
  }
  bool Empty() const { return FLeft == 0; }

private:
  const char* FData;
  size_t FLeft;
};

}  // namespace

bool TDeclarationTable::Save(const std::string& AFileName) const {
  std::string body;
  body.reserve(MemoryUsed() + FRoot.size() + FTarget.size());
  body += FRoot;
  body += FTarget;
  const size_t nameBytes = FNames.size() - std::min(FNames.size(), NamePadding);
  body.append(FNames, 0, nameBytes);
  Put(body, FEntries);
  Put(body, FLetters);
  Put(body, FWords);
  body += FFirstBytes;
  Put(body, FFiles);
  body += FPaths;
  body += FLinks;
  Put(body, FNameHashes);
  THeader header{};
  std::memcpy(header.Magic, Magic, sizeof Magic);
  header.Version = FormatVersion;
  header.RootLength = static_cast<uint32_t>(FRoot.size());
  header.TargetLength = static_cast<uint32_t>(FTarget.size());
  header.NameBytes = nameBytes;
  header.Entries = FEntries.size();
  header.Files = FFiles.size();
  header.PathBytes = FPaths.size();
  header.LinkBytes = FLinks.size();
  header.NameHashes = FNameHashes.size();
  header.Checksum = Checksum(body.data(), body.size());

  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(AFileName).parent_path(), error);
  const std::string temporary = AFileName + ".new";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::write(fd, &header, sizeof header) == static_cast<ssize_t>(sizeof header);
  for (size_t at = 0; ok && at < body.size();) {
    ssize_t n = ::write(fd, body.data() + at, body.size() - at);
    ok = n > 0;
    at += ok ? static_cast<size_t>(n) : 0;
  }
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = std::rename(temporary.c_str(), AFileName.c_str()) == 0;
  if (!ok) std::remove(temporary.c_str());
  return ok;
}

bool TDeclarationTable::Load(const std::string& AFileName, const std::string& ARoot, const std::string& ATarget) {
  int fd = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  std::string data;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= static_cast<off_t>(sizeof(THeader))) {
    data.resize(static_cast<size_t>(info.st_size));
    for (size_t at = 0; at < data.size();) {
      ssize_t n = ::read(fd, data.data() + at, data.size() - at);
      if (n <= 0) {
        data.clear();
        break;
      }
      at += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  if (data.size() < sizeof(THeader)) return false;
  THeader h;
  std::memcpy(&h, data.data(), sizeof h);
  const char* body = data.data() + sizeof h;
  const size_t size = data.size() - sizeof h;
  if (std::memcmp(h.Magic, Magic, sizeof Magic) != 0 || h.Version != FormatVersion || h.Files == 0 ||
      Checksum(body, size) != h.Checksum)
    return false;

  TDeclarationTable t;
  TReader r(body, size);
  if (!r.Get(t.FRoot, h.RootLength) || t.FRoot != ARoot || !r.Get(t.FTarget, h.TargetLength) || t.FTarget != ATarget ||
      !r.Get(t.FNames, h.NameBytes) ||
      !r.Get(t.FEntries, h.Entries) || !r.Get(t.FLetters, h.Entries) || !r.Get(t.FWords, h.Entries) || !r.Get(t.FFirstBytes, h.Entries) ||
      !r.Get(t.FFiles, h.Files) || !r.Get(t.FPaths, h.PathBytes) || !r.Get(t.FLinks, h.LinkBytes) ||
      !r.Get(t.FNameHashes, h.NameHashes) || !r.Empty())
    return false;
  // Every index must stay inside the table: the checksum tells damage, this
  // tells a file made by a faulty writer.
  for (const TDeclarationEntry& e : t.FEntries)
    if (uint64_t{e.NameStart} + e.NameLength > h.NameBytes || (e.Owner != None && e.Owner >= h.Entries) ||
        e.Kind() >= dkKindCount)
      return false;
  for (size_t f = 0; f + 1 < t.FFiles.size(); ++f)
    if (t.FFiles[f].FirstEntry > t.FFiles[f + 1].FirstEntry || t.FFiles[f].PathStart > t.FFiles[f + 1].PathStart ||
        t.FFiles[f].LinksStart > t.FFiles[f + 1].LinksStart || t.FFiles[f].NamesStart > t.FFiles[f + 1].NamesStart)
      return false;
  if (t.FFiles.front().FirstEntry != 0 || t.FFiles.front().LinksStart != 0 || t.FFiles.back().FirstEntry != h.Entries ||
      t.FFiles.back().PathStart != h.PathBytes || t.FFiles.back().LinksStart != h.LinkBytes ||
      t.FFiles.front().NamesStart != 0 || t.FFiles.back().NamesStart != h.NameHashes)
    return false;
  t.FNames.append(NamePadding, '\0');
  *this = std::move(t);
  return true;
}

}  // namespace Vantry
