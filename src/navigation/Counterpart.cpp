#include "navigation/Counterpart.h"

#include "index/DeclarationBuild.h"
#include "index/DeclarationRanking.h"
#include "navigation/Peek.h"
#include "navigation/SourceModel.h"
#include "navigation/TokenReader.h"
#include "platform/SysUtils.h"

#include <algorithm>
#include <unordered_map>

namespace Vantry {

namespace {

constexpr size_t None = static_cast<size_t>(-1);
// The bodies of a name looked at, at most: each is read and resolved to see
// whether it is this heading's.
constexpr size_t MostBodies = 64;
// How far before the place a heading's first word is looked for.
constexpr size_t MostHeadingTokens = 512;

using TTokens = TTokenReader::TTokens;

class TText : public TTokenReader {
public:
  using TTokenReader::TTokenReader;

  // "class" before a routine word: a class method's, not a class type's
  // own ("TFoo = class" followed by its first method).
  bool IsClassMethodWord(size_t I) const {
    return Is(I, "class") && IsRoutineWord(I + 1) && !(I > 0 && (IsSymbol(I - 1, '=') || Is(I - 1, "packed")));
  }
  // A routine word that starts a procedural type ("= procedure of object",
  // ": function: Integer", "reference to procedure"), not a heading.
  bool StartsProceduralType(size_t I) const {
    return I > 0 && (IsSymbol(I - 1, '=') || IsSymbol(I - 1, ':') || Is(I - 1, "to"));
  }

  // The token index of the first token at or after AOffset on its line, or
  // of the token that holds AOffset or ends just before it: what the cursor
  // is on.
  size_t TokenAt(uint32_t AOffset) const {
    auto it = std::lower_bound(FTokens.begin(), FTokens.end(), AOffset,
                               [](const TPascalToken& T, uint32_t O) { return T.Offset + T.Length <= O; });
    size_t i = static_cast<size_t>(it - FTokens.begin());
    if (i < Count() && FTokens[i].Offset > AOffset) {
      // Between tokens: the next one when only blanks of its line lie
      // before it (the cursor at the start of a line), else the one before.
      const std::string_view gap = FText.substr(AOffset, FTokens[i].Offset - AOffset);
      if (gap.find_first_of("\r\n") != std::string_view::npos && i > 0) --i;
    }
    return i < Count() ? i : (Count() > 0 ? Count() - 1 : None);
  }
};

// A routine's heading, read from its first word: the names it gives (the
// owner types first, its own last) and where its own name stands.
struct THeading {
  size_t First = None;  // the token of "class" or the routine's word
  size_t End = None;    // past its ';' and the directives after it
  std::vector<std::string> Names;
  uint32_t NameOffset = 0;
  bool Valid() const { return !Names.empty(); }
  std::string Qualified() const {
    std::string name;
    for (const std::string& n : Names) name += (name.empty() ? "" : ".") + n;
    return name;
  }
};

THeading ReadHeading(const TText& R, size_t AFirst) {
  THeading h;
  h.First = AFirst;
  size_t i = AFirst;
  if (R.Is(i, "class")) ++i;
  if (!R.IsRoutineWord(i)) return h;
  const bool oper = R.Is(i, "operator");
  for (++i; i < R.Count();) {
    // An operator is named by its symbol ("+", ":=", "<>") or word.
    const bool symbol = oper && R.At(i).Kind == TPascalToken::tkSymbol && !R.IsSymbol(i, '(') && !R.IsSymbol(i, ';');
    if (!R.IsName(i) && !symbol) break;
    h.Names.emplace_back(R.TextOf(i));
    h.NameOffset = R.At(i).Offset;
    ++i;
    if (symbol) {
      // Two-byte operators come as two symbols: <> <= >= ><
      if (R.At(i).Kind == TPascalToken::tkSymbol && R.At(i).Offset == R.At(i - 1).Offset + 1 && !R.IsSymbol(i, '(')) {
        h.Names.back() += R.TextOf(i);
        ++i;
      }
      break;
    }
    if (R.IsSymbol(i, '<'))  // generic parameters
      for (int depth = 0; i < R.Count(); ++i) {
        if (R.IsSymbol(i, '<')) ++depth;
        else if (R.IsSymbol(i, '>') && --depth == 0) {
          ++i;
          break;
        } else if (R.IsSymbol(i, ';') || R.IsSymbol(i, '(')) {
          break;
        }
      }
    if (!R.IsSymbol(i, '.')) break;
    ++i;
  }
  // To the ';' outside brackets, then the directives ("overload; virtual;").
  for (int depth = 0; i < R.Count(); ++i) {
    if (R.IsSymbol(i, '(') || R.IsSymbol(i, '[')) ++depth;
    else if (R.IsSymbol(i, ')') || R.IsSymbol(i, ']')) --depth;
    else if (R.IsSymbol(i, ';') && depth <= 0) break;
  }
  for (++i; R.IsName(i) && IsRoutineDirective(R.TextOf(i));) {
    while (i < R.Count() && !R.IsSymbol(i, ';')) ++i;
    ++i;
  }
  h.End = std::min(i, R.Count());
  return h;
}

// The heading that holds token ACursor: the nearest routine word before it
// whose heading (with its directives) reaches it.
THeading HeadingHolding(const TText& R, size_t ACursor) {
  if (ACursor == None) return {};
  if (R.IsClassMethodWord(ACursor)) ++ACursor;
  for (size_t k = ACursor + 1, steps = 0; k-- > 0 && steps < MostHeadingTokens; ++steps) {
    if (!R.IsRoutineWord(k) || R.StartsProceduralType(k)) continue;
    THeading h = ReadHeading(R, k > 0 && R.IsClassMethodWord(k - 1) ? k - 1 : k);
    if (h.Valid() && ACursor < h.End) return h;
    break;
  }
  return {};
}

// The types whose declarations hold AOffset of AModel's text, the
// outermost first: the owners of a method's heading there.
std::vector<std::string> OwnersAt(const TSourceModel& AModel, uint32_t AOffset) {
  std::vector<std::string> owners;
  const TTokens& tokens = AModel.Tokens();
  for (uint32_t at = AModel.StructureAt(AOffset); at != UINT32_MAX && owners.size() < 32; at = AModel.StructureAt(at)) {
    const auto it = std::lower_bound(tokens.begin(), tokens.end(), at, [](const TPascalToken& T, uint32_t O) { return T.Offset < O; });
    if (it == tokens.end()) break;
    owners.insert(owners.begin(), std::string(AModel.Text().substr(it->Offset, it->Length)));
  }
  return owners;
}

TAnswer AnswerAt(const std::string& APath, const TSourceModel& AModel, uint32_t AOffset, std::string AKind,
                 std::string AName) {
  TAnswer answer;
  answer.Path = APath;
  AModel.LineColumnOf(AOffset, answer.Line, answer.Column);
  answer.Kind = std::move(AKind);
  answer.Name = std::move(AName);
  return answer;
}

// "procedure", "class function": the words before a heading's name.
std::string KindOf(const TText& R, const THeading& AHeading) {
  std::string kind;
  for (size_t i = AHeading.First; i < R.Count() && R.IsName(i); ++i) {
    kind += (kind.empty() ? "" : " ") + LowerCase(std::string(R.TextOf(i)));
    if (!R.Is(i, "class")) break;
  }
  return kind;
}

// The byte offset of ALine, AColumn (from 1) in AText, lines ending as the
// compiler ends them.
uint32_t OffsetOf(std::string_view AText, uint32_t ALine, uint32_t AColumn) {
  size_t at = 0;
  for (uint32_t line = 1; line < ALine && at < AText.size(); ++line) {
    while (at < AText.size() && AText[at] != '\n' && AText[at] != '\r') ++at;
    if (at < AText.size() && AText[at++] == '\r' && at < AText.size() && AText[at] == '\n') ++at;
  }
  return static_cast<uint32_t>(std::min<size_t>(at + (AColumn > 0 ? AColumn - 1 : 0), AText.size()));
}

// Of the places in AChoices, the one whose parameters are AParameters; the
// first when none is. AText gives a place's text (the file's).
template <class FText>
size_t SameParameters(const std::vector<TAnswer>& AChoices, const std::vector<std::string>& AParameters, FText& AText) {
  for (size_t i = 0; i < AChoices.size() && AChoices.size() > 1; ++i) {
    const std::string_view text = AText(AChoices[i]);
    if (ParameterTypesAt(text, OffsetOf(text, AChoices[i].Line, AChoices[i].Column)) == AParameters) return i;
  }
  return 0;
}

// The texts of the files answers lie in, each read once.
class TTexts {
public:
  TTexts(const std::string& APath, std::string_view AText) : FPath(APath), FText(AText) {}
  std::string_view operator()(const TAnswer& AAnswer) {
    if (AAnswer.Path == FPath) return FText;
    auto [it, added] = FRead.try_emplace(AAnswer.Path);
    if (added) ReadSourceFile(AAnswer.Path, it->second);
    return it->second;
  }

private:
  std::string FPath;
  std::string_view FText;
  std::unordered_map<std::string, std::string> FRead;
};

TCounterpart HeadingOfBody(TResolver& AResolver, const std::string& APath, std::string_view AText,
                           const TSourceModel& AModel, const TRoutineScope& ARoutine) {
  TCounterpart counterpart;
  const TText R(AModel.Text(), AModel.Tokens());
  const THeading heading = ReadHeading(R, R.TokenAt(ARoutine.Begin));
  if (!heading.Valid()) {
    counterpart.Note = "The routine's heading cannot be read.";
    return counterpart;
  }
  TResolution resolution = AResolver.ResolveAt(heading.NameOffset, false);
  uint32_t line = 0, column = 0;
  AModel.LineColumnOf(heading.NameOffset, line, column);
  std::vector<TAnswer>& answers = resolution.Answers;
  // The body itself answers when it is its own declaration.
  answers.erase(std::remove_if(answers.begin(), answers.end(),
                               [&](const TAnswer& A) { return A.Path == APath && A.Line == line && A.Column == column; }),
                answers.end());
  // A method's body the scope rules cannot place (its type in a file no
  // unit here includes): the index's link from the body to its type.
  const TDeclarationTable& table = AResolver.Table();
  if (const uint32_t file = AResolver.OpenFileIndex(); answers.empty() && file != TDeclarationTable::None) {
    for (uint32_t d = table.File(file).FirstEntry; d < table.File(file + 1).FirstEntry; ++d) {
      const TDeclarationEntry& e = table.Entry(d);
      if (!e.Definition() || e.Line != line || e.Column != column || e.Owner == TDeclarationTable::None) continue;
      for (uint32_t h : table.Named(table.Name(d)))
        if (table.Entry(h).Owner == e.Owner && !table.Entry(h).Definition())
          answers.push_back({table.FullPath(table.FileOf(h)), table.Entry(h).Line, table.Entry(h).Column,
                             DeclarationKindName(table.Entry(h).Kind()), table.QualifiedName(h), h});
      break;
    }
  }
  if (answers.empty()) {
    counterpart.Note = heading.Qualified() + " has no heading apart from its body" +
                       (resolution.Note.empty() ? "." : " (" + resolution.Note + ").");
    return counterpart;
  }
  TTexts texts(APath, AText);
  counterpart.Place = answers[SameParameters(answers, ParameterTypesAt(AModel.Text(), heading.NameOffset), texts)];
  return counterpart;
}

TCounterpart BodyOfHeading(TResolver& AResolver, const std::string& APath, std::string_view AText,
                           const TSourceModel& AModel, const THeading& AHeading) {
  TCounterpart counterpart;
  counterpart.ToBody = true;
  const TText R(AModel.Text(), AModel.Tokens());
  const std::vector<std::string> owners = OwnersAt(AModel, R.At(AHeading.First).Offset);
  const std::string owner = owners.empty() ? std::string() : owners.back();
  const std::string& name = AHeading.Names.back();
  const std::string qualified = owner.empty() ? name : owner + "." + name;
  const std::string kind = KindOf(R, AHeading);
  const std::vector<std::string> parameters = ParameterTypesAt(AModel.Text(), AHeading.NameOffset);
  TTexts texts(APath, AText);

  // Its body in the same text (a unit's implementation, after a forward
  // declaration): the text as it stands.
  std::vector<TAnswer> bodies;
  AModel.ForEachRoutine([&](const TRoutineScope& ARoutine, int ADepth) {
    if (ADepth > 0 || !SameText(ARoutine.Name, name) || !SameText(ARoutine.Owner, owner)) return;
    const THeading body = ReadHeading(R, R.TokenAt(ARoutine.Begin));
    if (body.Valid() && body.NameOffset != AHeading.NameOffset)
      bodies.push_back(AnswerAt(APath, AModel, body.NameOffset, KindOf(R, body), body.Qualified()));
  });
  if (!bodies.empty()) {
    counterpart.Place = bodies[SameParameters(bodies, parameters, texts)];
    return counterpart;
  }

  // Else the index's bodies of that name, each bound back to its heading
  // by the resolver: those bound to this one are its bodies (a namesake's
  // in another unit is not).
  const TDeclarationTable& table = AResolver.Table();
  const uint32_t file = AResolver.OpenFileIndex();
  if (file == TDeclarationTable::None) {
    counterpart.Note = "No body of " + qualified + " is in this file, and the file is not one of the library's.";
    return counterpart;
  }
  uint32_t line = 0, column = 0;
  AModel.LineColumnOf(AHeading.NameOffset, line, column);
  const std::string ownPath = table.FullPath(file);
  const std::string_view ownFolder = table.FilePath(file).substr(0, table.FilePath(file).rfind('/') + 1);
  std::vector<uint32_t> candidates;
  for (uint32_t d : TDeclarationSearch::Named(table, owner, name)) {
    const TDeclarationEntry& e = table.Entry(d);
    if (e.Definition() && (owner.empty() == (e.Owner == TDeclarationTable::None))) candidates.push_back(d);
  }
  // The likeliest first: those the target's compiler reads, in the
  // heading's folder, then in folders that share more of its path.
  auto shared = [&](uint32_t D) {
    const std::string_view path = table.FilePath(table.FileOf(D));
    size_t n = 0;
    while (n < path.size() && n < ownFolder.size() && path[n] == ownFolder[n]) ++n;
    return n;
  };
  std::stable_sort(candidates.begin(), candidates.end(), [&](uint32_t A, uint32_t B) {
    if (table.Entry(A).Skipped() != table.Entry(B).Skipped()) return !table.Entry(A).Skipped();
    return shared(A) > shared(B);
  });
  if (candidates.size() > MostBodies) candidates.resize(MostBodies);
  for (uint32_t d : candidates) {
    const TDeclarationEntry& e = table.Entry(d);
    if (!AResolver.OpenFile(table.FileOf(d))) continue;
    const uint32_t offset = AResolver.OpenText().OffsetOf(e.Line, e.Column);
    const TResolution resolution = AResolver.ResolveAt(offset, false);
    const bool bound = std::any_of(resolution.Answers.begin(), resolution.Answers.end(), [&](const TAnswer& A) {
      return A.Path == ownPath && A.Line == line && A.Column == column;
    });
    if (!bound) continue;
    TAnswer body{table.FullPath(table.FileOf(d)), e.Line, e.Column, kind, table.QualifiedName(d), d};
    if (ParameterTypesAt(AResolver.OpenText().Text(), offset) == parameters) {
      counterpart.Place = std::move(body);
      return counterpart;
    }
    bodies.push_back(std::move(body));
  }
  if (!bodies.empty()) {
    counterpart.Place = bodies.front();
    return counterpart;
  }
  // None bound to it: the resolver binds a type's name to its first
  // declaration, so the headings of a type that each branch of a
  // conditional declares anew are bound alike. The bodies in the heading's
  // folder are taken instead, the n-th for the n-th heading of the name in
  // its file.
  std::vector<uint32_t> near, headings;
  for (uint32_t d : candidates)
    if (shared(d) == ownFolder.size() && table.FilePath(table.FileOf(d)).find('/', ownFolder.size()) == std::string_view::npos)
      near.push_back(d);
  std::sort(near.begin(), near.end());
  for (uint32_t d : TDeclarationSearch::Named(table, owner, name))
    if (!table.Entry(d).Definition() && owner.empty() == (table.Entry(d).Owner == TDeclarationTable::None) &&
        table.FileOf(d) == file && table.Entry(d).Line <= line)
      headings.push_back(d);
  if (!near.empty() && !headings.empty()) {
    const uint32_t d = near[std::min(near.size(), headings.size()) - 1];
    counterpart.Place = {table.FullPath(table.FileOf(d)), table.Entry(d).Line, table.Entry(d).Column, kind,
                         table.QualifiedName(d), d};
    return counterpart;
  }
  counterpart.Note = "No body of " + qualified + " is known in the library.";
  return counterpart;
}

}  // namespace

TCounterpart CounterpartOf(TResolver& AResolver, const std::string& APath, std::string_view AText, uint32_t AOffset) {
  AResolver.Open(APath, AText);
  const TSourceModel& model = AResolver.OpenText();
  const TText R(model.Text(), model.Tokens());
  AOffset = std::min<uint32_t>(AOffset, static_cast<uint32_t>(model.Text().size()));
  const size_t cursor = R.Count() ? R.TokenAt(AOffset) : None;
  // On a routine's heading (in a class, an interface, a forward
  // declaration): its body. A body's own heading counts as the body's.
  if (const THeading heading = HeadingHolding(R, cursor); heading.Valid()) {
    const std::vector<TRoutineScope> routines = model.RoutinesAt(R.At(heading.First).Offset);
    const bool body = !routines.empty() && routines.back().Begin == R.At(heading.First).Offset;
    if (!body && heading.Names.size() == 1) return BodyOfHeading(AResolver, APath, AText, model, heading);
  }
  // In a body: the innermost routine's heading.
  const std::vector<TRoutineScope> routines = model.RoutinesAt(cursor == None ? AOffset : R.At(cursor).Offset);
  if (!routines.empty()) return HeadingOfBody(AResolver, APath, AText, model, routines.back());
  TCounterpart none;
  none.Note = "The cursor is in no routine's heading or body.";
  return none;
}

}  // namespace Vantry
