#include "navigation/Outline.h"

#include "index/DeclarationScanner.h"
#include "navigation/SourceModel.h"
#include "platform/SysUtils.h"

#include <algorithm>

namespace Vantry {

namespace {

using TTokens = std::vector<TPascalToken>;

bool IsRoutine(TDeclarationKind AKind) { return AKind >= dkProcedure && AKind <= dkClassOperator; }

struct TPlaced {
  TOutlineItem Item;
  uint32_t Offset = 0;
};

class TOutlineReader {
public:
  TOutlineReader(std::string_view AText, bool AInclude) : FModel(AText), FInclude(AInclude) {}

  std::vector<TOutlineItem> Read() {
    Sections();
    Declarations();
    Bodies();
    std::stable_sort(FItems.begin(), FItems.end(), [](const TPlaced& A, const TPlaced& B) { return A.Offset < B.Offset; });
    std::vector<TOutlineItem> items;
    for (TPlaced& p : FItems) {
      // Below the section that holds it.
      if (p.Item.Kind != "section" && p.Item.Kind != "unit" && p.Item.Kind != "program" && p.Item.Kind != "library" &&
          SectionBefore(p.Offset))
        ++p.Item.Depth;
      items.push_back(std::move(p.Item));
    }
    return items;
  }

private:
  std::string_view Text(const TPascalToken& AToken) const { return FModel.Text().substr(AToken.Offset, AToken.Length); }

  void Add(std::string AName, std::string AKind, uint32_t AOffset, int ADepth, std::string ADetail = {}) {
    TPlaced p{{std::move(AName), std::move(AKind), std::move(ADetail), 0, 0, ADepth}, AOffset};
    FModel.LineColumnOf(AOffset, p.Item.Line, p.Item.Column);
    FItems.push_back(std::move(p));
  }

  bool SectionBefore(uint32_t AOffset) const {
    return std::any_of(FSections.begin(), FSections.end(), [&](uint32_t S) { return S < AOffset; });
  }

  // The sections and their uses clauses: words at the top level only (a
  // routine's body or a type's may use them otherwise).
  void Sections() {
    const TTokens& tokens = FModel.Tokens();
    for (size_t i = 0; i < tokens.size() && !FInclude; ++i) {
      if (tokens[i].Kind != TPascalToken::tkName) continue;
      const std::string_view word = Text(tokens[i]);
      const bool section = SameText(word, "interface") || SameText(word, "implementation") ||
                           SameText(word, "initialization") || SameText(word, "finalization");
      if (!section && !SameText(word, "uses")) continue;
      const bool top = FModel.RoutinesAt(tokens[i].Offset).empty() && FModel.StructureAt(tokens[i].Offset) == UINT32_MAX;
      if (!top || (i > 0 && tokens[i - 1].Kind == TPascalToken::tkSymbol && tokens[i - 1].Symbol == '=')) continue;
      if (SameText(word, "interface") || SameText(word, "implementation") || SameText(word, "initialization") ||
          SameText(word, "finalization")) {
        Add(LowerCase(std::string(word)), "section", tokens[i].Offset, 0);
        FSections.push_back(tokens[i].Offset);
      } else if (SameText(word, "uses")) {
        std::string units;
        for (size_t k = i + 1; k < tokens.size() && !(tokens[k].Kind == TPascalToken::tkSymbol && tokens[k].Symbol == ';'); ++k) {
          if (tokens[k].Kind == TPascalToken::tkSymbol && tokens[k].Symbol == ',') units += ", ";
          else if (tokens[k].Kind == TPascalToken::tkSymbol && tokens[k].Symbol == '.') units += '.';
          else if (tokens[k].Kind == TPascalToken::tkName && !SameText(Text(tokens[k]), "in")) units += Text(tokens[k]);
        }
        Add("uses", "uses", tokens[i].Offset, 0, units);
      }
    }
  }

  // What the scanner indexes: the module, types with their members,
  // routine headings, constants, variables.
  void Declarations() {
    const std::vector<TDeclaration> found = ScanDeclarations(FModel.Text(), FInclude);
    std::vector<int> depths;
    for (const TDeclaration& d : found) {
      const uint32_t offset = FModel.OffsetOf(d.Line, d.Column);
      int depth = 0;
      // The owner is the nearest earlier declaration of that name.
      for (size_t k = depths.size(); !d.Owner.empty() && k-- > 0;)
        if (SameText(found[k].Name, d.Owner) && found[k].Kind != dkEnumValue) {
          depth = depths[k] + 1;
          break;
        }
      depths.push_back(depth);
      if (d.Definition || (IsRoutine(d.Kind) && d.Owner.empty() && d.Hidden)) continue;  // bodies come from Bodies
      if (d.Kind == dkEnumValue) continue;  // an enumeration's values would crowd it out
      Add(d.Name, DeclarationKindName(d.Kind), offset, depth);
    }
  }

  // The routines with bodies, nested ones below their routine.
  void Bodies() {
    const TTokens& tokens = FModel.Tokens();
    FModel.ForEachRoutine([&](const TRoutineScope& ARoutine, int ADepth) {
      auto at = std::lower_bound(tokens.begin(), tokens.end(), ARoutine.Begin,
                                 [](const TPascalToken& T, uint32_t O) { return T.Offset < O; });
      // "procedure", or "class function".
      std::string kind;
      while (at != tokens.end() && at->Kind == TPascalToken::tkName) {
        const std::string word = LowerCase(std::string(Text(*at++)));
        kind += kind.empty() ? word : " " + word;
        if (word != "class") break;
      }
      const uint32_t offset = at != tokens.end() && at->Kind == TPascalToken::tkName ? at->Offset : ARoutine.Begin;
      const std::string name = ARoutine.Owner.empty() ? ARoutine.Name : ARoutine.Owner + "." + ARoutine.Name;
      Add(name, kind, offset, ADepth);
    });
  }

  TSourceModel FModel;
  bool FInclude;
  std::vector<uint32_t> FSections;
  std::vector<TPlaced> FItems;
};

}  // namespace

std::vector<TOutlineItem> OutlineOf(std::string_view AText, bool AInclude) { return TOutlineReader(AText, AInclude).Read(); }

int OutlineItemAt(const std::vector<TOutlineItem>& AItems, uint32_t ALine) {
  int at = -1;
  for (size_t i = 0; i < AItems.size() && AItems[i].Line <= ALine; ++i) at = static_cast<int>(i);
  return at;
}

}  // namespace Vantry
