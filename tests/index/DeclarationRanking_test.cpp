#include "index/DeclarationRanking.h"

#include <gmock/gmock.h>

using namespace Vantry;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// A small library, scanned as the index scans it, in walk order.
TDeclarationTable Library() {
  const std::vector<std::pair<const char*, const char*>> files = {
      {"examples/demo.pp", "program Demo;\nfunction IntToStr(I: Integer): string;\nbegin\nend;\nbegin\nend.\n"},
      {"packages/ide/fputils.pas", "unit FPUtils;\ninterface\nfunction IntToStr(I: Longint): string;\nimplementation\nend.\n"},
      {"rtl/objpas/classes/classesh.inc",
       "type\n  TSeekOrigin = (soBeginning, soCurrent);\n"
       "  TList = class\n    procedure Sort;\n  end;\n"
       "  TStringList = class\n    procedure CustomSort;\n    procedure Sort;\n    property Sorted: Boolean;\n  end;\n"},
      {"rtl/objpas/sysutils/sysstr.inc", "function IntToStr(I: Longint): string;\nbegin\nend;\n"},
      {"rtl/objpas/sysutils/sysstrh.inc", "function IntToStr(I: Longint): string;\n"},
      // Another system's namesake; an old unit nobody uses beside the
      // classes unit that one other unit uses.
      {"rtl/amicommon/sysutils.pp", "unit SysUtils;\ninterface\nfunction IntToStr(I: Longint): string;\nimplementation\nend.\n"},
      {"rtl/old/objects.pp", "unit Objects;\ninterface\ntype\n  TStringList = object\n  end;\nimplementation\nend.\n"},
      {"rtl/unix/classes.pp", "unit Classes;\ninterface\n{$i classesh.inc}\nimplementation\nend.\n"},
      {"rtl/unix/user.pp", "unit User;\ninterface\nuses Classes;\nimplementation\nend.\n"},
      {"rtl/generics.collections.pas", "unit Generics.Collections;\ninterface\nimplementation\nend.\n"},
  };
  TDeclarationTableBuilder builder("/lib");
  TDeclarationScanner scanner;
  for (const auto& [path, text] : files) {
    const auto& found = scanner.Scan(text, IsIncludeFileName(path));
    builder.AddFile(path, 1, 1, found, scanner.Links());
  }
  return builder.Finish();
}

// "Owner.Name path:line", best first.
std::vector<std::string> Ranked(const TDeclarationTable& ATable, TDeclarationSearch& ASearch, const std::string& AQuery) {
  ASearch.Search(ATable, 1, AQuery);
  std::vector<std::string> rows;
  for (const TRankedDeclaration& r : ASearch.Results())
    rows.push_back(ATable.QualifiedName(r.Declaration) + " " + std::string(ATable.FilePath(ATable.FileOf(r.Declaration))) +
                   ":" + std::to_string(ATable.Entry(r.Declaration).Line));
  return rows;
}

struct TRankRow {
  const char* Query;
  std::vector<std::string> Uses;
  const char* Target;
  std::vector<std::string> Expected;  // all the results, in order
  friend void PrintTo(const TRankRow& ARow, std::ostream* AOut) {
    *AOut << ARow.Query;
    for (const std::string& unit : ARow.Uses) *AOut << "_uses_" << unit;
    if (*ARow.Target) *AOut << "_for_" << ARow.Target;
  }
};

class DeclarationRankingTest : public ::testing::TestWithParam<TRankRow> {};

TEST_P(DeclarationRankingTest, RanksAndNarrowsAlike) {
  const TDeclarationTable table = Library();
  const TTarget target = ParseTarget(GetParam().Target).value_or(TTarget{});
  TDeclarationSearch search;
  search.SetPreferredUnits(GetParam().Uses);
  search.SetTarget(target);
  EXPECT_THAT(Ranked(table, search, GetParam().Query), ElementsAreArray(GetParam().Expected));
  // Typed one key at a time, each search narrowing the last, the ranking is
  // the same as for the whole query at once.
  TDeclarationSearch typed;
  typed.SetPreferredUnits(GetParam().Uses);
  typed.SetTarget(target);
  const std::string query = GetParam().Query;
  for (size_t n = 1; n < query.size(); ++n) typed.Search(table, 1, query.substr(0, n));
  EXPECT_THAT(Ranked(table, typed, query), ElementsAreArray(GetParam().Expected));
  EXPECT_EQ(typed.LastSearchWasNarrowed(), query.back() != '.');  // a new dot starts afresh
}

INSTANTIATE_TEST_SUITE_P(
    Queries, DeclarationRankingTest,
    ::testing::Values(
        // The library's units and include files before programs and the
        // IDE's sources, a declaration before its definition; the units the
        // source uses before the others; the target's before another
        // system's; a used unit's before a namesake nobody uses.
        TRankRow{"inttostr", {}, "",
                 {"IntToStr rtl/objpas/sysutils/sysstrh.inc:1", "IntToStr rtl/amicommon/sysutils.pp:3",
                  "IntToStr rtl/objpas/sysutils/sysstr.inc:1", "IntToStr examples/demo.pp:2",
                  "IntToStr packages/ide/fputils.pas:3"}},
        TRankRow{"IntToStr", {"FPUtils"}, "",
                 {"IntToStr packages/ide/fputils.pas:3", "IntToStr rtl/objpas/sysutils/sysstrh.inc:1",
                  "IntToStr rtl/amicommon/sysutils.pp:3", "IntToStr rtl/objpas/sysutils/sysstr.inc:1",
                  "IntToStr examples/demo.pp:2"}},
        TRankRow{"IntToStr", {}, "x86_64-linux",
                 {"IntToStr rtl/objpas/sysutils/sysstrh.inc:1", "IntToStr rtl/objpas/sysutils/sysstr.inc:1",
                  "IntToStr examples/demo.pp:2", "IntToStr packages/ide/fputils.pas:3",
                  "IntToStr rtl/amicommon/sysutils.pp:3"}},
        TRankRow{"IntToStr", {}, "m68k-amiga",
                 {"IntToStr rtl/amicommon/sysutils.pp:3", "IntToStr rtl/objpas/sysutils/sysstrh.inc:1",
                  "IntToStr rtl/objpas/sysutils/sysstr.inc:1", "IntToStr examples/demo.pp:2",
                  "IntToStr packages/ide/fputils.pas:3"}},
        TRankRow{"TStringList", {}, "",
                 {"TStringList rtl/objpas/classes/classesh.inc:6", "TStringList rtl/old/objects.pp:4"}},
        // Owner and member; the owner must match, the member as any name.
        TRankRow{"TStringList.So", {}, "",
                 {"TStringList.Sort rtl/objpas/classes/classesh.inc:8",
                  "TStringList.Sorted rtl/objpas/classes/classesh.inc:9",
                  "TStringList.CustomSort rtl/objpas/classes/classesh.inc:7"}},
        TRankRow{"TSeekOrigin.", {}, "",
                 {"TSeekOrigin.soCurrent rtl/objpas/classes/classesh.inc:2",
                  "TSeekOrigin.soBeginning rtl/objpas/classes/classesh.inc:2"}},
        TRankRow{"sobeg", {}, "", {"TSeekOrigin.soBeginning rtl/objpas/classes/classesh.inc:2"}},
        TRankRow{"tsl", {}, "", {"TStringList rtl/objpas/classes/classesh.inc:6", "TStringList rtl/old/objects.pp:4"}},
        TRankRow{"Generics.Coll", {}, "", {"Generics.Collections rtl/generics.collections.pas:1"}},
        TRankRow{"qz", {}, "", {}}));

TEST(DeclarationRankingTest, NamedFindsExactNamesWithTheirOwner) {
  const TDeclarationTable table = Library();
  auto named = [&](const char* AOwner, const char* AName) {
    std::vector<std::string> names;
    for (uint32_t d : TDeclarationSearch::Named(table, AOwner, AName)) names.push_back(table.QualifiedName(d));
    return names;
  };
  EXPECT_THAT(named("tstringlist", "SORT"), ElementsAre("TStringList.Sort"));
  EXPECT_THAT(named("", "Sort"), ElementsAre("TList.Sort", "TStringList.Sort"));
  EXPECT_THAT(named("TList", "Sorted"), ElementsAre());
}

TEST(DeclarationRankingTest, ReadsTheNameAtTheCursorAndTheUsesClauses) {
  const std::string text = "uses A, B in 'b.pas', { C, } Ns.D;\nbegin\n  List .Sort(x); y := 1.5; z := a..b;\n";
  struct TRow {
    const char* At;  // the cursor stands before this text's first occurrence...
    size_t Plus;     // ...plus this many bytes
    const char* Expected;
  };
  for (const TRow& row : std::vector<TRow>{{"List", 0, ".List"}, {"List", 4, ".List"}, {"Sort", 2, "List.Sort"},
                                           {"Sort", 4, "List.Sort"}, {"1.5", 2, "."}, {"b;", 0, ".b"},
                                           {"(x)", 0, "List.Sort"}, {"  List", 1, "."}}) {
    const TNameAtCursor at = NameAt(text, text.find(row.At) + row.Plus);
    EXPECT_EQ(at.Owner + "." + at.Name, row.Expected) << row.At << "+" << row.Plus;
  }
  EXPECT_THAT(UsedUnits(text + "implementation\nuses A, E;\n"), ElementsAre("A", "B", "Ns.D", "E"));
}

}  // namespace
