#pragma once
// Shows the host's menu model as real Qt menus and keeps them in step with
// it: every node is one QAction, which gets a QMenu of its own while the
// node has children. Choosing an action clicks its node.
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

  QAction* ActionOf(const THostMenuNode& ANode) const;
  // The node's submenu, or null while it has no children.
  QMenu* MenuOf(const THostMenuNode& ANode) const;
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
  };

  void Show(const THostMenuNode& ANode);
  void Apply(const THostMenuNode& ANode, TEntry& AEntry);
  void ApplyBreak(const THostMenuNode& ANode, TEntry& AEntry);
  void Forget(const THostMenuNode& ANode);
  // Where the node's children go: the menu bar for the root, else the
  // node's menu, made now if it has none yet.
  QWidget* ContainerFor(const THostMenuNode& AParent);
  QAction* ActionAfter(const THostMenuNode& ANode) const;

  THostMenuModel& FModel;
  QMenuBar* FMenuBar;
  std::unordered_map<const THostMenuNode*, TEntry> FEntries;
};

// A Delphi short cut (virtual key in the low byte; $2000 Shift, $4000 Ctrl,
// $8000 Alt) as a Qt key sequence; empty for 0 or a key Qt does not know.
QKeySequence ShortCutToKeySequence(int AShortCut);

}  // namespace Vantry
