#include "finder/LibraryFinderUnit.h"

#include "hostmodel/StandardMenus.h"
#include "source_menu/ExpertModuleUnit.h"
#include "support/HeadlessModuleTest.h"

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QTest>

#include <gmock/gmock.h>

#include <filesystem>

using namespace Vantry;
using ::testing::ElementsAre;
using ::testing::StartsWith;

namespace {

class LibraryFinderTest : public VantryTest::THeadlessModuleTest<TLibraryFinderModule> {
protected:
  void SetUp() override {
    THeadlessModuleTest::SetUp();
    for (const char* name : {"rtl/unix/sysutils.pp", "rtl/objpas/sysutils/sysutils.inc", "rtl/objpas/typinfo.pp",
                             "fcl/TypInfo2.pas", "fcl/caf\xe9.pas"})
      Temp.WriteFile(std::string("Src/") + name);
    WriteSettings(false, Temp / "Src");
    Module = CreateComponent<TLibraryFinderModule>(nullptr);
  }

  void Click(const char* AItem) { Menu.Click(*Menu.Find(AItem)); }

  // Opens the finder from the menu and waits until it has ranked a whole
  // walk of the source folder.
  TFinderForm* OpenFinder() {
    Click("VantryFindLibraryUnitMenuItem");
    TFinderForm* finder = Module->Finder();
    EXPECT_NE(finder, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Module->Index().Walking() && !finder->LBStatus->text().contains("..."); }));
    return finder;
  }

  VantryTest::TRecordedApplication App;
};

TEST_F(LibraryFinderTest, PutsItsTwoItemsWithTheirShortCutsIntoTheSearchMenu) {
  std::vector<std::string> items;
  for (const auto& child : Menu.Find("SearchMenu")->Children)
    items.push_back(child->Caption + " " + child->Name + " " + std::to_string(child->ShortCut));
  EXPECT_THAT(items, ElementsAre("&Find... SearchFindItem 0", "&Replace... SearchReplaceItem 0",
                                 "- VantryFinderSeparatorMenuItem 0",
                                 "Find Library Unit... VantryFindLibraryUnitMenuItem 49237",  // Ctrl+Alt+U
                                 "Open Library Unit at Cursor VantryOpenLibraryUnitMenuItem 16397"));  // Ctrl+Enter
  Module->Free();  // the items leave with the module
  Module = nullptr;
  EXPECT_EQ(Menu.Find("SearchMenu")->Children.size(), 2u);
}

struct TCursorRow {
  const char* Identifier;
  const char* Opened;   // relative to the source folder, or null
  const char* Finder;   // the finder's query, or null
  const char* Message;  // the message shown, or null
};

TEST_F(LibraryFinderTest, OpensTheUnitNamedAtTheCursorOrOffersTheChoiceOrSaysThereIsNone) {
  const std::string source = Temp / "Src";
  const std::vector<TCursorRow> rows = {
      {"TypInfo", "rtl/objpas/typinfo.pp", nullptr, nullptr},  // the first use waits for the walk
      {"TYPINFO2", "fcl/TypInfo2.pas", nullptr, nullptr},      // the index known from then on
      {"SysUtils", "rtl/unix/sysutils.pp", nullptr, nullptr},  // a unit, not the include file of its name
      {"Classes", nullptr, nullptr, "No library unit named Classes in "},  // walks again: a second SysUtils unit
      {"", nullptr, nullptr, "There is no identifier at the cursor."},
      {"SysUtils", nullptr, "SysUtils", nullptr},  // two units of the name: the choice
  };
  for (const TCursorRow& row : rows) {
    SCOPED_TRACE(row.Identifier);
    if (std::string(row.Identifier) == "Classes") Temp.WriteFile("Src/fcl/SysUtils.pas");
    Services->OpenedFiles.clear();
    App.Messages.clear();
    Services->CursorIdentifier = row.Identifier;
    Click("VantryOpenLibraryUnitMenuItem");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Module->Waiting(); }));
    if (row.Opened)
      EXPECT_THAT(Services->OpenedFiles, ElementsAre(source + "/" + row.Opened));
    else
      EXPECT_TRUE(Services->OpenedFiles.empty());
    TFinderForm* finder = Module->Finder();
    ASSERT_EQ(finder && finder->isVisible(), row.Finder != nullptr);
    if (row.Finder) {
      EXPECT_EQ(finder->EDSearch->text().toStdString(), row.Finder);
      EXPECT_THAT(finder->Rows().join('|').toStdString(), StartsWith("SysUtils.pas  fcl/|sysutils.pp  rtl/unix/"));
      finder->reject();
    }
    if (row.Message)
      EXPECT_THAT(App.Messages, ElementsAre(StartsWith(row.Message)));
    else
      EXPECT_TRUE(App.Messages.empty());
  }
}

TEST_F(LibraryFinderTest, TheFinderIsDrivenFromTheKeyboard) {
  TFinderForm* finder = OpenFinder();
  EXPECT_EQ(finder->LBStatus->text(), QString("5 files in %1").arg(QString::fromStdString(Temp / "Src")));
  QTest::keyClicks(finder->EDSearch, "SYSU");
  EXPECT_THAT(finder->Rows().join('|').toStdString(),
              StartsWith("sysutils.pp  rtl/unix/|sysutils.inc  rtl/objpas/sysutils/"));
  EXPECT_EQ(finder->SelectedRow(), 0);
  QTest::keyClick(finder->EDSearch, Qt::Key_Down);
  EXPECT_EQ(finder->SelectedRow(), 1);
  QTest::keyClick(finder->EDSearch, Qt::Key_Up);
  EXPECT_EQ(finder->SelectedRow(), 0);
  QTest::keyClick(finder->EDSearch, Qt::Key_Down);
  QTest::keyClick(finder->EDSearch, Qt::Key_Return);
  EXPECT_THAT(Services->OpenedFiles, ElementsAre(Temp / "Src/rtl/objpas/sysutils/sysutils.inc"));
  EXPECT_FALSE(finder->isVisible());

  // Opened again, it holds the last query, all of it selected: typing
  // replaces it. Escape closes it and opens nothing.
  finder = OpenFinder();
  EXPECT_EQ(finder->EDSearch->selectedText(), "SYSU");
  QTest::keyClicks(finder->EDSearch, "caf");
  EXPECT_EQ(finder->Rows(), QStringList{QString::fromUtf8("caf\uFFFD.pas  fcl/")});
  QTest::keyClick(finder->EDSearch, Qt::Key_Escape);
  EXPECT_FALSE(finder->isVisible());
  EXPECT_EQ(Services->OpenedFiles.size(), 1u);

  // A name that is not UTF-8 opens byte for byte, here by a double click.
  finder = OpenFinder();
  QTest::keyClicks(finder->EDSearch, "caf");
  QListView* list = finder->LVResults;
  ASSERT_TRUE(QTest::qWaitForWindowExposed(finder));
  QRect first = list->visualRect(list->model()->index(0, 0));
  ASSERT_FALSE(first.isEmpty());
  // As a window system sends it: press, release, double click, release.
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first.center());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, first.center());
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_EQ(Services->OpenedFiles.back(), Temp / "Src/fcl/caf\xe9.pas");
}

TEST_F(LibraryFinderTest, TheIndexSeesAChangedTreeAtTheNextOpening) {
  TFinderForm* finder = OpenFinder();
  QTest::keyClicks(finder->EDSearch, "newunit");
  EXPECT_TRUE(finder->Rows().isEmpty());
  EXPECT_EQ(finder->LBStatus->text(), "No file matches");
  finder->reject();

  Temp.WriteFile("Src/new/NewUnit.pas");
  std::filesystem::remove(Temp / "Src/fcl/TypInfo2.pas");
  finder = OpenFinder();
  EXPECT_EQ(finder->Rows(), QStringList{"NewUnit.pas  new/"});
  finder->SetQuery("typinfo");  // TypInfo2.pas has gone
  EXPECT_EQ(finder->Rows(), QStringList{"typinfo.pp  rtl/objpas/"});
}

TEST_F(LibraryFinderTest, SaysWhenTheSourceFolderCannotBeRead) {
  WriteSettings(false, Temp / "Missing");
  TFinderForm* finder = OpenFinder();
  EXPECT_EQ(finder->LBStatus->text().toStdString(),
            "Cannot read the source folder " + (Temp / "Missing") + ": No such file or directory");
  finder->reject();
  Services->CursorIdentifier = "TypInfo";
  Click("VantryOpenLibraryUnitMenuItem");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Module->Waiting(); }));
  EXPECT_THAT(App.Messages, ElementsAre("Cannot read the source folder " + (Temp / "Missing") +
                                        ": No such file or directory."));
  EXPECT_TRUE(Services->OpenedFiles.empty());
}

// The module may go while its finder is open and its walk runs: both go
// with it, the walk's thread stopped.
TEST_F(LibraryFinderTest, GoingAwayClosesTheFinderAndStopsTheWalk) {
  for (int i = 0; i < 300; ++i) Temp.WriteFile("Src/more/F" + std::to_string(i) + "/u.pas");
  Click("VantryFindLibraryUnitMenuItem");
  QPointer<TFinderForm> finder = Module->Finder();
  ASSERT_TRUE(finder);
  Module->Free();
  Module = nullptr;
  EXPECT_FALSE(finder);
}

}  // namespace
