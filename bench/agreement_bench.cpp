// How often the finder's first answer for a name is the declaration the Free
// Pascal compiler itself uses for this machine's target. The judge is the
// compiler's own record: each compiled unit (.ppu) of the installed units
// names the source files it was built from and, for every public symbol,
// the file, line and column of its declaration; ppudump prints both.
//
// For the units that programs use most it prints: whether the unit search's
// first answer for the unit's name is the unit's main source; and, for the
// public names of the units, how often the declaration search's first
// answer (and one of its first five) is the compiler's declaration, per
// unit and in all, with the worst misses and what kinds of answers come
// first instead.
//
// Match rules:
// - A source file ppudump names is matched to the indexed files of the
//   same name (case ignored); when ppudump gives a folder too, only those
//   whose nearest folder is that folder. When several files share the
//   name (rtl/unix/sysutils.pp, rtl/win/sysutils.pp...), the one that
//   holds the most of the symbols the unit records in that file at their
//   recorded places wins (the unit's own main file also by the word
//   "interface" where the unit's symbol is placed); then the one nearest
//   the unit's main source (the most folders shared from the root); then
//   the one in a folder that holds more of the unit's sources found so far
//   (rtl/inc/rtti.inc, not rtl/java/rtti.inc); then the one in folders
//   named for the target: its OS, the OS family (unix), its CPU. Nothing else is read: the compiler's include path is
//   not known here.
// - The compiler places a routine, constant, variable or enumeration value
//   at its name, a type at its definition (after the '='). The judged place
//   is the line where the name stands: the recorded line when the name is
//   on it before the recorded column's end, else, for a type, the nearest
//   of the three lines above that holds it. A forward declaration
//   ("TObject = class;"), where the compiler places the class, is judged by
//   the full declaration that follows in the same file, which is what the
//   index holds. An answer is right when it is in the same file on that
//   line; the column is not compared (one line does not declare a name
//   twice, and the compiler's column is not the name's for a type).
// - A name counts once per unit that declares it publicly: a name that two
//   units declare is checked twice, each time against its own unit's
//   declaration, so at most one of the two can be right. Overloads share
//   one symbol, placed at the first heading. Only the units' own symbols
//   count, not the members of their classes and records.

#include "finder/DeclarationRanking.h"
#include "finder/DeclarationTable.h"
#include "finder/LibraryIndex.h"
#include "finder/UnitRanking.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

using namespace Vantry;
namespace fs = std::filesystem;

namespace {

// The engine's first answers for a name, best first, as the finder shows
// them when the name is typed whole.
std::vector<uint32_t> Answers(const TDeclarationTable& ATable, std::string_view AName, size_t ALimit) {
  static TDeclarationSearch search;  // one box for all names: the files are ranked for the target once
  search.SetTarget(ChosenTarget({}));
  search.Search(ATable, 1, AName, ALimit);
  std::vector<uint32_t> answers;
  for (const TRankedDeclaration& r : search.Results()) answers.push_back(r.Declaration);
  return answers;
}

// The units programs use most, each with why it is here.
struct TSampleUnit {
  const char* Name;
  const char* Why;
};
const TSampleUnit SampleUnits[] = {
    {"system", "every program uses it: strings, files, memory, the basic types"},
    {"objpas", "every {$mode objfpc} or delphi program uses it"},
    {"sysutils", "exceptions, string and file routines, formats: in nearly every program"},
    {"classes", "streams, string lists, components, threads"},
    {"math", "the numeric routines beyond the system unit's"},
    {"strutils", "string searching and replacing"},
    {"types", "the shared types of points, rectangles and dynamic arrays"},
    {"typinfo", "run-time type information, read by streaming and RTTI code"},
    {"variants", "the variant type's routines"},
    {"dateutils", "dates and times"},
    {"baseunix", "the POSIX calls on this target"},
    {"unix", "Unix calls above baseunix"},
    {"unixtype", "the C types of the POSIX calls"},
    {"sockets", "network sockets"},
    {"dos", "files, dates and the environment in the old style, still in use"},
    {"crt", "console programs: colours, the cursor, keys"},
    {"fgl", "the generic lists"},
    {"contnrs", "object lists, queues, stacks and hash tables"},
    {"syncobjs", "critical sections and events for threads"},
    {"process", "running other programs"},
    {"regexpr", "regular expressions"},
    {"inifiles", "settings in .ini files"},
    {"streamio", "text files over streams"},
    {"character", "Unicode character classes"},
    {"rtlconsts", "the run-time library's messages"},
    {"sysconst", "sysutils's messages"},
    {"cthreads", "threads on Unix: the first unit of every threaded program"},
    {"dynlibs", "loading shared libraries"},
    {"zstream", "compressed streams"},
    {"fpjson", "JSON data"},
};

std::string Lower(std::string_view AText) {
  std::string lower(AText);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

std::string_view Trim(std::string_view AText) {
  while (!AText.empty() && (AText.front() == ' ' || AText.front() == '\t' || AText.front() == '\r'))
    AText.remove_prefix(1);
  while (!AText.empty() && (AText.back() == ' ' || AText.back() == '\t' || AText.back() == '\r' ||
                            AText.back() == '\n'))
    AText.remove_suffix(1);
  return AText;
}

// What a command prints on its standard output (its errors too with
// A2To1), or nothing when it cannot be run.
std::string Output(const std::string& ACommand, bool A2To1 = false) {
  const std::string command = ACommand + (A2To1 ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string text;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  pclose(pipe);
  return text;
}

std::string Quote(const std::string& AText) {
  std::string quoted = "'";
  for (char c : AText) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string_view> Lines(std::string_view AText) {
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < AText.size();) {
    size_t end = AText.find('\n', start);
    if (end == std::string_view::npos) end = AText.size();
    lines.push_back(AText.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool IsFolder(const std::string& APath) {
  std::error_code error;
  return !APath.empty() && fs::is_directory(APath, error);
}

// The folder of the compiled units for the compiler's default target
// ("x86_64-linux"): the unit path the compiler's configuration gives (as
// `fpc -va` reports it) that holds the system unit, directly or in rtl/;
// else the one the run-time library's package installed. Empty when none
// is found.
std::string FindUnitsFolder() {
  const std::string target =
      std::string(Trim(Output("fpc -iTP"))) + "-" + std::string(Trim(Output("fpc -iTO")));
  auto unitsFolderOf = [](std::string APath) -> std::string {
    while (!APath.empty() && (APath.back() == '*' || APath.back() == '/')) APath.pop_back();
    if (IsFolder(APath) && fs::exists(fs::path(APath) / "rtl" / "system.ppu")) return APath;
    if (IsFolder(APath) && fs::exists(fs::path(APath) / "system.ppu")) return fs::path(APath).parent_path().string();
    return {};
  };
  for (std::string_view line : Lines(Output("fpc -va", true))) {
    const size_t option = line.find("\"-Fu");
    if (option == std::string_view::npos) continue;
    std::string_view path = line.substr(option + 4);
    path = path.substr(0, path.find('"'));
    if (path.find(target) == std::string_view::npos) continue;
    if (std::string folder = unitsFolderOf(std::string(path)); !folder.empty()) return folder;
  }
  const std::string version(Trim(Output("fpc -iV")));
  for (std::string_view line : Lines(Output("dpkg -L fp-units-rtl-" + version))) {
    if (line.size() > 15 && line.substr(line.size() - 15) == "/rtl/system.ppu" &&
        line.find(target) != std::string_view::npos)
      return fs::path(line).parent_path().parent_path().string();
  }
  return {};
}

// Where each compiled unit lies below the units folder, by lower-case name,
// in path order (the measurement reads the first when a name is found twice).
std::map<std::string, std::vector<fs::path>> CompiledUnits(const std::string& AFolder) {
  std::map<std::string, std::vector<fs::path>> units;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(AFolder, fs::directory_options::skip_permission_denied, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path& path = it->path();
    if (it->is_regular_file() && Lower(path.extension().string()) == ".ppu")
      units[Lower(path.stem().string())].push_back(path);
  }
  for (auto& [name, paths] : units) std::sort(paths.begin(), paths.end());
  return units;
}

// One public symbol as the compiled unit records it.
struct TSymbol {
  std::string Name;
  std::string Kind;     // ppudump's: "Procedure", "Type", "Constant", "Enumeration"...
  std::string Options;  // ppudump's SymOptions
  int File = 0;         // ppudump's source file number, from 1
  uint32_t Line = 0;
  uint32_t Column = 0;
};

struct TCompiledUnit {
  std::string Name;
  std::vector<std::string> Sources;  // by ppudump's number less one; the first is the main source
  std::vector<TSymbol> Symbols;      // the interface's symbols, all of them
  // The unit's own symbol, which the compiler places at the word
  // "interface"; the types it makes itself (the system unit's Single,
  // Pointer, ShortString...) stand at the same place.
  TSymbol Heading;
  bool AtHeading(const TSymbol& ASymbol) const {
    return ASymbol.File == Heading.File && ASymbol.Line == Heading.Line && ASymbol.Column == Heading.Column;
  }
};

// Reads ppudump's text: the "Source file N : NAME DATE TIME" list, and the
// symbols of the "Interface Symbols" section, each a "** Symbol Id" line
// followed by "KIND symbol NAME", "File Pos : N (LINE,COLUMN)" and
// "SymOptions : ..." (the symbols nested in them are indented, and left).
TCompiledUnit ParseDump(std::string_view AText) {
  TCompiledUnit unit;
  bool inSymbols = false;
  TSymbol* symbol = nullptr;
  bool placed = false, optioned = false;
  for (std::string_view line : Lines(AText)) {
    if (line.rfind("Module Name:", 0) == 0) {
      unit.Name = std::string(Trim(line.substr(12)));
    } else if (line.rfind("Source file ", 0) == 0) {
      const size_t colon = line.find(" : ");
      if (colon == std::string_view::npos) continue;
      const int number = std::atoi(std::string(line.substr(12, colon - 12)).c_str());
      std::string_view rest = Trim(line.substr(colon + 3));
      for (int field = 0; field < 2; ++field) {  // the date and the time
        const size_t space = rest.rfind(' ');
        if (space != std::string_view::npos) rest = Trim(rest.substr(0, space));
      }
      if (number >= 1) {
        if (unit.Sources.size() < static_cast<size_t>(number)) unit.Sources.resize(static_cast<size_t>(number));
        unit.Sources[static_cast<size_t>(number) - 1] = std::string(rest);
      }
    } else if (line == "Interface Symbols") {
      inSymbols = true;
    } else if (inSymbols && (line.rfind("Interface Macro", 0) == 0 || line.rfind("Implementation", 0) == 0)) {
      inSymbols = false;
      symbol = nullptr;
    } else if (inSymbols && line.rfind("** Symbol Id", 0) == 0) {
      unit.Symbols.emplace_back();
      symbol = &unit.Symbols.back();
      placed = optioned = false;
    } else if (inSymbols && symbol && symbol->Kind.empty()) {
      const size_t at = line.find(" symbol ");
      if (at == std::string_view::npos) continue;
      symbol->Kind = std::string(line.substr(0, at));
      symbol->Name = std::string(Trim(line.substr(at + 8)));
    } else if (inSymbols && symbol && !placed && Trim(line).rfind("File Pos :", 0) == 0) {
      placed = true;
      unsigned file = 0, row = 0, column = 0;
      if (std::sscanf(std::string(Trim(line)).c_str(), "File Pos : %u (%u,%u)", &file, &row, &column) == 3) {
        symbol->File = static_cast<int>(file);
        symbol->Line = row;
        symbol->Column = column;
      }
    } else if (inSymbols && symbol && !optioned && Trim(line).rfind("SymOptions :", 0) == 0) {
      optioned = true;
      symbol->Options = std::string(Trim(Trim(line).substr(12)));
    }
  }
  for (const TSymbol& s : unit.Symbols)
    if (s.Kind == "Unit" && Lower(s.Name) == Lower(unit.Name)) unit.Heading = s;
  return unit;
}

// Whether a symbol is a declaration someone wrote and would look up by
// name. Left out: the unit symbols (the unit itself and the units its uses
// clause names, which the unit search measures); the compiler's intrinsics
// ("Internal system": Write, Concat...) and built-in types, all placed at
// the system unit's heading; symbols the compiler made itself (marked
// Internal, or named with a '$': record types for typed string constants,
// a generic's implementation "TArray$1", whose name the generic's dummy
// symbol carries at the same place); and those with no place.
bool IsSourceDeclaration(const TCompiledUnit& AUnit, const TSymbol& ASymbol) {
  if (ASymbol.Kind == "Unit" || ASymbol.Kind == "Internal system" || AUnit.AtHeading(ASymbol)) return false;
  if (ASymbol.Name.empty() || ASymbol.Name.find('$') != std::string::npos) return false;
  if (ASymbol.Options.find("Internal") != std::string::npos) return false;
  return ASymbol.File >= 1 && ASymbol.Line >= 1;
}

bool IsNameByte(char C) {
  return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '_' ||
         static_cast<unsigned char>(C) >= 0x80;
}

// Whether ALine holds AName (lower case) as a whole word within its first
// ALimit bytes.
bool HoldsName(std::string_view ALine, const std::string& AName, size_t ALimit) {
  const std::string line = Lower(ALine.substr(0, std::min(ALimit, ALine.size())));
  for (size_t at = line.find(AName); at != std::string::npos; at = line.find(AName, at + 1)) {
    const size_t end = at + AName.size();
    if ((at == 0 || !IsNameByte(line[at - 1])) && (end >= line.size() || !IsNameByte(line[end]))) return true;
  }
  return false;
}

// The source files' texts, by path relative to the root, as lines.
class TTexts {
public:
  explicit TTexts(std::string ARoot) : FRoot(std::move(ARoot)) {}
  const std::vector<std::string_view>& LinesOf(const std::string& APath) {
    auto it = FFiles.find(APath);
    if (it == FFiles.end()) {
      auto file = std::make_unique<TFile>();
      std::ifstream in(fs::path(FRoot) / APath, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      file->Text = text.str();
      file->Lines = Lines(file->Text);
      it = FFiles.emplace(APath, std::move(file)).first;
    }
    return it->second->Lines;
  }

private:
  struct TFile {
    std::string Text;
    std::vector<std::string_view> Lines;
  };
  std::string FRoot;
  std::unordered_map<std::string, std::unique_ptr<TFile>> FFiles;
};

// The line where the symbol's name stands in the file: the recorded line
// when the name is on it before the recorded column's end; for a type,
// which the compiler places at its definition, else the nearest of the
// three lines above that holds it; 0 when none holds it.
uint32_t NameLine(TTexts& ATexts, const std::string& APath, const TSymbol& ASymbol) {
  const auto& lines = ATexts.LinesOf(APath);
  const std::string name = Lower(ASymbol.Name);
  if (ASymbol.Line > lines.size()) return 0;
  if (HoldsName(lines[ASymbol.Line - 1], name, (ASymbol.Column ? ASymbol.Column - 1 : 0) + name.size()))
    return ASymbol.Line;
  if (ASymbol.Kind != "Type") return 0;
  for (uint32_t line = ASymbol.Line - 1; line >= 1 && line + 3 >= ASymbol.Line; --line)
    if (HoldsName(lines[line - 1], name, std::string_view::npos)) return line;
  return 0;
}

// Whether AWord (lower case) starts at the symbol's recorded line and
// column in the file, and is a whole word there.
bool StandsAt(TTexts& ATexts, const std::string& APath, const TSymbol& ASymbol, const std::string& AWord) {
  const auto& lines = ATexts.LinesOf(APath);
  if (ASymbol.Line < 1 || ASymbol.Line > lines.size() || ASymbol.Column < 1) return false;
  const std::string_view line = lines[ASymbol.Line - 1];
  const size_t at = ASymbol.Column - 1, end = at + AWord.size();
  return end <= line.size() && Lower(line.substr(at, AWord.size())) == AWord &&
         (end == line.size() || !IsNameByte(line[end]));
}

// Whether the file holds the symbol where the compiler recorded it: a type
// by NameLine, anything else with its name at the very line and column.
bool Placed(TTexts& ATexts, const std::string& APath, const TSymbol& ASymbol) {
  return ASymbol.Kind == "Type" ? NameLine(ATexts, APath, ASymbol) != 0
                                : StandsAt(ATexts, APath, ASymbol, Lower(ASymbol.Name));
}

// Whether the text at the symbol's recorded place is a forward
// declaration of a class or an interface ("class;", "interface;"): the
// compiler places such a type there, the reader wants its full
// declaration, which is what the index holds.
bool IsForward(TTexts& ATexts, const std::string& APath, const TSymbol& ASymbol) {
  const auto& lines = ATexts.LinesOf(APath);
  if (ASymbol.Kind != "Type" || ASymbol.Line < 1 || ASymbol.Line > lines.size() || ASymbol.Column < 1) return false;
  const std::string rest = Lower(lines[ASymbol.Line - 1].substr(std::min<size_t>(ASymbol.Column - 1,
                                                                                 lines[ASymbol.Line - 1].size())));
  for (const char* word : {"class", "interface", "object", "dispinterface", "objcclass", "objcprotocol"}) {
    const std::string_view w = word;
    if (rest.rfind(w, 0) != 0) continue;
    const std::string_view after = Trim(std::string_view(rest).substr(w.size()));
    if (!after.empty() && after.front() == ';') return true;
  }
  return false;
}

// The line of the full declaration that follows a forward one in the same
// file: the first line below AFrom where the name stands before a '=' (past
// any generic parameters); 0 when there is none.
uint32_t FullDeclarationLine(TTexts& ATexts, const std::string& APath, const TSymbol& ASymbol, uint32_t AFrom) {
  const auto& lines = ATexts.LinesOf(APath);
  const std::string name = Lower(ASymbol.Name);
  for (uint32_t line = AFrom + 1; line <= lines.size(); ++line) {
    const std::string text = Lower(lines[line - 1]);
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
      const size_t end = at + name.size();
      if ((at > 0 && IsNameByte(text[at - 1])) || (end < text.size() && IsNameByte(text[end]))) continue;
      std::string_view after = Trim(std::string_view(text).substr(end));
      if (!after.empty() && after.front() == '<') {
        const size_t close = after.find('>');
        after = close == std::string_view::npos ? std::string_view() : Trim(after.substr(close + 1));
      }
      if (!after.empty() && after.front() == '=') return line;
    }
  }
  return 0;
}

std::string_view FileNameOf(std::string_view APath) {
  const size_t slash = APath.rfind('/');
  return slash == std::string_view::npos ? APath : APath.substr(slash + 1);
}

std::string_view FolderOf(std::string_view APath) {
  const size_t slash = APath.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : APath.substr(0, slash + 1);
}

// How many folders two relative paths share from the root down.
int SharedFolders(std::string_view A, std::string_view B) {
  int shared = 0;
  for (size_t i = 0; i < A.size() && i < B.size() && A[i] == B[i]; ++i) shared += A[i] == '/';
  return shared;
}

// The target's folders in the sources' layout: its OS, the OS family, its
// CPU. A file in one of them is what the compiler reads for this target.
struct TJudgeTarget {
  std::string Os = "linux";
  std::string Cpu = "x86_64";
  // 4 for a folder of the OS, 2 of the family, 1 of the CPU, added up:
  // rtl/linux/x86_64/ before rtl/linux/aarch64/.
  int Rank(std::string_view APath) const {
    const std::string path = "/" + Lower(APath);
    return (path.find("/" + Os + "/") != std::string::npos ? 4 : 0) +
           (path.find("/unix/") != std::string::npos ? 2 : 0) +
           (path.find("/" + Cpu + "/") != std::string::npos ? 1 : 0);
  }
};

// A compiled unit with its sources found in the tree.
struct TResolvedUnit {
  TCompiledUnit Compiled;
  std::vector<std::string> Paths;  // per source, relative to the root; empty when not found
  int Ambiguous = 0;               // sources whose file could not be told from a namesake
};

// Finds each source of AUnit among the indexed files by the match rule at
// the top of this file.
TResolvedUnit Resolve(TCompiledUnit AUnit, const std::unordered_map<std::string, std::vector<std::string>>& AByName,
                      TTexts& ATexts, const TJudgeTarget& ATarget) {
  TResolvedUnit unit;
  unit.Paths.assign(AUnit.Sources.size(), {});
  auto candidates = [&](const std::string& ASource) {
    std::vector<std::string> found;
    const std::string source = Lower(ASource);
    const auto it = AByName.find(std::string(FileNameOf(source)));
    if (it == AByName.end()) return found;
    found = it->second;
    // A folder given with the name: keep the files in a folder of that
    // name, when there are any.
    const std::string_view folder = FolderOf(source);
    if (!folder.empty()) {
      const std::string nearest = "/" + std::string(FileNameOf(folder.substr(0, folder.size() - 1))) + "/";
      std::vector<std::string> inFolder;
      for (const std::string& path : found)
        if (("/" + Lower(path)).find(nearest + std::string(FileNameOf(source))) != std::string::npos)
          inFolder.push_back(path);
      if (!inFolder.empty()) found = inFolder;
    }
    return found;
  };
  auto choose = [&](size_t ASource, const std::string& AMain) {
    const std::vector<std::string> found = candidates(AUnit.Sources[ASource]);
    if (found.empty()) return;
    struct TScore {
      int Placed, Shared, Siblings, Target;
      auto operator<=>(const TScore&) const = default;
    };
    std::vector<TScore> scores;
    for (const std::string& path : found) {
      int placed = 0;
      if (found.size() > 1) {
        const int number = static_cast<int>(ASource) + 1;
        for (const TSymbol& s : AUnit.Symbols)
          if (s.File == number && !AUnit.AtHeading(s) && Placed(ATexts, path, s)) ++placed;
        if (AUnit.Heading.File == number && StandsAt(ATexts, path, AUnit.Heading, "interface")) ++placed;
      }
      int siblings = 0;
      for (size_t other = 0; other < ASource; ++other)
        siblings += !unit.Paths[other].empty() && FolderOf(unit.Paths[other]) == FolderOf(path);
      scores.push_back({placed, AMain.empty() ? 0 : SharedFolders(path, AMain), siblings, ATarget.Rank(path)});
    }
    const size_t best = static_cast<size_t>(std::max_element(scores.begin(), scores.end()) - scores.begin());
    if (std::count(scores.begin(), scores.end(), scores[best]) > 1) ++unit.Ambiguous;
    unit.Paths[ASource] = found[best];
  };
  if (!AUnit.Sources.empty()) choose(0, {});
  for (size_t s = 1; s < AUnit.Sources.size(); ++s) choose(s, unit.Paths[0]);
  unit.Compiled = std::move(AUnit);
  return unit;
}

// One name checked: the compiler's declaration, and where it ranked.
struct TCheck {
  std::string Unit;
  const TSymbol* Symbol;
  std::string Path;   // the compiler's file, relative to the root
  uint32_t Line;      // the line of the name in it
  size_t Rank;        // 1 for the first answer; 0 when not among the answers
  bool Indexed;       // the index has a declaration of the name there at all
  uint32_t First;     // the first answer, or None
};

// What came first instead of the compiler's declaration, in words a
// developer can act on: where it is, as a kind of place and as the folder
// (the first two levels: rtl/aix/, packages/libc/), and what it is.
struct TMissKind {
  std::string Where;
  std::string Folder;  // empty where the kind of place says it all
  std::string What;
};

TMissKind MissKind(const TDeclarationTable& ATable, const TCheck& ACheck, const TResolvedUnit& AUnit,
                   const std::set<std::string>& ATargetFolders) {
  if (!ACheck.Indexed) return {"not in the index at the compiler's place", {}, {}};
  const std::string path(ATable.FilePath(ATable.FileOf(ACheck.First)));
  const TDeclarationEntry& e = ATable.Entry(ACheck.First);
  TMissKind kind;
  kind.What = e.Owner != TDeclarationTable::None ? "a member named alike"
              : e.Definition()                    ? "a routine's body"
                                                  : "a declaration";
  auto area = [](const std::string& P) {
    const size_t first = P.find('/');
    const size_t second = first == std::string::npos ? std::string::npos : P.find('/', first + 1);
    return second == std::string::npos ? P.substr(0, first + 1) : P.substr(0, second + 1);
  };
  kind.Folder = area(path);
  const std::string lower = "/" + Lower(path);
  const bool targets = ATargetFolders.count(std::string(FolderOf(path))) != 0;
  if (path == ACheck.Path) {
    kind.Where = "the same file, another line (a conditional's other branch, a definition)";
    kind.Folder.clear();
  } else if (std::find(AUnit.Paths.begin(), AUnit.Paths.end(), path) != AUnit.Paths.end()) {
    kind.Where = "another file of the same unit";
    kind.Folder.clear();
  } else if (lower.find("/example") != std::string::npos || lower.find("/demo") != std::string::npos ||
             lower.find("/test") != std::string::npos || lower.find("/sample") != std::string::npos) {
    kind.Where = "an example, demo or test";
  } else if (!targets && FileNameOf(path) == FileNameOf(ACheck.Path)) {
    kind.Where = "another OS's or CPU's copy of the same file";
  } else if (lower.rfind("/compiler/", 0) == 0) {
    kind.Where = "the compiler's own sources";
  } else if (lower.rfind("/rtl/", 0) == 0) {
    kind.Where = targets ? "another unit of this target's rtl" : "another OS's or CPU's rtl folder";
  } else if (lower.rfind("/packages/", 0) == 0) {
    kind.Where = area(path) == area(ACheck.Path) ? "another unit of the same package" : "another package";
  } else {
    kind.Where = "elsewhere";
  }
  return kind;
}

double Percent(size_t APart, size_t AWhole) { return AWhole ? 100.0 * static_cast<double>(APart) / AWhole : 0.0; }

struct TOptions {
  std::string Root = VANTRY_FPC_SOURCE;
  std::string UnitsFolder;
};

constexpr const char* Usage =
    "Usage: agreement_bench [--root DIR] [--units-dir DIR]\n"
    "  --root DIR       the Free Pascal sources (default: the ones the build found)\n"
    "  --units-dir DIR  the compiled units of the target (default: the compiler's own)\n";

}  // namespace

int main(int argc, char** argv) {
  using TClock = std::chrono::steady_clock;
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "--root" || arg == "--units-dir") && i + 1 < argc) {
      (arg == "--root" ? options.Root : options.UnitsFolder) = argv[++i];
    } else {
      std::fputs(Usage, arg == "-h" || arg == "--help" ? stdout : stderr);
      return arg == "-h" || arg == "--help" ? 0 : 2;
    }
  }

  // What the measurement needs; without it, one line and no figures, so
  // that the other benchmarks still run.
  if (!IsFolder(options.Root)) {
    std::printf("agreement: no Free Pascal sources at %s; nothing measured\n", options.Root.c_str());
    return 0;
  }
  if (Trim(Output("command -v ppudump")).empty()) {
    std::printf("agreement: ppudump is missing (Debian's fp-utils); nothing measured\n");
    return 0;
  }
  if (options.UnitsFolder.empty()) options.UnitsFolder = FindUnitsFolder();
  if (!IsFolder(options.UnitsFolder)) {
    std::printf("agreement: no compiled units of the target found (fpc and Debian's fp-units-rtl); nothing measured\n");
    return 0;
  }
  const auto compiledUnits = CompiledUnits(options.UnitsFolder);
  TJudgeTarget target;
  if (std::string os = Lower(Trim(Output("fpc -iTO"))); !os.empty()) target.Os = os;
  if (std::string cpu = Lower(Trim(Output("fpc -iTP"))); !cpu.empty()) target.Cpu = cpu;

  // The index, as the IDE builds it (and caches it).
  const auto indexStart = TClock::now();
  TLibraryIndex index;
  index.Refresh(options.Root, true);
  while (!index.WaitForWalk(std::chrono::milliseconds(200))) {
  }
  const auto table = index.Declarations();
  if (!table || !index.LastReport().Error.empty()) {
    std::printf("agreement: cannot index %s: %s\n", options.Root.c_str(), index.LastReport().Error.c_str());
    return 0;
  }
  const double indexSeconds = std::chrono::duration<double>(TClock::now() - indexStart).count();
  const auto measureStart = TClock::now();
  const TFileTable& files = index.Files();
  std::unordered_map<std::string, std::vector<std::string>> byName;  // lower-case file name: relative paths
  for (uint32_t f = 0; f < table->FileCount(); ++f)
    byName[Lower(FileNameOf(table->FilePath(f)))].emplace_back(table->FilePath(f));
  TTexts texts(options.Root);

  // The compiled units and their sources.
  std::vector<TResolvedUnit> units;
  std::vector<std::string> missingUnits;
  size_t ambiguousSources = 0, lostSources = 0;
  for (const TSampleUnit& sample : SampleUnits) {
    const auto it = compiledUnits.find(sample.Name);
    if (it == compiledUnits.end()) {
      missingUnits.push_back(sample.Name);
      continue;
    }
    TCompiledUnit compiled = ParseDump(Output("ppudump " + Quote(it->second.front().string())));
    if (compiled.Sources.empty()) {
      missingUnits.push_back(sample.Name);
      continue;
    }
    compiled.Name = sample.Name;
    units.push_back(Resolve(std::move(compiled), byName, texts, target));
    ambiguousSources += static_cast<size_t>(units.back().Ambiguous);
    for (const std::string& path : units.back().Paths) lostSources += path.empty();
  }
  std::set<std::string> targetFolders;  // the folders the compiler read the sampled units from
  for (const TResolvedUnit& unit : units)
    for (const std::string& path : unit.Paths)
      if (!path.empty()) targetFolders.insert(std::string(FolderOf(path)));

  std::printf("agreement: %zu of %zu units compiled for %s-%s; sources %s (%zu files, %zu declarations)\n",
              units.size(), std::size(SampleUnits), target.Cpu.c_str(), target.Os.c_str(), options.Root.c_str(),
              table->FileCount(), table->Count());
  if (!missingUnits.empty()) {
    std::printf("  not compiled here:");
    for (const std::string& name : missingUnits) std::printf(" %s", name.c_str());
    std::printf("\n");
  }
  std::printf("  index ready in %.1f s (cache: %s)\n", indexSeconds, TLibraryIndex::DefaultCacheFolder().c_str());
  if (lostSources || ambiguousSources)
    std::printf("  source files the units name: %zu not in the tree, %zu not told from a namesake\n",
                lostSources, ambiguousSources);

  // The units: the unit search's first answer for the unit's name.
  {
    size_t right = 0;
    std::vector<std::string> wrong;
    for (const TResolvedUnit& unit : units) {
      TUnitSearch search;  // a new box for each name: no narrowing from the one before
      search.SetTarget(ChosenTarget({}));
      search.Search(files, index.Generation(), unit.Compiled.Name, 5);
      const std::string first =
          search.Results().empty() ? std::string("(nothing)") : files.RelativePath(search.Results().front().File);
      if (!unit.Paths[0].empty() && first == unit.Paths[0])
        ++right;
      else
        wrong.push_back(unit.Compiled.Name + ": " + first + " came first, the compiler's is " +
                        (unit.Paths[0].empty() ? unit.Compiled.Sources[0] + " (not in the tree)" : unit.Paths[0]));
    }
    std::printf("\nunits: first answer right %zu / %zu (%.1f%%)\n", right, units.size(), Percent(right, units.size()));
    for (const std::string& line : wrong) std::printf("  wrong: %s\n", line.c_str());
  }

  // The names.
  constexpr size_t Limit = 200;
  std::vector<TCheck> checks;
  size_t skipped = 0, notInTree = 0, unplaced = 0;
  for (const TResolvedUnit& unit : units) {
    std::set<std::string> seen;
    for (const TSymbol& symbol : unit.Compiled.Symbols) {
      if (!IsSourceDeclaration(unit.Compiled, symbol)) {
        ++skipped;
        continue;
      }
      if (!seen.insert(Lower(symbol.Name)).second) continue;
      const std::string& path =
          static_cast<size_t>(symbol.File) <= unit.Paths.size() ? unit.Paths[static_cast<size_t>(symbol.File) - 1]
                                                                : std::string();
      if (path.empty()) {
        ++notInTree;
        continue;
      }
      uint32_t line = NameLine(texts, path, symbol);
      if (line == 0) {
        ++unplaced;
        line = symbol.Line;
      } else if (IsForward(texts, path, symbol)) {
        if (const uint32_t full = FullDeclarationLine(texts, path, symbol, line)) line = full;
      }
      TCheck check{unit.Compiled.Name, &symbol, path, line, 0, false, TDeclarationTable::None};
      const std::vector<uint32_t> answers = Answers(*table, symbol.Name, Limit);
      if (!answers.empty()) check.First = answers.front();
      for (size_t i = 0; i < answers.size() && !check.Rank; ++i)
        if (table->Entry(answers[i]).Line == line && table->FilePath(table->FileOf(answers[i])) == path)
          check.Rank = i + 1;
      check.Indexed = check.Rank != 0;
      if (!check.Indexed)
        for (uint32_t d : TDeclarationSearch::Named(*table, "", symbol.Name))
          if (table->Entry(d).Line == line && table->FilePath(table->FileOf(d)) == path) check.Indexed = true;
      checks.push_back(check);
    }
  }

  size_t first = 0, top5 = 0, indexed = 0;
  for (const TCheck& c : checks) {
    first += c.Rank == 1;
    top5 += c.Rank >= 1 && c.Rank <= 5;
    indexed += c.Indexed;
  }
  std::printf("\nnames: %zu checked (one per unit that declares it; %zu symbols the compiler made or that are not "
              "declarations left out, %zu in files not in the tree, %zu whose name is not at the recorded place)\n",
              checks.size(), skipped, notInTree, unplaced);
  std::printf("  first answer right  %5.1f%%  (%zu)\n", Percent(first, checks.size()), first);
  std::printf("  in the first five   %5.1f%%  (%zu)\n", Percent(top5, checks.size()), top5);
  std::printf("  indexed at all      %5.1f%%  (%zu; the rest: the index has no declaration there)\n",
              Percent(indexed, checks.size()), indexed);

  std::printf("\n  %-10s %6s %8s %8s\n", "unit", "names", "first", "top 5");
  for (const TResolvedUnit& unit : units) {
    size_t n = 0, f = 0, t = 0;
    for (const TCheck& c : checks) {
      if (c.Unit != unit.Compiled.Name) continue;
      ++n;
      f += c.Rank == 1;
      t += c.Rank >= 1 && c.Rank <= 5;
    }
    std::printf("  %-10s %6zu %7.1f%% %7.1f%%\n", unit.Compiled.Name.c_str(), n, Percent(f, n), Percent(t, n));
  }

  // The worst misses of the ranking: the compiler's declaration is in the
  // index but ranks lowest (not among the answers at all first), in unit
  // order among equals. Those the index lacks are a fault of the scanner,
  // not of the ranking, and are listed apart.
  std::vector<const TCheck*> misses, unindexed;
  for (const TCheck& c : checks) {
    if (c.Rank != 1) misses.push_back(&c);
    if (!c.Indexed) unindexed.push_back(&c);
  }
  std::vector<const TCheck*> worst;
  for (const TCheck* c : misses)
    if (c->Indexed) worst.push_back(c);
  auto badness = [](const TCheck* C) { return C->Rank == 0 ? SIZE_MAX : C->Rank; };
  std::stable_sort(worst.begin(), worst.end(),
                   [&](const TCheck* A, const TCheck* B) { return badness(A) > badness(B); });
  std::printf("\nthe worst misses (the compiler's declaration, its rank; what came first):\n");
  for (size_t i = 0; i < worst.size() && i < 15; ++i) {
    const TCheck& c = *worst[i];
    const std::string rank = c.Rank == 0 ? "below " + std::to_string(Limit) : "#" + std::to_string(c.Rank);
    std::printf("  %-10s %-24s %-10s %s:%u\n", c.Unit.c_str(), c.Symbol->Name.c_str(), rank.c_str(), c.Path.c_str(),
                c.Line);
    const TDeclarationEntry& e = table->Entry(c.First);
    std::printf("  %47s first: %s:%u %s %s\n", "", std::string(table->FilePath(table->FileOf(c.First))).c_str(),
                e.Line, DeclarationKindName(e.Kind()), table->QualifiedName(c.First).c_str());
  }
  std::printf("\nnot in the index at the compiler's place (%zu):\n", unindexed.size());
  for (size_t i = 0; i < unindexed.size() && i < 15; ++i)
    std::printf("  %-10s %-24s %s:%u\n", unindexed[i]->Unit.c_str(), unindexed[i]->Symbol->Name.c_str(),
                unindexed[i]->Path.c_str(), unindexed[i]->Line);
  if (unindexed.size() > 15) std::printf("  and %zu more\n", unindexed.size() - 15);

  // What comes first instead: by kind of place, by folder, by what it is.
  std::map<std::string, size_t> wheres, folders, whats;
  std::map<std::string, const TResolvedUnit*> unitByName;
  for (const TResolvedUnit& unit : units) unitByName[unit.Compiled.Name] = &unit;
  for (const TCheck* c : misses) {
    const TMissKind kind = MissKind(*table, *c, *unitByName[c->Unit], targetFolders);
    ++wheres[kind.Where];
    if (!kind.Folder.empty()) ++folders[kind.Folder + " (" + kind.Where + ")"];
    if (!kind.What.empty()) ++whats[kind.What];
  }
  auto print = [](const char* ATitle, const std::map<std::string, size_t>& ACounts, size_t AShown) {
    std::vector<std::pair<size_t, std::string>> byCount;
    for (const auto& [kind, count] : ACounts) byCount.emplace_back(count, kind);
    std::stable_sort(byCount.begin(), byCount.end(), [](const auto& A, const auto& B) { return A.first > B.first; });
    std::printf("%s\n", ATitle);
    size_t rest = 0;
    for (size_t i = 0; i < byCount.size(); ++i) {
      if (i < AShown)
        std::printf("  %5zu  %s\n", byCount[i].first, byCount[i].second.c_str());
      else
        rest += byCount[i].first;
    }
    if (rest) std::printf("  %5zu  in %zu more\n", rest, byCount.size() - AShown);
  };
  std::printf("\nwhat came first instead, of %zu misses:\n", misses.size());
  print(" where:", wheres, SIZE_MAX);
  print(" what (of those in the index):", whats, SIZE_MAX);
  print(" the folders it came from most:", folders, 15);

  std::printf("\nmeasured in %.1f s\n", std::chrono::duration<double>(TClock::now() - measureStart).count());
  return 0;
}
