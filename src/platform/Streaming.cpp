#include "platform/Streaming.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>
#include <variant>
#include <vector>

namespace Vantry {

namespace {

// ---- Parsing: the whole text becomes a tree before anything is applied, so
// a syntax error changes nothing.

struct TPropertyNode {
  std::string Name;
  TStoredValue Value;
  int Line;
};

struct TObjectNode {
  bool Inherited = false;
  std::string Name;
  std::string ClassName;
  int Line = 0;
  std::vector<std::variant<TPropertyNode, TObjectNode>> Items;  // in stream order
};

enum class TTokenKind { Ident, Integer, String, Binary, Symbol, End };

struct TToken {
  TTokenKind Kind = TTokenKind::End;
  std::string Text;  // identifier, symbol or the string's content
  int64_t Integer = 0;
  std::vector<uint8_t> Bytes;  // binary data
  int Line = 1;
};

// An error that already names its file and line.
VANTRY_EXCEPTION(ELocatedReadError, EReadError);

// Objects nest no deeper than this in one description. Parsing, reading and
// freeing the tree each recurse once per level, so the limit keeps them well
// inside any thread's stack; designed forms nest a dozen levels at most.
constexpr int MaxNesting = 256;

[[noreturn]] void RaiseAt(const std::string& AFile, int ALine, const std::string& AWhat) {
  throw ELocatedReadError("%s, line %d: %s", {AFile, ALine, AWhat});
}

class TLexer {
public:
  TLexer(std::string_view AText, std::string AFile) : FText(AText), FFile(std::move(AFile)) {}

  TToken Next() {
    SkipBlanks();
    TToken t;
    t.Line = FLine;
    if (FPos >= FText.size()) return t;
    char c = FText[FPos];
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      t.Kind = TTokenKind::Ident;
      while (FPos < FText.size() && (std::isalnum(static_cast<unsigned char>(FText[FPos])) || FText[FPos] == '_'))
        t.Text += FText[FPos++];
    } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '$' ||
               (c == '-' && FPos + 1 < FText.size() && std::isdigit(static_cast<unsigned char>(FText[FPos + 1])))) {
      ReadInteger(t);
    } else if (c == '\'') {
      ReadString(t);
    } else if (c == '{') {
      ReadBinary(t);
    } else if (std::string_view("=:[](),+").find(c) != std::string_view::npos) {
      t.Kind = TTokenKind::Symbol;
      t.Text = std::string(1, c);
      ++FPos;
    } else {
      RaiseAt(FFile, FLine, Format("unexpected character '%s'", {std::string(1, c)}));
    }
    return t;
  }

private:
  void SkipBlanks() {
    while (FPos < FText.size()) {
      char c = FText[FPos];
      if (c == '\n') {
        ++FLine;
        ++FPos;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++FPos;
      } else if (FText.substr(FPos, 2) == "//") {
        while (FPos < FText.size() && FText[FPos] != '\n') ++FPos;
      } else {
        return;
      }
    }
  }

  void ReadInteger(TToken& T) {
    T.Kind = TTokenKind::Integer;
    bool negative = FText[FPos] == '-';
    if (negative) ++FPos;
    int base = 10;
    if (FText[FPos] == '$') {
      base = 16;
      ++FPos;
    }
    size_t start = FPos;
    while (FPos < FText.size() && std::isxdigit(static_cast<unsigned char>(FText[FPos]))) ++FPos;
    std::string digits(FText.substr(start, FPos - start));
    try {
      size_t used = 0;
      T.Integer = std::stoll(digits, &used, base);
      if (used != digits.size()) throw std::invalid_argument(digits);
    } catch (const std::exception&) {
      RaiseAt(FFile, FLine, Format("'%s' is not a valid integer", {digits}));
    }
    if (negative) T.Integer = -T.Integer;
  }

  // {hex digits}: binary data, two digits a byte, blanks and line breaks
  // anywhere between the digits.
  void ReadBinary(TToken& T) {
    T.Kind = TTokenKind::Binary;
    const int line = FLine;
    int high = -1;
    for (++FPos;; ++FPos) {
      if (FPos >= FText.size()) RaiseAt(FFile, line, "unterminated binary data, no '}'");
      char c = FText[FPos];
      if (c == '}') break;
      if (c == '\n') ++FLine;
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c)))
        RaiseAt(FFile, FLine, Format("'%s' in binary data is not a hex digit", {std::string(1, c)}));
      int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
      if (high < 0) {
        high = digit;
      } else {
        T.Bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
        high = -1;
      }
    }
    ++FPos;
    if (high >= 0) RaiseAt(FFile, FLine, "binary data with an odd number of hex digits");
  }

  void ReadString(TToken& T) {
    T.Kind = TTokenKind::String;
    ++FPos;
    for (;;) {
      if (FPos >= FText.size() || FText[FPos] == '\n') RaiseAt(FFile, FLine, "unterminated string");
      char c = FText[FPos++];
      if (c != '\'') {
        T.Text += c;
      } else if (FPos < FText.size() && FText[FPos] == '\'') {
        T.Text += '\'';
        ++FPos;
      } else {
        return;
      }
    }
  }

  std::string_view FText;
  std::string FFile;
  size_t FPos = 0;
  int FLine = 1;
};

class TParser {
public:
  TParser(std::string_view AText, std::string AFile) : FLexer(AText, AFile), FFile(std::move(AFile)) { Advance(); }

  TObjectNode ParseDescription() {
    TObjectNode root = ParseObject();
    if (FToken.Kind != TTokenKind::End) Fail("text after the final 'end'", FToken.Text);
    return root;
  }

private:
  void Advance() { FToken = FLexer.Next(); }

  [[noreturn]] void Fail(const std::string& AWhat, const std::string& AName) {
    RaiseAt(FFile, FToken.Line, AName.empty() ? AWhat : Format("%s '%s'", {AWhat, AName}));
  }

  bool AtKeyword(std::string_view AWord) const {
    return FToken.Kind == TTokenKind::Ident && SameText(FToken.Text, AWord);
  }

  std::string ExpectIdent(const char* AWhat) {
    if (FToken.Kind != TTokenKind::Ident) Fail(Format("expected %s, found", {AWhat}), FToken.Text);
    std::string s = FToken.Text;
    Advance();
    return s;
  }

  void ExpectSymbol(char ASymbol) {
    if (FToken.Kind != TTokenKind::Symbol || FToken.Text[0] != ASymbol)
      Fail(Format("expected '%s', found", {std::string(1, ASymbol)}), FToken.Text);
    Advance();
  }

  bool AtSymbol(char ASymbol) const { return FToken.Kind == TTokenKind::Symbol && FToken.Text[0] == ASymbol; }

  TObjectNode ParseHeader() {
    TObjectNode node;
    node.Line = FToken.Line;
    if (AtKeyword("inherited"))
      node.Inherited = true;
    else if (!AtKeyword("object"))
      Fail("expected 'object' or 'inherited', found", FToken.Text);
    Advance();
    node.Name = ExpectIdent("a component name");
    ExpectSymbol(':');
    node.ClassName = ExpectIdent("a class name");
    return node;
  }

  TObjectNode ParseObject() {
    if (++FDepth > MaxNesting) RaiseAt(FFile, FToken.Line, Format("objects nested deeper than %d levels", {MaxNesting}));
    TObjectNode node = ParseHeader();
    while (!AtKeyword("end")) {
      if (FToken.Kind == TTokenKind::End) Fail("missing 'end' of", node.Name);
      if (AtKeyword("object") || AtKeyword("inherited")) {
        node.Items.emplace_back(ParseObject());
        continue;
      }
      TPropertyNode prop;
      prop.Line = FToken.Line;
      prop.Name = ExpectIdent("a property name");
      ExpectSymbol('=');
      prop.Value = ParseValue(prop.Name);
      node.Items.emplace_back(std::move(prop));
    }
    Advance();
    --FDepth;
    return node;
  }

  TStoredValue ParseValue(const std::string& AProperty) {
    TToken t = FToken;
    switch (t.Kind) {
      case TTokenKind::Integer:
        Advance();
        return t.Integer;
      case TTokenKind::String:
        return ParseString();
      case TTokenKind::Binary:
        Advance();
        return TBinaryValue{std::move(t.Bytes)};
      case TTokenKind::Ident:
        if (AtKeyword("object") || AtKeyword("inherited") || AtKeyword("end")) break;
        Advance();
        return TIdentValue{t.Text};
      case TTokenKind::Symbol:
        if (AtSymbol('[')) return ParseSet();
        if (AtSymbol('(')) return ParseList();
        break;
      case TTokenKind::End:
        break;
    }
    Fail(Format("no value for property '%s', found", {AProperty}), t.Text);
  }

  // 'one' + 'two' joins long texts.
  std::string ParseString() {
    std::string s = FToken.Text;
    Advance();
    while (AtSymbol('+')) {
      Advance();
      if (FToken.Kind != TTokenKind::String) Fail("expected a string after '+', found", FToken.Text);
      s += FToken.Text;
      Advance();
    }
    return s;
  }

  TSetValue ParseSet() {
    TSetValue set;
    Advance();
    while (!AtSymbol(']')) {
      if (!set.Names.empty()) ExpectSymbol(',');
      set.Names.push_back(ExpectIdent("a set element"));
    }
    Advance();
    return set;
  }

  TListValue ParseList() {
    TListValue list;
    Advance();
    while (!AtSymbol(')')) {
      if (FToken.Kind != TTokenKind::String) Fail("expected a string in the list, found", FToken.Text);
      list.Lines.push_back(ParseString());
    }
    Advance();
    return list;
  }

  TLexer FLexer;
  std::string FFile;
  TToken FToken;
  int FDepth = 0;
};

// The classes whose descriptions are being applied on this thread, as a
// chain from the innermost application out. A description that creates, at
// any depth, a component whose class is already in the chain would be
// applied again inside itself, for ever. (The chain's head is a plain
// pointer: a thread_local with a destructor would keep a library that reads
// descriptions from ever being unloaded.)
class TApplying {
public:
  explicit TApplying(const std::vector<const TClassInfo*>& ALevels) : FLevels(ALevels), FOuter(Innermost) {
    for (const TClassInfo* level : FLevels)
      for (const TApplying* a = FOuter; a; a = a->FOuter)
        if (std::find(a->FLevels.begin(), a->FLevels.end(), level) != a->FLevels.end()) Refuse(level, a);
    Innermost = this;
  }
  ~TApplying() { Innermost = FOuter; }
  TApplying(const TApplying&) = delete;
  TApplying& operator=(const TApplying&) = delete;

private:
  // Names the classes from AFirst, where ALevel's description began, to here.
  [[noreturn]] void Refuse(const TClassInfo* ALevel, const TApplying* AFirst) const {
    std::string chain;
    for (const TApplying* a = FOuter;; a = a->FOuter) {
      for (auto c = a->FLevels.rbegin(); c != a->FLevels.rend(); ++c) chain = std::string((*c)->Name) + " > " + chain;
      if (a == AFirst) break;
    }
    throw EReadError("the description of %s includes itself (%s%s)", {ALevel->Name, chain, ALevel->Name});
  }

  static inline thread_local const TApplying* Innermost = nullptr;
  std::vector<const TClassInfo*> FLevels;
  const TApplying* FOuter;
};

}  // namespace

// ---- Applying a parsed description to a component.

// The components read, each once, in the order they were first read.
class TLoadedList {
public:
  void Add(TComponent* AComponent) {
    if (FSeen.insert(AComponent).second) FItems.push_back(AComponent);
  }
  const std::vector<TComponent*>& Items() const { return FItems; }

private:
  std::vector<TComponent*> FItems;
  std::unordered_set<TComponent*> FSeen;
};

class TReader {
public:
  TReader(const TDescriptionData& AData, TComponent* ARoot, TLoadedList& ALoaded)
      : FFile(AData.FileName), FRoot(ARoot), FLoaded(ALoaded) {}

  void ReadRoot(const TObjectNode& ANode, const TClassInfo& AClass) {
    Located(ANode.Line, [&] {
      if (!SameText(ANode.ClassName, AClass.Name))
        throw EReadError("the description is of class '%s', not %s", {ANode.ClassName, AClass.Name});
      FRoot->SetName(ANode.Name);
    });
    ReadComponent(FRoot, ANode);
  }

  static void AbandonLoading(TComponent* AComponent) {
    AComponent->FComponentState.Exclude(csLoading).Exclude(csReading);
  }

private:
  template <class F>
  void Located(int ALine, F AAction) {
    try {
      AAction();
    } catch (const ELocatedReadError&) {
      throw;
    } catch (const Exception& e) {
      RaiseAt(FFile, ALine, e.Message());
    }
  }

  void StartLoading(TComponent* AComponent) {
    AComponent->FComponentState.Include(csLoading).Include(csReading);
    FLoaded.Add(AComponent);
  }

  void ReadComponent(TComponent* AComponent, const TObjectNode& ANode) {
    StartLoading(AComponent);
    for (const auto& item : ANode.Items) {
      if (auto* prop = std::get_if<TPropertyNode>(&item))
        ReadProperty(AComponent, *prop);
      else
        ReadChild(std::get<TObjectNode>(item));
    }
    AComponent->FComponentState.Exclude(csReading);
  }

  void ReadProperty(TComponent* AComponent, const TPropertyNode& AProp) {
    Located(AProp.Line, [&] {
      const TPropInfo* info = AComponent->ClassType().FindProperty(AProp.Name);
      if (!info) throw EReadError("unknown property '%s' of %s", {AProp.Name, AComponent->ClassName()});
      info->Set(*info, *AComponent, AProp.Value, *FRoot);
    });
  }

  void ReadChild(const TObjectNode& ANode) {
    TComponent* child = nullptr;
    Located(ANode.Line, [&] { child = ANode.Inherited ? FindInherited(ANode) : CreateChild(ANode); });
    ReadComponent(child, ANode);
  }

  TComponent* FindInherited(const TObjectNode& ANode) {
    TComponent* child = FRoot->FindComponent(ANode.Name);
    if (!child) throw EReadError("no inherited component '%s'", {ANode.Name});
    if (!SameText(child->ClassName(), ANode.ClassName))
      throw EReadError("inherited component '%s' is a %s, not a %s", {ANode.Name, child->ClassName(), ANode.ClassName});
    return child;
  }

  TComponent* CreateChild(const TObjectNode& ANode) {
    const TClassInfo* cls = FindChildClass(ANode.ClassName);
    if (!cls) throw EClassNotFound("unknown class '%s'", {ANode.ClassName});
    if (!cls->Create) throw EReadError("class '%s' cannot be created here", {ANode.ClassName});
    TComponent* child = cls->Create(FRoot);
    child->SetName(ANode.Name);
    if (const TFieldInfo* field = FRoot->ClassType().FindField(ANode.Name); field && !field->Assign(*FRoot, child))
      throw EReadError("field '%s' of %s cannot hold a %s", {ANode.Name, FRoot->ClassName(), ANode.ClassName});
    return child;
  }

  // The classes of the root's published fields first, as these need no
  // registration, then the registered ones.
  const TClassInfo* FindChildClass(std::string_view AName) const {
    for (const TClassInfo* c = &FRoot->ClassType(); c; c = c->Parent())
      for (const TFieldInfo& field : c->Fields)
        if (SameText(field.FieldClass().Name, AName)) return &field.FieldClass();
    return FindClass(AName);
  }

  std::string FFile;
  TComponent* FRoot;
  TLoadedList& FLoaded;
};

void InitInheritedComponent(TComponent* AInstance, const TClassInfo& AAncestor) {
  std::vector<const TClassInfo*> levels;  // the instance's class first
  for (const TClassInfo* c = &AInstance->ClassType(); c && c != &AAncestor; c = c->Parent()) levels.push_back(c);

  std::vector<const TClassInfo*> described;
  for (const TClassInfo* c : levels)
    if (c->Description) described.push_back(c);

  TLoadedList loaded;
  bool found = false;
  try {
    TApplying applying(described);
    for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
      const TDescriptionData* data = (*level)->Description;
      if (!data) continue;
      found = true;
      TObjectNode root = TParser(data->Text(), data->FileName).ParseDescription();
      TReader(*data, AInstance, loaded).ReadRoot(root, **level);
    }
  } catch (...) {
    // What was read stays with its owner, but is not loaded: no Loaded call.
    for (TComponent* c : loaded.Items()) TReader::AbandonLoading(c);
    throw;
  }
  if (!found) throw EResNotFound("Resource %s not found", {AInstance->ClassName()});
  for (TComponent* c : loaded.Items()) c->Loaded();
}

}  // namespace Vantry
