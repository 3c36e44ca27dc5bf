#include "source_menu/ExpertModuleUnit.h"

#include "hostmodel/StandardMenus.h"
#include "platform/Registry.h"
#include "support/HeadlessModuleTest.h"

#include <gmock/gmock.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <map>

using namespace Vantry;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

class SourceMenuTest : public VantryTest::THeadlessModuleTest<TVantryExpertModule> {
protected:
  void CreateModule(const std::string& ASource) {
    WriteSettings(false, ASource);
    Module = CreateComponent<TVantryExpertModule>(nullptr);
  }

  // The Vantry submenu, a line per item: indent, caption, name and, for an
  // item that starts a column, " |".
  std::vector<std::string> Tree() {
    std::vector<std::string> lines;
    if (THostMenuNode* top = Menu.Find("ovsVantryMenuItem")) Dump(*top, 0, lines);
    return lines;
  }

  void Dump(const THostMenuNode& ANode, int ADepth, std::vector<std::string>& ALines) {
    for (const auto& child : ANode.Children) {
      ALines.push_back(std::string(2 * ADepth, ' ') + child->Caption + " " + child->Name +
                       (child->Flags.Contains(mfBarBreak) ? " |" : ""));
      Dump(*child, ADepth + 1, ALines);
    }
  }

  // The Tag of every tree item, by its menu item name.
  std::map<std::string, int> Tags() {
    std::map<std::string, int> tags;
    for (int i = 0; i < Module->ComponentCount(); ++i)
      if (auto* item = dynamic_cast<TecInterfaceMenuItem*>(Module->Components(i)); item && item->Active())
        tags[item->MenuItemName()] = item->Tag();
    return tags;
  }

};

TEST_F(SourceMenuTest, MirrorsTheTreeWithItsNamesOrderAndTags) {
  Temp.WriteFile("Source/Doc/readme.txt");
  Temp.WriteFile("Source/Rtl/Sys/System.pas");
  Temp.WriteFile("Source/Alpha.pas");
  Temp.WriteFile("Source/beta.PAS");
  CreateModule(Temp / "Source");

  EXPECT_THAT(Tree(), ElementsAre("Options... VantryConfigurationMenuItem", "- OrvalleVANTRYOptionSeparatorMenuItem",
                                  "Rtl ovsVantryMenuItem_D1", "  Sys ovsVantryMenuItem_D1_D0",
                                  "    System ovsVantryMenuItem_D1_D0_F0", "Alpha ovsVantryMenuItem_F0",
                                  "beta ovsVantryMenuItem_F1"));
  auto tags = Tags();
  EXPECT_EQ(tags["ovsVantryMenuItem_D1_D0_F0"], 0);
  EXPECT_EQ(tags["ovsVantryMenuItem_F0"], 1);
  EXPECT_EQ(tags["ovsVantryMenuItem_F1"], 2);
  // The top item sits before FileSaveItem.
  THostMenuNode& file = *Menu.Find("FileMenu");
  EXPECT_EQ(file.Children[Menu.Find("FileSaveItem")->Index() - 1]->Name, "ovsVantryMenuItem");
}

TEST_F(SourceMenuTest, ChoosingAFileOpensItUnlessTheEditorHasItOpen) {
  std::string alpha = Temp.WriteFile("Source/Alpha.pas");
  std::string beta = Temp.WriteFile("Source/beta.pas");
  CreateModule(Temp / "Source");
  Services->OpenFiles.insert(beta);
  Menu.Click(*Menu.Find("ovsVantryMenuItem_F1"));
  EXPECT_TRUE(Services->OpenedFiles.empty());
  Menu.Click(*Menu.Find("ovsVantryMenuItem_F0"));
  EXPECT_THAT(Services->OpenedFiles, ElementsAre(alpha));
}

TEST_F(SourceMenuTest, AClickWhoseTagIsOutsideThePathListOpensNothing) {
  Temp.WriteFile("Source/Alpha.pas");
  CreateModule(Temp / "Source");
  TComponent* item = nullptr;
  for (int i = 0; i < Module->ComponentCount(); ++i)
    if (auto* c = dynamic_cast<TecInterfaceMenuItem*>(Module->Components(i)))
      if (c->MenuItemName() == "ovsVantryMenuItem_F0") item = c;
  ASSERT_NE(item, nullptr);
  for (int tag : {99, 1, -1, INT_MIN}) {
    item->SetTag(tag);
    Menu.Click(*Menu.Find("ovsVantryMenuItem_F0"));
  }
  EXPECT_TRUE(Services->OpenedFiles.empty());
}

TEST_F(SourceMenuTest, TwentyFiveFilesUnderTheTopItemBreakAtTheNineteenth) {
  for (int i = 1; i <= 25; ++i) Temp.WriteFile("Source/" + std::string(i < 10 ? "File0" : "File") + std::to_string(i) + ".pas");
  CreateModule(Temp / "Source");
  std::vector<std::string> tree = Tree();
  ASSERT_EQ(tree.size(), 27u);
  for (size_t i = 2; i < tree.size(); ++i)
    EXPECT_EQ(tree[i].back() == '|', i == 20) << tree[i];  // File19 is the 21st child
  EXPECT_EQ(tree[20], "File19 ovsVantryMenuItem_F18 |");
}

TEST_F(SourceMenuTest, AFolderOfFortyFiveFilesBreaksAtTheTwentyFirstAndFortyFirst) {
  for (int i = 1; i <= 45; ++i) Temp.WriteFile("Source/Lib/F" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".pas");
  CreateModule(Temp / "Source");
  THostMenuNode& lib = *Menu.Find("ovsVantryMenuItem_D0");
  ASSERT_EQ(lib.Children.size(), 45u);
  for (size_t i = 0; i < lib.Children.size(); ++i)
    EXPECT_EQ(lib.Children[i]->Flags.Contains(mfBarBreak), i == 20 || i == 40) << lib.Children[i]->Caption;
}

TEST_F(SourceMenuTest, FoldersWithoutSourcesBelowThemAreWithdrawn) {
  Temp.MakeDir("Source/Empty");
  Temp.MakeDir("Source/Outer/InnerEmpty");
  Temp.WriteFile("Source/Text/readme.txt");
  Temp.WriteFile("Source/Unit.pas");
  CreateModule(Temp / "Source");
  EXPECT_THAT(Tree(), ElementsAre("Options... VantryConfigurationMenuItem", "- OrvalleVANTRYOptionSeparatorMenuItem",
                                  "Unit ovsVantryMenuItem_F0"));
}

// An empty folder leaves the top item with its two children; a folder that
// cannot be shown says why in a disabled item below them.
TEST_F(SourceMenuTest, AMissingOrUnreadableSourceSaysWhyBelowOptions) {
  const std::string locked = Temp.MakeDir("locked");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  const bool root = geteuid() == 0;  // root reads any folder
  const std::vector<std::pair<std::string, std::string>> rows = {
      {Temp.MakeDir("empty"), ""},
      {Temp / "missing", "Source folder not found: " + Temp / "missing"},
      {std::string(), "No source folder is set"},
      {locked, root ? "" : "Source folder cannot be read: " + locked + ": Permission denied"},
  };
  for (const auto& [source, note] : rows) {
    SCOPED_TRACE(source);
    CreateModule(source);
    std::vector<std::string> expected = {"Options... VantryConfigurationMenuItem", "- OrvalleVANTRYOptionSeparatorMenuItem"};
    if (!note.empty()) expected.push_back(note + " ovsVantryMenuItem_N0");
    EXPECT_THAT(Tree(), ElementsAreArray(expected));
    if (THostMenuNode* item = Menu.Find("ovsVantryMenuItem_N0")) EXPECT_FALSE(item->Flags.Contains(mfEnabled));
    Module->Free();
    Module = nullptr;
  }
  chmod(locked.c_str(), 0700);
}

TEST_F(SourceMenuTest, AnEmptyAutomaticPathWalksNothing) {
  // Automatic mode with no RootDir: the path is empty.
  Module = CreateComponent<TVantryExpertModule>(nullptr);
  EXPECT_THAT(Tree(), ElementsAre("Options... VantryConfigurationMenuItem", "- OrvalleVANTRYOptionSeparatorMenuItem",
                                  "No source folder is set ovsVantryMenuItem_N0"));
}

TEST_F(SourceMenuTest, ALinkBackToAnAncestorIsNotFollowed) {
  Temp.WriteFile("Source/A/a.pas");
  ASSERT_EQ(symlink("..", (Temp / "Source/A/Loop").c_str()), 0);
  ASSERT_EQ(symlink("../A", (Temp / "Source/A/Again").c_str()), 0);
  CreateModule(Temp / "Source");
  EXPECT_THAT(Tree(), ElementsAre("Options... VantryConfigurationMenuItem", "- OrvalleVANTRYOptionSeparatorMenuItem",
                                  "A ovsVantryMenuItem_D0", "  a ovsVantryMenuItem_D0_F0"));
}

// Levels 0 to 11 of folders, each with a unit and two links, "a" and "b",
// to the next level: walked once per route, that is 2^12 times.
void MakeExplodingLevels(const VantryTest::TTempDir& ATemp, const std::string& AWhere) {
  for (int level = 0; level < 12; ++level) {
    std::string dir = AWhere + "/N" + std::to_string(level);
    ATemp.WriteFile(dir + "/u" + std::to_string(level) + ".pas");
    if (level == 11) continue;
    for (const char* link : {"a", "b"})
      ASSERT_EQ(symlink(("../N" + std::to_string(level + 1)).c_str(), (ATemp / (dir + "/" + link)).c_str()), 0);
  }
}

TEST_F(SourceMenuTest, LinksInsideTheSourceAreLeftOutAndEachLevelShowsOnceAtItsPlace) {
  MakeExplodingLevels(Temp, "Source");
  ASSERT_EQ(symlink((Temp / "Source/N3").c_str(), (Temp / "Source/Absolute").c_str()), 0);
  CreateModule(Temp / "Source");
  std::vector<std::string> tree = Tree();
  ASSERT_EQ(tree.size(), 2u + 2 * 12);
  // "Absolute" is D0, so the levels are D1 to D12; a level's links are D0, D1.
  EXPECT_EQ(tree[2], "N0 ovsVantryMenuItem_D1");
  EXPECT_EQ(tree[3], "  u0 ovsVantryMenuItem_D1_F0");
  EXPECT_EQ(tree[8], "N11 ovsVantryMenuItem_D4");  // N10, N11 sort before N2
  EXPECT_EQ(tree[24], "N9 ovsVantryMenuItem_D12");
  EXPECT_EQ(Menu.Find("ovsVantryMenuItem_D0"), nullptr);
  EXPECT_EQ(Menu.Find("ovsVantryMenuItem_D1_D0"), nullptr);
}

// A link to a hidden folder inside the tree shows that folder's files, the
// only way to them; a link back from there to the link's own folder is a
// loop and shows nothing.
TEST_F(SourceMenuTest, ALinkToAHiddenFolderInsideShowsItsFiles) {
  Temp.WriteFile("Source/.private/Units/Secret.pas");
  ASSERT_EQ(symlink(".private/Units", (Temp / "Source/Units").c_str()), 0);
  ASSERT_EQ(symlink("../../Units", (Temp / "Source/.private/Units/Back").c_str()), 0);
  CreateModule(Temp / "Source");
  EXPECT_THAT(Tree(), ElementsAre("Options... VantryConfigurationMenuItem", "- OrvalleVANTRYOptionSeparatorMenuItem",
                                  "Units ovsVantryMenuItem_D0", "  Secret ovsVantryMenuItem_D0_F0"));
}

TEST_F(SourceMenuTest, AFolderOutsideReachedByManyLinksIsWalkedTheFirstTimeOnly) {
  MakeExplodingLevels(Temp, "Outside");
  Temp.MakeDir("Source");
  for (const char* link : {"x", "y"}) ASSERT_EQ(symlink("../Outside/N0", (Temp / "Source/" + link).c_str()), 0);
  CreateModule(Temp / "Source");
  std::vector<std::string> tree = Tree();
  ASSERT_EQ(tree.size(), 2u + 2 * 12);
  // The chain goes through x and each level's first link, "a"; y and every
  // "b" are left out. Folders come before units, so the units follow the
  // eleven "a"s, deepest first.
  EXPECT_EQ(tree[2], "x ovsVantryMenuItem_D0");
  EXPECT_EQ(tree[3], "  a ovsVantryMenuItem_D0_D0");
  std::string deepest = "ovsVantryMenuItem";
  for (int i = 0; i < 12; ++i) deepest += "_D0";
  EXPECT_EQ(tree[14], std::string(2 * 12, ' ') + "u11 " + deepest + "_F0");
  EXPECT_EQ(tree[25], "  u0 ovsVantryMenuItem_D0_F0");
}

TEST_F(SourceMenuTest, ASourceDirectoryReachedThroughALinkShowsWhole) {
  Temp.WriteFile("Tree/Real/r.pas");
  Temp.WriteFile("Tree/top.pas");
  ASSERT_EQ(symlink("Real", (Temp / "Tree/Alias").c_str()), 0);
  ASSERT_EQ(symlink("Tree", (Temp / "Source").c_str()), 0);
  CreateModule(Temp / "Source");
  EXPECT_THAT(Tree(), ElementsAre("Options... VantryConfigurationMenuItem", "- OrvalleVANTRYOptionSeparatorMenuItem",
                                  "Real ovsVantryMenuItem_D1", "  r ovsVantryMenuItem_D1_F0",
                                  "top ovsVantryMenuItem_F0"));
  Menu.Click(*Menu.Find("ovsVantryMenuItem_D1_F0"));
  EXPECT_THAT(Services->OpenedFiles, ElementsAre(Temp / "Source/Real/r.pas"));
}

TEST_F(SourceMenuTest, FilesDeeperThanThePathLimitAreListed) {
  // 24 folders of 200 characters: the file's path is longer than PATH_MAX,
  // so the tree is made and removed relative to open folders.
  const std::string name(200, 'd');
  std::vector<int> fds{open(Temp.MakeDir("Source").c_str(), O_RDONLY | O_DIRECTORY)};
  for (int i = 0; i < 24; ++i) {
    ASSERT_EQ(mkdirat(fds.back(), name.c_str(), 0755), 0);
    fds.push_back(openat(fds.back(), name.c_str(), O_RDONLY | O_DIRECTORY));
  }
  close(openat(fds.back(), "Deep.pas", O_CREAT | O_WRONLY, 0644));
  CreateModule(Temp / "Source");
  std::vector<std::string> tree = Tree();
  ASSERT_EQ(tree.size(), 2u + 25);
  EXPECT_EQ(tree.back().substr(0, 2 * 24 + 5), std::string(2 * 24, ' ') + "Deep ");
  Menu.Click(*Menu.Find(tree.back().substr(2 * 24 + 5)));
  ASSERT_EQ(Services->OpenedFiles.size(), 1u);
  EXPECT_GT(Services->OpenedFiles[0].size(), static_cast<size_t>(PATH_MAX));
  unlinkat(fds.back(), "Deep.pas", 0);
  for (size_t i = fds.size() - 1; i > 0; --i) {
    close(fds[i]);
    unlinkat(fds[i - 1], name.c_str(), AT_REMOVEDIR);
  }
  close(fds[0]);
}

TEST_F(SourceMenuTest, ANameThatIsNotUtf8OpensByteForByte) {
  std::string odd = Temp.WriteFile("Source/Caf\xe9.pas");
  CreateModule(Temp / "Source");
  THostMenuNode* item = Menu.Find("ovsVantryMenuItem_F0");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->Caption, "Caf\xe9");
  Menu.Click(*item);
  EXPECT_THAT(Services->OpenedFiles, ElementsAre(odd));
}

TEST_F(SourceMenuTest, AWrongTypedSettingIsReportedAndTheModuleIsStillCreated) {
  {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\ORVALLE\\DELPHI EXPERTS\\VANTRY\\", true));
    reg.WriteString("Automatic", "yes");
    reg.WriteString("Path", "/src");
  }
  VantryTest::TRecordedApplication shown;
  Module = CreateComponent<TVantryExpertModule>(nullptr);
  EXPECT_EQ(shown.Errors.size(), 1u);
  EXPECT_EQ(Tree().size(), 2u);
  EXPECT_EQ(Module->ExpertName(), "Orvalle Vantry");
}

TEST_F(SourceMenuTest, DestroyingTheModuleReleasesEveryItemLastCreatedFirst) {
  Temp.WriteFile("Source/Rtl/System.pas");
  Temp.WriteFile("Source/Alpha.pas");
  CreateModule(Temp / "Source");
  std::vector<std::string> log;
  Menu.SetCallLog(&log);
  Module->Free();
  Module = nullptr;
  EXPECT_THAT(log, ElementsAre("ovsVantryMenuItem_F0.Release()", "ovsVantryMenuItem_D0_F0.Release()",
                               "ovsVantryMenuItem_D0.Release()", "OrvalleVANTRYOptionSeparatorMenuItem.Release()",
                               "VantryConfigurationMenuItem.Release()", "ovsVantryMenuItem.Release()"));
  EXPECT_EQ(Menu.Find("ovsVantryMenuItem"), nullptr);
  EXPECT_EQ(Menu.LiveObjectCount(), 0);
}

TEST_F(SourceMenuTest, TheExpertReportsTheProductsValues) {
  Module = CreateComponent<TVantryExpertModule>(nullptr);
  TIExpert* e = Module->Expert();
  EXPECT_EQ(e->GetName(), "Orvalle Vantry");
  EXPECT_EQ(e->GetAuthor(), "Brask");
  EXPECT_EQ(e->GetIDString(), "Brask.Orvalle Vantry");
  EXPECT_EQ(e->GetMenuText(), "VantryExpertModule");
  EXPECT_EQ(e->GetStyle(), esAddIn);
  EXPECT_TRUE(e->GetState().Empty());
}

}  // namespace
