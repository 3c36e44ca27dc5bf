#include "finder/DeclarationScanner.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <random>

using namespace Vantry;
using ::testing::ElementsAreArray;

namespace {

// "line:column kind Owner.Name", "(definition)" after a routine's body.
std::vector<std::string> Found(const std::string& AText, bool AInclude = false) {
  std::vector<std::string> lines;
  for (const TDeclaration& d : ScanDeclarations(AText, AInclude))
    lines.push_back(std::to_string(d.Line) + ":" + std::to_string(d.Column) + " " + DeclarationKindName(d.Kind) +
                    " " + (d.Owner.empty() ? "" : d.Owner + ".") + d.Name + (d.Definition ? " (definition)" : ""));
  return lines;
}

struct TSourceRow {
  const char* Name;
  bool Include;
  const char* Text;
  std::vector<std::string> Expected;
  friend void PrintTo(const TSourceRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class ScannerTest : public ::testing::TestWithParam<TSourceRow> {};

TEST_P(ScannerTest, FindsTheDeclarationsOfTheSource) {
  EXPECT_THAT(Found(GetParam().Text, GetParam().Include), ElementsAreArray(GetParam().Expected));
}

const std::vector<TSourceRow> Sources = {
        // Every kind of type, members by their owner, a forward class declaration
        // left for the real one, the implementation's own routines and types.
        TSourceRow{"EveryKind", false,
                   "unit Kinds;\ninterface\nuses Classes;\ntype\n"
                   "  TShape = class;\n"
                   "  TColor = (clRed, clGreen);\n"
                   "  TColors = set of TColor;\n  PShape = ^TShape;\n"
                   "  TNotify = procedure(Sender: TObject) of object;\n"
                   "  TShapeClass = class of TShape;\n  TInts = array of Integer;\n  TAlias = Integer;\n"
                   "  generic TList<T> = class\n    procedure Add(const AItem: T);\n  end;\n"
                   "  TShape = class(TObject)\n  private\n    FName: string;\n  public\n"
                   "    constructor Create;\n    destructor Destroy; override;\n"
                   "    class function Count: Integer;\n    property Name: string read FName;\n  end;\n"
                   "  IShape = interface\n    function Area: Double;\n  end;\n"
                   "  TPoint = record\n    X, Y: Integer;\n    function Len: Double;\n  end;\n"
                   "  TOld = object\n    procedure Run;\n  end;\n"
                   "  THelp = class helper for TShape\n    procedure Show;\n  end;\n"
                   "const\n  Limit = 10;\nresourcestring\n  SHello = 'Hello';\n"
                   "var\n  Counter: Integer;\nthreadvar\n  Local: Integer;\n"
                   "procedure Paint(A: TShape);\n"
                   "implementation\ntype\n  TPrivate = class\n  end;\n"
                   "procedure Paint(A: TShape);\nbegin\nend;\n"
                   "procedure Hidden;\nvar V: Integer;\n  procedure Nested;\n  begin\n  end;\nbegin\nend;\nend.\n",
                   {"1:6 unit Kinds", "6:3 enum TColor", "6:13 enum value TColor.clRed",
                    "6:20 enum value TColor.clGreen", "7:3 set TColors", "8:3 pointer PShape",
                    "9:3 procedure type TNotify", "10:3 class reference TShapeClass", "11:3 array TInts",
                    "12:3 type TAlias", "13:11 class TList", "14:15 procedure TList.Add", "16:3 class TShape",
                    "20:17 constructor TShape.Create", "21:16 destructor TShape.Destroy",
                    "22:20 class function TShape.Count", "23:14 property TShape.Name", "25:3 interface IShape",
                    "26:14 function IShape.Area", "28:3 record TPoint", "30:14 function TPoint.Len",
                    "32:3 object TOld", "33:15 procedure TOld.Run", "35:3 helper THelp",
                    "36:15 procedure THelp.Show", "39:3 const Limit", "41:3 resourcestring SHello",
                    "43:3 var Counter", "45:3 threadvar Local", "46:11 procedure Paint", "49:3 class TPrivate",
                    "54:11 procedure Hidden"}},
        // A variant part with a nested record ends where the record does; both
        // branches of a conditional are read; comments, strings and directives
        // hold no declaration.
        TSourceRow{"VariantsConditionalsComments", false,
                   "unit Edge;\ninterface\ntype\n"
                   "  TVariant = record\n    case Kind: Integer of\n      0: (I: Integer);\n"
                   "      1: (Inner: record\n            A, B: Byte;\n          end);\n  end;\n"
                   "  TAfter = Integer;\n"
                   "  TCond = class\n{$ifdef UNIX}\n    procedure OnUnix;\n{$else}\n    procedure OnOther;\n"
                   "{$endif}\n  end;\n"
                   "  // type TLine = Integer;\n  { type TBrace = Integer; }\n  (* type TParen = Integer; *)\n"
                   "const\n  SText = 'type TInString = Integer;';\n  {$define TDirective}\n  Last = 1;\n",
                   {"1:6 unit Edge", "4:3 record TVariant", "11:3 type TAfter", "12:3 class TCond",
                    "14:15 procedure TCond.OnUnix", "16:15 procedure TCond.OnOther", "23:3 const SText",
                    "25:3 const Last"}},
        // An include file has no sections: a routine with a body defines one.
        TSourceRow{"IncludeFile", true,
                   "function IntToStr(Value: Integer): string;\n"
                   "function IntToStr(Value: Integer): string;\nbegin\n  Result := '';\nend;\n",
                   {"1:10 function IntToStr", "2:10 function IntToStr (definition)"}},
        TSourceRow{"Program", false, "program Demo;\ntype TLocal = Integer;\nprocedure Run;\nbegin\nend;\nbegin\n  Run;\nend.\n",
                   {"1:9 program Demo", "2:6 type TLocal", "3:11 procedure Run"}},
        TSourceRow{"UnitWithoutImplementation", false, "unit NoImpl;\ninterface\nconst\n  Only = 1;\nend.\n",
                   {"1:6 unit NoImpl", "4:3 const Only"}},
        // Broken and strange texts give what can be read.
        TSourceRow{"UnterminatedComment", false, "unit Broken;\ninterface\ntype\n  TGood = Integer;\n  { open\n  TLost = Integer;\n",
                   {"1:6 unit Broken", "4:3 type TGood"}},
        TSourceRow{"BinaryAndLatin1", false,
                   "unit Odd;\ninterface\ntype\n  Caf\xe9 = Integer;\n  T\xff = \x01 record end;\n  TOk = Integer;\n",
                   {"1:6 unit Odd", "4:3 type Caf\xe9", "5:3 record T\xff", "6:3 type TOk"}}};

INSTANTIATE_TEST_SUITE_P(Sources, ScannerTest, ::testing::ValuesIn(Sources),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(ScannerTest, ReadsAHugeLineAndDeepNestingInLinearTime) {
  // 50 MB of one line: a constant table; then unbalanced nesting.
  std::string text = "unit Big;\ninterface\nconst\n  Table: array[0..9999999] of Byte = (";
  text.reserve(50'000'100);
  while (text.size() < 50'000'000) text += "1,2,3,4,";
  text += "0);\n  After = 1;\n";
  EXPECT_EQ(Found(text).back(), "5:3 const After");
  std::string deep = "program P;\n" + std::string(100000, '(') + std::string(100000, '[');
  for (int i = 0; i < 20000; ++i) deep += "procedure P; begin case ";
  EXPECT_EQ(Found(deep).front(), "1:9 program P");
}

// Random damage to the sources above: every declaration found must be a
// name that stands where its line and column say. Short; `make
// test-sanitize` runs it under the address and undefined-behaviour
// sanitizers too.
TEST(ScannerTest, SurvivesRandomDamage) {
  std::string seed;
  for (const TSourceRow& row : Sources) seed += row.Text;
  std::mt19937 random(2026);
  TDeclarationScanner scanner;
  for (int round = 0; round < 20000; ++round) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = random() % text.size();
      switch (random() % 4) {
        case 0: text[at] = static_cast<char>(random()); break;
        case 1: text.erase(at, random() % 64); break;
        case 2: text.insert(at, text.substr(random() % text.size(), random() % 64)); break;
        default: text.insert(at, 1, "{}()*'/;#&$.\n"[random() % 13]); break;
      }
    }
    for (const TFoundDeclaration& d : scanner.Scan(text, round % 2)) {
      ASSERT_FALSE(d.Name.empty());
      ASSERT_GE(d.Name.data(), text.data());
      ASSERT_LE(d.Name.data() + d.Name.size(), text.data() + text.size());
      const auto offset = static_cast<size_t>(d.Name.data() - text.data());
      const size_t lineStart = text.rfind('\n', offset == 0 ? 0 : offset - 1);
      const size_t column = offset - (lineStart == std::string::npos || offset == 0 ? 0 : lineStart + 1) + 1;
      ASSERT_EQ(d.Line, 1 + std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n'));
      ASSERT_EQ(d.Column, column);
    }
  }
}

}  // namespace
