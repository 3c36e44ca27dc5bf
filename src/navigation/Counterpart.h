#pragma once
// A routine is written twice: its heading (in a class, object or record, in
// a unit's interface, or as a forward declaration) and its body, the
// heading again with its block. From a place in one, the other: from a
// heading to its body, from anywhere in a body (the innermost routine's)
// to its heading; across a unit's include files, through the index (which
// keeps the bodies) and the resolver (which binds a body to its heading).

#include "navigation/Resolver.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace Vantry {

struct TCounterpart {
  TAnswer Place;        // where the other one is: its name there
  bool ToBody = false;  // from a heading to its body; else from a body to its heading
  std::string Note;     // why there is none, when there is none
  bool Empty() const { return Place.Path.empty(); }
};

// The other half of the routine at AOffset of AText, APath's text as it
// stands (unsaved edits and all). Of overloads, the one whose parameters
// are the same; when none is, the first. Opens texts in AResolver, whose
// table is the library's.
TCounterpart CounterpartOf(TResolver& AResolver, const std::string& APath, std::string_view AText, uint32_t AOffset);

}  // namespace Vantry
