#pragma once
// Colours Pascal source: reserved words, comments ({ }, (* *) and //),
// strings and numbers. Comments may span lines.

#include <QSyntaxHighlighter>
#include <QTextCharFormat>

namespace Vantry {

class TPascalHighlighter final : public QSyntaxHighlighter {
public:
  explicit TPascalHighlighter(QTextDocument* ADocument);

protected:
  void highlightBlock(const QString& AText) override;

private:
  // Block states: which comment a line leaves open.
  enum { NoComment = 0, BraceComment = 1, ParenComment = 2 };
  // Colours the comment that starts at AStart (or continues from the
  // previous line) and returns where it ends, or the line's length.
  int Comment(const QString& AText, int AStart, int AKind);

  QTextCharFormat FKeyword, FComment, FString, FNumber, FDirective;
};

}  // namespace Vantry
