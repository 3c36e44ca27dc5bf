#pragma once
// What a reader wants to see of a declaration without going there: its
// heading (a routine's whole heading with its directives, a type's first
// line, a constant's or variable's declaration to its ';'), the comment
// just above it, and where it is.

#include "navigation/Resolver.h"

#include <string>
#include <string_view>

namespace Vantry {

struct TPeek {
  std::string Name;     // with its owner: TStringList.Sort
  std::string Kind;     // "function", "class"...
  std::string Heading;  // as the source has it, lines joined by '\n', the common indentation taken off
  std::string Comment;  // the comment's text, without its // { } (* *) marks; empty when none
  std::string Module;   // the unit (or program) the file declares; the file's name for an include file
  std::string Path;
  uint32_t Line = 0, Column = 0;
  bool Empty() const { return Heading.empty(); }
};

// The peek of AAnswer's declaration in AText, the text of its file.
TPeek PeekAt(const TAnswer& AAnswer, std::string_view AText);
// The same, reading the file; empty when it cannot be read.
TPeek PeekAt(const TAnswer& AAnswer);

}  // namespace Vantry
