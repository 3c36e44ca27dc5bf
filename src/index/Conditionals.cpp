#include "index/Conditionals.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <functional>

namespace Vantry {

namespace {

constexpr size_t MostFrames = 256;  // deeper nesting is followed no further

bool IsWordByte(char C) {
  return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '_';
}

std::string Upper(std::string_view AText) { return UpperCase(std::string(AText)); }

// Reads the words and symbols of a directive's expression.
class TExpressionReader {
public:
  explicit TExpressionReader(std::string_view AText) : FText(AText) {}

  std::string_view Next() {
    while (FAt < FText.size() && static_cast<unsigned char>(FText[FAt]) <= ' ') ++FAt;
    const size_t start = FAt;
    if (FAt >= FText.size()) return {};
    if (IsWordByte(FText[FAt])) {
      while (FAt < FText.size() && IsWordByte(FText[FAt])) ++FAt;
    } else if (FAt + 1 < FText.size() && (FText.compare(FAt, 2, "<=") == 0 || FText.compare(FAt, 2, ">=") == 0 ||
                                          FText.compare(FAt, 2, "<>") == 0)) {
      FAt += 2;
    } else {
      ++FAt;
    }
    return FText.substr(start, FAt - start);
  }
  std::string_view Peek() {
    const size_t at = FAt;
    const std::string_view token = Next();
    FAt = at;
    return token;
  }

private:
  std::string_view FText;
  size_t FAt = 0;
};

}  // namespace

void TConditionals::Reset() {
  FFrames.clear();
  FDefined.clear();
  FUndefined.clear();
  FUnsure.clear();
  FSkipping = 0;
  FLast = -1;
  FChanges.clear();
}

TConditionals::TTruth TConditionals::Symbol(std::string_view AUpper) const {
  if (std::find(FUnsure.begin(), FUnsure.end(), AUpper) != FUnsure.end()) return Open;
  if (std::find(FDefined.begin(), FDefined.end(), AUpper) != FDefined.end()) return True;
  if (std::find(FUndefined.begin(), FUndefined.end(), AUpper) != FUndefined.end()) return False;
  if (!FSymbols) return Open;
  const int known = FSymbols->Knows(AUpper);
  return known < 0 ? Open : known ? True : False;
}

// {$if}'s expression: defined(X), not, and, or and brackets are worked out;
// anything else (a comparison, declared(), a constant) is open.
TConditionals::TTruth TConditionals::Expression(std::string_view AText) const {
  TExpressionReader reader(AText);
  std::function<TTruth()> any, all, single;
  auto same = [](std::string_view A, const char* B) { return Upper(A) == B; };
  single = [&]() -> TTruth {
    const std::string_view token = reader.Next();
    if (token.empty()) return Open;
    if (same(token, "NOT")) {
      const TTruth t = single();
      return t == Open ? Open : t == True ? False : True;
    }
    TTruth value = Open;
    if (token == "(") {
      value = any();
      if (reader.Peek() == ")") reader.Next();
    } else if (same(token, "DEFINED") || same(token, "UNDEFINED")) {
      const bool bracket = reader.Peek() == "(";
      if (bracket) reader.Next();
      value = Symbol(Upper(reader.Next()));
      if (bracket && reader.Peek() == ")") reader.Next();
      if (same(token, "UNDEFINED") && value != Open) value = value == True ? False : True;
    } else if (token != ")" && (IsWordByte(token[0]) || token == "'")) {
      // A constant, a function of the compiler's: its value is not known.
      if (reader.Peek() == "(") {
        int depth = 0;
        for (std::string_view t = reader.Next(); !t.empty(); t = reader.Next()) {
          if (t == "(") ++depth;
          if (t == ")" && --depth == 0) break;
        }
      }
    }
    // A comparison makes what it compares open.
    const std::string_view op = reader.Peek();
    if (op == "=" || op == "<" || op == ">" || op == "<=" || op == ">=" || op == "<>") {
      reader.Next();
      single();
      return Open;
    }
    return value;
  };
  all = [&]() -> TTruth {
    TTruth value = single();
    while (same(reader.Peek(), "AND")) {
      reader.Next();
      const TTruth right = single();
      value = value == False || right == False ? False : value == True && right == True ? True : Open;
    }
    return value;
  };
  any = [&]() -> TTruth {
    TTruth value = all();
    while (same(reader.Peek(), "OR")) {
      reader.Next();
      const TTruth right = all();
      value = value == True || right == True ? True : value == False && right == False ? False : Open;
    }
    return value;
  };
  return any();
}

void TConditionals::Push(TTruth ABranch) { FFrames.push_back({ABranch, ABranch}); }

void TConditionals::Update() {
  int skipping = 0;
  for (const TFrame& f : FFrames) skipping += f.Branch == False;
  FSkipping = skipping;
}

void TConditionals::Directive(std::string_view AText, uint32_t AOffset) {
  if (static_cast<int64_t>(AOffset) <= FLast) return;
  FLast = AOffset;
  size_t word = 0;
  while (word < AText.size() && IsWordByte(AText[word])) ++word;
  const std::string name = Upper(AText.substr(0, word));
  const std::string_view rest = AText.substr(word);
  auto argument = [&] {
    TExpressionReader reader(rest);
    return Upper(reader.Next());
  };
  const bool wasSkipping = Skipped();
  if (name == "IFDEF" || name == "IFNDEF" || name == "IF" || name == "IFOPT" || name == "IFC") {
    TTruth t = name == "IFOPT" ? Open : name == "IF" || name == "IFC" ? Expression(rest) : Symbol(argument());
    if (name == "IFNDEF" && t != Open) t = t == True ? False : True;
    if (FFrames.size() < MostFrames) Push(t);
    else FFrames.push_back({Open, Open});
  } else if ((name == "ELSEIF" || name == "ELIFC" || name == "ELSE" || name == "ELSEC") && !FFrames.empty()) {
    TFrame& f = FFrames.back();
    const TTruth mine = name == "ELSE" || name == "ELSEC" ? True : Expression(rest);
    if (f.Taken == True) f.Branch = False;
    else if (f.Taken == False) f.Branch = mine;
    else f.Branch = mine == False ? False : Open;
    // Once a branch is certainly compiled (this one, if none before was), a
    // later one is not.
    f.Taken = f.Taken == True || mine == True ? True : f.Taken == False && mine == False ? False : Open;
  } else if ((name == "ENDIF" || name == "IFEND" || name == "ENDC") && !FFrames.empty()) {
    FFrames.pop_back();
  } else if ((name == "DEFINE" || name == "UNDEF") && !Skipped()) {
    // In a branch that may or may not be compiled, the symbol may or may
    // not be defined after it.
    const bool sure = std::none_of(FFrames.begin(), FFrames.end(), [](const TFrame& F) { return F.Branch == Open; });
    const std::string symbol = argument();
    auto& to = name == "DEFINE" ? FDefined : FUndefined;
    auto& from = name == "DEFINE" ? FUndefined : FDefined;
    from.erase(std::remove(from.begin(), from.end(), symbol), from.end());
    if (sure) {
      FUnsure.erase(std::remove(FUnsure.begin(), FUnsure.end(), symbol), FUnsure.end());
      if (!symbol.empty() && std::find(to.begin(), to.end(), symbol) == to.end()) to.push_back(symbol);
    } else {
      to.erase(std::remove(to.begin(), to.end(), symbol), to.end());
      if (!symbol.empty() && std::find(FUnsure.begin(), FUnsure.end(), symbol) == FUnsure.end()) FUnsure.push_back(symbol);
    }
  }
  Update();
  if (Skipped() != wasSkipping) FChanges.emplace_back(AOffset, Skipped());
}

bool TConditionals::SkippedAt(uint32_t AOffset) const {
  auto it = std::upper_bound(FChanges.begin(), FChanges.end(), AOffset,
                             [](uint32_t A, const std::pair<uint32_t, bool>& C) { return A < C.first; });
  return it == FChanges.begin() ? false : std::prev(it)->second;
}

}  // namespace Vantry
