#pragma once
// The reference IDE's main window: the host menu model shown as the menu
// bar, the source editor, a status bar, and the tool services add-ins use.

#include "EditorTabs.h"
#include "FindBar.h"
#include "NavigationHistory.h"
#include "QtMenuView.h"
#include "Session.h"
#include "expert/host/ExptIntf.h"
#include "hostmodel/HostMenuModel.h"

#include <QMainWindow>

class QLabel;

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace Vantry {

class THostWindow final : public QMainWindow {
  Q_OBJECT

public:
  THostWindow();
  ~THostWindow() override;

  THostMenuModel& Menu() { return FMenu; }
  TQtMenuView& MenuView() { return *FMenuView; }
  TEditorTabs& Editor() { return *FEditor; }
  // The tool services that add-ins get; the window keeps their first reference.
  TIToolServices* ToolServices() const { return FToolServices; }
  // Where Help > Installed Experts... reads the registered experts from.
  void SetExpertSource(std::function<std::vector<TIExpert*>()> ASource) { FExperts = std::move(ASource); }

  // Opens the file in the editor (read-only when ALibrary); a failure shows
  // in the status bar and, interactively, in a message box.
  bool OpenFile(const std::string& APath, bool ALibrary = false);
  // Opens the file at a line and byte column as a jump that Back returns from.
  bool JumpTo(const std::string& APath, int ALine, int AColumn, bool ALibrary);
  // Files below this folder are library sources, opened read-only.
  void SetLibraryFolder(const std::string& AFolder);
  TFindBar& FindBar() { return *FFindBar; }
  // Goes to "LINE" or "LINE:COLUMN" of the current file as a jump; false,
  // with a word in the status bar, for anything else.
  bool GoToLine(const QString& ASpec);
  void GoBack();
  void GoForward();
  // Reopens the tab closed last, where its cursor was.
  bool ReopenClosedTab();
  // The session as it stands, and the session of a last run taken back:
  // geometry, tabs with their places, find query, recent files.
  TSession CurrentSession() const;
  void RestoreSession(const TSession& ASession);
  // Keeps the session in the registry whenever the window closes.
  void KeepSessionOnClose(bool AKeep) { FKeepSession = AKeep; }
  // The status bar's fields: line:column, encoding, read-only or not.
  QString PositionText() const;
  QString EncodingText() const;
  QString AccessText() const;
  // Opens the menus down to the item of that name, as if the user had.
  bool OpenMenuPath(const std::string& AItemName);
  // The window with every open menu drawn where it stands.
  QImage Screenshot();
  // Whether message boxes may be shown (a person at a screen).
  static bool Interactive();
  // Who hears that the mouse rests over the editor's text (an add-in's
  // peek); empty for nobody.
  void SetHoverHandler(TIToolServices::THoverHandler AHandler) { FHoverHandler = std::move(AHandler); }

protected:
  void closeEvent(QCloseEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  void ConnectCommands();
  void OnCommand(const char* AItemName, std::function<void()> ACommand);
  void Report(const std::string& AMessage);
  bool ConfirmClose(int AIndex);
  void SaveCurrent(bool AAs);
  void NewFile();
  void OpenWithDialog();
  void Find(bool AReplace);
  void AskGoToLine();
  void ShowInstalledExperts();
  // Where the current tab's cursor is, for the history.
  std::optional<TPlace> Here() const;
  void GoTo(const TPlace& APlace);
  void UpdateStatus();
  void UpdateReopenMenu();
  void CloseTab(int AIndex);

  THostMenuModel FMenu;
  std::unique_ptr<TQtMenuView> FMenuView;
  TEditorTabs* FEditor;
  TIToolServices* FToolServices;
  std::function<std::vector<TIExpert*>()> FExperts;
  TIToolServices::THoverHandler FHoverHandler;
  TFindBar* FFindBar;
  QLabel* FPathLabel;
  QLabel* FPositionLabel;
  QLabel* FEncodingLabel;
  QLabel* FAccessLabel;
  TNavigationHistory FHistory;
  std::vector<TSessionTab> FClosedTabs;  // the last closed last
  std::vector<std::string> FRecent;      // the latest first
  std::string FLibraryFolder;            // canonical, with a trailing '/'
  bool FKeepSession = false;
};

// The answers of each expert, read through the expert objects: name, author,
// comment, page, style, state, ID string and menu text.
std::vector<std::vector<std::string>> ExpertRows(const std::vector<TIExpert*>& AExperts);
const std::vector<std::string>& ExpertColumns();

}  // namespace Vantry
