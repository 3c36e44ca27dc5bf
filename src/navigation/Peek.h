#pragma once
// What a reader wants to see of a declaration without going there: its
// heading (a routine's whole heading with its directives, a type's first
// line, a constant's or variable's declaration to its ';'), the comment
// just above it, and where it is.

#include "navigation/Resolver.h"

#include <string>
#include <string_view>
#include <vector>

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

// The heading of the declaration of kind AKind whose name stands at ALine,
// AColumn (from 1) of AText, as the peek shows it. Only the lines of the
// heading are read, not the whole text.
std::string HeadingAt(std::string_view AText, uint32_t ALine, uint32_t AColumn, std::string_view AKind);

// What follows a declaration's name in its heading, on one line, for a row
// of a list: a routine's parameters and result ("(Value: Longint):
// string"), a type's definition's first line ("= class(TStrings)"), a
// constant's or variable's type and value; blanks and comments run
// together into one blank, cut at AMost bytes. Empty for a unit and for an
// enumeration's value, whose lines tell nothing of their own.
std::string HeadingDetailAt(std::string_view AText, uint32_t ALine, uint32_t AColumn, std::string_view AKind,
                            size_t AMost = 160);

// The names of the parameters a routine's heading in AText takes, from the
// name at ANameOffset: each parameter's passing and type in lower case
// ("const:longint", ":array of const"), one per name, in order; for
// telling overloads apart.
std::vector<std::string> ParameterTypesAt(std::string_view AText, uint32_t ANameOffset);

// Whether AWord (any case) is one of the directives that may follow a
// routine's heading ("overload", "virtual", "cdecl"...).
bool IsRoutineDirective(std::string_view AWord);

}  // namespace Vantry
