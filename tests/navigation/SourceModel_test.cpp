// What one text says about the scopes at a place: '|' marks the place.

#include "navigation/SourceModel.h"

#include "index/Target.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <random>

using namespace Vantry;
using ::testing::ElementsAreArray;

namespace {

// The text without its '|', and where the '|' stood.
std::pair<std::string, uint32_t> Placed(std::string AText) {
  const size_t at = AText.find('|');
  AText.erase(at, 1);
  return {AText, static_cast<uint32_t>(at)};
}

struct TChainRow {
  const char* Text;
  std::vector<std::string> Chain;
};

TEST(SourceModelTest, ReadsTheChainOfNamesThatEndsAtAPlace) {
  const std::vector<TChainRow> rows = {
      {"  A.B.C|;", {"A", "B", "C"}},
      {"  A.B.|C;", {"A", "B", "C"}},
      {"  Items[i].Owner().Na|me := 1;", {"Items", "Owner", "Name"}},
      {"  List^[Index].StrIn|dex;", {"List", "StrIndex"}},
      {"  P^.Ne|xt;", {"P", "Next"}},
      {"  inherited Cre|ate(nil);", {"inherited", "Create"}},
      {"  X := Fo|o(A.B);", {"Foo"}},
      {"  X := 1.5 + Ab|s(Y);", {"Abs"}},
      {"  'text'.Len|gth;", {"Length"}},  // a string before the dot is no name
      {"  X :=| 1;", {}},
      {"  { Com|ment }", {}},
  };
  for (const TChainRow& row : rows) {
    const auto [text, at] = Placed(row.Text);
    uint32_t nameAt = 0;
    EXPECT_THAT(TSourceModel(text).ChainAt(at, nameAt), ElementsAreArray(row.Chain)) << row.Text;
  }
}

struct TRoutineRow {
  const char* Text;
  std::vector<std::string> Routines;  // "Owner.Name: local local ...", the outermost first
};

TEST(SourceModelTest, FindsTheRoutinesAroundAPlaceWithTheirLocals) {
  const std::vector<TRoutineRow> rows = {
      {"unit U;\ninterface\nprocedure Run(A: Integer);\nimplementation\n"
       "procedure Run(A: Integer);\nconst Limit = 3;\nvar B, C: string;\nbegin\n  |B := '';\nend;\nend.\n",
       {".Run: A Limit B C"}},
      {"unit U;\ninterface\ntype\n  TFoo = class\n    procedure Start;\n  end;\nimplementation\n"
       "procedure TFoo.Start;\n  procedure Inner(X: Integer);\n  var Y: Integer;\n  begin\n    |Y := X;\n  end;\n"
       "type TLocal = record end;\nbegin\n  Inner(1);\nend;\nend.\n",
       {"TFoo.Start: Inner TLocal", ".Inner: X Y"}},
      // A local procedural type and variable are no nested routines.
      {"program P;\nprocedure Run;\ntype\n  TCall = procedure(A: Integer) of object;\nvar\n  Call: function: Integer;\n"
       "begin\nend;\nprocedure Next;\nbegin\n  |Run;\nend;\nbegin\nend.\n",
       {".Next:"}},
      {"program P;\nprocedure A;\nbegin\nend;\nfunction B(const S: string): Integer;\nbegin\n  Result := |0;\nend;\n"
       "begin\nend.\n",
       {".B: S"}},
      // An exception handler's variable.
      {"program P;\nprocedure Run;\nbegin\n  try\n  except\n    on E: Exception do\n      |E.Free;\n  end;\nend;\n"
       "begin\nend.\n",
       {".Run: E"}},
      // Procedural types and variables of the implementation are no
      // routines, and a type that each branch of a conditional gives its
      // word has one end: the routines after them keep their scopes.
      {"unit U;\ninterface\nimplementation\ntype\n  TCall = procedure(A: Integer) of object;\n"
       "  TEnum = {$ifdef A}record{$else}object{$endif}\n    F: Byte;\n  end;\n  TAccess = class(TWinControl);\n"
       "  TGet = function: Integer;\nvar\n  Hook: procedure(P: Pointer);\nconst\n  Limit = 1;\n"
       "procedure Run(X: Integer);\nbegin\n  |X := 0;\nend;\nend.\n",
       {".Run: X"}},
      // Two branches that open one block: begin in one, asm in the other.
      {"program P;\nfunction HasMMX: Boolean;\n{$if defined(PUREPASCAL)}\nbegin\n  Result := False;\n{$else}\nasm\n"
       "  XOR EAX, EAX\n{$endif}\nend;\nprocedure Next(Y: Integer);\nbegin\n  |Y := 1;\nend;\nbegin\nend.\n",
       {".Next: Y"}},
      // Two branches that give one routine two headings, and a body that
      // the branches leave unbalanced: the routines after them keep theirs.
      {"program P;\n{$ifdef FAST}\nprocedure Move(A: Word);\n{$else}\nprocedure Move(B: Byte);\n{$endif}\nbegin\n"
       "  {$ifdef TRACE} if Tracing then begin {$endif}\n  Log;\nend;\nprocedure Last(Z: Integer);\nbegin\n  |Z := 2;\nend;\n"
       "begin\nend.\n",
       {".Last: Z"}},
      // A branch the target's compiler skips is not read: here it holds
      // another heading of the routine.
      {"program P;\n{$ifdef CPU64}\nprocedure Run(N: Int64);\n{$else}\nprocedure Run(M: Integer);\n{$endif}\nbegin\n"
       "  |N := 3;\nend;\nbegin\nend.\n",
       {".Run: N"}},
      {"program P;\nprocedure A; forward;\nprocedure B;\nbegin\nend;\nbegin\n  |A;\nend.\n", {}},  // the main block
      {"unit U;\ninterface\nprocedure |Run;\nimplementation\nend.\n", {}},  // a heading without a body
  };
  const TTargetSymbols symbols = SymbolsOf(*ParseTarget("x86_64-linux"));
  for (const TRoutineRow& row : rows) {
    const auto [text, at] = Placed(row.Text);
    std::vector<std::string> routines;
    for (const TRoutineScope& r : TSourceModel(text, &symbols).RoutinesAt(at)) {
      std::string line = r.Owner + "." + r.Name + ":";
      for (const TDeclaredName& local : r.Locals) line += " " + local.Name;
      routines.push_back(line);
    }
    EXPECT_THAT(routines, ElementsAreArray(row.Routines)) << row.Text;
  }
}

TEST(SourceModelTest, FindsTheWithStatementsAroundAPlace) {
  const auto [text, at] = Placed(
      "procedure P;\nbegin\n  with A, B.C do\n  begin\n    with D do X := 1;\n    with E[1] do\n      |Y;\n  end;\n"
      "  with F do Z;\nend;\n");
  std::vector<std::string> withs;
  for (const auto& expressions : TSourceModel(text).WithsAt(at, 0, static_cast<uint32_t>(text.size()))) {
    std::string line;
    for (const auto& chain : expressions) {
      line += line.empty() ? "" : ", ";
      for (size_t i = 0; i < chain.size(); ++i) line += (i ? "." : "") + chain[i];
    }
    withs.push_back(line);
  }
  EXPECT_THAT(withs, ElementsAreArray({"A", "B.C", "E"}));
  // "with A, B do" is "with A do with B do": B is read where A's members are
  // in reach.
  const auto [inList, second] = Placed("procedure P;\nbegin\n  with A, |B, C do\n    X;\nend;\n");
  EXPECT_EQ(TSourceModel(inList).WithsAt(second, 0, static_cast<uint32_t>(inList.size())).size(), 1u);
  // The branches of a conditional that open one block each open it once.
  const auto [branched, after] = Placed(
      "procedure P;\nbegin\n  with A do\n  {$ifdef X} begin Y; {$else} begin Z; {$endif}\n  end;\n  |W;\nend;\n");
  EXPECT_TRUE(TSourceModel(branched).WithsAt(after, 0, static_cast<uint32_t>(branched.size())).empty());
}

struct TTypeRow {
  const char* Text;  // '|' before the type's name
  const char* Shape;  // "kind ancestors: members" or "kind target"
};

TEST(SourceModelTest, ReadsTheShapeOfADeclaredType) {
  const std::vector<TTypeRow> rows = {
      {"type\n  |TFoo = class(TBar, IBaz)\n  private\n    FA, FB: Integer;\n    procedure Go;\n"
       "    function Get(I: Integer): TItem;\n    property Items[I: Integer]: TItem read Get; default;\n"
       "  type\n    TIn = record end;\n  const\n    Limit = 3;\n  end;\n",
       "class TBar IBaz: FA:Integer FB:Integer Go: Get:TItem Items:TItem TIn: Limit:"},
      {"type\n  |TRec = packed record\n    case Kind: Byte of\n      0: (I: Integer);\n      1: (S: Single; P: Pointer);\n  end;\n",
       "structure: Kind:Byte I:Integer S:Single P:Pointer"},
      {"type\n  |PFoo = ^TFoo;\n", "pointer TFoo"},
      {"type\n  |TFooClass = class of TFoo;\n", "class reference TFoo"},
      {"type\n  |TAlias = Classes.TStrings;\n", "alias Classes.TStrings"},
      {"type\n  |TItems = array[0..9] of array of TItem;\n", "alias TItem"},
      {"type\n  |TColor = (clRed, clBlue);\n", "other"},
      // Each branch of a conditional gives the type its word.
      {"type\n  |TEnum = {$ifdef A}record{$else}object{$endif}\n    FMode: Byte;\n    procedure Next;\n  end;\n",
       "structure: FMode:Byte Next:"},
  };
  for (const TTypeRow& row : rows) {
    const auto [text, at] = Placed(row.Text);
    const TTypeShape shape = TSourceModel(text).TypeAt(at);
    auto name = [](const TTypeName& T) { return (T.Unit.empty() ? "" : T.Unit + ".") + T.Name; };
    std::string line;
    switch (shape.Kind) {
      case TTypeShape::tsStructure:
        line = shape.Class ? "class" : "structure";
        for (const TTypeName& a : shape.Ancestors) line += " " + name(a);
        line += ":";
        for (const TDeclaredName& m : shape.Members) line += " " + m.Name + ":" + name(m.Type);
        break;
      case TTypeShape::tsPointer: line = "pointer " + name(shape.Target); break;
      case TTypeShape::tsClassReference: line = "class reference " + name(shape.Target); break;
      case TTypeShape::tsAlias: line = "alias " + name(shape.Target); break;
      default: line = "other";
    }
    EXPECT_EQ(line, row.Shape) << row.Text;
  }
}

// A class's body may include a file that holds more of its members.
TEST(SourceModelTest, ReadsTheFilesAStructuresBodyIncludes) {
  const std::string text = "type\n  TSet = class(TBase)\n    {$I seth.inc}\n  {$ifdef CPU16}{$I old.inc}{$endif}\n  end;\n"
                           "  {$I after.inc}\n";
  const TTargetSymbols symbols = SymbolsOf(*ParseTarget("x86_64-linux"));
  EXPECT_THAT(TSourceModel(text, &symbols).TypeAt(static_cast<uint32_t>(text.find("TSet"))).Includes,
              ElementsAreArray({"seth.inc"}));
  std::vector<std::string> members;
  for (const TDeclaredName& m : TSourceModel("function Arc(DC: HDC): Boolean; override;\nproperty Handle: THandle;\n").MembersOfBody())
    members.push_back(m.Name);
  EXPECT_THAT(members, ElementsAreArray({"Arc", "Handle"}));
}

TEST(SourceModelTest, ReadsDeclaredTypesModulesAndPlaces) {
  const std::string text =
      "unit U;\r{$mode delphi}\rinterface\ruses A, B.C in 'c.pas';\rvar X, Y: TList;\r"
      "function F(I: Integer): Sys.TName;\rimplementation\ruses D;\rend.\r";
  const TSourceModel model(text);
  EXPECT_EQ(model.Module().Name, "U");
  EXPECT_TRUE(model.Module().Unit);
  EXPECT_TRUE(model.Module().ObjectPascal);
  EXPECT_THAT(model.Module().InterfaceUses, ElementsAreArray({"A", "B.C"}));
  EXPECT_THAT(model.Module().ImplementationUses, ElementsAreArray({"D"}));
  // Uses clauses are read as the target's compiler reads them.
  const TTargetSymbols symbols = SymbolsOf(*ParseTarget("x86_64-linux"));
  const std::string conditional = "unit C;\ninterface\nuses {$ifdef windows} Windows, {$endif} {$ifdef unix} BaseUnix "
                                  "{$else} WinSock {$endif}, Classes;\nimplementation\nend.\n";
  EXPECT_THAT(TSourceModel(conditional, &symbols).Module().InterfaceUses, ElementsAreArray({"BaseUnix", "Classes"}));
  EXPECT_EQ(model.DeclaredTypeAt(static_cast<uint32_t>(text.find("X,"))).Name, "TList");
  EXPECT_EQ(model.DeclaredTypeAt(static_cast<uint32_t>(text.find("Y:"))).Name, "TList");
  const TTypeName result = model.DeclaredTypeAt(static_cast<uint32_t>(text.find("F(")));
  EXPECT_EQ(result.Unit + "." + result.Name, "Sys.TName");
  // Lone CRs end lines, both ways.
  const uint32_t at = model.OffsetOf(5, 5);
  EXPECT_EQ(text.substr(at, 1), "X");
  uint32_t line = 0, column = 0;
  model.LineColumnOf(at, line, column);
  EXPECT_EQ(line, 5u);
  EXPECT_EQ(column, 5u);
}

// Random damage: every question about every place of a broken text gets an
// answer (perhaps an empty one), never a crash or a hang.
TEST(SourceModelTest, SurvivesRandomDamage) {
  const std::string seed =
      "unit U;\ninterface\nuses A;\ntype\n  TFoo = class(TBar)\n    F: array of TItem;\n    procedure Go;\n  end;\n"
      "implementation\nprocedure TFoo.Go;\n  procedure In;\n  begin\n    with F[0] do X.Y^.Z;\n  end;\n"
      "var V: TFoo;\nbegin\n  inherited Go;\n  case V of 1: ; end;\nend;\nend.\n";
  std::mt19937 random(2026);
  for (int round = 0; round < 2000; ++round) {
    const std::string text = VantryTest::RandomlyDamaged(seed, random, "{}()[]^.;:=,");
    const TSourceModel model(text);
    const auto at = static_cast<uint32_t>(random() % (text.size() + 1));
    uint32_t nameAt = 0;
    for (const std::string& name : model.ChainAt(at, nameAt)) ASSERT_FALSE(name.empty());
    for (const TRoutineScope& r : model.RoutinesAt(at)) {
      ASSERT_LE(r.Begin, at);
      ASSERT_LT(at, r.End);
      model.WithsAt(at, r.Begin, r.End);
    }
    model.TypeAt(at);
    model.DeclaredTypeAt(at);
    model.StructureAt(at);
  }
}

}  // namespace
