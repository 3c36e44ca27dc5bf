#pragma once
// Reads one directory into a string list: its subdirectories, or its other
// entries matching a mask. The only place the add-in reads the file system:
// the menu builder learns from here, too, where linked folders lead.

#include "platform/Classes.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Vantry {

// Replaces AList's contents with the full path of every subdirectory of
// ADirectory that AAttr lets through, "." and ".." excepted, in the order the
// file system gives them. A directory that is missing, unreadable or empty,
// an empty path, and a null list all give nothing; nothing is reported.
void ListDirectories(const std::string& ADirectory, const std::string& AMask, int AAttr, TStrings* AList);
// The same for the entries that are not directories and match AMask.
void ListFiles(const std::string& ADirectory, const std::string& AMask, int AAttr, TStrings* AList);

// A real directory: its device and inode.
using TDirectoryId = std::pair<dev_t, ino_t>;

// One directory read once, from which both listings come, as the two
// routines above would give them. Entry types come from the directory read
// itself; only links and entries of unknown type are looked at one by one.
// A folder opened from the listing of the folder that holds it is opened
// relative to that one, so that no limit on the length of a path applies.
// The directory stays open while the object lives.
class TDirectoryListing {
public:
  // Reads ADirectory (a full path), opened by its name within AParent's
  // directory when AParent is given.
  explicit TDirectoryListing(const std::string& ADirectory, const TDirectoryListing* AParent = nullptr);
  ~TDirectoryListing();
  TDirectoryListing(const TDirectoryListing&) = delete;
  TDirectoryListing& operator=(const TDirectoryListing&) = delete;

  enum TKind : unsigned char { ekDirectory, ekFile, ekOther };
  // One entry: a file or directory when it is one or links to one; a link
  // that leads nowhere, a device or a pipe is "other".
  struct TEntry {
    std::string Name;
    TKind Kind;
    bool Link;
  };

  // Whether the directory could be opened and read; if not, why (errno).
  bool Opened() const { return FFd >= 0; }
  int Error() const { return FError; }
  // The entries, "." and ".." excepted, in the order the file system gives them.
  const std::vector<TEntry>& Entries() const { return FEntries; }
  TDirectoryId Id() const { return FId; }
  // The directory's path as given, with one separator at its end.
  const std::string& Path() const { return FPrefix; }
  // The directory's path with every link resolved; empty if unknown.
  std::string RealPath() const;

  void ListDirectories(const std::string& AMask, int AAttr, TStrings* AList) const;
  void ListFiles(const std::string& AMask, int AAttr, TStrings* AList) const;

  // The entry's status, links followed (fstatat); false when there is none.
  bool Stat(const std::string& AName, struct stat& AInfo) const;

  // Whether the entry of that name is a link to a directory and, if it is,
  // the real path of that directory (empty if it cannot be told).
  std::pair<bool, std::string> LinkedDirectory(const std::string& AName) const;

private:
  template <class Keep>
  void List(const std::string& AMask, int AAttr, TStrings* AList, Keep AKeep) const;

  std::string FPrefix;  // the path with one separator at its end
  int FFd = -1;
  int FError = 0;
  TDirectoryId FId{};
  std::vector<TEntry> FEntries;
  bool FHasLinks = false;
};

// The rules every walk of a library tree follows, written once for the
// source menu and the library index: a real directory is walked once,
// whatever leads to it again (a link, a bind mount), so that a walk is
// bounded by what is on disk; and a link to a directory inside the tree, or
// to one that holds the tree, is left out, since its target shows at its
// own place (or would bring the whole tree again).
class TTreeRules {
public:
  // Starts a walk at the listing of its root.
  void Start(const TDirectoryListing& ARoot);
  // True the first time the directory is met on this walk.
  bool FirstVisit(const TDirectoryListing& ADirectory) { return FSeen.insert(ADirectory.Id()).second; }
  // Whether ADirectory's entry named AName is a link to leave out: one that
  // leads to a directory holding the tree, or into the tree to a folder
  // that shows at its own place. A link into a hidden part of the tree (a
  // folder whose name begins with '.') is followed: its files show only
  // through it.
  bool LeadsIntoTree(const TDirectoryListing& ADirectory, const std::string& AName) const;

private:
  std::set<TDirectoryId> FSeen;
  std::string FRootPath;  // the root with its links resolved
};

}  // namespace Vantry
