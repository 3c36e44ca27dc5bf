#pragma once
// Drives a modal window from a test. A modal exec() ends only when its
// window closes, so a check that fails inside must still close it, or the
// test would wait for ever instead of failing.

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>

namespace VantryTest {

// Runs AUser on the modal window whose class is AClass (as its meta-object
// names it, "Vantry::TOptionsForm") as soon as it shows. When AUser returns,
// however its checks went, that window and every modal window opened above
// it that is still open are closed. A window that does not show by
// ADeadline is a failure.
inline void WhenModal(const char* AClass, std::function<void(QWidget&)> AUser,
                      std::chrono::steady_clock::time_point ADeadline = std::chrono::steady_clock::now() +
                                                                        std::chrono::seconds(10)) {
  QTimer::singleShot(0, [=] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || std::strcmp(modal->metaObject()->className(), AClass) != 0) {
      if (std::chrono::steady_clock::now() > ADeadline) return ADD_FAILURE() << AClass << " never showed";
      return WhenModal(AClass, AUser, ADeadline);
    }
    QList<QWidget*> below;  // the modal windows under this one: not this step's to close
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w != modal && w->isVisible() && w->isModal()) below << w;
    AUser(*modal);
    while (QWidget* open = QApplication::activeModalWidget()) {
      if (below.contains(open)) break;
      open->close();
      if (open->isVisible()) open->hide();  // a window that refuses to close still ends its exec()
    }
  });
}

}  // namespace VantryTest
