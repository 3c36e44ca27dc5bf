#include "index/UnitRanking.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

namespace Vantry {

namespace {

// A query made ready for matching: lower case, split at its last '/'.
struct TQuery {
  std::string Text;         // lower case
  std::string_view Folder;  // before the last '/', or empty
  TNamePattern Name;        // after it, or the whole query
  bool HasFolder = false;
  uint64_t PathLetters = 0;  // of the query without its '/'s
  uint64_t PathDoubles = 0;

  explicit TQuery(std::string_view AQuery) : Text(AQuery) {
    for (char& c : Text) c = LowerAscii(c);
    const size_t slash = Text.rfind('/');
    HasFolder = slash != std::string::npos;
    Name = TNamePattern(HasFolder ? std::string_view(Text).substr(slash + 1) : std::string_view(Text));
    Folder = HasFolder ? std::string_view(Text).substr(0, slash) : std::string_view();
    std::string bare;
    for (char c : Text)
      if (c != '/') bare += c;
    PathLetters = LetterMask(bare);
    PathDoubles = DoubleLetterMask(bare);
  }
};

TNameFacts FactsOf(const TFileTable& ATable, uint32_t AIndex) {
  const TFileTable::TFile& file = ATable.File(AIndex);
  return {ATable.LowerName(AIndex), file.StemLength, file.WordStarts, file.WordLetters};
}

std::string_view Searchable(const TQuery& AQuery, const TNameFacts& AFile) {
  return AQuery.Name.HasDot ? AFile.Name : AFile.Name.substr(0, AFile.StemLength);
}

uint64_t Key(TMatchKind AKind, const TFileTable::TFile& AFile, TFilePlace APlace, size_t ARun, int ADepth,
             uint32_t AIndex) {
  return (uint64_t{AKind} << 61) | (uint64_t{AFile.Include} << 60) | (uint64_t(APlace & MostFilePlace) << 56) |
         (uint64_t{63 - std::min<size_t>(ARun, 63)} << 50) | (uint64_t{std::min<uint16_t>(AFile.StemLength, 255)} << 42) |
         (uint64_t(std::min(ADepth, 63)) << 36) | AIndex;
}

constexpr uint64_t NoMatch = ~uint64_t{0};

// Ranks one file: its key, or NoMatch. AFolderState caches, per folder, what
// the folder part needs: for a query with a '/', 1 when the folder matches
// and 0 when not; otherwise how many query bytes the folder's path takes
// before the name must take the rest (-1: not worked out yet).
uint64_t Rank(const TFileTable& ATable, const TQuery& AQuery, uint32_t AIndex, TFilePlace APlace,
              std::vector<int16_t>& AFolderState) {
  const TFileTable::TFile& file = ATable.File(AIndex);
  int16_t& folder = AFolderState[file.Folder];
  if (AQuery.HasFolder) {
    if (folder < 0) folder = GreedyPrefix(AQuery.Folder, ATable.LowerFolder(file.Folder)) == AQuery.Folder.size();
    if (!folder || (AQuery.Name.Letters & ~file.Letters) || (AQuery.Name.Doubles & ~file.Doubles)) return NoMatch;
    TNameMatch match = MatchName(AQuery.Name, FactsOf(ATable, AIndex));
    if (match.Kind == mkNone) return NoMatch;
    return Key(match.Kind, file, APlace, match.Run, ATable.FolderDepth(file.Folder), AIndex);
  }
  // A letter the query holds (twice) must be in the name (twice) for the
  // name to match; a letter the path holds twice may be in both parts.
  if ((AQuery.Name.Letters & ~file.Letters) == 0 && (AQuery.Name.Doubles & ~file.Doubles) == 0) {
    TNameMatch match = MatchName(AQuery.Name, FactsOf(ATable, AIndex));
    if (match.Kind != mkNone) return Key(match.Kind, file, APlace, match.Run, ATable.FolderDepth(file.Folder), AIndex);
  }
  const uint64_t folderLetters = ATable.FolderLetters(file.Folder);
  if (AQuery.PathLetters & ~(file.Letters | folderLetters)) return NoMatch;
  if (AQuery.PathDoubles & ~(file.Doubles | ATable.FolderDoubles(file.Folder) | (file.Letters & folderLetters)))
    return NoMatch;
  if (folder < 0) folder = static_cast<int16_t>(GreedyPrefix(AQuery.Text, ATable.LowerFolder(file.Folder)));
  std::string_view rest = std::string_view(AQuery.Text).substr(static_cast<size_t>(folder));
  if (GreedyPrefix(rest, Searchable(AQuery, FactsOf(ATable, AIndex))) < rest.size()) return NoMatch;
  return Key(mkPath, file, APlace, 0, ATable.FolderDepth(file.Folder), AIndex);
}

}  // namespace

void TUnitSearch::SetTarget(const TTarget& ATarget) {
  if (ATarget == FTarget) return;
  FTarget = ATarget;
  FPlaceGeneration = UINT64_MAX;
  FQuery.clear();
}

void TUnitSearch::Search(const TFileTable& ATable, uint64_t AGeneration, std::string_view AQuery, size_t ALimit) {
  TQuery query(AQuery);
  // Every file that matches a query also matches the query's beginning, so
  // typing on only has to look at what matched before.
  FNarrowed = !FQuery.empty() && AGeneration == FGeneration && ATable.FileCount() >= FFileCount &&
              query.Text.size() >= FQuery.size() && query.Text.compare(0, FQuery.size(), FQuery) == 0 &&
              FQuery.find('/') == std::string::npos && !query.HasFolder;
  std::vector<uint32_t> previous;
  previous.swap(FCandidates);
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
  if (FPlaceGeneration != AGeneration || FPlaces.size() != ATable.FileCount()) {
    // A table grows while its first walk goes on: places are worked out
    // again for what it has gained.
    std::vector<std::string> paths;
    for (size_t f = 0; f < ATable.FileCount(); ++f) paths.push_back(ATable.RelativePath(f));
    TTargetRules rules(FTarget);
    rules.ReadPackages(ATable.Root(), {paths.begin(), paths.end()});
    FPlaces.clear();
    for (const std::string& path : paths) FPlaces.push_back(rules.Place(path, false));
    FPlaceGeneration = AGeneration;
  }
  FMatches.Start(ALimit);
  auto look = [&](uint32_t AFile) {
    uint64_t k = Rank(ATable, query, AFile, FPlaces[AFile], FFolderState);
    if (k == NoMatch) return;
    FCandidates.push_back(AFile);
    FMatches.Offer(k);
  };
  if (FNarrowed)
    for (uint32_t file : previous) look(file);
  for (size_t i = since; i < ATable.FileCount(); ++i) look(static_cast<uint32_t>(i));

  for (uint64_t k : FMatches.Best(ALimit))
    FResults.push_back({static_cast<uint32_t>(k), static_cast<TMatchKind>(k >> 61)});
}

TMatchMarks TUnitSearch::Marks(const TFileTable& ATable, uint32_t AFile, std::string_view AQuery) {
  TQuery query(AQuery);
  TMatchMarks marks;
  const TNameFacts file = FactsOf(ATable, AFile);
  std::string_view folder = ATable.LowerFolder(ATable.File(AFile).Folder);
  if (query.HasFolder) GreedyMarks(query.Folder, folder, 0, marks.Folder);
  if (MatchName(query.Name, file).Kind != mkNone) {
    marks.Name = NameMarks(query.Name, file);
  } else {  // by the path: the folder takes what it can, the name the rest
    size_t k = GreedyPrefix(query.Text, folder);
    GreedyMarks(query.Text.substr(0, k), folder, 0, marks.Folder);
    GreedyMarks(std::string_view(query.Text).substr(k), Searchable(query, file), 0, marks.Name);
  }
  return marks;
}

std::vector<uint32_t> TUnitSearch::UnitsNamed(const TFileTable& ATable, std::string_view AName) {
  std::string lower(AName);
  for (char& c : lower) c = LowerAscii(c);
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
