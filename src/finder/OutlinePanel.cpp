#include "finder/OutlinePanel.h"

#include "index/DeclarationScanner.h"

#include <QTimer>

#include <algorithm>
#include <QTreeWidget>

#include <functional>

namespace Vantry {

namespace {

uint32_t LineOfOffset(const std::string& AText, size_t AOffset) {
  uint32_t line = 1;
  for (size_t i = 0; i < AOffset && i < AText.size(); ++i) line += AText[i] == '\n';
  return line;
}

}  // namespace

TOutlinePanel::TOutlinePanel(TIToolServices* AServices, QWidget* AParent)
    : QDockWidget(tr("Unit Outline"), AParent), FServices(AServices), FTimer(new QTimer(this)) {
  setObjectName(QStringLiteral("VantryOutlinePanel"));
  TVOutline = new QTreeWidget(this);
  TVOutline->setHeaderHidden(true);
  TVOutline->setUniformRowHeights(true);
  setWidget(TVOutline);
  FTimer->setInterval(300);
  connect(FTimer, &QTimer::timeout, this, &TOutlinePanel::Refresh);
  connect(this, &QDockWidget::visibilityChanged, this, [this](bool AVisible) {
    if (AVisible) {
      Refresh();
      FTimer->start();
    } else {
      FTimer->stop();
    }
  });
  const auto go = [this](QTreeWidgetItem* AItem) {
    if (!AItem || FPath.empty()) return;
    const auto it = std::find(FRows.begin(), FRows.end(), AItem);
    if (it == FRows.end()) return;
    const TOutlineItem& item = FItems[static_cast<size_t>(it - FRows.begin())];
    FServices->OpenFileAt(FPath, static_cast<int>(item.Line), static_cast<int>(item.Column));
  };
  connect(TVOutline, &QTreeWidget::itemClicked, this, go);
  connect(TVOutline, &QTreeWidget::itemActivated, this, go);
}

void TOutlinePanel::Refresh() {
  std::string text;
  size_t cursor = 0;
  if (!FServices || !FServices->GetEditorText(text, cursor)) {
    Rebuild({}, {});
    return;
  }
  const std::string path = FServices->GetCurrentFile();
  const size_t hash = std::hash<std::string>()(text);
  if (hash != FTextHash || path != FPath || FItems.empty()) Rebuild(text, path);
  FTextHash = hash;
  Follow(LineOfOffset(text, cursor));
}

void TOutlinePanel::Rebuild(const std::string& AText, const std::string& APath) {
  FPath = APath;
  FItems = AText.empty() ? std::vector<TOutlineItem>() : OutlineOf(AText, IsIncludeFileName(APath));
  TVOutline->clear();
  FRows.clear();
  std::vector<QTreeWidgetItem*> parents;  // the last row of each depth
  for (const TOutlineItem& item : FItems) {
    const size_t depth = std::min(static_cast<size_t>(std::max(item.Depth, 0)), parents.size());
    QString text = QString::fromStdString(item.Name);
    if (item.Kind != item.Name) text = QString::fromStdString(item.Kind) + QLatin1Char(' ') + text;
    if (!item.Detail.empty()) text += QLatin1Char(' ') + QString::fromStdString(item.Detail);
    auto* row = depth == 0 ? new QTreeWidgetItem(TVOutline, {text}) : new QTreeWidgetItem(parents[depth - 1], {text});
    row->setToolTip(0, QStringLiteral("line %1").arg(item.Line));
    parents.resize(depth);
    parents.push_back(row);
    FRows.push_back(row);
  }
  TVOutline->expandAll();
}

void TOutlinePanel::Follow(uint32_t ALine) {
  const int at = OutlineItemAt(FItems, ALine);
  if (at >= 0 && TVOutline->currentItem() != FRows[static_cast<size_t>(at)]) {
    TVOutline->setCurrentItem(FRows[static_cast<size_t>(at)]);
    TVOutline->scrollToItem(FRows[static_cast<size_t>(at)]);
  }
}

QStringList TOutlinePanel::Rows() const {
  QStringList rows;
  for (const TOutlineItem& item : FItems)
    rows << QString(item.Depth * 2, QLatin1Char(' ')) +
                QStringLiteral("%1: %2 %3").arg(item.Line).arg(QString::fromStdString(item.Kind), QString::fromStdString(item.Name));
  return rows;
}

int TOutlinePanel::CurrentRow() const {
  const auto it = std::find(FRows.begin(), FRows.end(), TVOutline->currentItem());
  return it == FRows.end() ? -1 : static_cast<int>(it - FRows.begin());
}

}  // namespace Vantry
