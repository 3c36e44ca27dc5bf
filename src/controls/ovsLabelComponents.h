#pragma once
// TovsLabel3D: a label that draws its caption flat, sunken, raised or with a
// drop shadow, places it at the top, middle or bottom of its box, can shift it
// inside the box, and signals when the mouse pointer leaves it.
//
// Its properties are Qt properties, so Designer forms (.ui) can set them; the
// setters follow Qt's set<Property> naming because that is what uic calls.
// The caption's colour is the palette's WindowText (the font colour of the
// forms), the fill is the palette's Window colour, inherited from the parent
// unless the label's palette sets it.

#include <QColor>
#include <QLabel>

namespace Vantry {

class TovsLabel3D : public QLabel {
  Q_OBJECT
  Q_PROPERTY(TovsAlignmentVertical AlignmentVertical READ AlignmentVertical WRITE setAlignmentVertical)
  Q_PROPERTY(T_Auteur Author READ Author WRITE setAuthor STORED false)
  Q_PROPERTY(Tovs3DEffect AStyle3D READ AStyle3D WRITE setAStyle3D RESET ResetAStyle3D)
  Q_PROPERTY(QColor AShadeRightBottom READ AShadeRightBottom WRITE setAShadeRightBottom RESET ResetAShadeRightBottom)
  Q_PROPERTY(QColor AShadeLeftTop READ AShadeLeftTop WRITE setAShadeLeftTop RESET ResetAShadeLeftTop)
  Q_PROPERTY(int AHShadeOffSet READ AHShadeOffSet WRITE setAHShadeOffSet RESET ResetAHShadeOffSet)
  Q_PROPERTY(int AVShadeOffSet READ AVShadeOffSet WRITE setAVShadeOffSet RESET ResetAVShadeOffSet)
  Q_PROPERTY(bool AShadeLTSet READ AShadeLTSet WRITE setAShadeLTSet RESET ResetAShadeLTSet)
  Q_PROPERTY(int TopShift READ TopShift WRITE setTopShift RESET ResetTopShift)
  Q_PROPERTY(int LeftShift READ LeftShift WRITE setLeftShift RESET ResetLeftShift)
  Q_PROPERTY(bool Transparent READ Transparent WRITE setTransparent RESET ResetTransparent)
  Q_PROPERTY(bool ShowAccelChar READ ShowAccelChar WRITE setShowAccelChar RESET ResetShowAccelChar)

public:
  enum Tovs3DEffect { Normal3D, Resit3D, Raised3D, Shadowed3D };
  Q_ENUM(Tovs3DEffect)
  enum TovsAlignmentVertical { taTop, taMiddle, taBottom };
  Q_ENUM(TovsAlignmentVertical)
  enum T_Auteur { Brask };
  Q_ENUM(T_Auteur)

  explicit TovsLabel3D(QWidget* AParent = nullptr);

  TovsAlignmentVertical AlignmentVertical() const { return FAlignmentVertical; }
  void setAlignmentVertical(TovsAlignmentVertical AValue);
  T_Auteur Author() const { return FAuthor; }
  void setAuthor(T_Auteur AValue) { FAuthor = AValue; }
  Tovs3DEffect AStyle3D() const { return FAStyle3D; }
  void setAStyle3D(Tovs3DEffect AValue);
  // Lower right shade of Resit3D/Raised3D, and the drop shadow of Shadowed3D.
  QColor AShadeRightBottom() const { return FAShadeRightBottom; }
  void setAShadeRightBottom(const QColor& AValue);
  // Upper left shade; assignments are ignored while AShadeLTSet is True.
  QColor AShadeLeftTop() const { return FAShadeLeftTop; }
  void setAShadeLeftTop(const QColor& AValue);
  // The drop shadow's offset from the caption; a negative vertical offset lies above it.
  int AHShadeOffSet() const { return FAHShadeOffSet; }
  void setAHShadeOffSet(int AValue);
  int AVShadeOffSet() const { return FAVShadeOffSet; }
  void setAVShadeOffSet(int AValue);
  // True locks AShadeLeftTop to white; going back to False restores the
  // colour it had when the lock was set.
  bool AShadeLTSet() const { return FAShadeLTSet; }
  void setAShadeLTSet(bool AValue);
  // Pixels added to the top and left edges of the text box.
  int TopShift() const { return FTopShift; }
  void setTopShift(int AValue);
  int LeftShift() const { return FLeftShift; }
  void setLeftShift(int AValue);
  // False fills the label with its background colour before drawing the text.
  bool Transparent() const { return FTransparent; }
  void setTransparent(bool AValue);
  // True: '&' marks the next character as the accelerator and "&&" draws one
  // '&'. False: the caption is drawn as it is.
  bool ShowAccelChar() const { return FShowAccelChar; }
  void setShowAccelChar(bool AValue);

signals:
  // The pointer has left the label; raised once per visit.
  void mouseOut(Vantry::TovsLabel3D* Sender);

protected:
  // Asks for a repaint; every property change that needs one goes through here.
  virtual void Invalidate();
  // Emits mouseOut with this label as Sender.
  virtual void DoMouseOut();

  void paintEvent(QPaintEvent* AEvent) override;
  void mouseMoveEvent(QMouseEvent* AEvent) override;
  void leaveEvent(QEvent* AEvent) override;

private:
  void Paint(QPainter& ACanvas);
  void DrawText3D(QPainter& ACanvas, QRect ARect, int AFlags);
  bool StyleHasSides() const { return FAStyle3D == Resit3D || FAStyle3D == Raised3D; }

  void ResetAStyle3D() { setAStyle3D(Normal3D); }
  void ResetAShadeRightBottom();
  void ResetAShadeLeftTop();
  void ResetAHShadeOffSet() { setAHShadeOffSet(5); }
  void ResetAVShadeOffSet() { setAVShadeOffSet(-5); }
  void ResetAShadeLTSet() { setAShadeLTSet(false); }
  void ResetTopShift() { setTopShift(0); }
  void ResetLeftShift() { setLeftShift(0); }
  void ResetTransparent() { setTransparent(false); }
  void ResetShowAccelChar() { setShowAccelChar(true); }

  TovsAlignmentVertical FAlignmentVertical = taTop;
  T_Auteur FAuthor = Brask;
  Tovs3DEffect FAStyle3D = Normal3D;
  QColor FAShadeRightBottom;
  QColor FAShadeLeftTop;
  QColor FSavedShadeLeftTop;
  int FAHShadeOffSet = 5;
  int FAVShadeOffSet = -5;
  bool FAShadeLTSet = false;
  int FTopShift = 0;
  int FLeftShift = 0;
  bool FTransparent = false;
  bool FShowAccelChar = true;
  // Set by a mouse move over the label, cleared when mouseOut is raised.
  bool FPointerOver = false;
};

using Tovs3DEffect = TovsLabel3D::Tovs3DEffect;
using TovsAlignmentVertical = TovsLabel3D::TovsAlignmentVertical;
using T_Auteur = TovsLabel3D::T_Auteur;
using enum TovsLabel3D::Tovs3DEffect;
using enum TovsLabel3D::TovsAlignmentVertical;
using enum TovsLabel3D::T_Auteur;

// The top edge of the caption's box for a vertical placement. ABottom is
// exclusive (top + height); ATextHeight is the caption's full height.
int VerticalTextTop(int ATop, int ABottom, int ATextHeight, TovsAlignmentVertical AAlignment);

}  // namespace Vantry
