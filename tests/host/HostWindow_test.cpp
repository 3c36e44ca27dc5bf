#include "AddInLoader.h"
#include "HostWindow.h"
#include "forms/QtApplication.h"
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
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QStatusBar>
#include <QTest>

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

class HostWindowTest : public VantryTest::TIsolatedTest {
protected:
  // Shows the window, active, and puts the first tab's cursor at
  // APosition, the editor focused; the editor.
  QPlainTextEdit* ShowWithCursorAt(int APosition) {
    Window.show();
    Window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&Window));
    QPlainTextEdit* editor = Window.Editor().EditorOf(0);
    editor->setFocus();
    QTextCursor cursor = editor->textCursor();
    cursor.setPosition(APosition);
    editor->setTextCursor(cursor);
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
  EXPECT_EQ(Window.Editor().EditorOf(0)->toPlainText().toStdString(), VantryTest::FileContent(unit));
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
  QPlainTextEdit* editor = Window.Editor().EditorOf(0);
  editor->appendPlainText("end.");
  EXPECT_TRUE(Window.Editor().IsModified(0));
  std::string error;
  ASSERT_TRUE(Window.Editor().Save(0, error)) << error;
  EXPECT_EQ(VantryTest::FileContent(path), latin1 + "\nend.");  // appended as a paragraph of its own
  EXPECT_FALSE(Window.Editor().IsModified(0));
}

TEST_F(HostWindowTest, SavingKeepsAByteOrderMarkAndCrLfLineEnds) {
  const std::string original = "\xEF\xBB\xBFunit Dos;\r\ninterface\r\nend.\r\n";
  std::string path = Temp.WriteFile("Dos.pas", original);
  ASSERT_TRUE(Window.OpenFile(path));
  EXPECT_EQ(Window.Editor().EditorOf(0)->toPlainText().toStdString(), "unit Dos;\ninterface\nend.\n");
  std::string error;
  ASSERT_TRUE(Window.Editor().Save(0, error)) << error;
  EXPECT_EQ(VantryTest::FileContent(path), original);
}

TEST_F(HostWindowTest, ALatin1FileRefusesTextLatin1CannotHold) {
  std::string path = Temp.WriteFile("Old.pas", "{ \xe9 }\n");
  ASSERT_TRUE(Window.OpenFile(path));
  Window.Editor().EditorOf(0)->appendPlainText(QString::fromUtf8("\xe2\x82\xac"));  // the euro sign
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
  EXPECT_EQ(action->text(), "System");
  action->trigger();
  ASSERT_EQ(Window.Editor().count(), 1);
  EXPECT_EQ(CanonicalPath(Window.Editor().PathOf(0)), CanonicalPath(unit));
  action->trigger();  // open already: nothing more
  EXPECT_EQ(Window.Editor().count(), 1);
  loader.Unload();
  EXPECT_EQ(Window.Menu().Find("ovsVantryMenuItem"), nullptr);
}

TEST_F(HostWindowTest, ReadsTheIdentifierAtTheEditorsCursor) {
  EXPECT_EQ(Window.ToolServices()->GetIdentifierAtCursor(), "");  // no file open
  ASSERT_TRUE(Window.OpenFile(Temp.WriteFile("u.pas", "uses Sys_Utils2, TypInfo;  x := 42; { caf\u00e9 }\n")));
  QPlainTextEdit* editor = Window.Editor().EditorOf(0);
  const std::vector<std::pair<int, std::string>> rows = {
      {0, "uses"},  {5, "Sys_Utils2"}, {10, "Sys_Utils2"}, {15, "Sys_Utils2"},  // first letter, inside, just after
      {16, ""},     {17, "TypInfo"},   {26, ""},           {33, ""},            // after a comma; spaces; a number
      {38, "caf"},  {41, "caf"},       {100, ""}};  // a letter that is not ASCII ends it; the end of the text
  for (const auto& [position, identifier] : rows) {
    QTextCursor cursor = editor->textCursor();
    cursor.setPosition(std::min(position, static_cast<int>(editor->document()->characterCount()) - 1));
    editor->setTextCursor(cursor);
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
    const QTextCursor at = Window.Editor().EditorOf(Window.Editor().currentIndex())->textCursor();
    EXPECT_EQ(at.block().text().mid(at.positionInBlock()).toStdString(), row.After) << row.Line << ":" << row.Column;
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
  QPlainTextEdit* editor = ShowWithCursorAt(7);
  QTextCursor cursor;
  QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window.Editor().count() == 2; }, 20000));
  EXPECT_EQ(CanonicalPath(Window.Editor().PathOf(1)), CanonicalPath(std::string(VANTRY_FPC_SOURCE) + "/rtl/objpas/typinfo.pp"));
  EXPECT_EQ(editor->toPlainText(), "uses TypInfo;\n") << "the key went to the command, not into the text";

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
  editor = Window.Editor().EditorOf(Window.Editor().currentIndex());
  editor->setFocus();
  cursor = editor->textCursor();
  cursor.setPosition(22);
  editor->setTextCursor(cursor);
  QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier | Qt::AltModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window.Editor().count() == 4; }, 60000));
  EXPECT_EQ(CanonicalPath(Window.Editor().PathOf(3)),
            CanonicalPath(std::string(VANTRY_FPC_SOURCE) + "/rtl/objpas/classes/classesh.inc"));
  const QTextCursor at = Window.Editor().EditorOf(3)->textCursor();
  EXPECT_EQ(at.block().blockNumber() + 1, 61);
  EXPECT_EQ(at.block().text().mid(at.positionInBlock(), 11), "soBeginning");
  // The status bar says where the name came from.
  EXPECT_EQ(Window.statusBar()->currentMessage(), "TSeekOrigin.soBeginning: from Classes");
  loader.Unload();
}

// The references panel, the outline and the peek, driven as a user drives
// them, over a small library: keys in the editor, Enter in the panel, the
// mouse resting on a name.
TEST_F(HostWindowTest, ReferencesOutlineAndPeekAreDrivenFromTheEditor) {
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
  QPlainTextEdit* editor = ShowWithCursorAt(static_cast<int>(userText.find("Add(1)")));

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
  EXPECT_EQ(editor->textCursor().block().blockNumber() + 1, 7);
  EXPECT_EQ(editor->textCursor().positionInBlock(), 4);

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
  const QTextCursor bAdd(editor->document()->findBlockByNumber(5));
  QTextCursor onAdd = bAdd;
  onAdd.setPosition(bAdd.position() + 5);
  const QPoint point = editor->cursorRect(onAdd).center() + QPoint(2, 0);
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
  loader.Unload();
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
