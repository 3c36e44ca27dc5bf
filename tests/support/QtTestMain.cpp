// The main of test programs that need widgets: a QApplication on Qt's
// offscreen platform, so the tests run without a display. Like the IDE, it
// takes the collation from the environment before anything sorts.

#include <QApplication>

#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
  std::setlocale(LC_COLLATE, "");
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
