#include "navigation/SourceModel.h"

#include "index/FileStanding.h"
#include "navigation/TokenReader.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <functional>

// How it reads
// ------------
// From tokens, forward, with one rule for every unknown: step on. Type
// sections are passed by their shapes (a class, record or object body runs
// to its matching end), routine bodies by their blocks (begin, case, try
// and asm each open one that end closes). Nothing recurses deeper than
// MostNesting, and every loop moves at least one token. The structure is
// read as the target's compiler reads it: the tokens of the conditional
// branches it skips are left out, and the branches it may compile count as
// alternatives (TBranchDepths).

namespace Vantry {

namespace {

constexpr int MostNesting = 64;

using TTokens = TTokenReader::TTokens;

class TReader : public TTokenReader {
public:
  // ADirectives: the directives among ATokens (by the tokens' indexes), or
  // null.
  TReader(std::string_view AText, const TTokens& ATokens, const std::vector<TPascalDirective>* ADirectives = nullptr)
      : TTokenReader(AText, ATokens), FDirectives(ADirectives) {}

  bool IsSectionWord(size_t I) const {
    return IsAny(I, {"var", "const", "type", "label", "threadvar", "resourcestring", "begin", "asm", "implementation",
                     "initialization", "finalization", "uses", "exports"});
  }
  // A word that no declaration names: a reserved word the reader acts on.
  bool IsReserved(size_t I) const {
    return IsSectionWord(I) || IsRoutineWord(I) ||
           IsAny(I, {"end", "class", "record", "object", "interface", "property", "case", "of", "array", "set",
                     "packed", "with", "do", "if", "then", "else", "while", "for", "repeat", "until", "try",
                     "except", "finally", "inherited", "nil", "not", "and", "or"});
  }

  // Past the bracket that closes the one at I.
  size_t SkipBrackets(size_t I) const {
    const char open = FTokens[I].Symbol, close = open == '(' ? ')' : open == '[' ? ']' : '>';
    int depth = 0;
    for (; I < Count(); ++I) {
      if (IsSymbol(I, open)) ++depth;
      else if (IsSymbol(I, close) && --depth == 0) return I + 1;
      else if (open == '<' && (IsSymbol(I, ';') || IsSymbol(I, '='))) return I;
    }
    return I;
  }

  // Whether token I opens a structure that an end closes: record, object
  // (not "of object"), and class or interface after '=' or "packed".
  bool OpensStructure(size_t I) const {
    // Of two words side by side, each branch of a conditional's ("{$ifdef
    // A} record {$else} object {$endif}"), the last opens it.
    if (IsAny(I, {"record", "object"}) && IsAny(I + 1, {"record", "object"})) return false;
    if (Is(I, "record")) return true;
    if (Is(I, "object")) return !(I > 0 && Is(I - 1, "of"));
    if (IsAny(I, {"class", "interface", "dispinterface", "objcclass", "objcprotocol", "objccategory"})) {
      const bool placed = I > 0 && (IsSymbol(I - 1, '=') || IsAny(I - 1, {"packed", "type"}));
      // "class;" is declared forward, "class(TParent);" has no body.
      const size_t after = IsSymbol(I + 1, '(') ? SkipBrackets(I + 1) : I + 1;
      return placed && !IsSymbol(after, ';') && !Is(I + 1, "of");
    }
    return false;
  }
  // Past the end that closes the structure opened at I.
  size_t SkipStructure(size_t I) const {
    int depth = 0;
    for (; I < Count(); ++I) {
      if (OpensStructure(I)) ++depth;
      else if (Is(I, "end") && --depth == 0) return I + 1;
      else if (IsAny(I, {"implementation", "initialization", "finalization"})) return I;
    }
    return I;
  }
  // Whether the routine word at I starts a procedural type ("= procedure
  // of object", ": function: Integer", "reference to procedure") rather
  // than a routine.
  bool StartsProceduralType(size_t I) const {
    return I > 0 && (IsSymbol(I - 1, '=') || IsSymbol(I - 1, ':') || Is(I - 1, "to"));
  }
  // Past a type definition's ';' (structures skipped whole), or to a word
  // that starts a section.
  size_t SkipDefinition(size_t I) const {
    for (int depth = 0; I < Count();) {
      if (OpensStructure(I)) {
        I = SkipStructure(I);
        continue;
      }
      if (IsSymbol(I, '(') || IsSymbol(I, '[')) ++depth;
      else if (IsSymbol(I, ')') || IsSymbol(I, ']')) depth = std::max(0, depth - 1);
      else if (IsSymbol(I, ';') && depth == 0) return I + 1;
      else if (depth == 0 && (IsSectionWord(I) || (IsRoutineWord(I) && !StartsProceduralType(I)) || Is(I, "end")))
        return I;
      ++I;
    }
    return I;
  }
  // Past a block that opens at I (begin, case, try, asm) and its end; or,
  // where conditionals left it unbalanced, to a word that no block holds (a
  // routine's heading, a section of the unit).
  size_t SkipBlock(size_t I) const {
    int depth = 0;
    TBranchDepths branches(FDirectives, I);
    for (; I < Count(); ++I) {
      branches.Before(I, depth);
      if (IsAny(I, {"begin", "case", "try", "asm"})) ++depth;
      else if (Is(I, "end") && --depth == 0) return I + 1;
      else if (depth > 0 && Is(I, "record")) ++depth;  // an anonymous record in a statement's cast
      else if ((IsAny(I, {"procedure", "function", "constructor", "destructor"}) && !StartsProceduralType(I)) ||
               IsAny(I, {"implementation", "initialization", "finalization"}))
        return I;
    }
    return I;
  }

  // A type as written at I: Unit.Name, ^Name, specialize Name<...>; empty
  // for one written out in place. I moves past what was read.
  TTypeName TypeName(size_t& I) const {
    TTypeName type;
    // An array is looked into as its elements are: Items[I].Name.
    for (int guard = 0; Is(I, "array") && guard < MostNesting; ++guard) {
      ++I;
      if (IsSymbol(I, '[')) I = SkipBrackets(I);
      if (!Is(I, "of")) return type;
      ++I;
    }
    if (Is(I, "packed")) ++I;
    if (IsSymbol(I, '^')) ++I;
    if (Is(I, "specialize")) ++I;
    if (Is(I, "string")) {
      ++I;
      return {{}, "string"};
    }
    if (!IsName(I) || IsReserved(I)) return type;
    std::vector<std::string> parts{std::string(TextOf(I++))};
    while (IsSymbol(I, '.') && IsName(I + 1)) {
      parts.emplace_back(TextOf(I + 1));
      I += 2;
    }
    if (IsSymbol(I, '<')) I = SkipBrackets(I);
    type.Name = parts.back();
    parts.pop_back();
    for (const std::string& p : parts) type.Unit += (type.Unit.empty() ? "" : ".") + p;
    return type;
  }

  // Names, then ':' and a type: a parameter group, a variable declaration,
  // fields. I moves to the token after the type.
  void NameGroup(size_t& I, const char* AKind, std::vector<TDeclaredName>& AOut) const {
    const size_t first = AOut.size();
    while (IsName(I) && !IsReserved(I)) {
      AOut.push_back({std::string(TextOf(I)), At(I).Offset, AKind, {}});
      ++I;
      if (!IsSymbol(I, ',')) break;
      ++I;
    }
    if (!IsSymbol(I, ':')) return;
    ++I;
    const TTypeName type = TypeName(I);
    for (size_t k = first; k < AOut.size(); ++k) AOut[k].Type = type;
  }

  // A parameter list from its '(' to past its ')'.
  size_t Parameters(size_t I, std::vector<TDeclaredName>& AOut) const {
    const size_t end = SkipBrackets(I);
    for (++I; I < end;) {
      if (IsAny(I, {"const", "var", "out", "constref"})) ++I;
      const size_t before = I;
      NameGroup(I, "parameter", AOut);
      while (I < end && !IsSymbol(I, ';')) I = IsSymbol(I, '(') || IsSymbol(I, '[') ? SkipBrackets(I) : I + 1;
      if (I == before) ++I;
      else if (I < end) ++I;
    }
    return end;
  }

private:
  // The depth of blocks as the branches of conditional directives leave
  // it: each branch of a {$if} starts at the depth the {$if} found, and
  // after its {$endif} the text goes on at the deepest a compiled branch
  // left (the branches of "{$ifdef A} begin {$else} asm {$endif} ... end"
  // open one block, not two). A branch the target's compiler skips counts
  // for nothing. A directive of a {$if} before the reading started belongs
  // to one whose depth is where the reading started.
  class TBranchDepths {
  public:
    TBranchDepths(const std::vector<TPascalDirective>* ADirectives, size_t AFrom) : FDirectives(ADirectives) {
      if (!FDirectives) return;
      FNext = static_cast<size_t>(std::lower_bound(FDirectives->begin(), FDirectives->end(), AFrom,
                                                   [](const TPascalDirective& B, size_t I) { return B.Token < I; }) -
                                  FDirectives->begin());
    }
    // Applies the directives that stand before token I.
    void Before(size_t I, int& ADepth) {
      if (!FDirectives) return;
      for (; FNext < FDirectives->size() && (*FDirectives)[FNext].Token <= I; ++FNext) {
        const TPascalDirective& b = (*FDirectives)[FNext];
        if (b.Kind == TPascalDirective::pdInclude) continue;
        if (b.Kind == TPascalDirective::pdIf) {
          if (FFrames.size() < MostFrames) FFrames.push_back({ADepth, ADepth, false, b.Skipped});
          continue;
        }
        if (FFrames.empty()) FFrames.push_back({0, 0, false, false});  // opened before the reading
        TFrame& f = FFrames.back();
        if (!f.BranchSkipped) {  // the branch that ends here counts
          f.Deepest = f.Counted ? std::max(f.Deepest, ADepth) : ADepth;
          f.Counted = true;
        }
        if (b.Kind == TPascalDirective::pdElse) {
          ADepth = f.Start;
          f.BranchSkipped = b.Skipped;
        } else {
          ADepth = f.Counted ? f.Deepest : f.Start;
          FFrames.pop_back();
        }
      }
    }

  private:
    static constexpr size_t MostFrames = 256;
    struct TFrame {
      int Start;     // the depth at the {$if}
      int Deepest;   // the deepest a compiled branch left, so far
      bool Counted;  // a compiled branch has ended
      bool BranchSkipped;  // the branch being read is skipped
    };
    const std::vector<TPascalDirective>* FDirectives;
    size_t FNext = 0;
    std::vector<TFrame> FFrames;
  };

  const std::vector<TPascalDirective>* FDirectives;
};

std::string Lower(std::string_view AText) { return LowerCase(std::string(AText)); }

// A routine read with its nested routines.
struct TParsedRoutine {
  TRoutineScope Scope;
  std::vector<TParsedRoutine> Nested;
};

class TRoutineReader {
public:
  explicit TRoutineReader(const TReader& AReader) : R(AReader) {}

  // The routines of the whole text, with bodies.
  std::vector<TParsedRoutine> All() {
    std::vector<TParsedRoutine> out;
    bool interface = false;
    for (size_t i = 0; i < R.Count();) {
      if (R.Is(i, "interface") && !(i > 0 && R.IsSymbol(i - 1, '='))) {
        interface = true;
        ++i;
      } else if (R.Is(i, "implementation")) {
        interface = false;
        ++i;
      } else if (R.OpensStructure(i)) {
        i = R.SkipStructure(i);
      } else if ((R.IsRoutineWord(i) && !R.StartsProceduralType(i)) || (R.Is(i, "class") && R.IsRoutineWord(i + 1))) {
        // (A procedural type, "TProc = procedure of object" or "var P:
        // procedure", is no routine.)
        TParsedRoutine routine;
        i = Routine(i, !interface, 0, routine);
        if (routine.Scope.End > routine.Scope.Begin) out.push_back(std::move(routine));
      } else {
        ++i;
      }
    }
    return out;
  }

private:
  // A routine from its heading at I; with ABody, its local declarations and
  // body too (when it has them). Returns where reading goes on.
  size_t Routine(size_t I, bool ABody, int ANesting, TParsedRoutine& AOut) {
    TRoutineScope& scope = AOut.Scope;
    scope.Begin = R.At(I).Offset;
    if (R.Is(I, "class")) {
      scope.ClassMethod = true;
      ++I;
    }
    const bool function = R.Is(I, "function") || R.Is(I, "operator");
    const std::string_view first = R.TextOf(I + 1);  // the name as it starts, which another branch's heading repeats
    ++I;
    std::vector<std::string> parts;
    while (R.IsName(I) || (R.At(I).Kind == TPascalToken::tkSymbol && parts.empty() && !R.IsSymbol(I, '('))) {
      parts.emplace_back(R.TextOf(I++));
      if (R.IsSymbol(I, '<')) I = R.SkipBrackets(I);
      if (!R.IsSymbol(I, '.')) break;
      ++I;
    }
    if (!parts.empty()) {
      scope.Name = parts.back();
      if (parts.size() > 1) scope.Owner = parts[parts.size() - 2];
    }
    if (R.IsSymbol(I, '(')) I = R.Parameters(I, scope.Locals);
    if (R.IsSymbol(I, ':')) {
      ++I;
      if (R.IsName(I) && R.IsSymbol(I + 1, ':')) I += 2;  // an operator's named result
      scope.Result = R.TypeName(I);
    }
    (void)function;
    // Directives: "overload;", "external 'lib' name 'x';", "[public];"
    bool bodiless = !ABody;
    for (;;) {
      while (I < R.Count() && !R.IsSymbol(I, ';') && !R.IsSectionWord(I) && !R.IsRoutineWord(I)) ++I;
      if (R.IsSymbol(I, ';')) ++I;
      if (R.IsSymbol(I, '[')) {
        I = R.SkipBrackets(I);
        continue;
      }
      if (!R.IsName(I) || R.IsReserved(I) || R.Is(I, "generic")) break;
      bodiless |= R.IsAny(I, {"forward", "external"});
    }
    if (bodiless) return I;
    // Local declarations and nested routines, then the body.
    while (I < R.Count()) {
      if (R.IsAny(I, {"var", "threadvar"})) {
        for (++I; R.IsName(I) && !R.IsReserved(I);) {
          R.NameGroup(I, "var", scope.Locals);
          I = R.SkipDefinition(I);
        }
      } else if (R.IsAny(I, {"const", "resourcestring"})) {
        for (++I; R.IsName(I) && !R.IsReserved(I);) {
          TDeclaredName name{std::string(R.TextOf(I)), R.At(I).Offset, "const", {}};
          ++I;
          if (R.IsSymbol(I, ':')) name.Type = R.TypeName(++I);
          scope.Locals.push_back(std::move(name));
          I = R.SkipDefinition(I);
        }
      } else if (R.Is(I, "type")) {
        for (++I; R.IsName(I) && !R.IsReserved(I) && (R.IsSymbol(I + 1, '=') || R.IsSymbol(I + 1, '<'));) {
          scope.Locals.push_back({std::string(R.TextOf(I)), R.At(I).Offset, "type", {}});
          I = R.SkipDefinition(I + 1);
        }
      } else if (R.Is(I, "label")) {
        I = R.SkipDefinition(I + 1);
      } else if ((R.IsRoutineWord(I) || (R.Is(I, "class") && R.IsRoutineWord(I + 1))) && ANesting < MostNesting) {
        // A heading of the routine's own name is another branch's heading
        // of it ("{$ifdef A} procedure P(X: Word); {$else} procedure P(X:
        // Byte); {$endif} begin"): the body that follows is that one's.
        if (R.IsRoutineWord(I) && R.IsName(I + 1) && SameText(R.TextOf(I + 1), first)) break;
        TParsedRoutine nested;
        const size_t heading = I;
        I = Routine(I, true, ANesting + 1, nested);
        const size_t nameAt = R.Is(heading, "class") ? heading + 2 : heading + 1;
        if (R.IsName(nameAt))
          scope.Locals.push_back({std::string(R.TextOf(nameAt)), R.At(nameAt).Offset,
                                  std::string(R.TextOf(R.Is(heading, "class") ? heading + 1 : heading)), nested.Scope.Result});
        if (nested.Scope.End > nested.Scope.Begin) AOut.Nested.push_back(std::move(nested));
      } else if (R.IsAny(I, {"begin", "asm"})) {
        const size_t end = R.SkipBlock(I);
        scope.End = end > 0 ? R.At(end - 1).Offset + R.At(end - 1).Length : scope.Begin;
        // The variables of exception handlers ("on E: Exception do"), each
        // in reach in its handler: here in the routine's body.
        for (size_t k = I; k + 4 < end; ++k)
          if (R.Is(k, "on") && R.IsName(k + 1) && !R.IsReserved(k + 1) && R.IsSymbol(k + 2, ':')) {
            size_t type = k + 3;
            TDeclaredName handler{std::string(R.TextOf(k + 1)), R.At(k + 1).Offset, "var", R.TypeName(type)};
            if (R.Is(type, "do")) scope.Locals.push_back(std::move(handler));
          }
        return R.IsSymbol(end, ';') ? end + 1 : end;
      } else {
        break;  // not a routine's body after all
      }
    }
    return I;
  }

  const TReader& R;
};

void Collect(const std::vector<TParsedRoutine>& ARoutines, uint32_t AOffset, std::vector<TRoutineScope>& AOut) {
  for (const TParsedRoutine& r : ARoutines)
    if (r.Scope.Begin <= AOffset && AOffset < r.Scope.End) {
      AOut.push_back(r.Scope);
      Collect(r.Nested, AOffset, AOut);
      return;
    }
}

// The members of a structure whose body starts at I, to its end.
void Members(const TReader& R, size_t I, std::vector<TDeclaredName>& AOut, int ANesting) {
  while (I < R.Count() && !R.Is(I, "end")) {
    if (R.IsAny(I, {"implementation", "initialization", "finalization"})) return;
    if (R.IsAny(I, {"private", "protected", "public", "published", "strict", "automated", "var", "class",
                    "required", "optional"})) {
      ++I;
    } else if (R.IsRoutineWord(I)) {
      const bool function = R.IsAny(I, {"function", "operator"});
      const std::string kind = Lower(R.TextOf(I));
      ++I;
      TDeclaredName name{std::string(R.TextOf(I)), R.At(I).Offset, kind, {}};
      if (R.IsName(I)) ++I;
      if (R.IsSymbol(I, '(')) I = R.SkipBrackets(I);
      if (function && R.IsSymbol(I, ':')) name.Type = R.TypeName(++I);
      if (!name.Name.empty() && !R.IsSymbol(I, '.') && !R.IsSymbol(I, '=')) AOut.push_back(std::move(name));
      I = R.SkipDefinition(I);
    } else if (R.Is(I, "property")) {
      ++I;
      TDeclaredName name{std::string(R.TextOf(I)), R.At(I).Offset, "property", {}};
      ++I;
      if (R.IsSymbol(I, '[')) I = R.SkipBrackets(I);
      if (R.IsSymbol(I, ':')) name.Type = R.TypeName(++I);
      AOut.push_back(std::move(name));
      I = R.SkipDefinition(I);
    } else if (R.Is(I, "type")) {
      for (++I; R.IsName(I) && !R.IsReserved(I) && (R.IsSymbol(I + 1, '=') || R.IsSymbol(I + 1, '<'));) {
        AOut.push_back({std::string(R.TextOf(I)), R.At(I).Offset, "type", {}});
        I = R.SkipDefinition(I + 1);
      }
    } else if (R.Is(I, "const")) {
      for (++I; R.IsName(I) && !R.IsReserved(I) && (R.IsSymbol(I + 1, '=') || R.IsSymbol(I + 1, ':'));) {
        TDeclaredName name{std::string(R.TextOf(I)), R.At(I).Offset, "const", {}};
        if (R.IsSymbol(I + 1, ':')) {
          size_t at = I + 2;
          name.Type = R.TypeName(at);
        }
        AOut.push_back(std::move(name));
        I = R.SkipDefinition(I + 1);
      }
    } else if (R.Is(I, "case")) {
      // A variant part: "case Tag: T of 0: (A: T; B: U); 1: (...)", up to
      // the record's end.
      ++I;
      if (R.IsName(I) && R.IsSymbol(I + 1, ':')) R.NameGroup(I, "field", AOut);
      while (I < R.Count() && !R.Is(I, "of")) ++I;
      for (++I; I < R.Count() && !R.Is(I, "end");) {
        if (R.IsSymbol(I, '(') && ANesting < MostNesting) {
          const size_t close = R.SkipBrackets(I);
          std::vector<TDeclaredName> fields;
          Members(R, I + 1, fields, ANesting + 1);
          for (TDeclaredName& f : fields)
            if (f.Offset < (close > 0 ? R.At(close - 1).Offset : 0)) AOut.push_back(std::move(f));
          I = close;
        } else {
          ++I;
        }
      }
      return;
    } else if (R.IsName(I) && (R.IsSymbol(I + 1, ':') || R.IsSymbol(I + 1, ','))) {
      R.NameGroup(I, "field", AOut);
      I = R.SkipDefinition(I);
    } else if (R.IsSymbol(I, '[')) {
      I = R.SkipBrackets(I);
    } else if (R.IsSymbol(I, ')')) {
      return;  // the end of a variant's fields
    } else {
      // A directive, or what a broken text left: on, at least a token.
      I = std::max(R.IsName(I) ? R.SkipDefinition(I) : I, I + 1);
    }
  }
}

// The token that holds AOffset (or ends just before it); Count when none.
size_t TokenAt(const TTokens& ATokens, uint32_t AOffset) {
  auto it = std::upper_bound(ATokens.begin(), ATokens.end(), AOffset,
                             [](uint32_t AAt, const TPascalToken& AToken) { return AAt < AToken.Offset; });
  if (it == ATokens.begin()) return ATokens.size();
  const size_t i = static_cast<size_t>(it - ATokens.begin()) - 1;
  return AOffset <= ATokens[i].Offset + ATokens[i].Length ? i : ATokens.size();
}

}  // namespace

TSourceModel::TSourceModel(std::string_view AText, const TTargetSymbols* ASymbols) : FText(AText), FSymbols(ASymbols) {}

// The tokens and the lines are read the first time they are needed: a
// resolver reads a declaration's file often only to find its line.
const std::vector<TPascalToken>& TSourceModel::Tokens() const {
  if (!FTokensRead) {
    std::vector<TPascalDirective> directives;
    FTokens = Tokenize(FText, FSymbols, &directives);
    FTokensRead = true;
    FAllRead = std::none_of(FTokens.begin(), FTokens.end(), [](const TPascalToken& T) { return T.Skipped; });
    if (FAllRead) {
      FDirectives = std::move(directives);
    } else {
      // The directives by the index of the token after them among those read.
      FReadTokens.reserve(FTokens.size());
      size_t next = 0;
      for (size_t i = 0; i <= FTokens.size(); ++i) {
        for (; next < directives.size() && directives[next].Token <= i; ++next) {
          FDirectives.push_back(directives[next]);
          FDirectives.back().Token = static_cast<uint32_t>(FReadTokens.size());
        }
        if (i < FTokens.size() && !FTokens[i].Skipped) FReadTokens.push_back(FTokens[i]);
      }
    }
  }
  return FTokens;
}

const std::vector<TPascalToken>& TSourceModel::ReadTokens() const {
  Tokens();
  return FAllRead ? FTokens : FReadTokens;
}

const std::vector<uint32_t>& TSourceModel::LineStarts() const {
  if (!FLineStarts.empty()) return FLineStarts;
  FLineStarts.push_back(0);
  for (uint32_t i = 0; i < FText.size(); ++i) {
    // A lone CR ends a line as a LF or CR LF does.
    if (FText[i] == '\n' || (FText[i] == '\r' && (i + 1 >= FText.size() || FText[i + 1] != '\n'))) FLineStarts.push_back(i + 1);
  }
  return FLineStarts;
}

// The module's facts as the index reads them: the scanner's module
// declaration and its links (uses clauses, the first {$mode}), read for the
// target.
const TModuleFacts& TSourceModel::Module() const {
  if (FModuleRead) return FModule;
  FModuleRead = true;
  TDeclarationScanner scanner;
  scanner.SetTarget(FSymbols);
  const std::vector<TFoundDeclaration>& found = scanner.Scan(FText, false);
  if (!found.empty() && found.front().Kind <= dkLibrary) {
    FModule.Name = found.front().Name;
    FModule.Unit = found.front().Kind == dkUnit;
  }
  bool modeSet = false;
  ForEachLink(scanner.Links(), [&](char AKind, std::string_view AName) {
    if (AKind == 'u') FModule.InterfaceUses.emplace_back(AName);
    if (AKind == 'm') FModule.ImplementationUses.emplace_back(AName);
    if (AKind == 'o' && !modeSet) {
      modeSet = true;
      FModule.ObjectPascal = ModeUsesObjpas(AName);
    }
  });
  return FModule;
}

struct TSourceModel::TRoutines {
  std::vector<TParsedRoutine> All;
};

const TSourceModel::TRoutines& TSourceModel::Routines() const {
  if (!FRoutines) {
    const TReader r(FText, ReadTokens(), &FDirectives);
    FRoutines = std::make_shared<const TRoutines>(TRoutines{TRoutineReader(r).All()});
  }
  return *FRoutines;
}

void TSourceModel::ForEachRoutine(const std::function<void(const TRoutineScope&, int)>& AVisit) const {
  const std::function<void(const std::vector<TParsedRoutine>&, int)> visit = [&](const auto& ARoutines, int ADepth) {
    for (const TParsedRoutine& r : ARoutines) {
      AVisit(r.Scope, ADepth);
      visit(r.Nested, ADepth + 1);
    }
  };
  visit(Routines().All, 0);
}

std::vector<TRoutineScope> TSourceModel::RoutinesAt(uint32_t AOffset) const {
  std::vector<TRoutineScope> out;
  Collect(Routines().All, AOffset, out);
  return out;
}

std::vector<std::vector<std::vector<std::string>>> TSourceModel::WithsAt(uint32_t AOffset, uint32_t ABegin,
                                                                        uint32_t AEnd) const {
  const TReader r(FText, ReadTokens(), &FDirectives);
  std::vector<std::vector<std::vector<std::string>>> out;
  size_t i = TokenAt(ReadTokens(), ABegin);
  for (; i < r.Count() && r.At(i).Offset < AEnd; ++i) {
    if (!r.Is(i, "with")) continue;
    std::vector<std::vector<std::string>> expressions(1);
    std::vector<uint32_t> starts;  // where each expression's scope starts: at the ',' or do after it
    size_t k = i + 1;
    for (int depth = 0; k < r.Count() && !(depth == 0 && r.Is(k, "do")); ++k) {
      if (r.IsSymbol(k, '(') || r.IsSymbol(k, '[')) ++depth;
      else if (r.IsSymbol(k, ')') || r.IsSymbol(k, ']')) --depth;
      else if (depth == 0 && r.IsSymbol(k, ',')) expressions.emplace_back(), starts.push_back(r.At(k).Offset);
      else if (depth == 0 && r.IsName(k) && (expressions.back().empty() || r.IsSymbol(k - 1, '.')))
        expressions.back().emplace_back(r.TextOf(k));
      if (r.Is(k, "begin") || r.IsSymbol(k, ';')) break;  // no do: not a with statement after all
    }
    if (!r.Is(k, "do")) continue;
    // The statement after do: a block to its end, or up to the ';' (or the
    // end, else or until) that closes it.
    size_t end = k + 1;
    if (r.IsAny(end, {"begin", "case", "try", "asm"})) {
      end = r.SkipBlock(end);
    } else {
      for (int depth = 0; end < r.Count(); ++end) {
        if (r.IsAny(end, {"begin", "case", "try", "asm"})) ++depth;
        else if (r.Is(end, "end") && depth-- == 0) break;
        else if (depth == 0 && (r.IsSymbol(end, ';') || r.IsAny(end, {"else", "until"}))) break;
      }
    }
    starts.push_back(r.At(k).Offset);
    const uint32_t to = end < r.Count() ? r.At(end).Offset : static_cast<uint32_t>(FText.size());
    // "with A, B do" is "with A do with B do": B is read in A's scope.
    for (size_t e = 0; e < expressions.size(); ++e)
      if (starts[e] <= AOffset && AOffset <= to) out.push_back({std::move(expressions[e])});
  }
  return out;
}

std::vector<std::string> TSourceModel::ChainAt(uint32_t AOffset, uint32_t& ANameOffset) const {
  const TReader r(FText, Tokens());
  size_t i = TokenAt(Tokens(), AOffset);
  // Just after a name, before a symbol that touches it ("Name|;"): the name.
  if (i < r.Count() && !r.IsName(i) && i > 0 && r.IsName(i - 1) && r.At(i - 1).Offset + r.At(i - 1).Length == AOffset) --i;
  if (i >= r.Count() || !r.IsName(i)) return {};
  ANameOffset = r.At(i).Offset;
  std::vector<std::string> chain{std::string(r.TextOf(i))};
  while (i >= 2 && r.IsSymbol(i - 1, '.')) {
    size_t k = i - 2;
    // Calls, indexes and dereferences before the dot: "Items[i].Name",
    // "Owner().Name", "List^[i].Name".
    for (int guard = 0; (r.IsSymbol(k, ')') || r.IsSymbol(k, ']') || r.IsSymbol(k, '^')) && guard < MostNesting; ++guard) {
      if (r.IsSymbol(k, '^')) {
        if (k == 0) return chain;
        --k;
        continue;
      }
      const char close = r.At(k).Symbol, open = close == ')' ? '(' : '[';
      int depth = 0;
      for (; k > 0; --k) {
        if (r.IsSymbol(k, close)) ++depth;
        else if (r.IsSymbol(k, open) && --depth == 0) break;
      }
      if (k == 0) return chain;
      --k;
    }
    if (!r.IsName(k)) break;
    chain.insert(chain.begin(), std::string(r.TextOf(k)));
    i = k;
  }
  if (i >= 1 && r.Is(i - 1, "inherited")) chain.insert(chain.begin(), "inherited");
  return chain;
}

TTypeShape TSourceModel::TypeAt(uint32_t ANameOffset) const {
  // A resolver asks for the same types again and again.
  if (const auto it = FShapes.find(ANameOffset); it != FShapes.end()) return it->second;
  return FShapes[ANameOffset] = ReadTypeAt(ANameOffset);
}

TTypeShape TSourceModel::ReadTypeAt(uint32_t ANameOffset) const {
  // A type in a branch the target's compiler skips is read as it stands.
  const bool read = TokenAt(ReadTokens(), ANameOffset) < ReadTokens().size();
  const TReader r(FText, read ? ReadTokens() : Tokens(), read ? &FDirectives : nullptr);
  TTypeShape shape;
  size_t i = TokenAt(read ? ReadTokens() : Tokens(), ANameOffset);
  if (i >= r.Count()) return shape;
  ++i;
  if (r.IsSymbol(i, '<')) i = r.SkipBrackets(i);
  if (!r.IsSymbol(i, '=')) return shape;
  ++i;
  if (r.Is(i, "type")) ++i;
  if (r.IsAny(i, {"packed", "bitpacked"})) ++i;
  while (r.IsAny(i, {"record", "object"}) && r.IsAny(i + 1, {"record", "object"})) ++i;  // the branches' words
  if (r.IsSymbol(i, '^')) {
    ++i;
    shape.Kind = TTypeShape::tsPointer;
    shape.Target = r.TypeName(i);
    return shape;
  }
  if (r.Is(i, "class") && r.Is(i + 1, "of")) {
    i += 2;
    shape.Kind = TTypeShape::tsClassReference;
    shape.Target = r.TypeName(i);
    return shape;
  }
  if (r.OpensStructure(i) || r.Is(i, "class")) {
    shape.Kind = TTypeShape::tsStructure;
    shape.Class = r.Is(i, "class");
    const size_t word = i;
    ++i;
    if (r.IsAny(i, {"helper"})) return shape;  // a helper adds to another type: nothing of its own to look into here
    if (r.IsAny(i, {"abstract", "sealed", "external"})) ++i;
    if (r.IsSymbol(i, '(')) {
      const size_t end = r.SkipBrackets(i);
      for (++i; i < end;) {
        const TTypeName ancestor = r.TypeName(i);
        if (!ancestor.Empty()) shape.Ancestors.push_back(ancestor);
        while (i < end && !r.IsSymbol(i, ',')) ++i;
        ++i;
      }
      i = end;
    }
    if (!r.IsSymbol(i, ';')) {
      Members(r, i, shape.Members, 0);
      // The files its body includes: between its word and its end.
      const size_t end = read ? r.SkipStructure(word) : 0;
      for (const TPascalDirective& d : FDirectives)
        if (d.Kind == TPascalDirective::pdInclude && !d.Skipped && d.Token > word && d.Token < end)
          shape.Includes.emplace_back(FText.substr(d.Offset, d.Length));
    }
    return shape;
  }
  if ((r.IsName(i) && !r.IsReserved(i)) || r.Is(i, "array")) {
    shape.Kind = TTypeShape::tsAlias;
    shape.Target = r.TypeName(i);
  }
  return shape;
}

std::vector<TDeclaredName> TSourceModel::MembersOfBody() const {
  if (!FBodyMembers) {
    auto members = std::make_shared<std::vector<TDeclaredName>>();
    Members(TReader(FText, ReadTokens(), &FDirectives), 0, *members, 0);
    FBodyMembers = std::move(members);
  }
  return *FBodyMembers;
}

uint32_t TSourceModel::StructureAt(uint32_t AOffset) const {
  if (!FStructures) {
    // Every "Name = [packed] class|record|object|interface ... end" of the
    // text, in text order.
    auto structures = std::make_shared<std::vector<TStructureSpan>>();
    const TReader r(FText, ReadTokens(), &FDirectives);
    for (size_t i = 2; i < r.Count(); ++i) {
      if (!r.OpensStructure(i)) continue;
      size_t equals = i - 1;  // before "packed", and another branch's word ("{$ifdef A} record {$else} object")
      while (equals > 0 && r.IsAny(equals, {"packed", "bitpacked", "record", "object"})) --equals;
      const size_t name = equals - 1;
      if (equals == 0 || !r.IsName(name) || !r.IsSymbol(equals, '=')) continue;
      const size_t end = r.SkipStructure(i);
      const uint32_t to = end > 0 && end <= r.Count() ? r.At(end - 1).Offset : static_cast<uint32_t>(FText.size());
      structures->push_back({r.At(name).Offset, r.At(i).Offset, to});
    }
    FStructures = std::move(structures);
  }
  uint32_t found = UINT32_MAX;
  for (const TStructureSpan& s : *FStructures) {
    if (s.Begin >= AOffset) break;
    if (AOffset < s.End) found = s.Name;  // the innermost that holds it comes last
  }
  return found;
}

TTypeName TSourceModel::DeclaredTypeAt(uint32_t ANameOffset) const {
  // A declaration in a branch the target's compiler skips is read as it stands.
  const bool read = TokenAt(ReadTokens(), ANameOffset) < ReadTokens().size();
  const TReader r(FText, read ? ReadTokens() : Tokens());
  size_t i = TokenAt(read ? ReadTokens() : Tokens(), ANameOffset);
  if (i >= r.Count()) return {};
  ++i;
  while (r.IsSymbol(i, ',') && r.IsName(i + 1)) i += 2;  // A, B: T
  if (r.IsSymbol(i, '<')) i = r.SkipBrackets(i);
  if (r.IsSymbol(i, '(') || r.IsSymbol(i, '[')) i = r.SkipBrackets(i);  // a function's or property's parameters
  if (!r.IsSymbol(i, ':')) return {};
  ++i;
  return r.TypeName(i);
}

uint32_t TSourceModel::OffsetOf(uint32_t ALine, uint32_t AColumn) const {
  const std::vector<uint32_t>& starts = LineStarts();
  if (ALine == 0 || ALine > starts.size()) return static_cast<uint32_t>(FText.size());
  return std::min<uint32_t>(starts[ALine - 1] + (AColumn > 0 ? AColumn - 1 : 0), static_cast<uint32_t>(FText.size()));
}

void TSourceModel::LineColumnOf(uint32_t AOffset, uint32_t& ALine, uint32_t& AColumn) const {
  const std::vector<uint32_t>& starts = LineStarts();
  const auto it = std::upper_bound(starts.begin(), starts.end(), AOffset);
  const size_t line = static_cast<size_t>(it - starts.begin());
  ALine = static_cast<uint32_t>(line);
  AColumn = AOffset - starts[line - 1] + 1;
}

}  // namespace Vantry
