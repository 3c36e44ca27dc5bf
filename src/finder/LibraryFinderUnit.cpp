#include "finder/LibraryFinderUnit.h"

#include "expert/host/ExptIntf.h"
#include "index/DeclarationScanner.h"
#include "index/UnitRanking.h"
#include "forms/QtApplication.h"
#include "navigation/Counterpart.h"
#include "platform/Streaming.h"
#include "source_menu/ExpertModuleUnit.h"

#include <QDockWidget>
#include <QFile>
#include <QFileSystemWatcher>
#include <QSet>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>

#include <filesystem>

VANTRY_DESCRIPTION(LibraryFinderUnit);

namespace Vantry {

const TClassInfo& TLibraryFinderModule::StaticClass() {
  using T = TLibraryFinderModule;
  static constexpr TMethodInfo Methods[] = {
      Published::Method<&T::LibraryFinderModuleDestroy>("LibraryFinderModuleDestroy"),
      Published::Method<&T::IMIFindLibraryUnitClick>("IMIFindLibraryUnitClick"),
      Published::Method<&T::IMIOpenUnitAtCursorClick>("IMIOpenUnitAtCursorClick"),
      Published::Method<&T::IMIFindLibraryDeclarationClick>("IMIFindLibraryDeclarationClick"),
      Published::Method<&T::IMIFindDeclarationAtCursorClick>("IMIFindDeclarationAtCursorClick"),
      Published::Method<&T::IMIGoToRoutineCounterpartClick>("IMIGoToRoutineCounterpartClick"),
      Published::Method<&T::IMIFindReferencesClick>("IMIFindReferencesClick"),
      Published::Method<&T::IMIPeekDeclarationClick>("IMIPeekDeclarationClick"),
      Published::Method<&T::IMIUnitOutlineClick>("IMIUnitOutlineClick"),
  };
  static constexpr TFieldInfo Fields[] = {
      Published::Field<&T::IMIFinderSeparator>("IMIFinderSeparator"),
      Published::Field<&T::IMIFindLibraryUnit>("IMIFindLibraryUnit"),
      Published::Field<&T::IMIOpenUnitAtCursor>("IMIOpenUnitAtCursor"),
      Published::Field<&T::IMIFindLibraryDeclaration>("IMIFindLibraryDeclaration"),
      Published::Field<&T::IMIFindDeclarationAtCursor>("IMIFindDeclarationAtCursor"),
      Published::Field<&T::IMIGoToRoutineHeading>("IMIGoToRoutineHeading"),
      Published::Field<&T::IMIGoToRoutineBody>("IMIGoToRoutineBody"),
      Published::Field<&T::IMIFindReferences>("IMIFindReferences"),
      Published::Field<&T::IMIPeekDeclaration>("IMIPeekDeclaration"),
      Published::Field<&T::IMIUnitOutline>("IMIUnitOutline"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<T, TEtkModule>("TLibraryFinderModule")
                                         .WithMethods(Methods)
                                         .WithFields(Fields)
                                         .WithDescription(&VantryDescription_LibraryFinderUnit);
  return Info;
}

TLibraryFinderModule::TLibraryFinderModule(TComponent* AOwner)
    : TEtkModule(AOwner), FIndex(std::make_unique<TWorkspace>()), FWaitTimer(new QTimer) {
  QObject::connect(FWaitTimer, &QTimer::timeout, [this] { WaitTimerTimer(); });
  FReferencesTimer = new QTimer;
  QObject::connect(FReferencesTimer, &QTimer::timeout, [this] {
    FIndex->Poll();
    if (!FIndex->Declarations() && FIndex->Building()) return;
    FReferencesTimer->stop();
    FindReferences(std::move(FReferencesPending));
  });
  FWatcher = new QFileSystemWatcher;
  QObject::connect(FWatcher, &QFileSystemWatcher::fileChanged,
                   [this](const QString& APath) { ProjectFileChanged(QFile::encodeName(APath).toStdString()); });
  QObject::connect(FWatcher, &QFileSystemWatcher::directoryChanged, [this](const QString&) {
    FIndex->Refresh(true);
    WatchProjects();
  });
  // The peek of a name the mouse rests on.
  if (ToolServices)
    ToolServices->SetHoverHandler([this](const std::string& APath, const std::string& AText, size_t AOffset, int AX, int AY) {
      ShowPeek(APath, AText, AOffset, AX, AY + 16);
    });
}

TLibraryFinderModule::~TLibraryFinderModule() { LibraryFinderModuleDestroy(this); }

// Shut-down order: the finder first (it reads the index), then the timer,
// then the walk, whose thread must be gone before the library can unload.
void TLibraryFinderModule::LibraryFinderModuleDestroy(TObject*) {
  if (ToolServices) ToolServices->SetHoverHandler({});
  delete FFinder.data();
  delete FReferences.data();  // stops its search
  delete FOutline.data();
  delete FPeek.data();
  delete FReferencesTimer;
  FReferencesTimer = nullptr;
  delete FWatcher;
  FWatcher = nullptr;
  delete FWaitTimer;
  FWaitTimer = nullptr;
  FPending = {};
  if (FIndex) FIndex->Stop();
}

void TLibraryFinderModule::IMIFindLibraryUnitClick(TObject*) {
  try {
    ShowFinder(fmUnits);
  } catch (...) {
    Application().HandleException(this);
  }
}

void TLibraryFinderModule::IMIOpenUnitAtCursorClick(TObject*) {
  try {
    std::string name = ToolServices ? ToolServices->GetIdentifierAtCursor() : std::string();
    if (name.empty())
      Application().ShowMessage("There is no identifier at the cursor.");
    else
      OpenUnitNamed(name);
  } catch (...) {
    Application().HandleException(this);
  }
}

namespace {

// What the edited source says: the units it uses (and System, which every
// Pascal source uses without naming it).
std::vector<std::string> UsesOf(const std::string& AText) {
  std::vector<std::string> units = UsedUnits(AText);
  units.push_back("System");
  return units;
}

}  // namespace

void TLibraryFinderModule::IMIFindLibraryDeclarationClick(TObject*) {
  try {
    TFinderForm* finder = ShowFinder(fmDeclarations);
    std::string text;
    size_t cursor = 0;
    finder->SetPreferredUnits(ToolServices && ToolServices->GetEditorText(text, cursor) ? UsesOf(text)
                                                                                         : UsesOf({}));
  } catch (...) {
    Application().HandleException(this);
  }
}

void TLibraryFinderModule::IMIFindDeclarationAtCursorClick(TObject*) {
  try {
    TLookup lookup;
    lookup.Declaration = true;
    if (ToolServices && ToolServices->GetEditorText(lookup.Text, lookup.Cursor)) {
      const TNameAtCursor at = NameAt(lookup.Text, lookup.Cursor);
      lookup.Owner = at.Owner;
      lookup.Name = at.Name;
      lookup.Uses = UsesOf(lookup.Text);
      lookup.Path = ToolServices->GetCurrentFile();
    } else if (ToolServices) {  // a host that cannot give the text: the name alone
      lookup.Name = ToolServices->GetIdentifierAtCursor();
    }
    if (lookup.Name.empty()) {
      Application().ShowMessage("There is no identifier at the cursor.");
    } else {
      RefreshIndex(true);
      Look(std::move(lookup));
    }
  } catch (...) {
    Application().HandleException(this);
  }
}

void TLibraryFinderModule::IMIGoToRoutineCounterpartClick(TObject*) {
  try {
    if (!ToolServices) return;
    TLookup lookup;
    if (!ToolServices->GetEditorText(lookup.Text, lookup.Cursor)) {
      ToolServices->ShowStatus("No source is open in the editor.");
      return;
    }
    lookup.Declaration = lookup.Counterpart = true;
    lookup.Path = ToolServices->GetCurrentFile();
    RefreshIndex(true);  // the table there is answers now; a walk brings what changed
    Look(std::move(lookup));  // once the index is built, when it is not yet
  } catch (...) {
    Application().HandleException(this);
  }
}

void TLibraryFinderModule::GoToCounterpart(const TLookup& ALookup) {
  const auto table = FIndex->Declarations();
  if (!table) return;
  const TCounterpart found =
      CounterpartOf(ResolverFor(table), ALookup.Path, ALookup.Text, static_cast<uint32_t>(std::min<size_t>(ALookup.Cursor, UINT32_MAX)));
  if (found.Empty()) {
    ToolServices->ShowStatus(found.Note);
    return;
  }
  OpenFile(found.Place.Path, static_cast<int>(found.Place.Line), static_cast<int>(found.Place.Column));
  ToolServices->ShowStatus(found.Place.Name + (found.ToBody ? ": its body" : ": its heading"));
}

void TLibraryFinderModule::IMIFindReferencesClick(TObject*) {
  try {
    // The declaration finder's chosen row when it has the focus, else the
    // name at the editor's cursor.
    TReferenceQuestion question;
    if (FFinder && FFinder->isActiveWindow() && FFinder->SelectedDeclaration() != TDeclarationTable::None) {
      question.Declaration = FFinder->SelectedDeclaration();
      question.Table = FFinder->SelectedTable();
    } else {
      size_t cursor = 0;
      if (!ToolServices || !ToolServices->GetEditorText(question.Text, cursor) ||
          NameAt(question.Text, cursor).Name.empty()) {
        Application().ShowMessage("There is no identifier at the cursor.");
        return;
      }
      question.Path = ToolServices->GetCurrentFile();
      question.Offset = static_cast<uint32_t>(std::min<size_t>(cursor, UINT32_MAX));
    }
    RefreshIndex(true);
    FindReferences(std::move(question));
  } catch (...) {
    Application().HandleException(this);
  }
}

void TLibraryFinderModule::FindReferences(TReferenceQuestion AQuestion) {
  FIndex->Poll();
  // A declaration is the table's that the finder showed.
  const auto table = AQuestion.Table ? AQuestion.Table : FIndex->Declarations();
  if (!FReferences) {
    FReferences = new TReferencesPanel(
        [this](const std::string& APath, int ALine, int AColumn) { OpenFile(APath, ALine, AColumn); }, ApplicationWindow());
    Dock(FReferences, Qt::BottomDockWidgetArea);
  }
  if (!table) {  // the index is being built: search once it is there
    FReferences->show();
    FReferences->LBStatus->setText(QStringLiteral("Indexing the library..."));
    FReferencesPending = std::move(AQuestion);
    FReferencesTimer->start(50);
    return;
  }
  if (ToolServices)
    AQuestion.Unsaved = std::make_shared<const std::map<std::string, std::string>>(ToolServices->GetUnsavedTexts());
  FReferences->Search(table, FIndex->Target(), std::move(AQuestion));
}

void TLibraryFinderModule::IMIPeekDeclarationClick(TObject*) {
  try {
    std::string text;
    size_t cursor = 0;
    int x = 0, y = 0;
    if (!ToolServices || !ToolServices->GetEditorText(text, cursor)) return;
    if (!ToolServices->GetCursorPoint(x, y)) return;
    if (!ShowPeek(ToolServices->GetCurrentFile(), text, cursor, x, y))
      ToolServices->ShowStatus(FIndex->Declarations() ? "No declaration is known for the name at the cursor."
                                                       : "The library is being indexed; try again in a moment.");
  } catch (...) {
    Application().HandleException(this);
  }
}

bool TLibraryFinderModule::ShowPeek(const std::string& APath, const std::string& AText, size_t AOffset, int AX, int AY) {
  FIndex->Poll();
  const auto table = FIndex->Declarations();
  if (!table) {
    RefreshIndex(true);  // the next peek can answer
    return false;
  }
  if (NameAt(AText, AOffset).Name.empty()) return false;
  const TResolution resolution =
      ResolverFor(table).Resolve(APath, AText, static_cast<uint32_t>(std::min<size_t>(AOffset, UINT32_MAX)));
  if (!resolution.Scoped || resolution.Answers.empty()) return false;
  const TAnswer& answer = resolution.Answers.front();
  // The editor's own text, unsaved edits and all, when the name is declared in it.
  const TPeek peek = answer.Path == APath ? PeekAt(answer, AText) : PeekAt(answer);
  if (peek.Empty()) return false;
  if (!FPeek)
    FPeek = new TPeekPopup([this](const std::string& APath, int ALine, int AColumn) { OpenFile(APath, ALine, AColumn); },
                           ApplicationWindow());
  FPeek->ShowPeek(peek, QPoint(AX, AY));
  return true;
}

void TLibraryFinderModule::IMIUnitOutlineClick(TObject*) {
  try {
    if (!FOutline) {
      FOutline = new TOutlinePanel(ToolServices, ApplicationWindow());
      Dock(FOutline, Qt::RightDockWidgetArea);
      FOutline->show();
      return;
    }
    FOutline->setVisible(!FOutline->isVisible());
  } catch (...) {
    Application().HandleException(this);
  }
}

void TLibraryFinderModule::Dock(QDockWidget* APanel, Qt::DockWidgetArea AArea) {
  if (auto* window = qobject_cast<QMainWindow*>(ApplicationWindow())) window->addDockWidget(AArea, APanel);
}

TResolver& TLibraryFinderModule::ResolverFor(const std::shared_ptr<const TDeclarationTable>& ATable) {
  if (!FResolver || FResolverGeneration != FIndex->DeclarationGeneration()) {
    FResolver = std::make_unique<TResolver>(ATable, FIndex->Target());
    FResolverGeneration = FIndex->DeclarationGeneration();
    FResolver->SetTextSource([this](const std::string& APath) -> const std::string* {
      const auto it = FUnsaved.find(APath);
      return it == FUnsaved.end() ? nullptr : &it->second;
    });
  }
  FUnsaved = ToolServices ? ToolServices->GetUnsavedTexts() : std::map<std::string, std::string>();
  return *FResolver;
}

// The workspace: the projects of the files edited (the current one first),
// the source folder the settings name, then the IDE's extra libraries.
void TLibraryFinderModule::RefreshIndex(bool ADeclarations) {
  bool automatic = true;
  std::string path;
  ReadSettings(automatic, path);
  if (const std::string file = ToolServices ? ToolServices->GetCurrentFile() : std::string(); !file.empty()) {
    std::error_code error;
    const std::string project = std::filesystem::is_regular_file(file, error) ? ProjectFolderOf(file) : std::string();
    if (!project.empty() && (FProjects.empty() || FProjects.front() != project)) {
      std::erase(FProjects, project);
      FProjects.insert(FProjects.begin(), project);
      constexpr size_t MostProjects = 8;  // those the user left long ago go, and their watches
      if (FProjects.size() > MostProjects) FProjects.resize(MostProjects);
    }
  }
  std::vector<TWorkspaceRoot> roots;
  for (const std::string& project : FProjects) roots.push_back({project, true});
  if (!path.empty() && path != " ") roots.push_back({path, false});
  for (const std::string& library : ReadExtraLibraries()) roots.push_back({library, false});
  FIndex->SetTarget(ChosenTarget(ReadTargetChoice()));
  FIndex->SetRoots(std::move(roots), ADeclarations);
  WatchProjects();
}

void TLibraryFinderModule::WatchProjects() {
  // A project is small; a library is not watched (its files change with a
  // package's update, which the walk at the next use sees).
  constexpr size_t MostWatched = 4096;
  QStringList paths;
  for (const TWorkspaceRoot& root : FIndex->Roots()) {
    if (!root.Project) continue;
    std::error_code error;
    paths << QFile::decodeName(QByteArray::fromStdString(root.Path));
    for (auto it = std::filesystem::recursive_directory_iterator(root.Path, error);
         !error && it != std::filesystem::recursive_directory_iterator() && static_cast<size_t>(paths.size()) < MostWatched;
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (it->is_directory(error) && !name.empty() && name[0] == '.') it.disable_recursion_pending();
      else if (it->is_directory(error) || IsLibrarySourceName(name))
        paths << QFile::decodeName(QByteArray::fromStdString(it->path().string()));
    }
  }
  const QStringList watchedList = FWatcher->files() + FWatcher->directories();
  const QSet<QString> wanted(paths.begin(), paths.end()), watched(watchedList.begin(), watchedList.end());
  QStringList gone, added;
  for (const QString& path : watched)
    if (!wanted.contains(path)) gone << path;
  for (const QString& path : wanted)
    if (!watched.contains(path)) added << path;
  if (!gone.isEmpty()) FWatcher->removePaths(gone);
  if (!added.isEmpty()) FWatcher->addPaths(added);
}

void TLibraryFinderModule::ProjectFileChanged(const std::string& APath) {
  // An editor that saves by renaming a new file into place ends the watch.
  std::error_code error;
  if (std::filesystem::exists(APath, error)) FWatcher->addPath(QFile::decodeName(QByteArray::fromStdString(APath)));
  if (!FIndex->UpdateFile(APath)) FIndex->Refresh(true);
}

TFinderForm* TLibraryFinderModule::ShowFinder(TFinderMode AMode) {
  RefreshIndex(AMode == fmDeclarations);
  // One finder, kept (hidden) between openings with what was typed in it.
  // The module deletes it: nothing of the add-in may be left for the host's
  // window to delete after the library is gone.
  if (!FFinder)
    FFinder = new TFinderForm(
        *FIndex, [this](const std::string& APath, int ALine, int AColumn) { OpenFile(APath, ALine, AColumn); },
        ApplicationWindow());
  FFinder->SetFindReferences([this](std::shared_ptr<const TDeclarationTable> ATable, uint32_t ADeclaration) {
    TReferenceQuestion question;
    question.Table = std::move(ATable);
    question.Declaration = ADeclaration;
    FindReferences(std::move(question));
  });
  FFinder->SetMode(AMode);
  FFinder->SetSearchNote({});
  FFinder->open();  // modal to the IDE's window, without a loop of its own
  FFinder->raise();
  FFinder->activateWindow();
  return FFinder;
}

TFinderForm* TLibraryFinderModule::ShowFinder(TFinderMode AMode, const std::string& AQuery) {
  TFinderForm* finder = ShowFinder(AMode);
  finder->SetQuery(QString::fromStdString(AQuery));
  return finder;
}

void TLibraryFinderModule::OpenUnitNamed(const std::string& AName) {
  RefreshIndex(false);
  TLookup lookup;
  lookup.Name = AName;
  Look(std::move(lookup));
}

void TLibraryFinderModule::OpenDeclarationNamed(const std::string& AOwner, const std::string& AName,
                                                std::vector<std::string> AUses) {
  RefreshIndex(true);
  TLookup lookup;
  lookup.Declaration = true;
  lookup.Owner = AOwner;
  lookup.Name = AName;
  lookup.Uses = std::move(AUses);
  Look(std::move(lookup));
}

void TLibraryFinderModule::Look(TLookup ALookup) {
  FIndex->Poll();
  FPending = {};
  FWaitTimer->stop();
  // A whole index that knows the name answers at once; the walk that has
  // just started may still bring a file that is new.
  const bool ready = ALookup.Declaration ? FIndex->Declarations() != nullptr : FIndex->Complete();
  if (ready && ResolveName(ALookup, false)) return;
  FPending = std::move(ALookup);
  FWaitTimer->start(50);
}

void TLibraryFinderModule::WaitTimerTimer() {
  FIndex->Poll();
  if (FPending.Declaration ? FIndex->Building() : FIndex->Walking()) return;
  FWaitTimer->stop();
  TLookup lookup;
  std::swap(lookup, FPending);
  if (!lookup.Empty()) ResolveName(lookup, true);
}

bool TLibraryFinderModule::ResolveName(const TLookup& ALookup, bool AFinal) {
  if (ALookup.Counterpart) {
    if (!FIndex->Declarations()) return false;
    GoToCounterpart(ALookup);
    return true;
  }
  if (ALookup.Declaration) return ResolveDeclaration(ALookup, AFinal);
  const TFileTable& table = FIndex->Files();
  std::vector<uint32_t> files = TUnitSearch::UnitsNamed(table, ALookup.Name);
  if (files.size() == 1) {
    OpenFile(table.FullPath(files[0]), 0, 0);
    return true;
  }
  if (files.size() > 1) {
    ShowFinder(fmUnits, ALookup.Name);
    return true;
  }
  if (!AFinal) return false;
  if (!ReportUnreadableRoot())
    Application().ShowMessage(Format("No library unit named %s in %s.", {ALookup.Name, FIndex->RootsText()}));
  return true;
}

bool TLibraryFinderModule::ResolveInScope(const TLookup& ALookup, const std::shared_ptr<const TDeclarationTable>& ATable) {
  const TResolution resolution =
      ResolverFor(ATable).Resolve(ALookup.Path, ALookup.Text, static_cast<uint32_t>(std::min<size_t>(ALookup.Cursor, UINT32_MAX)));
  if (resolution.Answers.empty()) {
    // No name there, or one built into the compiler: the status says so.
    if (resolution.Scoped || resolution.Note.empty()) {
      if (ToolServices && !resolution.Note.empty()) ToolServices->ShowStatus(resolution.Note);
      return !resolution.Note.empty();
    }
    // Namesakes are offered as a search; with none, the lookup goes on to
    // say there is no declaration of the name.
    if (TDeclarationSearch::Named(*ATable, {}, ALookup.Name).empty()) return false;
    SearchByName(ALookup, resolution.Note);
    return true;
  }
  const TAnswer& first = resolution.Answers.front();
  OpenFile(first.Path, static_cast<int>(first.Line), static_cast<int>(first.Column));
  if (ToolServices) {
    std::string status = first.Name + ": " + resolution.Via;
    if (resolution.Answers.size() > 1)
      status += Format("; %d declarations (overloads)", {static_cast<int>(resolution.Answers.size())});
    ToolServices->ShowStatus(status);
  }
  return true;
}

bool TLibraryFinderModule::ResolveDeclaration(const TLookup& ALookup, bool AFinal) {
  const std::shared_ptr<const TDeclarationTable> table = FIndex->Declarations();
  if (table && !ALookup.Text.empty() && ResolveInScope(ALookup, table)) return true;
  std::vector<uint32_t> found;
  bool owned = false;
  if (table) {
    // Owner.Name names a member when the owner is a type; when it is a
    // variable or a unit, the name alone is what there is to go by.
    if (!ALookup.Owner.empty()) found = TDeclarationSearch::Named(*table, ALookup.Owner, ALookup.Name);
    owned = !found.empty();
    if (found.empty()) found = TDeclarationSearch::Named(*table, {}, ALookup.Name);
    found = TDeclarationSearch::HeadingsOf(*table, std::move(found));
  }
  if (found.size() == 1) {
    const uint32_t d = found[0];
    OpenFile(table->FullPath(table->FileOf(d)), static_cast<int>(table->Entry(d).Line), table->Entry(d).Column);
    return true;
  }
  if (found.size() > 1) {
    TFinderForm* finder = ShowFinder(fmDeclarations);
    finder->SetPreferredUnits(ALookup.Uses);
    finder->SetQuery(QString::fromStdString(owned ? ALookup.Owner + "." + ALookup.Name : ALookup.Name));
    return true;
  }
  if (!AFinal) return false;
  if (!ReportUnreadableRoot()) {
    const std::string name = ALookup.Owner.empty() ? ALookup.Name : ALookup.Owner + "." + ALookup.Name;
    Application().ShowMessage(Format("No declaration of %s in %s.", {name, FIndex->RootsText()}));
  }
  return true;
}

void TLibraryFinderModule::SearchByName(const TLookup& ALookup, const std::string& ANote) {
  if (ToolServices) ToolServices->ShowStatus(ANote + ": the finder searches by name");
  TFinderForm* finder = ShowFinder(fmDeclarations);
  finder->SetPreferredUnits(ALookup.Uses);
  finder->SetSearchNote(QString::fromStdString(ANote + ". Results by name:"));
  finder->SetQuery(QString::fromStdString(ALookup.Name));
}

bool TLibraryFinderModule::ReportUnreadableRoot() {
  const std::string root = FIndex->RootsText();
  if (root.empty())
    Application().ShowMessage("No source folder is set: choose one in File > Vantry > Options...");
  else if (!FIndex->LastReport().Error.empty())
    Application().ShowMessage(Format("Cannot read the source folder %s: %s.", {FIndex->ReportedRoot(), FIndex->LastReport().Error}));
  else
    return false;
  return true;
}

void TLibraryFinderModule::OpenFile(const std::string& APath, int ALine, int AColumn) {
  // The host shows a file it has open already rather than opening it again.
  if (!ToolServices) return;
  // The user's own code is theirs to edit; a library's is read.
  const TWorkspaceRoot* root = FIndex->RootOf(APath);
  if (root && root->Project)
    ToolServices->OpenOwnFileAt(APath, std::max(ALine, 1), std::max(AColumn, 1));
  else if (ALine > 0)
    ToolServices->OpenFileAt(APath, ALine, AColumn);
  else
    ToolServices->OpenFile(APath);
}

}  // namespace Vantry
