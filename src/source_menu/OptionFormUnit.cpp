#include "source_menu/OptionFormUnit.h"

#include "forms/QtApplication.h"
#include "platform/Application.h"
#include "platform/Streaming.h"

#include <QCompleter>
#include <QFileSystemModel>
#include <QKeyEvent>

VANTRY_DESCRIPTION(OptionFormUnit);

namespace Vantry {

namespace {
constexpr int mrOk = 1;
constexpr int mrCancel = 2;

// What a click handler raises is shown, never passed on into Qt's event loop.
template <class F>
void Guarded(TObject* ASender, F AHandler) {
  try {
    AHandler();
  } catch (...) {
    Application().HandleException(ASender);
  }
}
}  // namespace

const TClassInfo& TOptionsForm::StaticClass() {
  using T = TOptionsForm;
  static constexpr TFieldInfo Fields[] = {Published::Field<&T::OVS>("OVS")};
  static constexpr TClassInfo Info = ClassInfoOf<T, TComponent>("TOptionsForm")
                                         .WithFields(Fields)
                                         .WithDescription(&VantryDescription_OptionFormUnit);
  return Info;
}

TOptionsForm::TOptionsForm(TComponent* AOwner) : QDialog(ApplicationWindow()), TComponent(AOwner) {
  UseFormFonts();
  setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(330, 149);
  // Heights in pixels at 96 dots per inch, as the form was drawn.
  QFont font = this->font();
  font.setPixelSize(11);
  setFont(font);
  font = ovsLabel3D1->font();
  font.setPixelSize(13);
  ovsLabel3D1->setFont(font);

  // Completes folder names as the user types; the popup is a window of its
  // own, so the form keeps its size and layout.
  auto* folders = new QFileSystemModel(this);
  folders->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  folders->setRootPath(QString());
  auto* completer = new QCompleter(folders, this);
  EDPath->setCompleter(completer);

  connect(RBAutomatic, &QRadioButton::clicked, this, [this] { Guarded(this, [&] { RBClick(RBAutomatic); }); });
  connect(RBPath, &QRadioButton::clicked, this, [this] { Guarded(this, [&] { RBClick(RBPath); }); });
  connect(BTOK, &QPushButton::clicked, this, [this] { Guarded(this, [&] { BTOKClick(BTOK); }); });
  connect(BTCancel, &QPushButton::clicked, this, [this] { done(mrCancel); });
  connect(BTAbout, &QPushButton::clicked, this, [this] { Guarded(this, [&] { BTAboutClick(BTAbout); }); });
}

void TOptionsForm::AfterConstruction() { InitInheritedComponent(this, TComponent::StaticClass()); }

int TOptionsForm::ShowModal() {
  CenterOnScreen(this);
  return exec();
}

void TOptionsForm::showEvent(QShowEvent* AEvent) {
  QDialog::showEvent(AEvent);
  RBClick(this);
  BTOK->setFocus();
}

void TOptionsForm::keyPressEvent(QKeyEvent* AEvent) {
  if (AEvent->key() == Qt::Key_Escape) return AEvent->accept();
  QDialog::keyPressEvent(AEvent);
}

void TOptionsForm::reject() { done(mrCancel); }

void TOptionsForm::RBClick(QObject*) { EDPath->setEnabled(RBPath->isChecked()); }

void TOptionsForm::BTOKClick(QObject*) {
  // The folder is checked exactly as typed: no trimming.
  const std::string path = EDPath->text().toStdString();
  if (RBAutomatic->isChecked() || DirectoryExists(path))
    done(mrOk);
  else
    ShowMessage(Format("Directory '%s' does not exist.", {path}));
}

void TOptionsForm::BTAboutClick(QObject*) { OVS->Execute(); }

}  // namespace Vantry
