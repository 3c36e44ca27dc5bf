#pragma once
// Ranks a library's declarations for what the user types, as "go to symbol"
// does. A query matches a declaration's name as a query matches a unit's
// name (exact, prefix, word starts, letters in order; case ignored). A
// query with a '.' matches owner and member: the part before the last '.'
// against the owner's name (a class, record, enumeration...), the part
// after against the member's; "TStringList.So" finds TStringList.Sort, and
// "TStringList." every member of TStringList.
//
// Among declarations that match alike, those whose owner matches better
// come first (for a query without a '.', those of no class, record or
// object: a unit's own declarations and enumeration values); then the more of the query matches in one piece; then those
// the target's compiler reads before another target's (rtl/linux before
// rtl/amiga for x86_64-linux); then those in the preferred units (the ones
// the current source uses); then the library's own before programs,
// examples, tests and the compiler's sources; then declarations before
// definitions (a routine's heading before its body); then those of more
// widely used units; then those in the target's own folders before those
// in folders of no target; then shorter names, and walk order.

#include "index/BestKeys.h"
#include "index/DeclarationTable.h"
#include "index/NameMatch.h"
#include "index/Target.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

struct TRankedDeclaration {
  uint32_t Declaration;
  TMatchKind Kind;
};

class TDeclarationSearch {
public:
  // Ranks ATable's declarations for AQuery and keeps the best ALimit, best
  // first. AGeneration is the index's declaration generation: a new one
  // means a new table. An empty query matches nothing.
  void Search(const TDeclarationTable& ATable, uint64_t AGeneration, std::string_view AQuery, size_t ALimit = 200);
  // The units whose declarations win ties, by name (case is ignored): a
  // file is one of theirs when its name without extension, or a folder on
  // its path, is one of them, as "sysutils/sysstrh.inc" is SysUtils's.
  void SetPreferredUnits(const std::vector<std::string>& AUnits);
  // The target whose declarations come first; without one, every file
  // counts alike.
  void SetTarget(const TTarget& ATarget);

  const std::vector<TRankedDeclaration>& Results() const { return FResults; }
  // How many declarations matched: all of them when CountedAll, else at
  // least that many. Once twice the limit have matched, a declaration that
  // cannot rank among the best is passed over without telling whether it
  // matches: that keeps the first keystrokes, which match most, quick.
  size_t MatchCount() const { return FMatchCount; }
  bool CountedAll() const { return FCountedAll; }
  bool LastSearchWasNarrowed() const { return FNarrowed; }

  // The bytes of the declaration's name, and of its owner's, that AQuery
  // matched, as offsets in ascending order.
  static void Marks(const TDeclarationTable& ATable, uint32_t ADeclaration, std::string_view AQuery,
                    std::vector<uint16_t>& ANameMarks, std::vector<uint16_t>& AOwnerMarks);
  // The declarations named AName exactly (case ignored), and, when AOwner
  // is not empty, owned by a declaration named AOwner; in walk order.
  static std::vector<uint32_t> Named(const TDeclarationTable& ATable, std::string_view AOwner, std::string_view AName);
  // ADeclarations without the routines' bodies among them, unless bodies
  // are all there is: a routine's heading stands for the routine.
  static std::vector<uint32_t> HeadingsOf(const TDeclarationTable& ATable, std::vector<uint32_t> ADeclarations);

private:
  void RankFiles(const TDeclarationTable& ATable);

  std::string FQuery;
  uint64_t FGeneration = 0;
  bool FNarrowed = false;
  std::vector<std::string> FPreferredUnits;     // lower case, sorted
  uint64_t FFileRankGeneration = UINT64_MAX;  // the table FFileRank was worked out for
  TTarget FTarget;
  // Per file: its TFilePlace, plus 2 unless of a preferred unit, plus its
  // rarity << 4, plus 256 when it is hidden from other units.
  std::vector<uint16_t> FFileRank;
  std::vector<uint32_t> FCandidates;  // every declaration that may have matched, in table order
  std::vector<uint32_t> FPrevious;    // the same for the search before
  std::vector<uint32_t> FLettered;    // those the letters of their names let through
  size_t FMatchCount = 0;
  bool FCountedAll = true;
  TBestKeys FMatches;                 // rank keys of the best of them; the declaration is the low half
  std::vector<TRankedDeclaration> FResults;
  std::vector<uint8_t> FOwnerState;   // per declaration as an owner, for a dotted query
};

}  // namespace Vantry
