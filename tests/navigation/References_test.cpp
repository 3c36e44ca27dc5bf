// Who refers to a declaration: a small library on disk with namesakes of
// other owners and units, an override, with statements, include files, and
// the name in comments and strings; then the outline of a unit and the peek
// of a declaration.

#include "navigation/Outline.h"
#include "navigation/Peek.h"
#include "navigation/References.h"

#include "index/DeclarationScanner.h"
#include "LibraryOnDisk.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

using namespace Vantry;
using ::testing::ElementsAreArray;

namespace {

const std::vector<std::pair<const char*, const char*>> Library = {
    {"rtl/system.pp", "unit System;\ninterface\ntype\n  TObject = class\n  end;\nimplementation\nend.\n"},
    {"lib/lists.pp",
     "unit Lists;\n"                                          // 1
     "{$mode objfpc}\n"                                       // 2
     "interface\n"                                            // 3
     "type\n"                                                 // 4
     "  TStrings = class\n"                                   // 5
     "    function Add(const S: string): Integer; virtual;\n" // 6
     "    function Add(I: Integer): Integer; overload;\n"     // 7
     "  end;\n"                                               // 8
     "  TStringList = class(TStrings)\n"                      // 9
     "    function Add(const S: string): Integer; override;\n" // 10
     "  end;\n"                                               // 11
     "  TSorted = class(TStringList)\n"                       // 12
     "    function Add(const S: string): Integer; override;\n" // 13
     "  end;\n"                                               // 14
     "implementation\n"                                       // 15
     "{$i listsimpl.inc}\n"                                   // 16
     "function TStringList.Add(const S: string): Integer;\n"  // 17
     "begin\n"                                                // 18
     "  Result := inherited Add(S); // Add once more\n"       // 19
     "end;\n"                                                 // 20
     "end.\n"},
    {"lib/listsimpl.inc",
     "function TStrings.Add(const S: string): Integer;\n"     // 1
     "begin\n"                                                // 2
     "  Result := Add(Length(S)); { not Add }\n"              // 3
     "end;\n"},
    {"lib/bags.pp",
     "unit Bags;\ninterface\ntype\n  TBag = class\n    function Add(X: Integer): Integer;\n  end;\n"
     "function IntToStr(I: Integer): string;\nimplementation\nend.\n"},
    {"lib/conv.pp",
     "unit Conv;\ninterface\nfunction IntToStr(I: Integer): string; overload;\n"
     "function IntToStr(I: Int64): string; overload;\nimplementation\nend.\n"},
    {"app/user.pp",
     "program User;\n"                                        // 1
     "{$mode objfpc}\n"                                       // 2
     "uses Lists, Bags, Conv;\n"                              // 3
     "var L: TStrings; SL: TStringList; B: TBag;\n"           // 4
     "begin\n"                                                // 5
     "  L.Add('a'); // L.Add('x')\n"                          // 6
     "  Writeln('L.Add ', IntToStr(1));\n"                    // 7
     "  SL.Add('b');\n"                                       // 8
     "  B.Add(1);\n"                                          // 9
     "  with L do Add('c');\n"                                // 10
     "  with B do Add(2);\n"                                  // 11
     "  Writeln(Bags.IntToStr(2), Conv.IntToStr(3));\n"       // 12
     "end.\n"},
};

struct TReferencesRow {
  const char* Name;
  const char* Declaration;  // as vantry-find --references takes it
  bool OverrideUses;
  std::vector<std::string> Expected;  // "path:line:column kind"
  friend void PrintTo(const TReferencesRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class ReferencesTest : public ::testing::TestWithParam<TReferencesRow> {
protected:
  void SetUp() override { Table = VantryTest::WriteLibrary(Temp, "lib-root", Library); }
  std::vector<std::string> Found(const TReferenceTarget& ATarget, bool AOverrideUses) {
    TReferenceSearch search(Table, *ParseTarget("x86_64-linux"));
    TReferenceOptions options;
    options.OverrideUses = AOverrideUses;
    std::vector<std::string> found;
    const std::string root = Temp / "lib-root/";
    for (const TReference& r : search.Find(ATarget, options))
      found.push_back(r.Path.substr(root.size()) + ":" + std::to_string(r.Line) + ":" + std::to_string(r.Column) + " " +
                      ReferenceKindName(r.Kind));
    return found;
  }

  VantryTest::TTempDir Temp;
  std::shared_ptr<const TDeclarationTable> Table;
};

TEST_P(ReferencesTest, ListsWhatTheCompilerBindsToTheDeclaration) {
  TReferenceSearch search(Table, *ParseTarget("x86_64-linux"));
  EXPECT_THAT(Found(search.TargetNamed(GetParam().Declaration), GetParam().OverrideUses),
              ElementsAreArray(GetParam().Expected));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReferencesTest,
    ::testing::Values(
        // Both overloads of the class are one; the overrides are listed as
        // such with their bodies; TBag.Add, comments and strings are not.
        TReferencesRow{"AMethodWithItsOverloadsAndOverrides", "TStrings.Add", false,
                       {"lib/lists.pp:6:14 declaration", "lib/lists.pp:7:14 declaration", "lib/lists.pp:10:14 override",
                        "lib/lists.pp:13:14 override", "lib/lists.pp:17:22 override", "lib/lists.pp:19:23 reference",
                        "lib/listsimpl.inc:1:19 definition", "lib/listsimpl.inc:3:13 reference",
                        "app/user.pp:6:5 reference", "app/user.pp:10:13 reference"}},
        TReferencesRow{"WithTheUsesOfItsOverrides", "TStrings.Add", true,
                       {"lib/lists.pp:6:14 declaration", "lib/lists.pp:7:14 declaration", "lib/lists.pp:10:14 override",
                        "lib/lists.pp:13:14 override", "lib/lists.pp:17:22 override", "lib/lists.pp:19:23 reference",
                        "lib/listsimpl.inc:1:19 definition", "lib/listsimpl.inc:3:13 reference",
                        "app/user.pp:6:5 reference", "app/user.pp:8:6 use of an override",
                        "app/user.pp:10:13 reference"}},
        TReferencesRow{"AnOverride", "TStringList.Add", false,
                       {"lib/lists.pp:10:14 declaration", "lib/lists.pp:13:14 override", "lib/lists.pp:17:22 definition",
                        "app/user.pp:8:6 reference"}},
        TReferencesRow{"ANamesakeOfAnotherOwner", "TBag.Add", false,
                       {"lib/bags.pp:5:14 declaration", "app/user.pp:9:5 reference", "app/user.pp:11:13 reference"}},
        // The program uses Conv last: its IntToStr wins over Bags's.
        TReferencesRow{"AUnitLevelRoutineOfTheUnitUsedLast", "Conv.IntToStr", false,
                       {"lib/conv.pp:3:10 declaration", "lib/conv.pp:4:10 declaration", "app/user.pp:7:21 reference",
                        "app/user.pp:12:34 reference"}}));

TEST_F(ReferencesTest, TheDeclarationAtAPlaceOfAnUnsavedText) {
  TReferenceSearch search(Table, *ParseTarget("x86_64-linux"));
  // The cursor on "Add" of "B.Add(1)" in the program's text.
  const std::string text = std::string(Library.back().second);
  const TReferenceTarget target =
      search.TargetAt(Temp / "lib-root/app/user.pp", text, static_cast<uint32_t>(text.find("B.Add(1)") + 2));
  EXPECT_EQ(target.QualifiedName, "TBag.Add");
  EXPECT_EQ(Found(target, false).size(), 3u);
  EXPECT_TRUE(search.TargetNamed("NoSuchName").Empty());
}

TEST(OutlineTest, ShowsSectionsUsesTypesMembersAndRoutines) {
  const char* text =
      "unit Shapes;\ninterface\nuses Classes, SysUtils;\ntype\n  TShape = class\n    FName: string;\n"
      "    procedure Draw;\n  end;\nconst Sides = 4;\nfunction Area: Integer;\nimplementation\nuses Math;\n"
      "procedure TShape.Draw;\n  procedure Inner;\n  begin\n  end;\nbegin\nend;\n"
      "function Area: Integer;\nbegin\n  Result := 0;\nend;\nend.\n";
  std::vector<std::string> rows;
  for (const TOutlineItem& item : OutlineOf(text, false))
    rows.push_back(std::string(item.Depth * 2, ' ') + std::to_string(item.Line) + " " + item.Kind + " " + item.Name +
                   (item.Detail.empty() ? "" : " " + item.Detail));
  EXPECT_THAT(rows, ElementsAreArray({"1 unit Shapes", "2 section interface", "  3 uses uses Classes, SysUtils",
                                      "  5 class TShape", "    7 procedure Draw", "  9 const Sides",
                                      "  10 function Area", "11 section implementation", "  12 uses uses Math",
                                      "  13 procedure TShape.Draw", "    14 procedure Inner", "  19 function Area"}));
  const std::vector<TOutlineItem> items = OutlineOf(text, false);
  EXPECT_EQ(items[static_cast<size_t>(OutlineItemAt(items, 21))].Name, "Area");
  EXPECT_EQ(OutlineItemAt(items, 0), -1);
}

struct TPeekRow {
  const char* Name;
  const char* Text;
  uint32_t Line, Column;
  const char* Kind;
  const char* Heading;
  const char* Comment;
  friend void PrintTo(const TPeekRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class PeekTest : public ::testing::TestWithParam<TPeekRow> {};

TEST_P(PeekTest, ShowsTheHeadingAndTheCommentAbove) {
  const TPeekRow& row = GetParam();
  const TPeek peek = PeekAt({"/lib/u.pas", row.Line, row.Column, row.Kind, "X", TDeclarationTable::None}, row.Text);
  EXPECT_EQ(peek.Heading, row.Heading);
  EXPECT_EQ(peek.Comment, row.Comment);
  EXPECT_EQ(peek.Module, "U");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PeekTest,
    ::testing::Values(
        TPeekRow{"ARoutineOverLinesWithItsDirectives",
                 "unit U;\ninterface\n// Adds S.\n// Returns its index.\nfunction Add(const S: string;\n  I: Integer): Integer; overload; virtual;\nimplementation\nend.\n",
                 5, 10, "function", "function Add(const S: string;\n  I: Integer): Integer; overload; virtual;",
                 "Adds S.\nReturns its index."},
        TPeekRow{"ATypesFirstLineAndABraceComment",
                 "unit U;\ninterface\ntype\n  { A list\n    of things }\n  TList = class(TObject)\n    procedure Clear;\n  end;\nimplementation\nend.\n",
                 6, 3, "class", "TList = class(TObject)", "A list\nof things"},
        TPeekRow{"AConstantToItsEndWithNoComment",
                 "unit U;\ninterface\n\nconst Names: array[0..1] of string = ('a';\n  'b');\nimplementation\nend.\n",
                 4, 7, "const", "const Names: array[0..1] of string = ('a';\n  'b');", ""}));

}  // namespace
