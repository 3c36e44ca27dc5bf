#include "navigation/Peek.h"

#include "index/DeclarationBuild.h"
#include "index/DeclarationScanner.h"
#include "navigation/SourceModel.h"
#include "platform/SysUtils.h"

#include <algorithm>

namespace Vantry {

namespace {

constexpr uint32_t MostHeadingLines = 12;

std::string_view Trimmed(std::string_view ALine) {
  const size_t begin = ALine.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return ALine.substr(begin, ALine.find_last_not_of(" \t\r") + 1 - begin);
}

class TLines {
public:
  explicit TLines(std::string_view AText) : FText(AText) {
    FStarts.push_back(0);
    for (size_t i = 0; i < AText.size(); ++i)
      if (AText[i] == '\n' || (AText[i] == '\r' && (i + 1 >= AText.size() || AText[i + 1] != '\n'))) FStarts.push_back(i + 1);
  }
  uint32_t Count() const { return static_cast<uint32_t>(FStarts.size()); }
  // Line ALine (from 1), without its end.
  std::string_view Line(uint32_t ALine) const {
    if (ALine == 0 || ALine > Count()) return {};
    const size_t begin = FStarts[ALine - 1];
    size_t end = ALine < Count() ? FStarts[ALine] : FText.size();
    while (end > begin && (FText[end - 1] == '\n' || FText[end - 1] == '\r')) --end;
    return FText.substr(begin, end - begin);
  }

  // The line (from 1) that holds byte AOffset.
  uint32_t LineOf(size_t AOffset) const {
    return static_cast<uint32_t>(std::upper_bound(FStarts.begin(), FStarts.end(), AOffset) - FStarts.begin());
  }

private:
  std::string_view FText;
  std::vector<size_t> FStarts;
};

bool IsTypeKind(std::string_view AKind) {
  for (const char* word : {"class", "object", "record", "interface", "helper", "enum", "set", "pointer",
                           "procedure type", "array", "class reference", "type"})
    if (AKind == word) return true;
  return false;
}
// A routine's kind; "procedure type" is a type's.
bool IsRoutineKind(std::string_view AKind) {
  if (IsTypeKind(AKind)) return false;
  for (const char* word : {"procedure", "function", "constructor", "destructor", "operator"})
    if (AKind.find(word) != std::string_view::npos) return true;
  return false;
}

// The lines of a text from line AFirst on, at most ACount of them: a
// declaration's heading is read from these alone, not from the whole text
// (a finder's row reads a heading for each declaration it shows).
struct TLineWindow {
  std::string_view Text;  // the lines, with their line ends
  size_t Begin = 0;       // where they start in the whole text
};
TLineWindow LinesFrom(std::string_view AText, uint32_t AFirst, uint32_t ACount) {
  size_t at = 0;
  // A lone CR ends a line as a LF or CR LF does.
  auto pastLineEnd = [&](size_t I) {
    while (I < AText.size() && AText[I] != '\n' && AText[I] != '\r') ++I;
    if (I < AText.size() && AText[I++] == '\r' && I < AText.size() && AText[I] == '\n') ++I;
    return I;
  };
  for (uint32_t line = 1; line < AFirst && at < AText.size(); ++line) at = pastLineEnd(at);
  size_t end = at;
  for (uint32_t n = 0; n < ACount && end < AText.size(); ++n) end = pastLineEnd(end);
  return {AText.substr(at, end - at), at};
}

// The last line (from 1 in AWindow) of the declaration whose name stands at
// ANameOffset of AWindow: the line of its ';' (outside brackets), and for a
// routine the lines of the directives that follow it ("overload;
// virtual;").
uint32_t LastLine(const TLines& ALines, std::string_view AWindow, uint32_t ANameOffset, bool ARoutine) {
  const std::vector<TPascalToken> tokens = Tokenize(AWindow);
  auto at = std::lower_bound(tokens.begin(), tokens.end(), ANameOffset, [](const TPascalToken& T, uint32_t O) { return T.Offset < O; });
  uint32_t end = ANameOffset;
  for (int depth = 0; at != tokens.end(); ++at) {
    end = at->Offset;
    if (at->Kind != TPascalToken::tkSymbol) continue;
    if (at->Symbol == '(' || at->Symbol == '[') ++depth;
    else if (at->Symbol == ')' || at->Symbol == ']') --depth;
    else if (at->Symbol == ';' && depth <= 0) break;
  }
  if (ARoutine && at != tokens.end()) {
    for (auto next = at + 1; next != tokens.end() && next->Kind == TPascalToken::tkName; ) {
      if (!IsRoutineDirective(AWindow.substr(next->Offset, next->Length))) break;
      while (next != tokens.end() && !(next->Kind == TPascalToken::tkSymbol && next->Symbol == ';')) ++next;
      if (next == tokens.end()) break;
      end = next->Offset;
      ++next;
    }
  }
  return ALines.LineOf(end);
}

// The comment right above line ALine: // lines, or a { } or (* *) block
// that ends on the line above.
std::string CommentAbove(const TLines& ALines, uint32_t ALine) {
  std::vector<std::string> lines;
  uint32_t at = ALine - 1;
  const std::string_view above = Trimmed(ALines.Line(at));
  if (above.substr(0, 2) == "//") {
    for (; at > 0 && Trimmed(ALines.Line(at)).substr(0, 2) == "//"; --at)
      lines.insert(lines.begin(), std::string(Trimmed(Trimmed(ALines.Line(at)).substr(2))));
  } else if (!above.empty() && (above.back() == '}' || (above.size() > 1 && above.substr(above.size() - 2) == "*)")) &&
             above.substr(0, 2) != "{$") {
    const bool brace = above.back() == '}';
    for (uint32_t steps = 0; at > 0 && steps < 40; --at, ++steps) {
      std::string_view line = Trimmed(ALines.Line(at));
      const size_t open = brace ? line.find('{') : line.find("(*");
      if (open != std::string_view::npos) line = line.substr(open + (brace ? 1 : 2));
      if (line.size() && line.back() == '}') line.remove_suffix(1);
      else if (line.size() > 1 && line.substr(line.size() - 2) == "*)") line.remove_suffix(2);
      lines.insert(lines.begin(), std::string(Trimmed(line)));
      if (open != std::string_view::npos) break;
    }
  }
  std::string comment;
  for (const std::string& line : lines) comment += (comment.empty() ? "" : "\n") + line;
  return std::string(Trimmed(comment));
}

}  // namespace

std::string HeadingAt(std::string_view AText, uint32_t ALine, uint32_t AColumn, std::string_view AKind) {
  // The heading's lines, and a few more for the directives after them.
  const TLineWindow window = LinesFrom(AText, ALine, MostHeadingLines + 4);
  const TLines lines(window.Text);
  if (ALine == 0 || window.Text.empty()) return {};
  const auto nameOffset = static_cast<uint32_t>(std::min<size_t>(AColumn > 0 ? AColumn - 1 : 0, lines.Line(1).size()));
  const uint32_t last = std::min(IsTypeKind(AKind) ? 1 : std::max(1u, LastLine(lines, window.Text, nameOffset, IsRoutineKind(AKind))),
                                 MostHeadingLines);
  // The common indentation off every line.
  size_t indent = std::string_view::npos;
  for (uint32_t l = 1; l <= last; ++l)
    if (const std::string_view line = lines.Line(l); !Trimmed(line).empty())
      indent = std::min(indent, line.find_first_not_of(" \t"));
  std::string heading;
  for (uint32_t l = 1; l <= last; ++l) {
    std::string_view line = lines.Line(l);
    line.remove_prefix(std::min(line.size(), indent == std::string_view::npos ? 0 : indent));
    heading += (l == 1 ? "" : "\n") + std::string(line.substr(0, line.find_last_not_of(" \t") + 1));
  }
  return heading;
}

std::string HeadingDetailAt(std::string_view AText, uint32_t ALine, uint32_t AColumn, std::string_view AKind, size_t AMost) {
  if (AKind == "unit" || AKind == "program" || AKind == "library" || AKind == "enum value" || ALine == 0) return {};
  const TLineWindow window = LinesFrom(AText, ALine, MostHeadingLines);
  const std::vector<TPascalToken> tokens = Tokenize(window.Text);
  const size_t firstLineEnd = window.Text.find_first_of("\r\n");
  auto at = std::lower_bound(tokens.begin(), tokens.end(), AColumn > 0 ? AColumn - 1 : 0,
                             [](const TPascalToken& T, uint32_t O) { return T.Offset < O; });
  if (at == tokens.end() || (at->Kind != TPascalToken::tkName && at->Kind != TPascalToken::tkSymbol)) return {};
  const bool type = IsTypeKind(AKind);
  std::string detail;
  uint32_t previousEnd = at->Offset + at->Length;
  for (int depth = 0; ++at != tokens.end();) {
    if (at->Kind == TPascalToken::tkSymbol) {
      if (at->Symbol == '(' || at->Symbol == '[') ++depth;
      else if (at->Symbol == ')' || at->Symbol == ']') --depth;
      else if (at->Symbol == ';' && depth <= 0) break;
    }
    // A type's definition on its first line only: a class's members follow it.
    if (type && at->Offset >= firstLineEnd) break;
    if (at->Offset > previousEnd) detail += ' ';
    detail += window.Text.substr(at->Offset, at->Length);
    previousEnd = at->Offset + at->Length;
    if (detail.size() > AMost) {
      size_t cut = AMost;
      while (cut > 0 && (static_cast<unsigned char>(detail[cut]) & 0xC0) == 0x80) --cut;  // not inside a UTF-8 character
      detail.resize(cut);
      detail += "\u2026";
      break;
    }
  }
  return detail;
}

std::vector<std::string> ParameterTypesAt(std::string_view AText, uint32_t ANameOffset) {
  // A heading's parameters are rarely long; what lies further is not read.
  constexpr size_t MostHeading = 8192;
  const std::string_view window = AText.substr(std::min<size_t>(ANameOffset, AText.size()), MostHeading);
  const std::vector<TPascalToken> tokens = Tokenize(window);
  auto word = [&](size_t I) { return LowerCase(std::string(window.substr(tokens[I].Offset, tokens[I].Length))); };
  auto symbol = [&](size_t I, char C) { return I < tokens.size() && tokens[I].Kind == TPascalToken::tkSymbol && tokens[I].Symbol == C; };
  std::vector<std::string> types;
  size_t i = 1;
  if (symbol(i, '<'))  // a generic's parameters
    for (int depth = 0; i < tokens.size(); ++i) {
      if (symbol(i, '<')) ++depth;
      else if (symbol(i, '>') && --depth == 0) {
        ++i;
        break;
      }
    }
  if (!symbol(i, '(')) return types;
  ++i;
  for (int depth = 1; i < tokens.size() && depth > 0;) {
    // One group: [const|var|out|constref] names [: type [= default]]
    std::string passing;
    if (tokens[i].Kind == TPascalToken::tkName && (word(i) == "const" || word(i) == "var" || word(i) == "out" || word(i) == "constref"))
      passing = word(i++);
    size_t names = 0;
    for (; i < tokens.size() && tokens[i].Kind == TPascalToken::tkName; ++i) {
      ++names;
      if (!symbol(i + 1, ',')) {
        ++i;
        break;
      }
      ++i;
    }
    std::string type;
    bool defaulted = false;
    for (bool typed = symbol(i, ':') && (++i, true); i < tokens.size(); ++i) {
      if (symbol(i, '(') || symbol(i, '[')) ++depth;
      else if (symbol(i, ')') || symbol(i, ']')) {
        if (--depth == 0) break;
      } else if (symbol(i, ';') && depth == 1) {
        ++i;
        break;
      } else if (symbol(i, '=') && depth == 1) {
        defaulted = true;
      }
      if (!typed || defaulted) continue;
      if (!type.empty() && tokens[i].Kind == TPascalToken::tkName && tokens[i - 1].Kind == TPascalToken::tkName) type += ' ';
      type += word(i);
    }
    for (size_t n = 0; n < std::max<size_t>(names, 1); ++n) types.push_back(passing + ":" + type);
    if (names == 0 && type.empty()) types.pop_back();  // "()" or what could not be read
  }
  return types;
}

bool IsRoutineDirective(std::string_view AWord) {
  static const char* const Directives[] = {"abstract", "assembler", "cdecl", "deprecated", "dynamic", "export",
                                           "external", "final", "forward", "inline", "message", "overload", "override",
                                           "platform", "reintroduce", "register", "safecall", "static", "stdcall",
                                           "virtual", "experimental", "unimplemented", "noreturn", "varargs"};
  return std::any_of(std::begin(Directives), std::end(Directives), [&](const char* D) { return SameText(AWord, D); });
}

TPeek PeekAt(const TAnswer& AAnswer, std::string_view AText) {
  TPeek peek;
  peek.Name = AAnswer.Name;
  peek.Kind = AAnswer.Kind;
  peek.Path = AAnswer.Path;
  peek.Line = AAnswer.Line;
  peek.Column = AAnswer.Column;
  const TLines lines(AText);
  if (AAnswer.Line == 0 || AAnswer.Line > lines.Count()) return peek;
  peek.Heading = HeadingAt(AText, AAnswer.Line, AAnswer.Column, AAnswer.Kind);
  peek.Comment = CommentAbove(lines, AAnswer.Line);
  const std::vector<TDeclaration> declarations = ScanDeclarations(AText, IsIncludeFileName(AAnswer.Path));
  if (!declarations.empty() && declarations.front().Kind <= dkLibrary) peek.Module = declarations.front().Name;
  else peek.Module = AAnswer.Path.substr(AAnswer.Path.rfind('/') + 1);
  return peek;
}

TPeek PeekAt(const TAnswer& AAnswer) {
  std::string text;
  if (!ReadSourceFile(AAnswer.Path, text)) return {};
  return PeekAt(AAnswer, text);
}

}  // namespace Vantry
