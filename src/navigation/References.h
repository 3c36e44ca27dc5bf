#pragma once
// Finds every place in a library that refers to a declaration, as the
// compiler binds names: each file that names it (the index knows which files
// name what) is read, and each occurrence of the name outside comments and
// strings is resolved with the scope rules of "find declaration"; those that
// resolve to the declaration are its references. A Count of another class
// is none, nor is a namesake in another unit. Overloads that differ only in
// their parameters are one declaration here (the resolver does not tell
// them apart), and a method's overrides in descendant classes are listed as
// overrides; the calls bound to an override are included on request.

#include "navigation/Resolver.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

enum TReferenceKind : uint8_t {
  rkDeclaration,  // the declaration itself (or one of its overloads)
  rkDefinition,   // a routine's body: "function TStrings.Add(...)" in the implementation
  rkUse,          // a use: a call, a read, a type named
  rkOverride,     // an override in a descendant class, or its body
  rkOverrideUse,  // a use bound to an override (asked for by TReferenceOptions)
};
// "declaration", "definition", "reference", "override", "use of an override".
const char* ReferenceKindName(TReferenceKind AKind);

struct TReference {
  std::string Path;  // the file's full path
  uint32_t Line = 0;  // from 1
  uint32_t Column = 0;  // from 1, in bytes
  uint32_t Length = 0;  // of the name, in bytes
  std::string LineText;  // the line holding it, without its line end
  TReferenceKind Kind = rkUse;
};

// What references are looked for: a declaration with its overloads.
struct TReferenceTarget {
  std::string Name;  // as declared: "Add"
  std::string QualifiedName;  // "TStrings.Add"
  std::vector<TAnswer> Declarations;  // the declaration, then its overloads
  std::string Note;  // why there is no target; or that overloads are listed together
  bool Empty() const { return Declarations.empty(); }
};

struct TReferenceOptions {
  bool OverrideUses = false;  // also the uses bound to an override
};

class TReferenceSearch {
public:
  // The table must outlive the search.
  TReferenceSearch(std::shared_ptr<const TDeclarationTable> ATable, TTarget ATarget);
  ~TReferenceSearch();
  TReferenceSearch(const TReferenceSearch&) = delete;
  TReferenceSearch& operator=(const TReferenceSearch&) = delete;

  // The declaration the name at AOffset of AText (a file's unsaved text)
  // means.
  TReferenceTarget TargetAt(const std::string& APath, std::string_view AText, uint32_t AOffset);
  // Where the files' texts come from (TResolver::SetTextSource): the
  // editors' texts of the open files, else the files on disk.
  void SetTextSource(TResolver::TTextSource ASource);
  // A declaration of the table (a row of the declaration finder).
  TReferenceTarget TargetOf(uint32_t ADeclaration);
  // The best ranked declaration named "Name" or "Owner.Name", for the
  // target; or "Unit.Name", one the unit's file declares.
  TReferenceTarget TargetNamed(std::string_view AName);

  // The references to ATarget in the library, file by file in walk order,
  // in text order within a file. AProgress (may be empty) hears how many
  // of the files to read are done, between files; ACancel (may be null)
  // stops the search, which then answers what it found so far.
  std::vector<TReference> Find(const TReferenceTarget& ATarget, const TReferenceOptions& AOptions = {},
                               const std::atomic<bool>* ACancel = nullptr,
                               const std::function<void(size_t ADone, size_t ATotal)>& AProgress = {});

private:
  struct TState;
  std::unique_ptr<TState> F;
};

}  // namespace Vantry
