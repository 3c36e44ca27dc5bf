#pragma once
// The side panel with the outline of the unit being edited (View > Unit
// Outline): its sections, uses clauses, types with their members, routines,
// constants and variables. It reads the editor's text again when it has
// changed, follows the cursor to the item it is in, and a click goes to an
// item's line.

#include "expert/host/ToolIntf.h"
#include "navigation/Outline.h"

#include <QDockWidget>

#include <string>

class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace Vantry {

class TOutlinePanel final : public QDockWidget {
  Q_OBJECT

public:
  // The services must outlive the panel.
  TOutlinePanel(TIToolServices* AServices, QWidget* AParent = nullptr);

  // Reads the editor again (the panel does so itself every 300 ms while shown).
  void Refresh();
  // The items shown, indented two blanks a level: "LINE: KIND NAME".
  QStringList Rows() const;
  // The row the cursor is in; -1 for none.
  int CurrentRow() const;

  QTreeWidget* TVOutline;

private:
  void Rebuild(const std::string& AText, const std::string& APath);
  void Follow(uint32_t ALine);

  TIToolServices* FServices;
  QTimer* FTimer;
  std::string FPath;
  size_t FTextHash = 0;
  std::vector<TOutlineItem> FItems;
  std::vector<QTreeWidgetItem*> FRows;  // one per item
};

}  // namespace Vantry
