#pragma once
// The "Find Library Unit" dialog: a search box over the library index and
// the ranked files below it, each shown with its name (the matched letters
// marked) and its folder relative to the source folder. Enter or a double
// click opens the chosen file; Escape closes the dialog.
//
// While the index is being walked the dialog looks at it every 50 ms and
// ranks again, so what is typed early shows what is found so far.

#include "finder/UnitRanking.h"

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QListView;
class QTimer;

namespace Vantry {

class TFinderResults;

class TFinderForm final : public QDialog {
  Q_OBJECT

public:
  // AOpen is called with a file's full path when the user chooses it. The
  // index must outlive the form.
  TFinderForm(TLibraryIndex& AIndex, std::function<void(const std::string&)> AOpen, QWidget* AParent = nullptr);
  ~TFinderForm() override;

  // Types AText into the search box, all of it selected.
  void SetQuery(const QString& AText);
  // The rows shown, as "name  folder", best first.
  QStringList Rows() const;
  int SelectedRow() const;

  QLineEdit* EDSearch;
  QListView* LVResults;
  QLabel* LBStatus;

protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;
  void showEvent(QShowEvent* AEvent) override;

private:
  void EDSearchTextChanged();
  void PollTimerTimer();
  void OpenSelected();
  // Ranks again for the search box's text; keeps the chosen file chosen if
  // it is still among the results.
  void Rank(bool AKeepSelection);
  void ShowStatus();

  TLibraryIndex& FIndex;
  std::function<void(const std::string&)> FOpen;
  TUnitSearch FSearch;
  TFinderResults* FResults;
  QTimer* FPollTimer;
  uint64_t FRankedGeneration = 0;
  size_t FRankedFiles = 0;
  bool FUserChose = false;  // the user moved through the results since typing
};

// A file name or folder, bytes as the file system has them, for display:
// UTF-8 decoded, every byte that is not part of valid UTF-8 shown as U+FFFD.
// AMarks (byte offsets) become the marked characters in ACharMarks.
QString DisplayText(std::string_view ABytes, const std::vector<uint16_t>& AMarks, std::vector<bool>& ACharMarks);

}  // namespace Vantry
