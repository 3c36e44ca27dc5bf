// Which files a target's compiler reads: folders of systems and processors,
// and packages' build descriptions.

#include "index/Target.h"

#include <gmock/gmock.h>

#include <cstdio>

using namespace Vantry;

namespace {

TEST(TargetTest, ReadsTheCompilersNames) {
  EXPECT_EQ(ParseTarget("X86_64-Linux").value_or(TTarget{}).Name(), "x86_64-linux");
  for (const char* bad : {"", "x86_64", "x86_64-", "-linux", "x86_64-plan9", "vax-linux", "x86_64-linux-gnu"})
    EXPECT_FALSE(ParseTarget(bad)) << bad;
  EXPECT_EQ(ChosenTarget("i386-win32").Name(), "i386-win32");
  EXPECT_EQ(ChosenTarget("nonsense"), HostTarget());  // a stored value that names no target is passed over
  // This machine's target is what its compiler says, where it has one.
  if (FILE* fpc = popen("fpc -iTP -iTO 2>/dev/null", "r")) {
    char cpu[64] = {}, os[64] = {};
    const bool answered = std::fscanf(fpc, "%63s %63s", cpu, os) == 2;
    pclose(fpc);
    if (answered) {
      EXPECT_EQ(HostTarget().Name(), std::string(cpu) + "-" + os);
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
