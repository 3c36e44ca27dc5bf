// vantry-find: the library finder from a shell, for any editor. Prints the
// declarations (or units) of the library sources that best match a query,
// one a line, in the form editors' quickfix and compilation modes jump to.

#include "index/DeclarationBuild.h"
#include "index/DeclarationRanking.h"
#include "index/Workspace.h"
#include "index/UnitRanking.h"
#include "navigation/Counterpart.h"
#include "navigation/Outline.h"
#include "navigation/Peek.h"
#include "navigation/References.h"
#include "navigation/Resolver.h"
#include "navigation/SourceModel.h"
#include "source_menu/Settings.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <optional>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using namespace Vantry;

namespace {

constexpr const char* Usage = R"(Usage: vantry-find [--root DIR]... [--target CPU-OS] [--units | --declarations] [--limit N] [--list] [QUERY]
       vantry-find [--root DIR]... [--target CPU-OS] --definition FILE:LINE:COLUMN [--guess]
       vantry-find [--root DIR]... [--target CPU-OS] --references FILE:LINE:COLUMN|NAME [--override-uses]
       vantry-find [--root DIR]... [--target CPU-OS] --peek FILE:LINE:COLUMN
       vantry-find [--root DIR]... [--target CPU-OS] --counterpart FILE:LINE:COLUMN
       vantry-find --outline FILE

Finds declarations (or units) in Pascal sources: your project's and the
libraries' below the source folders, as one workspace.

Options:
  --root DIR       a source folder: a project's or a library's. Give it as
                   often as needed; a used unit is looked for in the folders
                   in the order given. Without it, the one Vantry's settings
                   name (File > Vantry > Options... in the IDE), and before
                   any is set the IDE's default: Source in its installation
                   folder. With FILE:LINE:COLUMN, the project FILE belongs
                   to comes first: the nearest folder above FILE that holds
                   a *.lpi, *.lpk, fpmake.pp, Makefile.fpc or a
                   version-control folder, else FILE's own folder
  --target CPU-OS  the target whose declarations come first, as the Free Pascal
                   compiler names it (x86_64-linux, i386-win32, aarch64-darwin);
                   without it, the one the settings name, else this machine's
                   (from fpc -iTP -iTO when a compiler is installed). A third
                   part names the Lazarus widgetset (x86_64-linux-qt5); without
                   it, the system's usual one (gtk2 on Linux, win32 on Windows,
                   cocoa on macOS)
  --declarations   search the declarations (the default): types, classes and
                   their members, routines, constants, variables, units
  --units          search the source files by name
  --limit N        print at most N results (default 20; 0 for all the search keeps)
  --list           print the whole index instead of searching
  --definition FILE:LINE:COLUMN
                   print what the name at that place of FILE means, as the
                   compiler binds it: the routine's locals and parameters,
                   with statements, the class's members and ancestors, the
                   unit's own declarations, then the used units from the last
                   to the first, then System; Unit.Name and A.B.C followed
                   through declared types. FILE may lie outside the library.
                   When the scope cannot be worked out, nothing is printed,
                   standard error says why, and the exit status is 1
  --guess          with --definition: when the scope cannot be worked out,
                   print the best ranked namesakes, each marked
                   [by name alone]
  --references FILE:LINE:COLUMN | NAME
                   print every place in the library that refers to what the
                   name at that place means (or to the declaration NAME or
                   OWNER.NAME, the best ranked of that name), resolved as
                   --definition resolves: namesakes of other owners or units,
                   comments and strings are left out. Overloads that differ
                   only in their parameters count as one. Each place prints
                   as PATH:LINE:COLUMN: followed by the line's text; the
                   declaration, a routine's body and overrides in descendant
                   classes are marked [declaration], [definition], [override]
  --override-uses  with --references: the uses bound to an override too,
                   marked [use of an override]
  --peek FILE:LINE:COLUMN
                   print the declaration the name at that place means: its
                   PATH:LINE:COLUMN, the comment above it and its heading
  --counterpart FILE:LINE:COLUMN
                   print the other half of the routine at that place: from
                   its heading (in a class, an interface, a forward
                   declaration) its body, from anywhere in its body its
                   heading; overloads by their parameters. It prints as
                   PATH:LINE:COLUMN: followed by the line's text
  --outline FILE   print the outline of FILE (its sections, uses clauses,
                   types with their members, routines, constants and
                   variables), indented, each item as LINE: KIND NAME
  -h, --help       show this help
  --version        print the version and exit

A declaration prints as
  PATH:LINE:COLUMN: KIND NAME
(PATH absolute, LINE and COLUMN from 1, COLUMN in bytes; KIND such as class,
function, class function, property, const; NAME with its owner, as in
TStringList.Sort), a unit as its PATH. Results come best first; a search's
results show the rest of the heading after NAME (a routine's parameters and
result, a type's kind: IntToStr(Value: Longint): string, TStringList =
class(TStrings)), and a routine's body is marked [definition].

QUERY matches as in the IDE's finder: a name, its start, the first letters of
its words (tsl for TStringList), or its letters in order; case is ignored. A
query with a '.' matches owner and member (TStringList.So). A query with a '/'
matches folder and file name (--units).

The index of the declarations is kept in $XDG_CACHE_HOME/vantry (else
~/.cache/vantry) and brought up to date file by file at each run.

Exit status: 0 results printed, 1 none (for --definition: the name is declared
nowhere in reach), 2 error or bad usage.
)";

constexpr int ExitNone = 1;
constexpr int ExitError = 2;

// The command line is wrong: exit status 2, with the usage.
struct EUsage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct TCommandLine {
  std::vector<std::string> Roots;
  bool Guess = false;
  std::optional<TTarget> Target;
  bool Units = false;
  bool List = false;
  std::string Definition;  // FILE:LINE:COLUMN
  std::string References;  // FILE:LINE:COLUMN or a declaration's name
  bool OverrideUses = false;
  std::string Peek;     // FILE:LINE:COLUMN
  std::string Counterpart;  // FILE:LINE:COLUMN
  std::string Outline;  // FILE
  size_t Limit = 20;
  std::string Query;
  bool HasQuery = false;
  bool Help = false;
};

size_t ParseLimit(std::string_view AText) {
  size_t limit = 0;
  const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), limit);
  if (error != std::errc() || end != AText.data() + AText.size())
    throw EUsage("--limit wants a number, not '" + std::string(AText) + "'");
  return limit == 0 ? SIZE_MAX : limit;
}

TCommandLine Parse(int AArgc, char** AArgv) {
  TCommandLine line;
  bool modeGiven = false;
  for (int i = 1; i < AArgc; ++i) {
    const std::string_view arg = AArgv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= AArgc) throw EUsage(std::string(arg) + " wants a value");
      return AArgv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      line.Help = true;
    } else if (arg == "--root") {
      line.Roots.push_back(value());
      if (line.Roots.back().empty()) throw EUsage("--root wants a folder, not an empty name");
    } else if (arg == "--guess") {
      line.Guess = true;
    } else if (arg == "--target") {
      const std::string text = value();
      line.Target = ParseTarget(text);
      if (!line.Target) throw EUsage("--target wants CPU-OS or CPU-OS-WIDGETSET as the compiler and Lazarus name them (x86_64-linux, x86_64-linux-qt5), not '" + text + "'");
    } else if (arg == "--units" || arg == "--declarations") {
      if (modeGiven && line.Units != (arg == "--units")) throw EUsage("--units and --declarations exclude each other");
      line.Units = arg == "--units";
      modeGiven = true;
    } else if (arg == "--limit") {
      line.Limit = ParseLimit(value());
    } else if (arg == "--definition") {
      line.Definition = value();
    } else if (arg == "--references") {
      line.References = value();
    } else if (arg == "--override-uses") {
      line.OverrideUses = true;
    } else if (arg == "--peek") {
      line.Peek = value();
    } else if (arg == "--counterpart") {
      line.Counterpart = value();
    } else if (arg == "--outline") {
      line.Outline = value();
    } else if (arg == "--list") {
      line.List = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      throw EUsage("unknown option " + std::string(arg));
    } else {
      if (arg == "--") {
        if (++i >= AArgc) break;
      }
      if (line.HasQuery) throw EUsage("one QUERY only (quote a query with blanks)");
      line.Query = AArgv[i];
      line.HasQuery = true;
    }
  }
  const int questions = !line.Definition.empty() + !line.References.empty() + !line.Peek.empty() +
                        !line.Counterpart.empty() + !line.Outline.empty();
  if (questions > 1) throw EUsage("--definition, --references, --peek, --counterpart and --outline exclude each other");
  if (line.OverrideUses && line.References.empty()) throw EUsage("--override-uses goes with --references");
  if (line.Guess && line.Definition.empty()) throw EUsage("--guess goes with --definition");
  if (questions == 1) {
    if (line.List || line.HasQuery || line.Units)
      throw EUsage("--definition, --references, --peek, --counterpart and --outline take no QUERY, --list or --units");
  } else if (!line.Help && line.List == line.HasQuery) {
    throw EUsage(line.List ? "--list takes no QUERY" : "a QUERY, --list or --definition is needed");
  }
  return line;
}

// A place holds a ':' followed by digits at its end; a name does not.
bool IsPlace(const std::string& AText) {
  const size_t colon = AText.rfind(':');
  return colon != std::string::npos && colon + 1 < AText.size() &&
         AText.find_first_not_of("0123456789", colon + 1) == std::string::npos;
}

// The folders to answer for: the project of the file asked about first,
// then the --root folders, else the settings' source folder.
std::vector<TWorkspaceRoot> WorkspaceRoots(const TCommandLine& ALine) {
  std::vector<TWorkspaceRoot> roots;
  for (const std::string& place : {ALine.Definition, ALine.References, ALine.Peek, ALine.Counterpart})
    if (IsPlace(place)) {
      const std::string file = place.substr(0, place.rfind(':', place.rfind(':') - 1));
      std::error_code error;
      if (!std::filesystem::is_regular_file(file, error)) continue;  // the question itself says it is missing
      if (const std::string project = ProjectFolderOf(file); !project.empty()) roots.push_back({project, true});
    }
  for (const std::string& root : ALine.Roots) roots.push_back({root, false});
  if (ALine.Roots.empty()) {
    const std::string path = ToolSourceFolder();
    if (path.empty() || path == " ")
      throw std::runtime_error("no source folder is set: choose one in the IDE (File > Vantry > Options...) or give --root");
    roots.push_back({path, false});
  }
  return roots;
}

// A declaration as a line; with AHeading, the rest of its heading after
// its name (its file read for it: a search prints a few lines, the whole
// index does without) and [definition] after a routine's body.
void PrintDeclaration(const TDeclarationTable& ATable, uint32_t ADeclaration, bool AHeading = false) {
  const TDeclarationEntry& e = ATable.Entry(ADeclaration);
  const std::string path = ATable.FullPath(ATable.FileOf(ADeclaration));
  std::string detail;
  if (AHeading) {
    static std::string readPath, text;  // results of one file come together
    if (path != readPath && !ReadSourceFile(path, text)) text.clear();
    readPath = path;
    detail = HeadingDetailAt(text, e.Line, e.Column, DeclarationKindName(e.Kind()));
    if (e.Definition()) detail += "  [definition]";
  }
  std::printf("%s:%u:%u: %s %s%s\n", path.c_str(), e.Line, static_cast<unsigned>(e.Column),
              DeclarationKindName(e.Kind()), ATable.QualifiedName(ADeclaration).c_str(), detail.c_str());
}

size_t FindDeclarations(const TWorkspace& AIndex, const TCommandLine& ALine) {
  const auto table = AIndex.Declarations();
  if (!table) return 0;
  if (ALine.List) {
    for (uint32_t d = 0; d < table->Count(); ++d) PrintDeclaration(*table, d);
    return table->Count();
  }
  TDeclarationSearch search;
  search.SetTarget(AIndex.Target());
  search.Search(*table, AIndex.DeclarationGeneration(), ALine.Query, ALine.Limit);
  for (const TRankedDeclaration& r : search.Results()) PrintDeclaration(*table, r.Declaration, true);
  return search.Results().size();
}

size_t FindUnits(const TWorkspace& AIndex, const TCommandLine& ALine) {
  const TFileTable& files = AIndex.Files();
  if (ALine.List) {
    for (size_t f = 0; f < files.FileCount(); ++f) std::printf("%s\n", files.FullPath(f).c_str());
    return files.FileCount();
  }
  TUnitSearch search;
  search.SetTarget(AIndex.Target());
  search.Search(files, AIndex.Generation(), ALine.Query, ALine.Limit);
  for (const TRankedFile& r : search.Results()) std::printf("%s\n", files.FullPath(r.File).c_str());
  return search.Results().size();
}

// FILE:LINE:COLUMN, the file's name itself possibly holding ':'.
struct TPlace {
  std::string File;
  uint32_t Line = 0;
  uint32_t Column = 0;
};

TPlace ParsePlace(const std::string& AText) {
  TPlace place;
  const size_t second = AText.rfind(':');
  const size_t first = second == std::string::npos || second == 0 ? std::string::npos : AText.rfind(':', second - 1);
  auto number = [&](size_t AFrom, size_t ATo, uint32_t& AOut) {
    const auto [end, error] = std::from_chars(AText.data() + AFrom, AText.data() + ATo, AOut);
    return error == std::errc() && end == AText.data() + ATo && AOut > 0;
  };
  if (first == std::string::npos || first == 0 || !number(first + 1, second, place.Line) ||
      !number(second + 1, AText.size(), place.Column))
    throw EUsage("wants FILE:LINE:COLUMN (LINE and COLUMN from 1), not '" + AText + "'");
  place.File = AText.substr(0, first);
  return place;
}

std::string ReadText(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + APath + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A place's file read, its path made absolute, and the place's offset.
struct TAskedText {
  std::string Path, Text;
  uint32_t Offset = 0;
};
TAskedText ReadPlace(const std::string& APlace) {
  const TPlace place = ParsePlace(APlace);
  TAskedText asked;
  asked.Text = ReadText(place.File);
  std::error_code error;
  asked.Path = std::filesystem::absolute(place.File, error).lexically_normal().string();
  asked.Offset = TSourceModel(asked.Text).OffsetOf(place.Line, place.Column);
  return asked;
}

void Note(const std::string& AText) {
  if (!AText.empty()) std::fprintf(stderr, "vantry-find: %s\n", AText.c_str());
}

// What the name at APlace means, the place's text read into AAsked; its
// note on standard error.
TResolution ResolvePlace(const TWorkspace& AIndex, const std::string& APlace, TAskedText& AAsked, bool AGuess = false) {
  AAsked = ReadPlace(APlace);
  const auto table = AIndex.Declarations();
  if (!table) return {};
  TResolver resolver(table, AIndex.Target());
  TResolution resolution = resolver.Resolve(AAsked.Path, AAsked.Text, AAsked.Offset, AGuess);
  Note(resolution.Note);
  return resolution;
}

size_t FindDefinition(const TWorkspace& AIndex, const TCommandLine& ALine) {
  TAskedText asked;
  const TResolution resolution = ResolvePlace(AIndex, ALine.Definition, asked, ALine.Guess);
  for (const TAnswer& a : resolution.Answers)
    std::printf("%s:%u:%u: %s %s%s\n", a.Path.c_str(), a.Line, a.Column, a.Kind.c_str(), a.Name.c_str(),
                resolution.Scoped ? "" : "  [by name alone]");
  return resolution.Answers.size();
}

size_t FindReferences(const TWorkspace& AIndex, const TCommandLine& ALine) {
  const auto table = AIndex.Declarations();
  if (!table) return 0;
  TReferenceSearch search(table, AIndex.Target());
  TReferenceTarget target;
  if (IsPlace(ALine.References)) {
    const TAskedText asked = ReadPlace(ALine.References);
    target = search.TargetAt(asked.Path, asked.Text, asked.Offset);
  } else {
    target = search.TargetNamed(ALine.References);
  }
  Note(target.Note);
  TReferenceOptions options;
  options.OverrideUses = ALine.OverrideUses;
  const std::vector<TReference> found = search.Find(target, options);
  for (const TReference& r : found) {
    std::printf("%s:%u:%u: %s", r.Path.c_str(), r.Line, r.Column, r.LineText.c_str());
    if (r.Kind != rkUse) std::printf("  [%s]", ReferenceKindName(r.Kind));
    std::putchar('\n');
  }
  return found.size();
}

size_t PrintPeek(const TWorkspace& AIndex, const TCommandLine& ALine) {
  TAskedText asked;
  const TResolution resolution = ResolvePlace(AIndex, ALine.Peek, asked);
  if (resolution.Answers.empty()) return 0;
  const TAnswer& answer = resolution.Answers.front();
  // The asked text as it stands, else the declaration's file.
  const TPeek shown = answer.Path == asked.Path ? PeekAt(answer, asked.Text) : PeekAt(answer);
  std::printf("%s:%u:%u: %s %s (%s)\n", shown.Path.c_str(), shown.Line, shown.Column, shown.Kind.c_str(),
              shown.Name.c_str(), shown.Module.c_str());
  if (!shown.Comment.empty()) std::printf("%s\n", shown.Comment.c_str());
  std::printf("%s\n", shown.Heading.c_str());
  return 1;
}

size_t PrintCounterpart(const TWorkspace& AIndex, const TCommandLine& ALine) {
  const TAskedText asked = ReadPlace(ALine.Counterpart);
  const auto table = AIndex.Declarations();
  if (!table) return 0;
  TResolver resolver(table, AIndex.Target());
  const TCounterpart found = CounterpartOf(resolver, asked.Path, asked.Text, asked.Offset);
  Note(found.Note);
  if (found.Empty()) return 0;
  std::string text;
  if (found.Place.Path == asked.Path) text = asked.Text;
  else ReadSourceFile(found.Place.Path, text);
  const TSourceModel model(text);
  const uint32_t offset = model.OffsetOf(found.Place.Line, 1);
  const size_t end = text.find_first_of("\r\n", offset);
  std::printf("%s:%u:%u: %s\n", found.Place.Path.c_str(), found.Place.Line, found.Place.Column,
              text.substr(offset, (end == std::string::npos ? text.size() : end) - offset).c_str());
  return 1;
}

size_t PrintOutline(const std::string& AFile) {
  const std::vector<TOutlineItem> items = OutlineOf(ReadText(AFile), IsIncludeFileName(AFile));
  for (const TOutlineItem& item : items) {
    std::printf("%*s%u: %s", item.Depth * 2, "", item.Line, item.Kind.c_str());
    if (item.Name != item.Kind) std::printf(" %s", item.Name.c_str());
    if (!item.Detail.empty()) std::printf(" %s", item.Detail.c_str());
    std::putchar('\n');
  }
  return items.size();
}

int Run(const TCommandLine& ALine) {
  // An outline reads one file alone: no index.
  if (!ALine.Outline.empty()) return PrintOutline(ALine.Outline) ? 0 : ExitNone;
  TWorkspace index;
  index.SetTarget(ALine.Target ? *ALine.Target : ChosenTarget(ReadTargetChoice()));
  index.SetRoots(WorkspaceRoots(ALine), !ALine.Units);
  while (!index.WaitForWalk(std::chrono::milliseconds(200))) {
  }
  const std::string& error = index.LastReport().Error;
  if (!error.empty()) throw std::runtime_error("cannot read " + index.ReportedRoot() + ": " + error);
  const size_t printed = !ALine.Definition.empty() ? FindDefinition(index, ALine)
                         : !ALine.References.empty() ? FindReferences(index, ALine)
                         : !ALine.Peek.empty()       ? PrintPeek(index, ALine)
                         : !ALine.Counterpart.empty() ? PrintCounterpart(index, ALine)
                         : ALine.Units               ? FindUnits(index, ALine)
                                                     : FindDeclarations(index, ALine);
  return printed ? 0 : ExitNone;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vantry-find %s\n", VANTRY_VERSION);
    return 0;
  }
  try {
    const TCommandLine line = Parse(argc, argv);
    if (line.Help) {
      std::fputs(Usage, stdout);
      return 0;
    }
    return Run(line);
  } catch (const EUsage& e) {
    std::fprintf(stderr, "vantry-find: %s\nTry 'vantry-find --help'.\n", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantry-find: %s\n", e.what());
  }
  return ExitError;
}
