// What a name at a place means: a small library on disk, and a program (or
// a unit) of the user's with the cursor marked '|' in it, for each of the
// compiler's scoping rules.

#include "navigation/Resolver.h"

#include "index/DeclarationScanner.h"
#include "LibraryOnDisk.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <random>

using namespace Vantry;

namespace {

const std::vector<std::pair<const char*, const char*>> Library = {
    {"rtl/linux/system.pp",
     "unit System;\ninterface\n{$i systemh.inc}\ntype\n  TObject = class\n    constructor Create;\n  end;\n"
     "implementation\nend.\n"},
    {"rtl/amiga/system.pp", "unit System;\ninterface\nprocedure Move(const A; var B; C: Longint);\nimplementation\nend.\n"},
    {"rtl/inc/systemh.inc", "procedure Move(const A; var B; C: Longint);\ntype\n  Integer = SmallInt;\n"},
    {"rtl/objpas/objpas.pp", "unit objpas;\ninterface\ntype\n  Integer = Longint;\nimplementation\nend.\n"},
    {"lib/settings.inc", "{$mode objfpc}\n"},
    {"rtl/unix/classes.pp", "unit Classes;\ninterface\ntype\n  TStringList = class\n  end;\nimplementation\nend.\n"},
    {"rtl/amicommon/classes.pp", "unit Classes;\ninterface\ntype\n  TStringList = class\n  end;\nimplementation\nend.\n"},
    {"lib/shapes.pp",
     "unit Shapes;\n{$mode objfpc}\ninterface\n{$i shapesh.inc}\ntype\n"
     "  TOwnerThing = record\n    Name: string;\n  end;\n"
     "  TShape = class\n    procedure Resize;\n    property Owner: TOwnerThing read FOwner;\n  end;\n"
     "function Area: Integer;\nfunction Clash: Integer;\nimplementation\nfunction Hidden: Integer;\nbegin\nend;\nend.\n"},
    {"lib/kinds.pp",
     "unit Kinds;\ninterface\nuses Shapes;\ntype\n  TShapeClass = class of TShape;\n  TAlias = TShape;\n"
     "  TLister = class\n    function First: TShape;\n    class function Make: TLister;\n  end;\n"
     "implementation\nend.\n"},
    {"lib/arrays.pp",
     "unit Arrays;\ninterface\nuses Shapes;\ntype\n  TShapeArray = array[0..9] of TShape;\n  PShapeArray = ^TShapeArray;\n"
     "implementation\nend.\n"},
    {"lib/shapesh.inc", "const\n  MaxShapes = 10;\n"},
    {"lib/a.pp", "unit A;\ninterface\nfunction Clash: Integer;\nimplementation\nend.\n"},
    {"lib/b.pp", "unit B;\ninterface\nconst Clash = 2;\nimplementation\nend.\n"},
    {"lib/unused.pp", "unit Unused;\ninterface\nconst Faraway = 3;\nimplementation\nend.\n"},
    // A unit whose file only includes the file that declares it.
    {"lib/wrap.pp", "{$i wrapped.inc}\n"},
    {"lib/wrapped.inc", "unit Wrap;\ninterface\nuses Shapes;\nfunction Wrapped: TShape;\nimplementation\nend.\n"},
    // A class whose methods' headings stand in a file its body includes.
    {"lib/widgets.pp", "unit Widgets;\ninterface\ntype\n  TWidgetSet = class\n    {$i widgetsh.inc}\n  end;\nimplementation\nend.\n"},
    {"lib/widgetsh.inc", "function Arc(DC: Integer): Boolean; virtual;\n"},
};

struct TResolveRow {
  const char* Name;
  const char* Target;
  const char* Text;      // the user's file; '|' marks the cursor
  const char* Expected;  // the first answer, "path:line kind Name"; "" for none
  bool Scoped = true;
  friend void PrintTo(const TResolveRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class ResolverTest : public ::testing::TestWithParam<TResolveRow> {
protected:
  void SetUp() override { Table = VantryTest::WriteLibrary(Temp, "lib-root", Library); }
  // The first answer, its path relative to the temporary folder.
  std::string Relative(const TAnswer& AAnswer) const {
    std::string path = AAnswer.Path;
    const std::string root = Temp / "lib-root/";
    if (path.rfind(root, 0) == 0) path = path.substr(root.size());
    if (path == Temp / "user.pp") path = "user.pp";
    return path + ":" + std::to_string(AAnswer.Line) + " " + AAnswer.Kind + " " + AAnswer.Name;
  }

  VantryTest::TTempDir Temp;
  std::shared_ptr<const TDeclarationTable> Table;
};

TEST_P(ResolverTest, AnswersAsTheCompilerBinds) {
  std::string text = GetParam().Text;
  const size_t cursor = text.find('|');
  text.erase(cursor, 1);
  TResolver resolver(Table, *ParseTarget(GetParam().Target));
  const TResolution resolution = resolver.Resolve(Temp / "user.pp", text, static_cast<uint32_t>(cursor));
  const std::string first = resolution.Answers.empty() ? "" : Relative(resolution.Answers.front());
  EXPECT_EQ(first, GetParam().Expected) << resolution.Note;
  EXPECT_EQ(resolution.Scoped, GetParam().Scoped) << resolution.Note;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ResolverTest,
    ::testing::Values(
        TResolveRow{"ALocalHidesTheUnitsName", "x86_64-linux",
                    "program P;\nuses Shapes;\nprocedure Run;\nvar\n  Area: Integer;\nbegin\n  Ar|ea := 1;\nend;\nbegin\nend.\n",
                    "user.pp:5 var Area"},
        TResolveRow{"AUnitKnownByItsFilesNameAlone", "x86_64-linux",
                    "program P;\nuses Wrap;\nbegin\n  Wrap|ped;\nend.\n", "lib/wrapped.inc:4 function Wrapped"},
        TResolveRow{"TheUsesClauseOfTheFileAUnitIncludes", "x86_64-linux",
                    "program P;\nuses Wrap;\nbegin\n  Wrapped.Res|ize;\nend.\n", "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"AParameter", "x86_64-linux",
                    "program P;\nuses Shapes;\nprocedure Run(Area: Integer);\nbegin\n  Ar|ea := 1;\nend;\nbegin\nend.\n",
                    "user.pp:3 parameter Area"},
        TResolveRow{"TheUnitsNameOutsideTheRoutine", "x86_64-linux",
                    "program P;\nuses Shapes;\nprocedure Run;\nvar\n  Area: Integer;\nbegin\nend;\nbegin\n  Ar|ea;\nend.\n",
                    "lib/shapes.pp:13 function Area"},
        TResolveRow{"AMemberInAFileTheClassIncludes", "x86_64-linux",
                    "program P;\nuses Widgets;\nvar W: TWidgetSet;\nbegin\n  W.Ar|c(1);\nend.\n",
                    "lib/widgetsh.inc:1 function TWidgetSet.Arc"},
        TResolveRow{"APropertyPublishedAgainHasItsAncestorsType", "x86_64-linux",
                    "program P;\nuses Shapes;\ntype\n  TBase = class\n    property Owner: TOwnerThing read FOwner;\n  end;\n"
                    "  TForm = class(TBase)\n  published\n    property Owner;\n  end;\nvar F: TForm;\nbegin\n"
                    "  F.Owner.Na|me := '';\nend.\n",
                    "lib/shapes.pp:7 field TOwnerThing.Name"},
        TResolveRow{"AnInheritedMember", "x86_64-linux",
                    "program P;\nuses Shapes;\ntype\n  TSquare = class(TShape)\n    procedure Draw;\n  end;\n"
                    "procedure TSquare.Draw;\nbegin\n  Res|ize;\nend;\nbegin\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"TheDefaultAncestor", "x86_64-linux",
                    "program P;\ntype\n  TThing = class\n  end;\nbegin\n  TThing.Cre|ate;\nend.\n",
                    "rtl/linux/system.pp:6 constructor TObject.Create"},
        TResolveRow{"AWithStatement", "x86_64-linux",
                    "program P;\nuses Shapes;\nprocedure Run(S: TShape);\nbegin\n  with S do\n    Res|ize;\nend;\nbegin\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"AChainThroughAPropertyAndAField", "x86_64-linux",
                    "program P;\nuses Shapes;\nvar S: TShape;\nbegin\n  S.Owner.Na|me := '';\nend.\n",
                    "lib/shapes.pp:7 field TOwnerThing.Name"},
        TResolveRow{"AFunctionsResult", "x86_64-linux",
                    "program P;\nuses Shapes;\nfunction Make: TShape;\nbegin\n  Result.Res|ize;\nend;\nbegin\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"TheLaterUnitOfTheUsesClauseWins", "x86_64-linux",
                    "program P;\nuses A, B;\nbegin\n  Cla|sh;\nend.\n", "lib/b.pp:3 const Clash"},
        TResolveRow{"ImplementationUsesBeforeInterfaceUses", "x86_64-linux",
                    "unit U;\ninterface\nuses B;\nimplementation\nuses A;\nprocedure Run;\nbegin\n  Cla|sh;\nend;\nend.\n",
                    "lib/a.pp:3 function Clash"},
        TResolveRow{"AUnitQualifiedName", "x86_64-linux",
                    "program P;\nuses A, B;\nbegin\n  A.Cla|sh;\nend.\n", "lib/a.pp:3 function Clash"},
        TResolveRow{"AnIncludeFilesDeclaration", "x86_64-linux",
                    "program P;\nuses Shapes;\nbegin\n  MaxSh|apes;\nend.\n", "lib/shapesh.inc:2 const MaxShapes"},
        TResolveRow{"SystemThroughItsIncludeFileForTheTarget", "x86_64-linux",
                    "program P;\nbegin\n  Mo|ve(a, b, 1);\nend.\n", "rtl/inc/systemh.inc:1 procedure Move"},
        TResolveRow{"SystemForAnotherTarget", "m68k-amiga",
                    "program P;\nbegin\n  Mo|ve(a, b, 1);\nend.\n", "rtl/amiga/system.pp:3 procedure Move"},
        TResolveRow{"TheTargetsUnit", "x86_64-linux",
                    "program P;\nuses Classes;\nvar L: TStri|ngList;\nbegin\nend.\n", "rtl/unix/classes.pp:4 class TStringList"},
        TResolveRow{"AnotherTargetsUnit", "m68k-amiga",
                    "program P;\nuses Classes;\nvar L: TStri|ngList;\nbegin\nend.\n",
                    "rtl/amicommon/classes.pp:4 class TStringList"},
        TResolveRow{"AUnitsHiddenRoutineIsNotInReach", "x86_64-linux",
                    "program P;\nuses Shapes;\nbegin\n  Hid|den;\nend.\n", "", false},
        TResolveRow{"AnUnusedUnitIsNotInReach", "x86_64-linux",
                    "program P;\nuses Shapes;\nbegin\n  Fara|way;\nend.\n", "", false},
        TResolveRow{"DeclaredNowhere", "x86_64-linux", "program P;\nbegin\n  Nowh|ere;\nend.\n", "", false},
        TResolveRow{"BuiltIntoTheCompiler", "x86_64-linux", "program P;\nvar B: Bool|ean;\nbegin\nend.\n", ""},
        TResolveRow{"ANestedRoutineInAMethod", "x86_64-linux",
                    "program P;\nuses Shapes;\ntype\n  TSquare = class(TShape)\n    procedure Draw;\n  end;\n"
                    "procedure TSquare.Draw;\n  procedure Inner;\n  begin\n    Res|ize;\n  end;\nbegin\n  Inner;\nend;\n"
                    "begin\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"AFieldInItsClasssDeclaration", "x86_64-linux",
                    "program P;\ntype\n  TThing = class\n    FCount: Integer;\n    property Count: Integer read FCo|unt;\n"
                    "  end;\nbegin\nend.\n",
                    "user.pp:4 field TThing.FCount"},
        TResolveRow{"ATypeDeclaredInAClass", "x86_64-linux",
                    "program P;\ntype\n  TOuter = class\n  type\n    TIn = record\n      X: Integer;\n    end;\n"
                    "    procedure Go(Q: TIn);\n  end;\nprocedure TOuter.Go(Q: TIn);\nbegin\n  Q.X| := 1;\nend;\nbegin\nend.\n",
                    "user.pp:6 field TIn.X"},
        TResolveRow{"ThroughAPointerAndAnArray", "x86_64-linux",
                    "program P;\nuses Arrays;\nvar A: PShapeArray;\nbegin\n  A^[1].Res|ize;\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"AClassReferencesClass", "x86_64-linux",
                    "program P;\nuses Kinds;\nvar C: TShapeClass;\nbegin\n  C.Res|ize;\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"AnAliassType", "x86_64-linux",
                    "program P;\nuses Kinds;\nvar A: TAlias;\nbegin\n  A.Res|ize;\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"AFunctionsResultAlongAChain", "x86_64-linux",
                    "program P;\nuses Kinds;\nbegin\n  TLister.Make.First.Res|ize;\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"AUnitQualifiedType", "x86_64-linux",
                    "program P;\nuses A, Shapes;\nvar S: Shapes.TShape;\nbegin\n  S.Res|ize;\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"SelfInAMethod", "x86_64-linux",
                    "program P;\nuses Shapes;\ntype\n  TSquare = class(TShape)\n    procedure Draw;\n  end;\n"
                    "procedure TSquare.Draw;\nbegin\n  Self.Res|ize;\nend;\nbegin\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"ABareInheritedCall", "x86_64-linux",
                    "program P;\nuses Shapes;\ntype\n  TSquare = class(TShape)\n    procedure Resize;\n  end;\n"
                    "procedure TSquare.Resize;\nbegin\n  inher|ited;\nend;\nbegin\nend.\n",
                    "lib/shapes.pp:10 procedure TShape.Resize"},
        TResolveRow{"TheMethodsOwnDeclarationOverTheAncestors", "x86_64-linux",
                    "program P;\nuses Shapes;\ntype\n  TSquare = class(TShape)\n    procedure Resize;\n  end;\n"
                    "procedure TSquare.Resize;\nbegin\n  Res|ize;\nend;\nbegin\nend.\n",
                    "user.pp:5 procedure TSquare.Resize"},
        TResolveRow{"NestedWithStatementsInnermostFirst", "x86_64-linux",
                    "program P;\nuses Shapes;\nvar S: TShape;\n    O: TOwnerThing;\nbegin\n  with S do\n    with O do\n"
                    "      Na|me := '';\nend.\n",
                    "lib/shapes.pp:7 field TOwnerThing.Name"},
        TResolveRow{"SystemsIntegerInFpcMode", "x86_64-linux", "program P;\nvar I: Inte|ger;\nbegin\nend.\n",
                    "rtl/inc/systemh.inc:3 type Integer"},
        TResolveRow{"ObjpassIntegerInAModeSetByAnIncludedFile", "x86_64-linux",
                    "program P;\n{$i settings.inc}\nvar I: Inte|ger;\nbegin\nend.\n", "rtl/objpas/objpas.pp:4 type Integer"}));

}  // namespace

namespace {

// Random damage to a program: every place of it gets an answer (perhaps
// none), never a crash or a hang, and every answer names a place.
TEST_F(ResolverTest, SurvivesRandomDamage) {
  const std::string seed =
      "program P;\n{$i settings.inc}\nuses Shapes, Arrays, A, B;\ntype\n  TSquare = class(TShape)\n    procedure Draw;\n"
      "  end;\nprocedure TSquare.Draw;\n  procedure Inner(Q: PShapeArray);\n  begin\n    with Q^[1] do Resize;\n  end;\n"
      "begin\n  inherited Resize;\n  Owner.Name := Area;\nend;\nvar S: TShape;\nbegin\n  S.Owner.Name := '';\nend.\n";
  TResolver resolver(Table, *ParseTarget("x86_64-linux"));
  std::mt19937 random(2026);
  for (int round = 0; round < 1500; ++round) {
    const std::string text = VantryTest::RandomlyDamaged(seed, random, "{}()[]^.;:=,");
    const TResolution resolution =
        resolver.Resolve(Temp / "user.pp", text, static_cast<uint32_t>(random() % (text.size() + 1)));
    for (const TAnswer& a : resolution.Answers) {
      ASSERT_FALSE(a.Path.empty());
      ASSERT_GT(a.Line, 0u);
      ASSERT_GT(a.Column, 0u);
    }
  }
}

}  // namespace

namespace {

// An include file of the library, asked about as the editor has it: its
// names are looked up as its unit's, whether its path is the library's or
// one through a link to it.
TEST_F(ResolverTest, AnIncludeFileIsReadAsPartOfItsUnit) {
  std::filesystem::create_directory_symlink(Temp / "lib-root", Temp / "link");
  const std::string text = "const\n  MaxShapes = 10;\n  Biggest: TShape = nil;\n";
  const auto at = static_cast<uint32_t>(text.find("TShape") + 2);
  TResolver resolver(Table, *ParseTarget("x86_64-linux"));
  for (const std::string& path : {Temp / "lib-root/lib/shapesh.inc", Temp / "link/lib/shapesh.inc",
                                  Temp / "link/lib/../lib/shapesh.inc"}) {
    const TResolution resolution = resolver.Resolve(path, text, at);
    ASSERT_FALSE(resolution.Answers.empty()) << path;
    EXPECT_EQ(Relative(resolution.Answers.front()), "lib/shapes.pp:9 class TShape") << path;
    EXPECT_EQ(resolution.Via, "in Shapes") << path;
  }
}

}  // namespace
