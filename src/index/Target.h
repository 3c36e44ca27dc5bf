#pragma once
// The target a library is read for (a processor and an operating system, as
// the Free Pascal compiler names them, and the widgetset the LCL is built
// for, as Lazarus names it: x86_64-linux-gtk2), and where each file of a
// library stands for it. A Free Pascal tree keeps what belongs to one
// target in folders named after operating systems and processors
// (rtl/linux, rtl/x86_64, packages/*/src/amiga) and says in each package's
// build description (fpmake.pp) which systems it is built for; a Lazarus
// tree keeps each widgetset's copy of a unit in a folder named after it
// (lcl/interfaces/gtk2, lcl/interfaces/cocoa); a file the target's compiler
// never reads ranks below one it does.
//
// It also tells the library's own units from what merely lies beside them:
// programs, examples, tests, the compiler's sources and its text-mode IDE.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

struct TTarget {
  std::string Cpu;        // x86_64, i386, aarch64...: lower case
  std::string Os;         // linux, win64, freebsd...: lower case
  std::string Widgetset;  // gtk2, win32, cocoa, qt5...: lower case; empty for none

  std::string Name() const { return Cpu + "-" + Os + (Widgetset.empty() ? "" : "-" + Widgetset); }
  bool operator==(const TTarget&) const = default;
};

// "CPU-OS-WIDGETSET" (x86_64-linux-gtk2) or "CPU-OS", which means the
// system's default widgetset; case ignored. Nothing when it is not of that
// form or names a processor, system or widgetset not known.
std::optional<TTarget> ParseTarget(std::string_view AText);
// The widgetset the LCL is built for on a system when none is chosen: win32
// on Windows, cocoa on macOS, mui on the Amiga's systems, gtk2 elsewhere.
std::string DefaultWidgetset(std::string_view AOs, std::string_view ACpu);
// This machine's target: what an installed Free Pascal compiler answers
// (fpc -iTP -iTO), else what the system itself says; with its default
// widgetset.
TTarget HostTarget();
// The target Vantry reads libraries for: ASetting (the settings' choice, or
// --target) when it names one, else this machine's.
TTarget ChosenTarget(std::string_view ASetting);

// How a file's folders fit a target.
enum TTargetFit : uint8_t {
  tfThis,     // in a folder of the target's system, processor or widgetset
  tfAny,      // in no folder of any one target
  tfOther,    // in a folder of another system, processor or widgetset, or a package not built for the target
};

// Where a file stands: the lower, the sooner its declarations come. Four
// bits: another target's (8), not the library's own (4: a program, an
// example, a test, the compiler's or the IDE's sources), and in no target's
// folder in particular (1).
using TFilePlace = uint8_t;
constexpr TFilePlace MostFilePlace = 15;

// The rules of one target for one library.
class TTargetRules {
public:
  TTargetRules() = default;
  explicit TTargetRules(TTarget ATarget) : FTarget(std::move(ATarget)) {}

  const TTarget& Target() const { return FTarget; }

  // Takes in a package's build description: AFolder is the package's folder
  // relative to the root ("packages/gtk2/", ending in '/'), AText the text
  // of its fpmake.pp. Files below a package that is not built for the
  // target are another target's.
  void AddPackage(std::string AFolder, std::string_view AText);
  // Reads the build descriptions among a library's files (relative paths),
  // from below ARoot, and notes the widgetsets' folders among them
  // (NoteFolders).
  void ReadPackages(const std::string& ARoot, const std::vector<std::string_view>& ARelativePaths);
  // Notes which folders are widgetsets' among a library's files: those
  // named after a widgetset beside another widgetset's (lcl/interfaces/gtk2
  // beside lcl/interfaces/qt5), one of them named after no system. A
  // folder named so alone is a package's (packages/gtk2, the bindings;
  // components/customdrawn), and win32 and wince name systems too.
  void NoteFolders(const std::vector<std::string_view>& ARelativePaths);

  TTargetFit Fit(std::string_view ARelativePath) const;
  // AProgram: the file is a program (its first declaration says so).
  TFilePlace Place(std::string_view ARelativePath, bool AProgram) const;

private:
  TTarget FTarget;
  std::vector<std::string> FForeignPackages;  // folders of packages not built for the target, sorted
  std::vector<std::string> FWidgetsetHolders;  // folders that hold widgetsets' folders ("lcl/interfaces/"), sorted
};

// The symbols a target's compiler defines for conditional directives
// ({$ifdef CPU64}), upper case: those it defines, and those it is known
// not to define (another processor's, another system's, the other byte
// order's, another widgetset's LCL<WIDGETSET>). Any other symbol is not
// known here, and a branch that depends on it counts as taken.
struct TTargetSymbols {
  std::vector<std::string> Defined;     // sorted
  std::vector<std::string> Undefined;   // sorted
  // 1 defined, 0 not defined, -1 not known.
  int Knows(std::string_view AUpperSymbol) const;
};
TTargetSymbols SymbolsOf(const TTarget& ATarget);

// Whether a package's build description builds it for ATarget: nothing
// when it does not say in a way read here.
std::optional<bool> PackageBuildsFor(std::string_view AText, const TTarget& ATarget);

}  // namespace Vantry
