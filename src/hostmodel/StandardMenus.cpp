#include "hostmodel/StandardMenus.h"

#include <initializer_list>
#include <utility>

namespace Vantry {

namespace {

// The host's items: name, caption ("-": a separator) and short-cut key.
struct TItem {
  const char* Name;
  const char* Caption;
  int ShortCut = 0;
};
using TItems = std::initializer_list<TItem>;

// Short-cut keys as the host interface writes them: a virtual key with
// Shift, Ctrl and Alt bits.
constexpr int Shift = 0x2000, Ctrl = 0x4000, Alt = 0x8000;
constexpr int VkTab = 0x09, VkLeft = 0x25, VkRight = 0x27, VkF3 = 0x72, VkEquals = 0xBB, VkMinus = 0xBD;

void AddMenu(THostMenuModel& AModel, const char* AName, const char* ACaption, TItems AItems) {
  THostMenuNode& menu = AModel.AddItem(AModel.Root(), AName, ACaption);
  for (const TItem& item : AItems) AModel.AddItem(menu, item.Name, item.Caption).ShortCut = item.ShortCut;
}

}  // namespace

// Every caption's accelerator is unique in its menu, and leaves free the
// letters the add-ins' items start with ("Vantry" in the File menu).
void AddStandardMenus(THostMenuModel& AModel) {
  AddMenu(AModel, "FileMenu", "&File",
          {{"FileNewItem", "&New..."},
           {"FileOpenItem", "&Open...", Ctrl | 'O'},
           {"FileReopenItem", "&Reopen"},
           {"FileReopenClosedItem", "Reopen Closed &Tab", Ctrl | Shift | 'T'},
           {"N1", "-"},
           {"FileSaveItem", "&Save", Ctrl | 'S'},
           {"FileSaveAsItem", "Save &As..."},
           {"FileSaveAllItem", "Save A&ll", Ctrl | Shift | 'S'},
           {"FileCloseItem", "&Close", Ctrl | 'W'},
           {"FileCloseAllItem", "Clos&e All"},
           {"N2", "-"},
           {"FileExitItem", "E&xit", Ctrl | 'Q'}});
  AddMenu(AModel, "EditMenu", "&Edit",
          {{"EditUndoItem", "&Undo", Ctrl | 'Z'},
           {"EditRedoItem", "&Redo", Ctrl | Shift | 'Z'},
           {"N3", "-"},
           {"EditCutItem", "Cu&t", Ctrl | 'X'},
           {"EditCopyItem", "&Copy", Ctrl | 'C'},
           {"EditPasteItem", "&Paste", Ctrl | 'V'},
           {"EditSelectAllItem", "Select &All", Ctrl | 'A'}});
  AddMenu(AModel, "SearchMenu", "&Search",
          {{"SearchFindItem", "&Find...", Ctrl | 'F'},
           {"SearchFindNextItem", "Find &Next", VkF3},
           {"SearchFindPreviousItem", "Find Pre&vious", Shift | VkF3},
           {"SearchReplaceItem", "&Replace...", Ctrl | 'H'},
           {"SearchGoToLineItem", "&Go to Line...", Ctrl | 'G'},
           {"N4", "-"},
           {"SearchBackItem", "&Back", Alt | VkLeft},
           {"SearchForwardItem", "For&ward", Alt | VkRight}});
  AddMenu(AModel, "ViewMenu", "&View",
          {{"ViewStatusBarItem", "&Status Bar"},
           {"ViewNextTabItem", "&Next Tab", Ctrl | VkTab},
           {"ViewPreviousTabItem", "&Previous Tab", Ctrl | Shift | VkTab},
           {"N5", "-"},
           {"ViewZoomInItem", "Zoom &In", Ctrl | VkEquals},
           {"ViewZoomOutItem", "Zoom &Out", Ctrl | VkMinus},
           {"ViewZoomResetItem", "&Reset Zoom", Ctrl | '0'}});
  AddMenu(AModel, "ProjectMenu", "&Project", {{"ProjectCompileItem", "&Compile"}});
  AddMenu(AModel, "RunMenu", "&Run", {{"RunRunItem", "&Run"}});
  AddMenu(AModel, "ToolsMenu", "&Tools", {{"ToolsOptionsItem", "Environment &Options..."}});
  AddMenu(AModel, "HelpMenu", "&Help",
          {{"HelpContentsItem", "&Contents"}, {"HelpExpertsItem", "&Installed Experts..."}, {"HelpAboutItem", "&About..."}});
}

}  // namespace Vantry
