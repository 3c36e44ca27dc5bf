#pragma once
// The declarations of a library's sources, as the declaration search reads
// them: each declaration in 16 bytes (where its name lies in the name pool,
// its owner's declaration, where it stands, its kind) with the masks the
// ranking filters and matches by, grouped by file in walk order; and each file's
// path, size and modification time, which tell the next build what it may
// reuse. A table never changes once built; a refresh builds a new one. It
// is saved to the user's cache folder whole, and read back by mapping that
// file: a query from a shell then costs no copy of the table.

#include "index/DeclarationScanner.h"
#include "index/NameMatch.h"
#include "index/FileStanding.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

struct TDeclarationEntry {
  uint32_t NameStart;  // in the name pool
  uint32_t Owner;      // the owner's declaration, or TDeclarationTable::None
  uint32_t Line;
  uint16_t Column;     // 65535 for a column further right
  uint8_t NameLength;  // names are cut at 255 bytes
  // The TDeclarationKind (low five bits); 0x20 when the target's compiler
  // skips it, 0x40 for a definition (a routine's body), 0x80 when hidden in
  // an implementation.
  uint8_t KindAndFlags;
  TDeclarationKind Kind() const { return static_cast<TDeclarationKind>(KindAndFlags & 0x1F); }
  bool Skipped() const { return KindAndFlags & 0x20; }
  bool Definition() const { return KindAndFlags & 0x40; }
  bool Hidden() const { return KindAndFlags & 0x80; }
};
static_assert(sizeof(TDeclarationEntry) == 16);
static_assert(dkKindCount <= 32, "a kind must fit in five bits");

// What the ranking matches a name by, worked out once.
struct TWordMasks {
  uint64_t Starts;   // WordStarts of the name
  uint64_t Letters;  // WordLetterMask of the name
};

class TDeclarationTable {
public:
  static constexpr uint32_t None = UINT32_MAX;

  TDeclarationTable() = default;
  explicit TDeclarationTable(std::string ARoot, std::string ATarget = {})
      : FRoot(std::move(ARoot)), FTarget(std::move(ATarget)) {}

  // The source folder the paths are relative to: "/" for a table of
  // several roots, whose paths are then whole but for their first '/'.
  const std::string& Root() const { return FRoot; }
  // A table of several roots (a workspace) is made of one table each, in
  // the order their units are searched: the project's folders first, then
  // the libraries. Each root's files stand together, in that order.
  size_t RootCount() const { return FRoots.empty() ? 1 : FRoots.size(); }
  // The root as its table named it.
  const std::string& RootName(size_t ARoot) const { return FRoots.empty() ? FRoot : FRoots[ARoot].Name; }
  size_t RootIndexOf(uint32_t AFile) const;
  // The file's path below its own root.
  std::string_view PathBelowOwnRoot(uint32_t AFile) const;
  // A full path as the table keeps it (FilePath's form), reached through
  // the root as named or through its links resolved; APath as it is when
  // it lies below no root.
  std::string PathInTable(const std::string& APath) const;
  // The table with its file AFile as AScanned has it now (a table of that
  // one file, its methods' bodies not yet linked to types of other files:
  // TDeclarationTableBuilder::Finish(false)), everything else as it was:
  // the bodies whose type it declares linked to its types of those names,
  // its own bodies to the types of the table. Costs a copy of the table,
  // not a scan of any other file. Null when only a whole build can tell
  // (a class another file's bodies belong to is gone, the file's members
  // belong to a class another file declares).
  std::shared_ptr<const TDeclarationTable> WithFileReplaced(uint32_t AFile, const TDeclarationTable& AScanned) const;
  // The tables one after the other, in search order, as one table for
  // ATarget (its files' standing is each table's for it); the one table
  // itself when there is one. The tables stay shared: the result holds
  // copies of what it needs.
  static std::shared_ptr<const TDeclarationTable> Merge(const std::vector<std::shared_ptr<const TDeclarationTable>>& ATables,
                                                        const TTarget& ATarget);
  // The target whose conditional branches the scan followed ("x86_64-linux"),
  // or empty for none.
  const std::string& Target() const { return FTarget; }

  size_t Count() const { return FEntries.size(); }
  const TDeclarationEntry& Entry(uint32_t ADeclaration) const { return FEntries[ADeclaration]; }
  std::string_view Name(uint32_t ADeclaration) const {
    const TDeclarationEntry& e = FEntries[ADeclaration];
    return {FNames.data() + e.NameStart, e.NameLength};
  }
  // LetterFilter of the name: kept apart, as the ranking reads it for every
  // declaration and the rest only for those it lets through.
  uint64_t Letters(uint32_t ADeclaration) const { return FLetters[ADeclaration]; }
  const TWordMasks& Words(uint32_t ADeclaration) const { return FWords[ADeclaration]; }
  // The name's first byte in lower case: most names are told from a prefix
  // by it alone, without reading the name.
  char FirstByte(uint32_t ADeclaration) const { return FFirstBytes[ADeclaration]; }
  uint32_t FileOf(uint32_t ADeclaration) const;
  // "TStringList.Sort", or the bare name when it has no owner.
  std::string QualifiedName(uint32_t ADeclaration) const;

  struct TSourceFile {
    uint32_t FirstEntry;
    uint32_t PathStart;
    int64_t Size;
    int64_t ModifiedNs;
    uint32_t LinksStart;
    uint32_t NamesStart;  // in the name hashes
  };
  size_t FileCount() const { return FFiles.empty() ? 0 : FFiles.size() - 1; }
  const TSourceFile& File(uint32_t AFile) const { return FFiles[AFile]; }
  std::string_view FilePath(uint32_t AFile) const {  // relative to the root
    return {FPaths.data() + FFiles[AFile].PathStart, FFiles[AFile + 1].PathStart - FFiles[AFile].PathStart};
  }
  std::string FullPath(uint32_t AFile) const;
  // The units the file uses and the files it includes, as the scanner's
  // Links give them.
  std::string_view FileLinks(uint32_t AFile) const {
    return {FLinks.data() + FFiles[AFile].LinksStart, FFiles[AFile + 1].LinksStart - FFiles[AFile].LinksStart};
  }

  // Whether the file may name AName outside its comments and strings (by
  // the names' hashes: a namesake of the same hash passes too, so a reader
  // of the file checks).
  bool MayName(uint32_t AFile, uint32_t ANameHash) const {
    const auto first = FNameHashes.begin() + FFiles[AFile].NamesStart, last = FNameHashes.begin() + FFiles[AFile + 1].NamesStart;
    return std::binary_search(first, last, ANameHash);
  }

  // The declarations named AName exactly (case ignored), in walk order. The
  // index behind it is built the first time it is asked for (from any
  // thread): a resolver asks for many names.
  std::vector<uint32_t> Named(std::string_view AName) const;

  // Where each file stands for ATarget (the target's or another's, the
  // library's own or not, how widely its unit is used, hidden or not):
  // worked out once for the table's own target, the first time it is asked
  // for (from any thread); for another target, each time.
  std::vector<TFileStanding> StandingFor(const TTarget& ATarget) const;

  size_t MemoryUsed() const;

  // The cache: a file holding the table whole, for the root's canonical
  // path (so that every path reaching the same folder shares it). Save
  // writes a temporary file of its own beside it and renames it into
  // place, so that writers running at once never mix their files; Load maps
  // the file and answers false, leaving the table as it was, for a file
  // that is missing, of another version, for another folder or target,
  // damaged or cut short. A loaded table keeps ARoot as its root, the
  // folder as the user named it.
  bool Save(const std::string& AFileName) const;
  bool Load(const std::string& AFileName, const std::string& ARoot, const std::string& ATarget = {});

private:
  friend class TDeclarationTableBuilder;

  // A run of items the table reads: in its own storage, or in a mapped
  // cache file.
  template <class T>
  struct TView {
    const T* Data = nullptr;
    size_t Count = 0;
    const T& operator[](size_t AIndex) const { return Data[AIndex]; }
    const T* data() const { return Data; }
    size_t size() const { return Count; }
    bool empty() const { return Count == 0; }
    const T* begin() const { return Data; }
    const T* end() const { return Data + Count; }
    const T& front() const { return Data[0]; }
    const T& back() const { return Data[Count - 1]; }
  };
  // What a built table owns. Held through a pointer, so that the views stay
  // where they point when the table moves.
  struct TStorage {
    std::string Names;  // the declarations' names, back to back, then NamePadding zero bytes
    std::vector<TDeclarationEntry> Entries;
    std::vector<uint64_t> Letters;
    std::vector<TWordMasks> Words;
    std::string FirstBytes;
    std::vector<TSourceFile> Files;  // and one past the last
    std::string Paths;
    std::string Links;
    std::vector<uint32_t> NameHashes;
    // While a table is built: the methods' bodies whose type is declared in
    // another file, linked by name when the whole table is there. Never
    // saved.
    struct TOwnerLink {
      uint32_t Declaration;
      std::string Owner, Outer;  // the type's name, and the one around it (or empty)
      bool Kept = false;         // when the type is not found, the declaration stays without an owner
    };
    std::vector<TOwnerLink> OwnerLinks;
  };
  // Points the views at the storage.
  void Bind();

  std::string FRoot;
  std::string FTarget;
  // A merged table's roots: as named, and their first file.
  struct TRoot {
    std::string Name;
    uint32_t FirstFile;
    size_t PrefixLength;  // of the paths of its files, up to the root's own
  };
  std::vector<TRoot> FRoots;
  std::shared_ptr<TStorage> FStore = std::make_shared<TStorage>();
  std::shared_ptr<const void> FMapping;  // the mapped cache file the views point into, if any
  TView<char> FNames;  // with NamePadding zero bytes after the last name
  TView<TDeclarationEntry> FEntries;
  TView<uint64_t> FLetters;
  TView<TWordMasks> FWords;
  TView<char> FFirstBytes;
  TView<TSourceFile> FFiles;
  TView<char> FPaths;
  TView<char> FLinks;
  TView<uint32_t> FNameHashes;  // each file's, as its scan gave them
  // The standing of the files for FTarget, once worked out; shared, as a
  // once_flag cannot move with the table.
  struct TStandingCache {
    std::once_flag Once;
    std::vector<TFileStanding> Standing;
    std::atomic<bool> Built{false};  // Standing is whole: another thread may read it without the once_flag
  };
  std::shared_ptr<TStandingCache> FStanding = std::make_shared<TStandingCache>();
  // The declarations in order of their names' hashes, with the hashes.
  struct TNameIndex {
    std::once_flag Once;
    std::vector<uint32_t> Hashes, Declarations;
    std::atomic<bool> Built{false};  // the two are whole: another thread may read them without the once_flag
  };
  std::shared_ptr<TNameIndex> FNameIndex = std::make_shared<TNameIndex>();

  std::vector<TFileStanding> WorkOutStanding(const TTarget& ATarget) const;
};

// The folder's absolute path with every link and '..' resolved, which names
// its cache; empty when the folder cannot be reached.
std::string CanonicalFolder(const std::string& AFolder);
// A root's path as a table of several roots begins its files' paths: whole
// but for the first '/', ending in '/'.
std::string MergedPathPrefix(const std::string& ARoot);

// Builds a table file by file, in walk order.
class TDeclarationTableBuilder {
public:
  // AExpected: about how many declarations will come, to size the table.
  TDeclarationTableBuilder(std::string ARoot, size_t AExpected = 0, std::string ATarget = {});

  // A file and the declarations scanned from it.
  void AddFile(std::string_view APath, int64_t ASize, int64_t AModifiedNs,
               const std::vector<TFoundDeclaration>& ADeclarations, std::string_view ALinks = {},
               const std::vector<uint32_t>& ANameHashes = {});
  // A file of an earlier table that has not changed since.
  void AddFile(const TDeclarationTable& AFrom, uint32_t AFile);
  // The table. ALinkOwners: the bodies of methods whose type another file
  // declares are linked to the type of that name the table holds (the one
  // whose file is nearest theirs), and those whose type it does not hold
  // are left out: a body is no declaration of its own. Without it (a table
  // of some of the files, to be added to a whole one), they wait.
  TDeclarationTable Finish(bool ALinkOwners = true);

private:
  void StartFile(std::string_view APath, int64_t ASize, int64_t AModifiedNs, std::string_view ALinks);
  void AddNameHashes(const uint32_t* AFirst, const uint32_t* ALast);
  void LinkOwners();
  void OwnIncludedMembers();

  TDeclarationTable FTable;
};

}  // namespace Vantry
