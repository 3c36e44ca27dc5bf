#include "navigation/Resolver.h"

#include "index/DeclarationBuild.h"
#include "index/DeclarationRanking.h"
#include "index/DeclarationScanner.h"
#include "index/FileStanding.h"
#include "navigation/SourceModel.h"
#include "platform/SysUtils.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace Vantry {

namespace {

constexpr uint32_t None = TDeclarationTable::None;
constexpr uint32_t Asked = None;  // the file of the text being asked about, which the table may not hold
constexpr int MostSteps = 16;  // aliases, ancestors and includes followed at the most
using TTokens = std::vector<TPascalToken>;

std::string Lower(std::string_view AText) { return LowerCase(std::string(AText)); }

bool Same(std::string_view A, std::string_view B) { return SameText(A, B); }

bool IsTypeKind(TDeclarationKind AKind) { return AKind >= dkClass && AKind <= dkType; }

// The types and constants the compiler makes itself, in System's scope.
bool IsBuiltIn(std::string_view AName) {
  static const char* const Names[] = {
      "ansichar", "ansistring", "boolean", "boolean16", "boolean32", "boolean64", "boolean8", "byte", "bytebool",
      "char", "comp", "currency", "double", "extended", "false", "int64", "longbool", "longint", "longword",
      "olevariant", "openstring", "pointer", "qword", "qwordbool", "shortint", "shortstring", "single", "smallint",
      "text", "true", "typedfile", "unicodechar", "unicodestring", "variant", "widechar", "widestring", "word",
      "wordbool"};
  const std::string lower = Lower(AName);
  return std::binary_search(std::begin(Names), std::end(Names), lower,
                            [](std::string_view A, std::string_view B) { return A < B; });
}

// What a name was found to be in one scope, and how to go on from it along
// a chain: its declared type, or the type or unit it is.
struct TFound {
  std::vector<TAnswer> Answers;
  uint32_t File = Asked;   // where the first answer is declared
  uint32_t Offset = 0;     // its name's offset in that file's text
  TTypeName Type;          // its declared type, when the reader gave it already
  bool KnownType = false;
  bool IsType = false;     // it is a type
  bool IsUnit = false;     // it is a unit: the next name is that unit's
  uint32_t UnitFile = None;
  std::string Via;
  bool Empty() const { return Answers.empty(); }
};

// A type's declaration: in which file, and where its name stands.
struct TTypeRef {
  uint32_t File = Asked;
  uint32_t Offset = 0;
  std::string Name;
  bool Valid = false;
};

// Where names are looked up from: a unit's own files and the units it
// uses, in the order the compiler searches them.
struct TContext {
  bool AskedText = false;
  std::vector<uint32_t> OwnFiles;  // sorted
  std::vector<std::pair<std::string, uint32_t>> Used;  // name, unit file (None when not in the library)
  std::string UnitName;
};

}  // namespace

struct TResolver::TState {
  std::shared_ptr<const TDeclarationTable> Table;
  TTarget Target;
  TTargetSymbols Symbols;  // the target's, whose conditional branches the texts are read for
  std::vector<TFileStanding> Standing;
  std::unordered_map<std::string, std::vector<uint32_t>> ByBase;  // lower base name: files
  std::unordered_map<std::string, std::vector<uint32_t>> Units;   // lower unit name: its files, the one the compiler finds first first
  std::unordered_set<uint32_t> UnitsByFileName;                   // units known by their file's name alone
  std::unordered_map<std::string, uint32_t> ByPath;               // relative path: file
  std::unordered_map<uint32_t, std::vector<uint32_t>> OwnCache;
  std::unordered_map<uint32_t, uint32_t> Includer;                // include file: the file that includes it
  std::unordered_map<uint32_t, std::vector<uint32_t>> IncludedBy;  // include file: every file that includes it
  bool IncludersKnown = false;
  std::unordered_map<uint32_t, std::shared_ptr<TSourceModel>> Models;
  std::unordered_map<std::string, std::vector<uint32_t>> NamedCache;


  // The text asked about.
  std::string Path;
  std::string AskedTablePath;  // Path as the table keeps its files' paths
  std::unique_ptr<TSourceModel> AskedModel;
  std::vector<TDeclaration> AskedDeclarations;
  std::vector<uint32_t> AskedIncludes;
  uint32_t AskedFile = None;
  bool AskedFromTable = false;  // the asked text is a table's file as on disk: its links are the table's
  std::optional<TContext> AskedContext;
  std::unordered_map<uint64_t, std::vector<bool>> Seeing;  // FilesThatMaySee's answers, by unit and kind

  TState(std::shared_ptr<const TDeclarationTable> ATable, TTarget ATarget)
      : Table(std::move(ATable)), Target(std::move(ATarget)), Symbols(SymbolsOf(Target)) {
    const TDeclarationTable& t = *Table;
    Standing = t.StandingFor(Target);
    for (uint32_t f = 0; f < t.FileCount(); ++f) {
      ByBase[LowerBaseName(t.FilePath(f))].push_back(f);
      ByPath.emplace(std::string(t.FilePath(f)), f);
      const uint32_t first = t.File(f).FirstEntry;
      if (first >= t.File(f + 1).FirstEntry || t.Entry(first).Kind() != dkUnit) continue;
      Units[Lower(t.Name(first))].push_back(f);
    }
    // A unit whose file only includes the file that declares it
    // (convutils.pp: {$i convutil.inc}, which starts "unit ConvUtils;") is
    // known by its file's name.
    for (uint32_t f = 0; f < t.FileCount(); ++f) {
      const std::string_view path = t.FilePath(f);
      bool includes = false;
      ForEachLink(t.FileLinks(f), [&](char AKind, std::string_view) { includes |= AKind == 'i'; });
      if (t.File(f).FirstEntry != t.File(f + 1).FirstEntry || IsIncludeFileName(path) || !includes) continue;
      std::string name = LowerBaseName(path);
      name = name.substr(0, name.rfind('.'));
      if (Units.emplace(name, std::vector<uint32_t>{f}).second) UnitsByFileName.insert(f);
    }
    for (auto& [name, files] : Units) std::stable_sort(files.begin(), files.end(), [&](uint32_t A, uint32_t B) { return FoundBefore(A, B); });
  }

  // Which of two units of one name the compiler finds first: one the target
  // reads before another target's (whose folder is in no unit path), then
  // the earlier root (the project's folders before the libraries, the
  // libraries in the order given), then the better standing.
  bool FoundBefore(uint32_t A, uint32_t B) const {
    const bool otherA = Standing[A].Place & 8, otherB = Standing[B].Place & 8;
    if (otherA != otherB) return otherB;
    const size_t rootA = T().RootIndexOf(A), rootB = T().RootIndexOf(B);
    if (rootA != rootB) return rootA < rootB;
    return Standing[A].Place < Standing[B].Place;
  }

  // The unit a uses clause in a file of AFromFolder means (the folder as
  // the table's paths give it): one in that very folder first, as the
  // compiler looks beside the source it compiles before its unit path.
  uint32_t UsedUnit(std::string_view AName, std::string_view AFromFolder) const {
    const auto it = Units.find(Lower(AName));
    if (it == Units.end()) return None;
    for (uint32_t f : it->second)
      if (FolderOf(T().FilePath(f)) == AFromFolder) return f;
    return it->second.front();
  }
  static std::string_view FolderOf(std::string_view APath) { return APath.substr(0, APath.rfind('/') + 1); }
  std::string_view FolderOfFile(uint32_t AFile) const { return FolderOf(AFile == Asked ? std::string_view(AskedTablePath) : T().FilePath(AFile)); }

  const TDeclarationTable& T() const { return *Table; }

  bool IsUnitFile(uint32_t AFile) const {
    const uint32_t first = T().File(AFile).FirstEntry;
    return (first < T().File(AFile + 1).FirstEntry && T().Entry(first).Kind() <= dkLibrary) ||
           UnitsByFileName.count(AFile);
  }

  // The units a unit uses ('u' in its interface or a program, 'm' in its
  // implementation), its own file's clauses first, then those of the files
  // it includes (a unit may keep its uses clause in one).
  template <class F>
  void ForEachUse(uint32_t AUnit, F AVisit) {
    std::vector<uint32_t> files{AUnit};
    for (uint32_t f : OwnFiles(AUnit))
      if (f != AUnit) files.push_back(f);
    for (uint32_t f : files)
      ForEachLink(T().FileLinks(f), [&](char AKind, std::string_view AName) {
        if (AKind == 'u' || AKind == 'm') AVisit(AKind, AName);
      });
  }

  // A unit's (or program's) name, given its file.
  std::string UnitName(uint32_t AUnit) const {
    if (!UnitsByFileName.count(AUnit)) return std::string(T().Name(T().File(AUnit).FirstEntry));
    const std::string_view path = T().FilePath(AUnit);
    const std::string_view file = path.substr(path.rfind('/') + 1);
    return std::string(file.substr(0, file.rfind('.')));
  }

  // The file an include directive of AFrom names: in AFrom's own folder
  // first, else the namesake the target reads that shares most of AFrom's
  // path.
  uint32_t IncludedFile(std::string_view AFromPath, std::string_view AName) const {
    std::string base = LowerBaseName(AName);
    if (base.find('.') == std::string::npos) base += ".inc";
    const auto it = ByBase.find(base);
    if (it == ByBase.end()) return None;
    const std::string_view folder = AFromPath.substr(0, AFromPath.rfind('/') + 1);
    uint32_t best = None;
    long bestScore = 0;
    for (uint32_t f : it->second) {
      const std::string_view path = T().FilePath(f);
      size_t shared = 0;
      while (shared < path.size() && shared < AFromPath.size() && path[shared] == AFromPath[shared]) ++shared;
      const bool sameFolder = path.substr(0, path.rfind('/') + 1) == folder;
      const long score = (sameFolder ? 1L << 20 : 0) + ((Standing[f].Place & 8) ? 0 : 1L << 16) + static_cast<long>(shared);
      if (best == None || score > bestScore) best = f, bestScore = score;
    }
    return best;
  }

  std::vector<uint32_t> IncludesOf(std::string_view AFromPath, std::string_view ALinks) const {
    std::vector<uint32_t> files;
    ForEachLink(ALinks, [&](char AKind, std::string_view AName) {
      if (AKind != 'i' && AKind != 'h') return;  // not one the target skips ('x')
      if (const uint32_t f = IncludedFile(AFromPath, AName); f != None) files.push_back(f);
    });
    return files;
  }

  // A unit's own files: itself and what it includes, followed through
  // nested includes; sorted.
  const std::vector<uint32_t>& OwnFiles(uint32_t AUnit) {
    if (auto it = OwnCache.find(AUnit); it != OwnCache.end()) return it->second;
    std::vector<uint32_t> files{AUnit}, next{AUnit};
    for (int step = 0; step < MostSteps && !next.empty() && files.size() < 4096; ++step) {
      std::vector<uint32_t> found;
      for (uint32_t f : next)
        for (uint32_t g : IncludesOf(T().FilePath(f), T().FileLinks(f)))
          if (std::find(files.begin(), files.end(), g) == files.end()) files.push_back(g), found.push_back(g);
      next = std::move(found);
    }
    std::sort(files.begin(), files.end());
    return OwnCache[AUnit] = std::move(files);
  }

  // The unit (or program) an include file belongs to: the one that
  // includes it, followed up through nested includes.
  uint32_t UnitOf(uint32_t AFile) {
    if (!IncludersKnown) {
      for (uint32_t f = 0; f < T().FileCount(); ++f)
        for (uint32_t g : IncludesOf(T().FilePath(f), T().FileLinks(f))) {
          IncludedBy[g].push_back(f);
          auto [it, added] = Includer.emplace(g, f);
          if (!added && Standing[f].Place < Standing[it->second].Place) it->second = f;
        }
      IncludersKnown = true;
    }
    for (int step = 0; step < MostSteps && AFile != None; ++step) {
      if (IsUnitFile(AFile)) return AFile;
      const auto it = Includer.find(AFile);
      AFile = it == Includer.end() ? None : it->second;
    }
    return None;
  }

  TSourceModel& Model(uint32_t AFile) {
    if (AFile == Asked) return *AskedModel;
    // Files read for one question are mostly read for the next; a resolver
    // that lives long keeps at most this many.
    constexpr size_t MostModels = 512;
    if (Models.size() >= MostModels && !Models.count(AFile)) Models.clear();
    // The file as saved, whatever an editor holds: the table's places of
    // its declarations, which the models are read at, are the saved text's.
    auto& model = Models[AFile];
    if (!model) {
      std::string text;
      ReadSourceFile(T().FullPath(AFile), text);
      model = std::make_shared<TSourceModel>(text, &Symbols);
    }
    return *model;
  }

  TResolver::TTextSource TextSource;
  const std::string* OpenText(const std::string& APath) const { return TextSource ? TextSource(APath) : nullptr;
  }

  const std::vector<uint32_t>& Named(std::string_view AName) {
    const std::string key = Lower(AName);
    auto it = NamedCache.find(key);
    if (it == NamedCache.end()) it = NamedCache.emplace(key, TDeclarationSearch::Named(T(), {}, AName)).first;
    return it->second;
  }

  // The units a unit's links say it uses, in the order the compiler
  // searches them, then objpas (in its modes) and System.
  static void SearchOrder(const std::vector<std::string>& AInterface, const std::vector<std::string>& AImplementation,
                          bool AObjectPascal, std::vector<std::string>& AOut) {
    AOut.assign(AImplementation.rbegin(), AImplementation.rend());
    AOut.insert(AOut.end(), AInterface.rbegin(), AInterface.rend());
    if (AObjectPascal) AOut.push_back("objpas");
    AOut.push_back("system");
  }

  // Whether one of AFiles sets {$mode objfpc} or {$mode delphi}, which
  // bring in the objpas unit: a unit may set its mode in a file it includes.
  bool ObjectPascalIn(const std::vector<uint32_t>& AFiles) const {
    bool objectPascal = false;
    for (uint32_t f : AFiles)
      ForEachLink(T().FileLinks(f), [&](char AKind, std::string_view AName) {
        objectPascal |= AKind == 'o' && ModeUsesObjpas(AName);
      });
    return objectPascal;
  }

  TContext ContextOf(uint32_t AFile) {
    TContext context;
    std::vector<std::string> order;
    std::string_view folder;  // where the compiler looks first for the used units
    // A table's file is seen as the table's links say, unless it belongs to
    // no unit there (an include file that holds "unit X;" itself, a program
    // of the user's without its heading that has a uses clause).
    if (AFile == Asked && !(AskedFromTable && UnitOf(AskedFile) != None) &&
        (AskedFile == None || AskedModel->Module().Unit || !AskedModel->Module().Name.empty() ||
         (UnitOf(AskedFile) == None && !AskedModel->Module().InterfaceUses.empty()))) {
      context.AskedText = true;
      context.OwnFiles = AskedIncludes;
      const TModuleFacts& module = AskedModel->Module();
      context.UnitName = module.Name;
      folder = FolderOf(AskedTablePath);
      SearchOrder(module.InterfaceUses, module.ImplementationUses, module.ObjectPascal || ObjectPascalIn(AskedIncludes),
                  order);
    } else {
      const uint32_t unit = UnitOf(AFile == Asked ? AskedFile : AFile);
      context.AskedText = AFile == Asked;
      folder = FolderOfFile(unit != None ? unit : AFile);
      if (unit == None) {
        context.OwnFiles = {AFile == Asked ? AskedFile : AFile};
        SearchOrder({}, {}, true, order);
      } else {
        context.OwnFiles = OwnFiles(unit);
        std::vector<std::string> interface, implementation;
        ForEachUse(unit, [&](char AKind, std::string_view AName) {
          (AKind == 'u' ? interface : implementation).emplace_back(AName);
        });
        context.UnitName = UnitName(unit);
        SearchOrder(interface, implementation, ObjectPascalIn(context.OwnFiles), order);
      }
    }
    for (const std::string& name : order) context.Used.emplace_back(name, UsedUnit(name, folder));
    return context;
  }

  TAnswer AnswerOf(uint32_t ADeclaration) const {
    const TDeclarationEntry& e = T().Entry(ADeclaration);
    return {T().FullPath(T().FileOf(ADeclaration)), e.Line, e.Column, DeclarationKindName(e.Kind()),
            T().QualifiedName(ADeclaration), ADeclaration};
  }
  TAnswer AnswerAt(uint32_t AFile, uint32_t AOffset, std::string AKind, std::string AName) {
    TAnswer answer;
    answer.Path = AFile == Asked ? Path : T().FullPath(AFile);
    Model(AFile).LineColumnOf(AOffset, answer.Line, answer.Column);
    answer.Kind = std::move(AKind);
    answer.Name = std::move(AName);
    return answer;
  }

  // The table's declarations of a name at unit level (no owner, or an
  // enumeration's value) in AFiles; AHidden: those of an implementation too.
  TFound InFiles(std::string_view AName, const std::vector<uint32_t>& AFiles, bool AHidden, bool ATypes) {
    TFound found;
    bool heading = false;
    for (uint32_t d : Named(AName)) {
      const TDeclarationEntry& e = T().Entry(d);
      if ((e.Owner != None && e.Kind() != dkEnumValue) || (e.Hidden() && !AHidden) || (ATypes && !IsTypeKind(e.Kind())))
        continue;
      const uint32_t file = T().FileOf(d);
      if (!std::binary_search(AFiles.begin(), AFiles.end(), file) || (Standing[file].Hidden && !AHidden)) continue;
      heading |= !e.Definition();
      found.Answers.push_back(AnswerOf(d));
    }
    // What the target's compiler skips answers only when nothing else does.
    const auto skipped = [&](const TAnswer& A) { return T().Entry(A.Declaration).Skipped(); };
    if (!std::all_of(found.Answers.begin(), found.Answers.end(), skipped)) {
      found.Answers.erase(std::remove_if(found.Answers.begin(), found.Answers.end(), skipped), found.Answers.end());
      heading = std::any_of(found.Answers.begin(), found.Answers.end(),
                            [&](const TAnswer& A) { return !T().Entry(A.Declaration).Definition(); });
    }
    // A routine's heading and its body are one routine: the headings answer.
    if (heading)
      found.Answers.erase(std::remove_if(found.Answers.begin(), found.Answers.end(),
                                         [&](const TAnswer& A) { return T().Entry(A.Declaration).Definition(); }),
                          found.Answers.end());
    if (!found.Empty()) {
      const uint32_t d = found.Answers.front().Declaration;
      found.File = T().FileOf(d);
      found.Offset = Model(found.File).OffsetOf(T().Entry(d).Line, T().Entry(d).Column);
      found.IsType = IsTypeKind(T().Entry(d).Kind());
    }
    return found;
  }

  // A name at unit level, seen from AContext: the unit's own declarations,
  // then the used units'.
  TFound UnitLevel(std::string_view AName, const TContext& AContext, bool ATypes) {
    if (AContext.AskedText) {
      TFound found;
      for (const TDeclaration& d : AskedDeclarations) {
        if (!Same(d.Name, AName) || (!d.Owner.empty() && d.Kind != dkEnumValue) || (ATypes && !IsTypeKind(d.Kind)))
          continue;
        if (d.Definition && !found.Empty()) continue;
        TAnswer answer{Path, d.Line, d.Column, DeclarationKindName(d.Kind), d.Name, None};
        if (found.Empty()) {
          found.File = Asked;
          found.Offset = AskedModel->OffsetOf(d.Line, d.Column);
          found.IsType = IsTypeKind(d.Kind);
        }
        found.Answers.push_back(std::move(answer));
      }
      // A routine's body in this text (an include file's) is bound to its
      // heading where the unit has one.
      const bool bodies = !found.Empty() && std::all_of(AskedDeclarations.begin(), AskedDeclarations.end(), [&](const TDeclaration& D) {
        return !Same(D.Name, AName) || D.Definition || (!D.Owner.empty() && D.Kind != dkEnumValue);
      });
      if (bodies) {
        TFound headings = InFiles(AName, AContext.OwnFiles, true, ATypes);
        if (!headings.Empty() && !T().Entry(headings.Answers.front().Declaration).Definition()) found = std::move(headings);
      }
      if (!found.Empty()) {
        found.Via = "in " + (AContext.UnitName.empty() ? std::string("this file") : AContext.UnitName);
        return found;
      }
    }
    TFound found = InFiles(AName, AContext.OwnFiles, true, ATypes);
    if (!found.Empty()) {
      found.Via = "in " + (AContext.UnitName.empty() ? std::string("this file") : AContext.UnitName);
      return found;
    }
    for (const auto& [unit, file] : AContext.Used) {
      if (file == None) continue;
      found = InFiles(AName, OwnFiles(file), false, ATypes);
      if (!found.Empty()) {
        found.Via = "from " + UnitName(file);
        return found;
      }
    }
    return {};
  }

  // A type declared inside a class of the unit (its methods name it
  // unqualified).
  TFound NestedType(std::string_view AName, const TContext& AContext) {
    TFound found;
    if (AContext.AskedText)
      for (const TDeclaration& d : AskedDeclarations)
        if (!d.Owner.empty() && IsTypeKind(d.Kind) && Same(d.Name, AName)) {
          found.Answers.push_back({Path, d.Line, d.Column, DeclarationKindName(d.Kind), d.Owner + "." + d.Name, None});
          found.File = Asked;
          found.Offset = AskedModel->OffsetOf(d.Line, d.Column);
          found.IsType = true;
          return found;
        }
    for (uint32_t d : Named(AName)) {
      const TDeclarationEntry& e = T().Entry(d);
      if (e.Owner == None || !IsTypeKind(e.Kind()) ||
          !std::binary_search(AContext.OwnFiles.begin(), AContext.OwnFiles.end(), T().FileOf(d)))
        continue;
      found.Answers.push_back(AnswerOf(d));
      found.File = T().FileOf(d);
      found.Offset = Model(found.File).OffsetOf(e.Line, e.Column);
      found.IsType = true;
      return found;
    }
    return found;
  }

  // A type named as a declaration names it, seen from AFile's unit; aliases,
  // pointers and class references followed to the type they stand for.
  TTypeRef TypeNamed(const TTypeName& AType, uint32_t AFile, int ADepth = 0) {
    if (AType.Empty() || ADepth > MostSteps) return {};
    TFound found;
    if (!AType.Unit.empty()) {
      if (const uint32_t unit = UsedUnit(AType.Unit, FolderOfFile(AFile)); unit != None)
        found = InFiles(AType.Name, OwnFiles(unit), false, true);
    } else {
      const TContext context = ContextOf(AFile);
      found = UnitLevel(AType.Name, context, true);
      if (found.Empty()) found = NestedType(AType.Name, context);
    }
    if (found.Empty()) return {};
    TTypeRef ref{found.File, found.Offset, AType.Name, true};
    const TTypeShape shape = Model(ref.File).TypeAt(ref.Offset);
    if (shape.Kind == TTypeShape::tsAlias || shape.Kind == TTypeShape::tsPointer ||
        shape.Kind == TTypeShape::tsClassReference) {
      const TTypeRef target = TypeNamed(shape.Target, ref.File, ADepth + 1);
      if (target.Valid) return target;
    }
    return ref;
  }

  // The type of what AFound found: the type it is, or the one it is
  // declared with.
  TTypeRef TypeOf(const TFound& AFound) {
    if (AFound.IsType) {
      TTypeRef ref{AFound.File, AFound.Offset, AFound.Answers.front().Name, true};
      const TTypeShape shape = Model(ref.File).TypeAt(ref.Offset);
      if (shape.Kind != TTypeShape::tsStructure) {
        const TTypeRef target = TypeNamed(shape.Target, ref.File);
        if (target.Valid) return target;
      }
      return ref;
    }
    const TTypeName type = AFound.KnownType ? AFound.Type : Model(AFound.File).DeclaredTypeAt(AFound.Offset);
    return TypeNamed(type, AFound.File);
  }

  // A member of a type or of its ancestors, the nearest first.
  TFound Member(const TTypeRef& AType, std::string_view AName, int ADepth = 0) {
    if (!AType.Valid || ADepth > MostSteps) return {};
    const TTypeShape shape = Model(AType.File).TypeAt(AType.Offset);
    TFound found;
    auto take = [&](uint32_t AFile, const std::vector<TDeclaredName>& AMembers) {
      for (const TDeclaredName& m : AMembers) {
        if (!Same(m.Name, AName)) continue;
        if (found.Empty()) {
          found.File = AFile;
          found.Offset = m.Offset;
          found.Type = m.Type;
          found.KnownType = true;
          found.IsType = m.Kind == "type";
        }
        found.Answers.push_back(AnswerAt(AFile, m.Offset, m.Kind, AType.Name + "." + m.Name));
      }
    };
    take(AType.File, shape.Members);
    // The files its body includes hold more of its members (each LCL
    // widgetset's class keeps its methods' headings in one).
    const std::string from(AType.File == Asked ? std::string_view(AskedTablePath) : T().FilePath(AType.File));
    for (const std::string& include : shape.Includes)
      if (const uint32_t file = IncludedFile(from, include); file != None) take(file, Model(file).MembersOfBody());
    std::vector<TTypeName> ancestors = shape.Ancestors;
    if (ancestors.empty() && shape.Class && !Same(AType.Name, "TObject")) ancestors.push_back({{}, "TObject"});
    if (!found.Empty()) {
      found.Via = AType.Name + "." + found.Answers.front().Name.substr(AType.Name.size() + 1);
      // A property published again without its type ("property
      // Constraints;") has its ancestor's, read where that one is declared.
      if (found.Type.Empty() && found.Answers.front().Kind == "property")
        for (const TTypeName& ancestor : ancestors)
          if (const TFound inherited = Member(TypeNamed(ancestor, AType.File), AName, ADepth + 1); !inherited.Empty()) {
            found.File = inherited.File;
            found.Offset = inherited.Offset;
            found.Type = inherited.Type;
            found.KnownType = inherited.KnownType;
            break;
          }
      return found;
    }
    for (const TTypeName& ancestor : ancestors) {
      found = Member(TypeNamed(ancestor, AType.File), AName, ADepth + 1);
      if (!found.Empty()) {
        if (found.Via.find(", inherited") == std::string::npos) found.Via += ", inherited";
        return found;
      }
    }
    return {};
  }

  // Takes AText as the text asked about. AFile: its file in the table,
  // whose declarations and links the table has already (None: scan it).
  void ReadAsked(const std::string& APath, std::string_view AText, uint32_t AFile = None) {
    AskedFromTable = AFile != None;
    AskedContext.reset();
    NamedCache.clear();
    AskedDeclarations.clear();
    Path = APath;
    AskedModel = std::make_unique<TSourceModel>(AText, &Symbols);
    std::string_view links;
    TDeclarationScanner scanner;
    scanner.SetTarget(&Symbols);
    const std::string relative = AFile == None ? T().PathInTable(APath) : std::string(T().FilePath(AFile));
    AskedTablePath = relative;
    if (AFile == None) {
      for (const TFoundDeclaration& d : scanner.Scan(AText, IsIncludeFileName(APath)))
        AskedDeclarations.push_back(
            {std::string(d.Name), std::string(d.Owner), d.Line, d.Column, d.Kind, d.Definition, d.Hidden});
      links = scanner.Links();
      if (const auto it = ByPath.find(relative); it != ByPath.end()) AFile = it->second;
    } else if (UnitOf(AFile) == None) {
      // A file of no unit in the table (an include file that holds "unit
      // X;" itself) is read as a text of its own: its declarations first.
      // A unit's file needs none: the table answers for its own files.
      for (uint32_t d = T().File(AFile).FirstEntry; d < T().File(AFile + 1).FirstEntry; ++d) {
        const TDeclarationEntry& e = T().Entry(d);
        AskedDeclarations.push_back({std::string(T().Name(d)), e.Owner == None ? std::string() : std::string(T().Name(e.Owner)),
                                     e.Line, e.Column, e.Kind(), e.Definition(), e.Hidden()});
      }
    }
    if (AFile != None && AskedFromTable) links = T().FileLinks(AFile);
    AskedFile = AFile;
    AskedIncludes = IncludesOf(relative, links);
    for (size_t i = 0; i < AskedIncludes.size() && i < 4096; ++i)
      for (uint32_t g : OwnFiles(AskedIncludes[i]))
        if (std::find(AskedIncludes.begin(), AskedIncludes.end(), g) == AskedIncludes.end()) AskedIncludes.push_back(g);
    std::sort(AskedIncludes.begin(), AskedIncludes.end());
  }

  // The scopes around a place: the routines that hold it, and the with
  // statements around it in the innermost one's body, the outermost first.
  struct TScopes {
    uint32_t Offset = 0;  // of the name asked about
    std::vector<TRoutineScope> Routines;
    std::vector<std::vector<std::vector<std::string>>> Withs;
  };

  // The first name of a chain, in the scopes around the place; only the
  // first AWiths with statements count (a with's own expressions are read
  // outside it).
  TFound First(std::string_view AName, bool AMore, const TScopes& AScopes, size_t AWiths) {
    if (!AskedContext) AskedContext = ContextOf(Asked);  // the same for every place of the text
    const TContext& asked = *AskedContext;
    const std::vector<TRoutineScope>& ARoutines = AScopes.Routines;
    for (size_t k = AWiths; k-- > 0;) {
      const auto& expressions = AScopes.Withs[k];
      for (auto e = expressions.rbegin(); e != expressions.rend(); ++e) {
        TFound found = Member(ChainType(*e, AScopes, k), AName);
        if (!found.Empty()) {
          std::string expression;
          for (const std::string& part : *e) expression += (expression.empty() ? "" : ".") + part;
          found.Via = "with " + expression + ", " + found.Via;
          return found;
        }
      }
    }
    for (auto r = ARoutines.rbegin(); r != ARoutines.rend(); ++r) {
      for (const TDeclaredName& local : r->Locals)
        if (Same(local.Name, AName)) {
          TFound found;
          found.Answers.push_back(AnswerAt(Asked, local.Offset, local.Kind, local.Name));
          found.Offset = local.Offset;
          found.Type = local.Type;
          found.KnownType = local.Kind != "type";
          found.IsType = local.Kind == "type";
          found.Via = (local.Kind == "parameter" ? "a parameter of " : "local to ") + r->Name;
          return found;
        }
      if (Same(AName, "Result") && !r->Result.Empty()) {
        TFound found;
        found.Answers.push_back(AnswerAt(Asked, r->Begin, "result", r->Name));
        found.Type = r->Result;
        found.KnownType = true;
        found.Via = "the result of " + r->Name;
        return found;
      }
    }
    for (auto r = ARoutines.rbegin(); r != ARoutines.rend(); ++r) {
      if (r->Owner.empty()) continue;
      const TTypeRef owner = TypeNamed({{}, r->Owner}, Asked);
      if (Same(AName, "Self") && owner.Valid) {
        TFound found;
        found.Answers.push_back(AnswerAt(owner.File, owner.Offset, "class", owner.Name));
        found.File = owner.File;
        found.Offset = owner.Offset;
        found.IsType = true;
        found.Via = "Self";
        return found;
      }
      TFound found = Member(owner, AName);
      if (!found.Empty()) return found;
    }
    // In a class's (or record's) declaration: its members, as in "property
    // Count: Integer read FCount".
    if (ARoutines.empty()) {
      if (const uint32_t structure = AskedModel->StructureAt(AScopes.Offset); structure != UINT32_MAX) {
        const TTokens& tokens = AskedModel->Tokens();
        const auto at = std::lower_bound(tokens.begin(), tokens.end(), structure,
                                         [](const TPascalToken& T, uint32_t O) { return T.Offset < O; });
        const std::string name(AskedModel->Text().substr(at->Offset, at->Length));
        TFound found = Member({Asked, structure, name, true}, AName);
        if (!found.Empty()) return found;
      }
    }
    if (AMore) {
      const auto unit = std::find_if(asked.Used.begin(), asked.Used.end(), [&](const auto& U) { return Same(U.first, AName); });
      if (unit != asked.Used.end() && unit->second != None) {
        TFound found;
        if (UnitsByFileName.count(unit->second))
          found.Answers.push_back({T().FullPath(unit->second), 1, 1, "unit", unit->first, None});
        else
          found.Answers.push_back(AnswerOf(T().File(unit->second).FirstEntry));
        found.IsUnit = true;
        found.UnitFile = unit->second;
        found.Via = "the unit " + unit->first;
        return found;
      }
    }
    return UnitLevel(AName, asked, false);
  }

  // The type a chain of names ends with (a with statement's expression).
  TTypeRef ChainType(const std::vector<std::string>& AChain, const TScopes& AScopes, size_t AWiths) {
    if (AChain.empty()) return {};
    TFound found = First(AChain[0], AChain.size() > 1, AScopes, AWiths);
    for (size_t i = 1; i < AChain.size() && !found.Empty(); ++i) found = Next(found, AChain[i]);
    return found.Empty() ? TTypeRef{} : TypeOf(found);
  }

  // The next name of a chain, after what APrevious found.
  TFound Next(const TFound& APrevious, std::string_view AName) {
    if (APrevious.IsUnit) {
      TFound found = InFiles(AName, OwnFiles(APrevious.UnitFile), false, false);
      if (!found.Empty()) found.Via = "from " + UnitName(APrevious.UnitFile);
      return found;
    }
    return Member(TypeOf(APrevious), AName);
  }
};

TResolver::TResolver(std::shared_ptr<const TDeclarationTable> ATable, TTarget ATarget)
    : F(std::make_unique<TState>(std::move(ATable), std::move(ATarget))) {}

TResolver::~TResolver() = default;

TResolution TResolver::Resolve(const std::string& APath, std::string_view AText, uint32_t AOffset, bool AGuess) {
  Open(APath, AText);
  return ResolveAt(AOffset, AGuess);
}

void TResolver::Open(const std::string& APath, std::string_view AText) { F->ReadAsked(APath, AText); }

void TResolver::SetTextSource(TTextSource ASource) { F->TextSource = std::move(ASource); }

const std::string* TResolver::EditorText(const std::string& AFullPath) const { return F->OpenText(AFullPath); }

bool TResolver::OpenFile(uint32_t AFile) {
  // An editor's text is read as a text of its own: the table's
  // declarations and links are those of the file on disk.
  const std::string path = F->T().FullPath(AFile);
  if (const std::string* open = F->OpenText(path)) {
    Open(path, *open);
    return true;
  }
  std::string text;
  if (!ReadSourceFile(F->T().FullPath(AFile), text)) return false;
  F->ReadAsked(F->T().FullPath(AFile), text, AFile);
  return true;
}

const TDeclarationTable& TResolver::Table() const { return F->T(); }

const TSourceModel& TResolver::OpenText() const { return *F->AskedModel; }

uint32_t TResolver::OpenFileIndex() const { return F->AskedFile; }

std::vector<bool> TResolver::FilesThatMaySee(uint32_t ADeclarationFile, bool AMember) {
  TState& s = *F;
  const TDeclarationTable& t = s.T();
  std::vector<bool> files(t.FileCount(), true);
  const uint32_t declaring = s.UnitOf(ADeclarationFile);
  if (declaring == None) return files;
  // Worked out once for a unit: the table does not change.
  const uint64_t key = uint64_t{declaring} << 1 | AMember;
  if (const auto it = s.Seeing.find(key); it != s.Seeing.end()) return it->second;
  const std::string name = s.UnitName(declaring);
  if (Same(name, "system") || Same(name, "objpas")) return files;  // every unit uses them
  // The units that expose the declaring unit's types: itself, and those
  // whose interface uses one that does (for a member only).
  std::vector<bool> exposes(t.FileCount(), false), sees(t.FileCount(), false);
  // Every unit whose files hold the declaration (convutils.pp and
  // convutil.pp both include convutil.inc).
  std::vector<uint32_t> up{ADeclarationFile};
  for (size_t i = 0; i < up.size() && i < 4096; ++i) {
    if (s.IsUnitFile(up[i])) exposes[up[i]] = true;
    if (const auto it = s.IncludedBy.find(up[i]); it != s.IncludedBy.end())
      for (uint32_t f : it->second)
        if (std::find(up.begin(), up.end(), f) == up.end()) up.push_back(f);
  }
  exposes[declaring] = true;
  const auto usesAny = [&](uint32_t AUnit, bool AInterfaceOnly, const std::vector<bool>& AUnits) {
    bool found = false;
    s.ForEachUse(AUnit, [&](char AKind, std::string_view AUsed) {
      if (found || (AKind == 'm' && AInterfaceOnly)) return;
      const uint32_t used = s.UsedUnit(AUsed, s.FolderOfFile(AUnit));
      found = used != None && AUnits[used];
    });
    return found;
  };
  for (bool more = AMember; more;) {
    more = false;
    for (uint32_t u = 0; u < t.FileCount(); ++u)
      if (!exposes[u] && s.IsUnitFile(u) && usesAny(u, true, exposes)) exposes[u] = more = true;
  }
  for (uint32_t u = 0; u < t.FileCount(); ++u)
    sees[u] = exposes[u] || (s.IsUnitFile(u) && usesAny(u, false, exposes));
  for (uint32_t f = 0; f < t.FileCount(); ++f) {
    const uint32_t unit = s.UnitOf(f);
    files[f] = unit == None || sees[unit];
  }
  return s.Seeing[key] = std::move(files);
}

TResolution TResolver::InheritedAt(uint32_t AOffset) {
  TState& s = *F;
  TResolution resolution;
  const uint32_t structure = s.AskedModel->StructureAt(AOffset);
  uint32_t nameOffset = 0;
  const std::vector<std::string> chain = s.AskedModel->ChainAt(AOffset, nameOffset);
  if (structure == UINT32_MAX || chain.size() != 1) return resolution;
  const TTypeShape shape = s.AskedModel->TypeAt(structure);
  std::vector<TTypeName> ancestors = shape.Ancestors;
  if (ancestors.empty() && shape.Class) ancestors.push_back({{}, "TObject"});
  for (const TTypeName& ancestor : ancestors) {
    TFound found = s.Member(s.TypeNamed(ancestor, Asked), chain[0]);
    if (found.Empty()) continue;
    resolution.Answers = std::move(found.Answers);
    resolution.Scoped = true;
    resolution.Via = std::move(found.Via);
    break;
  }
  return resolution;
}

TResolution TResolver::ResolveAt(uint32_t AOffset, bool AGuess) {
  TState& s = *F;
  uint32_t nameOffset = 0;
  const std::vector<std::string> chain = s.AskedModel->ChainAt(AOffset, nameOffset);
  TResolution resolution;
  if (chain.empty()) return resolution;
  TState::TScopes scopes;
  scopes.Offset = nameOffset;
  scopes.Routines = s.AskedModel->RoutinesAt(nameOffset);
  // The with statements of the innermost routine's body, or of a program's
  // main block.
  const uint32_t textEnd = static_cast<uint32_t>(s.AskedModel->Text().size());
  scopes.Withs = scopes.Routines.empty()
                     ? s.AskedModel->WithsAt(nameOffset, 0, textEnd)
                     : s.AskedModel->WithsAt(nameOffset, scopes.Routines.back().Begin, scopes.Routines.back().End);
  const std::vector<TRoutineScope>& routines = scopes.Routines;

  TFound found;
  size_t at = 1;
  if (chain[0] == "inherited") {
    // "inherited Name" (or a bare "inherited", the routine's own name):
    // the ancestors of the method's class.
    const TRoutineScope* method = nullptr;
    for (const TRoutineScope& r : routines)
      if (!r.Owner.empty()) method = &r;
    if (method) {
      const TTypeRef owner = s.TypeNamed({{}, method->Owner}, Asked);
      const TTypeShape shape = owner.Valid ? s.Model(owner.File).TypeAt(owner.Offset) : TTypeShape{};
      std::vector<TTypeName> ancestors = shape.Ancestors;
      if (ancestors.empty() && shape.Class) ancestors.push_back({{}, "TObject"});
      const std::string name = chain.size() > 1 ? chain[1] : method->Name;
      for (const TTypeName& ancestor : ancestors)
        if (found = s.Member(s.TypeNamed(ancestor, owner.File), name); !found.Empty()) break;
      if (!found.Empty() && found.Via.find("inherited") == std::string::npos) found.Via += ", inherited";
    }
    at = 2;
  } else {
    found = s.First(chain[0], chain.size() > 1, scopes, scopes.Withs.size());
  }
  std::string unknown;
  for (; at < chain.size() && !found.Empty(); ++at) {
    TFound next = s.Next(found, chain[at]);
    if (next.Empty() && !found.IsUnit && !s.TypeOf(found).Valid) unknown = chain[at - 1];
    found = std::move(next);
  }
  if (!found.Empty()) {
    resolution.Answers = std::move(found.Answers);
    resolution.Scoped = true;
    resolution.Via = std::move(found.Via);
    return resolution;
  }

  // The scope rules found nothing. The compiler's own types and constants
  // are declared in no source; anything else is not answered unless a
  // guess is asked for: then by the name alone, as the finder ranks it for
  // the target, and marked as such (Scoped false).
  const std::string& name = chain.back();
  if (chain.size() == 1 && IsBuiltIn(name)) {
    resolution.Scoped = true;
    resolution.Note = name + " is built into the compiler: no source declares it";
    return resolution;
  }
  resolution.Note = !unknown.empty() ? "the type of " + unknown + " is not known" : name + " is not declared in reach of this place";
  if (!AGuess) return resolution;
  resolution.Note += ": namesakes by name alone";
  TDeclarationSearch search;
  search.SetTarget(s.Target);
  const std::string owner = chain.size() > 1 && chain[chain.size() - 2] != "inherited" ? chain[chain.size() - 2] : "";
  std::vector<uint32_t> named = owner.empty() ? std::vector<uint32_t>() : TDeclarationSearch::Named(s.T(), owner, name);
  if (named.empty()) {
    search.Search(s.T(), 1, name, 20);
    for (const TRankedDeclaration& r : search.Results())
      if (r.Kind == mkExact) named.push_back(r.Declaration);
  }
  for (uint32_t d : TDeclarationSearch::HeadingsOf(s.T(), std::move(named))) resolution.Answers.push_back(s.AnswerOf(d));
  if (resolution.Answers.empty()) resolution.Note.clear();
  return resolution;
}

}  // namespace Vantry
