// The Qt menus must show exactly what the host menu model holds, through
// every change an add-in can make.

#include "QtMenuView.h"
#include "hostmodel/StandardMenus.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>

#include <gmock/gmock.h>

using namespace Vantry;

namespace {

class QtMenuViewTest : public ::testing::Test {
protected:
  QtMenuViewTest() : View(Menu, &Bar) { AddStandardMenus(Menu); }

  // Every node has its action once its menu has been shown (the check
  // shows each, as a user opening it would), in its parent's container in
  // model order (a break's separator just before it), with the node's
  // caption and state, and a submenu exactly when it has children.
  void ExpectAgreement(const THostMenuNode& ANode, QWidget* AContainer) {
    if (auto* menu = qobject_cast<QMenu*>(AContainer)) emit menu->aboutToShow();
    QList<QAction*> expected;
    for (const auto& child : ANode.Children) {
      if (QAction* b = View.BreakOf(*child)) expected << b;
      expected << View.ActionOf(*child);
    }
    ASSERT_EQ(AContainer->actions(), expected) << "children of " << ANode.Name;
    for (const auto& child : ANode.Children) {
      const THostMenuNode& n = *child;
      QAction* a = View.ActionOf(n);
      SCOPED_TRACE(n.Name);
      EXPECT_EQ(a->isSeparator(), n.IsSeparator());
      if (!n.IsSeparator()) {
        // The view may underline a letter of a caption that has no accelerator.
        EXPECT_EQ(QString(a->text()).remove(u'&'), QString::fromStdString(n.Caption).remove(u'&'));
      }
      EXPECT_EQ(a->isEnabled(), n.Flags.Contains(mfEnabled));
      EXPECT_EQ(a->isVisible(), n.Flags.Contains(mfVisible));
      EXPECT_EQ(a->isChecked(), n.Flags.Contains(mfChecked));
      EXPECT_EQ(View.BreakOf(n) != nullptr,
                &ANode != &Menu.Root() && (n.Flags.Contains(mfBreak) || n.Flags.Contains(mfBarBreak)));
      EXPECT_EQ(a->menu() != nullptr, !n.Children.empty());
      if (!n.Children.empty()) ExpectAgreement(n, a->menu());
    }
  }

  void ExpectAgreement() { ExpectAgreement(Menu.Root(), &Bar); }

  // The node's action, its menus shown down to it as a user would.
  QAction* ShownAction(const char* AName) {
    std::vector<const THostMenuNode*> path;
    for (const THostMenuNode* n = Menu.Find(AName); n; n = n->Parent) path.insert(path.begin(), n);
    for (const THostMenuNode* n : path) View.ShowChildren(*n);
    return View.ActionOf(*Menu.Find(AName));
  }

  // Inserts through the host interface, as an add-in does; "" is the menu bar.
  THostRef<TIMenuItemIntf> Insert(const std::string& AParent, int AIndex, const std::string& AName,
                                  const std::string& ACaption = "Item") {
    THostRef<TIMainMenuIntf> main(Menu.MainMenu());
    THostRef<TIMenuItemIntf> parent(AParent.empty() ? main->GetMenuItems() : main->FindMenuItem(AParent));
    return THostRef<TIMenuItemIntf>(
        parent->InsertItem(AIndex, ACaption, AName, "", 0, 0, 0, {mfEnabled, mfVisible}, nullptr));
  }

  QMenuBar Bar;
  THostMenuModel Menu;
  TQtMenuView View;
};

TEST_F(QtMenuViewTest, ShowsTheStandardMenus) {
  ExpectAgreement();
  EXPECT_EQ(Bar.actions().size(), 8);
  EXPECT_EQ(Bar.actions()[0]->text(), "&File");
}

struct TInsertRow {
  const char* Name;
  const char* Parent;
  int Index;
  friend void PrintTo(const TInsertRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class QtMenuViewInsertTest : public QtMenuViewTest, public ::testing::WithParamInterface<TInsertRow> {};

TEST_P(QtMenuViewInsertTest, AgreesAfterAnInsert) {
  auto item = Insert(GetParam().Parent, GetParam().Index, "Added");
  ExpectAgreement();
  auto child = Insert("Added", -1, "AddedChild");  // the item becomes a submenu
  ExpectAgreement();
  child.Reset();  // and a plain item again
  ExpectAgreement();
}

INSTANTIATE_TEST_SUITE_P(Positions, QtMenuViewInsertTest,
                         ::testing::Values(TInsertRow{"FirstInMenu", "FileMenu", 0},
                                           TInsertRow{"BeforeSave", "FileMenu", 3},
                                           TInsertRow{"LastInMenu", "FileMenu", -1},
                                           TInsertRow{"UnderAnItem", "FileSaveItem", 0},
                                           TInsertRow{"InTheMenuBar", "", 2}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(QtMenuViewTest, FollowsCaptionFlagAndBreakChanges) {
  auto item = Insert("FileMenu", 2, "Changing", "Before");
  item->SetCaption("&After");
  item->SetFlags({mfEnabled, mfChecked}, {mfChecked});
  ExpectAgreement();
  EXPECT_EQ(View.ActionOf(*Menu.Find("Changing"))->text(), "&After");
  item->SetFlags({mfBarBreak}, {mfBarBreak});
  ExpectAgreement();
  item->SetFlags({mfBarBreak, mfVisible}, {});
  ExpectAgreement();
  item->SetShortCut(0x4000 | 'K');
  EXPECT_EQ(View.ActionOf(*Menu.Find("Changing"))->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_K));
}

TEST_F(QtMenuViewTest, RadioItemsShareAnExclusiveGroup) {
  auto a = Insert("FileMenu", -1, "RadioA");
  auto b = Insert("FileMenu", -1, "RadioB");
  a->SetFlags({mfRadioItem, mfChecked}, {mfRadioItem, mfChecked});
  b->SetFlags({mfRadioItem}, {mfRadioItem});
  QAction* qa = ShownAction("RadioA");
  QAction* qb = ShownAction("RadioB");
  ASSERT_NE(qa->actionGroup(), nullptr);
  EXPECT_EQ(qa->actionGroup(), qb->actionGroup());
  EXPECT_TRUE(qa->actionGroup()->isExclusive());
}

TEST_F(QtMenuViewTest, AWithdrawnSubtreeLeavesNoActionBehind) {
  auto top = Insert("FileMenu", 3, "Top");
  auto child = Insert("Top", -1, "Child");
  auto grandChild = Insert("Child", -1, "GrandChild");
  const THostMenuNode* node = Menu.Find("GrandChild");
  child.Reset();  // the child stays while the grandchild's item holds it...
  ExpectAgreement();
  top.Reset();  // ...and goes with the top item
  ExpectAgreement();
  EXPECT_EQ(View.ActionOf(*node), nullptr);
  EXPECT_EQ(grandChild->GetName(), "");  // detached
}

TEST_F(QtMenuViewTest, ASubmenuGetsItsActionsWhenFirstShownAndFollowsChangesAfter) {
  auto top = Insert("FileMenu", 3, "Top");
  std::vector<THostRef<TIMenuItemIntf>> items;
  for (int i = 0; i < 30; ++i) items.push_back(Insert("Top", -1, "Item" + std::to_string(i)));
  auto deep = Insert("Item0", -1, "Deep");
  emit View.MenuOf(*Menu.Find("FileMenu"))->aboutToShow();
  QMenu* topMenu = View.MenuOf(*Menu.Find("Top"));
  ASSERT_NE(topMenu, nullptr);  // shows as a submenu...
  EXPECT_TRUE(topMenu->actions().isEmpty());  // ...whose items wait
  EXPECT_EQ(View.ActionOf(*Menu.Find("Item5")), nullptr);
  items[5]->SetCaption("Changed while hidden");
  items[7].Reset();
  emit topMenu->aboutToShow();
  EXPECT_EQ(View.ActionOf(*Menu.Find("Item5"))->text().remove(u'&'), "Changed while hidden");
  EXPECT_EQ(View.ActionOf(*Menu.Find("Deep")), nullptr);  // Item0's own submenu still waits
  ExpectAgreement();
  // Once shown, every change shows at once.
  auto inserted = Insert("Top", 2, "Inserted");
  items[9]->SetFlags({mfEnabled, mfBarBreak}, {mfBarBreak});
  items[10]->SetCaption("Renamed");
  items[11].Reset();
  EXPECT_EQ(topMenu->actions().size(), 30);  // 30 - 2 withdrawn + 1 inserted + 1 break
  EXPECT_EQ(topMenu->actions()[2], View.ActionOf(*Menu.Find("Inserted")));
  EXPECT_EQ(View.ActionOf(*Menu.Find("Item10"))->text(), "Renamed");
  ExpectAgreement();
}

TEST_F(QtMenuViewTest, ChoosingAnActionClicksItsNode) {
  int clicks = 0;
  Menu.Find("FileSaveItem")->OnClick = [&](TIMenuItemIntf*) { ++clicks; };
  ShownAction("FileSaveItem")->trigger();
  EXPECT_EQ(clicks, 1);
}

TEST(ShortCutTest, MapsDelphiShortCutsToKeySequences) {
  EXPECT_EQ(ShortCutToKeySequence(0), QKeySequence());
  EXPECT_EQ(ShortCutToKeySequence(0x4000 | 'S'), QKeySequence(Qt::CTRL | Qt::Key_S));
  EXPECT_EQ(ShortCutToKeySequence(0x2000 | 0x71), QKeySequence(Qt::SHIFT | Qt::Key_F2));
  EXPECT_EQ(ShortCutToKeySequence(0x8000 | 0x2E), QKeySequence(Qt::ALT | Qt::Key_Delete));
  EXPECT_EQ(ShortCutToKeySequence(0xFF), QKeySequence());
}

// A click may withdraw its own item, and with it the menu delivering it.
TEST_F(QtMenuViewTest, AClickThatWithdrawsItsOwnMenuIsSafe) {
  THostRef<TIMenuItemIntf> parent = Insert("FileMenu", 0, "AddInParent", "Parent");
  THostRef<TIMenuItemIntf> child = Insert("AddInParent", -1, "AddInChild", "Child");
  child->SetMenuClickEvent([&](TIMenuItemIntf*) { child.Reset(), parent.Reset(); });
  emit View.MenuOf(*Menu.Find("FileMenu"))->aboutToShow();
  QMenu* menu = View.MenuOf(*Menu.Find("AddInParent"));
  emit menu->aboutToShow();
  menu->popup(QPoint(0, 0));
  QPoint at = menu->actionGeometry(View.ActionOf(*Menu.Find("AddInChild"))).center();
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent event(type, at, menu->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(menu, &event);
  }
  QApplication::processEvents();
  EXPECT_EQ(Menu.Find("AddInParent"), nullptr);
  ExpectAgreement();
}

}  // namespace
