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
// Then, for the names used in a sample of library sources, how often the
// resolver's first answer for the name at a place (definition by position)
// is the declaration the compiler bound that very use to, next to what the
// declaration search gives for the bare name, with the resolver's time per
// question and its misses by kind: see "Definitions" further down.
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

#include "index/DeclarationRanking.h"
#include "index/DeclarationTable.h"
#include "index/LibraryIndex.h"
#include "index/UnitRanking.h"
#include "navigation/References.h"
#include "navigation/Resolver.h"
#include "index/Target.h"

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
#include <tuple>
#include <unordered_map>
#include <vector>

using namespace Vantry;
namespace fs = std::filesystem;

namespace {

// The engine's first answers for a name, best first, as the finder shows
// them when the name is typed whole.
// The generation of the table measured: each corpus's table is a new one.
uint64_t TableGeneration = 1;

std::vector<uint32_t> Answers(const TDeclarationTable& ATable, std::string_view AName, size_t ALimit) {
  // One box for all names of a table: its files are ranked for the target
  // once, and again for the next table, which it knows by its generation.
  static TDeclarationSearch search;
  search.SetTarget(ChosenTarget({}));
  search.Search(ATable, TableGeneration, AName, ALimit);
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
  const std::string configuration = Output("fpc -va", true);  // the lines below are views into it
  for (std::string_view line : Lines(configuration)) {
    const size_t option = line.find("\"-Fu");
    if (option == std::string_view::npos) continue;
    std::string_view path = line.substr(option + 4);
    path = path.substr(0, path.find('"'));
    if (path.find(target) == std::string_view::npos) continue;
    if (std::string folder = unitsFolderOf(std::string(path)); !folder.empty()) return folder;
  }
  const std::string version(Trim(Output("fpc -iV")));
  const std::string installed = Output("dpkg -L fp-units-rtl-" + version);
  for (std::string_view line : Lines(installed)) {
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
  std::string_view TextOf(const std::string& APath) {
    LinesOf(APath);
    return FFiles.find(APath)->second->Text;
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

// Whether ALine of the file starts with a declaration of the type: its
// name (after "type" or "generic"), generic parameters, '='.
bool StartsDeclaration(TTexts& ATexts, const std::string& APath, const TSymbol& ASymbol, uint32_t ALine) {
  const auto& lines = ATexts.LinesOf(APath);
  if (ALine < 1 || ALine > lines.size()) return false;
  std::string_view text = Trim(lines[ALine - 1]);
  const std::string lower = Lower(text);
  std::string_view rest = lower;
  for (const std::string_view word : {"type ", "generic "})
    if (rest.rfind(word, 0) == 0) rest = Trim(rest.substr(word.size()));
  const std::string name = Lower(ASymbol.Name);
  if (rest.rfind(name, 0) != 0 || (rest.size() > name.size() && IsNameByte(rest[name.size()]))) return false;
  rest = Trim(rest.substr(name.size()));
  return !rest.empty() && (rest.front() == '=' || rest.front() == '<');
}

// The line of the full declaration that follows a forward one in the same
// file: the first line below AFrom that starts with a declaration of the
// name (StartsDeclaration: not a parameter's default "AParent: TWinControl =
// nil"); 0 when there is none.
uint32_t FullDeclarationLine(TTexts& ATexts, const std::string& APath, const TSymbol& ASymbol, uint32_t AFrom) {
  const auto count = static_cast<uint32_t>(ATexts.LinesOf(APath).size());
  for (uint32_t line = AFrom + 1; line <= count; ++line)
    if (StartsDeclaration(ATexts, APath, ASymbol, line)) return line;
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
// CPU, and the LCL's widgetset. A file in one of them is what the compiler
// reads for this target.
struct TJudgeTarget {
  std::string Os = "linux";
  std::string Cpu = "x86_64";
  std::string Widgetset = "gtk2";
  // 8 for a folder of the widgetset, 4 of the OS, 2 of the family, 1 of the
  // CPU, added up: rtl/linux/x86_64/ before rtl/linux/aarch64/,
  // lcl/interfaces/gtk2/ before lcl/interfaces/gtk/.
  int Rank(std::string_view APath) const {
    const std::string path = "/" + Lower(APath);
    return (path.find("/" + Widgetset + "/") != std::string::npos ? 8 : 0) +
           (path.find("/" + Os + "/") != std::string::npos ? 4 : 0) +
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

// ---------------------------------------------------------------------------
// Definitions: what the name at a place in a library source means.
//
// The judge is the compiler's own record of what each name in a source
// binds to. With browser information on (-b -bl) the compiler notes every
// use of every symbol while it compiles, but the command-line compiler
// keeps that in memory; a small program built from the compiler's own
// sources (fpcrefs/fpcrefs.pas beside this file) runs the same compiler and
// prints the record: each symbol used, where it is declared, and where each
// use stands. The sample units are compiled with it against the installed
// units, into a folder of the cache, never into the sources.
//
// For each use of a unit-level symbol (a routine, type, constant, variable
// or enumeration value of another unit or of the unit itself) and of a
// member of a class, object or record, the resolver is asked what the name
// at that place means, with the file's text and the byte offset of the use.
// The first answer is right when it is in the compiler's file on the line
// where the declaration's name stands (the same rules as for the names
// above). The compiler binds a call to a routine's name, and picks one of
// its overloads later: the headings of all the overloads of that name in
// the declaring scope count as right, since the resolver answers overloads
// together.
//
// Left out, and counted: the symbols the compiler makes itself (named with
// a '$'), the intrinsics (Length, WriteLn...: declared in no source), unit
// names, parameters and locals; uses recorded where the text has no name,
// or another name (the compiler also notes a routine where its call's
// arguments end, a property's reader where the property is read, a
// routine's hidden result...) or no place at all; uses at the declaration
// itself; and declarations whose file is not in the tree.

// The units whose uses are checked: each compiles on its own against the
// installed units (the compiler reads the folder's siblings from source
// when it needs them, into the same scratch folder).
const char* const DefinitionSample[] = {
    "packages/fcl-base/src/advancedipc.pp",   "packages/fcl-base/src/ascii85.pp",
    "packages/fcl-base/src/avl_tree.pp",      "packages/fcl-base/src/base64.pp",
    "packages/fcl-base/src/blowfish.pp",      "packages/fcl-base/src/bufstream.pp",
    "packages/fcl-base/src/cachecls.pp",      "packages/fcl-base/src/contnrs.pp",
    "packages/fcl-base/src/csvdocument.pp",   "packages/fcl-base/src/csvreadwrite.pp",
    "packages/fcl-base/src/custapp.pp",       "packages/fcl-base/src/eventlog.pp",
    "packages/fcl-base/src/fpexprpars.pp",    "packages/fcl-base/src/fpobserver.pp",
    "packages/fcl-base/src/fptemplate.pp",    "packages/fcl-base/src/fptimer.pp",
    "packages/fcl-base/src/gettext.pp",       "packages/fcl-base/src/idea.pp",
    "packages/fcl-base/src/inicol.pp",        "packages/fcl-base/src/inifiles.pp",
    "packages/fcl-base/src/iostream.pp",      "packages/fcl-base/src/maskutils.pp",
    "packages/fcl-base/src/nullstream.pp",    "packages/fcl-base/src/pascodegen.pp",
    "packages/fcl-base/src/pooledmm.pp",      "packages/fcl-base/src/rtfpars.pp",
    "packages/fcl-base/src/rttiutils.pp",     "packages/fcl-base/src/singleinstance.pp",
    "packages/fcl-base/src/advancedsingleinstance.pas", "packages/fcl-base/src/streamcoll.pp",
    "packages/fcl-base/src/streamex.pp",      "packages/fcl-base/src/streamio.pp",
    "packages/fcl-base/src/syncobjs.pp",      "packages/fcl-base/src/uriparser.pp",
    "packages/fcl-base/src/wformat.pp",       "packages/fcl-base/src/whtml.pp",
    "packages/fcl-base/src/wtex.pp",          "packages/fcl-json/src/fpjson.pp",
    "packages/fcl-json/src/fpjsonrtti.pp",    "packages/fcl-json/src/fpjsontopas.pp",
    "packages/fcl-json/src/json2yaml.pp",     "packages/fcl-json/src/jsonconf.pp",
    "packages/fcl-json/src/jsonini.pp",       "packages/fcl-json/src/jsonparser.pp",
    "packages/fcl-json/src/jsonreader.pp",    "packages/fcl-json/src/jsonscanner.pp",
    "packages/fcl-process/src/dbugintf.pp",   "packages/fcl-process/src/dbugmsg.pp",
    "packages/fcl-process/src/pipes.pp",      "packages/fcl-process/src/process.pp",
    "packages/fcl-process/src/simpleipc.pp",  "packages/rtl-objpas/src/inc/convutils.pp",
    "packages/rtl-objpas/src/inc/dateutils.pp", "packages/rtl-objpas/src/inc/fmtbcd.pp",
    "packages/rtl-objpas/src/inc/nullable.pp", "packages/rtl-objpas/src/inc/rtti.pp",
    "packages/rtl-objpas/src/inc/stdconvs.pp", "packages/rtl-objpas/src/inc/strutils.pp",
    "packages/rtl-objpas/src/inc/system.uitypes.pp", "packages/rtl-objpas/src/inc/variants.pp",
    "packages/rtl-objpas/src/inc/widestrutils.pp",
};

// The Lazarus units whose uses are checked, below the Lazarus tree, with
// the folders their packages add to the compiler's search paths ("{ws}":
// the widgetset's folder name): the LCL's core, the target's widgetset, the
// utilities every LCL unit uses, and the virtual tree view, a unit of
// 27,000 lines whose implementation holds procedural types and assembler.
struct TSampleSource {
  const char* Path;
  const char* Folders;  // "-Fi" and "-Fu" options with folders relative to the tree, and other options
};
const TSampleSource LazarusSample[] = {
    {"lcl/forms.pp", "-Filcl/include"},
    {"lcl/controls.pp", "-Filcl/include"},
    {"lcl/graphics.pp", "-Filcl/include"},
    {"lcl/stdctrls.pp", "-Filcl/include"},
    {"lcl/extctrls.pp", "-Filcl/include"},
    {"lcl/comctrls.pp", "-Filcl/include"},
    {"lcl/dialogs.pp", "-Filcl/include"},
    {"lcl/menus.pp", "-Filcl/include"},
    {"lcl/buttons.pp", "-Filcl/include"},
    {"lcl/grids.pas", "-Filcl/include"},
    {"lcl/lclintf.pas", "-Filcl/include"},
    {"lcl/interfacebase.pp", "-Filcl/include"},
    {"lcl/imglist.pp", "-Filcl/include"},
    {"lcl/lresources.pp", "-Filcl/include"},
    {"lcl/interfaces/{ws}/gtk2int.pas", "-Filcl/include -Filcl/interfaces/{ws}"},
    {"lcl/interfaces/{ws}/gtk2proc.pp", "-Filcl/include -Filcl/interfaces/{ws}"},
    {"components/lazutils/lazutf8.pas", ""},
    {"components/lazutils/lazfileutils.pas", ""},
    {"components/virtualtreeview/laz.virtualtrees.pas",
     "-Sm -Ficomponents/virtualtreeview/include/intf/{ws} -Ficomponents/virtualtreeview/include/intf "
     "-Ficomponents/virtualtreeview/units -Fucomponents/virtualtreeview/units/{ws} -Fucomponents/lclextensions "
     "-Ficomponents/lclextensions/include/{ws}"},
};

// The units of the LCL's core whose names are checked, as SampleUnits.
const TSampleUnit LclCoreUnits[] = {
    {"forms", "forms, the application and the screen"},
    {"controls", "the control classes every form is made of"},
    {"graphics", "canvases, fonts, pens, brushes, pictures"},
    {"stdctrls", "buttons, edits, lists, labels"},
    {"extctrls", "panels, timers, images, splitters"},
    {"comctrls", "tree and list views, page controls, status bars"},
    {"dialogs", "message boxes and the common dialogs"},
    {"menus", "main and pop-up menus"},
    {"buttons", "bit and speed buttons"},
    {"grids", "string and draw grids"},
    {"lcltype", "the LCL's Windows-like types and constants"},
    {"lclintf", "the LCL's Windows-like API"},
    {"lclproc", "the LCL's helper routines"},
    {"lmessages", "the LCL's messages"},
    {"graphtype", "the raw image types"},
    {"interfacebase", "the widgetset's base class"},
    {"interfaces", "the widgetset itself: every LCL program uses it"},
    {"lresources", "resources and streaming of forms"},
    {"imglist", "image lists"},
    {"actnlist", "actions"},
    {"clipbrd", "the clipboard"},
    {"themes", "the theme services"},
    {"lclstrconsts", "the LCL's messages"},
    {"wslclclasses", "the widgetset classes' registry"},
    {"wscontrols", "the widgetset's side of the controls"},
    {"gtk2int", "the gtk2 widgetset's class"},
    {"gtk2proc", "the gtk2 widgetset's helper routines"},
    {"gtk2def", "the gtk2 widgetset's types"},
    {"lazutf8", "UTF-8 strings: in nearly every LCL unit"},
    {"lazfileutils", "files and paths in UTF-8"},
};

// One tree measured and what judges it.
struct TCorpus {
  std::string Title;            // "Free Pascal", "Lazarus with Free Pascal"
  std::string Root;             // the folder indexed
  std::map<std::string, std::vector<fs::path>> Compiled;  // the judge's compiled units, by lower-case name
  std::vector<TSampleUnit> Units;       // the units whose names are checked
  std::string SampleBase;               // the folder below Root that the sample's paths start from ("" or "lazarus/")
  std::vector<TSampleSource> Sample;    // the units whose uses are checked
  std::string SampleWidgetset;          // what "{ws}" stands for in the sample
  std::string CompileOptions;           // for every unit of the sample
  std::string CompilerSources;          // the compiler's sources, for the recording compiler
  // Unit-level uses are counted apart by where their declaration lies:
  // a folder below Root and its title ("lazarus/", "Lazarus").
  std::vector<std::pair<std::string, std::string>> Areas;
};

// The folder where benchmarks keep what is slow to make: $XDG_CACHE_HOME
// (or ~/.cache) /vantry-bench.
std::string BenchCacheFolder() {
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg) return std::string(xdg) + "/vantry-bench";
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.cache/vantry-bench";
  return (fs::temp_directory_path() / "vantry-bench").string();
}

std::string Fingerprint(std::string_view AText) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : AText) hash = (hash ^ c) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs a command; its output (errors too) in AOutput; whether it exited 0.
bool Run(const std::string& ACommand, std::string& AOutput) {
  FILE* pipe = popen((ACommand + " 2>&1").c_str(), "r");
  if (!pipe) return false;
  AOutput.clear();
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) AOutput.append(buffer, n);
  return pclose(pipe) == 0;
}

std::string LastLine(std::string_view AText) {
  const std::vector<std::string_view> lines = Lines(Trim(AText));
  return lines.empty() ? std::string() : std::string(lines.back());
}

// The recording compiler, built once from the compiler's sources under
// ARoot into AFolder: its path, or empty with AError told.
std::string BuildRecorder(const std::string& ARoot, const std::string& AUnitsFolder, const std::string& ADriverSource,
                          const std::string& ACpu, const fs::path& AFolder, std::string& AError) {
  const fs::path recorder = AFolder / "fpcrefs";
  if (fs::exists(recorder)) return recorder.string();
  const fs::path compiler = fs::path(ARoot) / "compiler";
  if (!fs::exists(compiler / "pp.pas") || !fs::exists(compiler / "utils" / "msg2inc.pp")) {
    AError = "the compiler's sources are not in " + compiler.string() + " (Debian's fpc-source)";
    return {};
  }
  // The compiler's messages, which it builds into itself: made from the
  // message file its package installs beside the units.
  fs::path messages = compiler / "msg" / "errore.msg";
  if (!fs::exists(messages)) messages = fs::path(AUnitsFolder).parent_path().parent_path() / "msg" / "errore.msg";
  if (!fs::exists(messages)) {
    AError = "the compiler's message file errore.msg is not found";
    return {};
  }
  const fs::path build = AFolder / "build";
  std::error_code error;
  fs::remove_all(build, error);
  fs::create_directories(build, error);
  std::string output;
  if (!Run("fpc -v0 -FU" + Quote(build.string()) + " -FE" + Quote(build.string()) + " " +
               Quote((compiler / "utils" / "msg2inc.pp").string()),
           output) ||
      !Run("cd " + Quote(build.string()) + " && ./msg2inc " + Quote(messages.string()) + " msg msg", output)) {
    AError = "cannot make the compiler's messages: " + LastLine(output);
    return {};
  }
  std::string command = "fpc -v0 -Sg -O1 -d" + ACpu + " -Fi" + Quote(build.string());
  std::vector<fs::path> folders{compiler / ACpu};
  if (ACpu == "x86_64" || ACpu == "i386") folders.push_back(compiler / "x86");
  folders.push_back(compiler / "systems");
  folders.push_back(compiler);
  for (const fs::path& folder : folders) command += " -Fu" + Quote(folder.string()) + " -Fi" + Quote(folder.string());
  command += " -FU" + Quote(build.string()) + " -FE" + Quote(build.string()) + " " + Quote(ADriverSource);
  if (!Run(command, output)) {
    AError = "cannot build the recording compiler: " + LastLine(output);
    return {};
  }
  std::error_code kept;
  fs::rename(build / "fpcrefs", recorder, kept);
  fs::remove_all(build, error);
  if (kept) {
    AError = "cannot keep the recording compiler in " + AFolder.string() + ": " + kept.message();
    return {};
  }
  return recorder.string();
}

// The compiler's record for one compiled unit, as the recording compiler
// prints it.
struct TRecordPlace {
  int Module = 0, File = 0;
  uint32_t Line = 0, Column = 0;
  bool operator==(const TRecordPlace&) const = default;
};

struct TRecordSymbol {
  std::string Kind;   // the compiler's: typesym, procsym, constsym, fieldvarsym...
  std::string Table;  // where it is declared: globalsymtable, staticsymtable, ObjectSymtable...
  std::string Owner;  // the class, record or unit that holds it
  std::string Name;
  TRecordPlace Place;
  std::vector<TRecordPlace> Overloads;  // a routine's headings
  std::vector<TRecordPlace> Uses;
};

struct TRecord {
  int Compiled = 0;                               // the module compiled from source
  std::map<int, std::string> Modules;             // index: name
  std::map<std::pair<int, int>, std::string> Files;  // module, file: path as the compiler gives it
  std::vector<TRecordSymbol> Symbols;
};

TRecord ParseRecord(std::string_view AText) {
  TRecord record;
  std::unordered_map<std::string, size_t> byId;
  auto fields = [](std::string_view ALine) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
      const size_t tab = ALine.find('\t', start);
      parts.push_back(ALine.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    return parts;
  };
  auto number = [](std::string_view AText) { return std::atoi(std::string(AText).c_str()); };
  auto place = [&](const std::vector<std::string_view>& AParts, size_t AFrom) {
    return TRecordPlace{number(AParts[AFrom]), number(AParts[AFrom + 1]), static_cast<uint32_t>(number(AParts[AFrom + 2])),
                        static_cast<uint32_t>(number(AParts[AFrom + 3]))};
  };
  for (std::string_view line : Lines(AText)) {
    if (line.size() < 2 || line[1] != '\t') continue;
    const std::vector<std::string_view> parts = fields(line);
    switch (line[0]) {
      case 'C':
        if (parts.size() == 2) record.Compiled = number(parts[1]);
        break;
      case 'M':
        if (parts.size() == 3) record.Modules[number(parts[1])] = std::string(parts[2]);
        break;
      case 'F':
        if (parts.size() == 4) record.Files[{number(parts[1]), number(parts[2])}] = std::string(parts[3]);
        break;
      case 'S':
        if (parts.size() == 10) {
          byId[std::string(parts[1])] = record.Symbols.size();
          record.Symbols.push_back({std::string(parts[2]), std::string(parts[3]), std::string(parts[4]),
                                    std::string(parts[5]), place(parts, 6), {}, {}});
        }
        break;
      case 'O':
      case 'U':
        if (parts.size() == 6)
          if (const auto it = byId.find(std::string(parts[1])); it != byId.end())
            (line[0] == 'O' ? record.Symbols[it->second].Overloads : record.Symbols[it->second].Uses)
                .push_back(place(parts, 2));
        break;
    }
  }
  return record;
}

// One use checked: where it stands, what the compiler binds it to, and
// what the resolver and a plain name search answered first.
struct TUseCheck {
  std::string Scope;  // "unit level" or "member"
  std::string Name;
  std::string Kind;   // the compiler's kind of symbol
  std::string Path;   // the use's file, relative to the root
  uint32_t Line = 0, Column = 0;
  std::vector<std::pair<std::string, uint32_t>> Places;  // right answers: file, line; the symbol's own first
  size_t Rank = 0;       // the resolver's first right answer, from 1; 0: none right
  bool NameFirst = false;  // the name search's first answer is right
  bool Indexed = true;     // the index holds a declaration of the name at a right place (members: not looked up)
  bool Scoped = false;
  std::string FirstPath;  // the resolver's first answer, relative when in the tree
  uint32_t FirstLine = 0;
  std::string FirstKind, FirstName, Via, Note;
};

bool IsRightPlace(const TUseCheck& ACheck, const std::string& APath, uint32_t ALine) {
  for (const auto& [path, line] : ACheck.Places)
    if (line == ALine && path == APath) return true;
  return false;
}

// What kind of miss a wrong first answer is, in words the resolver's
// developer can act on.
std::string DefinitionMissKind(const TUseCheck& ACheck, const std::vector<std::string>& ADeclaringFiles) {
  std::string how;
  if (ACheck.FirstPath.empty())
    return ACheck.Indexed ? "no answer at all" : "no answer at all; the index has no declaration at the compiler's place";
  if (!ACheck.Scoped) {
    how = ACheck.Note.find("is not known") != std::string::npos ? "by name alone: a type along the chain not known"
                                                                : "by name alone: not found in reach";
  } else {
    how = "by the scope rules";
  }
  std::string where;
  const bool member = ACheck.FirstName.find('.') != std::string::npos;
  if (ACheck.FirstPath == ACheck.Places.front().first)
    where = "the declaring file, another line";
  else if (std::find(ADeclaringFiles.begin(), ADeclaringFiles.end(), ACheck.FirstPath) != ADeclaringFiles.end())
    where = "another file of the declaring unit";
  else if (ACheck.FirstPath == ACheck.Path)
    where = "a declaration in the asking file";
  else
    where = "another unit";
  if (ACheck.Scope == "member" && !member) where += ", not a member";
  if (ACheck.Scope != "member" && member) where += ", a member";
  return how + "; first: " + where + (ACheck.Indexed ? "" : "; the index has no declaration at the compiler's place");
}

struct TDefinitionFigures {
  size_t Checked = 0, First = 0, Top5 = 0, NameFirst = 0;
};

// References: for the declarations the most checked uses are bound to, the
// share of those uses (the compiler's own bindings) that the references
// search lists. A use counts as listed when a reference stands on its line
// of its file.
void MeasureReferences(const std::vector<TUseCheck>& AChecks, const std::shared_ptr<const TDeclarationTable>& ATable) {
  // By the declaration's place and name: one line may declare several
  // names (an enumeration's values).
  using TKey = std::tuple<std::string, uint32_t, std::string>;
  std::map<TKey, std::vector<const TUseCheck*>> byDeclaration;
  for (const TUseCheck& c : AChecks)
    if (c.Scope != "built in" && !c.Places.empty())
      byDeclaration[{c.Places.front().first, c.Places.front().second, Lower(c.Name.substr(c.Name.rfind('.') + 1))}]
          .push_back(&c);
  std::vector<std::pair<size_t, TKey>> most;
  for (const auto& [place, uses] : byDeclaration) most.emplace_back(uses.size(), place);
  std::sort(most.rbegin(), most.rend());
  if (most.size() > 25) most.resize(25);
  const std::string rootSlash = ATable->Root() + "/";
  size_t uses = 0, listed = 0;
  std::vector<std::string> misses;
  std::printf("\n  references: the uses of the %zu declarations most used in the sample, listed by the references search\n",
              most.size());
  for (const auto& [count, place] : most) {
    // The table's declaration at the compiler's place.
    uint32_t declaration = TDeclarationTable::None;
    const auto& [path, line, name] = place;
    for (uint32_t f = 0; f < ATable->FileCount() && declaration == TDeclarationTable::None; ++f)
      if (ATable->FilePath(f) == path)
        for (uint32_t d = ATable->File(f).FirstEntry; d < ATable->File(f + 1).FirstEntry; ++d)
          if (ATable->Entry(d).Line == line && Lower(ATable->Name(d)) == name) declaration = d;
    if (declaration == TDeclarationTable::None) continue;
    TReferenceSearch search(ATable, ChosenTarget({}));
    const auto t0 = std::chrono::steady_clock::now();
    std::set<std::pair<std::string, uint32_t>> found;
    for (const TReference& r : search.Find(search.TargetOf(declaration)))
      found.emplace(r.Path.substr(r.Path.rfind(rootSlash, 0) == 0 ? rootSlash.size() : 0), r.Line);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    size_t hit = 0;
    for (const TUseCheck* c : byDeclaration[place]) {
      const bool listed = found.count({c->Path, c->Line});
      hit += listed;
      if (!listed && misses.size() < 12) misses.push_back(c->Path + ":" + std::to_string(c->Line) + " " + c->Name);
    }
    uses += count;
    listed += hit;
    std::printf("  %-28s %4zu uses, %4zu listed  (%zu references in %.0f ms)\n",
                ATable->QualifiedName(declaration).c_str(), count, hit, found.size(), ms);
  }
  std::printf("  recall: %zu of %zu uses listed (%.1f%%; target: at least 99%%)\n", listed, uses,
              uses ? 100.0 * static_cast<double>(listed) / static_cast<double>(uses) : 0.0);
  for (const std::string& miss : misses) std::printf("    not listed: %s\n", miss.c_str());
}

// What "{ws}" stands for in AText.
std::string WithWidgetset(std::string AText, const std::string& AWidgetset) {
  for (size_t at; (at = AText.find("{ws}")) != std::string::npos;) AText.replace(at, 4, AWidgetset);
  return AText;
}

void MeasureDefinitions(const TCorpus& ACorpus, size_t AMostUses, size_t AExamples, const std::string& AUnitsFolder,
                        const std::unordered_map<std::string, std::vector<std::string>>& AByName, TTexts& ATexts,
                        const TJudgeTarget& AJudgeTarget, const std::shared_ptr<const TDeclarationTable>& ATable) {
  using TClock = std::chrono::steady_clock;
  const auto start = TClock::now();
  const std::string root = ATable->Root();
  const std::map<std::string, std::vector<fs::path>>& ACompiledUnits = ACorpus.Compiled;

  // The recording compiler and the sample's record, kept in the cache: the
  // key changes with the recorder's source, the compiler and the sources;
  // each corpus keeps its sample's record apart.
  const std::string recorderSource = VANTRY_FPCREFS_SOURCE;
  const std::string recorderText = ReadFile(recorderSource);
  if (recorderText.empty()) {
    std::printf("\ndefinitions: the recording compiler's source %s is missing; nothing measured\n", recorderSource.c_str());
    return;
  }
  const std::string version(Trim(Output("fpc -iV")));
  const fs::path folder = fs::path(BenchCacheFolder()) /
                          ("compiler-record-" + Fingerprint(recorderText + version + ACorpus.CompilerSources + AUnitsFolder));
  const std::string sampleKey = ACorpus.SampleBase.empty() ? std::string("units")
                                                           : "units-" + Fingerprint(root + ACorpus.CompileOptions);
  std::error_code error;
  fs::create_directories(folder / sampleKey, error);
  std::string failure;
  const std::string recorder =
      BuildRecorder(ACorpus.CompilerSources, AUnitsFolder, recorderSource, AJudgeTarget.Cpu, folder, failure);
  if (recorder.empty()) {
    std::printf("\ndefinitions: %s; nothing measured\n", failure.c_str());
    return;
  }
  std::vector<std::pair<std::string, TRecord>> records;
  std::vector<std::string> failed;
  size_t compiledNow = 0;
  const fs::path scratch = folder / "scratch";
  const fs::path base = fs::path(root) / ACorpus.SampleBase;
  for (const TSampleSource& item : ACorpus.Sample) {
    const std::string sample = ACorpus.SampleBase + WithWidgetset(item.Path, ACorpus.SampleWidgetset);
    const fs::path source = fs::path(root) / sample;
    std::string key = sample;
    std::replace(key.begin(), key.end(), '/', '%');
    const fs::path saved = folder / sampleKey / (key + ".txt");
    std::string text = ReadFile(saved);
    if (text.empty()) {
      if (!fs::exists(source)) {
        failed.push_back(sample + ": not in the tree");
        continue;
      }
      fs::create_directories(scratch, error);
      std::string command = Quote(recorder) + " -Mobjfpc -b -bl -ve -FU" + Quote(scratch.string()) + " -FE" +
                            Quote(scratch.string()) + ACorpus.CompileOptions;
      const fs::path dir = source.parent_path();
      for (const fs::path& include : {dir, dir / "unix", dir / AJudgeTarget.Os})
        if (IsFolder(include.string())) command += " -Fi" + Quote(include.string());
      // The package's own folders, given below the tree, and its options.
      std::istringstream folders(WithWidgetset(item.Folders, ACorpus.SampleWidgetset));
      for (std::string option; folders >> option;)
        if (option.rfind("-Fi", 0) == 0 || option.rfind("-Fu", 0) == 0)
          command += " " + option.substr(0, 3) + Quote((base / option.substr(3)).string());
        else
          command += " " + Quote(option);
      if (!Run(command + " " + Quote(source.string()), text)) {
        failed.push_back(sample + ": " + LastLine(text));
        continue;
      }
      std::ofstream(saved, std::ios::binary) << text;
      ++compiledNow;
    }
    records.emplace_back(sample, ParseRecord(text));
  }
  fs::remove_all(scratch, error);

  // A recorded file in the tree: the compiled units' own sources by their
  // paths; the installed units' by the match rules above, from ppudump.
  std::map<std::string, TResolvedUnit> installed;
  auto treePath = [&](const TRecord& ARecord, int AModule, int AFile) -> std::string {
    if (const auto it = ARecord.Files.find({AModule, AFile}); it != ARecord.Files.end()) {
      const fs::path path = fs::path(it->second).lexically_normal();
      if (path.is_absolute()) {
        const fs::path relative = path.lexically_relative(root);
        return relative.empty() || *relative.begin() == ".." ? std::string() : relative.string();
      }
    }
    const auto module = ARecord.Modules.find(AModule);
    if (module == ARecord.Modules.end()) return {};
    const std::string name = Lower(module->second);
    auto unit = installed.find(name);
    if (unit == installed.end()) {
      TResolvedUnit resolved;
      if (const auto c = ACompiledUnits.find(name); c != ACompiledUnits.end()) {
        TCompiledUnit compiled = ParseDump(Output("ppudump " + Quote(c->second.front().string())));
        compiled.Name = name;
        if (!compiled.Sources.empty()) resolved = Resolve(std::move(compiled), AByName, ATexts, AJudgeTarget);
      }
      unit = installed.emplace(name, std::move(resolved)).first;
    }
    return AFile >= 1 && static_cast<size_t>(AFile) <= unit->second.Paths.size()
               ? unit->second.Paths[static_cast<size_t>(AFile) - 1]
               : std::string();
  };
  // The line where a declaration's name stands, by the rules for names.
  size_t unplaced = 0;
  auto judgedLine = [&](const std::string& APath, const TRecordSymbol& ASymbol, const TRecordPlace& APlace) {
    TSymbol symbol;
    symbol.Name = ASymbol.Name;
    symbol.Kind = ASymbol.Kind == "typesym" ? "Type" : ASymbol.Kind;
    symbol.File = APlace.File;
    symbol.Line = APlace.Line;
    symbol.Column = APlace.Column;
    uint32_t line = NameLine(ATexts, APath, symbol);
    if (line == 0) {
      ++unplaced;
      return APlace.Line;
    }
    if (IsForward(ATexts, APath, symbol))
      if (const uint32_t full = FullDeclarationLine(ATexts, APath, symbol, line)) line = full;
    return line;
  };

  // The uses to ask about.
  std::map<std::string, size_t> leftOut;
  size_t recorded = 0;
  std::vector<TUseCheck> checks;
  std::vector<std::vector<std::string>> declaringFiles;  // per check
  std::vector<uint32_t> offsets;                           // per check
  for (const auto& [sample, record] : records) {
    std::set<std::pair<std::string, uint32_t>> asked;
    std::map<int, std::vector<std::string>> moduleFiles;
    for (const TRecordSymbol& symbol : record.Symbols) {
      std::string scope;
      if (symbol.Name.find('$') != std::string::npos)
        scope = "symbols the compiler made";
      else if (symbol.Kind == "syssym")
        scope = "intrinsics (declared in no source)";
      else if (symbol.Kind == "unitsym")
        scope = "unit names";
      else if (symbol.Table == "localsymtable" || symbol.Table == "parasymtable")
        scope = "parameters and locals";
      else if (symbol.Table == "globalsymtable" || symbol.Table == "staticsymtable")
        scope = "unit level";
      else if (symbol.Table == "ObjectSymtable" || symbol.Table == "recordsymtable")
        scope = "member";
      else
        scope = "other symbols (" + symbol.Kind + " in " + symbol.Table + ")";
      const bool measured = scope == "unit level" || scope == "member";
      std::string declPath;
      std::vector<std::pair<std::string, uint32_t>> places;
      bool builtIn = false;
      for (const TRecordPlace& use : symbol.Uses) {
        if (use.Module != record.Compiled) continue;
        ++recorded;
        if (!measured) {
          ++leftOut[scope];
          continue;
        }
        if (use == symbol.Place ||
            std::find(symbol.Overloads.begin(), symbol.Overloads.end(), use) != symbol.Overloads.end()) {
          ++leftOut["uses at the declaration itself"];
          continue;
        }
        if (use.File == 0) {
          ++leftOut["uses the compiler made, of no source place"];
          continue;
        }
        const std::string path = treePath(record, use.Module, use.File);
        if (path.empty()) {
          ++leftOut["uses in files not in the tree"];
          continue;
        }
        const auto& lines = ATexts.LinesOf(path);
        const std::string_view text = ATexts.TextOf(path);
        if (use.Line < 1 || use.Line > lines.size() || use.Column < 1 || use.Column > lines[use.Line - 1].size()) {
          ++leftOut["uses recorded where the text has no name"];
          continue;
        }
        uint32_t offset = static_cast<uint32_t>(lines[use.Line - 1].data() - text.data()) + use.Column - 1;
        if (text[offset] == '&') ++offset;  // &Name: a keyword used as a name
        size_t end = offset;
        while (end < text.size() && IsNameByte(text[end])) ++end;
        if (end == offset || (offset > 0 && IsNameByte(text[offset - 1]))) {
          ++leftOut["uses recorded where the text has no name"];
          continue;
        }
        if (Lower(text.substr(offset, end - offset)) != Lower(symbol.Name)) {
          ++leftOut["uses recorded where the text has another name"];
          continue;
        }
        if (!asked.insert({path, offset}).second) {
          ++leftOut["uses recorded twice"];
          continue;
        }
        if (places.empty()) {
          declPath = treePath(record, symbol.Place.Module, symbol.Place.File);
          if (!declPath.empty()) {
            // The types and constants the compiler makes itself (Boolean,
            // Int64, True) stand at the System unit's word "interface".
            TSymbol heading;
            heading.Line = symbol.Place.Line;
            heading.Column = symbol.Place.Column;
            builtIn = StandsAt(ATexts, declPath, heading, "interface");
            places.emplace_back(declPath, builtIn ? symbol.Place.Line : judgedLine(declPath, symbol, symbol.Place));
          }
          for (const TRecordPlace& overload : symbol.Overloads) {
            if (overload.Module != symbol.Place.Module) continue;
            const std::string overloadPath = treePath(record, overload.Module, overload.File);
            if (overloadPath.empty()) continue;
            const std::pair<std::string, uint32_t> place{overloadPath, judgedLine(overloadPath, symbol, overload)};
            if (std::find(places.begin(), places.end(), place) == places.end()) places.push_back(place);
          }
        }
        if (declPath.empty()) {
          ++leftOut["uses of declarations in files not in the tree"];
          continue;
        }
        auto files = moduleFiles.find(symbol.Place.Module);
        if (files == moduleFiles.end()) {
          std::vector<std::string> found;
          for (const auto& [key, name] : record.Files)
            if (key.first == symbol.Place.Module)
              if (std::string p = treePath(record, key.first, key.second); !p.empty()) found.push_back(p);
          files = moduleFiles.emplace(symbol.Place.Module, std::move(found)).first;
        }
        TUseCheck check;
        check.Scope = builtIn ? "built in" : scope;
        check.Name = symbol.Owner.empty() || scope != "member" ? symbol.Name : symbol.Owner + "." + symbol.Name;
        check.Kind = symbol.Kind;
        check.Path = path;
        check.Line = use.Line;
        check.Column = use.Column;
        check.Places = places;
        checks.push_back(std::move(check));
        declaringFiles.push_back(files->second);
        offsets.push_back(offset);
      }
    }
  }

  // A sample of the uses, spread evenly over the files in their order, when
  // there are more than AMostUses: the resolver takes milliseconds a
  // question, and the record holds tens of thousands.
  const size_t allUses = checks.size();
  {
    std::vector<size_t> order(checks.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t A, size_t B) {
      return checks[A].Path != checks[B].Path ? checks[A].Path < checks[B].Path : offsets[A] < offsets[B];
    });
    if (AMostUses && order.size() > AMostUses) {
      std::vector<size_t> chosen;
      for (size_t i = 0; i < AMostUses; ++i) chosen.push_back(order[i * order.size() / AMostUses]);
      order = std::move(chosen);
    }
    std::vector<TUseCheck> sampled;
    std::vector<std::vector<std::string>> sampledFiles;
    std::vector<uint32_t> sampledOffsets;
    for (size_t i : order) {
      sampled.push_back(std::move(checks[i]));
      sampledFiles.push_back(std::move(declaringFiles[i]));
      sampledOffsets.push_back(offsets[i]);
    }
    checks = std::move(sampled);
    declaringFiles = std::move(sampledFiles);
    offsets = std::move(sampledOffsets);
  }

  // The questions, in file order: the resolver reads each file once.
  const auto askStart = TClock::now();
  TResolver resolver(ATable, ChosenTarget({}));
  const std::string rootSlash = root + "/";
  auto relative = [&](const std::string& APath) {
    return APath.rfind(rootSlash, 0) == 0 ? APath.substr(rootSlash.size()) : APath;
  };
  for (size_t i = 0; i < checks.size(); ++i) {
    TUseCheck& c = checks[i];
    const TResolution resolution = resolver.Resolve(rootSlash + c.Path, ATexts.TextOf(c.Path), offsets[i]);
    c.Scoped = resolution.Scoped;
    c.Via = resolution.Via;
    c.Note = resolution.Note;
    for (size_t a = 0; a < resolution.Answers.size() && !c.Rank; ++a)
      if (IsRightPlace(c, relative(resolution.Answers[a].Path), resolution.Answers[a].Line)) c.Rank = a + 1;
    if (!resolution.Answers.empty()) {
      const TAnswer& first = resolution.Answers.front();
      c.FirstPath = relative(first.Path);
      c.FirstLine = first.Line;
      c.FirstKind = first.Kind;
      c.FirstName = first.Name;
    }
    const std::vector<uint32_t> named = Answers(*ATable, c.Name.substr(c.Name.rfind('.') + 1), 1);
    if (c.Scope != "member" && c.Rank == 0) {
      c.Indexed = false;
      for (uint32_t d : TDeclarationSearch::Named(*ATable, "", c.Name))
        c.Indexed |= IsRightPlace(c, std::string(ATable->FilePath(ATable->FileOf(d))), ATable->Entry(d).Line);
    }
    c.NameFirst = !named.empty() && IsRightPlace(c, std::string(ATable->FilePath(ATable->FileOf(named.front()))),
                                                  ATable->Entry(named.front()).Line);
  }
  const double askSeconds = std::chrono::duration<double>(TClock::now() - askStart).count();

  // Warm: the same questions again, a spread of them, each timed.
  std::vector<double> times;
  const size_t step = std::max<size_t>(1, checks.size() / 2000);
  for (size_t i = 0; i < checks.size(); i += step) {
    const auto t0 = TClock::now();
    (void)resolver.Resolve(rootSlash + checks[i].Path, ATexts.TextOf(checks[i].Path), offsets[i]);
    times.push_back(std::chrono::duration<double, std::milli>(TClock::now() - t0).count());
  }
  std::sort(times.begin(), times.end());
  auto percentile = [&](double AShare) {
    return times.empty() ? 0.0 : times[std::min(times.size() - 1, static_cast<size_t>(AShare * (times.size() - 1) + 0.5))];
  };

  std::printf("\ndefinitions: %zu units compiled with the compiler's record of uses (%zu now, the rest from the cache %s)\n",
              records.size(), compiledNow, folder.string().c_str());
  for (const std::string& line : failed) std::printf("  not compiled: %s\n", line.c_str());
  std::printf("  uses recorded in the units' own text: %zu; to ask about: %zu, asked: %zu%s; left out:\n", recorded,
              allUses, checks.size(), checks.size() < allUses ? " (spread evenly over the files)" : "");
  {
    std::vector<std::pair<size_t, std::string>> byCount;
    for (const auto& [reason, count] : leftOut) byCount.emplace_back(count, reason);
    std::sort(byCount.rbegin(), byCount.rend());
    for (const auto& [count, reason] : byCount) std::printf("  %7zu  %s\n", count, reason.c_str());
  }
  if (unplaced) std::printf("  %zu declarations whose name is not at the recorded place (judged at the recorded line)\n", unplaced);

  std::printf("\n  %-26s %7s %8s %8s %13s\n", "", "uses", "first", "top 5", "name search");
  for (const char* scope : {"unit level", "member", "all"}) {
    TDefinitionFigures f;
    for (const TUseCheck& c : checks) {
      if (c.Scope == "built in" || (std::string_view(scope) != "all" && c.Scope != scope)) continue;
      ++f.Checked;
      f.First += c.Rank == 1;
      f.Top5 += c.Rank >= 1 && c.Rank <= 5;
      f.NameFirst += c.NameFirst;
    }
    std::printf("  %-26s %7zu %7.1f%% %7.1f%% %12.1f%%\n", scope, f.Checked, Percent(f.First, f.Checked),
                Percent(f.Top5, f.Checked), Percent(f.NameFirst, f.Checked));
  }
  // Unit-level uses by where their declaration lies, all of them and the
  // calls (routines) among them.
  for (const auto& [area, title] : ACorpus.Areas) {
    for (const bool calls : {false, true}) {
      TDefinitionFigures f;
      for (const TUseCheck& c : checks) {
        if (c.Scope != "unit level" || c.Places.front().first.rfind(area, 0) != 0 || (calls && c.Kind != "procsym")) continue;
        ++f.Checked;
        f.First += c.Rank == 1;
        f.Top5 += c.Rank >= 1 && c.Rank <= 5;
        f.NameFirst += c.NameFirst;
      }
      const std::string row = (calls ? "calls to " : "bound to ") + title;
      std::printf("  %-26s %7zu %7.1f%% %7.1f%% %12.1f%%\n", row.c_str(), f.Checked, Percent(f.First, f.Checked),
                  Percent(f.Top5, f.Checked), Percent(f.NameFirst, f.Checked));
    }
  }
  {
    TDefinitionFigures f;
    for (const TUseCheck& c : checks) {
      if (c.Scope != "member" || c.Kind != "procsym") continue;
      ++f.Checked;
      f.First += c.Rank == 1;
      f.Top5 += c.Rank >= 1 && c.Rank <= 5;
      f.NameFirst += c.NameFirst;
    }
    std::printf("  %-26s %7zu %7.1f%% %7.1f%% %12.1f%%\n", "member calls", f.Checked, Percent(f.First, f.Checked),
                Percent(f.Top5, f.Checked), Percent(f.NameFirst, f.Checked));
  }
  std::printf("  (first, top 5: the resolver's answers; name search: the first answer for the bare name)\n");
  std::printf("  unit level, by kind of symbol:\n");
  for (const char* kind : {"procsym", "typesym", "constsym", "enumsym", "staticvarsym", "absolutevarsym", "propertysym"}) {
    TDefinitionFigures f;
    for (const TUseCheck& c : checks) {
      if (c.Scope != "unit level" || c.Kind != kind) continue;
      ++f.Checked;
      f.First += c.Rank == 1;
      f.Top5 += c.Rank >= 1 && c.Rank <= 5;
      f.NameFirst += c.NameFirst;
    }
    if (f.Checked)
      std::printf("    %-14s %5zu %7.1f%% %7.1f%% %12.1f%%\n", kind, f.Checked, Percent(f.First, f.Checked),
                  Percent(f.Top5, f.Checked), Percent(f.NameFirst, f.Checked));
  }
  {
    size_t builtIns = 0, answered = 0;
    for (const TUseCheck& c : checks)
      if (c.Scope == "built in") ++builtIns, answered += !c.FirstPath.empty();
    std::printf("  built into the compiler (Boolean, Int64, True...: declared in no source): %zu uses, and for %zu of "
                "them the resolver's first answer is a declaration of that name somewhere\n",
                builtIns, answered);
  }
  std::printf("\n  resolver, warm: median %.3f ms, 95th percentile %.3f ms per question (%zu questions); "
              "all %zu questions the first time: %.1f s\n",
              percentile(0.5), percentile(0.95), times.size(), checks.size(), askSeconds);

  // The misses by kind, and the worst of them: not among the answers at
  // all first, then the lowest ranked; a few of each kind.
  std::map<std::string, std::vector<size_t>> byKind;
  std::map<std::string, std::pair<size_t, size_t>> kindScopes;  // unit level, member
  for (size_t i = 0; i < checks.size(); ++i) {
    if (checks[i].Rank == 1 || checks[i].Scope == "built in") continue;
    const std::string kind = DefinitionMissKind(checks[i], declaringFiles[i]);
    byKind[kind].push_back(i);
    (checks[i].Scope == "member" ? kindScopes[kind].second : kindScopes[kind].first)++;
  }
  std::vector<std::pair<size_t, std::string>> kinds;
  for (const auto& [kind, list] : byKind) kinds.emplace_back(list.size(), kind);
  std::sort(kinds.rbegin(), kinds.rend());
  std::printf("\n  misses by kind (unit level, member):\n");
  for (const auto& [count, kind] : kinds)
    std::printf("  %7zu  (%zu, %zu)  %s\n", count, kindScopes[kind].first, kindScopes[kind].second, kind.c_str());
  auto badness = [&](size_t I) { return checks[I].Rank == 0 ? SIZE_MAX : checks[I].Rank; };
  for (auto& [kind, list] : byKind)
    std::stable_sort(list.begin(), list.end(), [&](size_t A, size_t B) { return badness(A) > badness(B); });
  // Twenty in all, taken from the kinds in turns; or AExamples of each kind.
  std::map<std::string, size_t> shown;
  size_t total = 0;
  const size_t most = AExamples ? SIZE_MAX : 20;
  for (size_t round = 0; total < most && (!AExamples || round < AExamples); ++round) {
    bool any = false;
    for (const auto& [count, kind] : kinds)
      if (round < byKind[kind].size() && total < most) ++shown[kind], ++total, any = true;
    if (!any) break;
  }
  std::printf("\n  the worst misses, %zu, by kind (the use; the compiler's declaration; what came first):\n", total);
  for (const auto& [count, kind] : kinds) {
    if (!shown[kind]) continue;
    std::printf("  %s:\n", kind.c_str());
    for (size_t n = 0; n < shown[kind]; ++n) {
      const TUseCheck& c = checks[byKind[kind][n]];
      const std::string rank = c.Rank == 0 ? "not among the answers" : "#" + std::to_string(c.Rank);
      std::printf("    %s:%u:%u %s (%s, %s)\n", c.Path.c_str(), c.Line, c.Column, c.Name.c_str(), c.Kind.c_str(),
                  rank.c_str());
      std::printf("      compiler: %s:%u\n", c.Places.front().first.c_str(), c.Places.front().second);
      if (c.FirstPath.empty())
        std::printf("      first:    nothing\n");
      else
        std::printf("      first:    %s:%u %s %s\n", c.FirstPath.c_str(), c.FirstLine, c.FirstKind.c_str(),
                    c.FirstName.c_str());
      if (!c.Via.empty()) std::printf("      via:      %s\n", c.Via.c_str());
      if (!c.Note.empty()) std::printf("      note:     %s\n", c.Note.c_str());
    }
  }
  MeasureReferences(checks, ATable);
  std::printf("\n  definitions measured in %.1f s\n", std::chrono::duration<double>(TClock::now() - start).count());
}


struct TOptions {
  std::string Root = VANTRY_FPC_SOURCE;
  std::string UnitsFolder;
  std::string Lazarus;  // the Lazarus sources; empty: those of the installed LCL units, if any
  bool LazarusOnly = false;
  size_t Uses = 6000;
  size_t Examples = 0;
};

constexpr const char* Usage =
    "Usage: agreement_bench [--root DIR] [--units-dir DIR] [--lazarus DIR] [--lazarus-only] [--uses N] [--examples N]\n"
    "  --root DIR       the Free Pascal sources (default: the ones the build found)\n"
    "  --lazarus DIR    the Lazarus sources, measured with the Free Pascal sources beside them\n"
    "                   (default: the tree of the installed LCL units, Debian's lcl-units-*)\n"
    "  --lazarus-only   measure only Lazarus with the Free Pascal sources\n"
    "  --units-dir DIR  the compiled units of the target (default: the compiler's own)\n"
    "  --uses N         definitions: ask about N uses, spread over the sample (default 6000; 0: all)\n"
    "  --examples N     definitions: show N misses of each kind (default: the 20 worst in all)\n";


// Indexes one corpus as the IDE does and measures it: the units, the
// names, the definitions.
void MeasureCorpus(const TCorpus& ACorpus, const TOptions& AOptions, const TJudgeTarget& ATarget) {
  using TClock = std::chrono::steady_clock;
  ++TableGeneration;
  // The index, as the IDE builds it (and caches it).
  const auto indexStart = TClock::now();
  TLibraryIndex index;
  index.SetTarget(ChosenTarget({}));  // read for the target, as the IDE reads it
  index.Refresh(ACorpus.Root, true);
  while (!index.WaitForWalk(std::chrono::milliseconds(200))) {
  }
  const auto table = index.Declarations();
  if (!table || !index.LastReport().Error.empty()) {
    std::printf("agreement: cannot index %s: %s\n", ACorpus.Root.c_str(), index.LastReport().Error.c_str());
    return;
  }
  const double indexSeconds = std::chrono::duration<double>(TClock::now() - indexStart).count();
  const auto measureStart = TClock::now();
  const TFileTable& files = index.Files();
  std::unordered_map<std::string, std::vector<std::string>> byName;  // lower-case file name: relative paths
  for (uint32_t f = 0; f < table->FileCount(); ++f)
    byName[Lower(FileNameOf(table->FilePath(f)))].emplace_back(table->FilePath(f));
  TTexts texts(ACorpus.Root);

  // The compiled units and their sources.
  std::vector<TResolvedUnit> units;
  std::vector<std::string> missingUnits;
  size_t ambiguousSources = 0, lostSources = 0;
  for (const TSampleUnit& sample : ACorpus.Units) {
    const auto it = ACorpus.Compiled.find(sample.Name);
    if (it == ACorpus.Compiled.end()) {
      missingUnits.push_back(sample.Name);
      continue;
    }
    TCompiledUnit compiled = ParseDump(Output("ppudump " + Quote(it->second.front().string())));
    if (compiled.Sources.empty()) {
      missingUnits.push_back(sample.Name);
      continue;
    }
    compiled.Name = sample.Name;
    units.push_back(Resolve(std::move(compiled), byName, texts, ATarget));
    ambiguousSources += static_cast<size_t>(units.back().Ambiguous);
    for (const std::string& path : units.back().Paths) lostSources += path.empty();
  }
  std::set<std::string> targetFolders;  // the folders the compiler read the sampled units from
  for (const TResolvedUnit& unit : units)
    for (const std::string& path : unit.Paths)
      if (!path.empty()) targetFolders.insert(std::string(FolderOf(path)));

  std::printf("agreement, %s: %zu of %zu units compiled for %s; sources %s (%zu files, %zu declarations)\n",
              ACorpus.Title.c_str(), units.size(), ACorpus.Units.size(), ChosenTarget({}).Name().c_str(),
              ACorpus.Root.c_str(), table->FileCount(), table->Count());
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
  // A name that several sampled units declare (baseunix's and unix's
  // time_t) has one first answer for all of them, which can be right for
  // one only: the share among the names one sampled unit alone declares
  // says how often the ranking itself errs.
  std::map<std::string, size_t> declaredBy;
  for (const TCheck& c : checks) ++declaredBy[Lower(c.Symbol->Name)];
  size_t alone = 0, aloneFirst = 0;
  for (const TCheck& c : checks)
    if (declaredBy[Lower(c.Symbol->Name)] == 1) ++alone, aloneFirst += c.Rank == 1;
  std::printf("  of the %zu names one sampled unit alone declares, first answer right %5.1f%%  (%zu)\n", alone,
              Percent(aloneFirst, alone), aloneFirst);
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

  std::printf("\nnames measured in %.1f s\n", std::chrono::duration<double>(TClock::now() - measureStart).count());

  MeasureDefinitions(ACorpus, AOptions.Uses, AOptions.Examples, AOptions.UnitsFolder, byName, texts, ATarget, table);
}

// The Lazarus tree of the LCL units installed for the target, and the
// folders of those units: Debian's lcl-units-* (the LCL and the packages
// that need no widgetset) and lcl-WIDGETSET-* packages put both below one
// folder (.../lcl/units/CPU-OS/forms.ppu). Empty when none is installed.
std::string FindLazarus(const std::string& ATargetFolder, const std::string& AWidgetset, std::vector<std::string>& AUnitFolders) {
  std::string tree;
  std::set<std::string> folders;
  const std::string packages = Output("dpkg-query -W -f='${Status} ${Package}\\n' 'lcl-units-*' 'lcl-" + AWidgetset + "-*'");
  for (std::string_view package : Lines(packages)) {
    if (package.rfind("install ok installed ", 0) != 0) continue;
    const std::string files = Output("dpkg -L " + Quote(std::string(Trim(package.substr(package.rfind(' ') + 1)))));
    for (std::string_view line : Lines(files)) {
      if (line.size() < 5 || line.substr(line.size() - 4) != ".ppu") continue;
      const fs::path folder = fs::path(line).parent_path();
      // The target's folder, or its widgetset's below it: not another
      // widgetset's copy of the same units.
      const std::string name = folder.filename().string();
      if (name != ATargetFolder && !(name == AWidgetset && folder.parent_path().filename() == ATargetFolder)) continue;
      folders.insert(folder.string());
      const std::string_view marker = "/lcl/units/";
      if (const size_t at = line.find(marker); tree.empty() && at != std::string_view::npos &&
                                               fs::exists(fs::path(line.substr(0, at)) / "lcl" / "forms.pp"))
        tree = std::string(line.substr(0, at));
    }
  }
  AUnitFolders.assign(folders.begin(), folders.end());
  return tree;
}

// A folder of the bench's cache that holds the two trees side by side, as
// links: "fpc" and "lazarus", the way one indexes a program's libraries
// today.
std::string LinkedWorkspace(const std::string& AFpc, const std::string& ALazarus) {
  const fs::path folder = fs::path(BenchCacheFolder()) / ("workspace-" + Fingerprint(AFpc + '\0' + ALazarus));
  std::error_code error;
  fs::create_directories(folder, error);
  for (const auto& [name, target] : {std::pair<const char*, std::string>{"fpc", AFpc}, {"lazarus", ALazarus}}) {
    const fs::path link = folder / name;
    if (fs::read_symlink(link, error) == fs::path(target)) continue;
    fs::remove(link, error);
    fs::create_directory_symlink(target, link, error);
    if (error) return {};
  }
  return folder.string();
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "--root" || arg == "--units-dir" || arg == "--lazarus") && i + 1 < argc) {
      (arg == "--root" ? options.Root : arg == "--units-dir" ? options.UnitsFolder : options.Lazarus) = argv[++i];
    } else if (arg == "--lazarus-only") {
      options.LazarusOnly = true;
    } else if ((arg == "--uses" || arg == "--examples") && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long long n = std::strtoull(argv[++i], &end, 10);
      if (!end || *end) {
        std::fputs(Usage, stderr);
        return 2;
      }
      (arg == "--uses" ? options.Uses : options.Examples) = static_cast<size_t>(n);
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
  TJudgeTarget target;
  if (std::string os = Lower(Trim(Output("fpc -iTO"))); !os.empty()) target.Os = os;
  if (std::string cpu = Lower(Trim(Output("fpc -iTP"))); !cpu.empty()) target.Cpu = cpu;
  target.Widgetset = ChosenTarget({}).Widgetset;

  TCorpus fpc;
  fpc.Title = "Free Pascal";
  fpc.Root = options.Root;
  fpc.Compiled = CompiledUnits(options.UnitsFolder);
  fpc.Units.assign(std::begin(SampleUnits), std::end(SampleUnits));
  for (const char* path : DefinitionSample) fpc.Sample.push_back({path, ""});
  fpc.CompilerSources = options.Root;
  if (!options.LazarusOnly) MeasureCorpus(fpc, options, target);

  // Lazarus, with the Free Pascal sources beside it: judged by the
  // installed LCL units, and by the compiler's own units for what the LCL
  // takes from the run-time library.
  std::vector<std::string> lazarusUnits;
  const std::string found = FindLazarus(target.Cpu + "-" + target.Os, target.Widgetset, lazarusUnits);
  const std::string lazarus = options.Lazarus.empty() ? found : options.Lazarus;
  if (lazarus.empty() || lazarusUnits.empty()) {
    std::printf("\nagreement, Lazarus: no compiled LCL units found for %s (Debian's lcl-units-* and lcl-%s-*) "
                "or no Lazarus sources; nothing measured\n",
                ChosenTarget({}).Name().c_str(), target.Widgetset.c_str());
    return 0;
  }
  TCorpus laz;
  laz.Title = "Lazarus with Free Pascal";
  laz.Root = LinkedWorkspace(options.Root, lazarus);
  if (laz.Root.empty()) {
    std::printf("\nagreement, Lazarus: cannot link the two trees in %s; nothing measured\n", BenchCacheFolder().c_str());
    return 0;
  }
  for (const std::string& folder : lazarusUnits)
    for (auto& [name, paths] : CompiledUnits(folder)) {
      auto& all = laz.Compiled[name];
      all.insert(all.end(), paths.begin(), paths.end());
    }
  for (const auto& [name, paths] : fpc.Compiled) laz.Compiled.emplace(name, paths);  // the LCL's own first
  laz.Units.assign(std::begin(LclCoreUnits), std::end(LclCoreUnits));
  laz.SampleBase = "lazarus/";
  laz.Sample.assign(std::begin(LazarusSample), std::end(LazarusSample));
  laz.SampleWidgetset = target.Widgetset;
  // As the LCL's packages compile: their mode and syntax, the widgetset's
  // symbols, their folders. The LCL and LazUtils are compiled from their
  // sources along with the sample (a unit compiled from source beside
  // installed units that use it would not match them), into the scratch
  // folder; the run-time library comes from the compiler's own units.
  laz.CompileOptions = " -Scgi -dLCL -dLCL" + target.Widgetset;
  for (const std::string folder : {"lcl", "lcl/forms", "lcl/widgetset", "lcl/nonwin32", "lcl/interfaces/{ws}",
                                   "components/lazutils", "components/freetype"})
    laz.CompileOptions += " -Fu" + Quote(laz.Root + "/lazarus/" + WithWidgetset(folder, target.Widgetset));
  for (const std::string folder : {"lcl/include", "lcl/interfaces/{ws}"})
    laz.CompileOptions += " -Fi" + Quote(laz.Root + "/lazarus/" + WithWidgetset(folder, target.Widgetset));
  laz.CompilerSources = options.Root;
  laz.Areas = {{"lazarus/", "Lazarus"}, {"fpc/", "Free Pascal"}};
  std::printf("\n\n");
  MeasureCorpus(laz, options, target);
  return 0;
}
