#pragma once
// Shows the host's menu model as real Qt menus and keeps them in step with
// it: every node shown is one QAction, which gets a QMenu of its own while
// the node has children. Choosing an action clicks its node.
//
// A submenu's actions are made when it is first about to show, not before:
// an add-in may put hundreds of thousands of items into the model, and Qt
// would spend seconds and hundreds of megabytes on actions nobody opens.
// From then on every change (insert, withdraw, caption, flags) is followed.
//
// Qt menus have no columns: an item that starts a new column (break or bar
// break) is shown after a separator instead.

#include "hostmodel/HostMenuModel.h"

#include <QKeySequence>

#include <map>
#include <unordered_map>

class QAction;
class QActionGroup;
class QMenu;
class QMenuBar;
class QWidget;

namespace Vantry {

class TQtMenuView final : public THostMenuObserver {
public:
  // Shows what the model holds now and follows it from then on.
  TQtMenuView(THostMenuModel& AModel, QMenuBar* AMenuBar);
  ~TQtMenuView();
  TQtMenuView(const TQtMenuView&) = delete;
  TQtMenuView& operator=(const TQtMenuView&) = delete;

  // The node's action, or null while the menu that holds it has not been
  // shown yet.
  QAction* ActionOf(const THostMenuNode& ANode) const;
  // The node's submenu, or null while it has no children (or no action).
  QMenu* MenuOf(const THostMenuNode& ANode) const;
  // Makes the actions of the node's children now, as showing its submenu
  // does; true when they are there (the node itself must have its action).
  bool ShowChildren(const THostMenuNode& ANode);
  // The separator shown in place of a column break, or null.
  QAction* BreakOf(const THostMenuNode& ANode) const;

  void ItemInserted(const THostMenuNode& ANode) override;
  void ItemRemoving(const THostMenuNode& ANode) override;
  void ItemChanged(const THostMenuNode& ANode) override;

private:
  struct TEntry {
    QAction* Action = nullptr;
    QMenu* Menu = nullptr;
    QAction* Break = nullptr;
    std::map<int, QActionGroup*> RadioGroups;  // by group index, for the node's children
    bool ChildrenShown = false;                // whether the children have their actions
  };

  // Makes the actions of the items below ANode that have short cuts.
  void ShowShortCuts(const THostMenuNode& ANode);
  // Underlines a free letter of each item of the menu that has no accelerator.
  void GiveAccelerators(const THostMenuNode& AMenu);
  // Makes the node's action (and its submenu, left empty until shown).
  void AddAction(const THostMenuNode& ANode);
  // Makes the actions of every menu on the way to the node, and so its own:
  // a short cut works through its action, opened menu or not.
  void ShowPathTo(const THostMenuNode& ANode);
  void Apply(const THostMenuNode& ANode, TEntry& AEntry);
  void ApplyBreak(const THostMenuNode& ANode, TEntry& AEntry);
  void Forget(const THostMenuNode& ANode);
  // Where the node's children go: the menu bar for the root, else the
  // node's menu, made now if it has none yet.
  QWidget* ContainerFor(const THostMenuNode& AParent);
  void MakeMenu(const THostMenuNode& ANode, TEntry& AEntry);
  QAction* ActionAfter(const THostMenuNode& ANode) const;

  THostMenuModel& FModel;
  QMenuBar* FMenuBar;
  std::unordered_map<const THostMenuNode*, TEntry> FEntries;
};

// A Delphi short cut (virtual key in the low byte; $2000 Shift, $4000 Ctrl,
// $8000 Alt) as a Qt key sequence; empty for 0 or a key Qt does not know.
QKeySequence ShortCutToKeySequence(int AShortCut);

}  // namespace Vantry
