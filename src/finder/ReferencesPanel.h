#pragma once
// The panel at the bottom of the IDE's main window that lists the references
// to a declaration, grouped by file, each row the line's text with the name
// marked. The search runs on a thread of its own, so the editor stays
// responsive; the panel shows how far it has got and can cancel it. Enter
// or a double click on a row opens the file there.

#include "finder/FinderForm.h"
#include "navigation/References.h"

#include <QDockWidget>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>

class QCheckBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace Vantry {

// What to search the references of: the name at a place of a text, or a
// declaration of a table (the one the declaration finder showed).
struct TReferenceQuestion {
  std::string Path, Text;
  uint32_t Offset = 0;
  uint32_t Declaration = TDeclarationTable::None;
  std::shared_ptr<const TDeclarationTable> Table;  // Declaration's; null for the index's
  // The editor's unsaved texts by path, read rather than the files on disk.
  std::shared_ptr<const std::map<std::string, std::string>> Unsaved;
};

class TReferencesPanel final : public QDockWidget {
  Q_OBJECT

public:
  explicit TReferencesPanel(TOpenChoice AOpen, QWidget* AParent = nullptr);
  ~TReferencesPanel() override;

  // Starts a search, cancelling the one under way.
  void Search(std::shared_ptr<const TDeclarationTable> ATable, TTarget ATarget, TReferenceQuestion AQuestion);
  void Cancel();
  bool Searching() const { return FWorker.joinable() && !FDone; }
  // The rows shown: a file's as "PATH (N)", a reference's as "LINE:COLUMN: text".
  QStringList Rows() const;

  QLabel* LBStatus;
  QPushButton* BTCancel;
  QCheckBox* CBOverrideUses;
  QTreeWidget* TVResults;

private:
  void Progress(size_t ADone, size_t ATotal);
  void Finished(const TReferenceTarget& ATarget, std::vector<TReference> AFound, bool ACancelled);
  void Open(QTreeWidgetItem* AItem);
  void Stop();

  TOpenChoice FOpen;
  std::thread FWorker;
  std::atomic<bool> FCancel{false};
  std::atomic<bool> FDone{true};
  // The last search, to search again when the override uses are switched.
  std::shared_ptr<const TDeclarationTable> FTable;
  TTarget FTarget;
  TReferenceQuestion FQuestion;
  // The search, used by one worker at a time, for FSearchTable.
  std::shared_ptr<TReferenceSearch> FSearch;
  std::shared_ptr<const TDeclarationTable> FSearchTable;
};

}  // namespace Vantry
