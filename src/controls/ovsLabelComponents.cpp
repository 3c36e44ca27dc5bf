#include "controls/ovsLabelComponents.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cstdint>

namespace Vantry {

namespace {

// The forms give colours as $00BBGGRR values.
QColor FromTColor(uint32_t AValue) {
  return QColor(int(AValue & 0xFF), int((AValue >> 8) & 0xFF), int((AValue >> 16) & 0xFF));
}

const QColor clGray = FromTColor(0x808080);
const QColor clWhite = FromTColor(0xFFFFFF);

// Shifts and shade offsets beyond this put the text off any widget anyway;
// bounding them keeps the rectangle arithmetic clear of int overflow.
int DrawingOffset(int AValue) { return std::clamp(AValue, -QWIDGETSIZE_MAX, QWIDGETSIZE_MAX); }

}  // namespace

int VerticalTextTop(int ATop, int ABottom, int ATextHeight, TovsAlignmentVertical AAlignment) {
  // 64-bit sums so extreme edges cannot overflow; C++ division drops the
  // fraction toward zero, as the placement rule wants.
  const int64_t top = ATop, bottom = ABottom, height = ATextHeight;
  int64_t result = top;
  switch (AAlignment) {
    case taMiddle:
      result = (top + bottom - height - 1) / 2;
      break;
    case taBottom:
      result = bottom - height - 1;
      break;
    case taTop:
      break;
  }
  return int(std::clamp<int64_t>(result, INT32_MIN, INT32_MAX));
}

TovsLabel3D::TovsLabel3D(QWidget* AParent)
    : QLabel(AParent), FAShadeRightBottom(clGray), FAShadeLeftTop(clWhite), FSavedShadeLeftTop(clWhite) {
  // The label paints its own background (or none, when transparent) in the
  // colour it inherits from its parent's palette.
  setAutoFillBackground(false);
  // Moves without a button pressed are what tell the label that the pointer is over it.
  setMouseTracking(true);
}

void TovsLabel3D::Invalidate() { update(); }

void TovsLabel3D::DoMouseOut() { emit mouseOut(this); }

void TovsLabel3D::setAlignmentVertical(TovsAlignmentVertical AValue) {
  if (AValue == FAlignmentVertical) return;
  FAlignmentVertical = AValue;
  Invalidate();
}

void TovsLabel3D::setAStyle3D(Tovs3DEffect AValue) {
  if (AValue == FAStyle3D) return;
  FAStyle3D = AValue;
  Invalidate();
}

void TovsLabel3D::setAShadeRightBottom(const QColor& AValue) {
  if (AValue == FAShadeRightBottom) return;
  FAShadeRightBottom = AValue;
  if (FAStyle3D != Normal3D) Invalidate();
}

void TovsLabel3D::setAShadeLeftTop(const QColor& AValue) {
  if (FAShadeLTSet || AValue == FAShadeLeftTop) return;
  FAShadeLeftTop = AValue;
  if (StyleHasSides()) Invalidate();
}

void TovsLabel3D::setAHShadeOffSet(int AValue) {
  if (AValue == FAHShadeOffSet) return;
  FAHShadeOffSet = AValue;
  if (FAStyle3D == Shadowed3D) Invalidate();
}

void TovsLabel3D::setAVShadeOffSet(int AValue) {
  if (AValue == FAVShadeOffSet) return;
  FAVShadeOffSet = AValue;
  if (FAStyle3D == Shadowed3D) Invalidate();
}

void TovsLabel3D::setAShadeLTSet(bool AValue) {
  if (AValue != FAShadeLTSet) {
    FAShadeLTSet = AValue;
    if (AValue) {
      FSavedShadeLeftTop = FAShadeLeftTop;
      FAShadeLeftTop = clWhite;
    } else {
      FAShadeLeftTop = FSavedShadeLeftTop;
    }
  }
  // Unlike the other setters, an unchanged value still repaints a shaded label.
  if (StyleHasSides()) Invalidate();
}

void TovsLabel3D::setTopShift(int AValue) {
  if (AValue == FTopShift) return;
  FTopShift = AValue;
  Invalidate();
}

void TovsLabel3D::setLeftShift(int AValue) {
  if (AValue == FLeftShift) return;
  FLeftShift = AValue;
  Invalidate();
}

void TovsLabel3D::setTransparent(bool AValue) {
  if (AValue == FTransparent) return;
  FTransparent = AValue;
  Invalidate();
}

void TovsLabel3D::setShowAccelChar(bool AValue) {
  if (AValue == FShowAccelChar) return;
  FShowAccelChar = AValue;
  Invalidate();
}

void TovsLabel3D::ResetAShadeRightBottom() { setAShadeRightBottom(clGray); }
void TovsLabel3D::ResetAShadeLeftTop() { setAShadeLeftTop(clWhite); }

void TovsLabel3D::paintEvent(QPaintEvent*) {
  QPainter canvas(this);
  Paint(canvas);
}

void TovsLabel3D::Paint(QPainter& ACanvas) {
  if (!FTransparent) ACanvas.fillRect(rect(), palette().color(backgroundRole()));
  ACanvas.setBrush(Qt::NoBrush);

  QRect box = rect();
  box.setLeft(box.left() + DrawingOffset(FLeftShift));
  box.setTop(box.top() + DrawingOffset(FTopShift));

  // Only the horizontal part of QLabel's alignment counts: AlignmentVertical
  // places the text vertically, and the caption always wraps at word breaks.
  int flags = Qt::TextExpandTabs | Qt::TextWordWrap | Qt::AlignTop;
  const Qt::Alignment horizontal = alignment() & Qt::AlignHorizontal_Mask;
  if (horizontal & Qt::AlignRight)
    flags |= Qt::AlignRight;
  else if (horizontal & Qt::AlignHCenter)
    flags |= Qt::AlignHCenter;
  else
    flags |= Qt::AlignLeft;
  DrawText3D(ACanvas, box, flags);
}

void TovsLabel3D::DrawText3D(QPainter& ACanvas, QRect ARect, int AFlags) {
  const QString caption = text();
  if (FShowAccelChar) AFlags |= Qt::TextShowMnemonic;
  ACanvas.setFont(font());

  // The height of the caption as wrapped into the box, so that a caption of
  // several lines is placed as a whole.
  const int textHeight = caption.isEmpty() ? 0 : ACanvas.boundingRect(ARect, AFlags, caption).height();
  const int exclusiveBottom = ARect.top() + ARect.height();
  ARect.setTop(VerticalTextTop(ARect.top(), exclusiveBottom, textHeight, FAlignmentVertical));

  const auto drawPass = [&](int ADx, int ADy, const QColor& AColor) {
    ACanvas.setPen(AColor);
    ACanvas.drawText(ARect.translated(DrawingOffset(ADx), DrawingOffset(ADy)), AFlags, caption);
  };
  switch (FAStyle3D) {
    case Resit3D:
      drawPass(1, 1, FAShadeLeftTop);
      drawPass(-1, -1, FAShadeRightBottom);
      break;
    case Raised3D:
      drawPass(1, 1, FAShadeRightBottom);
      drawPass(-1, -1, FAShadeLeftTop);
      break;
    case Shadowed3D:
      drawPass(FAHShadeOffSet, FAVShadeOffSet, FAShadeRightBottom);
      break;
    case Normal3D:
      break;
  }

  // Disabled, the caption takes the system's grayed-text colour, which is the
  // application's, whatever colour the label or its parent gave the text.
  ACanvas.setPen(isEnabled() ? palette().color(foregroundRole())
                             : QApplication::palette().color(QPalette::Disabled, QPalette::WindowText));
  ACanvas.drawText(ARect, AFlags, caption);
}

void TovsLabel3D::mouseMoveEvent(QMouseEvent* AEvent) {
  // The label keeps its moves to itself: the pointer's leaving is what it reports.
  AEvent->accept();
  // While a button is held Qt keeps sending moves here after the pointer has
  // left; the right and bottom edges themselves still count as inside.
  const QPoint at = AEvent->position().toPoint();
  const bool outside = at.x() < 0 || at.y() < 0 || at.x() > width() || at.y() > height();
  if (!outside) {
    FPointerOver = true;
  } else if (FPointerOver) {
    FPointerOver = false;
    DoMouseOut();
  }
}

void TovsLabel3D::leaveEvent(QEvent* AEvent) {
  QLabel::leaveEvent(AEvent);
  if (!FPointerOver) return;
  FPointerOver = false;
  DoMouseOut();
}

}  // namespace Vantry
