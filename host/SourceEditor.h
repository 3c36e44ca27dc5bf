#pragma once
// The editor of one source file: QScintilla with its Pascal lexer, set up for
// reading library sources. Line numbers, the current line, folding by blocks,
// matching brackets and matching begin/end (case/try/record/asm ... end,
// repeat ... until), tabs 8 columns wide unless set otherwise, long lines not
// wrapped. Positions are byte offsets into the text as UTF-8, as the add-ins
// and the index count them.

#include <Qsci/qsciscintilla.h>

#include <string>
#include <utility>
#include <vector>

namespace Vantry {

// What the find bar looks for.
struct TFindQuery {
  QString Text;
  bool MatchCase = false;
  bool WholeWord = false;
  bool RegularExpression = false;
};

class TSourceEditor final : public QsciScintilla {
  Q_OBJECT

public:
  explicit TSourceEditor(QWidget* AParent = nullptr);

  // Replaces the text; undo starts afresh and the text counts as unchanged.
  void SetSourceText(const QString& AText);
  // The text as UTF-8, without a copy of Scintilla's own.
  std::string Utf8Text() const;
  size_t CursorOffset() const;
  // Puts the cursor at a byte offset (made to fall on a character) and, when
  // ACenter, scrolls its line to the middle of the view.
  void SetCursorOffset(size_t AOffset, bool ACenter);
  // The cursor's line and column (both from 1; the column in characters).
  std::pair<int, int> CursorLineColumn() const;
  // Puts the cursor there (clamped to the text) and its line mid-view.
  void GoToLineColumn(int ALine, int AColumn);
  int FirstVisibleLine() const;
  void SetFirstVisibleLine(int ALine);
  // The word at or just before the cursor, else the selection when it is on one line.
  QString WordOrSelection() const;

  // Selects the next match from the cursor on (or before it), wrapping at the
  // end, and scrolls it to the middle of the view; false when there is none.
  bool FindNext(const TFindQuery& AQuery, bool AForward);
  // Marks every match; returns how many there are. An empty query clears the marks.
  int MarkAll(const TFindQuery& AQuery);
  // Replaces the selection when it is a match, then finds the next one.
  bool ReplaceAndFindNext(const TFindQuery& AQuery, const QString& AWith);
  // Replaces every match as one undoable step; returns how many.
  int ReplaceAll(const TFindQuery& AQuery, const QString& AWith);

  // The byte ranges (start, end) the begin/end matcher marks now.
  std::vector<std::pair<size_t, size_t>> BlockMarks() const;
  std::vector<std::pair<size_t, size_t>> FindMarks() const;

private:
  int SearchFlags(const TFindQuery& AQuery) const;
  // The next match within [AFrom, ATo) (backwards when ATo < AFrom), or -1.
  long SearchRange(const QByteArray& APattern, int AFlags, long AFrom, long ATo, long& AEnd);
  void ShowMatch(long AStart, long AEnd);
  void MatchBlockAtCursor();
  std::vector<std::pair<size_t, size_t>> IndicatorRanges(int AIndicator) const;

  // A block's opening and closing words, as byte ranges.
  struct TBlock {
    size_t OpenStart, OpenEnd, CloseStart, CloseEnd;
  };
  std::vector<TBlock> FBlocks;      // of the text at revision FBlocksRevision
  long FRevision = 0;               // counts the changes of the text
  long FBlocksRevision = -1;
  long FBlockMarkedAt = -1;  // the cursor position the block marks were made for
};

}  // namespace Vantry
