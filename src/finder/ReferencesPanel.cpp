#include "finder/ReferencesPanel.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <chrono>

namespace Vantry {

namespace {

enum TRole { rPath = Qt::UserRole, rLine, rColumn, rMarkStart, rMarkLength };

// Paints a reference's row with the name in bold.
class TMarkedLineDelegate final : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* APainter, const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override {
    const QVariant start = AIndex.data(rMarkStart);
    if (!start.isValid()) return QStyledItemDelegate::paint(APainter, AOption, AIndex);
    QStyleOptionViewItem option = AOption;
    initStyleOption(&option, AIndex);
    const QString text = option.text;
    option.text.clear();
    option.widget->style()->drawControl(QStyle::CE_ItemViewItem, &option, APainter, option.widget);
    const int from = start.toInt(), length = AIndex.data(rMarkLength).toInt();
    QRect rect = option.rect.adjusted(4, 0, 0, 0);
    APainter->save();
    APainter->setPen(option.palette.color(option.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
    QFont bold = option.font;
    bold.setBold(true);
    for (const auto& [part, font] : {std::pair{text.left(from), option.font}, std::pair{text.mid(from, length), bold},
                                     std::pair{text.mid(from + length), option.font}}) {
      APainter->setFont(font);
      APainter->drawText(rect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, part);
      rect.setLeft(rect.left() + QFontMetrics(font).horizontalAdvance(part));
    }
    APainter->restore();
  }
};

}  // namespace

TReferencesPanel::TReferencesPanel(TOpenChoice AOpen, QWidget* AParent)
    : QDockWidget(tr("References"), AParent), FOpen(std::move(AOpen)) {
  setObjectName(QStringLiteral("VantryReferencesPanel"));
  auto* body = new QWidget(this);
  auto* layout = new QVBoxLayout(body);
  layout->setContentsMargins(4, 4, 4, 4);
  auto* bar = new QHBoxLayout;
  LBStatus = new QLabel(body);
  CBOverrideUses = new QCheckBox(tr("Include uses of overrides"), body);
  BTCancel = new QPushButton(tr("Cancel"), body);
  BTCancel->setEnabled(false);
  bar->addWidget(LBStatus, 1);
  bar->addWidget(CBOverrideUses);
  bar->addWidget(BTCancel);
  TVResults = new QTreeWidget(body);
  TVResults->setHeaderHidden(true);
  TVResults->setUniformRowHeights(true);
  TVResults->setItemDelegate(new TMarkedLineDelegate(TVResults));
  TVResults->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  layout->addLayout(bar);
  layout->addWidget(TVResults);
  setWidget(body);
  connect(BTCancel, &QPushButton::clicked, this, &TReferencesPanel::Cancel);
  connect(TVResults, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* AItem) { Open(AItem); });
  connect(CBOverrideUses, &QCheckBox::toggled, this, [this] {
    if (FTable) Search(FTable, FTarget, FQuestion);
  });
}

TReferencesPanel::~TReferencesPanel() { Stop(); }

void TReferencesPanel::Stop() {
  FCancel = true;
  if (FWorker.joinable()) FWorker.join();
  FCancel = false;
}

void TReferencesPanel::Cancel() { FCancel = true; }

void TReferencesPanel::Search(std::shared_ptr<const TDeclarationTable> ATable, TTarget ATarget,
                              TReferenceQuestion AQuestion) {
  Stop();
  FTable = ATable;
  FTarget = ATarget;
  FQuestion = AQuestion;
  TVResults->clear();
  LBStatus->setText(tr("Searching..."));
  BTCancel->setEnabled(true);
  show();
  raise();
  TReferenceOptions options;
  options.OverrideUses = CBOverrideUses->isChecked();
  FDone = false;
  // One search serves while the table stays: it keeps what it has read of
  // the library's files for the next question.
  if (!FSearch || FSearchTable != ATable) {
    FSearch = std::make_shared<TReferenceSearch>(ATable, ATarget);
    FSearchTable = ATable;
  }
  FSearch->SetTextSource([unsaved = AQuestion.Unsaved](const std::string& APath) -> const std::string* {
    if (!unsaved) return nullptr;
    const auto it = unsaved->find(APath);
    return it == unsaved->end() ? nullptr : &it->second;
  });
  FWorker = std::thread([this, search = FSearch, question = std::move(AQuestion), options] {
    const TReferenceTarget aim = question.Declaration != TDeclarationTable::None
                                     ? search->TargetOf(question.Declaration)
                                     : search->TargetAt(question.Path, question.Text, question.Offset);
    auto last = std::chrono::steady_clock::now();
    std::vector<TReference> found = search->Find(aim, options, &FCancel, [&](size_t ADone, size_t ATotal) {
      // At most every 50 ms: the panel need not hear of every file.
      const auto now = std::chrono::steady_clock::now();
      if (now - last < std::chrono::milliseconds(50)) return;
      last = now;
      QMetaObject::invokeMethod(this, [this, ADone, ATotal] { Progress(ADone, ATotal); }, Qt::QueuedConnection);
    });
    const bool cancelled = FCancel.load();
    FDone = true;
    QMetaObject::invokeMethod(
        this, [this, aim, found = std::move(found), cancelled]() mutable { Finished(aim, std::move(found), cancelled); },
        Qt::QueuedConnection);
  });
}

void TReferencesPanel::Progress(size_t ADone, size_t ATotal) {
  if (!FDone) LBStatus->setText(tr("Searching: %1 of %2 files read...").arg(ADone).arg(ATotal));
}

void TReferencesPanel::Finished(const TReferenceTarget& ATarget, std::vector<TReference> AFound, bool ACancelled) {
  BTCancel->setEnabled(false);
  TVResults->clear();
  QTreeWidgetItem* file = nullptr;
  int files = 0;
  for (const TReference& r : AFound) {
    const QByteArray path = QByteArray::fromStdString(r.Path);  // bytes: a path need not be UTF-8
    if (!file || file->data(0, rPath).toByteArray() != path) {
      file = new QTreeWidgetItem(TVResults);
      file->setData(0, rPath, path);
      file->setExpanded(true);
      ++files;
    }
    const QString head = QStringLiteral("%1:%2: ").arg(r.Line).arg(r.Column);
    QString text = QString::fromStdString(r.LineText);
    const int column = QString::fromStdString(r.LineText.substr(0, r.Column - 1)).size();
    QString tail;
    if (r.Kind != rkUse) tail = QStringLiteral("  [%1]").arg(QString::fromUtf8(ReferenceKindName(r.Kind)));
    auto* row = new QTreeWidgetItem(file, {head + text + tail});
    row->setData(0, rPath, path);
    row->setData(0, rLine, r.Line);
    row->setData(0, rColumn, r.Column);
    row->setData(0, rMarkStart, head.size() + column);
    row->setData(0, rMarkLength, QString::fromStdString(r.LineText.substr(r.Column - 1, r.Length)).size());
  }
  // A file by its path below the source folder.
  const std::string root = FTable ? FTable->Root() + (FTable->Root().empty() || FTable->Root().back() == '/' ? "" : "/") : "";
  for (int i = 0; i < TVResults->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = TVResults->topLevelItem(i);
    std::string path = item->data(0, rPath).toByteArray().toStdString();
    if (!root.empty() && path.rfind(root, 0) == 0) path.erase(0, root.size());
    item->setText(0, QStringLiteral("%1 (%2)").arg(QString::fromUtf8(path.c_str())).arg(item->childCount()));
  }
  QString status = ATarget.Empty() ? QString::fromStdString(ATarget.Note)
                                   : tr("%1: %2 references in %3 files").arg(QString::fromStdString(ATarget.QualifiedName))
                                         .arg(AFound.size()).arg(files);
  if (!ATarget.Empty() && !ATarget.Note.empty()) status += QStringLiteral(" (%1)").arg(QString::fromStdString(ATarget.Note));
  if (ACancelled) status += tr(", cancelled");
  LBStatus->setText(status);
  if (TVResults->topLevelItemCount() > 0 && TVResults->topLevelItem(0)->childCount() > 0)
    TVResults->setCurrentItem(TVResults->topLevelItem(0)->child(0));
}

void TReferencesPanel::Open(QTreeWidgetItem* AItem) {
  if (!AItem || !AItem->data(0, rLine).isValid()) return;
  FOpen(AItem->data(0, rPath).toByteArray().toStdString(), AItem->data(0, rLine).toInt(), AItem->data(0, rColumn).toInt());
}

QStringList TReferencesPanel::Rows() const {
  QStringList rows;
  for (int i = 0; i < TVResults->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* file = TVResults->topLevelItem(i);
    rows << file->text(0);
    for (int k = 0; k < file->childCount(); ++k) rows << file->child(k)->text(0);
  }
  return rows;
}

}  // namespace Vantry
