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

  // Every node has its action, in its parent's container in model order
  // (a break's separator just before it), with the node's caption and
  // state, and a submenu exactly when it has children.
  void ExpectAgreement(const THostMenuNode& ANode, QWidget* AContainer) {
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
      if (!n.IsSeparator()) EXPECT_EQ(a->text().toStdString(), n.Caption);
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
  QAction* qa = View.ActionOf(*Menu.Find("RadioA"));
  QAction* qb = View.ActionOf(*Menu.Find("RadioB"));
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

TEST_F(QtMenuViewTest, ChoosingAnActionClicksItsNode) {
  int clicks = 0;
  Menu.Find("FileSaveItem")->OnClick = [&](TIMenuItemIntf*) { ++clicks; };
  View.ActionOf(*Menu.Find("FileSaveItem"))->trigger();
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
  QMenu* menu = View.MenuOf(*Menu.Find("AddInParent"));
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
