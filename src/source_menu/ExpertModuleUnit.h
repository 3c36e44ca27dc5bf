#pragma once
// The product: the expert module that mirrors the source directory as a menu
// tree under "Vantry" in the host's File menu and opens the chosen file, and
// the stored choice of that directory.

#include "expert/Etk.h"
#include "menus/ecMenus.h"
#include "source_menu/Settings.h"
#include "source_menu/ZebFiles.h"

#include <set>
#include <string>
#include <vector>

namespace Vantry {

class TVantryExpertModule : public TEtkModule {
  VANTRY_CLASS(TVantryExpertModule)

public:
  explicit TVantryExpertModule(TComponent* AOwner) : TEtkModule(AOwner) {}

  TecInterfaceMenuItem* IMIVantry = nullptr;             // the top item, "Vantry"
  TecInterfaceMenuItem* IMIConfiguration = nullptr;      // "Options..."
  TecInterfaceMenuItem* ecInterfaceMenuItem1 = nullptr;  // the separator below it

  // OnCreate: builds the whole tree, once.
  void ExpertModuleCreate(TObject* Sender);
  // OnDestroy: frees the tree items, last created first, and both lists.
  void ExpertModuleDestroy(TObject* Sender);
  // The Options command.
  void IMIConfigurationClick(TObject* Sender);
  // A file item's click: opens its file unless the editor has it open.
  void IMIOpenSourceFileClick(TObject* Sender);

private:
  // Mirrors ADir under AParent; true when it holds a *.pas file at any depth.
  // AHolder is the listing of the folder that holds ADir (null for the
  // source directory itself).
  bool BuildDirectoryMenu(const std::string& ADir, TecInterfaceMenuItem* AParent, const TDirectoryListing* AHolder);
  // A new item for the end of AParent's menu (whose item name is
  // AParentName), named AParentName + AKind + AIndex; the module owns it.
  TecInterfaceMenuItem* NewChild(TecInterfaceMenuItem* AParent, const std::string& AParentName,
                                 const std::string& ACaption, const char* AKind, int AIndex);

  // Every item the builder created, in creation order (each directory
  // before its descendants). The module is their owner too.
  std::vector<TecInterfaceMenuItem*> FMenuItems;
  // The full path of every file item; a file item's Tag indexes it.
  TStringList FFilePaths;
  // While building: the real directories walked so far, and the source
  // directory's real path.
  TTreeRules FWalk;  // the build's walk of the source tree
};

}  // namespace Vantry
