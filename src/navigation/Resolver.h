#pragma once
// Answers "what does the name at this place mean" as the Free Pascal
// compiler binds it: through the with statements around the place, the
// routine's parameters and locals (and those of the routines it is nested
// in), the members of the method's class and its ancestors, the unit's own
// declarations (its include files among them), then the used units from
// the last of the implementation's uses clause back to the first, then the
// interface's, then objpas (in {$mode objfpc} and {$mode delphi}) and
// System. A dotted name (Unit.Name, Variable.Member, A.B.C) is followed
// through the declared types of variables, fields, properties and function
// results, and their ancestors.
//
// The text asked about may be unsaved, and may lie outside the library
// (the user's own program): it is read as it stands, and its uses clauses
// reach into the library's index.

#include "index/DeclarationTable.h"
#include "navigation/SourceModel.h"
#include "index/Target.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

// One place a name is declared.
struct TAnswer {
  std::string Path;  // the file's full path
  uint32_t Line = 0;
  uint32_t Column = 0;
  std::string Kind;  // "function", "class", "field", "parameter"...
  std::string Name;  // with its owner where it has one: TStringList.Sort
  uint32_t Declaration = TDeclarationTable::None;  // in the table, when it is one of the table's
};

struct TResolution {
  std::vector<TAnswer> Answers;  // best first; overloads together
  bool Scoped = false;  // found by the scope rules; false: guessed by the name alone, best ranked first
  std::string Via;      // where the scope rules found it: "from Classes, TStrings.Add, inherited"
  std::string Note;     // why the scope rules could not answer, when they could not
};

// One resolver serves many questions about one table; it keeps what it has
// read of the library's files. The table must outlive it.
class TResolver {
public:
  TResolver(std::shared_ptr<const TDeclarationTable> ATable, TTarget ATarget);
  ~TResolver();
  TResolver(const TResolver&) = delete;
  TResolver& operator=(const TResolver&) = delete;

  // The declarations the name at AOffset of AText means. APath is the
  // text's file (in the library or not; may be empty for a text of no
  // file). No name there: no answers. AGuess: see ResolveAt.
  TResolution Resolve(const std::string& APath, std::string_view AText, uint32_t AOffset, bool AGuess = false);

  // The same in two steps, for many places of one text: Open reads the
  // text, ResolveAt answers for a place in the text opened last.
  void Open(const std::string& APath, std::string_view AText);
  // Opens a file of the table as it is on disk, its declarations and links
  // taken from the table; false when it cannot be read.
  bool OpenFile(uint32_t AFile);
  // When the scope rules find nothing, the answer is empty and its Note
  // says why; AGuess: then answer namesakes by the name alone, ranked, with
  // Scoped false.
  TResolution ResolveAt(uint32_t AOffset, bool AGuess = false);
  // For a member declared at AOffset of the open text, inside a class,
  // object or record: the member of its ancestors it would override (no
  // answers when none has that name).
  TResolution InheritedAt(uint32_t AOffset);
  // Where the texts of the table's files are read whole from (OpenFile, as
  // references read every file that may refer to a name): the editors'
  // texts of the files open in them (unsaved edits and all) where ASource
  // gives one for a full path, else the files on disk. A declaration found
  // in the table is read where the saved file has it. The texts it gives
  // must stay as they are while a question is answered.
  using TTextSource = std::function<const std::string*(const std::string& AFullPath)>;
  void SetTextSource(TTextSource ASource);
  // The editor's text of the file at AFullPath, or null to read it from disk.
  const std::string* EditorText(const std::string& AFullPath) const;
  // The table it answers from.
  const TDeclarationTable& Table() const;
  // The text opened last, as read, and its file in the table (None when
  // the table has no such file).
  const TSourceModel& OpenText() const;
  uint32_t OpenFileIndex() const;
  // Which files of the table may refer to a declaration of
  // ADeclarationFile: those of its unit and of the units that use it; for a
  // member (AMember), also those of the units that use a unit whose
  // interface uses it, however deep, since a member is reached through the
  // types such units expose. Files of no unit may, and every file may see
  // System's and objpas's declarations.
  std::vector<bool> FilesThatMaySee(uint32_t ADeclarationFile, bool AMember);

private:
  struct TState;
  std::unique_ptr<TState> F;
};

}  // namespace Vantry
