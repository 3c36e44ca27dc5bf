#include "FindBar.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>

namespace Vantry {

TFindBar::TFindBar(std::function<TSourceEditor*()> ACurrent, QWidget* AParent)
    : QWidget(AParent), FCurrent(std::move(ACurrent)) {
  FQuery = new QLineEdit(this);
  FQuery->setPlaceholderText(QStringLiteral("Find"));
  FQuery->setClearButtonEnabled(true);
  FMatchCase = new QCheckBox(QStringLiteral("Match &case"), this);
  FWholeWord = new QCheckBox(QStringLiteral("&Whole word"), this);
  FRegularExpression = new QCheckBox(QStringLiteral("Regular e&xpression"), this);
  auto* previous = new QToolButton(this);
  previous->setArrowType(Qt::UpArrow);
  previous->setToolTip(QStringLiteral("Find Previous (Shift+F3)"));
  auto* next = new QToolButton(this);
  next->setArrowType(Qt::DownArrow);
  next->setToolTip(QStringLiteral("Find Next (F3)"));
  FCount = new QLabel(this);
  auto* close = new QToolButton(this);
  close->setText(QStringLiteral("\u2715"));
  close->setToolTip(QStringLiteral("Close (Escape)"));
  close->setAutoRaise(true);

  FReplaceRow = new QWidget(this);
  FReplacement = new QLineEdit(FReplaceRow);
  FReplacement->setPlaceholderText(QStringLiteral("Replace with"));
  FReplaceButton = new QPushButton(QStringLiteral("&Replace"), FReplaceRow);
  FReplaceAllButton = new QPushButton(QStringLiteral("Replace &All"), FReplaceRow);
  auto* replaceLayout = new QHBoxLayout(FReplaceRow);
  replaceLayout->setContentsMargins(0, 0, 0, 0);
  replaceLayout->addWidget(FReplacement, 1);
  replaceLayout->addWidget(FReplaceButton);
  replaceLayout->addWidget(FReplaceAllButton);
  replaceLayout->addStretch(1);

  auto* findRow = new QHBoxLayout;
  findRow->addWidget(FQuery, 1);
  findRow->addWidget(previous);
  findRow->addWidget(next);
  findRow->addWidget(FMatchCase);
  findRow->addWidget(FWholeWord);
  findRow->addWidget(FRegularExpression);
  findRow->addWidget(FCount, 1);
  findRow->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 2, 4, 2);
  layout->setSpacing(2);
  layout->addLayout(findRow);
  layout->addWidget(FReplaceRow);

  connect(FQuery, &QLineEdit::textEdited, this, &TFindBar::QueryChanged);
  for (QCheckBox* option : {FMatchCase, FWholeWord, FRegularExpression})
    connect(option, &QCheckBox::toggled, this, &TFindBar::QueryChanged);
  connect(previous, &QToolButton::clicked, this, [this] { FindNext(false); });
  connect(next, &QToolButton::clicked, this, [this] { FindNext(true); });
  connect(close, &QToolButton::clicked, this, &TFindBar::Close);
  connect(FReplaceButton, &QPushButton::clicked, this, &TFindBar::ReplaceNext);
  connect(FReplaceAllButton, &QPushButton::clicked, this, &TFindBar::ReplaceAll);
  FQuery->installEventFilter(this);
  FReplacement->installEventFilter(this);
  hide();
}

TFindQuery TFindBar::Query() const {
  return {FQuery->text(), FMatchCase->isChecked(), FWholeWord->isChecked(), FRegularExpression->isChecked()};
}

void TFindBar::SetQuery(const TFindQuery& AQuery) {
  // Setting the query searches nothing: the next Find does.
  const QSignalBlocker blockers[] = {QSignalBlocker(FMatchCase), QSignalBlocker(FWholeWord), QSignalBlocker(FRegularExpression)};
  FQuery->setText(AQuery.Text);
  FMatchCase->setChecked(AQuery.MatchCase);
  FWholeWord->setChecked(AQuery.WholeWord);
  FRegularExpression->setChecked(AQuery.RegularExpression);
}

QString TFindBar::Status() const { return FCount->text(); }

void TFindBar::Open(bool AReplace, const QString& AText) {
  TSourceEditor* editor = FCurrent();
  FReplaceRow->setVisible(AReplace);
  const bool writable = editor && !editor->isReadOnly();
  FReplaceButton->setEnabled(writable);
  FReplaceAllButton->setEnabled(writable);
  FReplacement->setEnabled(writable);
  show();
  if (!AText.isEmpty()) FQuery->setText(AText);
  FQuery->setFocus();
  FQuery->selectAll();
  if (editor) ShowCount(editor->MarkAll(Query()));
}

void TFindBar::Close() {
  if (TSourceEditor* editor = FCurrent()) {
    editor->MarkAll({});
    editor->setFocus();
  }
  hide();
}

bool TFindBar::FindNext(bool AForward) {
  TSourceEditor* editor = FCurrent();
  if (!editor) return false;
  if (FQuery->text().isEmpty()) {
    Open(false, editor->WordOrSelection());
    if (FQuery->text().isEmpty()) return false;
  }
  ShowCount(editor->MarkAll(Query()));
  if (editor->FindNext(Query(), AForward)) return true;
  emit Message(QStringLiteral("Search string '%1' not found").arg(FQuery->text()));
  return false;
}

void TFindBar::QueryChanged() {
  TSourceEditor* editor = FCurrent();
  if (!editor) return;
  ShowCount(editor->MarkAll(Query()));
  // As the query grows, the match found stays where it began.
  editor->SendScintilla(QsciScintilla::SCI_SETSEL, editor->SendScintilla(QsciScintilla::SCI_GETSELECTIONSTART),
                        editor->SendScintilla(QsciScintilla::SCI_GETSELECTIONSTART));
  if (!FQuery->text().isEmpty()) editor->FindNext(Query(), true);
}

void TFindBar::ShowCount(int ACount) {
  if (FQuery->text().isEmpty())
    FCount->clear();
  else if (ACount < 0)
    FCount->setText(QStringLiteral("More than 5,000 matches"));
  else
    FCount->setText(ACount == 0 ? QStringLiteral("No matches") : ACount == 1 ? QStringLiteral("1 match")
                                                                              : QStringLiteral("%1 matches").arg(ACount));
}

void TFindBar::ReplaceNext() {
  TSourceEditor* editor = FCurrent();
  if (!editor || editor->isReadOnly()) return;
  editor->ReplaceAndFindNext(Query(), FReplacement->text());
  ShowCount(editor->MarkAll(Query()));
}

void TFindBar::ReplaceAll() {
  TSourceEditor* editor = FCurrent();
  if (!editor || editor->isReadOnly()) return;
  const int count = editor->ReplaceAll(Query(), FReplacement->text());
  ShowCount(editor->MarkAll(Query()));
  emit Message(QStringLiteral("%1 occurrence(s) replaced").arg(count));
}

bool TFindBar::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AEvent->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(AEvent);
    if (key->key() == Qt::Key_Escape) {
      Close();
      return true;
    }
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      if (AWatched == FReplacement)
        ReplaceNext();
      else
        FindNext(!(key->modifiers() & Qt::ShiftModifier));
      return true;
    }
  }
  return QWidget::eventFilter(AWatched, AEvent);
}

}  // namespace Vantry
