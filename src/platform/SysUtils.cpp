#include "platform/SysUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace Vantry {

Exception::Exception(const std::string& AFormat, TVarRecs AArgs) : FMessage(Format(AFormat, AArgs)) {}

namespace {

// One conversion of a format string: %[-][width][.precision]type.
struct TConversion {
  bool LeftJustify = false;
  int Width = -1;
  int Precision = -1;
  char Type = 0;
};

[[noreturn]] void BadFormat(const std::string& AFormat) {
  throw EConvertError("Format '%s' invalid or incompatible with argument", {AFormat});
}

int ReadNumber(const std::string& S, size_t& I) {
  int n = 0;
  while (I < S.size() && S[I] >= '0' && S[I] <= '9' && n < 100000) n = n * 10 + (S[I++] - '0');
  return n;
}

TConversion ParseConversion(const std::string& AFormat, size_t& I) {
  TConversion conv;
  if (I < AFormat.size() && AFormat[I] == '-') {
    conv.LeftJustify = true;
    ++I;
  }
  if (I < AFormat.size() && AFormat[I] >= '0' && AFormat[I] <= '9') conv.Width = ReadNumber(AFormat, I);
  if (I < AFormat.size() && AFormat[I] == '.') {
    ++I;
    conv.Precision = ReadNumber(AFormat, I);
  }
  if (I >= AFormat.size()) BadFormat(AFormat);
  conv.Type = static_cast<char>(AFormat[I++] | 0x20);  // conversions ignore case
  return conv;
}

std::string Convert(const TConversion& AConversion, const TVarRec& AArg, const std::string& AFormat) {
  std::string text;
  if (AConversion.Type == 's') {
    if (!AArg.IsString()) BadFormat(AFormat);
    text = AArg.AsString();
    if (AConversion.Precision >= 0 && static_cast<size_t>(AConversion.Precision) < text.size()) text.resize(AConversion.Precision);
  } else if (AConversion.Type == 'd' || AConversion.Type == 'u' || AConversion.Type == 'x') {
    if (AArg.IsString()) BadFormat(AFormat);
    int64_t v = AArg.AsInteger();
    char buf[32];
    if (AConversion.Type == 'x')
      std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
    else if (AConversion.Type == 'u')
      std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(static_cast<uint32_t>(v)));
    else
      std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    text = buf;
    // For integers the precision is a minimum number of digits.
    bool negative = !text.empty() && text[0] == '-';
    size_t digits = text.size() - (negative ? 1 : 0);
    if (AConversion.Precision > 0 && digits < static_cast<size_t>(AConversion.Precision))
      text.insert(negative ? 1 : 0, AConversion.Precision - digits, '0');
  } else {
    BadFormat(AFormat);
  }
  if (AConversion.Width > 0 && text.size() < static_cast<size_t>(AConversion.Width)) {
    size_t pad = AConversion.Width - text.size();
    if (AConversion.LeftJustify)
      text.append(pad, ' ');
    else
      text.insert(0, pad, ' ');
  }
  return text;
}

}  // namespace

std::string Format(const std::string& AFormat, TVarRecs AArgs) {
  std::string out;
  out.reserve(AFormat.size() + 16);
  auto arg = AArgs.begin();
  for (size_t i = 0; i < AFormat.size();) {
    char c = AFormat[i++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i < AFormat.size() && AFormat[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    TConversion conv = ParseConversion(AFormat, i);
    if (arg == AArgs.end()) BadFormat(AFormat);
    out += Convert(conv, *arg++, AFormat);
  }
  return out;
}

std::string IntToStr(int64_t AValue) { return std::to_string(AValue); }

std::string Trim(const std::string& S) {
  size_t first = 0, last = S.size();
  while (first < last && static_cast<unsigned char>(S[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(S[last - 1]) <= ' ') --last;
  return S.substr(first, last - first);
}

std::string ExtractFileName(const std::string& APath) {
  size_t slash = APath.rfind('/');
  return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

bool DirectoryExists(const std::string& APath) {
  struct stat st;
  return !APath.empty() && stat(APath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
char UpCase(char C) { return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C; }
}  // namespace

std::string UpperCase(std::string S) {
  for (char& c : S) c = UpCase(c);
  return S;
}

std::string LowerCase(std::string S) {
  for (char& c : S)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return S;
}

int CompareText(std::string_view A, std::string_view B) {
  size_t n = std::min(A.size(), B.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = UpCase(A[i]), b = UpCase(B[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

bool SameText(std::string_view A, std::string_view B) { return A.size() == B.size() && CompareText(A, B) == 0; }

bool IsValidIdent(std::string_view S) {
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (S.empty() || !alpha(S[0])) return false;
  for (char c : S.substr(1))
    if (!alpha(c) && !(c >= '0' && c <= '9')) return false;
  return true;
}

namespace {
// Who the user is, read once per enumeration, to tell from an entry's mode
// bits whether the user may write it.
struct TUserIdentity {
  uid_t Uid = geteuid();
  std::vector<gid_t> Groups = ReadGroups();

  static std::vector<gid_t> ReadGroups() {
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
    int n = getgroups(static_cast<int>(groups.size()) - 1, groups.data());
    groups.resize(static_cast<size_t>(std::max(n, 0)));
    groups.push_back(getegid());
    return groups;
  }

  bool MayWrite(const struct stat& AStat) const {
    if (Uid == 0) return true;
    if (AStat.st_uid == Uid) return AStat.st_mode & S_IWUSR;
    if (std::find(Groups.begin(), Groups.end(), AStat.st_gid) != Groups.end()) return AStat.st_mode & S_IWGRP;
    return AStat.st_mode & S_IWOTH;
  }
};
}  // namespace

// What FindFirst leaves open between calls: the directory being read, the
// mask its entries must match, and the user's identity.
struct TFindState {
  DIR* Dir = nullptr;
  std::string Folder;  // ends with '/'
  std::string Mask;
  TUserIdentity User;
  ~TFindState() {
    if (Dir) closedir(Dir);
  }
};

namespace {

// Maps POSIX file types onto the attributes callers filter by. Links are
// followed; a link that leads nowhere is neither file nor directory, so it
// counts as a system entry. Read-only means the user may not write it, as the
// mode bits tell for the user's identity (no access() call per entry).
int AttributesOf(const TFindState& AState, const char* AName, TSearchRec& F) {
  struct stat st;
  int attr = 0;
  int dir = dirfd(AState.Dir);
  F.Size = 0;
  F.Time = 0;
  if (fstatat(dir, AName, &st, 0) != 0) {
    if (fstatat(dir, AName, &st, AT_SYMLINK_NOFOLLOW) != 0) return faSysFile;
    attr |= faSysFile;
  } else if (S_ISDIR(st.st_mode)) {
    attr |= faDirectory;
  } else if (!S_ISREG(st.st_mode)) {
    attr |= faSysFile;
  }
  std::string_view name(AName);
  if (name[0] == '.' && name != "." && name != "..") attr |= faHidden;
  if (!AState.User.MayWrite(st)) attr |= faReadOnly;
  F.Size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
  F.Time = static_cast<int64_t>(st.st_mtime);
  return attr;
}

}  // namespace

// Names are bytes: no locale and no multibyte decoding take part.
bool MatchesMask(std::string_view AMask, std::string_view AName) {
  size_t m = 0, n = 0, starM = std::string_view::npos, starN = 0;
  while (n < AName.size()) {
    if (m < AMask.size() && AMask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (m < AMask.size() && (AMask[m] == '?' || UpCase(AMask[m]) == UpCase(AName[n]))) {
      ++m;
      ++n;
    } else if (starM != std::string_view::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < AMask.size() && AMask[m] == '*') ++m;
  return m == AMask.size();
}

namespace {

// Reads entries until one matches mask and filter; 0 when one was found.
int FindMatching(TSearchRec& F) {
  TFindState& state = *F.FindHandle;
  for (;;) {
    errno = 0;
    dirent* entry = readdir(state.Dir);
    if (!entry) return errno ? errno : ENOENT;
    const char* name = entry->d_name;
    if (!MatchesMask(state.Mask, name)) continue;
    int attr = AttributesOf(state, name, F);
    if (attr & F.ExcludeAttr) continue;
    F.Name = name;
    F.Attr = attr;
    return 0;
  }
}

}  // namespace

int FindFirst(const std::string& APath, int AAttr, TSearchRec& F) {
  FindClose(F);
  size_t slash = APath.rfind('/');
  auto state = std::make_shared<TFindState>();
  state->Folder = slash == std::string::npos ? std::string("./") : APath.substr(0, slash + 1);
  state->Mask = slash == std::string::npos ? APath : APath.substr(slash + 1);
  state->Dir = opendir(state->Folder.c_str());
  if (!state->Dir) return errno ? errno : ENOENT;
  F.ExcludeAttr = ~AAttr & (faHidden | faSysFile | faVolumeID | faDirectory);
  F.FindHandle = std::move(state);
  int result = FindMatching(F);
  if (result != 0) FindClose(F);
  return result;
}

int FindNext(TSearchRec& F) {
  if (!F.FindHandle) return EBADF;
  return FindMatching(F);
}

void FindClose(TSearchRec& F) { F.FindHandle.reset(); }

}  // namespace Vantry
