#pragma once
// What one Pascal text says about the scopes at a place in it, as the
// resolver needs it: the module and its uses clauses, the routines around a
// place with their parameters and local declarations, the with statements
// around it, the chain of names that ends at it (A.B(x).C), and the shape
// of a type declared in it (its ancestors and members with their types).
// Read from tokens of the text as it stands, unsaved edits and all; a text
// that does not parse gives what could be read.

#include "index/DeclarationScanner.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Vantry {

// A type as a declaration names it: Classes.TStrings is {"Classes",
// "TStrings"}; an empty Name for a type written out in place (array of,
// set of, a procedure type) that has no members to look into.
struct TTypeName {
  std::string Unit;
  std::string Name;
  bool Empty() const { return Name.empty(); }
};

// A name declared at a place in a text: a parameter, a local, a member.
struct TDeclaredName {
  std::string Name;
  uint32_t Offset = 0;  // of the name in the text
  std::string Kind;     // "parameter", "var", "const", "type", "field", "function", "property"...
  TTypeName Type;       // its declared type, or a function's result
};

// A routine whose heading and body hold a place.
struct TRoutineScope {
  std::string Owner;  // "TStrings" for "TStrings.Add" (the last type of a dotted heading); empty for a plain routine
  std::string Name;
  bool ClassMethod = false;
  TTypeName Result;  // a function's result type
  std::vector<TDeclaredName> Locals;  // parameters first, then local declarations and nested routines
  uint32_t Begin = 0;  // the heading's first byte
  uint32_t End = 0;    // past the body's end
};

struct TModuleFacts {
  std::string Name;
  bool Unit = false;
  std::vector<std::string> InterfaceUses;       // a program's uses too
  std::vector<std::string> ImplementationUses;
  bool ObjectPascal = false;  // {$mode objfpc} or {$mode delphi}: the objpas unit is used
};

// The shape of a declared type.
struct TTypeShape {
  enum TKind : uint8_t { tsOther, tsStructure, tsAlias, tsPointer, tsClassReference };
  TKind Kind = tsOther;
  bool Class = false;              // a class (TObject is its ancestor when none is named)
  std::vector<TTypeName> Ancestors;  // class(TAncestor, IIntf): the ancestor first
  std::vector<TDeclaredName> Members;
  std::vector<std::string> Includes;  // files its body includes, as named, which hold more members
  TTypeName Target;                // what an alias, pointer or class reference stands for
};

class TSourceModel {
public:
  // ASymbols: the target's, whose conditional branches the text is read
  // for (they must outlive the model); null for none.
  explicit TSourceModel(std::string_view AText, const TTargetSymbols* ASymbols = nullptr);

  std::string_view Text() const { return FText; }
  const std::vector<TPascalToken>& Tokens() const;
  // Read the first time it is asked for.
  const TModuleFacts& Module() const;

  // Every routine with a body, in text order, each followed by the routines
  // nested in it (ADepth 1 and more).
  void ForEachRoutine(const std::function<void(const TRoutineScope& ARoutine, int ADepth)>& AVisit) const;
  // The routines that hold AOffset, the outermost first.
  std::vector<TRoutineScope> RoutinesAt(uint32_t AOffset) const;
  // The with statements that hold AOffset between ABegin and AEnd (a
  // routine's body), the outermost first; each a list of its expressions,
  // each expression a chain of names. "with A, B do" counts as "with A do
  // with B do", as the compiler reads it: one expression each.
  std::vector<std::vector<std::vector<std::string>>> WithsAt(uint32_t AOffset, uint32_t ABegin, uint32_t AEnd) const;
  // The chain of names that ends with the name at AOffset ("inherited"
  // first after that word); empty when AOffset is on no name. ANameOffset
  // tells where the last name starts.
  std::vector<std::string> ChainAt(uint32_t AOffset, uint32_t& ANameOffset) const;
  // Where the name stands of the class, record or object whose body holds
  // AOffset (the innermost); UINT32_MAX when none does.
  uint32_t StructureAt(uint32_t AOffset) const;
  // The shape of the type whose name stands at ANameOffset.
  TTypeShape TypeAt(uint32_t ANameOffset) const;
  // The members the text declares when it is read as part of a structure's
  // body (an include file of one: TTypeShape::Includes).
  std::vector<TDeclaredName> MembersOfBody() const;
  // The declared type of the declaration (a variable, a constant, a field,
  // a property, a function's result) whose name stands at ANameOffset.
  TTypeName DeclaredTypeAt(uint32_t ANameOffset) const;
  // The byte offset of a line and column (both from 1).
  uint32_t OffsetOf(uint32_t ALine, uint32_t AColumn) const;
  // The line and column (both from 1) of a byte offset.
  void LineColumnOf(uint32_t AOffset, uint32_t& ALine, uint32_t& AColumn) const;

private:
  std::string FText;
  const TTargetSymbols* FSymbols;
  mutable std::vector<TPascalToken> FTokens;
  mutable bool FTokensRead = false;
  // The tokens the target's compiler reads (those of the branches it skips
  // left out) and the conditional directives among them: what the text's
  // routines, blocks and types are read from.
  mutable std::vector<TPascalToken> FReadTokens;  // when FAllRead, FTokens stands for them
  mutable bool FAllRead = true;
  mutable std::vector<TPascalDirective> FDirectives;
  const std::vector<TPascalToken>& ReadTokens() const;
  mutable std::vector<uint32_t> FLineStarts;
  const std::vector<uint32_t>& LineStarts() const;
  mutable TModuleFacts FModule;
  mutable bool FModuleRead = false;
  // The text's routines, read the first time a place's are asked for: a
  // search for references asks for many places of one text.
  struct TRoutines;
  mutable std::shared_ptr<const TRoutines> FRoutines;
  const TRoutines& Routines() const;
  // The structures' spans, read the first time one is asked for.
  struct TStructureSpan {
    uint32_t Name, Begin, End;  // the name's offset, the structure word's, the end's
  };
  mutable std::shared_ptr<const std::vector<TStructureSpan>> FStructures;
  mutable std::shared_ptr<const std::vector<TDeclaredName>> FBodyMembers;  // read the first time they are asked for
  // The shapes of the types asked for, by their names' offsets.
  mutable std::unordered_map<uint32_t, TTypeShape> FShapes;
  TTypeShape ReadTypeAt(uint32_t ANameOffset) const;
};

}  // namespace Vantry
