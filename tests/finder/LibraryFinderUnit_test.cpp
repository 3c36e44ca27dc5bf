#include "finder/LibraryFinderUnit.h"

#include "hostmodel/StandardMenus.h"
#include "source_menu/ExpertModuleUnit.h"
#include "support/HeadlessModuleTest.h"

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QTest>

#include <gmock/gmock.h>

#include <cstring>
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
    std::string why;
    WriteTargetChoice("x86_64-linux", why);  // rtl/unix before other folders, whatever this machine is
    Module = CreateComponent<TLibraryFinderModule>(nullptr);
  }

  void Click(const char* AItem) { Menu.Click(*Menu.Find(AItem)); }

  // Clicks a lookup item and checks what it did: the file it opened
  // (relative to the source folder, or none), the message it showed (its
  // start, or none), and whether it showed the finder, which it returns.
  TFinderForm* LookUp(const char* AItem, const char* AOpened, const char* AMessage, bool AFinder) {
    Services->OpenedFiles.clear();
    App.Messages.clear();
    Click(AItem);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Module->Waiting(); }));
    if (AOpened)
      EXPECT_THAT(Services->OpenedFiles, ElementsAre(Temp / "Src" + "/" + AOpened));
    else
      EXPECT_TRUE(Services->OpenedFiles.empty());
    if (AMessage)
      EXPECT_THAT(App.Messages, ElementsAre(StartsWith(AMessage)));
    else
      EXPECT_TRUE(App.Messages.empty());
    TFinderForm* finder = Module->Finder();
    EXPECT_EQ(finder && finder->isVisible(), AFinder);
    return finder && finder->isVisible() ? finder : nullptr;
  }

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

TEST_F(LibraryFinderTest, PutsItsItemsWithTheirShortCutsIntoTheSearchMenu) {
  // The add-in's items, after the IDE's own.
  auto vantryItems = [&] {
    std::vector<std::string> items;
    for (const auto& child : Menu.Find("SearchMenu")->Children)
      if (child->Name.rfind("Vantry", 0) == 0 || !items.empty())
        items.push_back(child->Caption + " " + child->Name + " " + std::to_string(child->ShortCut));
    return items;
  };
  EXPECT_THAT(vantryItems(), ElementsAre("- VantryFinderSeparatorMenuItem 0",
                                         "Find Library Unit... VantryFindLibraryUnitMenuItem 49237",  // Ctrl+Alt+U
                                         "Open Library Unit at Cursor VantryOpenLibraryUnitMenuItem 16397",  // Ctrl+Enter
                                         "Find Library Declaration... VantryFindLibraryDeclarationMenuItem 49220",  // Ctrl+Alt+D
                                         "Find Declaration at Cursor VantryFindDeclarationAtCursorMenuItem 49165",  // Ctrl+Alt+Enter
                                         "Go to Routine &Heading VantryGoToRoutineHeadingMenuItem 24614",  // Shift+Ctrl+Up
                                         "Go to Routine Bod&y VantryGoToRoutineBodyMenuItem 24616",  // Shift+Ctrl+Down
                                         "Find References VantryFindReferencesMenuItem 24589",  // Shift+Ctrl+Enter
                                         "Peek Declaration VantryPeekDeclarationMenuItem 24608"));  // Shift+Ctrl+Space
  Module->Free();  // the items leave with the module
  Module = nullptr;
  EXPECT_THAT(vantryItems(), ::testing::IsEmpty());
}

struct TCursorRow {
  const char* Identifier;
  const char* Opened;   // relative to the source folder, or null
  const char* Finder;   // the finder's query, or null
  const char* Message;  // the message shown, or null
};

TEST_F(LibraryFinderTest, OpensTheUnitNamedAtTheCursorOrOffersTheChoiceOrSaysThereIsNone) {
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
    Services->CursorIdentifier = row.Identifier;
    if (TFinderForm* finder = LookUp("VantryOpenLibraryUnitMenuItem", row.Opened, row.Message, row.Finder)) {
      EXPECT_EQ(finder->EDSearch->text().toStdString(), row.Finder);
      EXPECT_THAT(finder->Rows().join('|').toStdString(), StartsWith("sysutils.pp  rtl/unix/|SysUtils.pas  fcl/"));
      finder->reject();
    }
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

// Declarations of the fixture's tree, at known lines.
void WriteDeclarations(const VantryTest::TTempDir& ATemp) {
  ATemp.WriteFile("Src/rtl/objpas/classes/classesh.inc",
                  "type\n  TStringList = class\n    procedure Sort;\n    property Sorted: Boolean;\n  end;\n");
  ATemp.WriteFile("Src/rtl/objpas/sysutils/sysutils.inc", "function IntToStr(I: Longint): string;\n");
  ATemp.WriteFile("Src/fcl/TypInfo2.pas", "unit TypInfo2;\ninterface\nfunction IntToStr(I: Byte): string;\n");
}

TEST_F(LibraryFinderTest, TheFinderFindsDeclarationsFromTheKeyboard) {
  WriteDeclarations(Temp);
  Click("VantryFindLibraryDeclarationMenuItem");
  TFinderForm* finder = Module->Finder();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Module->Index().Building() && !finder->LBStatus->text().contains("..."); }));
  EXPECT_EQ(finder->windowTitle(), "Find Library Declaration");
  EXPECT_EQ(finder->LBStatus->text().toStdString(), "6 declarations in 6 files in " + (Temp / "Src"));
  QTest::keyClicks(finder->EDSearch, "TStringList.So");
  EXPECT_EQ(finder->Rows(), QStringList({"procedure TStringList.Sort  rtl/objpas/classes/classesh.inc:3",
                                         "property TStringList.Sorted: Boolean  rtl/objpas/classes/classesh.inc:4"}));
  EXPECT_EQ(finder->LBStatus->text(), "2 of 6 declarations");
  QTest::keyClick(finder->EDSearch, Qt::Key_Down);
  QTest::keyClick(finder->EDSearch, Qt::Key_Return);
  EXPECT_THAT(Services->OpenedFiles, ElementsAre(Temp / "Src/rtl/objpas/classes/classesh.inc:4:14"));

  // The unit finder is the same dialog, with its own query.
  Click("VantryFindLibraryUnitMenuItem");
  EXPECT_EQ(finder->windowTitle(), "Find Library Unit");
  EXPECT_EQ(finder->EDSearch->text(), "");
  Click("VantryFindLibraryDeclarationMenuItem");
  EXPECT_EQ(finder->EDSearch->text(), "TStringList.So");
}

// Overloads and the branches of a conditional, which share a name, are
// told apart by their headings; a routine's body comes after them, marked.
TEST_F(LibraryFinderTest, TheFindersRowsShowTheHeadings) {
  Temp.WriteFile("Src/rtl/objpas/sysutils/sysstrh.inc",
                 "function IntToStr(Value: Longint): string;\nfunction IntToStr(Value: Int64): string;\n"
                 "{$ifdef UNIX}\ntype TSize = Longint;\n{$else}\ntype TSize = Int64;\n{$endif}\n");
  Temp.WriteFile("Src/rtl/objpas/sysutils/sysstr.inc", "function IntToStr(Value: Int64): string;\nbegin\nend;\n");
  Click("VantryFindLibraryDeclarationMenuItem");
  TFinderForm* finder = Module->Finder();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Module->Index().Building() && !finder->LBStatus->text().contains("..."); }));
  QTest::keyClicks(finder->EDSearch, "IntToStr");
  EXPECT_EQ(finder->Rows(), QStringList({"function IntToStr(Value: Longint): string  rtl/objpas/sysutils/sysstrh.inc:1",
                                         "function IntToStr(Value: Int64): string  rtl/objpas/sysutils/sysstrh.inc:2",
                                         "function IntToStr(Value: Int64): string  [definition]  rtl/objpas/sysutils/sysstr.inc:1"}));
  finder->SetQuery("TSize");
  EXPECT_EQ(finder->Rows(), QStringList({"type TSize = Longint  rtl/objpas/sysutils/sysstrh.inc:4",
                                         "type TSize = Int64  rtl/objpas/sysutils/sysstrh.inc:6"}));
}

// Go to Routine Body and Go to Routine Heading: each goes from a heading to
// its body and back, through the host (whose history keeps the jump), and
// says so in the status bar; where there is no other half, it says why.
TEST_F(LibraryFinderTest, GoesBetweenARoutinesHeadingAndItsBody) {
  const std::string headerText =
      "type\n  TStringList = class\n    procedure Sort;\n    procedure Clear; virtual; abstract;\n  end;\n";
  const std::string bodiesText = "procedure TStringList.Sort;\nbegin\n  Exit;\nend;\n";
  const std::string header = Temp.WriteFile("Src/rtl/classes/classesh.inc", headerText);
  const std::string bodies = Temp.WriteFile("Src/rtl/classes/stringl.inc", bodiesText);
  Temp.WriteFile("Src/rtl/classes/classes.pp",
                 "unit Classes;\ninterface\n{$i classesh.inc}\nimplementation\n{$i stringl.inc}\nend.\n");
  struct TJump {
    const char* Item;
    std::string Path, Text;
    const char* Cursor;  // the text before the cursor
    std::string Opened;  // "path:line:column", or empty
    const char* Status;
  };
  const std::vector<TJump> jumps = {
      {"VantryGoToRoutineBodyMenuItem", header, headerText, "    procedure So",
       bodies + ":1:23", "TStringList.Sort: its body"},
      {"VantryGoToRoutineHeadingMenuItem", bodies, bodiesText, "begin\n  Ex",
       header + ":3:15", "TStringList.Sort: its heading"},
      // Both items toggle.
      {"VantryGoToRoutineHeadingMenuItem", header, headerText, "    procedure So",
       bodies + ":1:23", "TStringList.Sort: its body"},
      {"VantryGoToRoutineBodyMenuItem", header, headerText, "    procedure Cl", "",
       "No body of TStringList.Clear is known in the library."},
      {"VantryGoToRoutineBodyMenuItem", header, headerText, "  TStri", "",
       "The cursor is in no routine's heading or body."},
  };
  // The first use starts the index and jumps once it is built.
  Services->EditorText = jumps[0].Text;
  Services->EditorCursor = jumps[0].Text.find(jumps[0].Cursor) + std::strlen(jumps[0].Cursor);
  Services->CurrentFile = jumps[0].Path;
  Click("VantryGoToRoutineBodyMenuItem");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Services->OpenedFiles.empty(); }));
  EXPECT_THAT(Services->OpenedFiles, ElementsAre(jumps[0].Opened));
  for (const TJump& jump : jumps) {
    SCOPED_TRACE(std::string(jump.Item) + " after " + jump.Cursor);
    Services->EditorText = jump.Text;
    Services->EditorCursor = jump.Text.find(jump.Cursor) + std::strlen(jump.Cursor);
    Services->CurrentFile = jump.Path;
    Services->OpenedFiles.clear();
    Services->StatusTexts.clear();
    Click(jump.Item);
    if (jump.Opened.empty())
      EXPECT_TRUE(Services->OpenedFiles.empty());
    else
      EXPECT_THAT(Services->OpenedFiles, ElementsAre(jump.Opened));
    EXPECT_THAT(Services->StatusTexts, ElementsAre(jump.Status));
  }
}

struct TDeclarationRow {
  const char* Text;  // the edited source; the cursor stands at its '|'
  const char* Opened;  // "path:line:column" relative to the source folder, or null
  const char* Finder;  // the finder's query and its first row, or null
  const char* Message;  // the message shown, or null
};

TEST_F(LibraryFinderTest, GoesToTheDeclarationAtTheCursorOrOffersTheChoiceOrSaysThereIsNone) {
  WriteDeclarations(Temp);
  const std::vector<TDeclarationRow> rows = {
      // Not in reach of the place (no uses clause names Classes; List is
      // declared nowhere): the name's namesakes as a search, not a jump.
      {"x := TStringList.So|rt;", nullptr, "Sort|procedure TStringList.Sort  rtl/objpas/classes/classesh.inc:3", nullptr},
      {"List.Sort|;", nullptr, "Sort|procedure TStringList.Sort  rtl/objpas/classes/classesh.inc:3", nullptr},
      {"uses SysUtils;\ns := IntToStr|(1);", nullptr,
       "IntToStr|function IntToStr(I: Longint): string  rtl/objpas/sysutils/sysutils.inc:1", nullptr},
      // Bound through the uses clause: straight to it; when the used unit
      // declares no such name (its IntToStr lies in a file it does not
      // include), by the name, through the finder.
      {"uses TypInfo2;\ns := IntToStr|(1);", "fcl/TypInfo2.pas:3:10", nullptr, nullptr},
      {"Missing|", nullptr, nullptr, "No declaration of Missing in "},
      {"x :=| 1", nullptr, nullptr, "There is no identifier at the cursor."},
  };
  for (const TDeclarationRow& row : rows) {
    SCOPED_TRACE(row.Text);
    std::string text = row.Text;
    Services->EditorCursor = text.find('|');
    Services->EditorText = text.erase(Services->EditorCursor, 1);
    if (TFinderForm* finder = LookUp("VantryFindDeclarationAtCursorMenuItem", row.Opened, row.Message, row.Finder)) {
      EXPECT_EQ((finder->EDSearch->text() + "|" + finder->Rows().value(0)).toStdString(), row.Finder);
      // Marked as a search, with the reason.
      EXPECT_THAT(finder->LBStatus->text().toStdString(), ::testing::HasSubstr("in reach of this place. Results by name:"));
      finder->reject();
    }
  }
}

// The IDE and vantry-find ask one resolver: at each place of a program of
// the user's, the IDE goes where vantry-find --definition says first, and
// the status bar tells where the name came from.
TEST_F(LibraryFinderTest, TheIdeAndVantryFindResolveAlike) {
  Temp.WriteFile("Src/lib/shapes.pp",
                 "unit Shapes;\ninterface\ntype\n  TShape = class\n    procedure Resize;\n  end;\n"
                 "function Area: Integer;\nimplementation\nend.\n");
  const std::string program =
      "program P;\nuses Shapes;\nvar S: TShape;\nprocedure Run(Area: Integer);\nbegin\n  Area := 1;\nend;\n"
      "begin\n  S.Resize;\n  with S do Resize;\n  Area;\nend.\n";
  const std::string path = Temp.WriteFile("mine/p.pp", program);
  struct TPlace {
    const char* Name;  // the cursor stands at its first letter, in the program's text from AFrom on
    const char* From;
    const char* Status;
  };
  for (const TPlace& place : std::vector<TPlace>{{"Resize", "S.Resize", "TShape.Resize: TShape.Resize"},
                                                 {"Resize", "do Resize", "TShape.Resize: with S, TShape.Resize"},
                                                 {"Area", "  Area :=", "Area: a parameter of Run"},
                                                 {"Area", "  Area;", "Area: from Shapes"},
                                                 {"TShape", "S: TShape", "TShape: from Shapes"}}) {
    SCOPED_TRACE(place.From);
    const size_t cursor = program.find(place.Name, program.find(place.From));
    size_t line = 1, lineStart = 0;
    for (size_t i = 0; i < cursor; ++i)
      if (program[i] == '\n') ++line, lineStart = i + 1;
    std::string output;
    ASSERT_EQ(VantryTest::RunTool(VANTRY_FIND_TOOL,
                                  {"--root", Temp / "Src", "--definition",
                                   path + ":" + std::to_string(line) + ":" + std::to_string(cursor - lineStart + 1)},
                                  output),
              0);
    const std::string first = output.substr(0, output.find(": "));  // PATH:LINE:COLUMN
    Services->EditorText = program;
    Services->EditorCursor = cursor;
    Services->CurrentFile = path;
    Services->OpenedFiles.clear();
    Services->StatusTexts.clear();
    Click("VantryFindDeclarationAtCursorMenuItem");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Module->Waiting(); }));
    // The program's own folder is the user's: opened for editing.
    EXPECT_THAT(Services->OpenedFiles, ElementsAre(first.rfind(path, 0) == 0 ? first + " [own]" : first));
    EXPECT_THAT(Services->StatusTexts, ElementsAre(place.Status));
  }
}

// The program's own units are in reach from its files: the project (up to
// its .lpi) joins the workspace, and a unit of it changed on disk is read
// again before the next question.
TEST_F(LibraryFinderTest, TheProjectOfTheEditedFileIsReadAndWatched) {
  Temp.WriteFile("mine/books.lpi", "<project/>\n");
  const std::string ledger = Temp.WriteFile("mine/units/ledger.pas", "unit Ledger;\ninterface\nfunction Total: Integer;\n");
  const std::string program = "program Books;\nuses Ledger;\nbegin\n  Total;\nend.\n";
  const std::string path = Temp.WriteFile("mine/books.lpr", program);
  auto lookUp = [&] {
    Services->EditorText = program;
    Services->EditorCursor = program.find("Total");
    Services->CurrentFile = path;
    Services->OpenedFiles.clear();
    Click("VantryFindDeclarationAtCursorMenuItem");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Module->Waiting(); }));
    return Services->OpenedFiles;
  };
  EXPECT_THAT(lookUp(), ElementsAre(ledger + ":3:10 [own]"));  // the user's own: opened for editing
  const uint64_t generation = Module->Index().DeclarationGeneration();
  Temp.WriteFile("mine/units/ledger.pas", "unit Ledger;\n\n\ninterface\nfunction Total: Integer;\n");
  ASSERT_TRUE(QTest::qWaitFor([&] { return Module->Index().DeclarationGeneration() != generation; }));
  EXPECT_THAT(lookUp(), ElementsAre(ledger + ":5:10 [own]"));
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
