// From a routine's heading to its body and back: a small library on disk,
// the cursor marked '|' in one of its files (or in the user's own).

#include "navigation/Counterpart.h"

#include "LibraryOnDisk.h"

#include <gmock/gmock.h>

using namespace Vantry;

namespace {

const VantryTest::TLibrarySources Library = {
    // A unit whose class and routines are declared in include files and
    // whose bodies lie in others, as the Free Pascal RTL has them.
    {"rtl/classes/classes.pp",
     "unit Classes;\ninterface\n{$i classesh.inc}\nimplementation\n{$i stringl.inc}\nend.\n"},
    {"rtl/classes/classesh.inc",
     "type\n  TStringList = class\n    procedure Sort;\n    function Add(const S: string): Integer; overload;\n"
     "    function Add(I: Integer): Integer; overload;\n    procedure Abstract; virtual; abstract;\n"
     "    procedure Clear;\n  end;\n"
     "function IntToStr(Value: Longint): string;\nfunction IntToStr(Value: Int64): string;\n"},
    {"rtl/classes/stringl.inc",
     "procedure TStringList.Sort;\nbegin\n  Add('x');\nend;\n"
     "function TStringList.Add(I: Integer): Integer;\nbegin\nend;\n"
     "function TStringList.Add(const S: string): Integer;\n  procedure Nested;\n  begin\n  end;\nbegin\n  Nested;\nend;\n"
     "function IntToStr(Value: Int64): string;\nbegin\nend;\nfunction IntToStr(Value: Longint): string;\nbegin\nend;\n"},
    // A namesake in another unit, whose bodies are its own.
    {"other/lists.pp",
     "unit Lists;\ninterface\ntype\n  TStringList = class\n    procedure Sort;\n    procedure Clear;\n  end;\n"
     "implementation\nprocedure TStringList.Sort;\nbegin\nend;\nprocedure TStringList.Clear;\nbegin\nend;\nend.\n"},
    // Heading and body in one unit, and a forward declaration.
    {"lib/shapes.pp",
     "unit Shapes;\ninterface\ntype\n  TShape = class\n    procedure Draw(Fast: Boolean);\n  end;\n"
     "function Area: Integer;\nimplementation\nprocedure Later; forward;\n"
     "procedure TShape.Draw(Fast: Boolean);\nbegin\n  Later;\nend;\nfunction Area: Integer;\nbegin\nend;\n"
     "procedure Later;\nbegin\nend;\nprocedure Alone;\nbegin\nend;\nend.\n"},
};

struct TCounterpartRow {
  const char* Name;
  const char* Path;   // the file asked about, below the library's root
  const char* Place;  // a line of it with '|' at the cursor
  const char* Expected;  // "path:line:column" below the root, or "" for none
  friend void PrintTo(const TCounterpartRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class CounterpartTest : public ::testing::TestWithParam<TCounterpartRow> {
protected:
  VantryTest::TTempDir Temp;
};

TEST_P(CounterpartTest, GoesFromAHeadingToItsBodyAndBack) {
  const TCounterpartRow& row = GetParam();
  const auto table = VantryTest::WriteLibrary(Temp, "lib", Library);
  std::string text;
  for (const auto& [path, source] : Library)
    if (std::string(path) == row.Path) text = source;
  // The cursor goes where the row's line, without its '|', stands.
  std::string place = row.Place;
  const size_t bar = place.find('|');
  place.erase(bar, 1);
  const size_t at = text.find(place);
  ASSERT_NE(at, std::string::npos) << place;
  TResolver resolver(table, TTarget());
  const TCounterpart found = CounterpartOf(resolver, Temp / "lib" + "/" + row.Path, text, static_cast<uint32_t>(at + bar));
  if (!*row.Expected) {
    EXPECT_TRUE(found.Empty()) << found.Place.Path << ":" << found.Place.Line;
    EXPECT_FALSE(found.Note.empty());
    return;
  }
  EXPECT_EQ(found.Place.Path.substr(found.Place.Path.empty() ? 0 : (Temp / "lib").size() + 1) + ":" +
                std::to_string(found.Place.Line) + ":" + std::to_string(found.Place.Column),
            row.Expected)
      << found.Note;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CounterpartTest,
    ::testing::Values(
        // Across include files, both ways; a namesake's body is not this one's.
        TCounterpartRow{"MethodHeadingToBodyInAnotherInclude", "rtl/classes/classesh.inc", "    procedure So|rt;",
                        "rtl/classes/stringl.inc:1:23"},
        TCounterpartRow{"StartOfTheHeadingsLine", "rtl/classes/classesh.inc", "|    procedure Sort;",
                        "rtl/classes/stringl.inc:1:23"},
        TCounterpartRow{"InsideABodyToItsHeading", "rtl/classes/stringl.inc", "  A|dd('x');",
                        "rtl/classes/classesh.inc:3:15"},
        TCounterpartRow{"NamesakeInAnotherUnit", "other/lists.pp", "    procedure So|rt;", "other/lists.pp:9:23"},
        TCounterpartRow{"NamesakesBodyIsNotThisOnes", "rtl/classes/classesh.inc", "    procedure Cl|ear;", ""},
        // Overloads by their parameters, both ways.
        TCounterpartRow{"SecondOverloadToItsBody", "rtl/classes/classesh.inc", "function A|dd(I: Integer)",
                        "rtl/classes/stringl.inc:5:22"},
        TCounterpartRow{"FirstOverloadToItsBody", "rtl/classes/classesh.inc", "function A|dd(const S",
                        "rtl/classes/stringl.inc:8:22"},
        TCounterpartRow{"OverloadedBodyToItsHeading", "rtl/classes/stringl.inc", "function TStringList.A|dd(I",
                        "rtl/classes/classesh.inc:5:14"},
        TCounterpartRow{"RoutineOverloadToItsBody", "rtl/classes/classesh.inc", "function IntToStr(Value: L|ongint)",
                        "rtl/classes/stringl.inc:18:10"},
        TCounterpartRow{"RoutineBodyToItsOverload", "rtl/classes/stringl.inc", "function IntToS|tr(Value: Int64)",
                        "rtl/classes/classesh.inc:10:10"},
        // The innermost routine: a nested one is its own heading.
        TCounterpartRow{"NestedRoutineHasNone", "rtl/classes/stringl.inc", "  b|egin\n  end;", ""},
        TCounterpartRow{"AbstractMethodHasNoBody", "rtl/classes/classesh.inc", "procedure Abst|ract", ""},
        // In one unit's text: class, interface and forward headings.
        TCounterpartRow{"MethodInTheSameUnit", "lib/shapes.pp", "    procedure Dr|aw(", "lib/shapes.pp:10:18"},
        TCounterpartRow{"BodyInTheSameUnit", "lib/shapes.pp", "  La|ter;\nend;", "lib/shapes.pp:5:15"},
        TCounterpartRow{"InterfaceRoutine", "lib/shapes.pp", "function Ar|ea: Integer;\nimpl", "lib/shapes.pp:14:10"},
        TCounterpartRow{"ForwardDeclaration", "lib/shapes.pp", "procedure La|ter; forward;", "lib/shapes.pp:17:11"},
        TCounterpartRow{"BodyToItsForwardDeclaration", "lib/shapes.pp", "procedure La|ter;\nbegin", "lib/shapes.pp:9:11"},
        TCounterpartRow{"RoutineWithoutHeading", "lib/shapes.pp", "procedure Al|one;", ""},
        TCounterpartRow{"NoRoutineHere", "lib/shapes.pp", "  TSh|ape = class", "" }),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

}  // namespace
