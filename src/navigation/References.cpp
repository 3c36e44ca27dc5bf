#include "navigation/References.h"

#include "index/DeclarationRanking.h"
#include "navigation/SourceModel.h"
#include "platform/SysUtils.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace Vantry {

const char* ReferenceKindName(TReferenceKind AKind) {
  switch (AKind) {
    case rkDeclaration: return "declaration";
    case rkDefinition: return "definition";
    case rkUse: return "reference";
    case rkOverride: return "override";
    case rkOverrideUse: return "use of an override";
  }
  return "reference";
}

namespace {

constexpr uint32_t None = TDeclarationTable::None;
using TTokens = std::vector<TPascalToken>;

std::string KeyOf(const std::string& APath, uint32_t ALine, uint32_t AColumn) {
  return APath + ':' + std::to_string(ALine) + ':' + std::to_string(AColumn);
}
std::string KeyOf(const TAnswer& AAnswer) { return KeyOf(AAnswer.Path, AAnswer.Line, AAnswer.Column); }

bool IsWord(std::string_view AText, const TPascalToken& AToken, std::initializer_list<const char*> AWords) {
  if (AToken.Kind != TPascalToken::tkName) return false;
  const std::string_view text = AText.substr(AToken.Offset, AToken.Length);
  return std::any_of(AWords.begin(), AWords.end(), [&](const char* W) { return SameText(text, W); });
}

// Whether the name at token I is the name of a routine's heading
// ("function TStrings.Add(" or "procedure Sort;").
bool InRoutineHeading(std::string_view AText, const TTokens& ATokens, size_t I) {
  while (I >= 2 && ATokens[I - 1].Kind == TPascalToken::tkSymbol && ATokens[I - 1].Symbol == '.' &&
         ATokens[I - 2].Kind == TPascalToken::tkName)
    I -= 2;
  return I >= 1 && IsWord(AText, ATokens[I - 1], {"procedure", "function", "constructor", "destructor", "operator"});
}

// Whether the method whose heading names itself at token I carries the
// override directive.
bool Overrides(std::string_view AText, const TTokens& ATokens, size_t I) {
  size_t k = I + 1;
  for (int depth = 0; k < ATokens.size(); ++k) {
    const TPascalToken& t = ATokens[k];
    if (t.Kind != TPascalToken::tkSymbol) continue;
    if (t.Symbol == '(' || t.Symbol == '[') ++depth;
    else if (t.Symbol == ')' || t.Symbol == ']') --depth;
    else if (t.Symbol == ';' && depth <= 0) break;
  }
  // The directives after the heading, up to the next member.
  for (size_t end = std::min(ATokens.size(), k + 16); ++k < end;) {
    if (IsWord(AText, ATokens[k], {"override"})) return true;
    if (IsWord(AText, ATokens[k], {"procedure", "function", "constructor", "destructor", "property", "end", "private",
                                   "protected", "public", "published", "strict", "class", "var", "const", "type",
                                   "begin"}))
      return false;
  }
  return false;
}

std::string LineOf(std::string_view AText, uint32_t AOffset, uint32_t AColumn) {
  const size_t begin = AOffset + 1 - std::min<size_t>(AColumn, AOffset + 1);
  const size_t end = AText.find_first_of("\r\n", AOffset);
  return std::string(AText.substr(begin, (end == std::string_view::npos ? AText.size() : end) - begin));
}

// An occurrence that resolved elsewhere than to the declaration asked
// about: it may turn out to be bound to one of its overrides.
struct TElsewhere {
  TReference Reference;
  std::string Resolved;  // the key of what it resolved to
  bool Heading = false;
};

// A method that overrides another: its own key and the key of what it
// overrides.
struct TOverride {
  TReference Reference;
  std::string Own, Overridden;
};

}  // namespace

struct TReferenceSearch::TState {
  std::shared_ptr<const TDeclarationTable> Table;
  TTarget Target;
  TResolver Resolver;

  TState(std::shared_ptr<const TDeclarationTable> ATable, TTarget ATarget)
      : Table(ATable), Target(ATarget), Resolver(std::move(ATable), std::move(ATarget)) {}

  // The target a resolution gives; the text asked about, when the table
  // holds its file, is named by the table's path.
  TReferenceTarget TargetFrom(TResolution AResolution, const std::string& AAskedPath) {
    TReferenceTarget target;
    target.Note = AResolution.Note;
    if (AResolution.Answers.empty()) {
      if (target.Note.empty()) target.Note = "no declaration at this place";
      return target;
    }
    const uint32_t file = Resolver.OpenFileIndex();
    for (TAnswer& answer : AResolution.Answers)
      if (file != None && answer.Path == AAskedPath) answer.Path = Table->FullPath(file);
    target.QualifiedName = AResolution.Answers.front().Name;
    target.Name = target.QualifiedName.substr(target.QualifiedName.rfind('.') + 1);
    target.Declarations = std::move(AResolution.Answers);
    if (target.Declarations.size() > 1)
      target.Note = std::to_string(target.Declarations.size()) + " overloads of " + target.QualifiedName +
                    " are listed together: they differ only in their parameters";
    return target;
  }
};

TReferenceSearch::TReferenceSearch(std::shared_ptr<const TDeclarationTable> ATable, TTarget ATarget)
    : F(std::make_unique<TState>(std::move(ATable), std::move(ATarget))) {}

TReferenceSearch::~TReferenceSearch() = default;

TReferenceTarget TReferenceSearch::TargetAt(const std::string& APath, std::string_view AText, uint32_t AOffset) {
  return F->TargetFrom(F->Resolver.Resolve(APath, AText, AOffset), APath);
}

void TReferenceSearch::SetTextSource(TResolver::TTextSource ASource) { F->Resolver.SetTextSource(std::move(ASource)); }

TReferenceTarget TReferenceSearch::TargetOf(uint32_t ADeclaration) {
  const TDeclarationTable& t = *F->Table;
  const uint32_t file = t.FileOf(ADeclaration);
  if (!F->Resolver.OpenFile(file)) {
    TReferenceTarget target;
    target.Note = "cannot read " + t.FullPath(file);
    return target;
  }
  const TDeclarationEntry& e = t.Entry(ADeclaration);
  const uint32_t offset = F->Resolver.OpenText().OffsetOf(e.Line, e.Column);
  return F->TargetFrom(F->Resolver.ResolveAt(offset), t.FullPath(file));
}

TReferenceTarget TReferenceSearch::TargetNamed(std::string_view AName) {
  TDeclarationSearch search;
  search.SetTarget(F->Target);
  search.Search(*F->Table, 1, AName, 20);
  const size_t dot = AName.rfind('.');
  const std::string_view name = dot == std::string_view::npos ? AName : AName.substr(dot + 1);
  for (const TRankedDeclaration& r : search.Results())
    if (r.Kind == mkExact && SameText(F->Table->Name(r.Declaration), name)) return TargetOf(r.Declaration);
  // Unit.Name: a declaration of the unit's own file.
  if (dot != std::string_view::npos) {
    const TDeclarationTable& t = *F->Table;
    for (uint32_t d : TDeclarationSearch::Named(t, {}, name)) {
      const uint32_t first = t.File(t.FileOf(d)).FirstEntry;
      if (t.Entry(first).Kind() == dkUnit && SameText(t.Name(first), AName.substr(0, dot))) return TargetOf(d);
    }
  }
  TReferenceTarget target;
  target.Note = "no declaration is named " + std::string(AName);
  return target;
}

std::vector<TReference> TReferenceSearch::Find(const TReferenceTarget& ATarget, const TReferenceOptions& AOptions,
                                               const std::atomic<bool>* ACancel,
                                               const std::function<void(size_t, size_t)>& AProgress) {
  std::vector<TReference> found;
  if (ATarget.Empty()) return found;
  const TDeclarationTable& t = *F->Table;
  std::unordered_set<std::string> targets;
  for (const TAnswer& d : ATarget.Declarations) targets.insert(KeyOf(d));

  // A declaration is seen only where its unit is used (a member, also
  // where a unit that exposes its types is): the other files that name it
  // need not be read.
  std::vector<bool> maySee(t.FileCount(), true);
  const TAnswer& first = ATarget.Declarations.front();
  uint32_t declaring = first.Declaration != None ? t.FileOf(first.Declaration) : None;
  if (declaring == None)  // a member: its file by its path
    for (uint32_t f = 0; f < t.FileCount() && declaring == None; ++f)
      if (t.FullPath(f) == first.Path) declaring = f;
  if (declaring != None) {
    const bool member = first.Declaration == None || t.Entry(first.Declaration).Owner != None;
    maySee = F->Resolver.FilesThatMaySee(declaring, member);
  }
  std::vector<uint32_t> files;
  const uint32_t hash = NameHash(ATarget.Name);
  // A file open in an editor is read as it stands there: the names its
  // saved text holds tell nothing of it.
  for (uint32_t f = 0; f < t.FileCount(); ++f)
    if (maySee[f] && (t.MayName(f, hash) || F->Resolver.EditorText(t.FullPath(f)))) files.push_back(f);

  std::vector<TElsewhere> elsewhere;
  std::vector<TOverride> overrides;
  for (size_t i = 0; i < files.size(); ++i) {
    if (AProgress) AProgress(i, files.size());
    if (ACancel && ACancel->load(std::memory_order_relaxed)) break;
    if (!F->Resolver.OpenFile(files[i])) continue;
    const TSourceModel& model = F->Resolver.OpenText();
    const std::string_view text = model.Text();
    const TTokens& tokens = model.Tokens();
    const std::string path = t.FullPath(files[i]);
    for (size_t k = 0; k < tokens.size(); ++k) {
      const TPascalToken& token = tokens[k];
      if (token.Kind != TPascalToken::tkName || !SameText(text.substr(token.Offset, token.Length), ATarget.Name)) continue;
      const TResolution resolution = F->Resolver.ResolveAt(token.Offset, false);
      // What the scope rules cannot place is no reference: a guess by name
      // would bring in namesakes.
      if (!resolution.Scoped || resolution.Answers.empty()) continue;
      TReference reference{path, 0, 0, token.Length, {}, rkUse};
      model.LineColumnOf(token.Offset, reference.Line, reference.Column);
      reference.LineText = LineOf(text, token.Offset, reference.Column);
      const std::string own = KeyOf(path, reference.Line, reference.Column);
      const std::string resolved = KeyOf(resolution.Answers.front());
      const bool heading = InRoutineHeading(text, tokens, k);
      if (targets.count(resolved)) {
        reference.Kind = targets.count(own) ? rkDeclaration : heading ? rkDefinition : rkUse;
        found.push_back(std::move(reference));
      } else if (own == resolved && Overrides(text, tokens, k)) {
        const TResolution inherited = F->Resolver.InheritedAt(token.Offset);
        if (!inherited.Answers.empty())
          overrides.push_back({std::move(reference), own, KeyOf(inherited.Answers.front())});
      } else {
        elsewhere.push_back({std::move(reference), resolved, heading});
      }
    }
  }
  if (AProgress) AProgress(files.size(), files.size());

  // The overrides of the declaration, and theirs, however deep.
  std::unordered_set<std::string> bound = targets, overriding;
  for (bool more = true; more;) {
    more = false;
    for (const TOverride& o : overrides)
      if (bound.count(o.Overridden) && !overriding.count(o.Own)) {
        overriding.insert(o.Own);
        bound.insert(o.Own);
        more = true;
      }
  }
  for (TOverride& o : overrides)
    if (overriding.count(o.Own)) {
      o.Reference.Kind = rkOverride;
      found.push_back(std::move(o.Reference));
    }
  for (TElsewhere& e : elsewhere) {
    if (!overriding.count(e.Resolved)) continue;
    if (!e.Heading && !AOptions.OverrideUses) continue;
    e.Reference.Kind = e.Heading ? rkOverride : rkOverrideUse;
    found.push_back(std::move(e.Reference));
  }
  // In walk order of the files, in text order within each.
  std::unordered_map<std::string, size_t> order;
  for (uint32_t f : files) order.emplace(t.FullPath(f), order.size());
  std::stable_sort(found.begin(), found.end(), [&](const TReference& A, const TReference& B) {
    const size_t a = order[A.Path], b = order[B.Path];
    return a != b ? a < b : A.Line != B.Line ? A.Line < B.Line : A.Column < B.Column;
  });
  return found;
}

}  // namespace Vantry
