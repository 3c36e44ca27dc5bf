#include "index/DeclarationRanking.h"

#include "index/LibraryIndex.h"
#include "index/FileStanding.h"

#include <algorithm>

namespace Vantry {

namespace {

// A query made ready: split at its last '.' into owner and member.
struct TDeclarationQuery {
  std::string Text;  // lower case
  bool Dotted = false;
  TNamePattern Owner;
  TNamePattern Member;
  TNamePattern Whole;  // for a dotted query: a unit's dotted name (Generics.Collections) matches it whole

  explicit TDeclarationQuery(std::string_view AQuery) : Text(AQuery) {
    for (char& c : Text) c = LowerAscii(c);
    const size_t dot = Text.rfind('.');
    Dotted = dot != std::string::npos;
    Member = TNamePattern(Dotted ? std::string_view(Text).substr(dot + 1) : std::string_view(Text));
    if (Dotted) Owner = TNamePattern(std::string_view(Text).substr(0, dot)), Whole = TNamePattern(Text);
  }
};

// A unit, program or library whose name is dotted: a dotted query matches
// its whole name rather than an owner and a member.
bool IsDottedModule(const TDeclarationTable& ATable, uint32_t ADeclaration) {
  return ATable.Entry(ADeclaration).Kind() <= dkLibrary && ATable.Name(ADeclaration).find('.') != std::string_view::npos;
}

TNameFacts FactsOf(const TDeclarationTable& ATable, uint32_t ADeclaration) {
  const std::string_view name = ATable.Name(ADeclaration);
  const TWordMasks& words = ATable.Words(ADeclaration);
  return {name, name.size(), words.Starts, words.Letters, true};
}

constexpr uint64_t NoMatch = ~uint64_t{0};
constexpr uint64_t Passed = NoMatch - 1;  // may match, but cannot rank before the bar
constexpr uint8_t Unknown = 0xFF;

// For a dotted query, whether the declaration may match at all: the
// member part's letters are in its name, and its owner matches the owner
// part. AOwnerState caches, per owner, how the owner part matched it.
bool MayMatchOwned(const TDeclarationTable& ATable, const TDeclarationQuery& AQuery, uint32_t ADeclaration,
                   std::vector<uint8_t>& AOwnerState) {
  if (IsDottedModule(ATable, ADeclaration)) return !(AQuery.Whole.Filter & ~ATable.Letters(ADeclaration));
  if (AQuery.Member.Filter & ~ATable.Letters(ADeclaration)) return false;
  const uint32_t owner = ATable.Entry(ADeclaration).Owner;
  if (owner == TDeclarationTable::None) return false;
  uint8_t& state = AOwnerState[owner];
  if (state == Unknown)
    state = AQuery.Owner.Filter & ~ATable.Letters(owner) ? mkNone : MatchName(AQuery.Owner, FactsOf(ATable, owner)).Kind;
  return state != mkNone;
}

// The rank key of a declaration that may match; NoMatch when it does not
// match, Passed when it cannot rank before ABar (whether it matches is not
// worked out).
uint64_t Rank(const TDeclarationTable& ATable, const TDeclarationQuery& AQuery, uint32_t ADeclaration,
              uint16_t AFileRank, uint64_t ABar, const std::vector<uint8_t>& AOwnerState) {
  const auto cutoff = static_cast<TMatchKind>(std::min<uint64_t>(ABar >> 61, mkSubsequence));
  const bool whole = AQuery.Dotted && IsDottedModule(ATable, ADeclaration);
  const TNamePattern& pattern = whole ? AQuery.Whole : AQuery.Member;
  const std::string& member = pattern.Text;
  if (cutoff <= mkPrefix && !member.empty() && ATable.FirstByte(ADeclaration) != member[0]) return Passed;
  const TDeclarationEntry& entry = ATable.Entry(ADeclaration);
  const TNameMatch match = MatchName(pattern, FactsOf(ATable, ADeclaration), cutoff);
  if (match.Kind == mkNone) return match.Unsure ? Passed : NoMatch;
  // A bare name, written outside a class, binds a unit's declaration (or
  // an enumeration's value) before any class's member.
  const bool owned = entry.Owner != TDeclarationTable::None && entry.Kind() != dkEnumValue;
  const uint64_t owner = whole ? uint64_t{mkExact} : AQuery.Dotted ? AOwnerState[entry.Owner] : uint64_t{owned};
  // The file's rank splits around the definition bit: a heading in a file
  // of no target in particular (rtl/inc) comes before a body in the
  // target's own folder (rtl/x86_64), as the compiler binds the heading.
  // A declaration hidden in a unit's implementation is bound by that unit
  // alone: it comes after every declaration other units see.
  const bool hidden = entry.Hidden() || (AFileRank & 256);
  // One the target's compiler skips counts as another target's.
  const bool other = ((AFileRank >> 3) & 1) || entry.Skipped();
  const uint64_t fileHigh = uint64_t{other} << 3 | uint64_t{hidden} << 2 |
                            ((AFileRank >> 1) & 1) << 1 | ((AFileRank >> 2) & 1);
  return (uint64_t{match.Kind} << 61) | (owner << 58) | (uint64_t{63 - std::min<size_t>(match.Run, 63)} << 52) |
         (fileHigh << 48) | (uint64_t{entry.Definition()} << 47) | (uint64_t((AFileRank >> 4) & MostRarity) << 43) |
         (uint64_t{AFileRank & 1u} << 42) | (uint64_t{entry.NameLength} << 34) | ADeclaration;
}

bool StartsWith(std::string_view AText, std::string_view APrefix) {
  return AText.size() >= APrefix.size() && AText.compare(0, APrefix.size(), APrefix) == 0;
}

}  // namespace

void TDeclarationSearch::SetPreferredUnits(const std::vector<std::string>& AUnits) {
  std::vector<std::string> units;
  for (std::string unit : AUnits) {
    for (char& c : unit) c = LowerAscii(c);
    units.push_back(std::move(unit));
  }
  std::sort(units.begin(), units.end());
  units.erase(std::unique(units.begin(), units.end()), units.end());
  if (units == FPreferredUnits) return;
  FPreferredUnits = std::move(units);
  FFileRankGeneration = UINT64_MAX;
  FQuery.clear();  // the ranks change: no narrowing from the last search
}

void TDeclarationSearch::SetTarget(const TTarget& ATarget) {
  if (ATarget == FTarget) return;
  FTarget = ATarget;
  FFileRankGeneration = UINT64_MAX;
  FQuery.clear();
}

void TDeclarationSearch::RankFiles(const TDeclarationTable& ATable) {
  FFileRank.assign(ATable.FileCount(), 0);
  auto preferred = [&](std::string_view APart) {
    std::string lower(APart);
    for (char& c : lower) c = LowerAscii(c);
    return std::binary_search(FPreferredUnits.begin(), FPreferredUnits.end(), lower);
  };
  const std::vector<TFileStanding> standing = ATable.StandingFor(FTarget);
  for (uint32_t f = 0; f < ATable.FileCount(); ++f) {
    const std::string_view path = ATable.FilePath(f);
    bool yes = false;
    for (size_t start = 0; !yes && !FPreferredUnits.empty() && start < path.size();) {
      const size_t slash = path.find('/', start);
      if (slash == std::string_view::npos) {  // the file's own name, without its extension
        const std::string_view name = path.substr(start);
        yes = preferred(name.substr(0, std::min(name.size(), name.rfind('.'))));
        break;
      }
      yes = preferred(path.substr(start, slash - start));
      start = slash + 1;
    }
    FFileRank[f] = static_cast<uint16_t>(standing[f].Place | (yes ? 0 : 2) | standing[f].Rarity << 4 | (standing[f].Hidden ? 256 : 0));
  }
}

void TDeclarationSearch::Search(const TDeclarationTable& ATable, uint64_t AGeneration, std::string_view AQuery,
                                size_t ALimit) {
  TDeclarationQuery query(AQuery);
  // A query typed on from the last matches only what that matched, as long
  // as the owner part stays what it was.
  const size_t lastDot = FQuery.rfind('.');
  FNarrowed = !FQuery.empty() && AGeneration == FGeneration && StartsWith(query.Text, FQuery) &&
              query.Text.rfind('.') == lastDot;
  if (FFileRankGeneration != AGeneration) {
    RankFiles(ATable);
    FFileRankGeneration = AGeneration;
  }
  std::swap(FPrevious, FCandidates);  // both keep their memory from search to search
  FCandidates.clear();
  FResults.clear();
  FMatchCount = 0;
  FCountedAll = true;
  FQuery = query.Text;
  FGeneration = AGeneration;
  if (query.Text.empty()) return;
  if (query.Dotted) FOwnerState.assign(ATable.Count(), Unknown);

  // First the declarations that may match, by the letters of their names
  // alone: a pass through one dense array.
  FLettered.clear();
  const uint64_t letters = query.Member.Filter;
  if (query.Dotted) {
    if (FNarrowed) {
      for (uint32_t d : FPrevious)
        if (MayMatchOwned(ATable, query, d, FOwnerState)) FLettered.push_back(d);
    } else {
      for (uint32_t d = 0; d < ATable.Count(); ++d)
        if (MayMatchOwned(ATable, query, d, FOwnerState)) FLettered.push_back(d);
    }
  } else {
    // Without a branch: each declaration is written, and kept by moving on.
    const size_t count = FNarrowed ? FPrevious.size() : ATable.Count();
    FLettered.resize(count);
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
      const auto d = FNarrowed ? FPrevious[i] : static_cast<uint32_t>(i);
      FLettered[kept] = d;
      kept += !(letters & ~ATable.Letters(d));
    }
    FLettered.resize(kept);
  }

  // Then their ranks. Once the best ALimit are known well enough to set a
  // bar, what cannot rank before it is not looked at closely.
  FMatches.Start(ALimit);
  uint32_t file = 0;  // the file of the declaration looked at; they come in table order
  const std::vector<uint32_t>& lettered = FLettered;
  for (size_t i = 0; i < lettered.size(); ++i) {
    // What the ranking reads lies apart for each candidate: asked for ahead.
    if (i + 16 < lettered.size()) {
      __builtin_prefetch(&ATable.Entry(lettered[i + 16]));
      __builtin_prefetch(&ATable.Words(lettered[i + 16]));
    }
    if (i + 8 < lettered.size()) __builtin_prefetch(ATable.Name(lettered[i + 8]).data());
    const uint32_t d = lettered[i];
    while (ATable.File(file + 1).FirstEntry <= d) ++file;
    const uint64_t k = Rank(ATable, query, d, FFileRank[file], FMatches.Bar(), FOwnerState);
    if (k == NoMatch) continue;
    FCandidates.push_back(d);
    if (k == Passed) continue;
    ++FMatchCount;
    FMatches.Offer(k);
  }
  FCountedAll = FMatches.Bar() == TBestKeys::NoBar;
  for (uint64_t k : FMatches.Best(ALimit))
    FResults.push_back({static_cast<uint32_t>(k), static_cast<TMatchKind>(k >> 61)});
}

void TDeclarationSearch::Marks(const TDeclarationTable& ATable, uint32_t ADeclaration, std::string_view AQuery,
                               std::vector<uint16_t>& ANameMarks, std::vector<uint16_t>& AOwnerMarks) {
  TDeclarationQuery query(AQuery);
  ANameMarks = NameMarks(query.Dotted && IsDottedModule(ATable, ADeclaration) ? query.Whole : query.Member,
                         FactsOf(ATable, ADeclaration));
  const uint32_t owner = ATable.Entry(ADeclaration).Owner;
  AOwnerMarks.clear();
  if (query.Dotted && owner != TDeclarationTable::None) AOwnerMarks = NameMarks(query.Owner, FactsOf(ATable, owner));
}

std::vector<uint32_t> TDeclarationSearch::Named(const TDeclarationTable& ATable, std::string_view AOwner,
                                                std::string_view AName) {
  std::vector<uint32_t> found;
  for (uint32_t d : ATable.Named(AName)) {
    const uint32_t owner = ATable.Entry(d).Owner;
    if (!AOwner.empty() && (owner == TDeclarationTable::None || !SameFolded(ATable.Name(owner), AOwner))) continue;
    found.push_back(d);
  }
  return found;
}

std::vector<uint32_t> TDeclarationSearch::HeadingsOf(const TDeclarationTable& ATable, std::vector<uint32_t> ADeclarations) {
  const auto body = [&](uint32_t D) { return ATable.Entry(D).Definition(); };
  if (!std::all_of(ADeclarations.begin(), ADeclarations.end(), body))
    ADeclarations.erase(std::remove_if(ADeclarations.begin(), ADeclarations.end(), body), ADeclarations.end());
  return ADeclarations;
}

}  // namespace Vantry
