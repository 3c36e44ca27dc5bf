#include "SourceEditor.h"

#include <Qsci/qscilexerpascal.h>

#include <QFontDatabase>

#include <algorithm>
#include <string_view>

namespace Vantry {

namespace {

// Scintilla's indicators this editor draws with (those below 8 are the lexers').
constexpr int BlockIndicator = 8;
constexpr int FindIndicator = 9;
// More marks than this would stall a large file for no reader's gain.
constexpr int MostMarks = 5000;

// The Pascal lexer with the reserved words of Free Pascal's modes and the
// IDE's colours: reserved words bold navy, comments green italic, directives
// purple, strings dark red, numbers blue, all in the system's fixed font.
class TPascalLexer final : public QsciLexerPascal {
public:
  explicit TPascalLexer(QObject* AParent) : QsciLexerPascal(AParent) {
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    setDefaultFont(fixed);
    setFont(fixed);
    setDefaultPaper(Qt::white);
    setPaper(Qt::white);
    setColor(Qt::black);
    QFont bold = fixed;
    bold.setBold(true);
    QFont italic = fixed;
    italic.setItalic(true);
    const QColor comment(0x00, 0x80, 0x00), directive(0x80, 0x00, 0x80), text(0xA0, 0x00, 0x00), number(0x00, 0x60, 0xA0);
    for (int style : {Comment, CommentParenthesis, CommentLine}) setStyle(style, comment, italic);
    for (int style : {PreProcessor, PreProcessorParenthesis}) setStyle(style, directive, fixed);
    for (int style : {SingleQuotedString, Character, UnclosedString}) setStyle(style, text, fixed);
    for (int style : {Number, HexNumber}) setStyle(style, number, fixed);
    setStyle(Keyword, QColor(0x00, 0x00, 0x80), bold);
    setFoldComments(true);
    setFoldPreprocessor(false);
    setFoldCompact(false);
  }

  const char* keywords(int ASet) const override {
    if (ASet != 1) return QsciLexerPascal::keywords(ASet);
    return "absolute abstract and array as asm assembler begin bitpacked case cdecl class const constref "
           "constructor cppdecl cvar default deprecated destructor dispinterface div do downto dynamic else end "
           "except experimental export exports external far file finalization finally for forward function generic "
           "goto helper if implementation in inherited initialization inline interface is label library message mod "
           "nil not object of on operator or otherwise out overload override packed platform private procedure "
           "program property protected public published raise record register reintroduce repeat resourcestring "
           "safecall sealed set shl shr specialize static stdcall strict string then threadvar to try type unit "
           "until uses var virtual while with xor";
  }

private:
  void setStyle(int AStyle, const QColor& AColor, const QFont& AFont) {
    setColor(AColor, AStyle);
    setFont(AFont, AStyle);
  }
};

bool IsIdentifierByte(char C) {
  return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '_';
}

bool SameWord(std::string_view AWord, std::string_view ALowerCase) {
  return AWord.size() == ALowerCase.size() &&
         std::equal(AWord.begin(), AWord.end(), ALowerCase.begin(),
                    [](char A, char B) { return (A >= 'A' && A <= 'Z' ? A + 32 : A) == B; });
}

// One word of the text outside comments, strings and directives.
struct TWord {
  size_t Start, End;
};

// The words of a Pascal text and its one-character symbols ('=' and ';'
// matter to the block matcher), skipping comments, strings and directives.
template <typename TVisit>
void ForEachWord(std::string_view AText, TVisit AVisit) {
  const size_t n = AText.size();
  for (size_t i = 0; i < n;) {
    const char c = AText[i];
    if (c == '{') {
      size_t close = AText.find('}', i + 1);
      i = close == std::string_view::npos ? n : close + 1;
    } else if (c == '(' && i + 1 < n && AText[i + 1] == '*') {
      size_t close = AText.find("*)", i + 2);
      i = close == std::string_view::npos ? n : close + 2;
    } else if (c == '/' && i + 1 < n && AText[i + 1] == '/') {
      size_t close = AText.find('\n', i);
      i = close == std::string_view::npos ? n : close;
    } else if (c == '\'') {
      size_t close = AText.find_first_of("'\n", i + 1);
      i = close == std::string_view::npos ? n : close + 1;
    } else if (IsIdentifierByte(c) || c == '&') {
      size_t end = i + 1;
      while (end < n && IsIdentifierByte(AText[end])) ++end;
      AVisit(TWord{i, end});
      i = end;
    } else if (c == '=' || c == ';') {
      AVisit(TWord{i, i + 1});
      ++i;
    } else {
      ++i;
    }
  }
}

// Pairs each block opener with the word that closes it: begin, try, asm,
// case (not a record's variant part), record, class/object/interface after
// '=' (not a forward declaration) with end; repeat with until. Returns the
// pairs as (opener, closer).
std::vector<std::pair<TWord, TWord>> PairBlocks(std::string_view AText) {
  enum TOpen { oBlock, oRecord, oRepeat };
  struct TOpened {
    TWord Word;
    TOpen Kind;
  };
  std::vector<TOpened> open;
  std::vector<std::pair<TWord, TWord>> pairs;
  std::string_view previous;   // the word or symbol before this one
  bool pendingClass = false;   // a class/object/interface after '=', open unless ';' or 'of' follows
  TWord classWord{};
  ForEachWord(AText, [&](TWord AWord) {
    const std::string_view word = AText.substr(AWord.Start, AWord.End - AWord.Start);
    if (pendingClass) {
      pendingClass = false;
      if (word != ";" && !SameWord(word, "of")) open.push_back({classWord, oRecord});
    }
    auto is = [&](std::string_view ALower) { return SameWord(word, ALower); };
    if (is("begin") || is("try") || is("asm")) {
      open.push_back({AWord, oBlock});
    } else if (is("case")) {
      if (open.empty() || open.back().Kind != oRecord) open.push_back({AWord, oBlock});
    } else if (is("record")) {
      open.push_back({AWord, oRecord});
    } else if ((is("class") || is("object") || is("interface") || is("dispinterface")) &&
               (previous == "=" || SameWord(previous, "packed"))) {
      pendingClass = true;
      classWord = AWord;
    } else if (is("repeat")) {
      open.push_back({AWord, oRepeat});
    } else if (is("end") || is("until")) {
      // until closes a repeat, end anything else; a stray closer (a unit's
      // final end) pairs with nothing.
      if (!open.empty() && (open.back().Kind == oRepeat) == is("until")) {
        pairs.emplace_back(open.back().Word, AWord);
        open.pop_back();
      }
    }
    previous = word;
  });
  return pairs;
}

// Whether a word opens or closes a block the matcher pairs.
bool IsBlockWord(std::string_view AWord) {
  for (std::string_view w : {"begin", "end", "try", "asm", "case", "record", "class", "object", "interface",
                             "dispinterface", "repeat", "until"})
    if (SameWord(AWord, w)) return true;
  return false;
}

}  // namespace

TSourceEditor::TSourceEditor(QWidget* AParent) : QsciScintilla(AParent) {
  setUtf8(true);
  setLexer(new TPascalLexer(this));
  setWrapMode(WrapNone);
  // The horizontal scroll bar spans the longest line drawn so far, not a fixed width.
  SendScintilla(SCI_SETSCROLLWIDTH, 1);
  SendScintilla(SCI_SETSCROLLWIDTHTRACKING, true);
  setTabWidth(8);
  setIndentationsUseTabs(false);
  setCaretLineVisible(true);
  setCaretLineBackgroundColor(QColor(0xEE, 0xF3, 0xFF));
  setMarginType(0, NumberMargin);
  setMarginsFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  setMarginsForegroundColor(QColor(0x80, 0x80, 0x80));
  setFolding(BoxedTreeFoldStyle, 2);
  setBraceMatching(SloppyBraceMatch);
  setMatchedBraceBackgroundColor(QColor(0xFF, 0xE8, 0x9C));
  // Long sources read faster without the lexer's styling reaching far
  // beyond what is shown: Scintilla styles what it draws, as it draws it.
  SendScintilla(SCI_SETIDLESTYLING, SC_IDLESTYLING_NONE);
  SendScintilla(SCI_SETMOUSEDWELLTIME, 500);
  SendScintilla(SCI_INDICSETSTYLE, BlockIndicator, INDIC_STRAIGHTBOX);
  SendScintilla(SCI_INDICSETFORE, BlockIndicator, QColor(0x60, 0x90, 0xE0));
  SendScintilla(SCI_INDICSETALPHA, BlockIndicator, 70);
  SendScintilla(SCI_INDICSETUNDER, BlockIndicator, true);
  SendScintilla(SCI_INDICSETSTYLE, FindIndicator, INDIC_ROUNDBOX);
  SendScintilla(SCI_INDICSETFORE, FindIndicator, QColor(0xF0, 0xA0, 0x00));
  SendScintilla(SCI_INDICSETALPHA, FindIndicator, 90);
  SendScintilla(SCI_INDICSETUNDER, FindIndicator, true);
  connect(this, &QsciScintilla::linesChanged, this, [this] {
    setMarginWidth(0, QString(QString::number(lines()).size() + 1, u'9'));
  });
  connect(this, &QsciScintilla::textChanged, this, [this] {
    ++FRevision;
    FBlockMarkedAt = -1;
  });
  connect(this, &QsciScintilla::cursorPositionChanged, this, [this] { MatchBlockAtCursor(); });
}

void TSourceEditor::SetSourceText(const QString& AText) {
  setText(AText);
  SendScintilla(SCI_EMPTYUNDOBUFFER);
  SendScintilla(SCI_SETSAVEPOINT);
  SendScintilla(SCI_GOTOPOS, 0);
}

std::string TSourceEditor::Utf8Text() const {
  const long length = SendScintilla(SCI_GETLENGTH);
  const char* text = reinterpret_cast<const char*>(SendScintilla(SCI_GETCHARACTERPOINTER));
  return text ? std::string(text, static_cast<size_t>(length)) : std::string();
}

size_t TSourceEditor::CursorOffset() const { return static_cast<size_t>(SendScintilla(SCI_GETCURRENTPOS)); }

void TSourceEditor::SetCursorOffset(size_t AOffset, bool ACenter) {
  long at = static_cast<long>(AOffset);
  const long length = SendScintilla(SCI_GETLENGTH);
  // An offset inside a character moves to the character's start.
  at = at >= length ? length : SendScintilla(SCI_POSITIONBEFORE, SendScintilla(SCI_POSITIONAFTER, at));
  SendScintilla(SCI_ENSUREVISIBLEENFORCEPOLICY, SendScintilla(SCI_LINEFROMPOSITION, at));
  SendScintilla(SCI_GOTOPOS, at);
  if (ACenter) {
    const long line = SendScintilla(SCI_VISIBLEFROMDOCLINE, SendScintilla(SCI_LINEFROMPOSITION, at));
    SendScintilla(SCI_SETFIRSTVISIBLELINE, std::max(0L, line - SendScintilla(SCI_LINESONSCREEN) / 2));
  }
}

std::pair<int, int> TSourceEditor::CursorLineColumn() const {
  const long at = SendScintilla(SCI_GETCURRENTPOS);
  const long line = SendScintilla(SCI_LINEFROMPOSITION, at);
  const long column = SendScintilla(SCI_COUNTCHARACTERS, SendScintilla(SCI_POSITIONFROMLINE, line), at);
  return {static_cast<int>(line) + 1, static_cast<int>(column) + 1};
}

void TSourceEditor::GoToLineColumn(int ALine, int AColumn) {
  const long line = std::clamp<long>(ALine, 1, SendScintilla(SCI_GETLINECOUNT)) - 1;
  const long start = SendScintilla(SCI_POSITIONFROMLINE, line);
  const long end = SendScintilla(SCI_GETLINEENDPOSITION, line);
  long at = start;
  if (AColumn > 1) {
    at = SendScintilla(SCI_POSITIONRELATIVE, start, AColumn - 1);
    if (at <= start || at > end) at = end;  // beyond the line (or the text) is its end
  }
  SetCursorOffset(static_cast<size_t>(at), true);
}

int TSourceEditor::FirstVisibleLine() const {
  return static_cast<int>(SendScintilla(SCI_DOCLINEFROMVISIBLE, SendScintilla(SCI_GETFIRSTVISIBLELINE)));
}

void TSourceEditor::SetFirstVisibleLine(int ALine) {
  SendScintilla(SCI_SETFIRSTVISIBLELINE, SendScintilla(SCI_VISIBLEFROMDOCLINE, std::max(ALine, 0)));
}

QString TSourceEditor::WordOrSelection() const {
  if (hasSelectedText()) {
    const QString selected = selectedText();
    return selected.contains(u'\n') ? QString() : selected;
  }
  const long at = SendScintilla(SCI_GETCURRENTPOS);
  const long start = SendScintilla(SCI_WORDSTARTPOSITION, at, true);
  const long end = SendScintilla(SCI_WORDENDPOSITION, at, true);
  const std::string text = Utf8Text();
  return QString::fromUtf8(text.data() + start, end - start);
}

int TSourceEditor::SearchFlags(const TFindQuery& AQuery) const {
  int flags = 0;
  if (AQuery.MatchCase) flags |= SCFIND_MATCHCASE;
  if (AQuery.WholeWord) flags |= SCFIND_WHOLEWORD;
  if (AQuery.RegularExpression) flags |= SCFIND_REGEXP | SCFIND_CXX11REGEX;
  return flags;
}

long TSourceEditor::SearchRange(const QByteArray& APattern, int AFlags, long AFrom, long ATo, long& AEnd) {
  SendScintilla(SCI_SETSEARCHFLAGS, AFlags);
  SendScintilla(SCI_SETTARGETRANGE, AFrom, ATo);
  const long found = SendScintilla(SCI_SEARCHINTARGET, APattern.size(), APattern.constData());
  AEnd = found < 0 ? -1 : SendScintilla(SCI_GETTARGETEND);
  return found;
}

void TSourceEditor::ShowMatch(long AStart, long AEnd) {
  SendScintilla(SCI_ENSUREVISIBLEENFORCEPOLICY, SendScintilla(SCI_LINEFROMPOSITION, AStart));
  SendScintilla(SCI_SETSEL, AStart, AEnd);
  const long line = SendScintilla(SCI_VISIBLEFROMDOCLINE, SendScintilla(SCI_LINEFROMPOSITION, AStart));
  SendScintilla(SCI_SETFIRSTVISIBLELINE, std::max(0L, line - SendScintilla(SCI_LINESONSCREEN) / 2));
}

bool TSourceEditor::FindNext(const TFindQuery& AQuery, bool AForward) {
  if (AQuery.Text.isEmpty()) return false;
  const QByteArray pattern = AQuery.Text.toUtf8();
  const int flags = SearchFlags(AQuery);
  const long length = SendScintilla(SCI_GETLENGTH);
  long end = -1, found;
  if (AForward) {
    const long from = SendScintilla(SCI_GETSELECTIONEND);
    found = SearchRange(pattern, flags, from, length, end);
    // An empty match at the cursor would be found again and again.
    if (found >= 0 && end == from && found == from) found = SearchRange(pattern, flags, from + 1, length, end);
    if (found < 0) found = SearchRange(pattern, flags, 0, length, end);
  } else {
    const long from = SendScintilla(SCI_GETSELECTIONSTART);
    found = SearchRange(pattern, flags, from, 0, end);
    if (found < 0) found = SearchRange(pattern, flags, length, 0, end);
  }
  if (found < 0) return false;
  ShowMatch(found, end);
  return true;
}

int TSourceEditor::MarkAll(const TFindQuery& AQuery) {
  const long length = SendScintilla(SCI_GETLENGTH);
  SendScintilla(SCI_SETINDICATORCURRENT, FindIndicator);
  SendScintilla(SCI_INDICATORCLEARRANGE, 0, length);
  if (AQuery.Text.isEmpty()) return 0;
  const QByteArray pattern = AQuery.Text.toUtf8();
  const int flags = SearchFlags(AQuery);
  int count = 0;
  for (long from = 0, end; from <= length && count <= MostMarks;) {
    const long found = SearchRange(pattern, flags, from, length, end);
    if (found < 0) break;
    ++count;
    SendScintilla(SCI_SETINDICATORCURRENT, FindIndicator);
    SendScintilla(SCI_INDICATORFILLRANGE, found, end - found);
    from = end > found ? end : found + 1;
  }
  return count > MostMarks ? -1 : count;
}

bool TSourceEditor::ReplaceAndFindNext(const TFindQuery& AQuery, const QString& AWith) {
  if (isReadOnly() || AQuery.Text.isEmpty()) return false;
  const long start = SendScintilla(SCI_GETSELECTIONSTART), selectionEnd = SendScintilla(SCI_GETSELECTIONEND);
  long end;
  const QByteArray with = AWith.toUtf8();
  if (start != selectionEnd &&
      SearchRange(AQuery.Text.toUtf8(), SearchFlags(AQuery), start, selectionEnd, end) == start && end == selectionEnd) {
    SendScintilla(SCI_SETTARGETRANGE, start, end);
    const long written = SendScintilla(AQuery.RegularExpression ? SCI_REPLACETARGETRE : SCI_REPLACETARGET, with.size(),
                                       with.constData());
    SendScintilla(SCI_SETSEL, start + written, start + written);
  }
  return FindNext(AQuery, true);
}

int TSourceEditor::ReplaceAll(const TFindQuery& AQuery, const QString& AWith) {
  if (isReadOnly() || AQuery.Text.isEmpty()) return 0;
  const QByteArray pattern = AQuery.Text.toUtf8(), with = AWith.toUtf8();
  const int flags = SearchFlags(AQuery);
  int count = 0;
  SendScintilla(SCI_BEGINUNDOACTION);
  for (long from = 0, end;;) {
    const long found = SearchRange(pattern, flags, from, SendScintilla(SCI_GETLENGTH), end);
    if (found < 0) break;
    const long written = SendScintilla(AQuery.RegularExpression ? SCI_REPLACETARGETRE : SCI_REPLACETARGET,
                                       with.size(), with.constData());
    ++count;
    from = found + written + (end == found ? 1 : 0);  // past an empty match, or it repeats
    if (from > SendScintilla(SCI_GETLENGTH)) break;
  }
  SendScintilla(SCI_ENDUNDOACTION);
  return count;
}

void TSourceEditor::MatchBlockAtCursor() {
  const long at = SendScintilla(SCI_GETCURRENTPOS);
  if (at == FBlockMarkedAt) return;
  FBlockMarkedAt = at;
  const long length = SendScintilla(SCI_GETLENGTH);
  SendScintilla(SCI_SETINDICATORCURRENT, BlockIndicator);
  SendScintilla(SCI_INDICATORCLEARRANGE, 0, length);
  const std::string_view text(reinterpret_cast<const char*>(SendScintilla(SCI_GETCHARACTERPOINTER)),
                              static_cast<size_t>(length));
  // The word the cursor is in or just after.
  size_t start = static_cast<size_t>(at), end = start;
  while (start > 0 && IsIdentifierByte(text[start - 1])) --start;
  while (end < text.size() && IsIdentifierByte(text[end])) ++end;
  if (start == end || !IsBlockWord(text.substr(start, end - start))) return;
  // The pairs are worked out once per change of the text; a reserved word
  // in a comment or string is in none of them.
  if (FBlocksRevision != FRevision) {
    FBlocks.clear();
    for (const auto& [opener, closer] : PairBlocks(text))
      FBlocks.push_back({opener.Start, opener.End, closer.Start, closer.End});
    FBlocksRevision = FRevision;
  }
  for (const TBlock& b : FBlocks) {
    if (b.OpenStart != start && b.CloseStart != start) continue;
    SendScintilla(SCI_INDICATORFILLRANGE, static_cast<long>(b.OpenStart), static_cast<long>(b.OpenEnd - b.OpenStart));
    SendScintilla(SCI_INDICATORFILLRANGE, static_cast<long>(b.CloseStart), static_cast<long>(b.CloseEnd - b.CloseStart));
    return;
  }
}

std::vector<std::pair<size_t, size_t>> TSourceEditor::IndicatorRanges(int AIndicator) const {
  std::vector<std::pair<size_t, size_t>> ranges;
  const long length = SendScintilla(SCI_GETLENGTH);
  for (long at = 0; at < length;) {
    const long end = SendScintilla(SCI_INDICATOREND, AIndicator, at);
    if (SendScintilla(SCI_INDICATORVALUEAT, AIndicator, at)) ranges.emplace_back(at, end);
    if (end <= at) break;
    at = end;
  }
  return ranges;
}

std::vector<std::pair<size_t, size_t>> TSourceEditor::BlockMarks() const { return IndicatorRanges(BlockIndicator); }
std::vector<std::pair<size_t, size_t>> TSourceEditor::FindMarks() const { return IndicatorRanges(FindIndicator); }

}  // namespace Vantry
