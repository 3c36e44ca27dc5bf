// vantry-find, run as a user would run it.

#include "source_menu/Settings.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

using namespace Vantry;

namespace {

class FindToolTest : public VantryTest::TIsolatedTest {
protected:
  void SetUp() override {
    Temp.WriteFile("Src/rtl/classesh.inc",
                   "type\n  TStringList = class\n    procedure Sort;\n    property Sorted: Boolean;\n  end;\n");
    Temp.WriteFile("Src/rtl/stringl.inc", "procedure TStringList.Sort;\nbegin\nend;\n");
    Temp.WriteFile("Src/rtl/sysutils.pp", "unit SysUtils;\ninterface\nconst MaxInt = 1;\n");
    Temp.WriteFile("Src/rtl/user.pp", "unit User;\ninterface\nuses SysUtils;\nconst Two = MaxInt + 1; { MaxInt }\n");
    Temp.WriteFile("Mine/demo.pp", "program Demo;\nuses SysUtils;\nvar Sort: Integer;\nbegin\n  MaxInt;\n  Move;\nend.\n");
    Temp.WriteFile("Mine/other.pp", "program Other;\nbegin\n  Two;\nend.\n");
    Temp.WriteFile("Src/rtl/linux/system.pp", "unit System;\ninterface\nprocedure Move;\n");
    Temp.WriteFile("Src/rtl/amiga/system.pp", "unit System;\ninterface\nprocedure Move;\n");
    Source = Temp / "Src";
  }
  std::string Source;
};

struct TRun {
  std::vector<std::string> Args;  // "SRC" stands for the source folder
  int Exit;
  const char* Output;  // "SRC" stands for the source folder; null: not checked
};

TEST_F(FindToolTest, PrintsWhereEditorsJumpAndExitsLikeGrep) {
  const std::vector<TRun> runs = {
      {{"--root", "SRC", "TStringList.So"}, 0,
       "SRC/rtl/classesh.inc:3:15: procedure TStringList.Sort\nSRC/rtl/classesh.inc:4:14: property TStringList.Sorted: Boolean\n"
       "SRC/rtl/stringl.inc:1:23: procedure TStringList.Sort  [definition]\n"},
      {{"--root", "SRC", "--limit", "1", "sort"}, 0, "SRC/rtl/classesh.inc:3:15: procedure TStringList.Sort\n"},
      {{"--root", "SRC", "--units", "sysu"}, 0, "SRC/rtl/sysutils.pp\n"},
      {{"--root", "SRC", "--list"}, 0,
       "SRC/rtl/classesh.inc:2:3: class TStringList\nSRC/rtl/classesh.inc:3:15: procedure TStringList.Sort\n"
       "SRC/rtl/classesh.inc:4:14: property TStringList.Sorted\nSRC/rtl/stringl.inc:1:23: procedure TStringList.Sort\n"
       "SRC/rtl/sysutils.pp:1:6: unit SysUtils\n"
       "SRC/rtl/sysutils.pp:3:7: const MaxInt\nSRC/rtl/user.pp:1:6: unit User\nSRC/rtl/user.pp:4:7: const Two\n"
       "SRC/rtl/amiga/system.pp:1:6: unit System\n"
       "SRC/rtl/amiga/system.pp:3:11: procedure Move\nSRC/rtl/linux/system.pp:1:6: unit System\n"
       "SRC/rtl/linux/system.pp:3:11: procedure Move\n"},
      {{"maxint"}, 0, "SRC/rtl/sysutils.pp:3:7: const MaxInt = 1\n"},  // the folder the settings name
      // A routine's body after its heading, each with the rest of its heading.
      {{"--root", "SRC", "TStringList.Sort"}, 0,
       "SRC/rtl/classesh.inc:3:15: procedure TStringList.Sort\nSRC/rtl/stringl.inc:1:23: procedure TStringList.Sort  [definition]\n"
       "SRC/rtl/classesh.inc:4:14: property TStringList.Sorted: Boolean\n"},
      {{"--root", "SRC", "--counterpart", "SRC/rtl/classesh.inc:3:16"}, 0, "SRC/rtl/stringl.inc:1:23: procedure TStringList.Sort;\n"},
      {{"--root", "SRC", "--counterpart", "SRC/rtl/stringl.inc:2:1"}, 0, "SRC/rtl/classesh.inc:3:15:     procedure Sort;\n"},
      {{"--root", "SRC", "--counterpart", "MINE/demo.pp:3:6"}, 1, ""},
      {{"--root", "SRC", "--definition", "MINE/demo.pp:5:4"}, 0, "SRC/rtl/sysutils.pp:3:7: const MaxInt\n"},
      {{"--root", "SRC", "--definition", "MINE/demo.pp:3:6"}, 0, "MINE/demo.pp:3:5: var Sort\n"},
      {{"--root", "SRC", "--definition", "MINE/demo.pp:1:2"}, 1, ""},  // a reserved word: no name there
      // System for the target asked for.
      {{"--root", "SRC", "--target", "x86_64-linux", "--definition", "MINE/demo.pp:6:3"}, 0,
       "SRC/rtl/linux/system.pp:3:11: procedure Move\n"},
      {{"--root", "SRC", "--target", "m68k-amiga", "--definition", "MINE/demo.pp:6:3"}, 0,
       "SRC/rtl/amiga/system.pp:3:11: procedure Move\n"},
      {{"--root", "SRC", "--target", "m68k-amiga", "--units", "sysu"}, 0, "SRC/rtl/sysutils.pp\n"},
      // References, by name or by place; not in the comment.
      {{"--root", "SRC", "--references", "MaxInt"}, 0,
       "SRC/rtl/sysutils.pp:3:7: const MaxInt = 1;  [declaration]\nSRC/rtl/user.pp:4:13: const Two = MaxInt + 1; { MaxInt }\n"},
      {{"--root", "SRC", "--references", "MINE/demo.pp:5:4"}, 0,
       "MINE/demo.pp:5:3:   MaxInt;\nSRC/rtl/sysutils.pp:3:7: const MaxInt = 1;  [declaration]\n"
       "SRC/rtl/user.pp:4:13: const Two = MaxInt + 1; { MaxInt }\n"},
      // Not in reach: nothing, unless a guess is asked for, and then marked.
      {{"--root", "SRC", "--definition", "MINE/other.pp:3:3"}, 1, ""},
      {{"--root", "SRC", "--definition", "MINE/other.pp:3:3", "--guess"}, 0, "SRC/rtl/user.pp:4:7: const Two  [by name alone]\n"},
      {{"--root", "SRC", "--guess", "two"}, 2, ""},
      // Several folders: each one's files.
      {{"--root", "SRC/rtl/linux", "--root", "MINE", "--units", "--list"}, 0,
       "SRC/rtl/linux/system.pp\nMINE/demo.pp\nMINE/other.pp\n"},
      {{"--root", "SRC", "--references", "zzqq"}, 1, ""},
      {{"--outline", "MINE/demo.pp"}, 0, "1: program Demo\n2: uses SysUtils\n3: var Sort\n"},
      {{"--root", "SRC", "--peek", "MINE/demo.pp:5:4"}, 0, "SRC/rtl/sysutils.pp:3:7: const MaxInt (SysUtils)\nconst MaxInt = 1;\n"},
      {{"--outline", "MINE/demo.pp", "--references", "MaxInt"}, 2, ""},
      {{"--root", "SRC", "--override-uses", "sort"}, 2, ""},
      {{"--root", "SRC", "--definition", "MINE/demo.pp:x:1"}, 2, ""},
      {{"--root", "SRC", "--definition", "MINE/missing.pp:1:1"}, 2, ""},
      {{"--root", "SRC", "--definition", "MINE/demo.pp:1:1", "sort"}, 2, ""},
      {{"--root", "SRC", "--target", "vax-vms", "sort"}, 2, ""},
      {{"--root", "SRC", "zzqq"}, 1, ""},
      {{"--root", "SRC/missing", "sort"}, 2, ""},
      {{"--root", "", "sort"}, 2, ""},  // an empty folder name is a mistake, not the settings'
      {{"--version"}, 0, "vantry-find 1.0\n"},
      {{"--root", "SRC", "--limit", "many", "sort"}, 2, ""},
      {{"--root", "SRC", "--units", "--declarations", "sort"}, 2, ""},
      {{"--root", "SRC", "--list", "sort"}, 2, ""},
      {{"--root", "SRC"}, 2, ""},
      {{"--help"}, 0, nullptr},
  };
  WriteSettings(false, Source);
  for (const TRun& run : runs) {
    std::vector<std::string> args;
    for (std::string arg : run.Args)
      args.push_back(arg.find("SRC") == 0 ? Source + arg.substr(3) : arg.find("MINE") == 0 ? Temp / "Mine" + arg.substr(4) : arg);
    SCOPED_TRACE(::testing::PrintToString(args));
    std::string output;
    EXPECT_EQ(VantryTest::RunTool(VANTRY_FIND_TOOL, args, output), run.Exit);
    if (!run.Output) continue;
    std::string expected = run.Output;
    for (size_t at; (at = expected.find("SRC")) != std::string::npos;) expected.replace(at, 3, Source);
    for (size_t at; (at = expected.find("MINE")) != std::string::npos;) expected.replace(at, 4, Temp / "Mine");
    EXPECT_EQ(output, expected);
  }
  std::string help;
  VantryTest::RunTool(VANTRY_FIND_TOOL, {"--help"}, help);
  EXPECT_THAT(help, ::testing::HasSubstr("PATH:LINE:COLUMN: KIND NAME"));
}

}  // namespace
