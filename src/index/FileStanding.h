#pragma once
// How much each file of a library counts when several declare the same
// name: where it stands for the target (TFilePlace), and how widely the
// unit it belongs to is used. A unit that many others use (Classes) comes
// before a rarely used namesake (an old Objects unit's TStringList); an
// include file counts as the most used unit that includes it; System and
// objpas, which every program uses without naming them, count most.

#include "index/Target.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

// One file as the index knows it.
struct TStandingSource {
  std::string_view Path;   // relative to the root
  bool Program = false;    // its first declaration is a program's
  std::string_view Links;  // the scanner's links: uses and includes
};

struct TFileStanding {
  TFilePlace Place = 0;
  uint8_t Rarity = 0;   // 0 for the most used units, up to MostRarity for units nobody uses
  bool Hidden = false;  // an include file only units' implementations include: no other unit sees it
};
constexpr uint8_t MostRarity = 15;

// The standing of every file, in the order given. Reads the packages'
// build descriptions below ARoot.
std::vector<TFileStanding> StandingOfFiles(const std::string& ARoot, const std::vector<TStandingSource>& AFiles,
                                           const TTarget& ATarget);

// The links of a file, one by one: AKind 'u', 'm', 'i', 'h', 'x' or 'o', and the name.
template <class AVisit>
void ForEachLink(std::string_view ALinks, AVisit&& AVisitor) {
  for (size_t at = 0; at < ALinks.size();) {
    const size_t end = ALinks.find('\0', at);
    if (end == std::string_view::npos || end == at) return;
    AVisitor(ALinks[at], ALinks.substr(at + 1, end - at - 1));
    at = end + 1;
  }
}

// Whether a mode link's name ({$mode objfpc}, {$mode delphi}) brings in
// the objpas unit.
inline bool ModeUsesObjpas(std::string_view AMode) {
  return AMode == "objfpc" || AMode == "delphi" || AMode == "delphiunicode";
}

// A file name's last part, lower case, without its folders.
std::string LowerBaseName(std::string_view APath);

}  // namespace Vantry
