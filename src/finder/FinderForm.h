#pragma once
// The library finder's dialog: a search box over the library index and the
// ranked results below it. In its units mode ("Find Library Unit") each
// file is shown with its name (the matched letters marked) and its folder
// relative to the source folder; in its declarations mode ("Find Library
// Declaration") each declaration with its kind, its name (with its owner's:
// "TStringList.Sort") and the rest of its heading, and its file and line.
// Enter or a double click opens the chosen file (at the declaration);
// Escape closes the dialog.
//
// While the index is being built the dialog looks at it every 50 ms and
// ranks again, so what is typed early shows what is found so far.

#include "index/DeclarationRanking.h"
#include "index/UnitRanking.h"
#include "index/Workspace.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QListView;
class QTimer;

namespace Vantry {

class TFinderResults;

enum TFinderMode { fmUnits, fmDeclarations };

// Opens a chosen file: at ALine and AColumn (from 1; the column in bytes)
// for a declaration, ALine 0 for a unit.
using TOpenChoice = std::function<void(const std::string& APath, int ALine, int AColumn)>;

class TFinderForm final : public QDialog {
  Q_OBJECT

public:
  // The index must outlive the form.
  TFinderForm(TWorkspace& AIndex, TOpenChoice AOpen, QWidget* AParent = nullptr);
  ~TFinderForm() override;

  // Switches between units and declarations; each mode keeps its own query.
  void SetMode(TFinderMode AMode);
  TFinderMode Mode() const { return FMode; }
  // The units whose declarations win ties (those the edited source uses).
  void SetPreferredUnits(const std::vector<std::string>& AUnits);
  // Types AText into the search box, all of it selected.
  void SetQuery(const QString& AText);
  // Marks the results as a search by name, for the reason given (shown
  // above the status until the finder closes).
  void SetSearchNote(const QString& ANote);
  // The rows shown, best first: "name  folder" for units, "kind
  // name+heading  path:line" for declarations ("function
  // IntToStr(Value: Longint): string  rtl/...:115"; a body's heading
  // followed by "  [definition]").
  QStringList Rows() const;
  int SelectedRow() const;

  // Who searches the references of a declaration chosen with
  // Shift+Ctrl+Enter (the declarations mode).
  using TFindReferences = std::function<void(std::shared_ptr<const TDeclarationTable> ATable, uint32_t ADeclaration)>;
  void SetFindReferences(TFindReferences AFind) { FFindReferences = std::move(AFind); }
  // The chosen row's declaration, and the table it is one of; None (and
  // null) in the units mode or with no row.
  uint32_t SelectedDeclaration() const;
  std::shared_ptr<const TDeclarationTable> SelectedTable() const;

  QLineEdit* EDSearch;
  QListView* LVResults;
  QLabel* LBPeek;  // the chosen declaration's peek (the declarations mode)
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
  void ShowPeek();

  // Whether what the index holds now differs from what was ranked.
  bool IndexMoved() const;
  void ShowModeTexts();
  QString UnitStatus(const QString& ARoot) const;
  QString DeclarationStatus(const QString& ARoot) const;

  TWorkspace& FIndex;
  QString FSearchNote;  // why the results are a search by name, until the finder closes
  TOpenChoice FOpen;
  TFinderMode FMode = fmUnits;
  QString FOtherQuery;  // the other mode's query, kept while this one shows
  TUnitSearch FSearch;
  TDeclarationSearch FDeclarationSearch;
  TFinderResults* FResults;
  QTimer* FPollTimer;
  uint64_t FRankedGeneration = 0;
  size_t FRankedFiles = 0;
  uint64_t FRankedDeclarations = 0;  // the declaration generation ranked
  bool FUserChose = false;  // the user moved through the results since typing
  TFindReferences FFindReferences;
  uint32_t FPeeked = UINT32_MAX;  // the declaration LBPeek shows
};

// A file name or folder, bytes as the file system has them, for display:
// UTF-8 decoded, every byte that is not part of valid UTF-8 shown as U+FFFD.
// AMarks (byte offsets) become the marked characters in ACharMarks.
QString DisplayText(std::string_view ABytes, const std::vector<uint16_t>& AMarks, std::vector<bool>& ACharMarks);

}  // namespace Vantry
