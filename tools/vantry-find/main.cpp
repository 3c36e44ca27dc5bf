// vantry-find: the library finder from a shell, for any editor. Prints the
// declarations (or units) of the library sources that best match a query,
// one a line, in the form editors' quickfix and compilation modes jump to.

#include "finder/DeclarationRanking.h"
#include "finder/LibraryIndex.h"
#include "finder/UnitRanking.h"
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

using namespace Vantry;

namespace {

constexpr const char* Usage = R"(Usage: vantry-find [--root DIR] [--target CPU-OS] [--units | --declarations] [--limit N] [--list] [QUERY]
       vantry-find [--root DIR] [--target CPU-OS] --definition FILE:LINE:COLUMN

Finds declarations (or units) in the Pascal library sources below a folder.

Options:
  --root DIR       the source folder; without it, the one Vantry's settings name
                   (File > Vantry > Options... in the IDE), and before any is
                   set the IDE's default: Source in its installation folder
  --target CPU-OS  the target whose declarations come first, as the Free Pascal
                   compiler names it (x86_64-linux, i386-win32, aarch64-darwin);
                   without it, the one the settings name, else this machine's
                   (from fpc -iTP -iTO when a compiler is installed)
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
                   When the scope cannot be worked out, the name's best
                   matches are printed and standard error says why
  -h, --help       show this help
  --version        print the version and exit

A declaration prints as
  PATH:LINE:COLUMN: KIND NAME
(PATH absolute, LINE and COLUMN from 1, COLUMN in bytes; KIND such as class,
function, class function, property, const; NAME with its owner, as in
TStringList.Sort), a unit as its PATH. Results come best first.

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
  std::string Root;
  bool RootGiven = false;
  std::optional<TTarget> Target;
  bool Units = false;
  bool List = false;
  std::string Definition;  // FILE:LINE:COLUMN
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
      line.Root = value();
      if (line.Root.empty()) throw EUsage("--root wants a folder, not an empty name");
      line.RootGiven = true;
    } else if (arg == "--target") {
      const std::string text = value();
      line.Target = ParseTarget(text);
      if (!line.Target) throw EUsage("--target wants CPU-OS as the compiler names them (x86_64-linux), not '" + text + "'");
    } else if (arg == "--units" || arg == "--declarations") {
      if (modeGiven && line.Units != (arg == "--units")) throw EUsage("--units and --declarations exclude each other");
      line.Units = arg == "--units";
      modeGiven = true;
    } else if (arg == "--limit") {
      line.Limit = ParseLimit(value());
    } else if (arg == "--definition") {
      line.Definition = value();
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
  if (!line.Definition.empty()) {
    if (line.List || line.HasQuery || line.Units) throw EUsage("--definition takes no QUERY, --list or --units");
  } else if (!line.Help && line.List == line.HasQuery) {
    throw EUsage(line.List ? "--list takes no QUERY" : "a QUERY, --list or --definition is needed");
  }
  return line;
}

// Where the IDE installed beside this program keeps its add-ins and its
// Source link, found as the IDE finds its own: PREFIX/lib/vantry beside
// PREFIX/bin; in a build tree, the IDE's folder (build/host).
std::string InstallationRoot() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder = fs::read_symlink("/proc/self/exe", error).parent_path();
  for (const fs::path& root : {folder / "../lib/vantry", folder / "../../host"})
    if (fs::is_directory(root, error)) return root.lexically_normal().string();
  return folder.string();
}

std::string SourceFolder(const TCommandLine& ALine) {
  if (ALine.RootGiven) return ALine.Root;
  bool automatic = true;
  std::string path;
  ReadSettings(automatic, path);
  // Before the IDE has run, nothing is stored: the IDE's own default then.
  if (automatic && (path.empty() || path == " ")) path = InstallationRoot() + "/Source";
  if (path.empty() || path == " ")
    throw std::runtime_error("no source folder is set: choose one in the IDE (File > Vantry > Options...) or give --root");
  return path;
}

void PrintDeclaration(const TDeclarationTable& ATable, uint32_t ADeclaration) {
  const TDeclarationEntry& e = ATable.Entry(ADeclaration);
  const std::string path = ATable.FullPath(ATable.FileOf(ADeclaration));
  std::printf("%s:%u:%u: %s %s\n", path.c_str(), e.Line, static_cast<unsigned>(e.Column),
              DeclarationKindName(e.Kind()), ATable.QualifiedName(ADeclaration).c_str());
}

size_t FindDeclarations(const TLibraryIndex& AIndex, const TCommandLine& ALine) {
  const auto table = AIndex.Declarations();
  if (!table) return 0;
  if (ALine.List) {
    for (uint32_t d = 0; d < table->Count(); ++d) PrintDeclaration(*table, d);
    return table->Count();
  }
  TDeclarationSearch search;
  search.SetTarget(AIndex.Target());
  search.Search(*table, AIndex.DeclarationGeneration(), ALine.Query, ALine.Limit);
  for (const TRankedDeclaration& r : search.Results()) PrintDeclaration(*table, r.Declaration);
  return search.Results().size();
}

size_t FindUnits(const TLibraryIndex& AIndex, const TCommandLine& ALine) {
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
    throw EUsage("--definition wants FILE:LINE:COLUMN (LINE and COLUMN from 1), not '" + AText + "'");
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

size_t FindDefinition(const TLibraryIndex& AIndex, const TCommandLine& ALine) {
  const TPlace place = ParsePlace(ALine.Definition);
  const std::string text = ReadText(place.File);
  const auto table = AIndex.Declarations();
  if (!table) return 0;
  std::error_code error;
  const std::string path = std::filesystem::absolute(place.File, error).lexically_normal().string();
  TResolver resolver(table, AIndex.Target());
  const TResolution resolution =
      resolver.Resolve(path, text, TSourceModel(text).OffsetOf(place.Line, place.Column));
  if (!resolution.Note.empty()) std::fprintf(stderr, "vantry-find: %s\n", resolution.Note.c_str());
  for (const TAnswer& a : resolution.Answers)
    std::printf("%s:%u:%u: %s %s\n", a.Path.c_str(), a.Line, a.Column, a.Kind.c_str(), a.Name.c_str());
  return resolution.Answers.size();
}

int Run(const TCommandLine& ALine) {
  TLibraryIndex index;
  index.SetTarget(ALine.Target ? *ALine.Target : ChosenTarget(ReadTargetChoice()));
  index.Refresh(SourceFolder(ALine), !ALine.Units);
  while (!index.WaitForWalk(std::chrono::milliseconds(200))) {
  }
  const std::string& error = index.LastReport().Error;
  if (!error.empty()) throw std::runtime_error("cannot read " + index.Files().Root() + ": " + error);
  const size_t printed = !ALine.Definition.empty() ? FindDefinition(index, ALine)
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
