#pragma once
// Which parts of a Pascal text the compiler of one target skips: follows
// the conditional directives ({$ifdef}, {$ifndef}, {$if}, {$elseif},
// {$else}, {$endif}, their Mac Pascal forms {$ifc}, {$elifc}, {$elsec},
// {$endc}, and the {$define} and {$undef} before them) as a
// lexer passes them. A symbol the target's compiler is known to define (or
// not) decides a branch; any other symbol leaves it open, so a branch is
// skipped only when it certainly would be. Nothing is ever lost by this:
// a skipped declaration is still indexed, and ranks after the others.

#include "index/Target.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

class TConditionals {
public:
  // ASymbols: what the target defines; null when no target is known.
  explicit TConditionals(const TTargetSymbols* ASymbols = nullptr) : FSymbols(ASymbols) {}

  // Starts a new text.
  void Reset();
  // A compiler directive's text after "{$" (the closing brace left out),
  // which starts at AOffset. A directive at or before the last one taken is
  // passed over: a lexer that reads back over text meets it again.
  void Directive(std::string_view AText, uint32_t AOffset);
  // Whether the target's compiler skips the text at AOffset (at or after
  // the last directive taken).
  bool SkippedAt(uint32_t AOffset) const;
  bool Skipped() const { return FSkipping > 0; }

private:
  enum TTruth : int8_t { False = 0, True = 1, Open = -1 };
  struct TFrame {
    TTruth Branch;  // whether the branch the text is in is compiled
    TTruth Taken;   // whether an earlier branch was
  };
  TTruth Symbol(std::string_view AUpper) const;
  TTruth Expression(std::string_view AText) const;
  void Push(TTruth ABranch);
  void Update();

  const TTargetSymbols* FSymbols;
  std::vector<TFrame> FFrames;
  std::vector<std::string> FDefined, FUndefined;  // by the text itself, upper case
  std::vector<std::string> FUnsure;  // defined or undefined by the text in a branch that may not be compiled
  int FSkipping = 0;        // frames whose branch is not compiled
  int64_t FLast = -1;       // the offset of the last directive taken
  std::vector<std::pair<uint32_t, bool>> FChanges;  // where skipping starts or stops
};

}  // namespace Vantry
