// Which branches of conditional directives a target's compiler skips.

#include "index/Conditionals.h"

#include <gmock/gmock.h>

using namespace Vantry;

namespace {

struct TConditionRow {
  const char* Target;  // "" for none
  const char* Text;    // directives, and '|' where the text is probed
  const char* Skipped;  // per probe: 'S' skipped, '-' compiled (or not known)
};

TEST(ConditionalsTest, SkipsOnlyWhatTheTargetCertainlySkips) {
  const std::vector<TConditionRow> rows = {
      {"x86_64-linux", "{$ifdef CPU64}|{$else}|{$endif}|", "-S-"},
      {"x86_64-linux", "{$IFDEF cpu16}|{$ELSE}|{$ENDIF}", "S-"},
      {"x86_64-linux", "{$ifdef SOMETHING}|{$else}|{$endif}", "--"},  // not known: both may be compiled
      {"x86_64-linux", "{$ifndef FPC_USE_LIBC}|{$else}|{$endif}", "-S"},
      {"x86_64-linux", "{$if defined(CPU64) and not defined(WINDOWS)}|{$elseif defined(LINUX)}|{$else}|{$endif}", "-SS"},
      {"x86_64-linux", "{$if defined(CPU16) or defined(SOMETHING)}|{$elseif defined(LINUX)}|{$else}|{$endif}", "--S"},
      {"x86_64-linux", "{$if FPC_FULLVERSION>30000}|{$else}|{$endif}", "--"},
      {"x86_64-linux", "{$define X}{$ifdef X}|{$endif}{$undef X}{$ifdef X}|{$endif}", "-S"},
      {"x86_64-linux", "{$ifdef CPU16}{$define X}{$endif}{$ifdef X}|{$endif}", "-"},  // a skipped define defines nothing
      // A define in a branch that may not be compiled may not define.
      {"x86_64-linux", "{$define X}{$ifdef SOMETHING}{$undef X}{$define Y}{$endif}{$ifdef X}|{$endif}{$ifndef Y}|{$endif}", "--"},
      {"x86_64-linux", "{$ifdef WINDOWS}{$ifdef CPU64}|{$endif}|{$endif}|", "SS-"},
      {"i386-win32", "{$ifdef WINDOWS}{$ifdef CPU64}|{$endif}|{$endif}|", "S--"},
      {"m68k-amiga", "{$ifdef HASAMIGA}|{$endif}{$ifdef FPC_LITTLE_ENDIAN}|{$endif}", "-S"},
      {"x86_64-linux", "{$if not (defined(CPU16) or defined(CPU32))}|{$endif}", "-"},
      {"x86_64-linux", "{$if undefined(CPU64)}|{$elseif defined(SOMETHING)}|{$elseif defined(UNIX)}|{$else}|{$endif}",
       "S--S"},  // after an open branch, a true one: what follows is skipped
      {"x86_64-linux", "{$ifopt R+}|{$else}|{$endif}", "--"},
      {"x86_64-linux", "{$IFC defined CPU16}|{$ENDC}{$ifdef CPU16}{$ifdef UNIX}|{$else}|{$endif}|{$endif}|", "SSSS-"},
      {"", "{$ifdef CPU16}|{$endif}", "-"},                   // no target: nothing is known
      {"x86_64-linux", "{$endif}{$else}|{$I+}|{$i inc.inc}|", "---"},  // unbalanced, or not conditional
  };
  for (const TConditionRow& row : rows) {
    const std::optional<TTarget> target = ParseTarget(row.Target);
    const TTargetSymbols symbols = target ? SymbolsOf(*target) : TTargetSymbols{};
    TConditionals conditions(target ? &symbols : nullptr);
    conditions.Reset();
    const std::string text = row.Text;
    std::string skipped;
    for (size_t at = 0; at < text.size();) {
      if (text.compare(at, 2, "{$") == 0) {
        const size_t end = text.find('}', at);
        conditions.Directive(std::string_view(text).substr(at + 2, end - at - 2), static_cast<uint32_t>(at));
        conditions.Directive("else", static_cast<uint32_t>(at));  // met again by a lexer that reads back: passed over
        at = end + 1;
      } else {
        if (text[at] == '|') skipped += conditions.Skipped() ? 'S' : '-';
        ++at;
      }
    }
    EXPECT_EQ(skipped, row.Skipped) << row.Target << " " << row.Text;
    // Asked afterwards by place, it answers the same.
    std::string byPlace;
    for (size_t at = 0; (at = text.find('|', at)) != std::string::npos; ++at)
      byPlace += conditions.SkippedAt(static_cast<uint32_t>(at)) ? 'S' : '-';
    EXPECT_EQ(byPlace, row.Skipped) << row.Target << " " << row.Text;
  }
}

TEST(ConditionalsTest, KnowsTheTargetsSymbols) {
  const TTargetSymbols linux64 = SymbolsOf(*ParseTarget("x86_64-linux"));
  for (const char* yes : {"CPUX86_64", "CPU64", "CPUAMD64", "LINUX", "UNIX", "FPC_LITTLE_ENDIAN", "FPC_HAS_TYPE_EXTENDED"})
    EXPECT_EQ(linux64.Knows(yes), 1) << yes;
  for (const char* no : {"CPUI386", "CPU32", "CPU16", "WINDOWS", "WIN64", "DARWIN", "BSD", "FPC_BIG_ENDIAN", "FPC_USE_LIBC"})
    EXPECT_EQ(linux64.Knows(no), 0) << no;
  EXPECT_EQ(linux64.Knows("SYSTEMINLINE"), -1);
  const TTargetSymbols win64 = SymbolsOf(*ParseTarget("x86_64-win64"));
  EXPECT_EQ(win64.Knows("FPC_HAS_TYPE_EXTENDED"), 0);
  EXPECT_EQ(win64.Knows("FPC_CURRENCY_IS_INT64"), 1);
  EXPECT_EQ(linux64.Knows("FPC_CURRENCY_IS_INT64"), 0);
  EXPECT_EQ(win64.Knows("MSWINDOWS"), 1);
  EXPECT_EQ(SymbolsOf(*ParseTarget("i386-linux")).Knows("CPU386"), 1);
  // The widgetset's LCL<WIDGETSET>; whether a unit is the LCL's is not known.
  EXPECT_EQ(linux64.Knows("LCLGTK2"), 1);
  EXPECT_EQ(linux64.Knows("LCLQT5"), 0);
  EXPECT_EQ(linux64.Knows("LCLWIN32"), 0);
  EXPECT_EQ(linux64.Knows("LCL"), -1);
  EXPECT_EQ(SymbolsOf(*ParseTarget("aarch64-darwin")).Knows("LCLCOCOA"), 1);
}

}  // namespace
