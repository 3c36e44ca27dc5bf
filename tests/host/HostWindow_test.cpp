#include "AddInLoader.h"
#include "HostWindow.h"
#include "forms/QtApplication.h"
#include "platform/Registry.h"
#include "source_menu/ExpertModuleUnit.h"

#include "support/TestSupport.h"

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QPainter>
#include <QDockWidget>
#include <QFileInfo>
#include <QFrame>
#include <QTreeWidget>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <map>

#include <gmock/gmock.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

using namespace Vantry;

namespace {

// With VANTRY_SCREENSHOTS naming a folder, saves the window there as a
// person sees it, with AOver (a popup of its own) drawn where it stands.
void SaveScreenshot(QWidget& AWindow, const char* AName, QWidget* AOver = nullptr) {
  const QString dir = qEnvironmentVariable("VANTRY_SCREENSHOTS");
  if (dir.isEmpty()) return;
  QPixmap picture = AWindow.grab();
  if (AOver) {
    QPainter painter(&picture);
    painter.drawPixmap(AWindow.mapFromGlobal(AOver->mapToGlobal(QPoint(0, 0))), AOver->grab());
  }
  picture.save(QDir(dir).filePath(QString::fromLatin1(AName) + ".png"));
}

// The current editor's line (from 1) and the rest of that line from its cursor.
std::pair<int, std::string> CursorLineAndRest(const TSourceEditor& AEditor) {
  const std::string text = AEditor.Utf8Text();
  const size_t at = AEditor.CursorOffset();
  const size_t end = std::min(text.find('\n', at), text.size());
  return {static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n')) + 1,
          text.substr(at, end - at)};
}

class HostWindowTest : public VantryTest::TIsolatedTest {
protected:
  // Shows the window, active, and puts the first tab's cursor at
  // APosition, the editor focused; the editor.
  TSourceEditor* ShowWithCursorAt(size_t AOffset, int ATab = 0) {
    Window.show();
    Window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&Window));
    Window.Editor().setCurrentIndex(ATab);
    TSourceEditor* editor = Window.Editor().EditorOf(ATab);
    editor->setFocus();
    editor->SetCursorOffset(AOffset, false);
    return editor;
  }

  THostWindow Window;
};

TEST_F(HostWindowTest, OpeningAFileTwiceGivesOneTab) {
  std::string unit = Temp.WriteFile("src/Unit1.pas", "unit Unit1;\ninterface\nimplementation\nend.\n");
  Temp.MakeDir("src/sub");
  TIToolServices* services = Window.ToolServices();
  EXPECT_FALSE(services->IsFileOpen(unit));
  EXPECT_TRUE(services->OpenFile(unit));
  EXPECT_TRUE(services->OpenFile(Temp / "src/sub/../Unit1.pas"));
  EXPECT_EQ(Window.Editor().count(), 1);
  EXPECT_TRUE(services->IsFileOpen(Temp / "src/./Unit1.pas"));
  EXPECT_EQ(Window.Editor().EditorOf(0)->Utf8Text(), VantryTest::FileContent(unit));
}

TEST_F(HostWindowTest, AFileThatCannotBeOpenedIsRefusedAndNothingIsAdded) {
  EXPECT_FALSE(Window.ToolServices()->OpenFile(Temp / "missing.pas"));
  EXPECT_FALSE(Window.ToolServices()->OpenFile(Temp.MakeDir("folder.pas")));
  EXPECT_EQ(Window.Editor().count(), 0);
}

TEST_F(HostWindowTest, SavingKeepsTheFilesEncodingAndByteExactName) {
  const std::string name = "Caf\xe9.pas";  // not UTF-8
  const std::string latin1 = "{ Fran\xe7ois }\nunit X;\n";
  std::string path = Temp.WriteFile(name, latin1);
  ASSERT_TRUE(Window.OpenFile(path));
  Window.Editor().EditorOf(0)->append("end.");
  EXPECT_TRUE(Window.Editor().IsModified(0));
  std::string error;
  ASSERT_TRUE(Window.Editor().Save(0, error)) << error;
  EXPECT_EQ(VantryTest::FileContent(path), latin1 + "end.");
  EXPECT_FALSE(Window.Editor().IsModified(0));
}

TEST_F(HostWindowTest, SavingKeepsAByteOrderMarkAndCrLfLineEnds) {
  const std::string original = "\xEF\xBB\xBFunit Dos;\r\ninterface\r\nend.\r\n";
  std::string path = Temp.WriteFile("Dos.pas", original);
  ASSERT_TRUE(Window.OpenFile(path));
  EXPECT_EQ(Window.Editor().EditorOf(0)->Utf8Text(), "unit Dos;\ninterface\nend.\n");
  std::string error;
  ASSERT_TRUE(Window.Editor().Save(0, error)) << error;
  EXPECT_EQ(VantryTest::FileContent(path), original);
}

TEST_F(HostWindowTest, ALatin1FileRefusesTextLatin1CannotHold) {
  std::string path = Temp.WriteFile("Old.pas", "{ \xe9 }\n");
  ASSERT_TRUE(Window.OpenFile(path));
  Window.Editor().EditorOf(0)->append(QString::fromUtf8("\xe2\x82\xac"));  // the euro sign
  std::string error;
  EXPECT_FALSE(Window.Editor().Save(0, error));
  EXPECT_THAT(error, ::testing::HasSubstr("Latin-1"));
  EXPECT_EQ(VantryTest::FileContent(path), "{ \xe9 }\n");
  EXPECT_TRUE(Window.Editor().IsModified(0));
}

TEST_F(HostWindowTest, APipeOrDeviceNamedLikeAUnitIsRefusedAtOnce) {
  ASSERT_EQ(mkfifo((Temp / "Pipe.pas").c_str(), 0600), 0);
  EXPECT_FALSE(Window.OpenFile(Temp / "Pipe.pas"));  // would block if it waited for a writer
  EXPECT_FALSE(Window.OpenFile("/dev/zero"));
  EXPECT_EQ(Window.Editor().count(), 0);
}

TEST_F(HostWindowTest, ASaveThatFailsLeavesTheOldFile) {
  std::string path = Temp.WriteFile("Kept.pas", "old");
  std::string error;
  EXPECT_FALSE(WriteFileAtomically(Temp / "no/such/folder/x.pas", "new", error));
  EXPECT_THAT(error, ::testing::HasSubstr("no/such/folder"));
  EXPECT_TRUE(WriteFileAtomically(path, "new", error));
  EXPECT_EQ(VantryTest::FileContent(path), "new");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~0022u) << "a new file gets the usual permissions, not mkstemp's";
  std::ofstream(path + ".link-target") << "target";
  ASSERT_EQ(symlink((path + ".link-target").c_str(), (Temp / "link.pas").c_str()), 0);
  EXPECT_TRUE(WriteFileAtomically(Temp / "link.pas", "through the link", error));
  EXPECT_EQ(VantryTest::FileContent(path + ".link-target"), "through the link");
}

TEST_F(HostWindowTest, TheFileMenuHasTheItemsAddInsLookFor) {
  for (const char* name : {"FileMenu", "FileNewItem", "FileOpenItem", "FileSaveItem", "FileSaveAsItem",
                           "FileSaveAllItem", "FileCloseItem", "FileCloseAllItem", "FileExitItem"})
    EXPECT_NE(Window.Menu().Find(name), nullptr) << name;
  EXPECT_EQ(Window.Menu().Find("FileSaveItem")->Parent, Window.Menu().Find("FileMenu"));
}

// The whole road: Vantry loaded into the IDE, its menu shown by Qt, a unit
// chosen there, the unit open in the editor.
TEST_F(HostWindowTest, ChoosingAUnitInTheVantryMenuOpensItInTheEditor) {
  std::string unit = Temp.WriteFile("Source/Rtl/System.pas", "unit System;\n");
  WriteSettings(false, Temp / "Source");
  TAddInLoader loader(Window.ToolServices(), nullptr);
  ASSERT_TRUE(loader.Load(VANTRY_ADDIN));
  THostMenuNode* item = Window.Menu().Find("ovsVantryMenuItem_D0_F0");
  ASSERT_NE(item, nullptr);
  Window.show();
  ASSERT_TRUE(Window.OpenMenuPath("ovsVantryMenuItem_D0_F0"));  // a submenu's actions come when it shows
  QAction* action = Window.MenuView().ActionOf(*item);
  ASSERT_NE(action, nullptr);
  EXPECT_EQ(action->text(), "&System");  // its own letter, as the first letter chose it on Windows
  action->trigger();
  ASSERT_EQ(Window.Editor().count(), 1);
  EXPECT_EQ(CanonicalPath(Window.Editor().PathOf(0)), CanonicalPath(unit));
  EXPECT_EQ(Window.AccessText(), "Read-only") << "a library source opens for reading";
  action->trigger();  // open already: nothing more
  EXPECT_EQ(Window.Editor().count(), 1);
  loader.Unload();
  EXPECT_EQ(Window.Menu().Find("ovsVantryMenuItem"), nullptr);
}

TEST_F(HostWindowTest, ReadsTheIdentifierAtTheEditorsCursor) {
  EXPECT_EQ(Window.ToolServices()->GetIdentifierAtCursor(), "");  // no file open
  ASSERT_TRUE(Window.OpenFile(Temp.WriteFile("u.pas", "uses Sys_Utils2, TypInfo;  x := 42; { caf\u00e9 }\n")));
  TSourceEditor* editor = Window.Editor().EditorOf(0);
  const std::vector<std::pair<size_t, std::string>> rows = {
      {0, "uses"},  {5, "Sys_Utils2"}, {10, "Sys_Utils2"}, {15, "Sys_Utils2"},  // first letter, inside, just after
      {16, ""},     {17, "TypInfo"},   {26, ""},           {33, ""},            // after a comma; spaces; a number
      {38, "caf"},  {41, "caf"},       {100, ""}};  // a letter that is not ASCII ends it; the end of the text
  for (const auto& [position, identifier] : rows) {
    editor->SetCursorOffset(position, false);
    EXPECT_EQ(Window.ToolServices()->GetIdentifierAtCursor(), identifier) << position;
  }
}

// Columns are the file's bytes: an UTF-8 character of two bytes is one
// character in the editor, a Latin-1 byte one too.
TEST_F(HostWindowTest, OpensAFileAtALineAndByteColumnAndGivesTheEditedText) {
  std::string text;
  size_t cursor = 0;
  EXPECT_FALSE(Window.ToolServices()->GetEditorText(text, cursor));  // no file open
  const std::string utf8 = Temp.WriteFile("u.pas", "first\n caf\u00e9 := Sort;\n");
  const std::string latin1 = Temp.WriteFile("l.pas", "first\n caf\xe9 := Sort;\n");
  struct TRow {
    const std::string& File;
    int Line, Column;
    const char* After;  // the line's text after the cursor
    size_t Offset;      // the cursor's byte offset in the UTF-8 text
  };
  for (const TRow& row : std::vector<TRow>{{utf8, 2, 11, "Sort;", 16}, {latin1, 2, 10, "Sort;", 16},
                                           {utf8, 1, 1, "first", 0}, {utf8, 2, 99, "", 21}, {utf8, 9, 3, "", 22}}) {
    ASSERT_TRUE(Window.ToolServices()->OpenFileAt(row.File, row.Line, row.Column));
    EXPECT_EQ(CursorLineAndRest(*Window.Editor().CurrentEditor()).second, row.After) << row.Line << ":" << row.Column;
    ASSERT_TRUE(Window.ToolServices()->GetEditorText(text, cursor));
    EXPECT_EQ(text, "first\n caf\u00e9 := Sort;\n");
    EXPECT_EQ(cursor, row.Offset) << row.Line << ":" << row.Column;
  }
}

// Ctrl+Enter in the editor, on a unit's name, opens that unit of the Free
// Pascal sources; Ctrl+Alt+U shows the finder.
TEST_F(HostWindowTest, TheFinderShortCutsWorkFromTheEditor) {
  WriteSettings(false, VANTRY_FPC_SOURCE);
  TAddInLoader loader(Window.ToolServices(), nullptr);
  ASSERT_TRUE(loader.Load(VANTRY_ADDIN));
  ASSERT_TRUE(Window.OpenFile(Temp.WriteFile("u.pas", "uses TypInfo;\n")));
  TSourceEditor* editor = ShowWithCursorAt(7);
  QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window.Editor().count() == 2; }, 20000));
  EXPECT_EQ(CanonicalPath(Window.Editor().PathOf(1)), CanonicalPath(std::string(VANTRY_FPC_SOURCE) + "/rtl/objpas/typinfo.pp"));
  EXPECT_EQ(editor->Utf8Text(), "uses TypInfo;\n") << "the key went to the command, not into the text";

  for (const auto& [key, title] : {std::pair{Qt::Key_U, "Find Library Unit"}, std::pair{Qt::Key_D, "Find Library Declaration"}}) {
    QTest::keyClick(&Window, key, Qt::ControlModifier | Qt::AltModifier);
    QDialog* finder = Window.findChild<QDialog*>("FinderForm");
    ASSERT_NE(finder, nullptr);
    EXPECT_TRUE(finder->isVisible());
    EXPECT_EQ(finder->windowTitle(), title);
    finder->reject();
  }

  // Ctrl+Alt+Enter on a name declared once goes straight to its declaration,
  // though the walk the keys above started did not index declarations.
  ASSERT_TRUE(Window.OpenFile(Temp.WriteFile("v.pas", "uses Classes;\nx := soBeginning;\n")));
  editor = ShowWithCursorAt(22, Window.Editor().currentIndex());
  QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier | Qt::AltModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window.Editor().count() == 4; }, 60000));
  EXPECT_EQ(CanonicalPath(Window.Editor().PathOf(3)),
            CanonicalPath(std::string(VANTRY_FPC_SOURCE) + "/rtl/objpas/classes/classesh.inc"));
  const auto [line, rest] = CursorLineAndRest(*Window.Editor().EditorOf(3));
  EXPECT_EQ(line, 61);
  EXPECT_EQ(rest.substr(0, 11), "soBeginning");
  // The status bar says where the name came from.
  EXPECT_EQ(Window.statusBar()->currentMessage(), "TSeekOrigin.soBeginning: from Classes");
  loader.Unload();
}

// The references panel, the outline and the peek, driven as a user drives
// them, over a small library: keys in the editor, Enter in the panel, the
// mouse resting on a name.
TEST_F(HostWindowTest, ReferencesOutlinePeekAndRoutineJumpsAreDrivenFromTheEditor) {
  Temp.WriteFile("Lib/lists.pp",
                 "unit Lists;\ninterface\ntype\n  TList = class\n    // Adds an item.\n    procedure Add(I: Integer);\n"
                 "  end;\n  TBag = class\n    procedure Add(I: Integer);\n  end;\nimplementation\n"
                 "procedure TList.Add(I: Integer);\nbegin\nend;\nend.\n");
  const std::string userText =
      "program User;\nuses Lists;\nvar L: TList; B: TBag;\nbegin\n  L.Add(1); { L.Add }\n  B.Add(3);\n  L.Add(2);\nend.\n";
  const std::string user = Temp.WriteFile("Lib/user.pp", userText);
  WriteSettings(false, Temp / "Lib");
  TAddInLoader loader(Window.ToolServices(), nullptr);
  ASSERT_TRUE(loader.Load(VANTRY_ADDIN));
  ASSERT_TRUE(Window.OpenFile(user));
  Window.resize(900, 600);
  TSourceEditor* editor = ShowWithCursorAt(userText.find("Add(1)"));

  // Shift+Ctrl+Enter: the panel lists TList.Add's declaration, its body and
  // the two calls, by file; not TBag.Add, not the comment.
  QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier | Qt::ShiftModifier);
  auto* panel = Window.findChild<QDockWidget*>("VantryReferencesPanel");
  ASSERT_NE(panel, nullptr);
  auto* status = panel->findChild<QLabel*>();
  ASSERT_TRUE(QTest::qWaitFor([&] { return status->text().contains("references in"); }, 20000)) << status->text().toStdString();
  EXPECT_EQ(status->text(), "TList.Add: 4 references in 2 files");
  auto* tree = panel->findChild<QTreeWidget*>();
  QStringList rows;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    rows << tree->topLevelItem(i)->text(0);
    for (int k = 0; k < tree->topLevelItem(i)->childCount(); ++k) rows << tree->topLevelItem(i)->child(k)->text(0);
  }
  EXPECT_EQ(rows, QStringList({"lists.pp (2)", "6:15:     procedure Add(I: Integer);  [declaration]",
                               "12:17: procedure TList.Add(I: Integer);  [definition]", "user.pp (2)",
                               "5:5:   L.Add(1); { L.Add }", "7:5:   L.Add(2);"}));
  SaveScreenshot(Window, "ide-references");
  // Enter on the last row goes there.
  tree->setFocus();
  tree->setCurrentItem(tree->topLevelItem(1)->child(1));
  QTest::keyClick(tree, Qt::Key_Return);
  EXPECT_EQ(CursorLineAndRest(*editor), std::make_pair(7, std::string("Add(2);")));

  // View > Unit Outline follows the cursor.
  QTest::keyClick(&Window, Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
  auto* outline = Window.findChild<QDockWidget*>("VantryOutlinePanel");
  ASSERT_NE(outline, nullptr);
  EXPECT_TRUE(outline->isVisible());
  auto* items = outline->findChild<QTreeWidget*>();
  ASSERT_TRUE(QTest::qWaitFor([&] { return items->topLevelItemCount() > 0; }));
  EXPECT_EQ(items->topLevelItem(0)->text(0), "program User");
  EXPECT_EQ(items->topLevelItem(1)->text(0), "uses Lists");

  // The mouse resting on "Add" of B.Add shows TBag.Add's peek.
  editor->setFocus();
  const long onAdd = static_cast<long>(userText.find("B.Add") + 3);
  const QPoint point(static_cast<int>(editor->SendScintilla(QsciScintilla::SCI_POINTXFROMPOSITION, 0, onAdd)),
                     static_cast<int>(editor->SendScintilla(QsciScintilla::SCI_POINTYFROMPOSITION, 0, onAdd)) + 5);
  QTest::mouseMove(editor->viewport(), point);
  QFrame* peek = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "VantryPeek" && w->isVisible()) peek = qobject_cast<QFrame*>(w);
    return peek != nullptr;
  }, 5000));
  const QString text = peek->findChild<QLabel*>()->text();
  EXPECT_TRUE(text.contains("TBag.Add")) << text.toStdString();
  EXPECT_TRUE(text.contains("procedure Add(I: Integer);")) << text.toStdString();
  SaveScreenshot(Window, "ide-outline-and-peek", peek);

  // Shift+Ctrl+Down on TList.Add's heading goes to its body, Shift+Ctrl+Up
  // back; Alt+Left returns from each jump.
  const std::string listsText = VantryTest::FileContent(Temp / "Lib/lists.pp");
  ASSERT_TRUE(Window.OpenFile(Temp / "Lib/lists.pp"));
  TSourceEditor* lists = ShowWithCursorAt(listsText.find("Add(I"), Window.Editor().currentIndex());
  QTest::keyClick(lists, Qt::Key_Down, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return CursorLineAndRest(*lists).first == 12; }, 20000));
  EXPECT_EQ(CursorLineAndRest(*lists).second, "Add(I: Integer);");
  QTest::keyClick(lists, Qt::Key_Up, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(CursorLineAndRest(*lists).first, 6);
  QTest::keyClick(lists, Qt::Key_Left, Qt::AltModifier);
  EXPECT_EQ(CursorLineAndRest(*lists).first, 12);
  loader.Unload();
}

// A unit of sixty lines whose thirtieth says "needle", and the same word
// in other cases, whole and in part, further down.
std::string NeedleUnit() {
  std::string text = "unit Hay;\n";
  for (int i = 2; i <= 60; ++i)
    text += i == 30 ? "needle := 1;\n" : i == 40 ? "Needle; needles;\n" : "x := " + std::to_string(i) + ";\n";
  return text;
}

// Ctrl+F opens the bar on the word at the cursor and marks every match; F3
// and Shift+F3 walk them with wrap, each shown mid-view; the options narrow
// them; Escape closes the bar and clears the marks.
TEST_F(HostWindowTest, TheFindBarFindsAsUsersExpect) {
  ASSERT_TRUE(Window.OpenFile(Temp.WriteFile("hay.pas", NeedleUnit())));
  Window.resize(700, 400);
  TSourceEditor* editor = ShowWithCursorAt(NeedleUnit().find("needle") + 2);
  QTest::keyClick(editor, Qt::Key_F, Qt::ControlModifier);
  TFindBar& bar = Window.FindBar();
  ASSERT_TRUE(bar.isVisible());
  EXPECT_EQ(bar.QueryEdit()->text(), "needle");
  EXPECT_TRUE(bar.QueryEdit()->hasFocus());
  EXPECT_EQ(bar.Status(), "3 matches");
  EXPECT_EQ(editor->FindMarks().size(), 3u);
  SaveScreenshot(Window, "ide-find-bar");
  struct TStep {
    Qt::KeyboardModifiers Modifiers;
    int Line;
  };
  for (const TStep& step : {TStep{Qt::NoModifier, 40}, TStep{Qt::NoModifier, 40}, TStep{Qt::NoModifier, 30},
                            TStep{Qt::ShiftModifier, 40}, TStep{Qt::ShiftModifier, 40}}) {
    QTest::keyClick(editor, Qt::Key_F3, step.Modifiers);
    EXPECT_EQ(CursorLineAndRest(*editor).first, step.Line);
    const int first = editor->FirstVisibleLine() + 1, shown = static_cast<int>(editor->SendScintilla(QsciScintilla::SCI_LINESONSCREEN));
    EXPECT_NEAR(step.Line - first, shown / 2, 1) << "the match stands mid-view";
  }
  struct TOptions {
    bool MatchCase, WholeWord, RegularExpression;
    const char* Text;
    const char* Status;
  };
  for (const TOptions& row : {TOptions{true, false, false, "needle", "2 matches"}, TOptions{false, true, false, "needle", "2 matches"},
                              TOptions{true, true, false, "needle", "1 match"}, TOptions{false, false, true, "^x := [45]\\d;", "19 matches"},
                              TOptions{false, false, true, "(", "No matches"}, TOptions{false, false, false, "nothing", "No matches"}}) {
    bar.SetQuery({row.Text, row.MatchCase, row.WholeWord, row.RegularExpression});
    bar.FindNext(true);
    EXPECT_EQ(bar.Status(), row.Status) << row.Text;
  }
  QTest::keyClick(bar.QueryEdit(), Qt::Key_Escape);
  EXPECT_FALSE(bar.isVisible());
  EXPECT_TRUE(editor->FindMarks().empty());
  EXPECT_TRUE(editor->hasFocus());
}

// Ctrl+H replaces in a file that may be written, one at a time or all as
// one undoable step; a library source offers no replacement.
TEST_F(HostWindowTest, ReplaceWorksInWritableFilesOnly) {
  const std::string path = Temp.WriteFile("hay.pas", NeedleUnit());
  ASSERT_TRUE(Window.OpenFile(path));
  TSourceEditor* editor = ShowWithCursorAt(0);
  QTest::keyClick(editor, Qt::Key_H, Qt::ControlModifier);
  TFindBar& bar = Window.FindBar();
  ASSERT_TRUE(bar.ReplacementEdit()->isVisible());
  bar.SetQuery({"needle", false, true, false});
  bar.ReplacementEdit()->setText("pin");
  bar.FindNext(true);
  QTest::keyClick(bar.ReplacementEdit(), Qt::Key_Return);  // replaces the match, finds the next
  EXPECT_NE(editor->Utf8Text().find("pin := 1;"), std::string::npos);
  bar.ReplaceAll();
  EXPECT_NE(editor->Utf8Text().find("pin; needles;"), std::string::npos);
  editor->undo();
  EXPECT_NE(editor->Utf8Text().find("Needle; needles;"), std::string::npos) << "all replaced as one step";

  ASSERT_TRUE(Window.OpenFile(Temp.WriteFile("lib/hay.pas", NeedleUnit()), true));
  QTest::keyClick(Window.Editor().CurrentEditor(), Qt::Key_H, Qt::ControlModifier);
  EXPECT_FALSE(bar.ReplacementEdit()->isEnabled());
  bar.ReplaceAll();
  EXPECT_EQ(Window.Editor().CurrentEditor()->Utf8Text(), NeedleUnit());
}

// Ctrl+G takes LINE or LINE:COLUMN; the status bar always says where the
// cursor is, the encoding and whether the file may be edited.
TEST_F(HostWindowTest, GoToLineAndTheStatusBar) {
  ASSERT_TRUE(Window.OpenFile(Temp.WriteFile("hay.pas", "\xEF\xBB\xBF" + NeedleUnit())));
  TSourceEditor* editor = ShowWithCursorAt(0);
  EXPECT_EQ(Window.PositionText(), "1:1");
  EXPECT_EQ(Window.EncodingText(), "UTF-8 with BOM");
  EXPECT_EQ(Window.AccessText(), "Writable");
  QTimer::singleShot(0, [] {
    if (auto* line = QApplication::activeModalWidget() ? QApplication::activeModalWidget()->findChild<QLineEdit*>() : nullptr) {
      line->setText("30:4");
      QTest::keyClick(line, Qt::Key_Return);
    }
  });
  QTest::keyClick(editor, Qt::Key_G, Qt::ControlModifier);
  EXPECT_EQ(CursorLineAndRest(*editor).second, "dle := 1;");
  EXPECT_EQ(Window.PositionText(), "30:4");
  for (const auto& [spec, position] : std::vector<std::pair<QString, QString>>{
           {"45", "45:1"}, {" 12 : 3 ", "12:3"}, {"500", "61:1"}, {"2:99", "2:8"}, {"x", "2:8"}, {"3:", "2:8"}, {"-1", "2:8"}})
    EXPECT_EQ(Window.GoToLine(spec) ? Window.PositionText() : Window.PositionText(), position) << spec.toStdString();
}

// Every jump records where it left; Alt+Left and Alt+Right (and the mouse's
// side buttons) walk back and forth across files.
TEST_F(HostWindowTest, BackAndForwardWalkTheJumps) {
  const std::string a = Temp.WriteFile("a.pas", NeedleUnit()), b = Temp.WriteFile("b.pas", NeedleUnit());
  ASSERT_TRUE(Window.OpenFile(a));
  ShowWithCursorAt(0);
  ASSERT_TRUE(Window.ToolServices()->OpenFileAt(b, 30, 1));  // a jump of an add-in's
  ASSERT_TRUE(Window.GoToLine("45"));
  auto at = [&] {
    return std::make_pair(QFileInfo(QString::fromStdString(Window.Editor().PathOf(Window.Editor().currentIndex()))).fileName().toStdString(),
                          CursorLineAndRest(*Window.Editor().CurrentEditor()).first);
  };
  using TAt = std::pair<std::string, int>;
  EXPECT_EQ(at(), TAt("b.pas", 45));
  QTest::keyClick(&Window, Qt::Key_Left, Qt::AltModifier);
  EXPECT_EQ(at(), TAt("b.pas", 30));
  QTest::keyClick(&Window, Qt::Key_Left, Qt::AltModifier);
  EXPECT_EQ(at(), TAt("a.pas", 1));
  QTest::keyClick(&Window, Qt::Key_Left, Qt::AltModifier);  // nothing further back
  EXPECT_EQ(at(), TAt("a.pas", 1));
  QTest::mouseClick(Window.Editor().CurrentEditor()->viewport(), Qt::ForwardButton);
  EXPECT_EQ(at(), TAt("b.pas", 30));
  QTest::keyClick(&Window, Qt::Key_Right, Qt::AltModifier);
  EXPECT_EQ(at(), TAt("b.pas", 45));
  QTest::mouseClick(Window.Editor().CurrentEditor()->viewport(), Qt::BackButton);
  EXPECT_EQ(at(), TAt("b.pas", 30));
  ASSERT_TRUE(Window.GoToLine("2"));  // a new jump drops what lay ahead
  QTest::keyClick(&Window, Qt::Key_Right, Qt::AltModifier);
  EXPECT_EQ(at(), TAt("b.pas", 2));
}

// The tabs with their places, the window's geometry, the find query and the
// recent files come back in a new window; a closed tab comes back with
// Ctrl+Shift+T where it was; a session that cannot be read is refused.
TEST_F(HostWindowTest, TheSessionIsKeptAndTakenUp) {
  const std::string a = Temp.WriteFile("a.pas", NeedleUnit()), b = Temp.WriteFile("b.pas", NeedleUnit());
  ASSERT_TRUE(Window.OpenFile(a));
  ASSERT_TRUE(Window.OpenFile(b));
  ShowWithCursorAt(0, 1);
  Window.GoToLine("40:3");
  Window.FindBar().SetQuery({"needle", true, false, false});
  Window.Editor().setCurrentIndex(0);
  const size_t cursor = Window.Editor().EditorOf(1)->CursorOffset();
  Window.KeepSessionOnClose(true);
  ASSERT_TRUE(Window.close());
  std::string error;

  THostWindow next;
  next.RestoreSession(LoadSession(error));
  EXPECT_EQ(error, "");
  ASSERT_EQ(next.Editor().count(), 2);
  EXPECT_EQ(next.Editor().currentIndex(), 0);
  EXPECT_EQ(next.Editor().EditorOf(1)->CursorOffset(), cursor);
  EXPECT_EQ(next.FindBar().Query().Text, "needle");
  EXPECT_TRUE(next.FindBar().Query().MatchCase);
  EXPECT_EQ(next.CurrentSession().Recent, (std::vector<std::string>{b, a}));

  next.Editor().setCurrentIndex(1);
  next.show();
  next.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&next));
  QTest::keyClick(&next, Qt::Key_W, Qt::ControlModifier);
  ASSERT_EQ(next.Editor().count(), 1);
  QTest::keyClick(&next, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_EQ(next.Editor().count(), 2);
  EXPECT_EQ(next.PositionText(), "40:3");

  TSession session;
  for (const char* damaged : {"", "{", "[1]", "not json"}) EXPECT_FALSE(SessionFromJson(damaged, session)) << damaged;
  TSession bytes;  // paths are kept byte for byte
  bytes.Tabs.push_back({"/tmp/Caf\xe9 & 100%.pas", 7, 2});
  ASSERT_TRUE(SessionFromJson(SessionToJson(bytes), session));
  EXPECT_EQ(session.Tabs.at(0).Path, bytes.Tabs[0].Path);
  // The tab width is a setting of 1 to 16 columns, else 8.
  for (const auto& [stored, width] : {std::pair{4, 4}, std::pair{0, 8}, std::pair{17, 8}}) {
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Vantry\\IDE", true));
    reg.WriteInteger("TabWidth", stored);
    EXPECT_EQ(TabWidthSetting(), width) << stored;
  }
  for (int i = 0; i < 12; ++i) session.AddRecent(std::to_string(i % 11));
  EXPECT_EQ(session.Recent.size(), TSession::MostRecent);
  EXPECT_EQ(session.Recent.front(), "0");
}

// The IDE's menus show their keys, and every item of a menu has a letter of
// its own, the add-in's items too.
TEST_F(HostWindowTest, MenusShowTheirKeysAndEachItemHasItsOwnLetter) {
  WriteSettings(false, VANTRY_FPC_SOURCE);
  TAddInLoader loader(Window.ToolServices(), nullptr);
  ASSERT_TRUE(loader.Load(VANTRY_ADDIN));
  for (const auto& [item, keys] : std::vector<std::pair<const char*, const char*>>{
           {"FileOpenItem", "Ctrl+O"}, {"FileSaveItem", "Ctrl+S"}, {"FileCloseItem", "Ctrl+W"}, {"ViewNextTabItem", "Ctrl+Tab"},
           {"SearchFindItem", "Ctrl+F"}, {"SearchFindNextItem", "F3"}, {"SearchGoToLineItem", "Ctrl+G"},
           {"SearchBackItem", "Alt+Left"}, {"ViewZoomInItem", "Ctrl+="}}) {
    ASSERT_TRUE(Window.OpenMenuPath(item));
    EXPECT_EQ(Window.MenuView().ActionOf(*Window.Menu().Find(item))->shortcut().toString(), keys) << item;
  }
  for (const auto& menu : Window.Menu().Root().Children) {
    ASSERT_TRUE(Window.OpenMenuPath(menu->Name));
    emit Window.MenuView().MenuOf(*menu)->aboutToShow();
    std::map<QChar, QString> letters;
    for (QAction* action : Window.MenuView().MenuOf(*menu)->actions()) {
      if (action->isSeparator() || !action->isVisible()) continue;
      const QKeySequence mnemonic = QKeySequence::mnemonic(action->text());
      ASSERT_FALSE(mnemonic.isEmpty()) << action->text().toStdString();
      const QChar letter(mnemonic[0].key());
      EXPECT_EQ(letters.count(letter), 0u) << action->text().toStdString() << " and " << letters[letter].toStdString();
      letters[letter] = action->text();
    }
  }
  EXPECT_TRUE(Window.MenuView().ActionOf(*Window.Menu().Find("ovsVantryMenuItem"))->text().startsWith("&V"));
  loader.Unload();
}

// Library sources open read-only under a bar; "Edit anyway" lets them be
// edited. Tabs of one name show the folder that tells them apart, and the
// title bar names the file and its folder.
TEST_F(HostWindowTest, LibraryFilesAreReadSafelyAndTabsTellNamesakesApart) {
  const std::string unix = Temp.WriteFile("rtl/unix/sysutils.pp", "unit SysUtils;\n");
  const std::string win = Temp.WriteFile("rtl/win/sysutils.pp", "unit SysUtils;\n");
  const std::string own = Temp.WriteFile("own/sysutils.pp", "unit SysUtils;\n");
  Window.SetLibraryFolder(Temp / "rtl");
  for (const std::string& path : {unix, win, own}) ASSERT_TRUE(Window.OpenFile(path));
  EXPECT_EQ(Window.Editor().tabText(0), "sysutils.pp \u2014 unix");
  EXPECT_EQ(Window.Editor().tabText(1), "sysutils.pp \u2014 win");
  EXPECT_EQ(Window.Editor().tabText(2), "sysutils.pp \u2014 own");
  EXPECT_TRUE(Window.windowTitle().startsWith(QStringLiteral("sysutils.pp (%1)").arg(QString::fromStdString(Temp / "own"))))
      << Window.windowTitle().toStdString();
  EXPECT_FALSE(Window.Editor().EditorOf(2)->isReadOnly());
  TSourceEditor* library = ShowWithCursorAt(0, 0);
  EXPECT_TRUE(library->isReadOnly());
  QTest::keyClicks(library, "x");
  EXPECT_EQ(library->Utf8Text(), "unit SysUtils;\n");
  QPushButton* edit = nullptr;
  for (QPushButton* button : Window.Editor().widget(0)->findChildren<QPushButton*>())
    if (button->text() == "&Edit anyway") edit = button;
  ASSERT_NE(edit, nullptr);
  SaveScreenshot(Window, "ide-read-only");
  edit->click();
  EXPECT_FALSE(library->isReadOnly());
  EXPECT_EQ(Window.AccessText(), "Writable");
}

// The editor pairs begin/end and their kin in code only, colours numbers
// and not the names after "..", and is set for reading sources.
TEST_F(HostWindowTest, TheEditorMatchesBlocksAndReadsPascal) {
  const std::string text =
      "type R = record case K: Integer of 0: (A: Byte); end;\n"            // a variant part shares its record's end
      "  C = class; D = class(TObject) end; E = class of D;\n"             // forward, declared, a class reference
      "procedure P;\nbegin\n  { begin }\n  try repeat X := 0..MaxSize; until Y; finally end;\nend;\n";
  ASSERT_TRUE(Window.OpenFile(Temp.WriteFile("blocks.pas", text)));
  TSourceEditor* editor = ShowWithCursorAt(0);
  using TMarks = std::vector<std::pair<size_t, size_t>>;
  auto word = [&](const char* AWord, size_t ANth = 0) {
    size_t at = text.find(AWord);
    while (ANth-- > 0) at = text.find(AWord, at + 1);
    return std::make_pair(at, at + std::strlen(AWord));
  };
  const std::vector<std::pair<std::pair<size_t, size_t>, TMarks>> rows = {
      {word("record"), {word("record"), word("end")}},
      {word("case"), {}},
      {word("class", 1), {word("class", 1), word("end", 1)}},
      {word("class"), {}},
      {word("begin", 0), {}},  // "begin" of the first line is none: it is "begin" of the procedure below
      {word("try"), {word("try"), word("end", 2)}},
      {word("until"), {word("repeat"), word("until")}},
      {word("end", 3), {word("begin\n"), word("end", 3)}},
  };
  for (const auto& [at, marks] : rows) {
    editor->SetCursorOffset(at.first + 1, false);
    QApplication::processEvents();  // the marks follow the cursor as the view updates
    TMarks expected = marks;
    if (at == word("begin", 0)) expected = {word("begin\n"), word("end", 3)};
    for (auto& [start, end] : expected)
      if (text.compare(start, 6, "begin\n") == 0) end = start + 5;
    EXPECT_EQ(editor->BlockMarks(), expected) << text.substr(at.first, 10);
  }
  editor->SetCursorOffset(text.find("{ begin") + 3, false);
  QApplication::processEvents();
  EXPECT_TRUE(editor->BlockMarks().empty()) << "a word in a comment is none";
  editor->SendScintilla(QsciScintilla::SCI_COLOURISE, 0, -1);
  const long range = static_cast<long>(text.find("0..MaxSize"));
  EXPECT_EQ(editor->SendScintilla(QsciScintilla::SCI_GETSTYLEAT, range), 7) << "0 is a number";
  EXPECT_NE(editor->SendScintilla(QsciScintilla::SCI_GETSTYLEAT, range + 3), 7) << "MaxSize is not";
  EXPECT_EQ(editor->tabWidth(), 8);
  EXPECT_EQ(editor->wrapMode(), QsciScintilla::WrapNone);
  EXPECT_GT(editor->marginWidth(0), 0) << "line numbers";
  EXPECT_TRUE(editor->SendScintilla(QsciScintilla::SCI_GETCARETLINEVISIBLE));
  // The procedure's body folds from its begin to its end.
  const long beginLine = editor->SendScintilla(QsciScintilla::SCI_LINEFROMPOSITION, static_cast<long>(word("begin\n").first));
  EXPECT_TRUE(editor->SendScintilla(QsciScintilla::SCI_GETFOLDLEVEL, beginLine) & QsciScintilla::SC_FOLDLEVELHEADERFLAG);
  EXPECT_EQ(editor->SendScintilla(QsciScintilla::SCI_GETLASTCHILD, beginLine, -1), beginLine + 3);
  // Ctrl+= and Ctrl+- zoom, Ctrl+0 goes back.
  for (const auto& [key, zoom] : {std::pair{Qt::Key_Equal, 1}, std::pair{Qt::Key_Equal, 2}, std::pair{Qt::Key_Minus, 1},
                                  std::pair{Qt::Key_0, 0}}) {
    QTest::keyClick(editor, key, Qt::ControlModifier);
    EXPECT_EQ(editor->SendScintilla(QsciScintilla::SCI_GETZOOM), zoom);
  }
  // The file's path comes back to the status bar after a menu's hint.
  Window.statusBar()->showMessage("a hint");
  Window.statusBar()->clearMessage();
  EXPECT_TRUE(Window.statusBar()->findChild<QLabel*>()->isVisible());
  EXPECT_EQ(Window.statusBar()->findChild<QLabel*>()->text().toStdString(), Window.Editor().PathOf(0));
}

TEST_F(HostWindowTest, OpeningAMenuPathShowsEachMenuOnTheWay) {
  Window.show();
  ASSERT_TRUE(Window.OpenMenuPath("FileSaveItem"));
  EXPECT_TRUE(Window.MenuView().MenuOf(*Window.Menu().Find("FileMenu"))->isVisible());
  QImage shot = Window.Screenshot();
  EXPECT_GT(shot.height(), Window.height() / 2);
  EXPECT_FALSE(Window.OpenMenuPath("NoSuchItem"));
}

TEST(MessageBoxTest, ShowsItsTextAsWrittenNotAsMarkup) {
  auto box = NewMessageBox(QMessageBox::Critical, nullptr, "Cannot open <img src=x>.pas");
  auto* label = box->findChild<QLabel*>("qt_msgbox_label");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->textFormat(), Qt::PlainText);
  EXPECT_EQ(label->text(), "Cannot open <img src=x>.pas");
  // A box belongs to the modal dialog that raised it, else to the IDE's window.
  QWidget ide;
  Application().SetHandle(&ide);
  EXPECT_EQ(DialogParent(), &ide);
  QDialog dialog(&ide);
  dialog.setModal(true);
  dialog.show();
  EXPECT_EQ(DialogParent(), &dialog);
  dialog.hide();
  Application().SetHandle(nullptr);
  // The send-mail form's error text parts its details with bare CRs.
  EXPECT_EQ(NewMessageBox(QMessageBox::Critical, nullptr, "550 - No(one)\r(two)\r\n(three)")->text(),
            "550 - No(one)\n(two)\n(three)");
}

}  // namespace
