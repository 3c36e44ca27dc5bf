#include "finder/FinderForm.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>

namespace Vantry {

QString DisplayText(std::string_view ABytes, const std::vector<uint16_t>& AMarks, std::vector<bool>& ACharMarks) {
  QString text;
  ACharMarks.clear();
  size_t mark = 0;
  auto marked = [&](size_t AFrom, size_t ATo) {  // is a byte in [AFrom, ATo) marked?
    while (mark < AMarks.size() && AMarks[mark] < AFrom) ++mark;
    return mark < AMarks.size() && AMarks[mark] < ATo;
  };
  for (size_t i = 0; i < ABytes.size();) {
    auto b = static_cast<unsigned char>(ABytes[i]);
    size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t code = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; k < length; ++k) {
      auto c = i + k < ABytes.size() ? static_cast<unsigned char>(ABytes[i + k]) : 0;
      if ((c & 0xC0) != 0x80) {
        length = 0;
        break;
      }
      code = (code << 6) | (c & 0x3F);
    }
    static constexpr char32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (length == 0 || code < Least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      length = 1;
      code = 0xFFFD;
    }
    QString chars = QString::fromUcs4(&code, 1);
    bool m = marked(i, i + length);
    text += chars;
    ACharMarks.insert(ACharMarks.end(), static_cast<size_t>(chars.size()), m);
    i += length;
  }
  return text;
}

// The ranked files as list rows. The rows refer to the table as it was when
// they were ranked; the form ranks again before the table can differ.
class TFinderResults final : public QAbstractListModel {
public:
  struct TRow {
    QString Name, Folder;
    std::vector<bool> NameMarks, FolderMarks;
  };

  TFinderResults(const TLibraryIndex& AIndex, const TUnitSearch& ASearch, QObject* AParent)
      : QAbstractListModel(AParent), FIndex(AIndex), FSearch(ASearch) {}

  void Reset(const QString& AQuery) {
    beginResetModel();
    FQuery = AQuery.toStdString();
    FRows = static_cast<int>(FSearch.Results().size());
    endResetModel();
  }

  int rowCount(const QModelIndex& AParent) const override { return AParent.isValid() ? 0 : FRows; }

  uint32_t FileOf(int ARow) const { return FSearch.Results()[static_cast<size_t>(ARow)].File; }

  TRow Row(int ARow) const {
    TRow row;
    const TFileTable& table = FIndex.Files();
    uint32_t file = FileOf(ARow);
    TMatchMarks marks = TUnitSearch::Marks(table, file, FQuery);
    row.Name = DisplayText(table.Name(file), marks.Name, row.NameMarks);
    std::string_view folder = table.Folder(table.File(file).Folder);
    row.Folder = folder.empty() ? QStringLiteral(".") : DisplayText(folder, marks.Folder, row.FolderMarks);
    row.FolderMarks.resize(static_cast<size_t>(row.Folder.size()));
    return row;
  }

  QVariant data(const QModelIndex& AIndex, int ARole) const override {
    if (!AIndex.isValid() || AIndex.row() >= FRows) return {};
    if (ARole == Qt::DisplayRole) {
      TRow row = Row(AIndex.row());
      return row.Name + QStringLiteral("  ") + row.Folder;
    }
    if (ARole == Qt::ToolTipRole) {
      std::vector<bool> unused;
      return DisplayText(FIndex.Files().FullPath(FileOf(AIndex.row())), {}, unused);
    }
    return {};
  }

private:
  const TLibraryIndex& FIndex;
  const TUnitSearch& FSearch;
  std::string FQuery;
  int FRows = 0;
};

namespace {

// Paints a row as the name, its matched letters bold in the link colour,
// and the folder after it in a quieter colour.
class TResultDelegate final : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* APainter, const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override {
    QStyleOptionViewItem option(AOption);
    initStyleOption(&option, AIndex);
    option.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &option, APainter, widget);

    const auto* model = static_cast<const TFinderResults*>(AIndex.model());
    TFinderResults::TRow row = model->Row(AIndex.row());
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette& palette = option.palette;
    QColor text = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    QColor mark = selected ? text : palette.color(QPalette::Link);
    QColor quiet = selected ? text : palette.color(QPalette::PlaceholderText);

    APainter->save();
    APainter->setClipRect(option.rect);
    QRect area = option.rect.adjusted(6, 0, -6, 0);
    int x = area.left();
    x = Draw(APainter, option.font, area, x, row.Name, row.NameMarks, text, mark);
    x += 3 * option.fontMetrics.horizontalAdvance(QLatin1Char(' '));
    Draw(APainter, option.font, area, x, row.Folder, row.FolderMarks, quiet, mark);
    APainter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override {
    QSize size = QStyledItemDelegate::sizeHint(AOption, AIndex);
    return {size.width(), std::max(size.height(), AOption.fontMetrics.height() + 6)};
  }

private:
  // Draws the text in runs of marked and unmarked characters from AX on;
  // returns where it ended.
  static int Draw(QPainter* APainter, QFont AFont, const QRect& AArea, int AX, const QString& AText,
                  const std::vector<bool>& AMarks, const QColor& AColor, const QColor& AMarkColor) {
    QFont bold = AFont;
    bold.setBold(true);
    for (qsizetype i = 0; i < AText.size();) {
      bool m = static_cast<size_t>(i) < AMarks.size() && AMarks[static_cast<size_t>(i)];
      qsizetype j = i;
      while (j < AText.size() && (static_cast<size_t>(j) < AMarks.size() && AMarks[static_cast<size_t>(j)]) == m) ++j;
      QString run = AText.mid(i, j - i);
      APainter->setFont(m ? bold : AFont);
      APainter->setPen(m ? AMarkColor : AColor);
      QRect r(AX, AArea.top(), AArea.right() - AX, AArea.height());
      APainter->drawText(r, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, run);
      AX += QFontMetrics(m ? bold : AFont).horizontalAdvance(run);
      i = j;
    }
    return AX;
  }
};

}  // namespace

TFinderForm::TFinderForm(TLibraryIndex& AIndex, std::function<void(const std::string&)> AOpen, QWidget* AParent)
    : QDialog(AParent),
      EDSearch(new QLineEdit(this)),
      LVResults(new QListView(this)),
      LBStatus(new QLabel(this)),
      FIndex(AIndex),
      FOpen(std::move(AOpen)),
      FResults(new TFinderResults(AIndex, FSearch, this)),
      FPollTimer(new QTimer(this)) {
  setWindowTitle(QStringLiteral("Find Library Unit"));
  setObjectName(QStringLiteral("FinderForm"));
  EDSearch->setObjectName(QStringLiteral("EDSearch"));
  EDSearch->setPlaceholderText(QStringLiteral("Type part of a unit's name"));
  EDSearch->setClearButtonEnabled(true);
  LVResults->setObjectName(QStringLiteral("LVResults"));
  LVResults->setModel(FResults);
  LVResults->setItemDelegate(new TResultDelegate(LVResults));
  LVResults->setUniformItemSizes(true);
  LVResults->setFocusPolicy(Qt::NoFocus);  // typing always goes to the search box
  LVResults->setSelectionMode(QAbstractItemView::SingleSelection);
  LBStatus->setObjectName(QStringLiteral("LBStatus"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(EDSearch);
  layout->addWidget(LVResults, 1);
  layout->addWidget(LBStatus);
  resize(620, 420);

  EDSearch->installEventFilter(this);
  connect(EDSearch, &QLineEdit::textChanged, this, &TFinderForm::EDSearchTextChanged);
  connect(EDSearch, &QLineEdit::returnPressed, this, &TFinderForm::OpenSelected);
  connect(LVResults, &QListView::doubleClicked, this, &TFinderForm::OpenSelected);
  connect(LVResults, &QListView::pressed, this, [this] { FUserChose = true; });
  connect(FPollTimer, &QTimer::timeout, this, &TFinderForm::PollTimerTimer);
  FPollTimer->start(50);
  PollTimerTimer();
}

TFinderForm::~TFinderForm() = default;

void TFinderForm::SetQuery(const QString& AText) {
  EDSearch->setText(AText);
  EDSearch->selectAll();
  Rank(false);  // also when the text was the same
}

QStringList TFinderForm::Rows() const {
  QStringList rows;
  for (int i = 0; i < FResults->rowCount({}); ++i) rows << FResults->data(FResults->index(i), Qt::DisplayRole).toString();
  return rows;
}

int TFinderForm::SelectedRow() const {
  QModelIndex current = LVResults->currentIndex();
  return current.isValid() ? current.row() : -1;
}

bool TFinderForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
  // Up, Down and the page keys move through the results while the typing
  // stays in the search box.
  if (AWatched == EDSearch && AEvent->type() == QEvent::KeyPress) {
    switch (static_cast<QKeyEvent*>(AEvent)->key()) {
      case Qt::Key_Up:
      case Qt::Key_Down:
      case Qt::Key_PageUp:
      case Qt::Key_PageDown:
        QApplication::sendEvent(LVResults, AEvent);
        FUserChose = true;
        return true;
      default:
        break;
    }
  }
  return QDialog::eventFilter(AWatched, AEvent);
}

void TFinderForm::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  EDSearch->selectAll();
  EDSearch->setFocus();
  // Each showing may come with a new walk (a refresh) to follow.
  FPollTimer->start(50);
  PollTimerTimer();
}

void TFinderForm::EDSearchTextChanged() {
  FUserChose = false;
  Rank(false);
}

void TFinderForm::PollTimerTimer() {
  FIndex.Poll();
  if (FIndex.Generation() != FRankedGeneration || FIndex.Files().FileCount() != FRankedFiles) Rank(true);
  if (!FIndex.Walking()) FPollTimer->stop();
  ShowStatus();
}

void TFinderForm::Rank(bool AKeepSelection) {
  const bool sameTable = FIndex.Generation() == FRankedGeneration;
  int64_t chosen = -1;
  // The file the user went to stays chosen while more files come in;
  // otherwise the best one is.
  if (AKeepSelection && FUserChose && sameTable && SelectedRow() >= 0) chosen = FResults->FileOf(SelectedRow());
  FRankedGeneration = FIndex.Generation();
  FRankedFiles = FIndex.Files().FileCount();
  FSearch.Search(FIndex.Files(), FRankedGeneration, EDSearch->text().toStdString());
  FResults->Reset(EDSearch->text());
  int row = 0;
  for (size_t i = 0; chosen >= 0 && i < FSearch.Results().size(); ++i)
    if (FSearch.Results()[i].File == chosen) row = static_cast<int>(i);
  if (FResults->rowCount({}) > 0) LVResults->setCurrentIndex(FResults->index(row));
  ShowStatus();
}

void TFinderForm::ShowStatus() {
  const TFileTable& table = FIndex.Files();
  const QString files = QLocale().toString(static_cast<qulonglong>(table.FileCount()));
  std::vector<bool> unused;
  const QString root = DisplayText(table.Root(), {}, unused);
  QString status;
  if (root.isEmpty())
    status = QStringLiteral("No source folder is set: choose one in File > Vantry > Options...");
  else if (!FIndex.LastReport().Error.empty() && FIndex.Complete())
    status = QStringLiteral("Cannot read the source folder %1: %2")
                 .arg(root, QString::fromStdString(FIndex.LastReport().Error));
  else if (EDSearch->text().isEmpty())
    status = QStringLiteral("%1 files in %2").arg(files, root);
  else if (FSearch.MatchCount() == 0)
    status = QStringLiteral("No file matches");
  else
    status = QStringLiteral("%1 of %2 files").arg(QLocale().toString(static_cast<qulonglong>(FSearch.MatchCount())), files);
  if (!FIndex.Complete()) status += QStringLiteral(" (still indexing...)");
  LBStatus->setText(status);
}

void TFinderForm::OpenSelected() {
  if (FIndex.Generation() != FRankedGeneration) Rank(true);  // rows must name files of this table
  int row = SelectedRow();
  if (row < 0) return;
  std::string path = FIndex.Files().FullPath(FResults->FileOf(row));
  accept();
  if (FOpen) FOpen(path);
}

}  // namespace Vantry
