#pragma once
// The outline of one Pascal text, as a reader scans a unit: the module, its
// sections (interface, implementation, initialization, finalization) with
// their uses clauses, and in each its types with their members, routines
// (headings and bodies), constants and variables, in text order. Read from
// the text as it stands, unsaved edits and all.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

struct TOutlineItem {
  std::string Name;    // "interface", "uses", "TStringList", "TStringList.Sort"
  std::string Kind;    // "unit", "section", "uses", "class", "function", "const"...
  std::string Detail;  // a uses clause's units, "Classes, SysUtils"; else empty
  uint32_t Line = 0;   // of the name, from 1
  uint32_t Column = 0; // from 1, in bytes
  int Depth = 0;       // 0 for the module and the sections; an item below another is one deeper
};

// AInclude: the text is an include file (it has no sections of its own).
std::vector<TOutlineItem> OutlineOf(std::string_view AText, bool AInclude);

// The item a cursor on ALine is in: the last one that starts on or before
// it; -1 when none does.
int OutlineItemAt(const std::vector<TOutlineItem>& AItems, uint32_t ALine);

}  // namespace Vantry
