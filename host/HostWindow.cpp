#include "HostWindow.h"

#include "forms/QtApplication.h"
#include "hostmodel/AddInCall.h"
#include "hostmodel/StandardMenus.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cstdio>

namespace Vantry {

namespace {

// The IDE's services to add-ins, answered by its window.
class THostToolServices final : public TIToolServices {
public:
  explicit THostToolServices(THostWindow& AWindow) : FWindow(AWindow) {}
  HWND GetParentHandle() override { return &FWindow; }
  TIMainMenuIntf* GetMainMenu() override { return FWindow.Menu().MainMenu(); }
  bool IsFileOpen(const std::string& AFileName) override { return FWindow.Editor().IsFileOpen(AFileName); }
  bool OpenFile(const std::string& AFileName) override { return FWindow.OpenFile(AFileName); }
  std::string GetIdentifierAtCursor() override { return FWindow.Editor().IdentifierAtCursor(); }
  bool OpenFileAt(const std::string& AFileName, int ALine, int AColumn) override {
    if (!FWindow.OpenFile(AFileName)) return false;
    FWindow.Editor().GoTo(ALine, AColumn);
    return true;
  }
  bool GetEditorText(std::string& AText, size_t& ACursor) override {
    return FWindow.Editor().CurrentText(AText, ACursor);
  }
  std::string GetCurrentFile() override {
    const int index = FWindow.Editor().currentIndex();
    return index < 0 ? std::string() : FWindow.Editor().PathOf(index);
  }
  void ShowStatus(const std::string& AText) override {
    FWindow.statusBar()->showMessage(QString::fromStdString(AText));
  }
  void SetHoverHandler(THoverHandler AHandler) override { FWindow.SetHoverHandler(std::move(AHandler)); }
  bool GetCursorPoint(int& AX, int& AY) override {
    QPoint point;
    if (!FWindow.Editor().CursorPoint(point)) return false;
    AX = point.x();
    AY = point.y();
    return true;
  }

private:
  THostWindow& FWindow;
};

std::string FromQString(const QString& S) {
  QByteArray bytes = QFile::encodeName(S);
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

const char* StyleName(TExpertStyle AStyle) {
  switch (AStyle) {
    case esStandard: return "esStandard";
    case esForm: return "esForm";
    case esProject: return "esProject";
    case esAddIn: return "esAddIn";
  }
  return "?";
}

std::string StateText(TExpertState AState) {
  std::string text;
  if (AState.Contains(esEnabled)) text = "esEnabled";
  if (AState.Contains(esChecked)) text += text.empty() ? "esChecked" : ", esChecked";
  return "[" + text + "]";
}

}  // namespace

const std::vector<std::string>& ExpertColumns() {
  static const std::vector<std::string> columns = {"Name",  "Author", "Comment",   "Page",
                                                   "Style", "State",  "ID String", "Menu Text"};
  return columns;
}

std::vector<std::vector<std::string>> ExpertRows(const std::vector<TIExpert*>& AExperts) {
  // Each answer is asked for on its own: an expert that raises on one
  // question is reported and still shows its other answers.
  using TQuestion = std::string (*)(TIExpert*);
  static const TQuestion questions[] = {
      [](TIExpert* e) { return e->GetName(); },
      [](TIExpert* e) { return e->GetAuthor(); },
      [](TIExpert* e) { return e->GetComment(); },
      [](TIExpert* e) { return e->GetPage(); },
      [](TIExpert* e) { return std::string(StyleName(e->GetStyle())); },
      [](TIExpert* e) { return StateText(e->GetState()); },
      [](TIExpert* e) { return e->GetIDString(); },
      [](TIExpert* e) { return e->GetMenuText(); },
  };
  std::vector<std::vector<std::string>> rows;
  for (TIExpert* e : AExperts) {
    std::vector<std::string>& row = rows.emplace_back();
    for (TQuestion question : questions) {
      std::string answer;
      CallAddIn([&] { answer = question(e); });
      row.push_back(std::move(answer));
    }
  }
  return rows;
}

THostWindow::THostWindow() : FEditor(new TEditorTabs(this)), FToolServices(new THostToolServices(*this)) {
  setWindowTitle(QStringLiteral("Vantry IDE"));
  AddStandardMenus(FMenu);
  FMenuView = std::make_unique<TQtMenuView>(FMenu, menuBar());
  setCentralWidget(FEditor);
  statusBar()->showMessage(QStringLiteral("Ready"));
  connect(FEditor, &TEditorTabs::CurrentPathChanged, this, [this](const QString& APath) {
    statusBar()->showMessage(APath);
  });
  connect(FEditor, &TEditorTabs::Hovered, this,
          [this](const std::string& APath, const std::string& AText, size_t AOffset, QPoint AGlobal) {
            // The handler is an add-in's: what it raises is shown, never lost in the event loop.
            if (FHoverHandler) CallAddIn([&] { FHoverHandler(APath, AText, AOffset, AGlobal.x(), AGlobal.y()); });
          });
  connect(FEditor, &QTabWidget::tabCloseRequested, this, [this](int AIndex) {
    if (ConfirmClose(AIndex)) FEditor->CloseTab(AIndex);
  });
  ConnectCommands();
  resize(900, 600);
}

THostWindow::~THostWindow() {
  FMenuView.reset();
  FToolServices->Free();
}

bool THostWindow::Interactive() { return CanShowDialogs(); }

void THostWindow::OnCommand(const char* AItemName, std::function<void()> ACommand) {
  if (THostMenuNode* node = FMenu.Find(AItemName))
    node->OnClick = [command = std::move(ACommand)](TIMenuItemIntf*) { command(); };
}

void THostWindow::ConnectCommands() {
  auto editor = [this]() -> QPlainTextEdit* {
    return FEditor->currentIndex() < 0 ? nullptr : FEditor->EditorOf(FEditor->currentIndex());
  };
  auto onEditor = [&](const char* AItem, void (QPlainTextEdit::*AAction)()) {
    OnCommand(AItem, [editor, AAction] {
      if (QPlainTextEdit* e = editor()) (e->*AAction)();
    });
  };
  OnCommand("FileNewItem", [this] { NewFile(); });
  OnCommand("FileOpenItem", [this] { OpenWithDialog(); });
  OnCommand("FileSaveItem", [this] { SaveCurrent(false); });
  OnCommand("FileSaveAsItem", [this] { SaveCurrent(true); });
  OnCommand("FileSaveAllItem", [this] {
    for (int i = 0; i < FEditor->count(); ++i) {
      std::string error;
      if (FEditor->IsModified(i) && !FEditor->Save(i, error)) Report(error);
    }
  });
  OnCommand("FileCloseItem", [this] {
    int i = FEditor->currentIndex();
    if (i >= 0 && ConfirmClose(i)) FEditor->CloseTab(i);
  });
  OnCommand("FileCloseAllItem", [this] {
    for (int i = FEditor->count() - 1; i >= 0; --i) {
      if (!ConfirmClose(i)) return;  // the user cancelled: the rest stay open
      FEditor->CloseTab(i);
    }
  });
  OnCommand("FileExitItem", [this] { close(); });
  onEditor("EditUndoItem", &QPlainTextEdit::undo);
  onEditor("EditCutItem", &QPlainTextEdit::cut);
  onEditor("EditCopyItem", &QPlainTextEdit::copy);
  onEditor("EditPasteItem", &QPlainTextEdit::paste);
  onEditor("EditSelectAllItem", &QPlainTextEdit::selectAll);
  OnCommand("SearchFindItem", [this] { Find(false); });
  OnCommand("SearchReplaceItem", [this] { Find(true); });
  if (THostMenuNode* statusItem = FMenu.Find("ViewStatusBarItem")) {
    statusItem->Flags.Include(mfChecked);
    FMenu.NodeChanged(*statusItem);
    OnCommand("ViewStatusBarItem", [this, statusItem] {
      statusBar()->setVisible(!statusBar()->isVisible());
      if (statusBar()->isVisible())
        statusItem->Flags.Include(mfChecked);
      else
        statusItem->Flags.Exclude(mfChecked);
      FMenu.NodeChanged(*statusItem);
    });
  }
  // This IDE neither compiles nor runs programs, and has no help file.
  for (const char* unavailable : {"ProjectCompileItem", "RunRunItem", "ToolsOptionsItem", "HelpContentsItem"})
    if (THostMenuNode* node = FMenu.Find(unavailable)) {
      node->Flags.Exclude(mfEnabled);
      FMenu.NodeChanged(*node);
    }
  OnCommand("HelpExpertsItem", [this] { ShowInstalledExperts(); });
  OnCommand("HelpAboutItem", [this] {
    QMessageBox::about(this, QStringLiteral("About Vantry IDE"),
                       QStringLiteral("The reference IDE that loads Vantry and other experts."));
  });
}

void THostWindow::Report(const std::string& AMessage) {
  statusBar()->showMessage(QString::fromStdString(AMessage));
  if (Interactive())
    NewMessageBox(QMessageBox::Warning, this, QString::fromStdString(AMessage))->exec();
  else
    std::fprintf(stderr, "%s\n", AMessage.c_str());
}

bool THostWindow::OpenFile(const std::string& APath) {
  std::string error;
  if (FEditor->OpenFile(APath, error)) return true;
  Report(error);
  return false;
}

void THostWindow::NewFile() {
  QString name = QFileDialog::getSaveFileName(this, QStringLiteral("New File"), QString(),
                                              QStringLiteral("Pascal units (*.pas);;All files (*)"));
  if (name.isEmpty()) return;
  std::string path = FromQString(name), error;
  if (!WriteFileAtomically(path, "", error))
    Report(error);
  else
    OpenFile(path);
}

void THostWindow::OpenWithDialog() {
  QString name = QFileDialog::getOpenFileName(this, QStringLiteral("Open"), QString(),
                                              QStringLiteral("Pascal sources (*.pas *.pp *.inc *.dpr);;All files (*)"));
  if (!name.isEmpty()) OpenFile(FromQString(name));
}

void THostWindow::SaveCurrent(bool AAs) {
  int i = FEditor->currentIndex();
  if (i < 0) return;
  std::string error;
  if (!AAs) {
    if (!FEditor->Save(i, error)) Report(error);
    return;
  }
  QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Save As"), TEditorTabs::DisplayPath(FEditor->PathOf(i)));
  if (!name.isEmpty() && !FEditor->SaveAs(i, FromQString(name), error)) Report(error);
}

bool THostWindow::ConfirmClose(int AIndex) {
  if (!FEditor->IsModified(AIndex) || !Interactive()) return true;
  auto answer = NewMessageBox(QMessageBox::Question, this,
                              QStringLiteral("Save changes to %1?").arg(TEditorTabs::DisplayPath(FEditor->PathOf(AIndex))),
                              QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel)
                    ->exec();
  if (answer == QMessageBox::Cancel) return false;
  std::string error;
  if (answer == QMessageBox::Save && !FEditor->Save(AIndex, error)) {
    Report(error);
    return false;
  }
  return true;
}

void THostWindow::closeEvent(QCloseEvent* AEvent) {
  for (int i = 0; i < FEditor->count(); ++i)
    if (!ConfirmClose(i)) return AEvent->ignore();
  AEvent->accept();
}

void THostWindow::Find(bool AReplace) {
  int i = FEditor->currentIndex();
  if (i < 0) return;
  QPlainTextEdit* editor = FEditor->EditorOf(i);
  bool ok = false;
  QString text = QInputDialog::getText(this, QStringLiteral("Find"), QStringLiteral("Text to find:"),
                                       QLineEdit::Normal, editor->textCursor().selectedText(), &ok);
  if (!ok || text.isEmpty()) return;
  if (!AReplace) {
    if (!editor->find(text)) statusBar()->showMessage(QStringLiteral("Search string '%1' not found").arg(text));
    return;
  }
  QString with = QInputDialog::getText(this, QStringLiteral("Replace"), QStringLiteral("Replace with:"),
                                       QLineEdit::Normal, QString(), &ok);
  if (!ok) return;
  editor->moveCursor(QTextCursor::Start);
  int count = 0;
  while (editor->find(text)) {
    editor->textCursor().insertText(with);
    ++count;
  }
  statusBar()->showMessage(QStringLiteral("%1 occurrence(s) replaced").arg(count));
}

void THostWindow::ShowInstalledExperts() {
  auto rows = ExpertRows(FExperts ? FExperts() : std::vector<TIExpert*>{});
  QDialog dialog(this);
  dialog.setWindowTitle(QStringLiteral("Installed Experts"));
  auto* table = new QTableWidget(static_cast<int>(rows.size()), static_cast<int>(ExpertColumns().size()), &dialog);
  QStringList headers;
  for (const std::string& c : ExpertColumns()) headers << QString::fromStdString(c);
  table->setHorizontalHeaderLabels(headers);
  for (size_t r = 0; r < rows.size(); ++r)
    for (size_t c = 0; c < rows[r].size(); ++c)
      table->setItem(static_cast<int>(r), static_cast<int>(c), new QTableWidgetItem(QString::fromStdString(rows[r][c])));
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->horizontalHeader()->setStretchLastSection(true);
  table->resizeColumnsToContents();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(table);
  layout->addWidget(buttons);
  dialog.resize(760, 240);
  dialog.exec();
}

bool THostWindow::OpenMenuPath(const std::string& AItemName) {
  THostMenuNode* node = FMenu.Find(AItemName);
  if (!node) return false;
  std::vector<THostMenuNode*> path;  // from the menu bar's menu down
  for (THostMenuNode* n = node; n && n != &FMenu.Root(); n = n->Parent) path.insert(path.begin(), n);
  QPoint at;
  QMenu* parentMenu = nullptr;
  for (THostMenuNode* step : path) {
    QAction* action = FMenuView->ActionOf(*step);
    QMenu* menu = FMenuView->MenuOf(*step);
    if (!action) return false;
    if (parentMenu) parentMenu->setActiveAction(action);
    if (!menu) break;
    at = parentMenu ? parentMenu->mapToGlobal(parentMenu->actionGeometry(action).topRight())
                    : menuBar()->mapToGlobal(menuBar()->actionGeometry(action).bottomLeft());
    if (!parentMenu) menuBar()->setActiveAction(nullptr);
    menu->popup(at);
    QApplication::processEvents();
    parentMenu = menu;
  }
  return true;
}

QImage THostWindow::Screenshot() {
  QApplication::processEvents();
  std::vector<QMenu*> menus;
  QRect area = frameGeometry();
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* menu = qobject_cast<QMenu*>(w); menu && menu->isVisible()) {
      menus.push_back(menu);
      area |= menu->geometry();
    }
  QImage image(area.size(), QImage::Format_ARGB32);
  image.fill(palette().window().color());
  QPainter painter(&image);
  painter.drawPixmap(geometry().topLeft() - area.topLeft(), grab());
  for (QMenu* menu : menus) painter.drawPixmap(menu->geometry().topLeft() - area.topLeft(), menu->grab());
  return image;
}

}  // namespace Vantry
