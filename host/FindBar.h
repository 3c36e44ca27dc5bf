#pragma once
// The inline find bar below the editor: what to find, with case, whole word
// and regular expression; every match in the file marked; the replacement
// row shown for Replace. It works on whichever editor is current.

#include "SourceEditor.h"

#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace Vantry {

class TFindBar final : public QWidget {
  Q_OBJECT

public:
  // ACurrent gives the editor searched, or null when none is open.
  TFindBar(std::function<TSourceEditor*()> ACurrent, QWidget* AParent = nullptr);

  // Shows the bar (with the replacement row when AReplace) with AText, when
  // given, as the query, and puts the keyboard in the query.
  void Open(bool AReplace, const QString& AText);
  void Close();
  // Finds the next (or previous) match of the query, opening the bar first
  // when it has none; false when nothing matches.
  bool FindNext(bool AForward);

  TFindQuery Query() const;
  void SetQuery(const TFindQuery& AQuery);
  QLineEdit* QueryEdit() const { return FQuery; }
  QLineEdit* ReplacementEdit() const { return FReplacement; }
  // "3 matches", "No matches", ...: what the bar says of the last search.
  QString Status() const;

  void ReplaceNext();
  void ReplaceAll();

signals:
  // A line for the status bar.
  void Message(const QString& AText);

protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  // Marks the matches afresh and finds the first from where the search began.
  void QueryChanged();
  void ShowCount(int ACount);

  std::function<TSourceEditor*()> FCurrent;
  QLineEdit* FQuery;
  QCheckBox* FMatchCase;
  QCheckBox* FWholeWord;
  QCheckBox* FRegularExpression;
  QLabel* FCount;
  QWidget* FReplaceRow;
  QLineEdit* FReplacement;
  QPushButton* FReplaceButton;
  QPushButton* FReplaceAllButton;
};

}  // namespace Vantry
