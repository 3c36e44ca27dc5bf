#include "PascalHighlighter.h"

#include <QSet>

namespace Vantry {

namespace {

const QSet<QString>& Keywords() {
  static const QSet<QString> words = {
      "and", "array", "as", "asm", "begin", "case", "class", "const", "constructor", "destructor", "div", "do",
      "downto", "else", "end", "except", "exports", "file", "finalization", "finally", "for", "function", "goto",
      "if", "implementation", "in", "inherited", "initialization", "inline", "interface", "is", "label", "library",
      "mod", "nil", "not", "object", "of", "on", "operator", "or", "out", "packed", "procedure", "program",
      "property", "raise", "record", "repeat", "resourcestring", "set", "shl", "shr", "string", "then", "threadvar",
      "to", "try", "type", "unit", "until", "uses", "var", "while", "with", "xor", "private", "protected", "public",
      "published", "virtual", "override", "abstract", "overload", "reintroduce", "specialize", "generic"};
  return words;
}

bool IsIdentStart(QChar C) { return C.isLetter() || C == '_'; }
bool IsIdentPart(QChar C) { return C.isLetterOrNumber() || C == '_'; }

}  // namespace

TPascalHighlighter::TPascalHighlighter(QTextDocument* ADocument) : QSyntaxHighlighter(ADocument) {
  FKeyword.setFontWeight(QFont::Bold);
  FKeyword.setForeground(QColor(0x00, 0x00, 0x80));
  FComment.setForeground(QColor(0x00, 0x80, 0x00));
  FComment.setFontItalic(true);
  FDirective.setForeground(QColor(0x80, 0x00, 0x80));
  FString.setForeground(QColor(0xA0, 0x00, 0x00));
  FNumber.setForeground(QColor(0x00, 0x60, 0xA0));
}

int TPascalHighlighter::Comment(const QString& AText, int AStart, int AKind) {
  const QString close = AKind == BraceComment ? QStringLiteral("}") : QStringLiteral("*)");
  // A comment opened on this line cannot end inside its own opener: "(*)" is open.
  bool continued = AStart == 0 && previousBlockState() == AKind;
  int searchFrom = continued ? 0 : AStart + (AKind == BraceComment ? 1 : 2);
  int end = AText.indexOf(close, searchFrom);
  bool directive = !continued && (AText.mid(AStart, 2) == "{$" || AText.mid(AStart, 3) == "(*$");
  if (end < 0) {
    setFormat(AStart, AText.size() - AStart, directive ? FDirective : FComment);
    setCurrentBlockState(AKind);
    return AText.size();
  }
  end += close.size();
  setFormat(AStart, end - AStart, directive ? FDirective : FComment);
  return end;
}

void TPascalHighlighter::highlightBlock(const QString& AText) {
  setCurrentBlockState(NoComment);
  int i = 0;
  if (previousBlockState() == BraceComment || previousBlockState() == ParenComment)
    i = Comment(AText, 0, previousBlockState());
  while (i < AText.size()) {
    QChar c = AText[i];
    if (c == '{') {
      i = Comment(AText, i, BraceComment);
    } else if (c == '(' && i + 1 < AText.size() && AText[i + 1] == '*') {
      i = Comment(AText, i, ParenComment);
    } else if (c == '/' && i + 1 < AText.size() && AText[i + 1] == '/') {
      setFormat(i, AText.size() - i, FComment);
      i = AText.size();
    } else if (c == '\'') {
      int end = AText.indexOf('\'', i + 1);
      end = end < 0 ? AText.size() : end + 1;
      setFormat(i, end - i, FString);
      i = end;
    } else if (c.isDigit() || (c == '$' && i + 1 < AText.size() && AText[i + 1].isLetterOrNumber())) {
      int start = i++;
      while (i < AText.size() && (AText[i].isLetterOrNumber() || AText[i] == '.')) ++i;
      setFormat(start, i - start, FNumber);
    } else if (IsIdentStart(c)) {
      int start = i;
      while (i < AText.size() && IsIdentPart(AText[i])) ++i;
      if (Keywords().contains(AText.mid(start, i - start).toLower())) setFormat(start, i - start, FKeyword);
    } else {
      ++i;
    }
  }
}

}  // namespace Vantry
