#include "navigation/Peek.h"

#include "finder/DeclarationBuild.h"
#include "finder/DeclarationScanner.h"
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

private:
  std::string_view FText;
  std::vector<size_t> FStarts;
};

bool IsRoutineKind(std::string_view AKind) {
  for (const char* word : {"procedure", "function", "constructor", "destructor", "operator"})
    if (AKind.find(word) != std::string_view::npos) return true;
  return false;
}
bool IsTypeKind(std::string_view AKind) {
  for (const char* word : {"class", "object", "record", "interface", "helper", "enum", "set", "pointer",
                           "procedure type", "array", "class reference", "type"})
    if (AKind == word) return true;
  return false;
}

// The last line of the declaration whose name stands at AOffset: the line
// of its ';' (outside brackets), and for a routine the lines of the
// directives that follow it ("overload; virtual;").
uint32_t LastLine(const TSourceModel& AModel, uint32_t AOffset, bool ARoutine) {
  const auto& tokens = AModel.Tokens();
  auto at = std::lower_bound(tokens.begin(), tokens.end(), AOffset, [](const TPascalToken& T, uint32_t O) { return T.Offset < O; });
  uint32_t end = AOffset;
  for (int depth = 0; at != tokens.end(); ++at) {
    end = at->Offset;
    if (at->Kind != TPascalToken::tkSymbol) continue;
    if (at->Symbol == '(' || at->Symbol == '[') ++depth;
    else if (at->Symbol == ')' || at->Symbol == ']') --depth;
    else if (at->Symbol == ';' && depth <= 0) break;
  }
  if (ARoutine && at != tokens.end()) {
    static const char* const Directives[] = {"abstract", "assembler", "cdecl", "deprecated", "dynamic", "export",
                                             "external", "final", "forward", "inline", "message", "overload", "override",
                                             "platform", "reintroduce", "register", "safecall", "static", "stdcall",
                                             "virtual", "experimental", "unimplemented", "noreturn", "varargs"};
    for (auto next = at + 1; next != tokens.end() && next->Kind == TPascalToken::tkName; ) {
      const std::string word = LowerCase(std::string(AModel.Text().substr(next->Offset, next->Length)));
      if (std::find_if(std::begin(Directives), std::end(Directives), [&](const char* D) { return word == D; }) == std::end(Directives))
        break;
      while (next != tokens.end() && !(next->Kind == TPascalToken::tkSymbol && next->Symbol == ';')) ++next;
      if (next == tokens.end()) break;
      end = next->Offset;
      ++next;
    }
  }
  uint32_t line = 0, column = 0;
  AModel.LineColumnOf(end, line, column);
  return line;
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

TPeek PeekAt(const TAnswer& AAnswer, std::string_view AText) {
  TPeek peek;
  peek.Name = AAnswer.Name;
  peek.Kind = AAnswer.Kind;
  peek.Path = AAnswer.Path;
  peek.Line = AAnswer.Line;
  peek.Column = AAnswer.Column;
  const TSourceModel model(AText);
  const TLines lines(AText);
  if (AAnswer.Line == 0 || AAnswer.Line > lines.Count()) return peek;
  const uint32_t offset = model.OffsetOf(AAnswer.Line, AAnswer.Column);
  uint32_t first = AAnswer.Line;
  uint32_t last = IsTypeKind(AAnswer.Kind) ? first : std::max(first, LastLine(model, offset, IsRoutineKind(AAnswer.Kind)));
  last = std::min(last, first + MostHeadingLines - 1);
  // The common indentation off every line.
  size_t indent = std::string_view::npos;
  for (uint32_t l = first; l <= last; ++l)
    if (const std::string_view line = lines.Line(l); !Trimmed(line).empty())
      indent = std::min(indent, line.find_first_not_of(" \t"));
  for (uint32_t l = first; l <= last; ++l) {
    std::string_view line = lines.Line(l);
    line.remove_prefix(std::min(line.size(), indent == std::string_view::npos ? 0 : indent));
    peek.Heading += (l == first ? "" : "\n") + std::string(line.substr(0, line.find_last_not_of(" \t") + 1));
  }
  peek.Comment = CommentAbove(lines, first);
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
