#include "forms/QtApplication.h"

#include <QApplication>
#include <QFont>
#include <QMessageBox>
#include <QScreen>
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

  bool AskYesNo(const std::string& AText) override {
    if (!CanShowDialogs()) return TApplicationServices::AskYesNo(AText);
    auto box = NewMessageBox(QMessageBox::Question, ApplicationWindow(), QString::fromStdString(AText),
                             QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(QMessageBox::No);
    return box->exec() == QMessageBox::Yes;
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

void UseFormFonts() {
  for (const char* family : {"MS Sans Serif", "Arial"})
    if (!QFont::substitutes(QString::fromLatin1(family)).contains(QStringLiteral("Liberation Sans")))
      QFont::insertSubstitution(QString::fromLatin1(family), QStringLiteral("Liberation Sans"));
}

void CenterOnScreen(QWidget* AWindow) {
  const QScreen* screen = AWindow->screen();
  if (!screen) return;
  QRect frame = AWindow->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  AWindow->move(frame.topLeft());
}

std::unique_ptr<QMessageBox> NewMessageBox(QMessageBox::Icon AIcon, QWidget* AParent, const QString& AText,
                                           QMessageBox::StandardButtons AButtons) {
  // A bare carriage return ends a line in the texts of the forms' origin.
  QString text = AText;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
  auto box = std::make_unique<QMessageBox>(AIcon, QApplication::applicationDisplayName(), text, AButtons, AParent);
  box->setTextFormat(Qt::PlainText);
  return box;
}

}  // namespace Vantry
