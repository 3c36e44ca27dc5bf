#pragma once
// The host's main menu as plain data, served to add-ins through the host
// interface. The reference IDE shows it with Qt; tests and benchmarks use it
// headlessly. It can log every call an add-in makes and be told to fail one.

#include "expert/host/ToolIntf.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry {

class THostMenuItem;
class THostMainMenu;

// One entry of the menu. The model owns the nodes; add-ins see them only
// through item objects.
struct THostMenuNode {
  std::string Name;
  std::string Caption;
  std::string Hint;
  int ShortCut = 0;
  int Context = 0;
  int GroupIndex = 0;
  TIMenuFlags Flags{mfEnabled, mfVisible};
  TIMenuClickEvent OnClick;
  THostMenuNode* Parent = nullptr;
  std::vector<std::unique_ptr<THostMenuNode>> Children;

  bool InsertedByAddIn = false;    // leaves the menu when the add-ins' last reference goes
  int Origin = 0;                  // the library whose loading inserted it (see SetInsertOrigin), or 0
  THostMenuItem* Item = nullptr;   // its item object, while one exists
  THostMenuNode* NextSameName = nullptr;  // the next node added under the same name, ignoring case

  int Index() const;
  bool IsSeparator() const { return Caption == "-"; }
};

// Told of every change, so a view can follow the model.
class THostMenuObserver {
public:
  virtual void ItemInserted(const THostMenuNode& ANode) = 0;
  // Called before the node and its children go.
  virtual void ItemRemoving(const THostMenuNode& ANode) = 0;
  virtual void ItemChanged(const THostMenuNode& ANode) = 0;

protected:
  ~THostMenuObserver() = default;
};

class THostMenuModel {
public:
  THostMenuModel();
  // Item objects still referenced outlive the model, detached: their calls
  // then do nothing.
  ~THostMenuModel();
  THostMenuModel(const THostMenuModel&) = delete;
  THostMenuModel& operator=(const THostMenuModel&) = delete;

  // The invisible root; its children are the menu bar's menus.
  THostMenuNode& Root() { return *FRoot; }
  const THostMenuNode& Root() const { return *FRoot; }
  // Adds one of the host's own items (never withdrawn), at AIndex or last.
  THostMenuNode& AddItem(THostMenuNode& AParent, const std::string& AName, const std::string& ACaption,
                         int AIndex = -1);
  // The earliest added node of that name (ignoring case), or null.
  THostMenuNode* Find(const std::string& AName) const;
  // Chooses the item as a user would: calls its click handler.
  void Click(THostMenuNode& ANode);
  // Tells the observer of a change the host made to a node directly.
  void NodeChanged(THostMenuNode& ANode);

  // Tags the nodes that add-ins insert from now on with AOrigin (0: none),
  // so that WithdrawOrigin can take them all out again: the loader tags
  // what a library inserts while it loads.
  void SetInsertOrigin(int AOrigin) { FInsertOrigin = AOrigin; }
  // Takes every node tagged AOrigin, with its children, out of the menu;
  // their item objects stay alive for whoever holds them, detached, and
  // their click handlers go with them.
  void WithdrawOrigin(int AOrigin);

  // A new main-menu object, with one reference for the caller.
  TIMainMenuIntf* MainMenu();
  // The node's item object, with one new reference for the caller.
  TIMenuItemIntf* ItemOf(THostMenuNode& ANode);

  void SetObserver(THostMenuObserver* AObserver) { FObserver = AObserver; }

  // Appends a line per host call ("FileMenu.InsertItem(...)"); null stops.
  void SetCallLog(std::vector<std::string>* ALog) { FCallLog = ALog; }
  // Every later call of the operation (e.g. "InsertItem") raises, until
  // cleared; "GetMainMenu" makes the tool services answer null.
  void FailCalls(const std::string& AOperation) { FFailing.insert(AOperation); }
  void ClearFailures() { FFailing.clear(); }
  bool Fails(const std::string& AOperation) const { return FFailing.count(AOperation) != 0; }
  // Whether calls are logged or may fail, so that they must be written out.
  bool Tracing() const { return FCallLog || !FFailing.empty(); }

  // Host objects of this model (main menus and items) that are alive.
  int LiveObjectCount() const { return FLiveObjects; }

  // Logs a host call and raises if its operation is to fail; for the host's
  // own objects.
  void Call(const std::string& AOperation, const std::string& ACall);

private:
  friend class THostMenuItem;
  friend class THostMainMenu;

  THostMenuNode& InsertNode(THostMenuNode& AParent, int AIndex, std::unique_ptr<THostMenuNode> ANode);
  // Takes the node and its children out of the menu; their item objects
  // stay alive for whoever holds them, detached.
  void RemoveNode(THostMenuNode& ANode);
  void Forget(THostMenuNode& ANode);

  std::unique_ptr<THostMenuNode> FRoot;
  // Name -> the earliest added node of that name, which chains the later
  // ones (NextSameName), so that an add-in item reusing a name never hides
  // the host's own item. Names compare ignoring the case of ASCII letters.
  // An add-in may insert hundreds of thousands of items while the IDE starts,
  // so the table is open-addressed: one array of hashes and nodes, nothing
  // allocated per name, and growing it moves hashes without reading a name.
  class TNameIndex {
  public:
    // The earliest added node named AName, or null.
    THostMenuNode* Find(std::string_view AName) const;
    // Enters the node under its (non-empty) name unless a node of that name
    // is there already; returns that node, or null when ANode was entered.
    THostMenuNode* Insert(THostMenuNode& ANode);
    // Puts ANext (a namesake, or null for none) in the place of ANode.
    void Replace(THostMenuNode& ANode, THostMenuNode* ANext);

  private:
    struct TSlot {
      uint64_t Hash = 0;
      THostMenuNode* Node = nullptr;  // null: a free slot
    };
    static uint64_t Hash(std::string_view AName);
    size_t Home(uint64_t AHash) const;
    // The slot holding a node named AName, or the free slot where it would go.
    size_t Probe(std::string_view AName, uint64_t AHash) const;
    void Grow();

    std::vector<TSlot> FSlots;  // a power of two in size, never full
    size_t FCount = 0;
    int FShift = 64;  // 64 less the bits of a slot's index (set by Grow, before any use)
  };
  TNameIndex FNames;
  THostMainMenu* FMainMenus = nullptr;  // the first live main menu; each leads to the next
  THostMenuObserver* FObserver = nullptr;
  int FInsertOrigin = 0;
  std::vector<std::string>* FCallLog = nullptr;
  std::set<std::string> FFailing;
  int FLiveObjects = 0;
};

// A headless stand-in for the IDE's tool services: the menu is a model, the
// editor a set of open file names.
class THeadlessToolServices : public TIToolServices {
public:
  explicit THeadlessToolServices(THostMenuModel& AMenu) : FMenu(AMenu) {}

  HWND GetParentHandle() override { return ParentHandle; }
  TIMainMenuIntf* GetMainMenu() override;
  bool IsFileOpen(const std::string& AFileName) override;
  bool OpenFile(const std::string& AFileName) override;
  std::string GetIdentifierAtCursor() override { return CursorIdentifier; }
  bool OpenFileAt(const std::string& AFileName, int ALine, int AColumn) override;
  bool OpenOwnFileAt(const std::string& AFileName, int ALine, int AColumn) override;
  bool GetEditorText(std::string& AText, size_t& ACursor) override;
  std::string GetCurrentFile() override { return CurrentFile; }
  void ShowStatus(const std::string& AText) override { StatusTexts.push_back(AText); }

  HWND ParentHandle = nullptr;
  std::string CursorIdentifier;          // what GetIdentifierAtCursor answers
  std::string EditorText;                // what GetEditorText answers, when not empty
  size_t EditorCursor = 0;
  std::string CurrentFile;               // what GetCurrentFile answers
  std::vector<std::string> StatusTexts;  // every ShowStatus call, in order
  std::set<std::string> OpenFiles;       // what IsFileOpen answers from
  std::vector<std::string> OpenedFiles;  // every OpenFile call, in order; OpenFileAt adds ":line:column", OpenOwnFileAt " [own]" after it

private:
  THostMenuModel& FMenu;
};

}  // namespace Vantry
