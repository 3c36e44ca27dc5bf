#include "source_menu/ZebFiles.h"

#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <filesystem>

using namespace Vantry;
using ::testing::UnorderedElementsAre;

namespace {

class ZebFilesTest : public ::testing::Test {
protected:
  std::vector<std::string> Listed(void (*AList)(const std::string&, const std::string&, int, TStrings*),
                                  const std::string& ADir, const std::string& AMask, int AAttr) {
    TStringList list{"left over"};
    AList(ADir, AMask, AAttr, &list);
    return {list.begin(), list.end()};
  }

  VantryTest::TTempDir Temp;
};

TEST_F(ZebFilesTest, ListsVisibleSubdirectoriesOrMatchingFilesWithFullPaths) {
  Temp.MakeDir("Vcl");
  Temp.MakeDir("Rtl");
  Temp.MakeDir(".Tmp");
  Temp.WriteFile("A.pas");
  Temp.WriteFile("b.txt");
  Temp.WriteFile("X.PAS");
  Temp.WriteFile(".H.pas");
  const std::string dir = Temp.Path().string();

  EXPECT_THAT(Listed(ListDirectories, dir, "*", faDirectory), UnorderedElementsAre(dir + "/Vcl", dir + "/Rtl"));
  EXPECT_THAT(Listed(ListFiles, dir, "*.pas", faAnyFile),
              UnorderedElementsAre(dir + "/A.pas", dir + "/X.PAS", dir + "/.H.pas"));
  // A trailing separator gives the same entries with one separator.
  EXPECT_THAT(Listed(ListDirectories, dir + "/", "*", faDirectory), UnorderedElementsAre(dir + "/Vcl", dir + "/Rtl"));
}

TEST_F(ZebFilesTest, LinksAreFollowedAndWhatIsNoDirectoryCountsAsAFile) {
  Temp.MakeDir("Vcl");
  Temp.MakeDir(".Hidden");
  const std::string dir = Temp.Path().string();
  ASSERT_EQ(symlink("Vcl", (Temp / "ToVcl").c_str()), 0);
  ASSERT_EQ(symlink(".Hidden", (Temp / "ToHidden").c_str()), 0);  // the link's own name counts
  ASSERT_EQ(symlink("nowhere", (Temp / "Dangling.pas").c_str()), 0);
  ASSERT_EQ(mkfifo((Temp / "Pipe.pas").c_str(), 0644), 0);
  EXPECT_THAT(Listed(ListDirectories, dir, "*", faDirectory),
              UnorderedElementsAre(dir + "/Vcl", dir + "/ToVcl", dir + "/ToHidden"));
  EXPECT_THAT(Listed(ListFiles, dir, "*.pas", faAnyFile), UnorderedElementsAre(dir + "/Dangling.pas", dir + "/Pipe.pas"));
  // A listing read once gives both lists, and tells links from folders.
  TDirectoryListing listing(dir);
  TStringList dirs, files;
  listing.ListDirectories("*", faDirectory, &dirs);
  listing.ListFiles("*.pas", faAnyFile, &files);
  EXPECT_EQ(dirs.Count(), 3);
  EXPECT_EQ(files.Count(), 2);
  EXPECT_EQ(listing.LinkedDirectory("ToVcl"), std::make_pair(true, std::filesystem::canonical(Temp.Path() / "Vcl").string()));
  EXPECT_FALSE(listing.LinkedDirectory("Vcl").first);
  EXPECT_FALSE(listing.LinkedDirectory("Dangling.pas").first);
}

TEST_F(ZebFilesTest, NothingToListEmptiesTheList) {
  Temp.WriteFile("readme.txt");
  EXPECT_TRUE(Listed(ListFiles, Temp / "", "*.pas", faAnyFile).empty());
  EXPECT_TRUE(Listed(ListDirectories, Temp / "missing", "*", faDirectory).empty());
  EXPECT_TRUE(Listed(ListFiles, Temp / "readme.txt", "*", faAnyFile).empty());
  ListFiles(Temp.Path().string(), "*", faAnyFile, nullptr);  // a missing list is ignored
}

TEST_F(ZebFilesTest, AnEmptyPathListsNothingRatherThanTheWholeFileSystem) {
  EXPECT_TRUE(Listed(ListDirectories, "", "*", faDirectory).empty());
  EXPECT_TRUE(Listed(ListFiles, "", "*", faAnyFile).empty());
}

TEST_F(ZebFilesTest, AnUnreadableDirectoryListsLikeAnEmptyOne) {
  Temp.WriteFile("Locked/Inside.pas");
  Temp.MakeDir("Locked/Sub");
  std::filesystem::permissions(Temp.Path(), std::filesystem::perms(0755));
  std::filesystem::permissions(Temp / "Locked", std::filesystem::perms::none);
  const std::string locked = Temp / "Locked";
  int status = VantryTest::WaitChild(VantryTest::StartChild([&] {
    if (!VantryTest::DropRootPrivileges()) return 97;
    TStringList files{"x"}, dirs{"x"};
    ListFiles(locked, "*.pas", faAnyFile, &files);
    ListDirectories(locked, "*", faDirectory, &dirs);
    return files.Count() == 0 && dirs.Count() == 0 ? 0 : 1;
  }));
  EXPECT_EQ(status, 0);
}

}  // namespace
