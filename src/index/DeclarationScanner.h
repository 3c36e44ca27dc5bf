#pragma once
// Finds the declarations of one Pascal source file: units and programs, the
// types of type sections (and the values of enumerations), the methods and
// properties of classes, objects, records and interfaces, constants,
// resource strings, variables and routines. No C++ library reads Pascal;
// this is a lexer of our own (a byte table drives it) under a parser that
// knows only the shapes of declarations and skips everything else.
//
// What it indexes: a unit's interface section; in its implementation
// section the types, constants and variables and every routine's body
// (marked as a definition: a body whose heading is in the interface, a
// method's body, a routine the implementation alone declares); a
// program's or library's declarations and its methods' bodies; an include
// file as it comes (it has no section of its own: one that carries on its
// includer's type or const section is read as that section), its routines'
// and methods' bodies counting as definitions. A method's body
// ("procedure TOuter.TInner.Run", "TList<T>.Add", "class operator
// TComplex.+") is named by its last name and owned by its type, which is
// linked by name: to the type of that name in the same text, else by the
// table to the one in the library. A class's members are its methods, properties,
// constants and nested types; Objective-C classes, protocols and categories
// count as classes, interfaces and helpers; an operator is named by its
// symbol (":=", "+") or word. Every branch of a conditional directive is
// read; nothing in comments and strings is, and comments nest as the
// text's {$mode} has them (Free Pascal's default mode nests them, and an
// include file starts in it). A file that is broken or strange (an
// unterminated comment, binary data, a line of 50 MB) gives what can be
// read, in time linear in its size. Lines end at LF, CR LF or a lone CR, as
// the compiler counts them; a UTF-8 byte order mark is no part of the text.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Vantry {

struct TTargetSymbols;

enum TDeclarationKind : uint8_t {
  dkUnit, dkProgram, dkLibrary,
  dkClass, dkObject, dkRecord, dkInterface, dkHelper, dkEnum, dkSet, dkPointer, dkProcedureType, dkArray,
  dkClassReference, dkType,
  dkProcedure, dkFunction, dkConstructor, dkDestructor, dkOperator,
  dkClassProcedure, dkClassFunction, dkClassConstructor, dkClassDestructor, dkClassOperator,
  dkProperty, dkClassProperty,
  dkConst, dkResourceString, dkVar, dkThreadVar, dkEnumValue,
  dkKindCount
};

// The kind as a user reads it: "class", "class function", "enum value".
const char* DeclarationKindName(TDeclarationKind AKind);

// One declaration as found: its name (and its owner's, for members,
// methods' bodies and enumeration values), both views into the scanned
// text, and the owner's own declaration (its index among the file's, or -1:
// a method's body whose type another file declares); where its name starts
// (1-based line; column in bytes, 1-based); and whether it is a routine's
// definition (its body, which is declared elsewhere too, or declared
// nowhere else); and whether it is hidden from other units.
struct TFoundDeclaration {
  std::string_view Name;
  std::string_view Owner;
  std::string_view OuterOwner;  // a nested type's method's body: the type around the owner ("TOuter")
  int32_t OwnerIndex = -1;
  uint32_t Line = 0;
  uint32_t Column = 0;
  TDeclarationKind Kind = dkType;
  bool Definition = false;
  bool Hidden = false;   // in a unit's implementation: seen by that unit alone
  bool Skipped = false;  // in a conditional branch the target's compiler skips
};

// Scans texts one after the other, reusing its memory: an indexer keeps one
// per thread.
class TDeclarationScanner {
public:
  TDeclarationScanner();
  ~TDeclarationScanner();
  TDeclarationScanner(const TDeclarationScanner&) = delete;
  TDeclarationScanner& operator=(const TDeclarationScanner&) = delete;

  // The declarations of a file's text, in the order they stand; valid until
  // the next Scan, and while the text lives. AInclude: the text is an
  // include file (*.inc).
  const std::vector<TFoundDeclaration>& Scan(std::string_view AText, bool AInclude);
  // The symbols of the target whose conditional branches the scans follow
  // (they must outlive the scanner); null, the default, for none.
  void SetTarget(const TTargetSymbols* ASymbols);
  // What the last text links to: the units its uses clauses name and the
  // files its directives include, each a kind byte ('u' a unit the
  // interface or a program uses, 'm' one the implementation uses, 'i' an
  // included file, 'h' one a unit's implementation includes, 'x' one in a
  // branch the target's compiler skips, 'c' after an include inside a
  // structure's body: the structure's name, 'o' the mode a {$mode} sets, in
  // lower case), the name as written, and a zero byte; in text order.
  const std::string& Links() const;
  // The names the last text holds outside comments and strings (reserved
  // words among them), each once, as NameHash gives them, in ascending
  // order: what tells a search for a name's references which files to read.
  // Worked out when first asked for, while the text lives.
  const std::vector<uint32_t>& NameHashes() const;

private:
  struct TState;
  std::unique_ptr<TState> FState;
};

// The same, for one text, with names copied: for tests and tools.
struct TDeclaration {
  std::string Name;
  std::string Owner;
  uint32_t Line = 0;
  uint32_t Column = 0;
  TDeclarationKind Kind = dkType;
  bool Definition = false;
  bool Hidden = false;
  bool Skipped = false;
};
std::vector<TDeclaration> ScanDeclarations(std::string_view AText, bool AInclude);

// The include files that a library's files include only inside a
// structure's body, all of them inside the same one (a class whose methods
// stand in a file of their own, as each LCL widgetset keeps its class's):
// by the file's name in lower case without its folder, the structure's
// name. ALinks: each file's links, as Links gives them. Such a file's own
// declarations of a member's kind (IsMemberKind) are the structure's
// members.
std::unordered_map<std::string, std::string> MemberIncludes(const std::vector<std::string_view>& ALinks);
bool IsMemberKind(TDeclarationKind AKind);

// A name's hash for the index of which files name what: the same for every
// spelling of the name in upper and lower case.
uint32_t NameHash(std::string_view AName);

// Whether the file name is an include file's (*.inc), ignoring case.
bool IsIncludeFileName(std::string_view AName);

// The units a source's uses clauses name, in order, each once ("in 'file'"
// parts left out; a dotted name kept whole), as the scan notes them: those
// in a conditional branch the target's compiler skips left out (ASymbols:
// the target's, which must outlive the call; null for none).
std::vector<std::string> UsedUnits(std::string_view AText, const TTargetSymbols* ASymbols = nullptr);

// A token of a Pascal source, for readers of a text's structure: names
// (reserved words among them; an escaped &name without its '&'), numbers,
// strings and symbols. Comments and directives are passed over.
struct TPascalToken {
  enum TKind : uint8_t { tkName, tkNumber, tkString, tkSymbol };
  TKind Kind;
  char Symbol;  // a symbol's byte: '.' '(' ';'...; ".." is 'R', ":=" is 'A', "(." '[' and ".)" ']'
  uint32_t Offset;
  uint32_t Length;
  bool Skipped = false;  // in a conditional branch the target's compiler skips
};
std::vector<TPascalToken> Tokenize(std::string_view AText);

// A directive among a text's tokens that tells how it is read: a
// conditional's {$if...} (pdIf), {$else} or {$elseif} (pdElse), {$endif}
// (pdEnd), or an include ({$i name}, pdInclude), standing before token
// Token.
struct TPascalDirective {
  enum TKind : uint8_t { pdIf, pdElse, pdEnd, pdInclude };
  TKind Kind;
  bool Skipped;     // the target's compiler skips the text after it (an include: skips the include)
  uint32_t Token;   // the index of the token after it (the count of tokens at the text's end)
  uint32_t Offset = 0, Length = 0;  // an include's file name, as written
};
// The tokens as the target's compiler reads them (ASymbols: the target's;
// null for none): those in branches it skips are marked, and ADirectives
// (when not null) gets the directives among them.
std::vector<TPascalToken> Tokenize(std::string_view AText, const TTargetSymbols* ASymbols,
                                   std::vector<TPascalDirective>* ADirectives);

// The name at byte AOffset of a source (the cursor on it or just after it),
// and its owner when the text reads Owner.Name there; both empty when the
// cursor is on no name or on a number. Only the text around the cursor is
// read: a name in a comment counts as a name.
struct TNameAtCursor {
  std::string Owner;
  std::string Name;
};
TNameAtCursor NameAt(std::string_view AText, size_t AOffset);

}  // namespace Vantry
