#include "hostmodel/StandardMenus.h"

#include <initializer_list>
#include <utility>

namespace Vantry {

namespace {

using TItems = std::initializer_list<std::pair<const char*, const char*>>;  // name, caption ("-": separator)

void AddMenu(THostMenuModel& AModel, const char* AName, const char* ACaption, TItems AItems) {
  THostMenuNode& menu = AModel.AddItem(AModel.Root(), AName, ACaption);
  for (const auto& [name, caption] : AItems) AModel.AddItem(menu, name, caption);
}

}  // namespace

void AddStandardMenus(THostMenuModel& AModel) {
  AddMenu(AModel, "FileMenu", "&File",
          {{"FileNewItem", "&New..."},
           {"FileOpenItem", "&Open..."},
           {"N1", "-"},
           {"FileSaveItem", "&Save"},
           {"FileSaveAsItem", "Save &As..."},
           {"FileSaveAllItem", "Sa&ve All"},
           {"FileCloseItem", "&Close"},
           {"FileCloseAllItem", "C&lose All"},
           {"N2", "-"},
           {"FileExitItem", "E&xit"}});
  AddMenu(AModel, "EditMenu", "&Edit",
          {{"EditUndoItem", "&Undo"},
           {"N3", "-"},
           {"EditCutItem", "Cu&t"},
           {"EditCopyItem", "&Copy"},
           {"EditPasteItem", "&Paste"},
           {"EditSelectAllItem", "Select &All"}});
  AddMenu(AModel, "SearchMenu", "&Search", {{"SearchFindItem", "&Find..."}, {"SearchReplaceItem", "&Replace..."}});
  AddMenu(AModel, "ViewMenu", "&View", {{"ViewStatusBarItem", "&Status Bar"}});
  AddMenu(AModel, "ProjectMenu", "&Project", {{"ProjectCompileItem", "&Compile"}});
  AddMenu(AModel, "RunMenu", "&Run", {{"RunRunItem", "&Run"}});
  AddMenu(AModel, "ToolsMenu", "&Tools", {{"ToolsOptionsItem", "Environment &Options..."}});
  AddMenu(AModel, "HelpMenu", "&Help",
          {{"HelpContentsItem", "&Contents"}, {"HelpExpertsItem", "Installed Experts..."}, {"HelpAboutItem", "&About..."}});
}

}  // namespace Vantry
