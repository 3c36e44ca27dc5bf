#include "index/UnitRanking.h"

#include "support/TestSupport.h"

#include <gmock/gmock.h>

using namespace Vantry;
using ::testing::ElementsAreArray;

namespace {

// A small library, laid out as a walk would find it: folders in path order.
TFileTable FixedTree() {
  TFileTable table("/lib");
  const std::vector<std::pair<const char*, std::vector<const char*>>> tree = {
      {"", {"fab.pp", "fpc_base.pp", "tw32x.pp", "win32api.pp"}},
      {"Win/", {"StrUtils.pas"}},
      {"misc/", {"casual.pas", "colorsel.pp"}},
      {"packages/fcl-base/src/", {"classhelpers.pp", "mathutils.pp"}},
      {"packages/rtl-objpas/src/inc/", {"strutils.pp"}},
      {"rtl/objpas/", {"math.inc", "math.pp"}},
      {"rtl/objpas/classes/", {"classes.inc"}},
      {"rtl/objpas/sysutils/", {"sysuni.inc", "sysutilh.inc", "sysutils.inc"}},
      {"rtl/unix/", {"classes.pp", "sysutils.pp"}},
  };
  for (const auto& [folder, names] : tree) {
    uint32_t f = table.AddFolder(folder);
    for (const char* name : names) table.AddFile(f, name);
  }
  return table;
}

std::vector<std::string> Ranked(const TFileTable& ATable, TUnitSearch& ASearch, const std::string& AQuery) {
  ASearch.Search(ATable, 1, AQuery);
  std::vector<std::string> paths;
  for (const TRankedFile& r : ASearch.Results()) paths.push_back(ATable.RelativePath(r.File));
  return paths;
}

struct TRankRow {
  const char* Name;
  const char* Query;
  std::vector<std::string> Top;  // the first results, in order
  friend void PrintTo(const TRankRow& ARow, std::ostream* AOut) { *AOut << ARow.Query; }
};

class RankingTest : public ::testing::TestWithParam<TRankRow> {};

TEST_P(RankingTest, PutsTheExpectedFilesFirst) {
  const TFileTable table = FixedTree();
  TUnitSearch search;
  std::vector<std::string> all = Ranked(table, search, GetParam().Query);
  std::vector<std::string> top(all.begin(), all.begin() + std::min(all.size(), GetParam().Top.size()));
  EXPECT_THAT(top, ElementsAreArray(GetParam().Top)) << "all: " << ::testing::PrintToString(all);
  if (GetParam().Top.empty()) {
    EXPECT_TRUE(all.empty());
  }

  // Typed one key at a time, each search narrowing the last, the ranking
  // is the same as for the whole query at once.
  TUnitSearch typed;
  const std::string query = GetParam().Query;
  for (size_t n = 1; n <= query.size(); ++n) Ranked(table, typed, query.substr(0, n));
  EXPECT_EQ(Ranked(table, typed, query), all);
  EXPECT_EQ(typed.LastSearchWasNarrowed(), query.find('/') == std::string::npos);
}

// For a target, its own folders' units come first, another target's last,
// and a package whose build description leaves the target out counts as
// another target's; the library's own units before examples.
TEST(UnitRankingTest, PutsTheTargetsUnitsFirst) {
  VantryTest::TTempDir temp;
  temp.WriteFile("packages/amunits/fpmake.pp", "begin\n  P.OSes := [amiga];\nend.\n");
  TFileTable table(temp.Path().string());
  const std::vector<std::pair<const char*, const char*>> files = {
      {"packages/amunits/", "fpmake.pp"}, {"packages/amunits/src/", "sockets.pp"},
      {"packages/fcl-base/examples/", "sockets.pp"},
      {"packages/rtl-extra/src/amiga/", "sockets.pp"}, {"packages/rtl-extra/src/unix/", "sockets.pp"},
      {"packages/rtl-extra/src/win/", "sockets.pp"}, {"packages/zlib/", "sockets.pp"}};
  for (const auto& [folder, name] : files) table.AddFile(table.AddFolder(folder), name);
  struct TRow {
    const char* Target;
    std::vector<std::string> Top;
  };
  for (const TRow& row : std::vector<TRow>{
           {"x86_64-linux", {"packages/rtl-extra/src/unix/sockets.pp", "packages/zlib/sockets.pp",
                             "packages/fcl-base/examples/sockets.pp"}},
           {"i386-win32", {"packages/rtl-extra/src/win/sockets.pp", "packages/zlib/sockets.pp"}},
           {"m68k-amiga", {"packages/rtl-extra/src/amiga/sockets.pp", "packages/zlib/sockets.pp",
                           "packages/amunits/src/sockets.pp"}}}) {
    TUnitSearch search;
    search.SetTarget(*ParseTarget(row.Target));
    std::vector<std::string> all = Ranked(table, search, "sockets");
    all.resize(row.Top.size());
    EXPECT_THAT(all, ElementsAreArray(row.Top)) << row.Target;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Queries, RankingTest,
    ::testing::Values(
        // A unit before include files that match alike, even shorter ones.
        TRankRow{"PrefixUnitFirst", "sysu", {"rtl/unix/sysutils.pp", "rtl/objpas/sysutils/sysuni.inc"}},
        // The query's start as the name's start beats letters further in;
        // a shorter name beats a longer one that matches alike.
        TRankRow{"SubsequenceShorterFirst", "cls",
                 {"rtl/unix/classes.pp", "packages/fcl-base/src/classhelpers.pp", "misc/colorsel.pp"}},
        TRankRow{"ExactAboveLongerPrefix", "math", {"rtl/objpas/math.pp", "rtl/objpas/math.inc",
                                                    "packages/fcl-base/src/mathutils.pp"}},
        // Case ignored; among equals the shallower folder first.
        TRankRow{"ExactIgnoringCase", "SysUtils", {"rtl/unix/sysutils.pp", "rtl/objpas/sysutils/sysutils.inc"}},
        TRankRow{"ShallowerFirst", "STRUTILS", {"Win/StrUtils.pas", "packages/rtl-objpas/src/inc/strutils.pp"}},
        TRankRow{"WordStartAtCaseChange", "su", {"Win/StrUtils.pas", "misc/casual.pas"}},
        TRankRow{"WordStartAfterUnderscore", "fb", {"fpc_base.pp", "fab.pp"}},
        TRankRow{"WordStartAtDigits", "w32", {"win32api.pp", "tw32x.pp"}},
        TRankRow{"ExtensionTyped", "classes.inc", {"rtl/objpas/classes/classes.inc"}},
        TRankRow{"FolderAndName", "unix/cl", {"rtl/unix/classes.pp"}},
        TRankRow{"ByPathWhenTheNameAloneFails", "unixclass", {"rtl/unix/classes.pp"}},
        TRankRow{"NothingMatches", "qqq", {}}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// The name with the matched letters in brackets, and the folder likewise.
std::string Shown(std::string_view AText, const std::vector<uint16_t>& AMarks) {
  std::string shown;
  for (size_t i = 0; i < AText.size(); ++i) {
    bool marked = std::find(AMarks.begin(), AMarks.end(), i) != AMarks.end();
    shown += marked ? "[" + std::string(1, AText[i]) + "]" : std::string(1, AText[i]);
  }
  return shown;
}

TEST(RankingMarksTest, MarkTheLettersThatMatched) {
  const TFileTable table = FixedTree();
  const std::vector<std::array<const char*, 3>> rows = {
      {"su", "Win/StrUtils.pas", "[S]tr[U]tils.pas Win/"},
      {"fb", "fpc_base.pp", "[f]pc_[b]ase.pp "},
      {"cls", "rtl/unix/classes.pp", "[c][l]a[s]ses.pp rtl/unix/"},
      {"w32", "win32api.pp", "[w]in[3][2]api.pp "},
      {"SYSU", "rtl/unix/sysutils.pp", "[s][y][s][u]tils.pp rtl/unix/"},
      {"unixclass", "rtl/unix/classes.pp", "[c][l][a][s][s]es.pp rtl/[u][n][i][x]/"},
      {"obj/sysutils.inc", "rtl/objpas/sysutils/sysutils.inc",
       "[s][y][s][u][t][i][l][s][.][i][n][c] rtl/[o][b][j]pas/sysutils/"},
  };
  for (const auto& [query, path, expected] : rows) {
    uint32_t file = 0;
    while (table.RelativePath(file) != path) ++file;
    TMatchMarks marks = TUnitSearch::Marks(table, file, query);
    EXPECT_EQ(Shown(table.Name(file), marks.Name) + " " + Shown(table.Folder(table.File(file).Folder), marks.Folder),
              expected)
        << query;
  }
}

// A name in a uses clause means a unit: an include file of that name gives
// way to it, and is found only when no unit has the name.
TEST(RankingLookupTest, FindsUnitsByTheirNameWithoutExtension) {
  const TFileTable table = FixedTree();
  auto named = [&](const char* AName) {
    std::vector<std::string> paths;
    for (uint32_t f : TUnitSearch::UnitsNamed(table, AName)) paths.push_back(table.RelativePath(f));
    return paths;
  };
  EXPECT_EQ(named("Classes"), (std::vector<std::string>{"rtl/unix/classes.pp"}));
  EXPECT_EQ(named("strutils"), (std::vector<std::string>{"Win/StrUtils.pas", "packages/rtl-objpas/src/inc/strutils.pp"}));
  EXPECT_EQ(named("sysutilh"), (std::vector<std::string>{"rtl/objpas/sysutils/sysutilh.inc"}));
  EXPECT_EQ(named("fpc_BASE"), (std::vector<std::string>{"fpc_base.pp"}));
  EXPECT_TRUE(named("class").empty());
  EXPECT_TRUE(named("classes.pp").empty());
}

// A table that grows while the same query is searched again (the index
// still being walked) ranks the new files in with the old ones.
TEST(RankingLookupTest, AGrowingTableIsRankedAsAWholeOne) {
  TFileTable table = FixedTree();
  TUnitSearch search;
  search.Search(table, 1, "sysu");
  table.AddFile(table.AddFolder("a/"), "sysu.pp");
  std::vector<std::string> grown = Ranked(table, search, "sysu");
  EXPECT_TRUE(search.LastSearchWasNarrowed());
  EXPECT_EQ(grown.front(), "a/sysu.pp");
  TUnitSearch fresh;
  EXPECT_EQ(Ranked(table, fresh, "sysu"), grown);
  EXPECT_EQ(search.MatchCount(), fresh.MatchCount());
}

}  // namespace
