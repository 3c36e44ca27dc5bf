#pragma once
// Reads a text's Pascal tokens by index: what each is and says, and the
// words the navigation readers act on. Indexes past the end are neither a
// name nor a symbol, so readers may look ahead without checking.

#include "index/DeclarationScanner.h"

#include <initializer_list>
#include <string_view>
#include <vector>

namespace Vantry {

class TTokenReader {
public:
  using TTokens = std::vector<TPascalToken>;

  TTokenReader(std::string_view AText, const TTokens& ATokens) : FText(AText), FTokens(ATokens) {}

  size_t Count() const { return FTokens.size(); }
  const TPascalToken& At(size_t I) const { return FTokens[I]; }
  std::string_view TextOf(size_t I) const {
    return I < Count() ? FText.substr(FTokens[I].Offset, FTokens[I].Length) : std::string_view();
  }
  bool IsName(size_t I) const { return I < Count() && FTokens[I].Kind == TPascalToken::tkName; }
  bool IsSymbol(size_t I, char ASymbol) const {
    return I < Count() && FTokens[I].Kind == TPascalToken::tkSymbol && FTokens[I].Symbol == ASymbol;
  }
  // Whether token I is the word AWord (lower case), case ignored.
  bool Is(size_t I, std::string_view AWord) const {
    if (!IsName(I) || FTokens[I].Length != AWord.size()) return false;
    const std::string_view text = TextOf(I);
    for (size_t k = 0; k < text.size(); ++k) {
      char c = text[k];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != AWord[k]) return false;
    }
    return true;
  }
  bool IsAny(size_t I, std::initializer_list<std::string_view> AWords) const {
    for (std::string_view w : AWords)
      if (Is(I, w)) return true;
    return false;
  }
  bool IsRoutineWord(size_t I) const { return IsAny(I, {"procedure", "function", "constructor", "destructor", "operator"}); }

protected:
  std::string_view FText;
  const TTokens& FTokens;
};

}  // namespace Vantry
