#include "finder/PeekPopup.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

namespace Vantry {

QString PeekHtml(const TPeek& APeek) {
  if (APeek.Empty()) return {};
  QString html = QStringLiteral("<b>%1</b> %2").arg(QString::fromStdString(APeek.Kind).toHtmlEscaped(),
                                                     QString::fromStdString(APeek.Name).toHtmlEscaped());
  html += QStringLiteral("<br><a href=\"open\">%1 &mdash; %2:%3</a>")
              .arg(QString::fromStdString(APeek.Module).toHtmlEscaped(),
                   QString::fromUtf8(APeek.Path.c_str()).toHtmlEscaped())
              .arg(APeek.Line);
  if (!APeek.Comment.empty())
    html += QStringLiteral("<p><i>%1</i></p>").arg(QString::fromStdString(APeek.Comment).toHtmlEscaped().replace('\n', "<br>"));
  html += QStringLiteral("<pre>%1</pre>").arg(QString::fromStdString(APeek.Heading).toHtmlEscaped());
  return html;
}

TPeekPopup::TPeekPopup(TOpenChoice AOpen, QWidget* AParent)
    : QFrame(AParent, Qt::ToolTip | Qt::FramelessWindowHint), FOpen(std::move(AOpen)), FWatch(new QTimer(this)) {
  setObjectName(QStringLiteral("VantryPeek"));
  setFrameShape(QFrame::Box);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::ToolTipBase);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 4, 6, 4);
  LBPeek = new QLabel(this);
  LBPeek->setTextFormat(Qt::RichText);
  LBPeek->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  layout->addWidget(LBPeek);
  connect(LBPeek, &QLabel::linkActivated, this, [this] {
    hide();
    FOpen(FPeek.Path, static_cast<int>(FPeek.Line), static_cast<int>(FPeek.Column));
  });
  FWatch->setInterval(250);
  connect(FWatch, &QTimer::timeout, this, [this] {
    const QPoint mouse = QCursor::pos();
    if (!geometry().adjusted(-16, -16, 16, 16).contains(mouse) && (mouse - FOrigin).manhattanLength() > 24) hide();
  });
}

void TPeekPopup::ShowPeek(const TPeek& APeek, const QPoint& AAt) {
  FPeek = APeek;
  FOrigin = QCursor::pos();
  LBPeek->setText(PeekHtml(APeek));
  adjustSize();
  QPoint at = AAt;
  // On the screen as a whole.
  if (const QScreen* screen = QGuiApplication::screenAt(AAt)) {
    const QRect area = screen->availableGeometry();
    at.setX(std::min(at.x(), area.right() - width()));
    at.setY(at.y() + height() > area.bottom() ? AAt.y() - height() - 20 : at.y());
  }
  move(at);
  show();
  qApp->installEventFilter(this);
  FWatch->start();
}

bool TPeekPopup::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (isVisible() && (AEvent->type() == QEvent::KeyPress || AEvent->type() == QEvent::WindowDeactivate)) {
    hide();
    FWatch->stop();
    qApp->removeEventFilter(this);
  }
  return QFrame::eventFilter(AWatched, AEvent);
}

}  // namespace Vantry
