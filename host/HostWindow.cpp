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
#include <QLabel>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
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
  // What an add-in opens is a library source, and a jump Back returns from.
  bool OpenFile(const std::string& AFileName) override { return FWindow.JumpTo(AFileName, 0, 0, true); }
  std::string GetIdentifierAtCursor() override { return FWindow.Editor().IdentifierAtCursor(); }
  bool OpenFileAt(const std::string& AFileName, int ALine, int AColumn) override {
    return FWindow.JumpTo(AFileName, ALine, AColumn, true);
  }
  bool OpenOwnFileAt(const std::string& AFileName, int ALine, int AColumn) override {
    return FWindow.JumpTo(AFileName, ALine, AColumn, false);
  }
  bool GetEditorText(std::string& AText, size_t& ACursor) override {
    return FWindow.Editor().CurrentText(AText, ACursor);
  }
  std::string GetCurrentFile() override {
    const int index = FWindow.Editor().currentIndex();
    return index < 0 ? std::string() : FWindow.Editor().PathOf(index);
  }
  std::map<std::string, std::string> GetUnsavedTexts() override { return FWindow.Editor().UnsavedTexts(); }
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

THostWindow::THostWindow() : FEditor(new TEditorTabs), FToolServices(new THostToolServices(*this)) {
  setWindowTitle(QStringLiteral("Vantry IDE"));
  AddStandardMenus(FMenu);
  if (THostMenuNode* reopen = FMenu.Find("FileReopenItem"))
    for (int i = 0; i < static_cast<int>(TSession::MostRecent); ++i)
      FMenu.AddItem(*reopen, "FileReopen" + std::to_string(i), "-").Flags.Exclude(mfVisible);
  FMenuView = std::make_unique<TQtMenuView>(FMenu, menuBar());
  FFindBar = new TFindBar([this] { return FEditor->CurrentEditor(); });
  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(FEditor, 1);
  layout->addWidget(FFindBar);
  setCentralWidget(central);
  FPathLabel = new QLabel(QStringLiteral("Ready"));
  FPositionLabel = new QLabel;
  FEncodingLabel = new QLabel;
  FAccessLabel = new QLabel;
  statusBar()->addWidget(FPathLabel, 1);
  FPositionLabel->setMinimumWidth(FPositionLabel->fontMetrics().horizontalAdvance(QStringLiteral("99999:999")));
  FEncodingLabel->setMinimumWidth(FEncodingLabel->fontMetrics().horizontalAdvance(QStringLiteral("UTF-8 with BOM, CRLF")));
  FAccessLabel->setMinimumWidth(FAccessLabel->fontMetrics().horizontalAdvance(QStringLiteral("Read-only  ")));
  FPositionLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  for (QLabel* label : {FPositionLabel, FEncodingLabel, FAccessLabel}) statusBar()->addPermanentWidget(label);
  connect(FFindBar, &TFindBar::Message, this, [this](const QString& AText) { statusBar()->showMessage(AText, 5000); });
  connect(FEditor, &TEditorTabs::CurrentStateChanged, this, &THostWindow::UpdateStatus);
  connect(FEditor, &TEditorTabs::Hovered, this,
          [this](const std::string& APath, const std::string& AText, size_t AOffset, QPoint AGlobal) {
            // The handler is an add-in's: what it raises is shown, never lost in the event loop.
            if (FHoverHandler) CallAddIn([&] { FHoverHandler(APath, AText, AOffset, AGlobal.x(), AGlobal.y()); });
          });
  connect(FEditor, &QTabWidget::tabCloseRequested, this, [this](int AIndex) {
    if (ConfirmClose(AIndex)) CloseTab(AIndex);
  });
  ConnectCommands();
  UpdateReopenMenu();
  UpdateStatus();
  // The mouse's back and forward buttons walk the history anywhere in the window.
  qApp->installEventFilter(this);
  resize(900, 600);
}

THostWindow::~THostWindow() {
  qApp->removeEventFilter(this);
  FMenuView.reset();
  FToolServices->Free();
}

bool THostWindow::Interactive() { return CanShowDialogs(); }

void THostWindow::OnCommand(const char* AItemName, std::function<void()> ACommand) {
  if (THostMenuNode* node = FMenu.Find(AItemName))
    node->OnClick = [command = std::move(ACommand)](TIMenuItemIntf*) { command(); };
}

void THostWindow::ConnectCommands() {
  auto onEditor = [&](const char* AItem, void (QsciScintilla::*AAction)()) {
    OnCommand(AItem, [this, AAction] {
      if (TSourceEditor* e = FEditor->CurrentEditor()) (e->*AAction)();
    });
  };
  OnCommand("FileNewItem", [this] { NewFile(); });
  OnCommand("FileOpenItem", [this] { OpenWithDialog(); });
  OnCommand("FileReopenClosedItem", [this] { ReopenClosedTab(); });
  for (int i = 0; i < static_cast<int>(TSession::MostRecent); ++i)
    OnCommand(("FileReopen" + std::to_string(i)).c_str(), [this, i] {
      if (static_cast<size_t>(i) < FRecent.size()) OpenFile(std::string(FRecent[static_cast<size_t>(i)]));
    });
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
    if (i >= 0 && ConfirmClose(i)) CloseTab(i);
  });
  OnCommand("FileCloseAllItem", [this] {
    for (int i = FEditor->count() - 1; i >= 0; --i) {
      if (!ConfirmClose(i)) return;  // the user cancelled: the rest stay open
      CloseTab(i);
    }
  });
  OnCommand("FileExitItem", [this] { close(); });
  onEditor("EditUndoItem", &QsciScintilla::undo);
  onEditor("EditRedoItem", &QsciScintilla::redo);
  onEditor("EditCutItem", &QsciScintilla::cut);
  onEditor("EditCopyItem", &QsciScintilla::copy);
  onEditor("EditPasteItem", &QsciScintilla::paste);
  OnCommand("EditSelectAllItem", [this] {
    if (TSourceEditor* e = FEditor->CurrentEditor()) e->selectAll();
  });
  OnCommand("SearchFindItem", [this] { Find(false); });
  OnCommand("SearchReplaceItem", [this] { Find(true); });
  OnCommand("SearchFindNextItem", [this] { FFindBar->FindNext(true); });
  OnCommand("SearchFindPreviousItem", [this] { FFindBar->FindNext(false); });
  OnCommand("SearchGoToLineItem", [this] { AskGoToLine(); });
  OnCommand("SearchBackItem", [this] { GoBack(); });
  OnCommand("SearchForwardItem", [this] { GoForward(); });
  auto stepTab = [this](int AStep) {
    if (FEditor->count() > 1) FEditor->setCurrentIndex((FEditor->currentIndex() + AStep + FEditor->count()) % FEditor->count());
    if (TSourceEditor* e = FEditor->CurrentEditor()) e->setFocus();
  };
  OnCommand("ViewNextTabItem", [stepTab] { stepTab(1); });
  OnCommand("ViewPreviousTabItem", [stepTab] { stepTab(-1); });
  onEditor("ViewZoomInItem", &QsciScintilla::zoomIn);
  onEditor("ViewZoomOutItem", &QsciScintilla::zoomOut);
  OnCommand("ViewZoomResetItem", [this] {
    if (TSourceEditor* e = FEditor->CurrentEditor()) e->zoomTo(0);
  });
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

bool THostWindow::OpenFile(const std::string& APath, bool ALibrary) {
  std::string error;
  if (!FEditor->OpenFile(APath, error, ALibrary)) {
    Report(error);
    return false;
  }
  if (FRecent.empty() || FRecent.front() != APath) {
    TSession recent;
    recent.Recent = FRecent;
    recent.AddRecent(APath);
    FRecent = std::move(recent.Recent);
    UpdateReopenMenu();
  }
  return true;
}

bool THostWindow::JumpTo(const std::string& APath, int ALine, int AColumn, bool ALibrary) {
  const std::optional<TPlace> from = Here();
  if (!OpenFile(APath, ALibrary)) return false;
  if (ALine > 0) FEditor->GoTo(ALine, AColumn);
  if (from && Here() != from) FHistory.Record(*from);
  return true;
}

void THostWindow::SetLibraryFolder(const std::string& AFolder) {
  FLibraryFolder = CanonicalPath(AFolder);
  if (!FLibraryFolder.empty() && FLibraryFolder.back() != '/') FLibraryFolder += '/';
  FEditor->SetLibraryTest([this](const std::string& ACanonical) {
    return FLibraryFolder.size() > 1 && ACanonical.compare(0, FLibraryFolder.size(), FLibraryFolder) == 0;
  });
}

std::optional<TPlace> THostWindow::Here() const {
  const TSourceEditor* editor = FEditor->CurrentEditor();
  if (!editor) return std::nullopt;
  return TPlace{FEditor->PathOf(FEditor->currentIndex()), editor->CursorOffset()};
}

void THostWindow::GoTo(const TPlace& APlace) {
  if (!OpenFile(APlace.Path)) return;
  FEditor->CurrentEditor()->SetCursorOffset(APlace.Offset, true);
  FEditor->CurrentEditor()->setFocus();
}

void THostWindow::GoBack() {
  if (const std::optional<TPlace> here = Here())
    if (std::optional<TPlace> place = FHistory.Back(*here)) GoTo(*place);
}

void THostWindow::GoForward() {
  if (const std::optional<TPlace> here = Here())
    if (std::optional<TPlace> place = FHistory.Forward(*here)) GoTo(*place);
}

bool THostWindow::GoToLine(const QString& ASpec) {
  static const QRegularExpression spec(QStringLiteral("^\\s*(\\d{1,9})\\s*(?::\\s*(\\d{1,9})\\s*)?$"));
  const QRegularExpressionMatch match = spec.match(ASpec);
  TSourceEditor* editor = FEditor->CurrentEditor();
  if (!editor) return false;
  if (!match.hasMatch()) {
    statusBar()->showMessage(QStringLiteral("Not a line number: %1 (write LINE or LINE:COLUMN)").arg(ASpec), 5000);
    return false;
  }
  const std::optional<TPlace> from = Here();
  editor->GoToLineColumn(match.captured(1).toInt(), match.captured(2).isEmpty() ? 1 : match.captured(2).toInt());
  editor->setFocus();
  if (from && Here() != from) FHistory.Record(*from);
  return true;
}

void THostWindow::AskGoToLine() {
  TSourceEditor* editor = FEditor->CurrentEditor();
  if (!editor) return;
  const auto [line, column] = editor->CursorLineColumn();
  bool ok = false;
  const QString spec = QInputDialog::getText(
      this, QStringLiteral("Go to Line"),
      QStringLiteral("Line, or line:column (1 to %1):").arg(editor->lines()), QLineEdit::Normal,
      QStringLiteral("%1:%2").arg(line).arg(column), &ok);
  if (ok) GoToLine(spec);
}

void THostWindow::CloseTab(int AIndex) {
  if (const TSourceEditor* editor = FEditor->EditorOf(AIndex)) {
    FClosedTabs.push_back({FEditor->PathOf(AIndex), editor->CursorOffset(), editor->FirstVisibleLine()});
    if (FClosedTabs.size() > 20) FClosedTabs.erase(FClosedTabs.begin());
  }
  FEditor->CloseTab(AIndex);
  UpdateStatus();
}

bool THostWindow::ReopenClosedTab() {
  while (!FClosedTabs.empty()) {
    const TSessionTab tab = FClosedTabs.back();
    FClosedTabs.pop_back();
    if (FEditor->IsFileOpen(tab.Path)) continue;  // opened again meanwhile
    if (!OpenFile(tab.Path)) return false;
    TSourceEditor* editor = FEditor->CurrentEditor();
    editor->SetCursorOffset(tab.Cursor, false);
    editor->SetFirstVisibleLine(tab.FirstLine);
    return true;
  }
  return false;
}

void THostWindow::UpdateReopenMenu() {
  THostMenuNode* reopen = FMenu.Find("FileReopenItem");
  if (!reopen) return;
  for (size_t i = 0; i < reopen->Children.size(); ++i) {
    THostMenuNode& item = *reopen->Children[i];
    if (i < FRecent.size()) {
      // Numbered 1 to 9, then 0, as accelerators; an ampersand of the path is shown as one.
      QString path = TEditorTabs::DisplayPath(FRecent[i]);
      path.replace(u'&', QStringLiteral("&&"));
      item.Caption = QStringLiteral("&%1 %2").arg((i + 1) % 10).arg(path).toStdString();
      item.Flags.Include(mfVisible);
    } else {
      item.Caption = "-";
      item.Flags.Exclude(mfVisible);
    }
    FMenu.NodeChanged(item);
  }
  if (FRecent.empty())
    reopen->Flags.Exclude(mfEnabled);
  else
    reopen->Flags.Include(mfEnabled);
  FMenu.NodeChanged(*reopen);
}

QString THostWindow::PositionText() const {
  const TSourceEditor* editor = FEditor->CurrentEditor();
  if (!editor) return {};
  const auto [line, column] = editor->CursorLineColumn();
  return QStringLiteral("%1:%2").arg(line).arg(column);
}

QString THostWindow::EncodingText() const {
  return FEditor->currentIndex() < 0 ? QString() : FEditor->EncodingOf(FEditor->currentIndex());
}

QString THostWindow::AccessText() const {
  const TSourceEditor* editor = FEditor->CurrentEditor();
  if (!editor) return {};
  return editor->isReadOnly() ? QStringLiteral("Read-only") : QStringLiteral("Writable");
}

void THostWindow::UpdateStatus() {
  const int index = FEditor->currentIndex();
  FPathLabel->setText(index < 0 ? QStringLiteral("Ready") : TEditorTabs::DisplayPath(FEditor->PathOf(index)));
  FPositionLabel->setText(PositionText());
  FEncodingLabel->setText(EncodingText());
  FAccessLabel->setText(AccessText());
  setWindowTitle(index < 0 ? QStringLiteral("Vantry IDE")
                           : QStringLiteral("%1 \u2014 Vantry IDE").arg(FEditor->TitleOf(index)));
}

TSession THostWindow::CurrentSession() const {
  TSession session;
  session.Geometry = saveGeometry();
  for (int i = 0; i < FEditor->count(); ++i)
    session.Tabs.push_back({FEditor->PathOf(i), FEditor->EditorOf(i)->CursorOffset(), FEditor->EditorOf(i)->FirstVisibleLine()});
  session.Current = FEditor->currentIndex();
  session.Find = FFindBar->Query();
  session.Recent = FRecent;
  return session;
}

void THostWindow::RestoreSession(const TSession& ASession) {
  if (!ASession.Geometry.isEmpty()) restoreGeometry(ASession.Geometry);
  FFindBar->SetQuery(ASession.Find);
  FRecent = ASession.Recent;
  UpdateReopenMenu();
  // A file gone since is left out quietly: it was the user's to remove.
  int current = -1;
  for (size_t i = 0; i < ASession.Tabs.size(); ++i) {
    const TSessionTab& tab = ASession.Tabs[i];
    std::string error;
    if (!FEditor->OpenFile(tab.Path, error)) continue;
    TSourceEditor* editor = FEditor->CurrentEditor();
    editor->SetCursorOffset(tab.Cursor, false);
    editor->SetFirstVisibleLine(tab.FirstLine);
    if (static_cast<int>(i) == ASession.Current) current = FEditor->currentIndex();
  }
  if (current >= 0) FEditor->setCurrentIndex(current);
}

bool THostWindow::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AEvent->type() == QEvent::MouseButtonPress) {
    auto* widget = qobject_cast<QWidget*>(AWatched);
    const Qt::MouseButton button = static_cast<QMouseEvent*>(AEvent)->button();
    if (widget && widget->window() == this && (button == Qt::BackButton || button == Qt::ForwardButton)) {
      button == Qt::BackButton ? GoBack() : GoForward();
      return true;
    }
  }
  return QMainWindow::eventFilter(AWatched, AEvent);
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
  if (FKeepSession) {
    std::string error;
    if (!SaveSession(CurrentSession(), error)) std::fprintf(stderr, "vantry-host: %s\n", error.c_str());
  }
  AEvent->accept();
}

void THostWindow::Find(bool AReplace) {
  TSourceEditor* editor = FEditor->CurrentEditor();
  if (!editor) return;
  FFindBar->Open(AReplace, editor->WordOrSelection());
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
