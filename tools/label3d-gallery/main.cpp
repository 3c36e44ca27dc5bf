// Draws every effect and every vertical placement of TovsLabel3D side by side
// and saves the picture, so the documentation's image can be made again:
//   label3d-gallery docs/images/label3d.png

#include "controls/ovsLabelComponents.h"

#include <QApplication>
#include <QGridLayout>
#include <QWidget>

#include <cstdio>

using namespace Vantry;

namespace {

const QColor FormColour(0xC0, 0xC0, 0xC0);  // the classic dialog face, where white and gray shades both show
const QColor BoxColour(0xD8, 0xD8, 0xD8);

QLabel* Heading(const QString& AText, QWidget* AParent) {
  auto* heading = new QLabel(AText, AParent);
  QFont font("DejaVu Sans");
  font.setPixelSize(12);
  heading->setFont(font);
  return heading;
}

TovsLabel3D* NewLabel(const QString& ACaption, QWidget* AParent) {
  auto* label = new TovsLabel3D(AParent);
  QFont font("DejaVu Sans");
  font.setPixelSize(22);
  font.setBold(true);
  label->setFont(font);
  label->setText(ACaption);
  label->setAlignment(Qt::AlignHCenter);
  // Its own fill marks out the label's box against the form.
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, BoxColour);
  label->setPalette(palette);
  return label;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output.png>\n", argv[0]);
    return 2;
  }
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);

  QWidget form;
  QPalette palette = form.palette();
  palette.setColor(QPalette::Window, FormColour);
  palette.setColor(QPalette::WindowText, Qt::black);
  form.setPalette(palette);
  form.setAutoFillBackground(true);
  auto* grid = new QGridLayout(&form);
  grid->setSpacing(10);
  grid->setContentsMargins(12, 12, 12, 12);

  const struct {
    Tovs3DEffect Style;
    const char* Name;
  } effects[] = {{Normal3D, "Normal3D"}, {Resit3D, "Resit3D"}, {Raised3D, "Raised3D"}, {Shadowed3D, "Shadowed3D"}};
  grid->addWidget(Heading("AStyle3D (AlignmentVertical taMiddle)", &form), 0, 0, 1, 4);
  for (int i = 0; i < 4; ++i) {
    TovsLabel3D* label = NewLabel(effects[i].Name, &form);
    label->setAStyle3D(effects[i].Style);
    label->setAlignmentVertical(taMiddle);
    label->setFixedSize(180, 60);
    grid->addWidget(label, 1, i);
  }

  const struct {
    TovsAlignmentVertical Alignment;
    const char* Name;
  } placements[] = {{taTop, "taTop"}, {taMiddle, "taMiddle"}, {taBottom, "taBottom"}};
  grid->addWidget(Heading("AlignmentVertical (AStyle3D Raised3D)", &form), 2, 0, 1, 4);
  for (int i = 0; i < 3; ++i) {
    TovsLabel3D* label = NewLabel(placements[i].Name, &form);
    label->setAStyle3D(Raised3D);
    label->setAlignmentVertical(placements[i].Alignment);
    label->setFixedSize(180, 90);
    grid->addWidget(label, 3, i);
  }
  TovsLabel3D* disabled = NewLabel("disabled", &form);
  disabled->setAStyle3D(Resit3D);
  disabled->setAlignmentVertical(taMiddle);
  disabled->setEnabled(false);
  disabled->setFixedSize(180, 90);
  grid->addWidget(disabled, 3, 3);

  form.adjustSize();
  if (!form.grab().save(QString::fromLocal8Bit(argv[1]))) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
