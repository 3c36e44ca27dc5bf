#include "forms/QtApplication.h"

#include <QApplication>
#include <QFont>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
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
    NewMessageBox(QMessageBox::Critical, DialogParent(), QString::fromStdString(AMessage))->exec();
  }

  void ShowMessage(const std::string& AText) override {
    if (!CanShowDialogs()) return TApplicationServices::ShowMessage(AText);
    NewMessageBox(QMessageBox::Information, DialogParent(), QString::fromStdString(AText))->exec();
  }

  bool AskYesNo(const std::string& AText) override {
    if (!CanShowDialogs()) return TApplicationServices::AskYesNo(AText);
    auto box = NewMessageBox(QMessageBox::Question, DialogParent(), QString::fromStdString(AText),
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

QWidget* DialogParent() {
  QWidget* modal = qobject_cast<QApplication*>(QCoreApplication::instance()) ? QApplication::activeModalWidget() : nullptr;
  return modal ? modal : ApplicationWindow();
}

namespace {
// The length of the well-formed UTF-8 sequence at the start of AText
// (RFC 3629), or 0 when it does not start with one.
size_t Utf8SequenceLength(std::string_view AText) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(AText[i]); };
  unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || AText.size() < length) return 0;
  unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (at(1) < low || at(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  return length;
}
}  // namespace

QString PathToText(const std::string& APath) {
  QString text;
  std::string_view rest(APath);
  while (!rest.empty()) {
    size_t run = 0;  // a run of well-formed UTF-8
    for (size_t n; run < rest.size() && (n = Utf8SequenceLength(rest.substr(run))) != 0;) run += n;
    text += QString::fromUtf8(rest.data(), static_cast<qsizetype>(run));
    rest.remove_prefix(run);
    if (rest.empty()) break;
    text += QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(rest.front())));
    rest.remove_prefix(1);
  }
  return text;
}

std::string TextToPath(const QString& AText) {
  std::string path;
  qsizetype start = 0;
  for (qsizetype i = 0; i <= AText.size(); ++i) {
    // An escaped byte: a lone low surrogate in the escape range.
    bool escaped = i < AText.size() && AText[i].unicode() >= 0xDC80 && AText[i].unicode() <= 0xDCFF &&
                   (i == 0 || !AText[i - 1].isHighSurrogate());
    if (!escaped && i < AText.size()) continue;
    path += AText.mid(start, i - start).toStdString();
    if (escaped) path += static_cast<char>(AText[i].unicode() - 0xDC00);
    start = i + 1;
  }
  return path;
}

bool PressFocusedButton(QWidget* ADialog, QKeyEvent* AEvent) {
  if (AEvent->key() != Qt::Key_Return && AEvent->key() != Qt::Key_Enter) return false;
  auto* button = qobject_cast<QPushButton*>(ADialog->focusWidget());
  if (!button || !button->isEnabled()) return false;
  AEvent->accept();
  button->click();
  return true;
}

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
