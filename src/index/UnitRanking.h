#pragma once
// Ranks the indexed files for what the user types, as a quick-open does.
//
// A query matches a file by its name first: an exact name (with or without
// its extension), a name prefix, the query's letters at the starts of the
// name's words (after `_`, at case changes, where digits begin), or the
// letters anywhere in order. A file whose name does not match may still
// match by its path below the source folder. A query with a `/` matches the
// part after the last `/` against the name and the part before against the
// folder. Matching ignores the case of ASCII letters and works on bytes.
//
// Among files that match alike, units and programs come before include
// files; then the target's before another target's (rtl/unix/classes.pp
// before rtl/amicommon/classes.pp for x86_64-linux), the library's own
// before examples, tests and the compiler's sources; then the more of the query matches in one piece (all of it as part
// of the name, or its start as the name's start), the better; then shorter
// names, shallower folders, and path order.

#include "index/BestKeys.h"
#include "index/LibraryIndex.h"
#include "index/NameMatch.h"
#include "index/Target.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

struct TRankedFile {
  uint32_t File;
  TMatchKind Kind;
};

// Which bytes of a file's name and of its folder's relative path the query
// matched, as offsets in ascending order.
struct TMatchMarks {
  std::vector<uint16_t> Name;
  std::vector<uint16_t> Folder;
};

// One search box's ranking. It remembers the last query, so that a query
// typed on from it looks only at the files that matched before (and at any
// the table has gained since).
class TUnitSearch {
public:
  // Ranks ATable's files for AQuery and keeps the best ALimit, best first.
  // AGeneration is the index's generation: a new one means a new table.
  // An empty query matches nothing.
  void Search(const TFileTable& ATable, uint64_t AGeneration, std::string_view AQuery, size_t ALimit = 200);

  // The target whose files come first; without one, every file counts
  // alike.
  void SetTarget(const TTarget& ATarget);

  const std::vector<TRankedFile>& Results() const { return FResults; }
  // How many files matched in all (Results holds at most the limit).
  size_t MatchCount() const { return FCandidates.size(); }
  // Whether the last search looked only at the previous matches.
  bool LastSearchWasNarrowed() const { return FNarrowed; }

  static TMatchMarks Marks(const TFileTable& ATable, uint32_t AFile, std::string_view AQuery);
  // The units a uses clause names AName: the files whose name without its
  // extension is AName, ignoring case, in walk (path) order; only the units
  // (*.pas, *.pp, *.p) among them when there are any, since an include file
  // or a program of the same name is not what a uses clause means.
  static std::vector<uint32_t> UnitsNamed(const TFileTable& ATable, std::string_view AName);

private:
  std::string FQuery;
  uint64_t FGeneration = 0;
  size_t FFileCount = 0;
  bool FNarrowed = false;
  std::vector<uint32_t> FCandidates;  // every file that matched, in index order
  TBestKeys FMatches;                 // rank keys of the best of them; the file is the low half
  std::vector<TRankedFile> FResults;
  std::vector<int16_t> FFolderState;  // per folder, for the query being ranked
  TTarget FTarget;
  uint64_t FPlaceGeneration = UINT64_MAX;  // the table FPlaces was worked out for
  std::vector<TFilePlace> FPlaces;         // per file
};

}  // namespace Vantry
