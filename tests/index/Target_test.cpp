// Which files a target's compiler reads: folders of systems and processors,
// and packages' build descriptions.

#include "index/Target.h"

#include <gmock/gmock.h>

#include <cstdio>

using namespace Vantry;

namespace {

TEST(TargetTest, ReadsTheCompilersNames) {
  // Two parts name the system's default widgetset.
  const std::vector<std::pair<const char*, const char*>> names = {
      {"X86_64-Linux", "x86_64-linux-gtk2"},       {"x86_64-linux-QT5", "x86_64-linux-qt5"},
      {"x86_64-win64", "x86_64-win64-win32"},      {"arm-wince", "arm-wince-wince"},
      {"aarch64-darwin", "aarch64-darwin-cocoa"},  {"powerpc-darwin", "powerpc-darwin-carbon"},
      {"m68k-amiga", "m68k-amiga-mui"},            {"i386-win32-gtk2", "i386-win32-gtk2"},
  };
  for (const auto& [text, name] : names) EXPECT_EQ(ParseTarget(text).value_or(TTarget{}).Name(), name) << text;
  for (const char* bad : {"", "x86_64", "x86_64-", "-linux", "x86_64-plan9", "vax-linux", "x86_64-linux-gnu",
                          "x86_64-linux-", "x86_64-linux-gtk2-x"})
    EXPECT_FALSE(ParseTarget(bad)) << bad;
  EXPECT_EQ(ChosenTarget("i386-win32").Name(), "i386-win32-win32");
  EXPECT_EQ(ChosenTarget("nonsense"), HostTarget());  // a stored value that names no target is passed over
  // This machine's target is what its compiler says, where it has one.
  if (FILE* fpc = popen("fpc -iTP -iTO 2>/dev/null", "r")) {
    char cpu[64] = {}, os[64] = {};
    const bool answered = std::fscanf(fpc, "%63s %63s", cpu, os) == 2;
    pclose(fpc);
    if (answered) {
      EXPECT_EQ(HostTarget().Name(), std::string(cpu) + "-" + os + "-" + DefaultWidgetset(os, cpu));
    }
  }
}

struct TFitRow {
  const char* Target;
  const char* Path;
  TTargetFit Fit;
};

TEST(TargetTest, FoldersOfSystemsAndProcessorsFitTheirTargets) {
  const std::vector<TFitRow> rows = {
      {"x86_64-linux", "rtl/linux/system.pp", tfThis},
      {"x86_64-linux", "rtl/unix/classes.pp", tfThis},        // a family's folder
      {"x86_64-linux", "rtl/linux/x86_64/syscall.inc", tfThis},
      {"x86_64-linux", "rtl/linux/arm/syscall.inc", tfOther},  // the system's, another processor's
      {"x86_64-linux", "rtl/x86/cpu.pp", tfThis},
      {"x86_64-linux", "rtl/amicommon/classes.pp", tfOther},
      {"x86_64-linux", "rtl/bsd/system.pp", tfOther},
      {"x86_64-linux", "rtl/objpas/sysutils/sysstrh.inc", tfAny},
      {"x86_64-linux", "linux.pp", tfAny},  // a file's own name says nothing
      {"x86_64-darwin", "rtl/bsd/system.pp", tfThis},
      {"i386-win32", "packages/fcl-base/src/win/fileinfo.pp", tfThis},
      {"m68k-amiga", "rtl/amicommon/classes.pp", tfThis},
      {"m68k-amiga", "rtl/unix/classes.pp", tfOther},
  };
  for (const TFitRow& row : rows)
    EXPECT_EQ(TTargetRules(*ParseTarget(row.Target)).Fit(row.Path), row.Fit) << row.Target << " " << row.Path;
  EXPECT_EQ(TTargetRules().Fit("rtl/amiga/system.pp"), tfAny);  // no target: every file alike
}

// A folder named after a widgetset beside another widgetset's is that
// widgetset's, even where the name is a system's too (win32); one named so
// alone is a package of its own.
TEST(TargetTest, WidgetsetsFoldersFitTheirWidgetset) {
  const std::vector<std::string_view> tree = {
      "lazarus/lcl/interfaces/gtk/interfaces.pp",   "lazarus/lcl/interfaces/gtk2/gtk2int.pas",
      "lazarus/lcl/interfaces/win32/win32int.pp",   "lazarus/lcl/interfaces/cocoa/cocoaint.pas",
      "lazarus/components/customdrawn/customdrawn.pas", "fpc/packages/gtk2/src/gtk+/gtk/gtk2.pas",
      "fpc/packages/fcl-base/src/wince/x.inc",       "fpc/packages/fcl-base/src/win/x.inc",
      "fpc/rtl/win32/system.pp",                     "fpc/rtl/win64/system.pp",
  };
  const std::vector<TFitRow> rows = {
      {"x86_64-linux", "lazarus/lcl/interfaces/gtk2/gtk2int.pas", tfThis},
      {"x86_64-linux", "lazarus/lcl/interfaces/gtk/interfaces.pp", tfOther},
      {"x86_64-linux", "lazarus/lcl/interfaces/cocoa/cocoaint.pas", tfOther},
      {"x86_64-linux-qt5", "lazarus/lcl/interfaces/gtk2/gtk2int.pas", tfOther},
      {"x86_64-linux", "lazarus/components/customdrawn/customdrawn.pas", tfAny},
      {"x86_64-linux", "fpc/packages/gtk2/src/gtk+/gtk/gtk2.pas", tfAny},
      {"x86_64-linux", "fpc/packages/fcl-base/src/wince/x.inc", tfOther},
      {"x86_64-win64", "lazarus/lcl/interfaces/win32/win32int.pp", tfThis},
      {"x86_64-win64", "fpc/rtl/win32/system.pp", tfOther},
      {"x86_64-win64", "fpc/rtl/win64/system.pp", tfThis},
  };
  for (const TFitRow& row : rows) {
    TTargetRules rules(*ParseTarget(row.Target));
    rules.NoteFolders(tree);
    EXPECT_EQ(rules.Fit(row.Path), row.Fit) << row.Target << " " << row.Path;
  }
}

struct TPackageRow {
  const char* Description;  // what a package's fpmake.pp says
  const char* Target;
  std::optional<bool> Builds;
};

TEST(TargetTest, ReadsWhichTargetsAPackageIsBuiltFor) {
  const std::vector<TPackageRow> rows = {
      {"begin\n  P.OSes := [Amiga];\nend.", "x86_64-linux", false},
      {"begin\n  P.OSes := [Amiga];\nend.", "m68k-amiga", true},
      {"P.OSes := AllUnixOSes + [win32] - [qnx];", "x86_64-linux", true},
      {"P.OSes := AllUnixOSes + [win32] - [qnx];", "x86_64-qnx", false},
      {"P.OSes := AllOSes - [embedded, msdos];\nP.OSes := P.OSes - [java, android];", "jvm-android", false},
      {"P.OSes := AllOSes - [embedded, msdos];\nP.OSes := P.OSes - [java, android];", "x86_64-linux", true},
      {"P.OSes := []; // By default, do not build this package", "x86_64-linux", false},
      {"{ P.OSes := [win32]; }\nP.CPUs := [arm];", "x86_64-linux", false},  // a comment says nothing
      {"P.CPUs := [arm];", "arm-linux", true},
      {"P.OSes := SomeListOfItsOwn;", "x86_64-linux", std::nullopt},  // not known here: not held against it
      {"begin\nend.", "x86_64-linux", true},
  };
  for (const TPackageRow& row : rows)
    EXPECT_EQ(PackageBuildsFor(row.Description, *ParseTarget(row.Target)), row.Builds) << row.Description << " " << row.Target;

  TTargetRules rules(*ParseTarget("x86_64-linux"));
  rules.AddPackage("packages/amunits/", "P.OSes := [amiga];");
  EXPECT_EQ(rules.Fit("packages/amunits/src/exec.pas"), tfOther);
  EXPECT_EQ(rules.Fit("packages/amunits2/src/exec.pas"), tfAny);
  EXPECT_EQ(rules.Place("packages/fcl-base/examples/demo.pp", false), 4 | 1);  // not the library's, of no target
  EXPECT_EQ(rules.Place("compiler/systems.pas", false), 4 | 1);
  EXPECT_EQ(rules.Place("rtl/unix/demo.pp", true), 4);  // a program
}

}  // namespace
