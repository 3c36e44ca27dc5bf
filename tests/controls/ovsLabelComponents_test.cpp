#include "controls/ovsLabelComponents.h"

#include "ui_Label3DTestForm.h"

#include <QApplication>
#include <QMetaProperty>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace Vantry;

namespace {

constexpr auto RowName = [](const auto& AInfo) { return std::string(AInfo.param.Name); };

const QColor Background(0, 128, 0), FontColour(0, 0, 0), Grayed(255, 0, 255);
const QColor Gray(0x80, 0x80, 0x80), White(0xFF, 0xFF, 0xFF), Red(0xFF, 0, 0), Blue(0, 0, 0xFF);

// Property values applied through the meta-object, as a form does.
using TSettings = std::vector<std::pair<const char*, QVariant>>;
template <class E>
QVariant V(E AValue) {
  return QVariant::fromValue(AValue);
}

QFont TestFont(int APixelSize) {
  QFont font("DejaVu Sans");
  font.setPixelSize(APixelSize);
  font.setStyleStrategy(QFont::NoAntialias);  // every pixel is ink of one pass or background
  return font;
}

// Green fill, and a black caption in every state: the label's own palette
// has no grayed colour of its own.
std::unique_ptr<TovsLabel3D> NewLabel(QSize ASize, const QString& ACaption, int APixelSize,
                                      const TSettings& ASettings = {}) {
  auto label = std::make_unique<TovsLabel3D>();
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, Background);
  palette.setColor(QPalette::WindowText, FontColour);
  label->setPalette(palette);
  label->setFont(TestFont(APixelSize));
  label->setText(ACaption);
  label->resize(ASize);
  for (const auto& [name, value] : ASettings) EXPECT_TRUE(label->setProperty(name, value)) << name;
  return label;
}

QImage Render(QWidget& AWidget) { return AWidget.grab().toImage().convertToFormat(QImage::Format_RGB32); }

// What a plain painter draws for the caption in ABox.
QImage Reference(QSize ASize, int APixelSize, QRect ABox, int AFlags, const QString& ACaption) {
  QImage image(ASize, QImage::Format_RGB32);
  image.fill(Background);
  QPainter painter(&image);
  painter.setFont(TestFont(APixelSize));
  painter.setPen(FontColour);
  painter.drawText(ABox, AFlags, ACaption);
  return image;
}

// The pixels of AColour, or of anything but the background when AColour is invalid.
std::vector<QPoint> Pixels(const QImage& AImage, const QColor& AColour = QColor()) {
  std::vector<QPoint> points;
  for (int y = 0; y < AImage.height(); ++y)
    for (int x = 0; x < AImage.width(); ++x)
      if (AColour.isValid() ? AImage.pixelColor(x, y) == AColour : AImage.pixelColor(x, y) != Background)
        points.emplace_back(x, y);
  return points;
}

QRect InkBounds(const QImage& AImage) {
  QRect bounds;
  for (const QPoint& p : Pixels(AImage)) bounds |= QRect(p, QSize(1, 1));
  return bounds;
}

// Runs of pixel rows holding ink: the lines of text drawn.
int InkLines(const QImage& AImage) {
  std::set<int> rows;
  for (const QPoint& p : Pixels(AImage)) rows.insert(p.y());
  int lines = 0;
  for (int y : rows) lines += !rows.count(y - 1);
  return lines;
}

::testing::AssertionResult SameImage(const QImage& AExpected, const QImage& AActual) {
  int differing = 0;
  QPoint first;
  for (int y = 0; y < AExpected.height(); ++y)
    for (int x = 0; x < AExpected.width(); ++x)
      if (AExpected.pixelColor(x, y) != AActual.pixelColor(x, y) && differing++ == 0) first = QPoint(x, y);
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differing << " pixels differ, first at (" << first.x() << ", " << first.y()
                                       << "): expected " << AExpected.pixelColor(first).name().toStdString()
                                       << ", drawn " << AActual.pixelColor(first).name().toStdString();
}

// --- Effects: each pass is the caption's own ink moved by its offset, in order, the caption on top.

struct TStyleRow {
  const char* Name;
  TSettings Settings;
  std::vector<std::pair<QPoint, QColor>> Passes;
  QColor Caption = FontColour;
};
void PrintTo(const TStyleRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class TovsLabel3DStyleTest : public ::testing::TestWithParam<TStyleRow> {};

// Magenta as the system's grayed-text colour, while it lives.
class TSystemGrayText {
public:
  TSystemGrayText() : FSaved(QApplication::palette()) {
    QPalette palette = FSaved;
    palette.setColor(QPalette::Disabled, QPalette::WindowText, Grayed);
    QApplication::setPalette(palette);
  }
  ~TSystemGrayText() { QApplication::setPalette(FSaved); }

private:
  QPalette FSaved;
};

TEST_P(TovsLabel3DStyleTest, DrawsTheShadesAtTheirOffsetsThenTheCaption) {
  TSystemGrayText grayText;
  const QSize size(140, 70);
  const TSettings centred = {{"alignment", int(Qt::AlignHCenter)}, {"AlignmentVertical", V(taMiddle)}};
  const std::vector<QPoint> caption = Pixels(Render(*NewLabel(size, "Ag", 28, centred)), FontColour);
  ASSERT_GT(caption.size(), 50u);

  QImage expected(size, QImage::Format_RGB32);
  expected.fill(Background);
  const auto paint = [&](QPoint AOffset, const QColor& AColour) {
    for (const QPoint& p : caption)
      if (expected.rect().contains(p + AOffset)) expected.setPixelColor(p + AOffset, AColour);
  };
  for (const auto& [offset, colour] : GetParam().Passes) paint(offset, colour);
  paint(QPoint(), GetParam().Caption);

  auto label = NewLabel(size, "Ag", 28, centred);
  for (const auto& [name, value] : GetParam().Settings) label->setProperty(name, value);
  EXPECT_TRUE(SameImage(expected, Render(*label)));
}

INSTANTIATE_TEST_SUITE_P(
    Effects, TovsLabel3DStyleTest,
    ::testing::Values(
        TStyleRow{"Normal3D", {}, {}},
        TStyleRow{"Resit3D", {{"AStyle3D", V(Resit3D)}}, {{{1, 1}, White}, {{-1, -1}, Gray}}},
        TStyleRow{"Raised3D", {{"AStyle3D", V(Raised3D)}}, {{{1, 1}, Gray}, {{-1, -1}, White}}},
        TStyleRow{"Shadowed3D", {{"AStyle3D", V(Shadowed3D)}}, {{{5, -5}, Gray}}},
        TStyleRow{"Resit3DOwnColours",
                  {{"AStyle3D", V(Resit3D)}, {"AShadeRightBottom", Red}, {"AShadeLeftTop", Blue}},
                  {{{1, 1}, Blue}, {{-1, -1}, Red}}},
        TStyleRow{"Raised3DLeftTopLockedWhite",
                  {{"AStyle3D", V(Raised3D)}, {"AShadeLeftTop", Blue}, {"AShadeLTSet", true}},
                  {{{1, 1}, Gray}, {{-1, -1}, White}}},
        TStyleRow{"Shadowed3DOwnOffsetsAndColour",
                  {{"AStyle3D", V(Shadowed3D)}, {"AHShadeOffSet", -3}, {"AVShadeOffSet", 4},
                   {"AShadeRightBottom", Red}, {"AShadeLeftTop", Blue}},
                  {{{-3, 4}, Red}}},
        TStyleRow{"Normal3DDisabled", {{"enabled", false}}, {}, Grayed},
        TStyleRow{"Raised3DDisabled", {{"AStyle3D", V(Raised3D)}, {"enabled", false}},
                  {{{1, 1}, Gray}, {{-1, -1}, White}}, Grayed},
        TStyleRow{"Shadowed3DDisabled", {{"AStyle3D", V(Shadowed3D)}, {"enabled", false}}, {{{5, -5}, Gray}},
                  Grayed}),
    RowName);

// --- Vertical placement and the text box.

struct TTopRow {
  const char* Name;
  int Top, Bottom, TextHeight;
  TovsAlignmentVertical Alignment;
  int Expected;
};
void PrintTo(const TTopRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class VerticalTextTopTest : public ::testing::TestWithParam<TTopRow> {};

TEST_P(VerticalTextTopTest, MovesTheTopEdge) {
  const TTopRow& row = GetParam();
  EXPECT_EQ(row.Expected, VerticalTextTop(row.Top, row.Bottom, row.TextHeight, row.Alignment));
}

INSTANTIATE_TEST_SUITE_P(
    Placements, VerticalTextTopTest,
    ::testing::Values(TTopRow{"Top", 0, 40, 16, taTop, 0}, TTopRow{"Middle", 0, 40, 16, taMiddle, 11},
                      TTopRow{"Bottom", 0, 40, 16, taBottom, 23},
                      TTopRow{"MiddleOfAShiftedBox", 10, 40, 16, taMiddle, 16},
                      TTopRow{"MiddleDropsTheFractionTowardZero", -10, 4, 0, taMiddle, -3},
                      TTopRow{"BottomOfTextTallerThanTheBox", 0, 10, 30, taBottom, -21},
                      TTopRow{"MiddleAtTheLargestCoordinate", INT_MAX, INT_MAX, 0, taMiddle, INT_MAX - 1},
                      TTopRow{"BottomBelowTheSmallestCoordinate", INT_MIN, INT_MIN, INT_MAX, taBottom, INT_MIN}),
    RowName);

struct TPlacementRow {
  const char* Name;
  TovsAlignmentVertical Alignment;
  int ExpectedTop;
};
void PrintTo(const TPlacementRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class TovsLabel3DPlacementTest : public ::testing::TestWithParam<TPlacementRow> {};

// A box 40 pixels high and a caption 16 high: the caption's top is 0, 11 or 23.
TEST_P(TovsLabel3DPlacementTest, PutsTheCaptionWhereThePlacementRuleSays) {
  const QSize size(200, 40);
  ASSERT_EQ(16, QFontMetrics(TestFont(13)).boundingRect(QRect(QPoint(), size), Qt::TextWordWrap, "Hxg").height());
  auto label = NewLabel(size, "Hxg", 13, {{"AlignmentVertical", V(GetParam().Alignment)}});
  const int top = GetParam().ExpectedTop;
  EXPECT_TRUE(SameImage(Reference(size, 13, QRect(0, top, 200, 40 - top), Qt::AlignLeft, "Hxg"), Render(*label)));
}

INSTANTIATE_TEST_SUITE_P(Placements, TovsLabel3DPlacementTest,
                         ::testing::Values(TPlacementRow{"Top", taTop, 0}, TPlacementRow{"Middle", taMiddle, 11},
                                           TPlacementRow{"Bottom", taBottom, 23}),
                         RowName);

TEST(TovsLabel3DWrapping, AWrappedCaptionIsPlacedAsAWhole) {
  const QSize size(120, 80);
  const QString caption = "mmm nnn mmm nnn mmm nnn";
  const int height = QFontMetrics(TestFont(13)).boundingRect(QRect(QPoint(), size), Qt::TextWordWrap, caption).height();
  const QImage drawn = Render(*NewLabel(size, caption, 13, {{"AlignmentVertical", V(taBottom)}}));
  EXPECT_GE(InkLines(drawn), 2);
  const int top = 80 - height - 1;
  EXPECT_TRUE(SameImage(Reference(size, 13, QRect(0, top, 120, 80 - top), Qt::TextWordWrap, caption), drawn));
}

TEST(TovsLabel3DWrapping, ALongCaptionIsWrappedAtWordsAndDrawnWhole) {
  const QString caption = QString("mmm nnn ").repeated(35).trimmed();
  ASSERT_GT(caption.size(), 255);
  const QSize size(220, 400);
  // The caption wraps whatever QLabel's own setting says.
  const QImage drawn = Render(*NewLabel(size, caption, 13, {{"wordWrap", false}}));
  EXPECT_TRUE(SameImage(Reference(size, 13, QRect(QPoint(), size), Qt::TextWordWrap, caption), drawn));
  EXPECT_GE(InkLines(drawn), 5);
  EXPECT_LT(InkBounds(drawn).right(), size.width() - 1) << "a line ran into the right edge";
}

struct TShiftRow {
  const char* Name;
  TSettings Settings;
  QPoint ExpectedMove;
};
void PrintTo(const TShiftRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class TovsLabel3DShiftTest : public ::testing::TestWithParam<TShiftRow> {};

// LeftShift and TopShift move the left and top edges of the box; the caption follows its alignment.
TEST_P(TovsLabel3DShiftTest, MovesTheCaptionWithTheEdgesOfItsBox) {
  const TShiftRow& row = GetParam();
  TSettings plain;
  for (const auto& setting : row.Settings)
    if (!QByteArray(setting.first).endsWith("Shift")) plain.push_back(setting);
  std::vector<QPoint> expected = Pixels(Render(*NewLabel(QSize(160, 60), "Hxg", 16, plain)));
  ASSERT_FALSE(expected.empty());
  for (QPoint& p : expected) p += row.ExpectedMove;
  EXPECT_TRUE(expected == Pixels(Render(*NewLabel(QSize(160, 60), "Hxg", 16, row.Settings))));
}

INSTANTIATE_TEST_SUITE_P(
    Shifts, TovsLabel3DShiftTest,
    ::testing::Values(
        TShiftRow{"LeftTopMovesBoth", {{"LeftShift", 7}, {"TopShift", 3}}, {7, 3}},
        TShiftRow{"RightAlignedKeepsItsRightEdge", {{"alignment", int(Qt::AlignRight)}, {"LeftShift", 7}}, {0, 0}},
        TShiftRow{"CentredMovesHalf", {{"alignment", int(Qt::AlignHCenter)}, {"LeftShift", -8}}, {-4, 0}},
        TShiftRow{"MiddleMovesHalf", {{"AlignmentVertical", V(taMiddle)}, {"TopShift", 6}}, {0, 3}},
        TShiftRow{"BottomKeepsItsBottomEdge", {{"AlignmentVertical", V(taBottom)}, {"TopShift", 5}}, {0, 0}}),
    RowName);

TEST(TovsLabel3DShift, ExtremeShiftsAndOffsetsDrawNothingAndDoNotFail) {
  auto label = NewLabel(QSize(80, 30), "Hxg", 16,
                        {{"AStyle3D", V(Shadowed3D)}, {"AHShadeOffSet", INT_MAX}, {"AVShadeOffSet", INT_MIN},
                         {"LeftShift", INT_MAX}, {"TopShift", INT_MIN}});
  EXPECT_TRUE(Pixels(Render(*label)).empty());
}

TEST(TovsLabel3DText, AmpersandsMarkAcceleratorsOnlyWhenShowAccelCharIsSet) {
  const auto draw = [](const QString& ACaption, bool AShow) {
    return Render(*NewLabel(QSize(120, 40), ACaption, 20, {{"ShowAccelChar", AShow}}));
  };
  EXPECT_TRUE(SameImage(draw("A&B", false), draw("A&&B", true))) << "\"&&\" draws one ampersand";
  EXPECT_GT(InkBounds(draw("A&&B", false)).width(), InkBounds(draw("A&&B", true)).width());
  EXPECT_GT(InkBounds(draw("&AB", true)).bottom(), InkBounds(draw("AB", true)).bottom()) << "A is underlined";
}

TEST(TovsLabel3DText, FillsWithItsColourUnlessTransparent) {
  QWidget parent;
  QPalette palette = parent.palette();
  palette.setColor(QPalette::Window, Blue);
  parent.setPalette(palette);
  TovsLabel3D label(&parent);
  label.resize(60, 20);
  const auto corner = [&label] {
    QImage image(label.size(), QImage::Format_RGB32);
    image.fill(Qt::yellow);
    label.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image.pixelColor(0, 0);
  };
  EXPECT_EQ(Blue, corner()) << "the parent's colour";
  palette.setColor(QPalette::Window, Red);
  label.setPalette(palette);
  EXPECT_EQ(Red, corner());
  label.setTransparent(true);
  EXPECT_EQ(QColor(Qt::yellow), corner()) << "a transparent label leaves what lies below";
}

// --- Property changes.

class TCountingLabel : public TovsLabel3D {
public:
  int Repaints = 0;

protected:
  void Invalidate() override {
    ++Repaints;
    TovsLabel3D::Invalidate();
  }
};

struct TRepaintRow {
  const char* Name;
  Tovs3DEffect Style;
  const char* Property;
  QVariant Value;
  bool Repaints;
};
void PrintTo(const TRepaintRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class TovsLabel3DRepaintTest : public ::testing::TestWithParam<TRepaintRow> {};

TEST_P(TovsLabel3DRepaintTest, StoresTheValueAndRepaintsOnlyWhenItShows) {
  const TRepaintRow& row = GetParam();
  TCountingLabel label;
  label.setAStyle3D(row.Style);
  label.Repaints = 0;
  label.setProperty(row.Property, row.Value);
  EXPECT_EQ(row.Value, label.property(row.Property));
  EXPECT_EQ(row.Repaints ? 1 : 0, label.Repaints);
}

INSTANTIATE_TEST_SUITE_P(
    Setters, TovsLabel3DRepaintTest,
    ::testing::Values(TRepaintRow{"AStyle3D", Normal3D, "AStyle3D", V(Raised3D), true},
                      TRepaintRow{"AStyle3DUnchanged", Raised3D, "AStyle3D", V(Raised3D), false},
                      TRepaintRow{"TopShift", Normal3D, "TopShift", 3, true},
                      TRepaintRow{"TopShiftUnchanged", Normal3D, "TopShift", 0, false},
                      TRepaintRow{"LeftShift", Normal3D, "LeftShift", -2, true},
                      TRepaintRow{"AlignmentVertical", Normal3D, "AlignmentVertical", V(taBottom), true},
                      TRepaintRow{"RightBottomOnNormal3D", Normal3D, "AShadeRightBottom", Red, false},
                      TRepaintRow{"RightBottomOnResit3D", Resit3D, "AShadeRightBottom", Red, true},
                      TRepaintRow{"RightBottomOnShadowed3D", Shadowed3D, "AShadeRightBottom", Red, true},
                      TRepaintRow{"RightBottomUnchanged", Raised3D, "AShadeRightBottom", Gray, false},
                      TRepaintRow{"LeftTopOnRaised3D", Raised3D, "AShadeLeftTop", Blue, true},
                      TRepaintRow{"LeftTopOnShadowed3D", Shadowed3D, "AShadeLeftTop", Blue, false},
                      TRepaintRow{"HShadeOffSetOnRaised3D", Raised3D, "AHShadeOffSet", 9, false},
                      TRepaintRow{"HShadeOffSetOnShadowed3D", Shadowed3D, "AHShadeOffSet", 9, true},
                      TRepaintRow{"VShadeOffSetOnRaised3D", Raised3D, "AVShadeOffSet", 9, false},
                      TRepaintRow{"VShadeOffSetOnShadowed3D", Shadowed3D, "AVShadeOffSet", 9, true},
                      TRepaintRow{"LTSetUnchangedOnRaised3D", Raised3D, "AShadeLTSet", false, true},
                      TRepaintRow{"LTSetUnchangedOnResit3D", Resit3D, "AShadeLTSet", false, true},
                      TRepaintRow{"LTSetOnShadowed3D", Shadowed3D, "AShadeLTSet", true, false},
                      TRepaintRow{"Transparent", Normal3D, "Transparent", true, true}),
    RowName);

TEST(TovsLabel3DProperties, LockingWhitensTheLeftTopShadeAndUnlockingRestoresIt) {
  TCountingLabel label;
  label.setAStyle3D(Raised3D);
  label.setAShadeLeftTop(Blue);
  label.setAShadeLTSet(true);
  EXPECT_EQ(White, label.AShadeLeftTop());
  label.Repaints = 0;
  label.setAShadeLeftTop(Red);
  EXPECT_EQ(White, label.AShadeLeftTop()) << "ignored while locked";
  EXPECT_EQ(0, label.Repaints);
  label.setAShadeLTSet(false);
  EXPECT_EQ(Blue, label.AShadeLeftTop());
  // Each lock keeps the colour of its own moment.
  label.setAShadeLeftTop(Red);
  label.setAShadeLTSet(true);
  label.setAShadeLTSet(true);
  label.setAShadeLTSet(false);
  EXPECT_EQ(Red, label.AShadeLeftTop());
}

TEST(TovsLabel3DProperties, ResetGivesTheDeclaredDefaultsAndAuthorIsNeverStored) {
  TovsLabel3D fresh;
  auto label = NewLabel(QSize(10, 10), "", 10,
                        {{"AStyle3D", V(Raised3D)}, {"AShadeRightBottom", Red}, {"AShadeLeftTop", Blue},
                         {"AHShadeOffSet", 1}, {"AVShadeOffSet", 2}, {"TopShift", 3}, {"LeftShift", 4},
                         {"Transparent", true}, {"ShowAccelChar", false}, {"AShadeLTSet", true}});
  // Last declared first: the lock is lifted before the left-top colour is reset.
  const QMetaObject& meta = TovsLabel3D::staticMetaObject;
  for (int i = meta.propertyCount() - 1; i >= meta.propertyOffset(); --i) meta.property(i).reset(label.get());
  for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i)
    EXPECT_EQ(meta.property(i).read(&fresh), meta.property(i).read(label.get())) << meta.property(i).name();
  EXPECT_FALSE(fresh.AShadeLTSet()) << "a new label starts as its declared default says";
  EXPECT_FALSE(meta.property(meta.indexOfProperty("Author")).isStored());
}

TEST(TovsLabel3DProperties, DesignerFormsSetThemByName) {
  QWidget form;
  Ui::Label3DTestForm ui;
  ui.setupUi(&form);
  const TovsLabel3D& label = *ui.TitleLB;
  EXPECT_EQ(taMiddle, label.AlignmentVertical());
  EXPECT_EQ(Shadowed3D, label.AStyle3D());
  EXPECT_EQ(Red, label.AShadeRightBottom());
  EXPECT_EQ(std::pair(2, 3), std::pair(label.AHShadeOffSet(), label.AVShadeOffSet()));
  EXPECT_TRUE(label.AShadeLTSet());
  EXPECT_EQ(std::pair(6, 4), std::pair(label.LeftShift(), label.TopShift()));
  EXPECT_TRUE(label.Transparent());
  EXPECT_FALSE(label.ShowAccelChar());
  EXPECT_TRUE(ui.TitleLB->setProperty("AStyle3D", "Resit3D"));
  EXPECT_EQ(Resit3D, label.AStyle3D()) << "enumeration values are known by their names";
}

// --- The pointer leaving.

class TovsLabel3DMouseOutTest : public ::testing::Test {
protected:
  void SetUp() override {
    Window.resize(200, 100);
    Label->setGeometry(10, 10, 80, 30);
    QObject::connect(Label, &TovsLabel3D::mouseOut, [this](TovsLabel3D* ASender) {
      ++Raised;
      EXPECT_EQ(Label, ASender);
    });
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
  }

  // A move with the left button held, which Qt keeps sending to the label once the pointer has left.
  void DragTo(QPoint AAt) {
    QMouseEvent move(QEvent::MouseMove, AAt, Label->mapToGlobal(AAt), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Label, &move);
  }

  QWidget Window;
  TovsLabel3D* Label = new TovsLabel3D(&Window);
  int Raised = 0;
};

TEST_F(TovsLabel3DMouseOutTest, RaisedOncePerLeavingAndAgainOnlyAfterComingBack) {
  QTest::mouseMove(&Window, QPoint(150, 80));
  QTest::mouseMove(&Window, QPoint(190, 10));
  EXPECT_EQ(0, Raised) << "the pointer has not been over the label yet";
  QTest::mouseMove(&Window, QPoint(30, 20));
  QTest::mouseMove(&Window, QPoint(40, 25));
  EXPECT_EQ(0, Raised);
  QTest::mouseMove(&Window, QPoint(150, 80));
  QTest::mouseMove(&Window, QPoint(190, 90));
  EXPECT_EQ(1, Raised);
  QTest::mouseMove(&Window, QPoint(30, 20));
  QTest::mouseMove(&Window, QPoint(5, 5));
  EXPECT_EQ(2, Raised);
}

TEST_F(TovsLabel3DMouseOutTest, WhileDraggingTheRightAndBottomEdgesStillCountAsInside) {
  DragTo(QPoint(5, 5));
  DragTo(QPoint(80, 30));
  EXPECT_EQ(0, Raised);
  DragTo(QPoint(81, 30));
  DragTo(QPoint(120, 30));
  EXPECT_EQ(1, Raised);
  DragTo(QPoint(40, 15));
  DragTo(QPoint(40, -1));
  EXPECT_EQ(2, Raised);
  QEvent leave(QEvent::Leave);  // what Qt sends when the button is let go outside
  QApplication::sendEvent(Label, &leave);
  EXPECT_EQ(2, Raised);
}

}  // namespace
