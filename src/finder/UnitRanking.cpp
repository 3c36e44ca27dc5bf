#include "finder/UnitRanking.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

namespace Vantry {

namespace {

char Lower(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

constexpr uint8_t NoSlot = 0xFF;
// Names and queries up to this length are matched with one bit per byte.
constexpr size_t WordBits = 64;

// A query made ready for matching: lower case, split at its last '/', and
// its distinct bytes numbered (slots) for the bit-parallel matcher.
struct TQuery {
  std::string Text;          // lower case
  std::string_view Folder;   // before the last '/', or empty
  std::string_view Name;     // after it, or the whole query
  bool HasFolder = false;
  bool HasDot = false;       // the name part names an extension too
  uint64_t SingleLetterBit = 0;  // for a one-letter name part: its letter's bit, when only it has it
  uint64_t NameLetters = 0;
  uint64_t PathLetters = 0;
  uint64_t NameDoubles = 0;  // letters the name part holds twice or more
  uint64_t PathDoubles = 0;
  std::array<uint8_t, 256> SlotOf{};
  std::array<uint8_t, WordBits> Slots{};  // the slot of each byte of Name
  std::array<bool, WordBits> DigitRun{};  // byte j and the one before are digits
  size_t SlotCount = 0;

  explicit TQuery(std::string_view AQuery) : Text(AQuery) {
    for (char& c : Text) c = Lower(c);
    size_t slash = Text.rfind('/');
    HasFolder = slash != std::string::npos;
    Name = HasFolder ? std::string_view(Text).substr(slash + 1) : std::string_view(Text);
    Folder = HasFolder ? std::string_view(Text).substr(0, slash) : std::string_view();
    NameLetters = LetterMask(Name);
    HasDot = Name.find('.') != std::string_view::npos;
    if (Name.size() == 1 && (std::isalnum(static_cast<unsigned char>(Name[0])) || Name[0] == '_'))
      SingleLetterBit = LetterMask(Name);
    std::string bare;
    for (char c : Text)
      if (c != '/') bare += c;
    PathLetters = LetterMask(bare);
    NameDoubles = DoubleLetterMask(Name);
    PathDoubles = DoubleLetterMask(bare);
    SlotOf.fill(NoSlot);
    if (Name.size() <= WordBits)
      for (size_t j = 0; j < Name.size(); ++j) {
        auto c = static_cast<unsigned char>(Name[j]);
        if (SlotOf[c] == NoSlot) SlotOf[c] = static_cast<uint8_t>(SlotCount++);
        Slots[j] = SlotOf[c];
        DigitRun[j] = j > 0 && std::isdigit(c) && std::isdigit(static_cast<unsigned char>(Name[j - 1]));
      }
  }
};

uint64_t Above(uint64_t AMask) {  // the positions after the lowest in AMask
  uint64_t low = AMask & (~AMask + 1);
  return ~((low << 1) - 1);
}

// How many of AQuery's bytes match, in order, within AText (leftmost).
size_t GreedyPrefix(std::string_view AQuery, std::string_view AText) {
  size_t j = 0;
  for (size_t i = 0; i < AText.size() && j < AQuery.size(); ++i)
    if (AText[i] == AQuery[j]) ++j;
  return j;
}

bool Contains(std::string_view AText, std::string_view APart) { return AText.find(APart) != std::string_view::npos; }

struct TNameMatch {
  TMatchKind Kind;
  // How many query bytes match in one piece: all of them when the query is
  // part of the name as it stands, else those that begin the name.
  size_t Run;
};

size_t LeadingRun(std::string_view AText, std::string_view AQuery) {
  size_t n = 0;
  while (n < AText.size() && n < AQuery.size() && AText[n] == AQuery[n]) ++n;
  return n;
}

size_t RunOf(std::string_view AText, std::string_view AQuery) {
  return Contains(AText, AQuery) ? AQuery.size() : LeadingRun(AText, AQuery);
}

// The per-position masks of the query's bytes within the name's first 64
// bytes: Positions[slot] has bit i when name byte i is that query byte.
void FillPositions(const TQuery& AQuery, std::string_view ALower, uint64_t* APositions) {
  std::fill(APositions, APositions + AQuery.SlotCount, 0);
  const size_t n = std::min(ALower.size(), WordBits);
  for (size_t i = 0; i < n; ++i) {
    uint8_t s = AQuery.SlotOf[static_cast<unsigned char>(ALower[i])];
    if (s != NoSlot) APositions[s] |= uint64_t{1} << i;
  }
}

// The end positions reachable after each query byte when every byte starts
// a word of the name or follows the previous one; AEnds may be null.
uint64_t WordStartEnds(const TQuery& AQuery, const uint64_t* APositions, uint64_t AWordStarts, uint64_t* AEnds) {
  uint64_t e = APositions[AQuery.Slots[0]] & AWordStarts;
  if (AEnds) AEnds[0] = e;
  for (size_t j = 1; j < AQuery.Name.size() && e; ++j) {
    uint64_t next = AWordStarts & Above(e);
    if (AQuery.DigitRun[j]) next |= e << 1;
    e = APositions[AQuery.Slots[j]] & next;
    if (AEnds) AEnds[j] = e;
  }
  return e;
}

// The part of a name that fuzzy matching looks at: the stem, unless the
// query itself names an extension, since letters of ".pas" matched by
// chance would rank a file before those that really match.
std::string_view Searchable(const TQuery& AQuery, std::string_view ALower, const TFileTable::TFile& AFile) {
  return AQuery.HasDot ? ALower : ALower.substr(0, AFile.StemLength);
}

TNameMatch MatchName(const TQuery& AQuery, std::string_view ALower, const TFileTable::TFile& AFile) {
  const std::string_view q = AQuery.Name;
  const size_t m = q.size();
  if (m == 0) return {mkSubsequence, 0};
  if (m > ALower.size()) return {mkNone, 0};
  if (std::memcmp(ALower.data(), q.data(), m) == 0)
    return {(m == AFile.StemLength || m == ALower.size()) ? mkExact : mkPrefix, m};
  const std::string_view text = Searchable(AQuery, ALower, AFile);
  if (m > text.size()) return {mkNone, 0};
  if (m == 1 && AQuery.SingleLetterBit) {  // the commonest search, the first key typed
    if (AFile.WordLetters & AQuery.SingleLetterBit) return {mkWordStarts, 1};
    if (std::memchr(text.data(), q[0], text.size())) return {mkSubsequence, 1};
    return {mkNone, 0};
  }
  if (m <= WordBits && text.size() <= WordBits) {
    uint64_t positions[WordBits];
    FillPositions(AQuery, text, positions);
    // In one piece: the query's bytes at consecutive positions.
    uint64_t run = positions[AQuery.Slots[0]];
    for (size_t j = 1; j < m && run; ++j) run = positions[AQuery.Slots[j]] & (run << 1);
    size_t piece = run ? m : LeadingRun(text, q);
    if (WordStartEnds(AQuery, positions, AFile.WordStarts, nullptr)) return {mkWordStarts, piece};
    if (run) return {mkSubsequence, piece};
    uint64_t e = positions[AQuery.Slots[0]];
    for (size_t j = 1; j < m && e; ++j) e = positions[AQuery.Slots[j]] & Above(e);
    if (!e) return {mkNone, 0};
    return {mkSubsequence, piece};
  }
  if (GreedyPrefix(q, text) < m) return {mkNone, 0};
  return {mkSubsequence, RunOf(text, q)};
}

uint64_t Key(TMatchKind AKind, const TFileTable::TFile& AFile, size_t ARun, int ADepth, uint32_t AIndex) {
  return (uint64_t{AKind} << 61) | (uint64_t{AFile.Include} << 60) | (uint64_t{63 - std::min<size_t>(ARun, 63)} << 54) |
         (uint64_t{std::min<uint16_t>(AFile.StemLength, 255)} << 46) | (uint64_t(std::min(ADepth, 63)) << 40) |
         AIndex;
}

constexpr uint64_t NoMatch = ~uint64_t{0};

// Ranks one file: its key, or NoMatch. AFolderState caches, per folder, what
// the folder part needs: for a query with a '/', 1 when the folder matches
// and 0 when not; otherwise how many query bytes the folder's path takes
// before the name must take the rest (-1: not worked out yet).
uint64_t Rank(const TFileTable& ATable, const TQuery& AQuery, uint32_t AIndex, std::vector<int16_t>& AFolderState) {
  const TFileTable::TFile& file = ATable.File(AIndex);
  int16_t& folder = AFolderState[file.Folder];
  if (AQuery.HasFolder) {
    if (folder < 0) folder = GreedyPrefix(AQuery.Folder, ATable.LowerFolder(file.Folder)) == AQuery.Folder.size();
    if (!folder || (AQuery.NameLetters & ~file.Letters) || (AQuery.NameDoubles & ~file.Doubles)) return NoMatch;
    TNameMatch match = MatchName(AQuery, ATable.LowerName(AIndex), file);
    if (match.Kind == mkNone) return NoMatch;
    return Key(match.Kind, file, match.Run, ATable.FolderDepth(file.Folder), AIndex);
  }
  // A letter the query holds (twice) must be in the name (twice) for the
  // name to match; a letter the path holds twice may be in both parts.
  if ((AQuery.NameLetters & ~file.Letters) == 0 && (AQuery.NameDoubles & ~file.Doubles) == 0) {
    TNameMatch match = MatchName(AQuery, ATable.LowerName(AIndex), file);
    if (match.Kind != mkNone) return Key(match.Kind, file, match.Run, ATable.FolderDepth(file.Folder), AIndex);
  }
  const uint64_t folderLetters = ATable.FolderLetters(file.Folder);
  if (AQuery.PathLetters & ~(file.Letters | folderLetters)) return NoMatch;
  if (AQuery.PathDoubles & ~(file.Doubles | ATable.FolderDoubles(file.Folder) | (file.Letters & folderLetters)))
    return NoMatch;
  if (folder < 0) folder = static_cast<int16_t>(GreedyPrefix(AQuery.Text, ATable.LowerFolder(file.Folder)));
  std::string_view rest = std::string_view(AQuery.Text).substr(static_cast<size_t>(folder));
  if (GreedyPrefix(rest, Searchable(AQuery, ATable.LowerName(AIndex), file)) < rest.size()) return NoMatch;
  return Key(mkPath, file, 0, ATable.FolderDepth(file.Folder), AIndex);
}

void GreedyMarks(std::string_view AQuery, std::string_view AText, size_t AOffset, std::vector<uint16_t>& AMarks) {
  size_t j = 0;
  for (size_t i = 0; i < AText.size() && j < AQuery.size(); ++i)
    if (AText[i] == AQuery[j]) {
      AMarks.push_back(static_cast<uint16_t>(i + AOffset));
      ++j;
    }
}

}  // namespace

void TUnitSearch::Search(const TFileTable& ATable, uint64_t AGeneration, std::string_view AQuery, size_t ALimit) {
  TQuery query(AQuery);
  // Every file that matches a query also matches the query's beginning, so
  // typing on only has to look at what matched before.
  FNarrowed = !FQuery.empty() && AGeneration == FGeneration && ATable.FileCount() >= FFileCount &&
              query.Text.size() >= FQuery.size() && query.Text.compare(0, FQuery.size(), FQuery) == 0 &&
              FQuery.find('/') == std::string::npos && !query.HasFolder;
  std::vector<uint32_t> previous;
  previous.swap(FCandidates);
  FMatches.clear();
  FResults.clear();
  FQuery = query.Text;
  FGeneration = AGeneration;
  const size_t since = FNarrowed ? FFileCount : 0;
  FFileCount = ATable.FileCount();
  if (query.Text.empty()) return;

  // The files are looked at in index order, which keeps the walk through
  // the table's memory sequential, and the matches stay in that order for
  // the next keystroke.
  FFolderState.assign(ATable.FolderCount(), -1);
  // Only keys that may still be among the best ALimit are kept: whenever
  // twice as many have gathered, the worse half goes and the best kept so
  // far becomes the bar.
  uint64_t bar = NoMatch;
  const size_t limit = std::max<size_t>(ALimit, 1);
  auto look = [&](uint32_t AFile) {
    uint64_t k = Rank(ATable, query, AFile, FFolderState);
    if (k == NoMatch) return;
    FCandidates.push_back(AFile);
    if (k >= bar) return;
    FMatches.push_back(k);
    if (FMatches.size() == 2 * limit) {
      std::nth_element(FMatches.begin(), FMatches.begin() + (limit - 1), FMatches.end());
      FMatches.resize(limit);
      bar = FMatches[limit - 1];
    }
  };
  if (FNarrowed)
    for (uint32_t file : previous) look(file);
  for (size_t i = since; i < ATable.FileCount(); ++i) look(static_cast<uint32_t>(i));

  size_t keep = std::min(ALimit, FMatches.size());
  if (keep < FMatches.size()) std::nth_element(FMatches.begin(), FMatches.begin() + keep, FMatches.end());
  std::sort(FMatches.begin(), FMatches.begin() + keep);
  FResults.reserve(keep);
  for (size_t i = 0; i < keep; ++i)
    FResults.push_back({static_cast<uint32_t>(FMatches[i]), static_cast<TMatchKind>(FMatches[i] >> 61)});
}

TMatchMarks TUnitSearch::Marks(const TFileTable& ATable, uint32_t AFile, std::string_view AQuery) {
  TQuery query(AQuery);
  TMatchMarks marks;
  const TFileTable::TFile& file = ATable.File(AFile);
  std::string_view full = ATable.LowerName(AFile);
  std::string_view name = Searchable(query, full, file);
  std::string_view folder = ATable.LowerFolder(file.Folder);
  std::string_view q = query.Name;
  if (query.HasFolder) GreedyMarks(query.Folder, folder, 0, marks.Folder);

  TNameMatch match = MatchName(query, full, file);
  if (match.Kind == mkExact || match.Kind == mkPrefix) name = full;
  if (match.Kind == mkNone) {  // by the path: the folder takes what it can, the name the rest
    size_t k = GreedyPrefix(query.Text, folder);
    GreedyMarks(query.Text.substr(0, k), folder, 0, marks.Folder);
    GreedyMarks(std::string_view(query.Text).substr(k), name, 0, marks.Name);
    return marks;
  }
  if (match.Kind == mkWordStarts && q.size() <= WordBits && name.size() <= WordBits) {
    // Walk back through the reachable end positions, keeping to runs where
    // they continue and jumping to an earlier word where they start.
    uint64_t positions[WordBits], ends[WordBits];
    FillPositions(query, name, positions);
    uint64_t e = WordStartEnds(query, positions, file.WordStarts, ends);
    int p = __builtin_ctzll(e);
    marks.Name.resize(q.size());
    for (size_t j = q.size(); j-- > 0;) {
      marks.Name[j] = static_cast<uint16_t>(p);
      if (j == 0) break;
      if (p > 0 && (ends[j - 1] >> (p - 1) & 1))
        --p;
      else
        p = 63 - __builtin_clzll(ends[j - 1] & ((uint64_t{1} << p) - 1));
    }
    return marks;
  }
  if (size_t at = name.find(q); at != std::string_view::npos) {
    for (size_t i = 0; i < q.size(); ++i) marks.Name.push_back(static_cast<uint16_t>(at + i));
    return marks;
  }
  GreedyMarks(q, name, 0, marks.Name);
  return marks;
}

std::vector<uint32_t> TUnitSearch::UnitsNamed(const TFileTable& ATable, std::string_view AName) {
  std::string lower(AName);
  for (char& c : lower) c = Lower(c);
  auto isUnit = [&](size_t AFile) {
    std::string_view extension = ATable.LowerName(AFile).substr(lower.size());
    return extension == ".pas" || extension == ".pp" || extension == ".p";
  };
  std::vector<uint32_t> files, units;
  for (size_t i = 0; i < ATable.FileCount(); ++i)
    if (ATable.File(i).StemLength == lower.size() && ATable.LowerName(i).substr(0, lower.size()) == lower) {
      files.push_back(static_cast<uint32_t>(i));
      if (isUnit(i)) units.push_back(static_cast<uint32_t>(i));
    }
  return units.empty() ? files : units;
}

}  // namespace Vantry
