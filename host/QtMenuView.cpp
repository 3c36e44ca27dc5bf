#include "QtMenuView.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>

#include <cctype>
#include <set>

namespace Vantry {

namespace {

int KeyOf(int AVirtualKey) {
  if ((AVirtualKey >= '0' && AVirtualKey <= '9') || (AVirtualKey >= 'A' && AVirtualKey <= 'Z')) return AVirtualKey;
  if (AVirtualKey >= 0x70 && AVirtualKey <= 0x87) return Qt::Key_F1 + (AVirtualKey - 0x70);
  switch (AVirtualKey) {
    case 0x08: return Qt::Key_Backspace;
    case 0x09: return Qt::Key_Tab;
    case 0x0D: return Qt::Key_Return;
    case 0x1B: return Qt::Key_Escape;
    case 0x20: return Qt::Key_Space;
    case 0x21: return Qt::Key_PageUp;
    case 0x22: return Qt::Key_PageDown;
    case 0x23: return Qt::Key_End;
    case 0x24: return Qt::Key_Home;
    case 0x25: return Qt::Key_Left;
    case 0x26: return Qt::Key_Up;
    case 0x27: return Qt::Key_Right;
    case 0x28: return Qt::Key_Down;
    case 0x2D: return Qt::Key_Insert;
    case 0x2E: return Qt::Key_Delete;
    case 0xBB: return Qt::Key_Equal;  // the "=+" key
    case 0xBD: return Qt::Key_Minus;
    default: return 0;
  }
}

// Qt objects of withdrawn items leave the screen at once and are deleted at
// the next turn of the event loop: a click may withdraw the very action and
// menu that are still delivering it.
void Discard(QAction* AAction) {
  if (!AAction) return;
  AAction->disconnect();
  for (QObject* user : AAction->associatedObjects())
    if (auto* widget = qobject_cast<QWidget*>(user)) widget->removeAction(AAction);
  AAction->deleteLater();
}

void Discard(QMenu* AMenu) {
  if (!AMenu) return;
  AMenu->hide();
  AMenu->deleteLater();
}

}  // namespace

QKeySequence ShortCutToKeySequence(int AShortCut) {
  int key = KeyOf(AShortCut & 0xFF);
  if (!key) return {};
  if (AShortCut & 0x2000) key |= Qt::SHIFT;
  if (AShortCut & 0x4000) key |= Qt::CTRL;
  if (AShortCut & 0x8000) key |= Qt::ALT;
  return QKeySequence(key);
}

TQtMenuView::TQtMenuView(THostMenuModel& AModel, QMenuBar* AMenuBar) : FModel(AModel), FMenuBar(AMenuBar) {
  FEntries[&FModel.Root()];
  ShowChildren(FModel.Root());  // the menu bar is always shown
  ShowShortCuts(FModel.Root());
  FModel.SetObserver(this);
}

TQtMenuView::~TQtMenuView() { FModel.SetObserver(nullptr); }

QAction* TQtMenuView::ActionOf(const THostMenuNode& ANode) const {
  auto it = FEntries.find(&ANode);
  return it == FEntries.end() ? nullptr : it->second.Action;
}

QMenu* TQtMenuView::MenuOf(const THostMenuNode& ANode) const {
  auto it = FEntries.find(&ANode);
  return it == FEntries.end() ? nullptr : it->second.Menu;
}

QAction* TQtMenuView::BreakOf(const THostMenuNode& ANode) const {
  auto it = FEntries.find(&ANode);
  return it == FEntries.end() ? nullptr : it->second.Break;
}

bool TQtMenuView::ShowChildren(const THostMenuNode& ANode) {
  auto it = FEntries.find(&ANode);
  if (it == FEntries.end()) return false;
  if (it->second.ChildrenShown) return true;
  it->second.ChildrenShown = true;
  for (const auto& child : ANode.Children) AddAction(*child);
  return true;
}

void TQtMenuView::MakeMenu(const THostMenuNode& ANode, TEntry& AEntry) {
  AEntry.Menu = new QMenu(FMenuBar);
  AEntry.Menu->setTitle(AEntry.Action->text());
  AEntry.Menu->setToolTipsVisible(true);
  AEntry.ChildrenShown = false;
  const THostMenuNode* node = &ANode;
  QObject::connect(AEntry.Menu, &QMenu::aboutToShow, [this, node] {
    ShowChildren(*node);
    GiveAccelerators(*node);
  });
  AEntry.Action->setMenu(AEntry.Menu);
}

namespace {

// The caption's accelerator letter in lower case: the character after a
// single '&' ("&&" is an ampersand), or 0.
char AcceleratorOf(const std::string& ACaption) {
  for (size_t i = 0; i + 1 < ACaption.size(); ++i)
    if (ACaption[i] == '&') {
      if (ACaption[i + 1] != '&') return static_cast<char>(std::tolower(static_cast<unsigned char>(ACaption[i + 1])));
      ++i;
    }
  return 0;
}

bool IsAcceleratorCandidate(char C) { return std::isalnum(static_cast<unsigned char>(C)); }

}  // namespace

void TQtMenuView::GiveAccelerators(const THostMenuNode& AMenu) {
  // As Windows chooses an item without an accelerator by its first letter,
  // such an item (an add-in's, whose caption is its own) gets the first
  // letter of its caption that no other item of the menu takes, the starts
  // of its words first.
  std::set<char> taken;
  for (const auto& child : AMenu.Children)
    if (char letter = AcceleratorOf(child->Caption)) taken.insert(letter);
  constexpr size_t Letters = 36;
  for (const auto& child : AMenu.Children) {
    if (taken.size() >= Letters) break;
    const std::string& caption = child->Caption;
    QAction* action = ActionOf(*child);
    if (!action || child->IsSeparator() || caption.find('&') != std::string::npos) continue;
    size_t chosen = std::string::npos;
    for (bool wordStarts : {true, false})
      for (size_t i = 0; i < caption.size() && chosen == std::string::npos; ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(caption[i])));
        const bool wordStart = i == 0 || caption[i - 1] == ' ';
        if (IsAcceleratorCandidate(c) && (wordStart || !wordStarts) && !taken.count(c)) chosen = i;
      }
    if (chosen == std::string::npos) continue;
    taken.insert(static_cast<char>(std::tolower(static_cast<unsigned char>(caption[chosen]))));
    std::string shown = caption;
    shown.insert(chosen, 1, '&');
    action->setText(QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size())));
  }
}

QWidget* TQtMenuView::ContainerFor(const THostMenuNode& AParent) {
  if (&AParent == &FModel.Root()) return FMenuBar;
  TEntry& parent = FEntries.at(&AParent);
  if (!parent.Menu) MakeMenu(AParent, parent);
  return parent.Menu;
}

QAction* TQtMenuView::ActionAfter(const THostMenuNode& ANode) const {
  const auto& siblings = ANode.Parent->Children;
  size_t next = static_cast<size_t>(ANode.Index()) + 1;
  if (next >= siblings.size()) return nullptr;
  auto it = FEntries.find(siblings[next].get());
  if (it == FEntries.end()) return nullptr;
  return it->second.Break ? it->second.Break : it->second.Action;
}

void TQtMenuView::AddAction(const THostMenuNode& ANode) {
  QWidget* container = ContainerFor(*ANode.Parent);
  TEntry& entry = FEntries[&ANode];
  entry.Action = new QAction(container);
  container->insertAction(ActionAfter(ANode), entry.Action);
  const THostMenuNode* node = &ANode;
  QObject::connect(entry.Action, &QAction::triggered, [this, node] { FModel.Click(*const_cast<THostMenuNode*>(node)); });
  Apply(ANode, entry);
  // A node with children shows as a submenu at once; its items wait.
  if (!ANode.Children.empty()) MakeMenu(ANode, entry);
}

void TQtMenuView::ItemInserted(const THostMenuNode& ANode) {
  // Under a node that is not shown, or whose submenu has not been opened,
  // the new node waits like its siblings; the parent needs its submenu,
  // though, so that it shows as one.
  auto parent = FEntries.find(ANode.Parent);
  if (parent == FEntries.end()) return;
  if (ANode.Parent != &FModel.Root() && !parent->second.Menu) MakeMenu(*ANode.Parent, parent->second);
  if (parent->second.ChildrenShown) AddAction(ANode);
  if (ANode.ShortCut) ShowPathTo(ANode);
}

void TQtMenuView::ItemChanged(const THostMenuNode& ANode) {
  auto it = FEntries.find(&ANode);
  if (it != FEntries.end())
    Apply(ANode, it->second);
  else if (ANode.ShortCut)
    ShowPathTo(ANode);
}

void TQtMenuView::ShowShortCuts(const THostMenuNode& ANode) {
  for (const auto& child : ANode.Children) {
    if (child->ShortCut) ShowPathTo(*child);
    ShowShortCuts(*child);
  }
}

void TQtMenuView::ShowPathTo(const THostMenuNode& ANode) {
  if (!ANode.Parent || FEntries.count(&ANode)) return;
  ShowPathTo(*ANode.Parent);
  ShowChildren(*ANode.Parent);
}

void TQtMenuView::ItemRemoving(const THostMenuNode& ANode) {
  Forget(ANode);
  // A parent left without children shows as a plain item again.
  const THostMenuNode* parent = ANode.Parent;
  auto it = FEntries.find(parent);
  if (parent != &FModel.Root() && parent->Children.size() == 1 && it != FEntries.end()) {
    TEntry& entry = it->second;
    entry.Action->setMenu(static_cast<QMenu*>(nullptr));
    for (auto& [index, group] : entry.RadioGroups) group->deleteLater();
    entry.RadioGroups.clear();
    Discard(entry.Menu);
    entry.Menu = nullptr;
    entry.ChildrenShown = false;
  }
}

void TQtMenuView::Forget(const THostMenuNode& ANode) {
  auto it = FEntries.find(&ANode);
  if (it == FEntries.end()) return;  // never shown, nor are its children
  if (it->second.ChildrenShown)
    for (const auto& child : ANode.Children) Forget(*child);
  it = FEntries.find(&ANode);
  TEntry& entry = it->second;
  for (auto& [index, group] : entry.RadioGroups) group->deleteLater();
  Discard(entry.Break);
  Discard(entry.Menu);
  Discard(entry.Action);
  FEntries.erase(it);
}

void TQtMenuView::Apply(const THostMenuNode& ANode, TEntry& AEntry) {
  QAction* action = AEntry.Action;
  const QString caption = QString::fromUtf8(ANode.Caption.data(), static_cast<qsizetype>(ANode.Caption.size()));
  action->setSeparator(ANode.IsSeparator());
  action->setText(ANode.IsSeparator() ? QString() : caption);
  if (AEntry.Menu) AEntry.Menu->setTitle(caption);
  action->setStatusTip(QString::fromStdString(ANode.Hint));
  action->setToolTip(ANode.Hint.empty() ? caption : QString::fromStdString(ANode.Hint));
  action->setShortcut(ShortCutToKeySequence(ANode.ShortCut));
  action->setEnabled(ANode.Flags.Contains(mfEnabled));
  action->setVisible(ANode.Flags.Contains(mfVisible));

  bool radio = ANode.Flags.Contains(mfRadioItem);
  QActionGroup* group = nullptr;
  if (radio && ANode.Parent != &FModel.Root()) {
    QActionGroup*& slot = FEntries.at(ANode.Parent).RadioGroups[ANode.GroupIndex];
    if (!slot) slot = new QActionGroup(FMenuBar);
    group = slot;
  }
  action->setActionGroup(group);
  action->setCheckable(radio || ANode.Flags.Contains(mfChecked));
  action->setChecked(ANode.Flags.Contains(mfChecked));
  ApplyBreak(ANode, AEntry);
}

void TQtMenuView::ApplyBreak(const THostMenuNode& ANode, TEntry& AEntry) {
  bool wanted = ANode.Flags.Contains(mfBreak) || ANode.Flags.Contains(mfBarBreak);
  if (wanted == (AEntry.Break != nullptr) || ANode.Parent == &FModel.Root()) return;
  if (!wanted) {
    Discard(AEntry.Break);
    AEntry.Break = nullptr;
    return;
  }
  auto* container = qobject_cast<QWidget*>(AEntry.Action->parent());
  AEntry.Break = new QAction(container);
  AEntry.Break->setSeparator(true);
  container->insertAction(AEntry.Action, AEntry.Break);
}

}  // namespace Vantry
