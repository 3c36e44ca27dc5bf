#include "index/Target.h"

#include "platform/SysUtils.h"

#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace Vantry {

namespace {

// The compiler's names of systems and processors.
constexpr std::array<std::string_view, 42> Systems = {
    "linux",   "android", "freebsd",  "netbsd",   "openbsd",  "dragonfly", "darwin",  "iphonesim", "ios",
    "solaris", "aix",     "haiku",    "beos",     "qnx",      "win32",     "win64",   "wince",     "win16",
    "go32v2",  "msdos",   "os2",      "emx",      "amiga",    "aros",      "morphos", "atari",     "netware",
    "netwlibc", "nativent", "embedded", "gba",    "nds",      "wii",       "symbian", "palmos",    "macosclassic",
    "java",    "watcom",  "wasi",     "freertos", "msxdos",   "sinclairql"};
constexpr std::array<std::string_view, 21> Processors = {
    "i386",   "x86_64",  "i8086", "arm",      "aarch64",  "powerpc", "powerpc64", "sparc", "sparc64", "mips", "mipsel",
    "mips64", "mips64el", "m68k", "avr",      "jvm",      "riscv32", "riscv64",   "xtensa", "z80",    "wasm32"};

// The LCL's widgetsets, as Lazarus names their folders (lcl/interfaces/*)
// and its LCL<WIDGETSET> symbols.
constexpr std::array<std::string_view, 14> Widgetsets = {"gtk",  "gtk2",  "gtk3", "win32", "wince", "carbon",      "qt",
                                                         "qt5",  "qt6",   "fpgui", "nogui", "cocoa", "customdrawn", "mui"};

constexpr std::string_view UnixLike = "linux android freebsd netbsd openbsd dragonfly darwin iphonesim ios solaris aix haiku beos qnx";
constexpr std::string_view BsdLike = "freebsd netbsd openbsd dragonfly darwin iphonesim ios";
constexpr std::string_view WindowsLike = "win32 win64 wince";
constexpr std::string_view AmigaLike = "amiga aros morphos";

bool InWords(std::string_view AWords, std::string_view AWord) {
  for (size_t at = 0; at < AWords.size();) {
    const size_t end = std::min(AWords.find(' ', at), AWords.size());
    if (AWords.substr(at, end - at) == AWord) return true;
    at = end + 1;
  }
  return false;
}

// Folders that hold one system's (or one family's) files, by the systems
// they serve; a folder named after a system serves that system.
struct TFolderRule {
  std::string_view Folder;
  std::string_view Serves;
};
constexpr TFolderRule SystemFolders[] = {
    {"unix", UnixLike},        {"posix", UnixLike},    {"bsd", BsdLike},          {"linux", "linux android"},
    {"win", WindowsLike},      {"windows", WindowsLike}, {"amicommon", AmigaLike}, {"os2commn", "os2 emx"},
    {"macos", "macosclassic"}, {"macosx", "darwin"},   {"osx", "darwin"},
};
constexpr TFolderRule ProcessorFolders[] = {
    {"x86", "i386 x86_64 i8086"}, {"ppcgen", "powerpc powerpc64"}, {"sparcgen", "sparc sparc64"},
    {"riscv", "riscv32 riscv64"},
};

template <size_t N>
bool Known(const std::array<std::string_view, N>& ANames, std::string_view AName) {
  return std::find(ANames.begin(), ANames.end(), AName) != ANames.end();
}

// How one folder name fits: tfThis or tfOther when it names a system or
// processor (or a family of them), tfAny when it names none.
template <size_t N, size_t R>
TTargetFit FolderFit(std::string_view AFolder, const std::array<std::string_view, N>& ANames,
                     const TFolderRule (&ARules)[R], const std::string& AMine) {
  for (const TFolderRule& rule : ARules)
    if (rule.Folder == AFolder) return InWords(rule.Serves, AMine) ? tfThis : tfOther;
  if (Known(ANames, AFolder)) return AFolder == AMine ? tfThis : tfOther;
  return tfAny;
}

// Folders whose files are not the library's own: examples, tests, demos,
// and the sources of the compiler and of its text-mode IDE.
constexpr std::string_view NotLibraryFolders = "examples example tests test testsuite demo demos samples sample compiler ide";

std::string Run(const char* ACommand) {
  std::string output;
  if (FILE* pipe = popen(ACommand, "r")) {
    char buffer[256];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    pclose(pipe);
  }
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  return output;
}

// The system's own names, in the compiler's words; its default widgetset.
TTarget SystemTarget() {
  utsname name{};
  uname(&name);
  std::string cpu = LowerCase(std::string(name.machine));
  if (cpu == "amd64") cpu = "x86_64";
  else if (cpu == "i486" || cpu == "i586" || cpu == "i686") cpu = "i386";
  else if (cpu == "arm64") cpu = "aarch64";
  else if (cpu.rfind("arm", 0) == 0) cpu = "arm";
  else if (cpu == "ppc64" || cpu == "ppc64le") cpu = "powerpc64";
  std::string os = LowerCase(std::string(name.sysname));
  if (os == "sunos") os = "solaris";
  return {cpu, os, DefaultWidgetset(os, cpu)};
}

// A small reader of the set expressions a build description assigns to
// P.OSes and P.CPUs ("AllUnixOSes + [win32] - [qnx]"): whether the set holds
// AWanted, or nothing when a name in it is not known here.
class TSetExpression {
public:
  TSetExpression(std::string_view AText, std::string_view AWanted, std::string_view ASelf, std::optional<bool> ACurrent)
      : FText(AText), FWanted(AWanted), FSelf(ASelf), FCurrent(ACurrent) {}

  std::optional<bool> Evaluate() {
    std::optional<bool> value = Term();
    for (;;) {
      Blanks();
      if (FAt >= FText.size()) return value;
      const char op = FText[FAt++];
      const std::optional<bool> right = Term();
      if (op == '+') value = (value == true || right == true) ? std::optional(true) : (value && right ? std::optional(false) : std::nullopt);
      else if (op == '-') value = right == true ? std::optional(false) : (right ? value : std::nullopt);
      else if (op == '*') value = (value == false || right == false) ? std::optional(false) : (value && right ? std::optional(true) : std::nullopt);
      else return std::nullopt;
    }
  }

private:
  void Blanks() {
    while (FAt < FText.size() && static_cast<unsigned char>(FText[FAt]) <= ' ') ++FAt;
  }
  std::string Word() {
    const size_t start = FAt;
    while (FAt < FText.size() && (std::isalnum(static_cast<unsigned char>(FText[FAt])) || FText[FAt] == '_' || FText[FAt] == '.')) ++FAt;
    return LowerCase(std::string(FText.substr(start, FAt - start)));
  }
  std::optional<bool> Term() {
    Blanks();
    if (FAt >= FText.size()) return std::nullopt;
    if (FText[FAt] == '(') {
      const size_t close = FText.find(')', FAt);
      if (close == std::string_view::npos) return std::nullopt;
      TSetExpression inner(FText.substr(FAt + 1, close - FAt - 1), FWanted, FSelf, FCurrent);
      FAt = close + 1;
      return inner.Evaluate();
    }
    if (FText[FAt] == '[') {
      const size_t close = FText.find(']', FAt);
      if (close == std::string_view::npos) return std::nullopt;
      bool found = false;
      for (FAt = FAt + 1; FAt < close;) {
        Blanks();
        found |= Word() == FWanted;
        Blanks();
        if (FAt < close && FText[FAt] == ',') ++FAt;
        else if (FAt < close) return std::nullopt;
      }
      FAt = close + 1;
      return found;
    }
    const std::string word = Word();
    if (word == FSelf) return FCurrent;
    if (word == "alloses" || word == "allcpus") return true;
    if (word == "allunixoses") return InWords(UnixLike, FWanted);
    if (word == "allbsdoses") return InWords(BsdLike, FWanted);
    if (word == "allwindowsoses") return InWords(WindowsLike, FWanted);
    if (word == "allamigalikeoses") return InWords(AmigaLike, FWanted);
    return std::nullopt;
  }

  std::string_view FText;
  size_t FAt = 0;
  std::string FWanted;
  std::string FSelf;
  std::optional<bool> FCurrent;
};

// The text without its comments, so that a commented-out line says nothing.
std::string WithoutComments(std::string_view AText) {
  std::string out;
  for (size_t i = 0; i < AText.size();) {
    if (AText[i] == '{') {
      i = std::min(AText.find('}', i), AText.size()) + 1;
    } else if (AText.compare(i, 2, "(*") == 0) {
      i = std::min(AText.find("*)", i), AText.size()) + 2;
    } else if (AText.compare(i, 2, "//") == 0) {
      i = std::min(AText.find('\n', i), AText.size());
    } else if (AText[i] == '\'') {
      const size_t end = AText.find('\'', i + 1);
      out += AText.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i + 1);
      i = end == std::string_view::npos ? AText.size() : end + 1;
    } else {
      out += AText[i++];
    }
  }
  return out;
}

// Follows the assignments to P.OSes (or P.CPUs) in order: whether the last
// one leaves AWanted in, or nothing when that cannot be told.
std::optional<bool> AssignedSetHolds(std::string_view AText, std::string_view ASelf, std::string_view AWanted) {
  const std::string lower = LowerCase(std::string(AText));
  std::optional<bool> current = true;  // a package is built for every target unless it says otherwise
  bool said = false;
  for (size_t at = 0; (at = lower.find(ASelf, at)) != std::string::npos;) {
    at += ASelf.size();
    size_t p = at;
    while (p < lower.size() && lower[p] == ' ') ++p;
    if (lower.compare(p, 2, ":=") != 0) continue;
    const size_t end = lower.find(';', p);
    if (end == std::string::npos) break;
    current = TSetExpression(std::string_view(lower).substr(p + 2, end - p - 2), AWanted, ASelf, current).Evaluate();
    said = true;
    at = end;
  }
  return said ? current : std::optional<bool>(true);
}

}  // namespace

int TTargetSymbols::Knows(std::string_view AUpperSymbol) const {
  if (std::binary_search(Defined.begin(), Defined.end(), AUpperSymbol)) return 1;
  if (std::binary_search(Undefined.begin(), Undefined.end(), AUpperSymbol)) return 0;
  return -1;
}

TTargetSymbols SymbolsOf(const TTarget& ATarget) {
  TTargetSymbols symbols;
  if (ATarget.Os.empty()) return symbols;
  std::vector<std::string>& yes = symbols.Defined;
  std::vector<std::string>& no = symbols.Undefined;
  auto upper = [](std::string_view AText) { return UpperCase(std::string(AText)); };
  // The processor: CPU<name>, its family's and its word size.
  const std::string cpu = ATarget.Cpu;
  const bool x86 = cpu == "i386" || cpu == "x86_64" || cpu == "i8086";
  const bool bits64 = cpu == "x86_64" || cpu == "aarch64" || cpu == "powerpc64" || cpu == "sparc64" || cpu == "mips64" ||
                      cpu == "mips64el" || cpu == "riscv64";
  const bool bits16 = cpu == "i8086" || cpu == "avr" || cpu == "z80";
  const bool bigEndian = cpu == "powerpc" || cpu == "powerpc64" || cpu == "sparc" || cpu == "sparc64" || cpu == "m68k" ||
                         cpu == "mips" || cpu == "mips64" || cpu == "jvm";
  for (std::string_view name : Processors) (name == cpu ? yes : no).push_back("CPU" + upper(name));
  (cpu == "x86_64" ? yes : no).insert((cpu == "x86_64" ? yes : no).end(), {"CPUAMD64", "CPUX64"});
  (cpu == "i386" ? yes : no).push_back("CPU386");
  (x86 ? yes : no).push_back("CPUX86");
  (cpu == "powerpc" || cpu == "powerpc64" ? yes : no).push_back("CPUPOWERPC");
  (bits64 ? yes : no).insert((bits64 ? yes : no).end(), {"CPU64", "CPU64BITADDR", "CPU64BITALU"});
  (bits16 ? yes : no).insert((bits16 ? yes : no).end(), {"CPU16", "CPUINT16"});
  (!bits64 && !bits16 ? yes : no).insert((!bits64 && !bits16 ? yes : no).end(), {"CPU32", "CPU32BITADDR"});
  no.push_back("CPU8");
  (bigEndian ? yes : no).insert((bigEndian ? yes : no).end(), {"ENDIAN_BIG", "FPC_BIG_ENDIAN"});
  (!bigEndian ? yes : no).insert((!bigEndian ? yes : no).end(), {"ENDIAN_LITTLE", "FPC_LITTLE_ENDIAN"});
  // Extended is the x87's: on x86 outside 64-bit Windows.
  const bool extended = x86 && ATarget.Os != "win64";
  (extended ? yes : no).push_back("FPC_HAS_TYPE_EXTENDED");
  // Without the x87, currency and comp are 64-bit integers.
  (extended ? no : yes).insert((extended ? no : yes).end(), {"FPC_CURRENCY_IS_INT64", "FPC_COMP_IS_INT64"});
  yes.insert(yes.end(), {"FPC", "VER3", "VER3_2", "FPC_HAS_TYPE_DOUBLE", "FPC_HAS_TYPE_SINGLE"});
  // The system: its own name, and its family's.
  const std::string os = ATarget.Os;
  const bool unixLike = InWords(UnixLike, os), bsdLike = InWords(BsdLike, os), windows = InWords(WindowsLike, os),
             amiga = InWords(AmigaLike, os);
  for (std::string_view name : Systems) (name == os ? yes : no).push_back(upper(name));
  (unixLike ? yes : no).push_back("UNIX");
  (bsdLike ? yes : no).push_back("BSD");
  (windows ? yes : no).insert((windows ? yes : no).end(), {"WINDOWS", "MSWINDOWS"});
  (amiga ? yes : no).push_back("HASAMIGA");
  (os == "go32v2" || os == "msdos" || os == "watcom" ? yes : no).push_back("DPMI");
  (os == "macosclassic" ? yes : no).push_back("MACOS");
  // The widgetset: the LCL's packages define LCL<WIDGETSET> (LCLGTK2) and
  // some a symbol of their own (gtk1, cocoa...). Whether a unit belongs to
  // the LCL at all (LCL) is not known here.
  if (!ATarget.Widgetset.empty()) {
    for (std::string_view name : Widgetsets) (name == ATarget.Widgetset ? yes : no).push_back("LCL" + upper(name));
    const std::string& ws = ATarget.Widgetset;
    if (ws == "gtk") yes.push_back("GTK1");
    if (ws == "gtk3" || ws == "carbon" || ws == "cocoa") yes.push_back(upper(ws));
  }
  // Linux's run-time library makes its own system calls; Darwin's and
  // other BSDs' go through the C library.
  if (os == "linux") no.push_back("FPC_USE_LIBC");
  if (os == "darwin" || os == "ios" || os == "iphonesim") yes.push_back("FPC_USE_LIBC");
  for (auto* list : {&yes, &no}) {
    std::sort(list->begin(), list->end());
    list->erase(std::unique(list->begin(), list->end()), list->end());
  }
  // A name on both lists (i386's CPU386 and CPUI386 are one, say) is defined.
  std::vector<std::string> undefined;
  std::set_difference(no.begin(), no.end(), yes.begin(), yes.end(), std::back_inserter(undefined));
  no = std::move(undefined);
  return symbols;
}

std::string DefaultWidgetset(std::string_view AOs, std::string_view ACpu) {
  // As Lazarus chooses when a package names none (lcl.lpk, LCLPlatformDef).
  if (InWords("win32 win64", AOs)) return "win32";
  if (AOs == "wince") return "wince";
  if (InWords("darwin", AOs)) return ACpu == "powerpc" || ACpu == "powerpc64" ? "carbon" : "cocoa";
  if (InWords(AmigaLike, AOs)) return "mui";
  return "gtk2";
}

std::optional<TTarget> ParseTarget(std::string_view AText) {
  const std::string lower = LowerCase(std::string(AText));
  const size_t dash = lower.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const size_t second = lower.find('-', dash + 1);
  TTarget target{lower.substr(0, dash), lower.substr(dash + 1, second == std::string::npos ? std::string::npos : second - dash - 1)};
  if (!Known(Processors, target.Cpu) || !Known(Systems, target.Os)) return std::nullopt;
  target.Widgetset = second == std::string::npos ? DefaultWidgetset(target.Os, target.Cpu) : lower.substr(second + 1);
  if (!Known(Widgetsets, target.Widgetset)) return std::nullopt;
  return target;
}

TTarget HostTarget() {
  // The compiler knows best which of its targets it builds for by default.
  const std::string answer = Run("fpc -iTP -iTO 2>/dev/null");
  const size_t blank = answer.find(' ');
  if (blank != std::string::npos)
    if (auto target = ParseTarget(answer.substr(0, blank) + "-" + answer.substr(blank + 1))) return *target;
  return SystemTarget();
}

TTarget ChosenTarget(std::string_view ASetting) {
  if (auto target = ParseTarget(ASetting)) return *target;
  static const TTarget host = HostTarget();
  return host;
}

std::optional<bool> PackageBuildsFor(std::string_view AText, const TTarget& ATarget) {
  const std::string text = WithoutComments(AText);
  const std::optional<bool> system = AssignedSetHolds(text, "p.oses", ATarget.Os);
  const std::optional<bool> processor = AssignedSetHolds(text, "p.cpus", ATarget.Cpu);
  if (system == false || processor == false) return false;
  if (system && processor) return true;
  return std::nullopt;
}

void TTargetRules::AddPackage(std::string AFolder, std::string_view AText) {
  if (PackageBuildsFor(AText, FTarget) != false) return;
  FForeignPackages.insert(std::upper_bound(FForeignPackages.begin(), FForeignPackages.end(), AFolder), AFolder);
}

void TTargetRules::NoteFolders(const std::vector<std::string_view>& ARelativePaths) {
  // Each folder that holds folders named after widgetsets, with the names.
  std::vector<std::pair<std::string, std::string>> held;  // holder, widgetset
  std::string lastFolder;  // the files of one folder come together: it is read once
  for (std::string_view path : ARelativePaths) {
    const std::string_view folder = path.substr(0, path.rfind('/') + 1);
    if (folder == lastFolder) continue;
    lastFolder = folder;
    for (size_t at = 0; at < folder.size();) {
      const size_t slash = folder.find('/', at);
      const std::string name = LowerCase(std::string(folder.substr(at, slash - at)));
      if (Known(Widgetsets, name)) held.emplace_back(std::string(folder.substr(0, at)), name);
      at = slash + 1;
    }
  }
  std::sort(held.begin(), held.end());
  held.erase(std::unique(held.begin(), held.end()), held.end());
  FWidgetsetHolders.clear();
  for (size_t i = 0; i < held.size();) {
    size_t end = i;
    bool nameless = false;  // a widgetset named after no system
    for (; end < held.size() && held[end].first == held[i].first; ++end) nameless |= !Known(Systems, held[end].second);
    if (end - i >= 2 && nameless) FWidgetsetHolders.push_back(held[i].first);
    i = end;
  }
}

void TTargetRules::ReadPackages(const std::string& ARoot, const std::vector<std::string_view>& ARelativePaths) {
  NoteFolders(ARelativePaths);
  constexpr std::string_view Description = "fpmake.pp";
  for (std::string_view path : ARelativePaths) {
    if (path.size() < Description.size() || LowerCase(std::string(path.substr(path.size() - Description.size()))) != Description) continue;
    const std::string_view folder = path.substr(0, path.size() - Description.size());
    if (!folder.empty() && folder.back() != '/') continue;
    std::ifstream in(ARoot + "/" + std::string(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    AddPackage(std::string(folder), text.str());
  }
}

TTargetFit TTargetRules::Fit(std::string_view ARelativePath) const {
  if (FTarget.Os.empty()) return tfAny;  // no target: every file alike
  for (const std::string& package : FForeignPackages)
    if (ARelativePath.substr(0, package.size()) == package && !package.empty()) return tfOther;
  TTargetFit fit = tfAny;
  for (size_t at = 0;;) {
    const size_t slash = ARelativePath.find('/', at);
    if (slash == std::string_view::npos) break;  // the file's own name says nothing
    const std::string folder = LowerCase(std::string(ARelativePath.substr(at, slash - at)));
    const std::string_view holder = ARelativePath.substr(0, at);
    at = slash + 1;
    if (Known(Widgetsets, folder) && std::binary_search(FWidgetsetHolders.begin(), FWidgetsetHolders.end(), holder)) {
      // A widgetset's folder: its name says nothing of a system.
      if (FTarget.Widgetset.empty()) continue;
      if (folder != FTarget.Widgetset) return tfOther;
      fit = tfThis;
      continue;
    }
    const TTargetFit system = FolderFit(folder, Systems, SystemFolders, FTarget.Os);
    const TTargetFit processor = FolderFit(folder, Processors, ProcessorFolders, FTarget.Cpu);
    if (system == tfOther || processor == tfOther) return tfOther;
    if (system == tfThis || processor == tfThis) fit = tfThis;
  }
  return fit;
}

TFilePlace TTargetRules::Place(std::string_view ARelativePath, bool AProgram) const {
  bool library = !AProgram;
  for (size_t at = 0; library;) {
    const size_t slash = ARelativePath.find('/', at);
    if (slash == std::string_view::npos) break;
    library = !InWords(NotLibraryFolders, LowerCase(std::string(ARelativePath.substr(at, slash - at))));
    at = slash + 1;
  }
  const TTargetFit fit = Fit(ARelativePath);
  return static_cast<TFilePlace>((fit == tfOther ? 8 : 0) | (library ? 0 : 4) | (fit == tfAny ? 1 : 0));
}

}  // namespace Vantry
