#include "source_menu/ZebFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace Vantry {

namespace {

// The path the kernel knows an open file or directory by, links resolved.
std::string RealPathOf(int AFd, const std::string& AFallback) {
  char path[PATH_MAX];
  std::string link = "/proc/self/fd/" + std::to_string(AFd);
  ssize_t n = readlink(link.c_str(), path, sizeof path);
  if (n > 0 && static_cast<size_t>(n) < sizeof path && path[0] == '/') return std::string(path, static_cast<size_t>(n));
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(AFallback.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

}  // namespace

TDirectoryListing::TDirectoryListing(const std::string& ADirectory, const TDirectoryListing* AParent) {
  // An empty path would otherwise become "/", the whole file system.
  if (ADirectory.empty()) return;
  FPrefix = ADirectory.back() == '/' ? ADirectory : ADirectory + '/';
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  const std::string name = ExtractFileName(ADirectory);
  FFd = AParent && AParent->Opened() && !name.empty() ? openat(AParent->FFd, name.c_str(), flags)
                                                      : open(ADirectory.c_str(), flags);
  struct stat st;
  if (FFd < 0 || fstat(FFd, &st) != 0) {
    FError = errno;
    if (FFd >= 0) close(FFd);
    FFd = -1;
    return;
  }
  FId = {st.st_dev, st.st_ino};

  // The directory is read in one pass; the type each entry reports settles
  // all but links and file systems that report none.
  alignas(dirent64) char buffer[32768];
  for (;;) {
    ssize_t n = getdents64(FFd, buffer, sizeof buffer);
    if (n <= 0) break;  // the end, or a read error: what was read stands
    for (ssize_t at = 0; at < n;) {
      auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      const char* entryName = entry->d_name;
      if (std::strcmp(entryName, ".") == 0 || std::strcmp(entryName, "..") == 0) continue;
      TEntry e{entryName, ekOther, false};
      unsigned char type = entry->d_type;
      if (type == DT_UNKNOWN) {
        if (fstatat(FFd, entryName, &st, AT_SYMLINK_NOFOLLOW) == 0)
          type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_FIFO;
      }
      if (type == DT_LNK) {
        // Links are followed; one that leads nowhere is neither file nor
        // directory.
        e.Link = true;
        FHasLinks = true;
        type = fstatat(FFd, entryName, &st, 0) != 0 ? DT_FIFO
               : S_ISDIR(st.st_mode)                ? DT_DIR
               : S_ISREG(st.st_mode)                ? DT_REG
                                                    : DT_FIFO;
      }
      e.Kind = type == DT_DIR ? ekDirectory : type == DT_REG ? ekFile : ekOther;
      FEntries.push_back(std::move(e));
    }
  }
}

TDirectoryListing::~TDirectoryListing() {
  if (FFd >= 0) close(FFd);
}

std::string TDirectoryListing::RealPath() const { return FFd < 0 ? std::string() : RealPathOf(FFd, FPrefix); }

// The attributes of an entry, as the platform's directory enumeration gives
// them: hidden for a name that begins with a dot, system for what is neither
// a regular file nor a directory (links followed).
template <class Keep>
void TDirectoryListing::List(const std::string& AMask, int AAttr, TStrings* AList, Keep AKeep) const {
  if (!AList) return;
  AList->Clear();
  const int excluded = ~AAttr & (faHidden | faSysFile | faVolumeID | faDirectory);
  for (const TEntry& e : FEntries) {
    int attr = e.Kind == ekDirectory ? faDirectory : e.Kind == ekOther ? faSysFile : 0;
    if (e.Name[0] == '.') attr |= faHidden;
    if ((attr & excluded) == 0 && AKeep(e) && MatchesMask(AMask, e.Name)) AList->Add(FPrefix + e.Name);
  }
}

void TDirectoryListing::ListDirectories(const std::string& AMask, int AAttr, TStrings* AList) const {
  List(AMask, AAttr, AList, [](const TEntry& E) { return E.Kind == ekDirectory; });
}

void TDirectoryListing::ListFiles(const std::string& AMask, int AAttr, TStrings* AList) const {
  List(AMask, AAttr, AList, [](const TEntry& E) { return E.Kind != ekDirectory; });
}

bool TDirectoryListing::Stat(const std::string& AName, struct stat& AInfo) const {
  return FFd >= 0 && fstatat(FFd, AName.c_str(), &AInfo, 0) == 0;
}

std::pair<bool, std::string> TDirectoryListing::LinkedDirectory(const std::string& AName) const {
  if (!FHasLinks) return {false, {}};
  for (const TEntry& e : FEntries) {
    if (e.Name != AName) continue;
    if (!e.Link || e.Kind != ekDirectory) return {false, {}};
    int fd = openat(FFd, AName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {true, {}};
    std::string real = RealPathOf(fd, FPrefix + AName);
    close(fd);
    return {true, real};
  }
  return {false, {}};
}

namespace {
bool Within(const std::string& AInner, const std::string& AOuter) {
  if (AInner.empty() || AOuter.empty()) return false;  // not known: the seen set still guards
  if (AOuter == "/") return true;
  return AInner.size() >= AOuter.size() && AInner.compare(0, AOuter.size(), AOuter) == 0 &&
         (AInner.size() == AOuter.size() || AInner[AOuter.size()] == '/');
}
}  // namespace

void TTreeRules::Start(const TDirectoryListing& ARoot) {
  FSeen.clear();
  FRootPath = ARoot.RealPath();
}

bool TTreeRules::LeadsIntoTree(const TDirectoryListing& ADirectory, const std::string& AName) const {
  auto [link, target] = ADirectory.LinkedDirectory(AName);
  if (!link) return false;
  if (Within(FRootPath, target)) return true;  // it holds the whole tree: a loop
  if (!Within(target, FRootPath)) return false;
  // Inside the tree, its target shows at its own place, unless that place is
  // hidden (a folder on the way down begins with '.'): then the link is the
  // only way to its files. A link that leads back to a folder already met
  // is a loop, which FirstVisit stops.
  const std::string_view below = std::string_view(target).substr(FRootPath == "/" ? 1 : FRootPath.size());
  for (size_t at = 0; at < below.size(); at = below.find('/', at) + 1) {
    if (below[at] == '/') continue;
    if (below[at] == '.') return false;
    if (below.find('/', at) == std::string_view::npos) break;
  }
  return true;
}

void ListDirectories(const std::string& ADirectory, const std::string& AMask, int AAttr, TStrings* AList) {
  if (AList) TDirectoryListing(ADirectory).ListDirectories(AMask, AAttr, AList);
}

void ListFiles(const std::string& ADirectory, const std::string& AMask, int AAttr, TStrings* AList) {
  if (AList) TDirectoryListing(ADirectory).ListFiles(AMask, AAttr, AList);
}

}  // namespace Vantry
