#include "platform/SysUtils.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace Vantry {

Exception::Exception(const std::string& AFormat, TVarRecs AArgs) : FMessage(Format(AFormat, AArgs)) {}

namespace {

// One conversion of a format string: %[-][width][.precision]type.
struct TFormatSpec {
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

TFormatSpec ParseSpec(const std::string& AFormat, size_t& I) {
  TFormatSpec spec;
  if (I < AFormat.size() && AFormat[I] == '-') {
    spec.LeftJustify = true;
    ++I;
  }
  if (I < AFormat.size() && AFormat[I] >= '0' && AFormat[I] <= '9') spec.Width = ReadNumber(AFormat, I);
  if (I < AFormat.size() && AFormat[I] == '.') {
    ++I;
    spec.Precision = ReadNumber(AFormat, I);
  }
  if (I >= AFormat.size()) BadFormat(AFormat);
  spec.Type = static_cast<char>(AFormat[I++] | 0x20);  // conversions ignore case
  return spec;
}

std::string Convert(const TFormatSpec& ASpec, const TVarRec& AArg, const std::string& AFormat) {
  std::string text;
  if (ASpec.Type == 's') {
    if (!AArg.IsString()) BadFormat(AFormat);
    text = AArg.AsString();
    if (ASpec.Precision >= 0 && static_cast<size_t>(ASpec.Precision) < text.size()) text.resize(ASpec.Precision);
  } else if (ASpec.Type == 'd' || ASpec.Type == 'u' || ASpec.Type == 'x') {
    if (AArg.IsString()) BadFormat(AFormat);
    int64_t v = AArg.AsInteger();
    char buf[32];
    if (ASpec.Type == 'x')
      std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
    else if (ASpec.Type == 'u')
      std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(static_cast<uint32_t>(v)));
    else
      std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    text = buf;
    // For integers the precision is a minimum number of digits.
    bool negative = !text.empty() && text[0] == '-';
    size_t digits = text.size() - (negative ? 1 : 0);
    if (ASpec.Precision > 0 && digits < static_cast<size_t>(ASpec.Precision))
      text.insert(negative ? 1 : 0, ASpec.Precision - digits, '0');
  } else {
    BadFormat(AFormat);
  }
  if (ASpec.Width > 0 && text.size() < static_cast<size_t>(ASpec.Width)) {
    size_t pad = ASpec.Width - text.size();
    if (ASpec.LeftJustify)
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
    TFormatSpec spec = ParseSpec(AFormat, i);
    if (arg == AArgs.end()) BadFormat(AFormat);
    out += Convert(spec, *arg++, AFormat);
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

// What FindFirst leaves open between calls: the directory being read and the
// mask its entries must match.
struct TFindState {
  DIR* Dir = nullptr;
  std::string Folder;  // ends with '/'
  std::string Mask;
  ~TFindState() {
    if (Dir) closedir(Dir);
  }
};

namespace {

// Maps POSIX file types onto the attributes callers filter by. Links are
// followed; a link that leads nowhere is neither file nor directory, so it
// counts as a system entry.
int AttributesOf(const std::string& AFolder, const std::string& AName, TSearchRec& F) {
  std::string full = AFolder + AName;
  struct stat st;
  int attr = 0;
  if (stat(full.c_str(), &st) != 0) {
    if (lstat(full.c_str(), &st) != 0) return faSysFile;
    attr |= faSysFile;
  } else if (S_ISDIR(st.st_mode)) {
    attr |= faDirectory;
  } else if (!S_ISREG(st.st_mode)) {
    attr |= faSysFile;
  }
  if (AName[0] == '.' && AName != "." && AName != "..") attr |= faHidden;
  if (access(full.c_str(), W_OK) != 0) attr |= faReadOnly;
  F.Size = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
  F.Time = static_cast<int64_t>(st.st_mtime);
  return attr;
}

// Masks know only * and ?; every other character, fnmatch's brackets and
// backslash included, stands for itself.
std::string MaskToPattern(const std::string& AMask) {
  std::string pattern;
  for (char c : AMask) {
    if (c == '[' || c == ']' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern;
}

// Reads entries until one matches mask and filter; 0 when one was found.
int FindMatching(TSearchRec& F) {
  TFindState& state = *F.FindHandle;
  for (;;) {
    errno = 0;
    dirent* entry = readdir(state.Dir);
    if (!entry) return errno ? errno : ENOENT;
    const char* name = entry->d_name;
    if (fnmatch(state.Mask.c_str(), name, FNM_CASEFOLD) != 0) continue;
    int attr = AttributesOf(state.Folder, name, F);
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
  state->Mask = MaskToPattern(slash == std::string::npos ? APath : APath.substr(slash + 1));
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
