#include "hostmodel/HostMenuModel.h"

#include "hostmodel/AddInCall.h"
#include "platform/SysUtils.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

namespace Vantry {

int THostMenuNode::Index() const {
  if (!Parent) return -1;
  // Searched from the back: the node asked about is most often the newest.
  auto& siblings = Parent->Children;
  for (size_t i = siblings.size(); i-- > 0;)
    if (siblings[i].get() == this) return static_cast<int>(i);
  return -1;
}

namespace {

std::string Quoted(const std::string& S) { return '"' + S + '"'; }

std::string FlagsText(TIMenuFlags AFlags) {
  char text[8];
  std::snprintf(text, sizeof text, "$%02X", AFlags.Bits());
  return text;
}

}  // namespace

// The item object of one node. While it has a node, its calls act on it and
// are logged; detached (node withdrawn or model gone) they do nothing.
class THostMenuItem final : public TIMenuItemIntf {
public:
  THostMenuItem(THostMenuModel* AModel, THostMenuNode* ANode) : FModel(AModel), FNode(ANode) {
    ANode->Item = this;
    ++AModel->FLiveObjects;
  }

  void Detach() {
    if (FNode) FNode->Item = nullptr;
    if (FModel) --FModel->FLiveObjects;
    FNode = nullptr;
    FModel = nullptr;
  }

  int AddRef() override {
    Record("AddRef()");
    return TInterface::AddRef();
  }

  // The add-ins' last reference on an item they inserted withdraws it.
  int Release() override {
    Record("Release()");
    if (RefCount() == 1 && FNode && FNode->InsertedByAddIn) FModel->RemoveNode(*FNode);
    return TInterface::Release();
  }

  bool DestroyMenuItem() override {
    if (!Call("DestroyMenuItem") || !FNode->InsertedByAddIn) return false;
    FModel->RemoveNode(*FNode);
    return true;
  }

  int GetIndex() override { return Call("GetIndex") ? FNode->Index() : -1; }

  int GetItemCount() override {
    return Call("GetItemCount") ? static_cast<int>(FNode->Children.size()) : 0;
  }

  TIMenuItemIntf* GetItem(int AIndex) override {
    if (!Call("GetItem", [&] { return IntToStr(AIndex); })) return nullptr;
    if (AIndex < 0 || AIndex >= static_cast<int>(FNode->Children.size())) return nullptr;
    return FModel->ItemOf(*FNode->Children[AIndex]);
  }

  TIMenuItemIntf* GetParent() override {
    if (!Call("GetParent") || !FNode->Parent) return nullptr;
    return FModel->ItemOf(*FNode->Parent);
  }

  std::string GetName() override { return Call("GetName") ? FNode->Name : std::string(); }
  std::string GetCaption() override { return Call("GetCaption") ? FNode->Caption : std::string(); }
  std::string GetHint() override { return Call("GetHint") ? FNode->Hint : std::string(); }
  int GetShortCut() override { return Call("GetShortCut") ? FNode->ShortCut : 0; }
  int GetContext() override { return Call("GetContext") ? FNode->Context : 0; }
  int GetGroupIndex() override { return Call("GetGroupIndex") ? FNode->GroupIndex : 0; }
  TIMenuFlags GetFlags() override { return Call("GetFlags") ? FNode->Flags : TIMenuFlags{}; }

  TIMenuClickEvent GetMenuClickEvent() override {
    return Call("GetMenuClickEvent") ? FNode->OnClick : nullptr;
  }

  bool SetCaption(const std::string& AValue) override {
    return Change("SetCaption", [&] { return Quoted(AValue); }, [&] { FNode->Caption = AValue; });
  }
  bool SetHint(const std::string& AValue) override {
    return Change("SetHint", [&] { return Quoted(AValue); }, [&] { FNode->Hint = AValue; });
  }
  bool SetShortCut(int AValue) override {
    return Change("SetShortCut", [&] { return IntToStr(AValue); }, [&] { FNode->ShortCut = AValue; });
  }
  bool SetContext(int AValue) override {
    return Change("SetContext", [&] { return IntToStr(AValue); }, [&] { FNode->Context = AValue; });
  }
  bool SetGroupIndex(int AValue) override {
    return Change("SetGroupIndex", [&] { return IntToStr(AValue); }, [&] { FNode->GroupIndex = AValue; });
  }
  bool SetFlags(TIMenuFlags AMask, TIMenuFlags AFlags) override {
    return Change("SetFlags", [&] { return FlagsText(AMask) + ", " + FlagsText(AFlags); },
                  [&] { FNode->Flags = (FNode->Flags - AMask) + (AFlags * AMask); });
  }
  bool SetMenuClickEvent(TIMenuClickEvent AHandler) override {
    return Change("SetMenuClickEvent", [&] { return std::string(AHandler ? "handler" : "nil"); }, [&] { FNode->OnClick = std::move(AHandler); });
  }

  TIMenuItemIntf* InsertItem(int AIndex, const std::string& ACaption, const std::string& AName,
                             const std::string& AHint, int AShortCut, int AContext, int AGroupIndex,
                             TIMenuFlags AFlags, TIMenuClickEvent AEventHandler) override {
    auto args = [&] {
      return Format("%d, %s, %s, %s, %d, %d, %d, %s", {AIndex, Quoted(ACaption), Quoted(AName), Quoted(AHint),
                                                       AShortCut, AContext, AGroupIndex, FlagsText(AFlags)});
    };
    if (!Call("InsertItem", args)) return nullptr;
    auto node = std::make_unique<THostMenuNode>();
    node->Name = AName;
    node->Caption = ACaption;
    node->Hint = AHint;
    node->ShortCut = AShortCut;
    node->Context = AContext;
    node->GroupIndex = AGroupIndex;
    node->Flags = AFlags;
    node->OnClick = std::move(AEventHandler);
    node->InsertedByAddIn = true;
    node->Origin = FModel->FInsertOrigin;
    THostMenuNode& inserted = FModel->InsertNode(*FNode, AIndex, std::move(node));
    return new THostMenuItem(FModel, &inserted);
  }

private:
  ~THostMenuItem() override { Detach(); }

  std::string Who() const { return FNode->Name.empty() ? "(unnamed)" : FNode->Name; }

  void Record(const char* ACall) {
    if (FNode && FModel->Tracing()) FModel->Call("", Who() + "." + ACall);
  }

  // Logs the call "Operation(arguments)"; false when detached. Raises if
  // told to fail. The arguments are written out only when someone reads them.
  template <class Args>
  bool Call(const char* AOperation, Args AArgs) {
    if (!FNode) return false;
    if (FModel->Tracing()) FModel->Call(AOperation, Who() + "." + AOperation + "(" + AArgs() + ")");
    return true;
  }
  bool Call(const char* AOperation) {
    return Call(AOperation, [] { return std::string(); });
  }

  template <class Args, class F>
  bool Change(const char* AOperation, Args AArgs, F AChange) {
    if (!Call(AOperation, AArgs)) return false;
    AChange();
    FModel->NodeChanged(*FNode);
    return true;
  }

  THostMenuModel* FModel;
  THostMenuNode* FNode;
};

class THostMainMenu final : public TIMainMenuIntf {
public:
  explicit THostMainMenu(THostMenuModel* AModel) : FModel(AModel) {
    // An add-in takes one for nearly every item it inserts: the model finds
    // the live ones through a list running through them, not a set it
    // would allocate for.
    FNext = std::exchange(FModel->FMainMenus, this);
    if (FNext) FNext->FPrevious = this;
    ++FModel->FLiveObjects;
  }

  void Detach() {
    if (FModel) {
      (FPrevious ? FPrevious->FNext : FModel->FMainMenus) = FNext;
      if (FNext) FNext->FPrevious = FPrevious;
      FPrevious = FNext = nullptr;
      --FModel->FLiveObjects;
    }
    FModel = nullptr;
  }

  int Release() override {
    if (FModel && FModel->Tracing()) FModel->Call("", "MainMenu.Release()");
    return TInterface::Release();
  }

  TIMenuItemIntf* GetMenuItems() override {
    if (!FModel) return nullptr;
    if (FModel->Tracing()) FModel->Call("GetMenuItems", "MainMenu.GetMenuItems()");
    return FModel->ItemOf(FModel->Root());
  }

  TIMenuItemIntf* FindMenuItem(const std::string& AName) override {
    if (!FModel) return nullptr;
    if (FModel->Tracing()) FModel->Call("FindMenuItem", "MainMenu.FindMenuItem(" + Quoted(AName) + ")");
    THostMenuNode* node = FModel->Find(AName);
    return node ? FModel->ItemOf(*node) : nullptr;
  }

private:
  ~THostMainMenu() override { Detach(); }

  THostMenuModel* FModel;
  THostMainMenu* FPrevious = nullptr;  // the model's live main menus
  THostMainMenu* FNext = nullptr;
};

THostMenuModel::THostMenuModel() : FRoot(std::make_unique<THostMenuNode>()) {}

THostMenuModel::~THostMenuModel() {
  while (FMainMenus) FMainMenus->Detach();
  Forget(*FRoot);
}

THostMenuNode& THostMenuModel::AddItem(THostMenuNode& AParent, const std::string& AName, const std::string& ACaption,
                                       int AIndex) {
  auto node = std::make_unique<THostMenuNode>();
  node->Name = AName;
  node->Caption = ACaption;
  return InsertNode(AParent, AIndex, std::move(node));
}

namespace {

// The word with its ASCII lower-case letters made upper-case, all eight bytes
// at once: a byte gets its top bit in "lower" when it is 'a' to 'z'.
uint64_t UpperAscii(uint64_t AWord) {
  constexpr uint64_t Ones = 0x0101010101010101ull, Tops = 0x8080808080808080ull;
  const uint64_t low = AWord & ~Tops;
  const uint64_t fromA = low + (0x80 - 'a') * Ones;
  const uint64_t pastZ = low + (0x80 - 'z' - 1) * Ones;
  const uint64_t lower = fromA & ~pastZ & ~AWord & Tops;
  return AWord - (lower >> 2);  // 'a' - 'A' is 0x20
}

uint64_t MixWord(uint64_t AHash, uint64_t AWord) {
  uint64_t h = (AHash ^ AWord) * 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 31);
}

}  // namespace

// Eight bytes of the name at a time, upper-cased, so that names differing
// only in the case of ASCII letters hash alike; the last step spreads every
// byte over the whole hash.
uint64_t THostMenuModel::TNameIndex::Hash(std::string_view AName) {
  uint64_t hash = AName.size();
  size_t at = 0;
  for (; at + 8 <= AName.size(); at += 8) {
    uint64_t word;
    std::memcpy(&word, AName.data() + at, 8);
    hash = MixWord(hash, UpperAscii(word));
  }
  if (at < AName.size()) {
    uint64_t word = 0;
    std::memcpy(&word, AName.data() + at, AName.size() - at);
    hash = MixWord(hash, UpperAscii(word));
  }
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 33;
  return hash;
}

// The hash's top bits: every byte of the name has reached them, so names
// that differ only in their last characters (Item1, Item2...) land apart.
size_t THostMenuModel::TNameIndex::Home(uint64_t AHash) const { return static_cast<size_t>(AHash >> FShift); }

size_t THostMenuModel::TNameIndex::Probe(std::string_view AName, uint64_t AHash) const {
  const size_t mask = FSlots.size() - 1;
  for (size_t i = Home(AHash);; i = (i + 1) & mask) {
    const TSlot& slot = FSlots[i];
    if (!slot.Node || (slot.Hash == AHash && SameText(slot.Node->Name, AName))) return i;
  }
}

THostMenuNode* THostMenuModel::TNameIndex::Find(std::string_view AName) const {
  if (FCount == 0 || AName.empty()) return nullptr;
  return FSlots[Probe(AName, Hash(AName))].Node;
}

THostMenuNode* THostMenuModel::TNameIndex::Insert(THostMenuNode& ANode) {
  // At most three quarters full, so that a probe stays short.
  if ((FCount + 1) * 4 > FSlots.size() * 3) Grow();
  const uint64_t hash = Hash(ANode.Name);
  TSlot& slot = FSlots[Probe(ANode.Name, hash)];
  if (slot.Node) return slot.Node;
  slot = {hash, &ANode};
  ++FCount;
  return nullptr;
}

void THostMenuModel::TNameIndex::Grow() {
  const size_t size = FSlots.empty() ? 64 : FSlots.size() * 2;
  std::vector<TSlot> old(size);
  old.swap(FSlots);
  FShift = 64 - std::countr_zero(size);
  const size_t mask = size - 1;
  for (const TSlot& slot : old) {
    if (!slot.Node) continue;
    size_t i = Home(slot.Hash);
    while (FSlots[i].Node) i = (i + 1) & mask;
    FSlots[i] = slot;
  }
}

void THostMenuModel::TNameIndex::Replace(THostMenuNode& ANode, THostMenuNode* ANext) {
  if (FCount == 0) return;
  size_t i = Probe(ANode.Name, Hash(ANode.Name));
  if (FSlots[i].Node != &ANode) return;
  if (ANext) {
    FSlots[i].Node = ANext;  // a namesake: the same hash
    return;
  }
  // Removal without markers: each later slot of the run that may move
  // nearer its home fills the gap, so that every probe still finds its node.
  const size_t mask = FSlots.size() - 1;
  for (size_t j = (i + 1) & mask; FSlots[j].Node; j = (j + 1) & mask) {
    const size_t home = Home(FSlots[j].Hash);
    // The slot j may fill the gap i when its home is not in (i, j], cyclically.
    const bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
    if (movable) {
      FSlots[i] = FSlots[j];
      i = j;
    }
  }
  FSlots[i] = {};
  --FCount;
}

THostMenuNode* THostMenuModel::Find(const std::string& AName) const { return FNames.Find(AName); }

void THostMenuModel::Click(THostMenuNode& ANode) {
  if (!ANode.OnClick) return;
  TIMenuClickEvent handler = ANode.OnClick;  // the node may go while the handler runs
  // The handler is an add-in's code: what it raises is shown, and the next
  // click works again.
  if (ANode.Item) {
    CallAddIn([&] { handler(ANode.Item); });
  } else {
    THostRef<TIMenuItemIntf> item(new THostMenuItem(this, &ANode));
    CallAddIn([&] { handler(item.Get()); });
  }
}

TIMainMenuIntf* THostMenuModel::MainMenu() { return new THostMainMenu(this); }

TIMenuItemIntf* THostMenuModel::ItemOf(THostMenuNode& ANode) {
  if (!ANode.Item) return new THostMenuItem(this, &ANode);
  ANode.Item->TInterface::AddRef();  // the host's own reference: not an add-in call
  return ANode.Item;
}

void THostMenuModel::Call(const std::string& AOperation, const std::string& ACall) {
  if (FCallLog) FCallLog->push_back(ACall);
  if (!AOperation.empty() && Fails(AOperation)) throw Exception("The host failed %s (as it was told to)", {ACall});
}

THostMenuNode& THostMenuModel::InsertNode(THostMenuNode& AParent, int AIndex, std::unique_ptr<THostMenuNode> ANode) {
  auto& children = AParent.Children;
  if (AIndex < 0 || AIndex > static_cast<int>(children.size())) AIndex = static_cast<int>(children.size());
  ANode->Parent = &AParent;
  THostMenuNode& node = **children.insert(children.begin() + AIndex, std::move(ANode));
  if (!node.Name.empty()) {
    if (THostMenuNode* last = FNames.Insert(node)) {
      while (last->NextSameName) last = last->NextSameName;
      last->NextSameName = &node;
    }
  }
  if (FObserver) FObserver->ItemInserted(node);
  return node;
}

void THostMenuModel::NodeChanged(THostMenuNode& ANode) {
  if (FObserver) FObserver->ItemChanged(ANode);
}

void THostMenuModel::RemoveNode(THostMenuNode& ANode) {
  if (FObserver) FObserver->ItemRemoving(ANode);
  Forget(ANode);
  auto& siblings = ANode.Parent->Children;
  // Items usually go last first, so search from the back.
  auto it = std::find_if(siblings.rbegin(), siblings.rend(), [&](const auto& c) { return c.get() == &ANode; });
  siblings.erase(std::next(it).base());
}

void THostMenuModel::WithdrawOrigin(int AOrigin) {
  std::vector<THostMenuNode*> tagged;
  // The topmost tagged nodes only: removing a node removes its children.
  auto collect = [&](auto& ASelf, THostMenuNode& ANode) -> void {
    for (auto& child : ANode.Children) {
      if (child->Origin == AOrigin)
        tagged.push_back(child.get());
      else
        ASelf(ASelf, *child);
    }
  };
  if (AOrigin) collect(collect, *FRoot);
  for (THostMenuNode* node : tagged) RemoveNode(*node);
}

void THostMenuModel::Forget(THostMenuNode& ANode) {
  for (auto& child : ANode.Children) Forget(*child);
  if (ANode.Item) ANode.Item->Detach();
  if (ANode.Name.empty()) return;
  THostMenuNode* first = FNames.Find(ANode.Name);
  if (first == &ANode) {
    FNames.Replace(ANode, ANode.NextSameName);
  } else if (first) {
    for (THostMenuNode* n = first; n->NextSameName; n = n->NextSameName)
      if (n->NextSameName == &ANode) {
        n->NextSameName = ANode.NextSameName;
        break;
      }
  }
  ANode.NextSameName = nullptr;
}

TIMainMenuIntf* THeadlessToolServices::GetMainMenu() {
  if (FMenu.Tracing()) FMenu.Call("", "ToolServices.GetMainMenu()");
  return FMenu.Fails("GetMainMenu") ? nullptr : FMenu.MainMenu();
}

namespace {

// The path as the editor compares it: absolute, without "." and "..", with
// the links of its existing part resolved.
std::filesystem::path CanonicalPath(const std::string& AFileName) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::weakly_canonical(AFileName, error);
  return error ? std::filesystem::path(AFileName).lexically_normal() : path;
}

}  // namespace

bool THeadlessToolServices::IsFileOpen(const std::string& AFileName) {
  std::filesystem::path wanted = CanonicalPath(AFileName);
  return std::any_of(OpenFiles.begin(), OpenFiles.end(),
                     [&](const std::string& AOpen) { return CanonicalPath(AOpen) == wanted; });
}

bool THeadlessToolServices::OpenFile(const std::string& AFileName) {
  OpenedFiles.push_back(AFileName);
  OpenFiles.insert(AFileName);
  return true;
}

bool THeadlessToolServices::OpenOwnFileAt(const std::string& AFileName, int ALine, int AColumn) {
  OpenedFiles.push_back(AFileName + ":" + std::to_string(ALine) + ":" + std::to_string(AColumn) + " [own]");
  return true;
}

bool THeadlessToolServices::OpenFileAt(const std::string& AFileName, int ALine, int AColumn) {
  OpenedFiles.push_back(AFileName + ":" + std::to_string(ALine) + ":" + std::to_string(AColumn));
  OpenFiles.insert(AFileName);
  return true;
}

bool THeadlessToolServices::GetEditorText(std::string& AText, size_t& ACursor) {
  if (EditorText.empty()) return false;
  AText = EditorText;
  ACursor = EditorCursor;
  return true;
}

}  // namespace Vantry
