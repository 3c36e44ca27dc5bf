#include "menus/ecMenus.h"

#include "expert/host/ExptIntf.h"
#include "hostmodel/HostMenuModel.h"
#include "hostmodel/StandardMenus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <ostream>
#include <tuple>

using namespace Vantry;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

// Names each row of a parameterised test after its Name.
constexpr auto RowName = [](const auto& AInfo) { return std::string(AInfo.param.Name); };

std::string Hex(unsigned ABits) {
  char text[16];
  std::snprintf(text, sizeof text, "$%02X", ABits);
  return text;
}

// A host whose main menu finds every name at its invisible root, which has no parent.
class TRootToolServices : public THeadlessToolServices {
  struct TRootMainMenu : TIMainMenuIntf {
    explicit TRootMainMenu(THostMenuModel& AModel) : Model(AModel) {}
    TIMenuItemIntf* GetMenuItems() override { return Model.ItemOf(Model.Root()); }
    TIMenuItemIntf* FindMenuItem(const std::string&) override { return GetMenuItems(); }
    THostMenuModel& Model;
  };

public:
  explicit TRootToolServices(THostMenuModel& AModel) : THeadlessToolServices(AModel), FModel(AModel) {}
  TIMainMenuIntf* GetMainMenu() override { return new TRootMainMenu(FModel); }

private:
  THostMenuModel& FModel;
};

// A host that tidies values as it takes them: the component must keep what it reads back.
class TTidyingHost : public THostMenuObserver {
public:
  TTidyingHost(THostMenuModel& AModel, std::function<void(THostMenuNode&)> ATidy) : FModel(AModel), FTidy(ATidy) {}
  void ItemInserted(const THostMenuNode&) override {}
  void ItemRemoving(const THostMenuNode&) override {}
  void ItemChanged(const THostMenuNode& ANode) override { FTidy(*FModel.Find(ANode.Name)); }

private:
  THostMenuModel& FModel;
  std::function<void(THostMenuNode&)> FTidy;
};

class ecMenusTest : public ::testing::Test {
protected:
  void SetUp() override {
    AddStandardMenus(Model);
    Tools = new THeadlessToolServices(Model);
    ToolServices = Tools;
    Model.SetCallLog(&Log);
    Root = new TComponent(nullptr);
  }
  void TearDown() override {
    Root->Free();
    ToolServices = nullptr;
    Tools->Free();
    Model.SetObserver(nullptr);
  }

  TecInterfaceMenuItem* NewItem() { return CreateComponent<TecInterfaceMenuItem>(Root); }
  TecInterfaceMenuItem* ActiveItem() {
    TecInterfaceMenuItem* item = NewItem();
    item->SetActive(true);
    EXPECT_TRUE(item->Active());
    Log.clear();
    return item;
  }
  THostMenuNode* Node(const std::string& AName = "MenuItem") { return Model.Find(AName); }

  THostMenuModel Model;
  std::vector<std::string> Log;
  THeadlessToolServices* Tools = nullptr;
  TComponent* Root = nullptr;
};

TEST_F(ecMenusTest, ANewComponentDescribesADefaultItemWithoutAskingTheHost) {
  TecInterfaceMenuItem* item = NewItem();
  EXPECT_EQ(std::make_tuple(item->TargetName(), item->Caption(), item->MenuItemName(), item->Hint()),
            std::make_tuple("FileMenu", "Caption", "MenuItem", ""));
  EXPECT_EQ(std::make_tuple(item->ShortCut(), item->Context(), item->GroupIndex()), std::make_tuple(0, 0, 0));
  EXPECT_EQ(std::make_tuple(item->InsertPosition(), item->Break()), std::make_tuple(eciaAfter, ecbtNone));
  EXPECT_EQ(std::make_tuple(item->Visible(), item->Enabled(), item->Checked(), item->RadioItem()),
            std::make_tuple(true, true, false, false));
  EXPECT_FALSE(item->AutomaticActivation());
  EXPECT_FALSE(item->Active());
  EXPECT_THAT(Log, IsEmpty());
  EXPECT_EQ(Model.LiveObjectCount(), 0);
}

struct TPlaceRow {
  const char* Name;
  TecMenuInsertPosition Position;
  const char* Target;
  const char* Parent;  // as the host logs it; the root is unnamed
  int SentIndex;
  int Landed;
};
void PrintTo(const TPlaceRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class ecMenusPlaceTest : public ecMenusTest, public ::testing::WithParamInterface<TPlaceRow> {};

TEST_P(ecMenusPlaceTest, ActivationInsertsBesideOrUnderTheTargetAndReleasesParentTargetMainMenu) {
  const TPlaceRow& row = GetParam();
  TecInterfaceMenuItem* item = NewItem();
  item->SetInsertPosition(row.Position);
  item->SetTargetName(row.Target);
  item->SetActive(true);
  ASSERT_TRUE(item->Active());

  const std::string target = row.Target, parent = row.Parent;
  std::vector<std::string> expected{"ToolServices.GetMainMenu()", "MainMenu.FindMenuItem(\"" + target + "\")"};
  if (row.Position == eciaChildFirst || row.Position == eciaChildLast)
    expected.push_back(target + ".AddRef()");
  else
    expected.insert(expected.end(), {target + ".GetParent()", target + ".GetIndex()"});
  expected.insert(expected.end(),
                  {parent + ".InsertItem(" + std::to_string(row.SentIndex) +
                       ", \"Caption\", \"MenuItem\", \"\", 0, 0, 0, $06)",
                   parent + ".Release()", target + ".Release()", "MainMenu.Release()"});
  EXPECT_THAT(Log, ElementsAreArray(expected));

  THostMenuNode* node = Node();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->Parent, parent == "(unnamed)" ? &Model.Root() : Node(parent));
  EXPECT_EQ(node->Index(), row.Landed);
  EXPECT_EQ(Model.LiveObjectCount(), 1) << "only the component's own reference remains";
}

INSTANTIATE_TEST_SUITE_P(
    Positions, ecMenusPlaceTest,
    ::testing::Values(TPlaceRow{"BeforeItem", eciaBefore, "FileSaveItem", "FileMenu", 5, 5},
                      TPlaceRow{"AfterItem", eciaAfter, "FileSaveItem", "FileMenu", 6, 6},
                      TPlaceRow{"BeforeFirstItem", eciaBefore, "FileNewItem", "FileMenu", 0, 0},
                      TPlaceRow{"AfterLastItem", eciaAfter, "FileExitItem", "FileMenu", 12, 12},
                      TPlaceRow{"AfterMenu", eciaAfter, "FileMenu", "(unnamed)", 1, 1},
                      TPlaceRow{"BeforeMenu", eciaBefore, "HelpMenu", "(unnamed)", 7, 7},
                      TPlaceRow{"ChildFirst", eciaChildFirst, "FileMenu", "FileMenu", 0, 0},
                      TPlaceRow{"ChildLast", eciaChildLast, "FileMenu", "FileMenu", -1, 12},
                      TPlaceRow{"UnderAnItem", eciaChildFirst, "FileSaveItem", "FileSaveItem", 0, 0}),
    RowName);

struct TFlagsRow {
  const char* Name;
  TecBreakType Break;
  bool Visible, Enabled, Checked, RadioItem;
  unsigned Sent;
};
void PrintTo(const TFlagsRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class ecMenusFlagsTest : public ecMenusTest, public ::testing::WithParamInterface<TFlagsRow> {};

TEST_P(ecMenusFlagsTest, InsertsWithTheFlagsOfTheStoredDescription) {
  const TFlagsRow& row = GetParam();
  TecInterfaceMenuItem* item = NewItem();
  item->SetBreak(row.Break);
  item->SetVisible(row.Visible);
  item->SetEnabled(row.Enabled);
  item->SetChecked(row.Checked);
  item->SetRadioItem(row.RadioItem);
  EXPECT_THAT(Log, IsEmpty()) << "an inactive component only stores";
  item->SetActive(true);
  ASSERT_TRUE(item->Active());
  EXPECT_THAT(Log, Contains(HasSubstr(", 0, 0, 0, " + Hex(row.Sent) + ")")));
  EXPECT_EQ(Node()->Flags.Bits(), row.Sent);
  EXPECT_EQ(item->Break(), row.Break);
}

INSTANTIATE_TEST_SUITE_P(Flags, ecMenusFlagsTest,
                         ::testing::Values(TFlagsRow{"Defaults", ecbtNone, true, true, false, false, 0x06},
                                           TFlagsRow{"BarBreak", ecbtBarBreak, true, true, false, false, 0x26},
                                           TFlagsRow{"Break", ecbtBreak, true, true, false, false, 0x16},
                                           TFlagsRow{"Checked", ecbtNone, true, true, true, false, 0x0E},
                                           TFlagsRow{"RadioItem", ecbtNone, true, true, false, true, 0x46},
                                           TFlagsRow{"Hidden", ecbtNone, false, true, false, false, 0x02},
                                           TFlagsRow{"Disabled", ecbtNone, true, false, false, false, 0x04},
                                           TFlagsRow{"AllTheOthers", ecbtBarBreak, false, false, true, true, 0x68}),
                         RowName);

struct TFailureRow {
  const char* Name;
  const char* FailingCall;  // the host operation told to fail, if any
  const char* Target;
  TecMenuInsertPosition Position;
  bool NoToolServices;
};
void PrintTo(const TFailureRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class ecMenusFailureTest : public ecMenusTest, public ::testing::WithParamInterface<TFailureRow> {};

TEST_P(ecMenusFailureTest, AFailedActivationLeavesTheComponentInactiveAndReleasesEverything) {
  const TFailureRow& row = GetParam();
  TecInterfaceMenuItem* item = NewItem();
  item->SetTargetName(row.Target);
  item->SetInsertPosition(row.Position);
  if (*row.FailingCall) Model.FailCalls(row.FailingCall);
  if (row.NoToolServices) ToolServices = nullptr;
  EXPECT_NO_THROW(item->SetActive(true));
  EXPECT_FALSE(item->Active());
  EXPECT_EQ(Node(), nullptr);
  EXPECT_EQ(Model.LiveObjectCount(), 0) << "a host reference was not released";

  Model.ClearFailures();
  ToolServices = Tools;
  item->SetTargetName("FileSaveItem");
  item->SetActive(true);
  EXPECT_TRUE(item->Active()) << "the component can still be activated once the host recovers";
  EXPECT_NE(Node(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ecMenusFailureTest,
    ::testing::Values(TFailureRow{"UnknownTarget", "", "Nope", eciaAfter, false},
                      TFailureRow{"InsertFails", "InsertItem", "FileSaveItem", eciaAfter, false},
                      TFailureRow{"ChildInsertFails", "InsertItem", "FileMenu", eciaChildLast, false},
                      TFailureRow{"GetIndexFails", "GetIndex", "FileSaveItem", eciaBefore, false},
                      TFailureRow{"FindFails", "FindMenuItem", "FileMenu", eciaAfter, false},
                      TFailureRow{"NoMainMenu", "GetMainMenu", "FileMenu", eciaAfter, false},
                      TFailureRow{"NoToolServices", "", "FileMenu", eciaAfter, true}),
    RowName);

TEST_F(ecMenusTest, InsertMenuItemNamesTheTargetItCouldNotUse) {
  try {
    InsertMenuItem(eciaAfter, "Nope", "x", "X", "", 0, 0, 0, {}, nullptr);
    ADD_FAILURE() << "an unknown target was accepted";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Cannot find menu item, Nope");
  }
  ToolServices = new TRootToolServices(Model);
  for (TecMenuInsertPosition position : {eciaBefore, eciaAfter}) {
    try {
      InsertMenuItem(position, "Top", "x", "X", "", 0, 0, 0, {}, nullptr);
      ADD_FAILURE() << "an item without a parent got a sibling";
    } catch (const Exception& E) {
      EXPECT_EQ(E.Message(), "No menu parent for Top");
    }
  }
  ToolServices->Free();
  EXPECT_EQ(Model.LiveObjectCount(), 0);
  EXPECT_EQ(Model.Root().Children.size(), 8u);
}

TEST_F(ecMenusTest, ActivatingTwiceInsertsOnceAndDeactivatingReleasesExactlyOneReference) {
  TecInterfaceMenuItem* item = ActiveItem();
  item->SetActive(true);
  EXPECT_THAT(Log, IsEmpty());
  EXPECT_EQ(Node("FileMenu")->Parent->Children.size(), 9u);

  item->SetActive(false);
  EXPECT_THAT(Log, ElementsAre("MenuItem.Release()"));
  EXPECT_EQ(Node(), nullptr) << "the item leaves the menu";
  EXPECT_EQ(Model.LiveObjectCount(), 0);
  item->SetActive(false);
  EXPECT_THAT(Log, ElementsAre("MenuItem.Release()"));

  ActiveItem()->Free();
  EXPECT_EQ(Node(), nullptr) << "freeing an active component gives its item up";
  EXPECT_EQ(Model.LiveObjectCount(), 0);
}

TEST_F(ecMenusTest, LoadedActivatesOnlyWhenAutomaticActivationIsSet) {
  TecInterfaceMenuItem* manual = NewItem();
  manual->Loaded();
  EXPECT_FALSE(manual->Active());
  EXPECT_THAT(Log, IsEmpty());
  TecInterfaceMenuItem* automatic = NewItem();
  automatic->SetAutomaticActivation(true);
  automatic->Loaded();
  EXPECT_TRUE(automatic->Active());
}

struct TValueRow {
  const char* Name;
  std::function<void(TecInterfaceMenuItem&, const std::string&)> Set;
  std::function<std::string(const TecInterfaceMenuItem&)> Get;
  std::function<void(THostMenuNode&)> Tidy;  // what the host makes of a new value
  std::string Stored, NewValue, Sent, Tidied;
};
void PrintTo(const TValueRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class ecMenusValueTest : public ecMenusTest, public ::testing::WithParamInterface<TValueRow> {};

TEST_P(ecMenusValueTest, WhileActiveOnlyANewValueIsSetOnTheHostAndReadBack) {
  const TValueRow& row = GetParam();
  TecInterfaceMenuItem* item = ActiveItem();
  row.Set(*item, row.Stored);
  EXPECT_THAT(Log, IsEmpty()) << "the stored value needs no host call";
  row.Set(*item, row.NewValue);
  EXPECT_THAT(Log, ElementsAre("MenuItem.Set" + std::string(row.Name) + "(" + row.Sent + ")",
                               "MenuItem.Get" + std::string(row.Name) + "()"));
  EXPECT_EQ(row.Get(*item), row.NewValue);
}

TEST_P(ecMenusValueTest, TheComponentKeepsWhatTheHostReadsBack) {
  const TValueRow& row = GetParam();
  TTidyingHost host(Model, row.Tidy);
  TecInterfaceMenuItem* item = ActiveItem();
  Model.SetObserver(&host);
  row.Set(*item, row.NewValue);
  Model.SetObserver(nullptr);
  item->SetActive(false);
  EXPECT_EQ(row.Get(*item), row.Tidied) << "after deactivation the value read back from the host remains";
}

TEST_P(ecMenusValueTest, WhileInactiveOnlyStoresAndActivationSendsIt) {
  const TValueRow& row = GetParam();
  TecInterfaceMenuItem* item = NewItem();
  row.Set(*item, row.NewValue);
  EXPECT_THAT(Log, IsEmpty());
  EXPECT_EQ(row.Get(*item), row.NewValue);
  item->SetActive(true);
  EXPECT_THAT(Log, Contains(HasSubstr(", " + row.Sent)));
  EXPECT_EQ(row.Get(*item), row.NewValue);
}

int Int(const std::string& S) { return std::stoi(S); }

INSTANTIATE_TEST_SUITE_P(
    Values, ecMenusValueTest,
    ::testing::Values(
        TValueRow{"Caption", [](auto& C, auto& V) { C.SetCaption(V); }, [](auto& C) { return C.Caption(); },
                  [](THostMenuNode& N) { N.Caption += "..."; }, "Caption", "&Tidy", "\"&Tidy\"", "&Tidy..."},
        TValueRow{"Hint", [](auto& C, auto& V) { C.SetHint(V); }, [](auto& C) { return C.Hint(); },
                  [](THostMenuNode& N) { N.Hint += "."; }, "", "Tidies the unit", "\"Tidies the unit\"",
                  "Tidies the unit."},
        TValueRow{"ShortCut", [](auto& C, auto& V) { C.SetShortCut(TShortCut(Int(V))); },
                  [](auto& C) { return std::to_string(C.ShortCut()); }, [](THostMenuNode& N) { N.ShortCut &= 0xFF; },
                  "0", "16468", "16468", "84"},
        TValueRow{"Context", [](auto& C, auto& V) { C.SetContext(Int(V)); },
                  [](auto& C) { return std::to_string(C.Context()); }, [](THostMenuNode& N) { N.Context += 1; }, "0",
                  "42", "42", "43"},
        TValueRow{"GroupIndex", [](auto& C, auto& V) { C.SetGroupIndex(Int(V)); },
                  [](auto& C) { return std::to_string(C.GroupIndex()); }, [](THostMenuNode& N) { N.GroupIndex = 9; },
                  "0", "3", "3", "9"}),
    RowName);

struct TFlagRow {
  const char* Name;
  TIMenuFlag Flag;
  void (TecInterfaceMenuItem::*Set)(bool);
  bool (TecInterfaceMenuItem::*Get)() const;
  bool Default;
};
void PrintTo(const TFlagRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class ecMenusFlagTest : public ecMenusTest, public ::testing::WithParamInterface<TFlagRow> {};

TEST_P(ecMenusFlagTest, ChangingTheFlagWhileActiveSetsOnlyThatFlag) {
  const TFlagRow& row = GetParam();
  TecInterfaceMenuItem* item = ActiveItem();
  const unsigned bit = 1u << row.Flag;
  (item->*row.Set)(!row.Default);
  EXPECT_THAT(Log, Contains("MenuItem.SetFlags(" + Hex(bit) + ", " + Hex(row.Default ? 0 : bit) + ")"));
  EXPECT_EQ(Node()->Flags.Contains(row.Flag), !row.Default);
  EXPECT_EQ(Node()->Flags.Bits() & ~bit, 0x06u & ~bit) << "other flags untouched";
  item->SetActive(false);
  EXPECT_EQ((item->*row.Get)(), !row.Default) << "the value read back stays after deactivation";
}

TEST_P(ecMenusFlagTest, SettingWhatTheHostAlreadyReportsSendsNothing) {
  const TFlagRow& row = GetParam();
  TecInterfaceMenuItem* item = ActiveItem();
  TIMenuFlags& flags = Node()->Flags;
  flags = row.Default ? flags - TIMenuFlags{row.Flag} : flags + TIMenuFlags{row.Flag};
  EXPECT_EQ((item->*row.Get)(), !row.Default) << "the live item answers";
  (item->*row.Set)(!row.Default);
  EXPECT_THAT(Log, Not(Contains(HasSubstr("SetFlags"))));
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ecMenusFlagTest,
    ::testing::Values(
        TFlagRow{"Visible", mfVisible, &TecInterfaceMenuItem::SetVisible, &TecInterfaceMenuItem::Visible, true},
        TFlagRow{"Enabled", mfEnabled, &TecInterfaceMenuItem::SetEnabled, &TecInterfaceMenuItem::Enabled, true},
        TFlagRow{"Checked", mfChecked, &TecInterfaceMenuItem::SetChecked, &TecInterfaceMenuItem::Checked, false},
        TFlagRow{"RadioItem", mfRadioItem, &TecInterfaceMenuItem::SetRadioItem, &TecInterfaceMenuItem::RadioItem,
                 false}),
    RowName);

TEST_F(ecMenusTest, BreakWhileActiveSwapsBothBreakFlagsTogether) {
  TecInterfaceMenuItem* item = ActiveItem();
  item->SetBreak(ecbtBarBreak);
  item->SetBreak(ecbtNone);
  EXPECT_THAT(Log, Contains("MenuItem.SetFlags($30, $20)"));
  EXPECT_THAT(Log, Contains("MenuItem.SetFlags($30, $00)"));
  EXPECT_EQ(Node()->Flags.Bits() & 0x30u, 0u);
  EXPECT_EQ(item->Break(), ecbtNone);
  item->SetBreak(ecbtBreak);
  EXPECT_EQ(Node()->Flags.Bits(), 0x16u);
  EXPECT_EQ(item->Break(), ecbtBreak);
}

TEST_F(ecMenusTest, MenuItemNameWhileActiveIsTheHostsAndRenamingLeavesTheHostItem) {
  TecInterfaceMenuItem* item = ActiveItem();
  EXPECT_EQ(item->MenuItemName(), "MenuItem");
  EXPECT_THAT(Log, ElementsAre("MenuItem.GetName()"));
  item->SetMenuItemName("ToolsTidyItem");
  EXPECT_EQ(item->MenuItemName(), "MenuItem");
  EXPECT_NE(Node(), nullptr);
  EXPECT_EQ(Node("ToolsTidyItem"), nullptr);
  item->SetActive(false);
  EXPECT_EQ(item->MenuItemName(), "ToolsTidyItem");
}

TEST_F(ecMenusTest, TheHostsClickReachesOnClickOnlyForTheLiveItem) {
  std::vector<TObject*> senders;
  TecInterfaceMenuItem* item = NewItem();
  item->OnClick = [&](TObject* Sender) { senders.push_back(Sender); };
  item->SetActive(true);
  Model.Click(*Node());
  EXPECT_THAT(senders, ElementsAre(item));

  TecInterfaceMenuItem* other = NewItem();
  other->SetMenuItemName("OtherItem");
  other->SetActive(true);
  Model.Click(*Node("OtherItem"));  // no OnClick: nothing happens
  TIMenuClickEvent handler = Node()->OnClick;
  handler(other->MenuItemIntf());   // someone else's item is not this component's click
  item->SetActive(false);
  THostRef<TIMenuItemIntf> host(Model.ItemOf(*Node("FileSaveItem")));
  handler(host.Get());
  handler(nullptr);
  EXPECT_EQ(senders.size(), 1u) << "a withdrawn item's handler still reached OnClick";

  TIMenuClickEvent orphan = Node("OtherItem")->OnClick;
  other->OnClick = [&](TObject* Sender) { senders.push_back(Sender); };
  other->Free();
  orphan(host.Get());
  EXPECT_EQ(senders.size(), 1u) << "a handler outliving its component did something";
}

// A handler may free the component it was called for, and runs to its end.
TEST_F(ecMenusTest, AnOnClickThatFreesItsOwnComponentRunsToItsEnd) {
  auto captured = std::make_shared<std::string>("intact");
  std::string seen;
  TecInterfaceMenuItem* item = ActiveItem();
  item->OnClick = [&seen, captured](TObject* Sender) {
    static_cast<TComponent*>(Sender)->Free();
    seen = *captured + std::to_string(captured.use_count());
  };
  captured.reset();
  Model.Click(*Node());
  EXPECT_EQ(seen, "intact1");
  EXPECT_EQ(Model.LiveObjectCount(), 0);
}

}  // namespace
