#pragma once
// How the finder matches what the user types against one name, for units
// and declarations alike: an exact name, a prefix, the query's letters at
// the starts of the name's words (after `_`, at case changes, where digits
// begin), or the letters anywhere in order. Matching ignores the case of
// ASCII letters and works on bytes; names of up to 64 bytes are matched with
// one bit per byte.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

enum TMatchKind : uint8_t { mkExact, mkPrefix, mkWordStarts, mkSubsequence, mkPath, mkNone };

// What one name needs to be matched.
struct TNameFacts {
  std::string_view Name;  // as it stands, or in lower case
  size_t StemLength;      // the name without an extension; Name.size() when it has none
  uint64_t WordStarts;    // WordStarts of the stem
  uint64_t WordLetters;   // WordLetterMask of the stem
  bool Padded = false;    // NamePadding more bytes may be read after the name
};

// How many bytes a pool of names keeps after its last name so that the
// matcher may read any name sixteen bytes at a time.
constexpr size_t NamePadding = 16;

// A typed name made ready for matching many names: in lower case, its
// distinct bytes numbered (slots) for the bit-parallel matcher.
struct TNamePattern {
  static constexpr size_t WordBits = 64;
  static constexpr uint8_t NoSlot = 0xFF;

  explicit TNamePattern(std::string_view AText = {});

  std::string Text;              // lower case
  bool HasDot = false;           // it names an extension too
  uint64_t Letters = 0;          // LetterMask
  uint64_t Doubles = 0;          // DoubleLetterMask
  uint64_t Filter = 0;           // LetterFilter
  uint64_t SingleLetterBit = 0;  // for a one-letter name: its letter's bit
  uint64_t FirstLetterBit = 0;   // the LetterMask bit of its first byte
  std::array<uint8_t, 256> SlotOf{};      // a byte's slot, either case of a letter alike
  std::array<char, WordBits> SlotByte{};  // the byte of each slot
  std::array<uint8_t, WordBits> Slots{};  // the slot of each byte of Text
  std::array<bool, WordBits> DigitRun{};  // byte j and the one before are digits
  size_t SlotCount = 0;
};

struct TNameMatch {
  TMatchKind Kind;
  // How many query bytes match in one piece: all of them when the query is
  // part of the name as it stands, else those that begin the name.
  size_t Run;
  // With mkNone, from a cutoff: the name may match, worse than the cutoff.
  bool Unsure = false;
};

// How APattern matches a name: mkExact (the whole name, or its stem),
// mkPrefix, mkWordStarts, mkSubsequence or mkNone. Fuzzy matching looks at
// the stem only, unless the pattern names an extension itself, since
// letters of ".pas" matched by chance would rank a name before those that
// really match. An empty pattern matches as a subsequence.
//
// ACutoff is the worst kind the caller still ranks (once the best matches
// it keeps are all prefixes, say, a word-starts match cannot get in): a
// name that could match only worse comes back as mkNone and Unsure, which
// is much quicker to tell.
TNameMatch MatchName(const TNamePattern& APattern, const TNameFacts& AName, TMatchKind ACutoff = mkSubsequence);
// The bytes of the name that a match marks, as offsets in ascending order.
std::vector<uint16_t> NameMarks(const TNamePattern& APattern, const TNameFacts& AName);

// How many of AQuery's bytes match, in order, within AText (leftmost);
// AQuery is in lower case, AText's letters may be of either case.
size_t GreedyPrefix(std::string_view AQuery, std::string_view AText);
// The offsets of AText where GreedyPrefix matched, plus AOffset.
void GreedyMarks(std::string_view AQuery, std::string_view AText, size_t AOffset, std::vector<uint16_t>& AMarks);

inline char LowerAscii(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

// Whether two names are the same but for ASCII case.
inline bool SameFolded(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (LowerAscii(A[i]) != LowerAscii(B[i])) return false;
  return true;
}

}  // namespace Vantry
