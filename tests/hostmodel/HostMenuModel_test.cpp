#include "hostmodel/HostMenuModel.h"
#include "hostmodel/StandardMenus.h"
#include "platform/SysUtils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

using namespace Vantry;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// Names each row of a parameterised test after its Name.
constexpr auto RowName = [](const auto& AInfo) { return std::string(AInfo.param.Name); };

using TItemRef = THostRef<TIMenuItemIntf>;

// Remembers what the model told it, one line per notification.
class TRecordingObserver : public THostMenuObserver {
public:
  void ItemInserted(const THostMenuNode& ANode) override { Events.push_back("inserted " + ANode.Name); }
  void ItemRemoving(const THostMenuNode& ANode) override { Events.push_back("removing " + ANode.Name); }
  void ItemChanged(const THostMenuNode& ANode) override { Events.push_back("changed " + ANode.Name); }
  std::vector<std::string> Events;
};

class HostMenuModelTest : public ::testing::Test {
protected:
  HostMenuModelTest() { AddStandardMenus(Model); }

  TItemRef Item(const std::string& AName) { return TItemRef(Model.ItemOf(*Model.Find(AName))); }

  // Inserts an add-in item the way an add-in would, under AParent.
  TItemRef Insert(TIMenuItemIntf* AParent, int AIndex, const std::string& AName, TIMenuClickEvent AOnClick = nullptr) {
    return TItemRef(AParent->InsertItem(AIndex, "&" + AName, AName, "hint", 0, 0, 0, {mfEnabled, mfVisible},
                                        std::move(AOnClick)));
  }

  static std::vector<std::string> ChildNames(const THostMenuNode& ANode) {
    std::vector<std::string> names;
    for (const auto& child : ANode.Children) names.push_back(child->Name);
    return names;
  }

  THostMenuModel Model;
  std::vector<std::string> Log;
};

TEST_F(HostMenuModelTest, FindMenuItemFindsItemsAtAnyDepthIgnoringCaseWithANewReference) {
  THostRef<TIMainMenuIntf> mainMenu(Model.MainMenu());
  TItemRef save(mainMenu->FindMenuItem("filesaveITEM"));
  ASSERT_TRUE(save);
  EXPECT_EQ(save->GetName(), "FileSaveItem");
  EXPECT_EQ(save->RefCount(), 1);

  TItemRef again(mainMenu->FindMenuItem("FILESAVEITEM"));
  EXPECT_EQ(again.Get(), save.Get()) << "one item object per node";
  EXPECT_EQ(save->RefCount(), 2);
  EXPECT_TRUE(TItemRef(mainMenu->FindMenuItem("HelpMenu")));
  EXPECT_FALSE(TItemRef(mainMenu->FindMenuItem("NoSuchItem")));
  EXPECT_FALSE(TItemRef(mainMenu->FindMenuItem("")));
}

TEST_F(HostMenuModelTest, AnAddInItemReusingAHostNameDoesNotHideTheHostItem) {
  TItemRef file = Item("FileMenu");
  TItemRef edit = Item("EditMenu");
  TItemRef first(file->InsertItem(4, "Save &Copy", "FileSaveItem", "", 0, 0, 0, {}, nullptr));
  TItemRef second(edit->InsertItem(-1, "Save &Here", "filesaveitem", "", 0, 0, 0, {}, nullptr));
  EXPECT_EQ(Model.Find("FileSaveItem")->Caption, "&Save");
  THostRef<TIMainMenuIntf> mainMenu(Model.MainMenu());
  EXPECT_EQ(TItemRef(mainMenu->FindMenuItem("FILESAVEITEM"))->GetCaption(), "&Save");

  first.Reset();
  second.Reset();
  EXPECT_EQ(Model.Find("FileSaveItem")->Caption, "&Save") << "withdrawing a namesake keeps the host's entry";
}

struct TNameRow {
  const char* Name;
  const char* Inserted;
  const char* Asked;
  bool Found;
};
void PrintTo(const TNameRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class HostMenuNameTest : public HostMenuModelTest, public ::testing::WithParamInterface<TNameRow> {};

// Names compare ignoring the case of ASCII letters only: the characters next
// to the letters, and bytes above 127 whose low seven bits spell a letter,
// stay themselves, in every eight bytes of a long name.
TEST_P(HostMenuNameTest, FindsANameIgnoringTheCaseOfAsciiLettersOnly) {
  TItemRef added = Insert(Item("ToolsMenu").Get(), -1, GetParam().Inserted);
  THostMenuNode* found = Model.Find(GetParam().Asked);
  ASSERT_EQ(found != nullptr, GetParam().Found);
  if (found) {
    EXPECT_EQ(found->Name, GetParam().Inserted);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, HostMenuNameTest,
    ::testing::Values(TNameRow{"EveryLetter", "abcdefghijklmnopqrstuvwxyz_F12", "ABCDEFGHIJKLMNOPQRSTUVWXYZ_f12", true},
                      TNameRow{"MixedCase", "vantryMenuItem_F12", "VANTRYmenuitem_f12", true},
                      TNameRow{"LongName", "aVeryLongMenuItemName_withManyWords_F123",
                               "AVERYLONGMENUITEMNAME_WITHMANYWORDS_f123", true},
                      TNameRow{"BackquoteIsNotAt", "Item`", "Item@", false},
                      TNameRow{"AtIsNotBackquote", "Item@", "Item`", false},
                      TNameRow{"BraceIsNotBracket", "Item{", "Item[", false},
                      TNameRow{"Latin1AccentKeepsItsCase", "Caf\xE9", "Caf\xC9", false},
                      TNameRow{"Utf8AccentKeepsItsCase", "Caf\xC3\xA9", "Caf\xC3\x89", false},
                      TNameRow{"APrefixIsAnotherName", "ItemsMenu1", "ItemsMenu", false}),
    RowName);

struct TWithdrawRow {
  const char* Name;
  bool (*Kept)(int AIndex);
};
void PrintTo(const TWithdrawRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class HostMenuWithdrawTest : public HostMenuModelTest, public ::testing::WithParamInterface<TWithdrawRow> {};

// Thousands of names, some withdrawn again in different patterns: every name
// left is found, no name withdrawn is, and names inserted afterwards are.
TEST_P(HostMenuWithdrawTest, NamesLeftStayFoundAndNewOnesAreFound) {
  constexpr int Count = 3000;
  TItemRef tools = Item("ToolsMenu");
  std::vector<TItemRef> items;
  for (int i = 0; i < Count; ++i) items.push_back(Insert(tools.Get(), -1, "Unit" + std::to_string(i)));
  for (int i = 0; i < Count; ++i)
    if (!GetParam().Kept(i)) items[i].Reset();
  for (int i = 0; i < Count; ++i) {
    THostMenuNode* node = Model.Find("UNIT" + std::to_string(i));
    ASSERT_EQ(node != nullptr, GetParam().Kept(i)) << "Unit" << i;
    if (node) {
      EXPECT_EQ(node->Name, "Unit" + std::to_string(i));
    }
  }
  for (int i = 0; i < Count; ++i)
    if (!GetParam().Kept(i)) items[i] = Insert(tools.Get(), -1, "Again" + std::to_string(i));
  for (int i = 0; i < Count; ++i) {
    const std::string name = (GetParam().Kept(i) ? "Unit" : "Again") + std::to_string(i);
    THostMenuNode* node = Model.Find(name);
    ASSERT_NE(node, nullptr) << name;
    EXPECT_EQ(node->Name, name);
  }
  EXPECT_NE(Model.Find("ToolsOptionsItem"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, HostMenuWithdrawTest,
    ::testing::Values(TWithdrawRow{"None", [](int) { return true; }},
                      TWithdrawRow{"All", [](int) { return false; }},
                      TWithdrawRow{"EveryOther", [](int AIndex) { return AIndex % 2 == 0; }},
                      TWithdrawRow{"EverySeventhKept", [](int AIndex) { return AIndex % 7 == 0; }},
                      TWithdrawRow{"EarlierHalf", [](int AIndex) { return AIndex < 1500; }},
                      TWithdrawRow{"LaterHalf", [](int AIndex) { return AIndex >= 1500; }}),
    RowName);

struct TInsertRow {
  const char* Name;
  int Index;
  int Position;  // where the item lands among FileMenu's ten children
};
void PrintTo(const TInsertRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class HostMenuInsertTest : public HostMenuModelTest, public ::testing::WithParamInterface<TInsertRow> {};

TEST_P(HostMenuInsertTest, InsertsAtTheIndexOrAppends) {
  const TInsertRow& row = GetParam();
  TItemRef file = Item("FileMenu");
  Model.SetCallLog(&Log);
  TItemRef added(file->InsertItem(row.Index, "&Tidy", "TidyItem", "Tidies", 0x4054, 7, 3, {mfVisible, mfChecked},
                                  nullptr));
  ASSERT_TRUE(added);
  EXPECT_THAT(Log, ElementsAre(Format("FileMenu.InsertItem(%d, \"&Tidy\", \"TidyItem\", \"Tidies\", 16468, 7, 3, $0C)",
                                      {row.Index})));
  THostMenuNode* node = Model.Find("tidyitem");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->Parent, Model.Find("FileMenu"));
  EXPECT_EQ(node->Index(), row.Position);
  EXPECT_EQ(added->GetIndex(), row.Position);
  EXPECT_EQ(node->Parent->Children.size(), 13u);
  EXPECT_EQ(node->Caption, "&Tidy");
  EXPECT_EQ(node->Hint, "Tidies");
  EXPECT_EQ(node->ShortCut, 0x4054);
  EXPECT_EQ(node->Context, 7);
  EXPECT_EQ(node->GroupIndex, 3);
  EXPECT_EQ(node->Flags, (TIMenuFlags{mfVisible, mfChecked}));
}

INSTANTIATE_TEST_SUITE_P(Positions, HostMenuInsertTest,
                         ::testing::Values(TInsertRow{"First", 0, 0}, TInsertRow{"Middle", 3, 3},
                                           TInsertRow{"AtCount", 12, 12}, TInsertRow{"MinusOne", -1, 12},
                                           TInsertRow{"PastEnd", 13, 12}, TInsertRow{"FarPastEnd", 99, 12},
                                           TInsertRow{"OtherNegative", -7, 12}),
                         RowName);

TEST_F(HostMenuModelTest, ClickHandsTheHandlerTheVeryObjectInsertItemReturned) {
  TIMenuItemIntf* clicked = nullptr;
  int clicks = 0;
  TItemRef added = Insert(Item("ToolsMenu").Get(), -1, "ToolsTidyItem", [&](TIMenuItemIntf* ASender) {
    clicked = ASender;
    ++clicks;
  });
  Model.Click(*Model.Find("ToolsTidyItem"));
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(clicked, added.Get());

  Model.Click(*Model.Find("FileSaveItem"));  // no handler: nothing happens
  EXPECT_EQ(clicks, 1);
}

TEST_F(HostMenuModelTest, ClickOnAHostItemWithoutAnItemObjectLendsATemporaryOne) {
  std::string senderName;
  Item("FileSaveItem")->SetMenuClickEvent([&](TIMenuItemIntf* ASender) { senderName = ASender->GetName(); });
  ASSERT_EQ(Model.LiveObjectCount(), 0);
  Model.Click(*Model.Find("FileSaveItem"));
  EXPECT_EQ(senderName, "FileSaveItem");
  EXPECT_EQ(Model.LiveObjectCount(), 0);
  EXPECT_NE(Model.Find("FileSaveItem"), nullptr);
}

TEST_F(HostMenuModelTest, LastReleaseOfAnAddInItemWithdrawsItWithItsChildren) {
  TItemRef parent = Insert(Item("ToolsMenu").Get(), -1, "VantryMenu");
  TItemRef child = Insert(parent.Get(), -1, "VantryRunItem");
  Insert(child.Get(), -1, "VantryDeepItem");  // withdrawn at once: nobody keeps it
  EXPECT_EQ(Model.Find("VantryDeepItem"), nullptr);
  TItemRef grandchild = Insert(child.Get(), -1, "VantryKeptItem");
  TItemRef secondRef(Model.ItemOf(*Model.Find("VantryMenu")));

  parent.Reset();
  EXPECT_NE(Model.Find("VantryMenu"), nullptr) << "a second reference is still held";
  secondRef.Reset();
  EXPECT_EQ(Model.Find("VantryMenu"), nullptr);
  EXPECT_EQ(Model.Find("VantryRunItem"), nullptr);
  EXPECT_EQ(Model.Find("VantryKeptItem"), nullptr);
  EXPECT_THAT(ChildNames(*Model.Find("ToolsMenu")), ElementsAre("ToolsOptionsItem"));
  EXPECT_EQ(child->GetName(), "") << "the children's objects are detached";
  EXPECT_EQ(grandchild->GetName(), "");
  EXPECT_EQ(Model.LiveObjectCount(), 0) << "detached objects no longer count";
}

TEST_F(HostMenuModelTest, ReleasingHostItemsNeverWithdrawsThem) {
  for (const char* name : {"FileMenu", "FileSaveItem", "N1"}) Item(name).Reset();
  TItemRef root(Model.ItemOf(Model.Root()));
  EXPECT_FALSE(root->DestroyMenuItem());
  EXPECT_FALSE(Item("EditCopyItem")->DestroyMenuItem());
  root.Reset();
  EXPECT_NE(Model.Find("FileSaveItem"), nullptr);
  EXPECT_NE(Model.Find("EditCopyItem"), nullptr);
  EXPECT_EQ(Model.Root().Children.size(), 8u);
  EXPECT_EQ(Model.LiveObjectCount(), 0);
}

// Every call a detached item object answers: empty values, refusals, no crash.
void ExpectDetached(TIMenuItemIntf& AItem) {
  EXPECT_EQ(AItem.GetName(), "");
  EXPECT_EQ(AItem.GetCaption(), "");
  EXPECT_EQ(AItem.GetHint(), "");
  EXPECT_EQ(AItem.GetIndex(), -1);
  EXPECT_EQ(AItem.GetItemCount(), 0);
  EXPECT_EQ(AItem.GetItem(0), nullptr);
  EXPECT_EQ(AItem.GetParent(), nullptr);
  EXPECT_EQ(AItem.GetShortCut(), 0);
  EXPECT_EQ(AItem.GetContext(), 0);
  EXPECT_EQ(AItem.GetGroupIndex(), 0);
  EXPECT_TRUE(AItem.GetFlags().Empty());
  EXPECT_FALSE(AItem.GetMenuClickEvent());
  EXPECT_FALSE(AItem.SetCaption("x"));
  EXPECT_FALSE(AItem.SetFlags({mfVisible}, {}));
  EXPECT_FALSE(AItem.SetMenuClickEvent([](TIMenuItemIntf*) {}));
  EXPECT_EQ(AItem.InsertItem(-1, "x", "X", "", 0, 0, 0, {}, nullptr), nullptr);
  EXPECT_FALSE(AItem.DestroyMenuItem());
  AItem.AddRef();
  AItem.Release();
}

TEST_F(HostMenuModelTest, AnItemWhoseNodeWasWithdrawnIsDetached) {
  TItemRef added = Insert(Item("FileMenu").Get(), 0, "VantryItem");
  TItemRef held(Model.ItemOf(*Model.Find("VantryItem")));
  Model.SetCallLog(&Log);
  EXPECT_TRUE(added->DestroyMenuItem());
  EXPECT_EQ(Model.Find("VantryItem"), nullptr);
  ExpectDetached(*held.Get());
  EXPECT_THAT(Log, ElementsAre("VantryItem.DestroyMenuItem()")) << "detached calls are not logged";
  EXPECT_EQ(Model.LiveObjectCount(), 0);
}

TEST_F(HostMenuModelTest, ObjectsHeldPastTheModelAreDetached) {
  auto model = std::make_unique<THostMenuModel>();
  AddStandardMenus(*model);
  model->SetCallLog(&Log);
  THostRef<TIMainMenuIntf> mainMenu(model->MainMenu());
  TItemRef host(mainMenu->FindMenuItem("FileSaveItem"));
  TItemRef added(host->InsertItem(-1, "x", "X", "", 0, 0, 0, {}, nullptr));
  ASSERT_TRUE(added);
  EXPECT_EQ(model->LiveObjectCount(), 3);
  model.reset();
  Log.clear();

  ExpectDetached(*host.Get());
  ExpectDetached(*added.Get());
  EXPECT_EQ(mainMenu->FindMenuItem("FileSaveItem"), nullptr);
  EXPECT_EQ(mainMenu->GetMenuItems(), nullptr);
  host.Reset();
  added.Reset();
  mainMenu.Reset();
  EXPECT_THAT(Log, IsEmpty());
}

TEST_F(HostMenuModelTest, LogsEveryCallAsItemDotOperation) {
  Model.SetCallLog(&Log);
  THostRef<TIMainMenuIntf> mainMenu(Model.MainMenu());
  TItemRef file(mainMenu->FindMenuItem("filemenu"));
  TItemRef bar(mainMenu->GetMenuItems());
  file->GetIndex();
  TItemRef open(file->GetItem(1));
  open->SetCaption("&Open It");
  open->SetFlags({mfVisible, mfEnabled}, {mfEnabled});
  open->SetMenuClickEvent(nullptr);
  open->AddRef();
  open->Release();
  TItemRef added(bar->InsertItem(-1, "&Vantry", "", "", 0, 0, 0, {mfVisible}, nullptr));
  added.Reset();
  open.Reset();
  mainMenu.Reset();
  EXPECT_THAT(Log, ElementsAre("MainMenu.FindMenuItem(\"filemenu\")", "MainMenu.GetMenuItems()",
                               "FileMenu.GetIndex()", "FileMenu.GetItem(1)", "FileOpenItem.SetCaption(\"&Open It\")",
                               "FileOpenItem.SetFlags($06, $02)", "FileOpenItem.SetMenuClickEvent(nil)",
                               "FileOpenItem.AddRef()", "FileOpenItem.Release()",
                               "(unnamed).InsertItem(-1, \"&Vantry\", \"\", \"\", 0, 0, 0, $04)",
                               "(unnamed).Release()", "FileOpenItem.Release()", "MainMenu.Release()"));
  EXPECT_EQ(Model.Find("FileOpenItem")->Flags, (TIMenuFlags{mfEnabled})) << "SetFlags changes only the masked flags";
}

struct TFailRow {
  const char* Name;  // the operation told to fail
  std::function<void(TIMainMenuIntf&, TIMenuItemIntf&)> Call;  // on FileMenu
};
void PrintTo(const TFailRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class HostMenuFailTest : public HostMenuModelTest, public ::testing::WithParamInterface<TFailRow> {};

TEST_P(HostMenuFailTest, AFailingOperationRaisesUntilCleared) {
  THostRef<TIMainMenuIntf> mainMenu(Model.MainMenu());
  TItemRef file = Item("FileMenu");
  Model.FailCalls(GetParam().Name);
  EXPECT_TRUE(Model.Fails(GetParam().Name));
  EXPECT_THROW(GetParam().Call(*mainMenu.Get(), *file.Get()), Exception);
  EXPECT_EQ(Model.Find("FileMenu")->Caption, "&File");
  EXPECT_EQ(Model.Find("FileMenu")->Children.size(), 12u) << "a failed call changes nothing";
  EXPECT_EQ(file->GetItemCount(), 12) << "other operations still work";
  Model.ClearFailures();
  EXPECT_NO_THROW(GetParam().Call(*mainMenu.Get(), *file.Get()));
}

INSTANTIATE_TEST_SUITE_P(
    Operations, HostMenuFailTest,
    ::testing::Values(
        TFailRow{"FindMenuItem", [](TIMainMenuIntf& M, TIMenuItemIntf&) { TItemRef(M.FindMenuItem("N1")); }},
        TFailRow{"GetMenuItems", [](TIMainMenuIntf& M, TIMenuItemIntf&) { TItemRef(M.GetMenuItems()); }},
        TFailRow{"GetParent", [](TIMainMenuIntf&, TIMenuItemIntf& I) { TItemRef(I.GetParent()); }},
        TFailRow{"GetIndex", [](TIMainMenuIntf&, TIMenuItemIntf& I) { I.GetIndex(); }},
        TFailRow{"GetCaption", [](TIMainMenuIntf&, TIMenuItemIntf& I) { I.GetCaption(); }},
        TFailRow{"SetCaption", [](TIMainMenuIntf&, TIMenuItemIntf& I) { I.SetCaption("&File"); }},
        TFailRow{"InsertItem", [](TIMainMenuIntf&, TIMenuItemIntf& I) {
                   TItemRef added(I.InsertItem(0, "x", "X", "", 0, 0, 0, {}, nullptr));
                   if (added) added->DestroyMenuItem();
                 }}),
    RowName);

TEST_F(HostMenuModelTest, ToolServicesServeTheMenuAndTheOpenFiles) {
  auto* tools = new THeadlessToolServices(Model);
  Model.SetCallLog(&Log);
  THostRef<TIMainMenuIntf> mainMenu(tools->GetMainMenu());
  ASSERT_TRUE(mainMenu);
  EXPECT_TRUE(TItemRef(mainMenu->FindMenuItem("FileSaveItem")));
  Model.FailCalls("GetMainMenu");
  EXPECT_EQ(tools->GetMainMenu(), nullptr);
  EXPECT_EQ(Log[0], "ToolServices.GetMainMenu()");
  EXPECT_EQ(Log.back(), "ToolServices.GetMainMenu()");

  EXPECT_FALSE(tools->IsFileOpen("src/Unit1.pas"));
  EXPECT_TRUE(tools->OpenFile("src/Unit1.pas"));
  EXPECT_TRUE(tools->IsFileOpen("src/Unit1.pas"));
  EXPECT_TRUE(tools->IsFileOpen("src/./lib/../Unit1.pas")) << "paths compare as canonical paths";
  EXPECT_FALSE(tools->IsFileOpen("src/Unit2.pas"));
  EXPECT_THAT(tools->OpenedFiles, ElementsAre("src/Unit1.pas"));
  mainMenu.Reset();
  tools->Free();
  EXPECT_EQ(Model.LiveObjectCount(), 0);
}

TEST_F(HostMenuModelTest, ObserverHearsOfInsertsChangesAndEachWithdrawalOnce) {
  TRecordingObserver observer;
  Model.SetObserver(&observer);
  Model.AddItem(*Model.Find("HelpMenu"), "HelpTipsItem", "&Tips");
  TItemRef parent = Insert(Item("ToolsMenu").Get(), 0, "VantryMenu");
  TItemRef child = Insert(parent.Get(), -1, "VantryRunItem");
  parent->SetHint("Vantry");
  parent->SetShortCut(0x4056);
  parent.Reset();
  Model.SetObserver(nullptr);
  Model.AddItem(Model.Root(), "WindowMenu", "&Window");
  EXPECT_THAT(observer.Events, ElementsAre("inserted HelpTipsItem", "inserted VantryMenu", "inserted VantryRunItem",
                                           "changed VantryMenu", "changed VantryMenu", "removing VantryMenu"));
}

}  // namespace
