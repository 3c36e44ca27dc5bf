#include "forms/QtApplication.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include <cstdio>

namespace Vantry {

namespace {
constexpr const char* HeadlessProperty = "vantryHeadless";
}  // namespace

void MarkHeadless() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->setProperty(HeadlessProperty, true);
}

bool CanShowDialogs() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) &&
         QGuiApplication::platformName() != QLatin1String("offscreen") &&
         !QCoreApplication::instance()->property(HeadlessProperty).toBool();
}

namespace {

class TQtApplicationServices final : public TApplicationServices {
public:
  void ShowException(TObject* ASender, const std::string& AMessage) override {
    if (!CanShowDialogs()) return TApplicationServices::ShowException(ASender, AMessage);
    NewMessageBox(QMessageBox::Critical, ApplicationWindow(), QString::fromStdString(AMessage))->exec();
  }

  void ShowMessage(const std::string& AText) override {
    if (!CanShowDialogs()) return TApplicationServices::ShowMessage(AText);
    NewMessageBox(QMessageBox::Information, ApplicationWindow(), QString::fromStdString(AText))->exec();
  }

  // Runs what is pending and returns; waiting for events is the caller's
  // loop's business, so an idle pump costs nothing.
  void ProcessMessages() override {
    if (QCoreApplication::instance()) QCoreApplication::processEvents();
  }
};

constinit TQtApplicationServices QtServices;

}  // namespace

void UseQtApplicationServices() { Application().SetServices(&QtServices); }

QWidget* ApplicationWindow() { return static_cast<QWidget*>(Application().Handle()); }

std::unique_ptr<QMessageBox> NewMessageBox(QMessageBox::Icon AIcon, QWidget* AParent, const QString& AText,
                                           QMessageBox::StandardButtons AButtons) {
  auto box = std::make_unique<QMessageBox>(AIcon, QApplication::applicationDisplayName(), AText, AButtons, AParent);
  box->setTextFormat(Qt::PlainText);
  return box;
}

}  // namespace Vantry
