#pragma once
// The reference IDE's main window: the host menu model shown as the menu
// bar, the source editor, a status bar, and the tool services add-ins use.

#include "EditorTabs.h"
#include "QtMenuView.h"
#include "expert/host/ExptIntf.h"
#include "hostmodel/HostMenuModel.h"

#include <QMainWindow>

#include <functional>
#include <memory>
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

  // Opens the file in the editor; a failure shows in the status bar and,
  // interactively, in a message box.
  bool OpenFile(const std::string& APath);
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

private:
  void ConnectCommands();
  void OnCommand(const char* AItemName, std::function<void()> ACommand);
  void Report(const std::string& AMessage);
  bool ConfirmClose(int AIndex);
  void SaveCurrent(bool AAs);
  void NewFile();
  void OpenWithDialog();
  void Find(bool AReplace);
  void ShowInstalledExperts();

  THostMenuModel FMenu;
  std::unique_ptr<TQtMenuView> FMenuView;
  TEditorTabs* FEditor;
  TIToolServices* FToolServices;
  std::function<std::vector<TIExpert*>()> FExperts;
  TIToolServices::THoverHandler FHoverHandler;
};

// The answers of each expert, read through the expert objects: name, author,
// comment, page, style, state, ID string and menu text.
std::vector<std::vector<std::string>> ExpertRows(const std::vector<TIExpert*>& AExperts);
const std::vector<std::string>& ExpertColumns();

}  // namespace Vantry
