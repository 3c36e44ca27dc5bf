#include "finder/LibraryFinderUnit.h"

#include "expert/host/ExptIntf.h"
#include "finder/UnitRanking.h"
#include "forms/QtApplication.h"
#include "platform/Streaming.h"
#include "source_menu/ExpertModuleUnit.h"

#include <QTimer>

VANTRY_DESCRIPTION(LibraryFinderUnit);

namespace Vantry {

const TClassInfo& TLibraryFinderModule::StaticClass() {
  using T = TLibraryFinderModule;
  static constexpr TMethodInfo Methods[] = {
      Published::Method<&T::LibraryFinderModuleDestroy>("LibraryFinderModuleDestroy"),
      Published::Method<&T::IMIFindLibraryUnitClick>("IMIFindLibraryUnitClick"),
      Published::Method<&T::IMIOpenUnitAtCursorClick>("IMIOpenUnitAtCursorClick"),
  };
  static constexpr TFieldInfo Fields[] = {
      Published::Field<&T::IMIFinderSeparator>("IMIFinderSeparator"),
      Published::Field<&T::IMIFindLibraryUnit>("IMIFindLibraryUnit"),
      Published::Field<&T::IMIOpenUnitAtCursor>("IMIOpenUnitAtCursor"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<T, TEtkModule>("TLibraryFinderModule")
                                         .WithMethods(Methods)
                                         .WithFields(Fields)
                                         .WithDescription(&VantryDescription_LibraryFinderUnit);
  return Info;
}

TLibraryFinderModule::TLibraryFinderModule(TComponent* AOwner)
    : TEtkModule(AOwner), FIndex(std::make_unique<TLibraryIndex>()), FWaitTimer(new QTimer) {
  QObject::connect(FWaitTimer, &QTimer::timeout, [this] { WaitTimerTimer(); });
}

TLibraryFinderModule::~TLibraryFinderModule() { LibraryFinderModuleDestroy(this); }

// Shut-down order: the finder first (it reads the index), then the timer,
// then the walk, whose thread must be gone before the library can unload.
void TLibraryFinderModule::LibraryFinderModuleDestroy(TObject*) {
  delete FFinder.data();
  delete FWaitTimer;
  FWaitTimer = nullptr;
  FPending.clear();
  if (FIndex) FIndex->Stop();
}

void TLibraryFinderModule::IMIFindLibraryUnitClick(TObject*) {
  try {
    ShowFinder();
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

void TLibraryFinderModule::RefreshIndex() {
  bool automatic = true;
  std::string path;
  ReadSettings(automatic, path);
  FIndex->Refresh(path);
}

TFinderForm* TLibraryFinderModule::ShowFinder() {
  RefreshIndex();
  // One finder, kept (hidden) between openings with what was typed in it.
  // The module deletes it: nothing of the add-in may be left for the host's
  // window to delete after the library is gone.
  if (!FFinder)
    FFinder = new TFinderForm(*FIndex, [this](const std::string& APath) { OpenFile(APath); }, ApplicationWindow());
  FFinder->open();  // modal to the IDE's window, without a loop of its own
  FFinder->raise();
  FFinder->activateWindow();
  return FFinder;
}

TFinderForm* TLibraryFinderModule::ShowFinder(const std::string& AQuery) {
  TFinderForm* finder = ShowFinder();
  finder->SetQuery(QString::fromStdString(AQuery));
  return finder;
}

void TLibraryFinderModule::OpenUnitNamed(const std::string& AName) {
  RefreshIndex();
  FIndex->Poll();
  FPending.clear();
  FWaitTimer->stop();
  // A whole index that knows the name answers at once; the walk that has
  // just started may still bring a file that is new.
  if (FIndex->Complete() && ResolveName(AName, false)) return;
  FPending = AName;
  FWaitTimer->start(50);
}

void TLibraryFinderModule::WaitTimerTimer() {
  FIndex->Poll();
  if (FIndex->Walking()) return;
  FWaitTimer->stop();
  std::string name;
  name.swap(FPending);
  if (!name.empty()) ResolveName(name, true);
}

bool TLibraryFinderModule::ResolveName(const std::string& AName, bool AFinal) {
  const TFileTable& table = FIndex->Files();
  std::vector<uint32_t> files = TUnitSearch::UnitsNamed(table, AName);
  if (files.size() == 1) {
    OpenFile(table.FullPath(files[0]));
    return true;
  }
  if (files.size() > 1) {
    ShowFinder(AName);
    return true;
  }
  if (!AFinal) return false;
  if (table.Root().empty())
    Application().ShowMessage("No source folder is set: choose one in File > Vantry > Options...");
  else if (!FIndex->LastReport().Error.empty())
    Application().ShowMessage(Format("Cannot read the source folder %s: %s.", {table.Root(), FIndex->LastReport().Error}));
  else
    Application().ShowMessage(Format("No library unit named %s in %s.", {AName, table.Root()}));
  return true;
}

void TLibraryFinderModule::OpenFile(const std::string& APath) {
  // The host shows a file it has open already rather than opening it again.
  if (ToolServices) ToolServices->OpenFile(APath);
}

}  // namespace Vantry
