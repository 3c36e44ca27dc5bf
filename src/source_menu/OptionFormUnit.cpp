#include "source_menu/OptionFormUnit.h"

#include "forms/QtApplication.h"
#include "platform/Application.h"
#include "platform/Streaming.h"
#include "source_menu/Settings.h"

#include <QCompleter>
#include <QKeyEvent>
#include <QStringListModel>
#include <QStyle>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

VANTRY_DESCRIPTION(OptionFormUnit);

namespace Vantry {

namespace {
constexpr int mrOk = 1;
constexpr int mrCancel = 2;

// Most folders offered for one completion: a folder of many thousands
// offers the first of them in order, and says that the list was cut.
constexpr int MostFolders = 2000;

// The folders inside AFolder (a path ending in '/') whose names begin with
// APrefix, as full paths ending in '/', sorted and cut to MostFolders;
// AFound tells how many there were. Only this one folder is read, when the
// user types in it: nothing runs in the background, and nothing is left
// that closing the dialog would wait for (a model that watches the file
// system keeps a thread that closing must join, which a dead network mount
// can hold up for ever).
QStringList FoldersIn(const std::string& AFolder, const std::string& APrefix, qsizetype& AFound) {
  QStringList folders;
  AFound = 0;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(AFolder.c_str()), closedir);
  if (!dir) return folders;
  while (dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || name.compare(0, APrefix.size(), APrefix) != 0) continue;
    bool folder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
      struct stat info;
      folder = stat((AFolder + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }
    if (folder) folders << PathToText(AFolder + name + "/");
  }
  folders.sort();
  AFound = folders.size();
  if (folders.size() > MostFolders) folders.erase(folders.begin() + MostFolders, folders.end());
  return folders;
}

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

  // In the margin left of the folder box, so the form keeps its layout.
  FFolderProblem = new QLabel(this);
  FFolderProblem->setObjectName(QStringLiteral("FolderProblem"));
  FFolderProblem->setGeometry(5, 87, 16, 16);
  FFolderProblem->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(16, 16));
  FFolderProblem->hide();

  // Completes folder names as the user types, from the folder typed so
  // far; the popup is a window of its own, so the form keeps its size and
  // layout. The list is filled as the text changes, before the completer
  // looks at it.
  auto* folders = new QStringListModel(this);
  auto* completer = new QCompleter(folders, this);
  EDPath->setCompleter(completer);
  // The folders listed are those whose names begin with what is typed of
  // the last name: a folder is read again when the user types in another,
  // types less of the name than was listed, or the list was cut (then the
  // box's tip says so).
  connect(EDPath, &QLineEdit::textEdited, this, [this, folders](const QString& AText) {
    const std::string typed = TextToPath(AText);
    const size_t slash = typed.rfind('/');
    if (slash == std::string::npos) return;
    const std::string folder = typed.substr(0, slash + 1), prefix = typed.substr(slash + 1);
    if (folder == FListedFolder && prefix.compare(0, FListedPrefix.size(), FListedPrefix) == 0 && !FListCut) return;
    FListedFolder = folder;
    FListedPrefix = prefix;
    qsizetype found = 0;
    folders->setStringList(FoldersIn(folder, prefix, found));
    FListCut = found > MostFolders;
    EDPath->setToolTip(FListCut ? QStringLiteral("%1 of the %2 folders here are offered: type more of the name")
                                      .arg(MostFolders)
                                      .arg(found)
                                : QString());
  });

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
  if (PressFocusedButton(this, AEvent)) return;
  QDialog::keyPressEvent(AEvent);
}

void TOptionsForm::reject() { done(mrCancel); }

void TOptionsForm::RBClick(QObject*) {
  EDPath->setEnabled(RBPath->isChecked());
  // The automatic folder is the IDE's: say, as the menu does, when it cannot
  // be shown.
  const std::string why = RBAutomatic->isChecked() ? SourceFolderProblem(TextToPath(EDPath->text())) : std::string();
  FFolderProblem->setToolTip(PathToText(why));
  FFolderProblem->setAccessibleName(PathToText(why));
  FFolderProblem->setVisible(!why.empty());
}

void TOptionsForm::BTOKClick(QObject*) {
  // The folder is checked exactly as typed, byte for byte: no trimming.
  const std::string path = TextToPath(EDPath->text());
  if (RBAutomatic->isChecked() || DirectoryExists(path))
    done(mrOk);
  else
    ShowMessage(Format("Directory '%s' does not exist.", {path}));
}

void TOptionsForm::BTAboutClick(QObject*) { OVS->Execute(); }

}  // namespace Vantry
