#include "platform/SysUtils.h"

#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>

using namespace Vantry;
using ::testing::HasSubstr;

struct TFormatRow {
  const char* Name;
  const char* Format;
  std::vector<TVarRec> Args;
  const char* Expected;
  friend void PrintTo(const TFormatRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class FormatTest : public ::testing::TestWithParam<TFormatRow> {};

TEST_P(FormatTest, ProducesTheDelphiText) {
  const TFormatRow& row = GetParam();
  std::string result;
  switch (row.Args.size()) {
    case 0: result = Format(row.Format, {}); break;
    case 1: result = Format(row.Format, {row.Args[0]}); break;
    default: result = Format(row.Format, {row.Args[0], row.Args[1]}); break;
  }
  EXPECT_EQ(result, row.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, FormatTest,
    ::testing::Values(TFormatRow{"String", "Cannot find menu item, %s", {"FileSaveItem"}, "Cannot find menu item, FileSaveItem"},
                      TFormatRow{"EmptyString", "Directory '%s' does not exist.", {""}, "Directory '' does not exist."},
                      TFormatRow{"Integer", "%d files", {-42}, "-42 files"},
                      TFormatRow{"Hex", "%x", {255}, "FF"},
                      TFormatRow{"Width", "[%5d]", {42}, "[   42]"},
                      TFormatRow{"LeftJustified", "[%-4s]", {"ab"}, "[ab  ]"},
                      TFormatRow{"Precision", "%.3d|%.2s", {7, "abcdef"}, "007|ab"},
                      TFormatRow{"Percent", "100%% of %s", {"it"}, "100% of it"},
                      TFormatRow{"PercentInArgument", "%s", {"50%"}, "50%"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(FormatErrors, MismatchedOrMissingArgumentsRaiseEConvertError) {
  EXPECT_THROW(Format("%d", {"text"}), EConvertError);
  EXPECT_THROW(Format("%s", {5}), EConvertError);
  EXPECT_THROW(Format("%s and %s", {"one"}), EConvertError);
  EXPECT_THROW(Format("%q", {1}), EConvertError);
  EXPECT_THROW(Format("trailing %", {}), EConvertError);
  try {
    Format("%d", {"x"});
  } catch (const EConvertError& e) {
    EXPECT_THAT(e.Message(), HasSubstr("'%d'"));
  }
}

TEST(ExceptionTest, FormatsItsMessageAndKeepsItsClass) {
  try {
    throw EComponentError("A component named %s already exists", {"Item1"});
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "A component named Item1 already exists");
    EXPECT_STREQ(e.what(), "A component named Item1 already exists");
    EXPECT_NE(dynamic_cast<const EComponentError*>(&e), nullptr);
  }
}

TEST(StringHelpers, TrimExtractFileNameAndCase) {
  EXPECT_EQ(Trim("  \t path \r\n"), "path");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(ExtractFileName("/usr/share/fpcsrc/rtl"), "rtl");
  EXPECT_EQ(ExtractFileName("dir/"), "");
  EXPECT_EQ(ExtractFileName("plain"), "plain");
  EXPECT_TRUE(SameText("FileSaveItem", "FILESAVEITEM"));
  EXPECT_FALSE(SameText("Item", "Items"));
  EXPECT_LT(CompareText("alpha", "Beta"), 0);
  EXPECT_TRUE(IsValidIdent("_Item1"));
  EXPECT_FALSE(IsValidIdent("1Item"));
  EXPECT_FALSE(IsValidIdent("Item-1"));
  EXPECT_FALSE(IsValidIdent(""));
}

class FileSearchTest : public ::testing::Test {
protected:
  // Lists a pattern's entries as "name:attributes" with the given filter.
  std::set<std::string> Find(const std::string& AMask, int AAttr) {
    std::set<std::string> found;
    TSearchRec rec;
    for (int r = FindFirst(Temp / AMask, AAttr, rec); r == 0; r = FindNext(rec)) found.insert(rec.Name);
    FindClose(rec);
    return found;
  }

  VantryTest::TTempDir Temp;
};

TEST_F(FileSearchTest, FiltersHiddenSystemAndDirectoryEntries) {
  Temp.MakeDir("Rtl");
  Temp.MakeDir(".Tmp");
  Temp.WriteFile("A.pas");
  Temp.WriteFile(".H.pas");
  ASSERT_EQ(mkfifo((Temp / "pipe.pas").c_str(), 0600), 0);
  ASSERT_EQ(symlink("nowhere", (Temp / "dangling.pas").c_str()), 0);
  ASSERT_EQ(symlink("Rtl", (Temp / "LinkToRtl").c_str()), 0);

  EXPECT_EQ(Find("*", 0), (std::set<std::string>{"A.pas"}));
  EXPECT_EQ(Find("*", faDirectory), (std::set<std::string>{".", "..", "Rtl", "LinkToRtl", "A.pas"}));
  EXPECT_EQ(Find("*.pas", faHidden), (std::set<std::string>{"A.pas", ".H.pas"}));
  EXPECT_EQ(Find("*.pas", faSysFile), (std::set<std::string>{"A.pas", "pipe.pas", "dangling.pas"}));
  EXPECT_EQ(Find("*", faAnyFile).size(), 9u);
}

TEST_F(FileSearchTest, ReportsAttributesOfEachEntry) {
  Temp.MakeDir("Rtl");
  Temp.WriteFile(".hidden");
  TSearchRec rec;
  ASSERT_EQ(FindFirst(Temp / "rtl", faAnyFile, rec), 0);
  EXPECT_EQ(rec.Name, "Rtl");
  EXPECT_EQ(rec.Attr & (faDirectory | faHidden), faDirectory);
  ASSERT_EQ(FindFirst(Temp / ".hidden", faAnyFile, rec), 0);
  EXPECT_EQ(rec.Attr & (faDirectory | faHidden), faHidden);
  FindClose(rec);
}

TEST_F(FileSearchTest, MasksIgnoreCaseAndKnowOnlyStarAndQuestionMark) {
  Temp.WriteFile("X.PAS");
  Temp.WriteFile("y.pas");
  Temp.WriteFile("zz.pas");
  Temp.WriteFile("[a].pas");
  Temp.WriteFile("b.pas.bak");
  EXPECT_EQ(Find("*.pas", faAnyFile), (std::set<std::string>{"X.PAS", "y.pas", "zz.pas", "[a].pas"}));
  EXPECT_EQ(Find("?.pas", faAnyFile), (std::set<std::string>{"X.PAS", "y.pas"}));
  EXPECT_EQ(Find("[a].PAS", faAnyFile), (std::set<std::string>{"[a].pas"}));
}

TEST_F(FileSearchTest, NamesThatAreNotUtf8ComeBackByteForByte) {
  const std::string name = "caf\xe9\xff.pas";
  Temp.WriteFile(name, "unit x;");
  EXPECT_EQ(Find("*.pas", faAnyFile), (std::set<std::string>{name}));
  std::ifstream in(Temp / name);
  EXPECT_TRUE(in.good());
}

TEST_F(FileSearchTest, MissingOrUnreadableFoldersFindNothing) {
  TSearchRec rec;
  EXPECT_NE(FindFirst(Temp / "missing/*", faAnyFile, rec), 0);
  EXPECT_NE(FindNext(rec), 0);
  FindClose(rec);
  FindClose(rec);  // closing twice is harmless
  Temp.WriteFile("only.txt");
  EXPECT_TRUE(Find("*.pas", faAnyFile).empty());
}

TEST_F(FileSearchTest, DirectoryExistsFollowsLinksAndRejectsFiles) {
  std::string dir = Temp.MakeDir("Source");
  std::string file = Temp.WriteFile("file.pas");
  ASSERT_EQ(symlink(dir.c_str(), (Temp / "link").c_str()), 0);
  EXPECT_TRUE(DirectoryExists(dir));
  EXPECT_TRUE(DirectoryExists(dir + "/"));
  EXPECT_TRUE(DirectoryExists(Temp / "link"));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_FALSE(DirectoryExists(Temp / "missing"));
  EXPECT_FALSE(DirectoryExists(""));
}
