#include "index/NameMatch.h"

#include "index/LibraryIndex.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Vantry {

namespace {

constexpr size_t WordBits = TNamePattern::WordBits;

uint64_t Above(uint64_t AMask) {  // the positions after the lowest in AMask
  uint64_t low = AMask & (~AMask + 1);
  return ~((low << 1) - 1);
}

bool StartsWithFolded(std::string_view AText, std::string_view ALowerPart) {
  if (ALowerPart.size() > AText.size()) return false;
  for (size_t i = 0; i < ALowerPart.size(); ++i)
    if (LowerAscii(AText[i]) != ALowerPart[i]) return false;
  return true;
}

// Where ALowerPart stands in AText, ignoring case; npos when nowhere.
size_t FindFolded(std::string_view AText, std::string_view ALowerPart) {
  const size_t m = ALowerPart.size();
  if (m == 0) return 0;
  if (m > AText.size()) return std::string_view::npos;
  for (size_t at = 0, last = AText.size() - m; at <= last; ++at) {
    if (LowerAscii(AText[at]) != ALowerPart[0]) continue;
    size_t i = 1;
    while (i < m && LowerAscii(AText[at + i]) == ALowerPart[i]) ++i;
    if (i == m) return at;
  }
  return std::string_view::npos;
}

size_t LeadingRun(std::string_view AText, std::string_view AQuery) {
  size_t n = 0;
  while (n < AText.size() && n < AQuery.size() && LowerAscii(AText[n]) == AQuery[n]) ++n;
  return n;
}

size_t RunOf(std::string_view AText, std::string_view AQuery) {
  return FindFolded(AText, AQuery) != std::string_view::npos ? AQuery.size() : LeadingRun(AText, AQuery);
}

// The per-position masks of the pattern's bytes within the text's first 64
// bytes: APositions[slot] has bit i when text byte i is that pattern byte
// (a letter in either case).
#if defined(__SSE2__)
// Sixteen bytes at a time: each slot's byte compared with sixteen of the
// text's at once; a text that may not be read past its end is copied first.
void FillPositions(const TNamePattern& APattern, std::string_view AText, bool APadded, uint64_t* APositions) {
  const size_t n = std::min(AText.size(), WordBits);
  const size_t chunks = (n + 15) / 16;
  alignas(16) char copy[WordBits];  // filled only when needed: zeroing it each time cost more than the rest
  const char* bytes = AText.data();
  if (!APadded) {  // the last chunk must not be read past the text's end
    std::memcpy(copy, bytes, n);
    std::memset(copy + n, 0, 16 * chunks - n);
    bytes = copy;
  }
  const uint64_t used = n == WordBits ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  // The chunks are loaded again for each slot, from the first level of
  // cache: kept in an array, they were copied there with a slow string move.
  for (size_t s = 0; s < APattern.SlotCount; ++s) {
    const char b = APattern.SlotByte[s];
    const __m128i fold = _mm_set1_epi8(b >= 'a' && b <= 'z' ? 0x20 : 0);
    const __m128i wanted = _mm_set1_epi8(b);
    uint64_t mask = 0;
    for (size_t c = 0; c < chunks; ++c) {
      const __m128i chunk = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * c)), fold);
      mask |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, wanted)))} << (16 * c);
    }
    APositions[s] = mask & used;
  }
}
#else
void FillPositions(const TNamePattern& APattern, std::string_view AText, bool, uint64_t* APositions) {
  std::fill(APositions, APositions + APattern.SlotCount, 0);
  const size_t n = std::min(AText.size(), WordBits);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t s = APattern.SlotOf[static_cast<unsigned char>(AText[i])];
    if (s != TNamePattern::NoSlot) APositions[s] |= uint64_t{1} << i;
  }
}
#endif

// The end positions reachable after each pattern byte when every byte starts
// a word of the name or follows the previous one; AEnds may be null.
uint64_t WordStartEnds(const TNamePattern& APattern, const uint64_t* APositions, uint64_t AWordStarts,
                       uint64_t* AEnds) {
  uint64_t e = APositions[APattern.Slots[0]] & AWordStarts;
  if (AEnds) AEnds[0] = e;
  for (size_t j = 1; j < APattern.Text.size() && e; ++j) {
    uint64_t next = AWordStarts & Above(e);
    if (APattern.DigitRun[j]) next |= e << 1;
    e = APositions[APattern.Slots[j]] & next;
    if (AEnds) AEnds[j] = e;
  }
  return e;
}

std::string_view Searchable(const TNamePattern& APattern, const TNameFacts& AName) {
  return APattern.HasDot ? AName.Name : AName.Name.substr(0, AName.StemLength);
}

}  // namespace

TNamePattern::TNamePattern(std::string_view AText) : Text(AText) {
  for (char& c : Text) c = LowerAscii(c);
  Letters = LetterMask(Text);
  FirstLetterBit = LetterMask(std::string_view(Text).substr(0, 1));
  Doubles = DoubleLetterMask(Text);
  Filter = LetterFilter(Text);
  HasDot = Text.find('.') != std::string::npos;
  if (Text.size() == 1 && (std::isalnum(static_cast<unsigned char>(Text[0])) || Text[0] == '_'))
    SingleLetterBit = Letters;
  SlotOf.fill(NoSlot);
  if (Text.size() <= WordBits)
    for (size_t j = 0; j < Text.size(); ++j) {
      auto c = static_cast<unsigned char>(Text[j]);
      if (SlotOf[c] == NoSlot) {
        SlotByte[SlotCount] = static_cast<char>(c);
        SlotOf[c] = static_cast<uint8_t>(SlotCount++);
        if (c >= 'a' && c <= 'z') SlotOf[c - 'a' + 'A'] = SlotOf[c];
      }
      Slots[j] = SlotOf[c];
      DigitRun[j] = j > 0 && std::isdigit(c) && std::isdigit(static_cast<unsigned char>(Text[j - 1]));
    }
}

size_t GreedyPrefix(std::string_view AQuery, std::string_view AText) {
  size_t j = 0;
  for (size_t i = 0; i < AText.size() && j < AQuery.size(); ++i)
    if (LowerAscii(AText[i]) == AQuery[j]) ++j;
  return j;
}

void GreedyMarks(std::string_view AQuery, std::string_view AText, size_t AOffset, std::vector<uint16_t>& AMarks) {
  size_t j = 0;
  for (size_t i = 0; i < AText.size() && j < AQuery.size(); ++i)
    if (LowerAscii(AText[i]) == AQuery[j]) {
      AMarks.push_back(static_cast<uint16_t>(i + AOffset));
      ++j;
    }
}

TNameMatch MatchName(const TNamePattern& APattern, const TNameFacts& AName, TMatchKind ACutoff) {
  const std::string_view q = APattern.Text;
  const size_t m = q.size();
  if (m == 0) return {mkSubsequence, 0};
  if (m > AName.Name.size()) return {mkNone, 0};
  if (StartsWithFolded(AName.Name, q))
    return {(m == AName.StemLength || m == AName.Name.size()) ? mkExact : mkPrefix, m};
  if (ACutoff <= mkPrefix) return {mkNone, 0, true};
  const std::string_view text = Searchable(APattern, AName);
  if (m > text.size()) return {mkNone, 0};
  const bool noWordStart = !(AName.WordLetters & APattern.FirstLetterBit);
  if (ACutoff == mkWordStarts && noWordStart) return {mkNone, 0, true};
  if (m == 1 && APattern.SingleLetterBit) {  // the commonest search, the first key typed
    if (!noWordStart) return {mkWordStarts, 1};
    if (ACutoff < mkSubsequence) return {mkNone, 0, true};
    if (FindFolded(text, q) != std::string_view::npos) return {mkSubsequence, 1};
    return {mkNone, 0};
  }
  if (m <= WordBits && text.size() <= WordBits) {
    uint64_t positions[WordBits];
    FillPositions(APattern, text, AName.Padded, positions);
    // In one piece: the pattern's bytes at consecutive positions.
    uint64_t run = positions[APattern.Slots[0]];
    for (size_t j = 1; j < m && run; ++j) run = positions[APattern.Slots[j]] & (run << 1);
    const size_t piece = run ? m : LeadingRun(text, q);
    if (!noWordStart && WordStartEnds(APattern, positions, AName.WordStarts, nullptr)) return {mkWordStarts, piece};
    if (ACutoff < mkSubsequence) return {mkNone, 0, true};
    if (run) return {mkSubsequence, piece};
    uint64_t e = positions[APattern.Slots[0]];
    for (size_t j = 1; j < m && e; ++j) e = positions[APattern.Slots[j]] & Above(e);
    return {e ? mkSubsequence : mkNone, piece};
  }
  if (ACutoff < mkSubsequence) return {mkNone, 0, true};
  if (GreedyPrefix(q, text) < m) return {mkNone, 0};
  return {mkSubsequence, RunOf(text, q)};
}

std::vector<uint16_t> NameMarks(const TNamePattern& APattern, const TNameFacts& AName) {
  std::vector<uint16_t> marks;
  const std::string_view q = APattern.Text;
  const TNameMatch match = MatchName(APattern, AName);
  if (match.Kind == mkNone) return marks;
  const std::string_view name =
      match.Kind == mkExact || match.Kind == mkPrefix ? AName.Name : Searchable(APattern, AName);
  if (match.Kind == mkWordStarts && q.size() <= WordBits && name.size() <= WordBits) {
    // Walk back through the reachable end positions, keeping to runs where
    // they continue and jumping to an earlier word where they start.
    uint64_t positions[WordBits], ends[WordBits];
    FillPositions(APattern, name, AName.Padded, positions);
    uint64_t e = WordStartEnds(APattern, positions, AName.WordStarts, ends);
    if (!e) {  // a one-letter match found by the word letters alone
      GreedyMarks(q, name, 0, marks);
      return marks;
    }
    int p = __builtin_ctzll(e);
    marks.resize(q.size());
    for (size_t j = q.size(); j-- > 0;) {
      marks[j] = static_cast<uint16_t>(p);
      if (j == 0) break;
      if (p > 0 && (ends[j - 1] >> (p - 1) & 1))
        --p;
      else
        p = 63 - __builtin_clzll(ends[j - 1] & ((uint64_t{1} << p) - 1));
    }
    return marks;
  }
  if (size_t at = FindFolded(name, q); at != std::string_view::npos) {
    for (size_t i = 0; i < q.size(); ++i) marks.push_back(static_cast<uint16_t>(at + i));
    return marks;
  }
  GreedyMarks(q, name, 0, marks);
  return marks;
}

}  // namespace Vantry
