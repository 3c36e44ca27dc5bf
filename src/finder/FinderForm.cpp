#include "finder/FinderForm.h"

#include "index/DeclarationBuild.h"
#include "finder/PeekPopup.h"
#include "navigation/Peek.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>

#include <unordered_map>

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

// The ranked files or declarations as list rows. The rows refer to the
// tables as they were when they were ranked; the form ranks again before a
// table can differ.
class TFinderResults final : public QAbstractListModel {
public:
  struct TRow {
    QString Kind;  // a declaration's kind; empty for a file
    QString Name, Where;
    QString Detail;  // the rest of a declaration's heading after its name
    std::vector<bool> NameMarks, WhereMarks;
  };

  TFinderResults(const TWorkspace& AIndex, const TUnitSearch& AUnits, const TDeclarationSearch& ADeclarations,
                 QObject* AParent)
      : QAbstractListModel(AParent), FIndex(AIndex), FUnits(AUnits), FDeclarations(ADeclarations) {}

  void Reset(TFinderMode AMode, const QString& AQuery, std::shared_ptr<const TDeclarationTable> ATable) {
    beginResetModel();
    FMode = AMode;
    FQuery = AQuery.toStdString();
    if (ATable != FTable) {
      FDetails.clear();
      FTexts.clear();
    }
    FTable = std::move(ATable);
    FRows = static_cast<int>(AMode == fmUnits ? FUnits.Results().size() : FTable ? FDeclarations.Results().size() : 0);
    endResetModel();
  }

  int rowCount(const QModelIndex& AParent) const override { return AParent.isValid() ? 0 : FRows; }

  // The row's file (units) or declaration.
  uint32_t ItemOf(int ARow) const {
    const auto row = static_cast<size_t>(ARow);
    return FMode == fmUnits ? FUnits.Results()[row].File : FDeclarations.Results()[row].Declaration;
  }
  const TDeclarationTable* Table() const { return FTable.get(); }
  const std::shared_ptr<const TDeclarationTable>& SharedTable() const { return FTable; }

  TRow Row(int ARow) const { return FMode == fmUnits ? UnitRow(ItemOf(ARow)) : DeclarationRow(ItemOf(ARow)); }

  QVariant data(const QModelIndex& AIndex, int ARole) const override {
    if (!AIndex.isValid() || AIndex.row() >= FRows) return {};
    if (ARole == Qt::DisplayRole) {
      TRow row = Row(AIndex.row());
      return (row.Kind.isEmpty() ? QString() : row.Kind + QLatin1Char(' ')) + row.Name + row.Detail + QStringLiteral("  ") +
             row.Where;
    }
    if (ARole == Qt::ToolTipRole) {
      std::vector<bool> unused;
      const uint32_t item = ItemOf(AIndex.row());
      if (FMode == fmUnits) return DisplayText(FIndex.Files().FullPath(item), {}, unused);
      return DisplayText(FTable->FullPath(FTable->FileOf(item)), {}, unused) +
             QStringLiteral(":%1").arg(FTable->Entry(item).Line);
    }
    return {};
  }

private:
  TRow UnitRow(uint32_t AFile) const {
    TRow row;
    const TFileTable& table = FIndex.Files();
    TMatchMarks marks = TUnitSearch::Marks(table, AFile, FQuery);
    row.Name = DisplayText(table.Name(AFile), marks.Name, row.NameMarks);
    std::string_view folder = table.Folder(table.File(AFile).Folder);
    row.Where = folder.empty() ? QStringLiteral(".") : DisplayText(folder, marks.Folder, row.WhereMarks);
    row.WhereMarks.resize(static_cast<size_t>(row.Where.size()));
    return row;
  }

  TRow DeclarationRow(uint32_t ADeclaration) const {
    TRow row;
    const TDeclarationTable& table = *FTable;
    const TDeclarationEntry& entry = table.Entry(ADeclaration);
    std::vector<uint16_t> nameMarks, ownerMarks;
    TDeclarationSearch::Marks(table, ADeclaration, FQuery, nameMarks, ownerMarks);
    row.Kind = QString::fromLatin1(DeclarationKindName(entry.Kind()));
    if (entry.Owner != TDeclarationTable::None) {
      row.Name = DisplayText(table.Name(entry.Owner), ownerMarks, row.NameMarks) + QLatin1Char('.');
      row.NameMarks.push_back(false);
    }
    std::vector<bool> marks;
    row.Name += DisplayText(table.Name(ADeclaration), nameMarks, marks);
    row.NameMarks.insert(row.NameMarks.end(), marks.begin(), marks.end());
    row.Detail = Detail(ADeclaration);
    row.Where = DisplayText(table.PathBelowOwnRoot(table.FileOf(ADeclaration)), {}, row.WhereMarks) +
                QStringLiteral(":%1").arg(entry.Line);
    row.WhereMarks.resize(static_cast<size_t>(row.Where.size()));
    return row;
  }

  // The rest of a declaration's heading after its name, which tells
  // overloads and the branches of a conditional apart ("(Value: Longint):
  // string", " = class(TStrings)"), and a body's mark. It is read from the
  // declaration's file for the rows painted, not kept in the index: the
  // rest of a heading is some 25 bytes (declaration_bench), which for
  // 976,000 declarations of 63 bytes each would grow the cache (and what
  // every query maps) by some 40% for the few dozen rows a user ever sees,
  // while the ranking, which runs at every keystroke, never reads it. Read
  // for the 25 rows shown, it adds well under a millisecond to a keystroke.
  // A row's file is read once (the files of the last rows are kept), and a
  // row once worked out is kept until the table changes.
  QString Detail(uint32_t ADeclaration) const {
    if (const auto it = FDetails.find(ADeclaration); it != FDetails.end()) return it->second;
    const TDeclarationTable& table = *FTable;
    const TDeclarationEntry& e = table.Entry(ADeclaration);
    const uint32_t file = table.FileOf(ADeclaration);
    auto text = FTexts.find(file);
    if (text == FTexts.end()) {
      if (FTexts.size() >= MostTexts) FTexts.clear();
      text = FTexts.emplace(file, std::string()).first;
      if (!ReadSourceFile(table.FullPath(file), text->second)) text->second.clear();
    }
    std::vector<bool> unused;
    QString detail = DisplayText(HeadingDetailAt(text->second, e.Line, e.Column, DeclarationKindName(e.Kind())), {}, unused);
    if (e.Definition()) detail += QStringLiteral("  [definition]");
    if (FDetails.size() >= MostDetails) FDetails.clear();
    return FDetails[ADeclaration] = detail;
  }

  const TWorkspace& FIndex;
  const TUnitSearch& FUnits;
  const TDeclarationSearch& FDeclarations;
  TFinderMode FMode = fmUnits;
  std::shared_ptr<const TDeclarationTable> FTable;
  std::string FQuery;
  int FRows = 0;
  static constexpr size_t MostTexts = 32, MostDetails = 4096;
  mutable std::unordered_map<uint32_t, QString> FDetails;    // by declaration
  mutable std::unordered_map<uint32_t, std::string> FTexts;  // by file
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
    const int space = option.fontMetrics.horizontalAdvance(QLatin1Char(' '));
    int x = area.left();
    if (!row.Kind.isEmpty()) x = Draw(APainter, option.font, area, x, row.Kind, {}, quiet, mark) + space;
    x = Draw(APainter, option.font, area, x, row.Name, row.NameMarks, text, mark);
    if (!row.Detail.isEmpty()) x = Draw(APainter, option.font, area, x, row.Detail, {}, text, mark);
    Draw(APainter, option.font, area, x + 3 * space, row.Where, row.WhereMarks, quiet, mark);
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

TFinderForm::TFinderForm(TWorkspace& AIndex, TOpenChoice AOpen, QWidget* AParent)
    : QDialog(AParent),
      EDSearch(new QLineEdit(this)),
      LVResults(new QListView(this)),
      LBPeek(new QLabel(this)),
      LBStatus(new QLabel(this)),
      FIndex(AIndex),
      FOpen(std::move(AOpen)),
      FResults(new TFinderResults(AIndex, FSearch, FDeclarationSearch, this)),
      FPollTimer(new QTimer(this)) {
  setObjectName(QStringLiteral("FinderForm"));
  EDSearch->setObjectName(QStringLiteral("EDSearch"));
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
  layout->addWidget(LBPeek);
  layout->addWidget(LBStatus);
  LBPeek->setObjectName(QStringLiteral("LBPeek"));
  LBPeek->setTextFormat(Qt::RichText);
  LBPeek->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  LBPeek->setFrameShape(QFrame::StyledPanel);
  LBPeek->hide();
  connect(LBPeek, &QLabel::linkActivated, this, &TFinderForm::OpenSelected);
  resize(620, 420);
  ShowModeTexts();

  EDSearch->installEventFilter(this);
  connect(EDSearch, &QLineEdit::textChanged, this, &TFinderForm::EDSearchTextChanged);
  connect(EDSearch, &QLineEdit::returnPressed, this, &TFinderForm::OpenSelected);
  connect(LVResults, &QListView::doubleClicked, this, &TFinderForm::OpenSelected);
  connect(LVResults, &QListView::pressed, this, [this] { FUserChose = true; });
  connect(FPollTimer, &QTimer::timeout, this, &TFinderForm::PollTimerTimer);
  connect(LVResults->selectionModel(), &QItemSelectionModel::currentChanged, this, &TFinderForm::ShowPeek);
  FPollTimer->start(50);
  PollTimerTimer();
}

void TFinderForm::ShowModeTexts() {
  const bool units = FMode == fmUnits;
  setWindowTitle(units ? QStringLiteral("Find Library Unit") : QStringLiteral("Find Library Declaration"));
  EDSearch->setPlaceholderText(units ? QStringLiteral("Type part of a unit's name")
                                     : QStringLiteral("Type part of a name, or Owner.Member"));
  if (!units) resize(std::max(width(), 760), height());  // a declaration's row is longer
}

void TFinderForm::SetMode(TFinderMode AMode) {
  if (AMode == FMode) return;
  FMode = AMode;
  const QString query = EDSearch->text();
  {
    QSignalBlocker quiet(EDSearch);
    EDSearch->setText(FOtherQuery);
  }
  FOtherQuery = query;
  ShowModeTexts();
  FUserChose = false;
  Rank(false);
  FPollTimer->start(50);
}

void TFinderForm::SetPreferredUnits(const std::vector<std::string>& AUnits) {
  FDeclarationSearch.SetPreferredUnits(AUnits);
  if (FMode == fmDeclarations) Rank(true);
}

TFinderForm::~TFinderForm() = default;

void TFinderForm::SetSearchNote(const QString& ANote) {
  FSearchNote = ANote;
  ShowStatus();
}

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
    const auto* key = static_cast<QKeyEvent*>(AEvent);
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
        key->modifiers() == (Qt::ControlModifier | Qt::ShiftModifier)) {
      if (const uint32_t d = SelectedDeclaration(); d != TDeclarationTable::None && FFindReferences) {
        accept();
        FFindReferences(SelectedTable(), d);
      }
      return true;
    }
    switch (key->key()) {
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
  if (IndexMoved()) Rank(true);
  if (!FIndex.Building()) FPollTimer->stop();
  ShowStatus();
  ShowPeek();
}

bool TFinderForm::IndexMoved() const {
  if (FMode == fmDeclarations) return FIndex.DeclarationGeneration() != FRankedDeclarations;
  return FIndex.Generation() != FRankedGeneration || FIndex.Files().FileCount() != FRankedFiles;
}

void TFinderForm::Rank(bool AKeepSelection) {
  const bool units = FMode == fmUnits;
  const bool sameTable = units ? FIndex.Generation() == FRankedGeneration
                               : FIndex.DeclarationGeneration() == FRankedDeclarations;
  int64_t chosen = -1;
  // What the user went to stays chosen while more comes in; otherwise the
  // best is.
  if (AKeepSelection && FUserChose && sameTable && SelectedRow() >= 0) chosen = FResults->ItemOf(SelectedRow());
  const std::string query = EDSearch->text().toStdString();
  std::shared_ptr<const TDeclarationTable> table;
  if (units) {
    FRankedGeneration = FIndex.Generation();
    FRankedFiles = FIndex.Files().FileCount();
    FSearch.SetTarget(FIndex.Target());
    FSearch.Search(FIndex.Files(), FRankedGeneration, query);
  } else {
    FRankedDeclarations = FIndex.DeclarationGeneration();
    table = FIndex.Declarations();
    FDeclarationSearch.SetTarget(FIndex.Target());
    if (table) FDeclarationSearch.Search(*table, FRankedDeclarations, query);
  }
  FResults->Reset(FMode, EDSearch->text(), std::move(table));
  int row = 0;
  for (int i = 0; chosen >= 0 && i < FResults->rowCount({}); ++i)
    if (FResults->ItemOf(i) == chosen) row = i;
  if (FResults->rowCount({}) > 0) LVResults->setCurrentIndex(FResults->index(row));
  ShowStatus();
  ShowPeek();
}

void TFinderForm::ShowStatus() {
  std::vector<bool> unused;
  const QString root = DisplayText(FIndex.RootsText(), {}, unused);
  QString status;
  if (root.isEmpty())
    status = QStringLiteral("No source folder is set: choose one in File > Vantry > Options...");
  else if (!FIndex.LastReport().Error.empty() && FIndex.Complete())
    status = QStringLiteral("Cannot read the source folder %1: %2")
                 .arg(root, QString::fromStdString(FIndex.LastReport().Error));
  else
    status = FMode == fmUnits ? UnitStatus(root) : DeclarationStatus(root);
  LBStatus->setText(FSearchNote.isEmpty() ? status : FSearchNote + QLatin1Char('\n') + status);
}

QString TFinderForm::UnitStatus(const QString& ARoot) const {
  const QString files = QLocale().toString(static_cast<qulonglong>(FIndex.Files().FileCount()));
  QString status;
  if (EDSearch->text().isEmpty())
    status = QStringLiteral("%1 files in %2").arg(files, ARoot);
  else if (FSearch.MatchCount() == 0)
    status = QStringLiteral("No file matches");
  else
    status = QStringLiteral("%1 of %2 files").arg(QLocale().toString(static_cast<qulonglong>(FSearch.MatchCount())), files);
  if (!FIndex.Complete()) status += QStringLiteral(" (still indexing...)");
  return status;
}

QString TFinderForm::DeclarationStatus(const QString& ARoot) const {
  const TDeclarationTable* table = FResults->Table();
  if (!table) return QStringLiteral("Indexing the declarations in %1...").arg(ARoot);
  const QLocale locale;
  const QString all = locale.toString(static_cast<qulonglong>(table->Count()));
  QString status;
  if (EDSearch->text().isEmpty())
    status = QStringLiteral("%1 declarations in %2 files in %3")
                 .arg(all, locale.toString(static_cast<qulonglong>(table->FileCount())), ARoot);
  else if (FDeclarationSearch.MatchCount() == 0)
    status = QStringLiteral("No declaration matches");
  else if (FDeclarationSearch.CountedAll())
    status = QStringLiteral("%1 of %2 declarations")
                 .arg(locale.toString(static_cast<qulonglong>(FDeclarationSearch.MatchCount())), all);
  else
    status = QStringLiteral("The best %1 of many matching declarations")
                 .arg(locale.toString(static_cast<qulonglong>(FDeclarationSearch.Results().size())));
  if (FIndex.Building()) status += QStringLiteral(" (still indexing...)");
  return status;
}

uint32_t TFinderForm::SelectedDeclaration() const {
  const int row = SelectedRow();
  if (FMode != fmDeclarations || row < 0 || !FResults->Table()) return TDeclarationTable::None;
  return FResults->ItemOf(row);
}

std::shared_ptr<const TDeclarationTable> TFinderForm::SelectedTable() const {
  return SelectedDeclaration() == TDeclarationTable::None ? nullptr : FResults->SharedTable();
}

void TFinderForm::ShowPeek() {
  const uint32_t d = SelectedDeclaration();
  LBPeek->setVisible(d != TDeclarationTable::None);
  if (d == FPeeked) return;
  FPeeked = d;
  if (d == TDeclarationTable::None) return;
  const TDeclarationTable& table = *FResults->Table();
  const TDeclarationEntry& e = table.Entry(d);
  LBPeek->setText(PeekHtml(PeekAt({table.FullPath(table.FileOf(d)), e.Line, e.Column, DeclarationKindName(e.Kind()),
                                   table.QualifiedName(d), d})));
}

void TFinderForm::OpenSelected() {
  if (IndexMoved()) Rank(true);  // rows must name what the index holds now
  const int row = SelectedRow();
  if (row < 0) return;
  std::string path;
  int line = 0, column = 0;
  if (FMode == fmUnits) {
    path = FIndex.Files().FullPath(FResults->ItemOf(row));
  } else {
    const TDeclarationTable& table = *FResults->Table();
    const uint32_t d = FResults->ItemOf(row);
    path = table.FullPath(table.FileOf(d));
    line = static_cast<int>(table.Entry(d).Line);
    column = table.Entry(d).Column;
  }
  accept();
  if (FOpen) FOpen(path, line, column);
}

}  // namespace Vantry
