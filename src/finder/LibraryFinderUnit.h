#pragma once
// The library finder: an expert module that adds "Find Library Unit..."
// (Ctrl+Alt+U) and "Open Library Unit at Cursor" (Ctrl+Enter) to the IDE's
// Search menu. Both look into an index of the Pascal sources below the
// source folder that Vantry's settings name, built in the background the
// first time it is needed and walked again at each later use.

#include "expert/Etk.h"
#include "finder/FinderForm.h"
#include "finder/LibraryIndex.h"
#include "menus/ecMenus.h"

#include <QPointer>

#include <memory>
#include <string>

class QTimer;

namespace Vantry {

class TLibraryFinderModule : public TEtkModule {
  VANTRY_CLASS(TLibraryFinderModule)

public:
  explicit TLibraryFinderModule(TComponent* AOwner);
  ~TLibraryFinderModule() override;

  TecInterfaceMenuItem* IMIFinderSeparator = nullptr;
  TecInterfaceMenuItem* IMIFindLibraryUnit = nullptr;   // "Find Library Unit..."
  TecInterfaceMenuItem* IMIOpenUnitAtCursor = nullptr;  // "Open Library Unit at Cursor"

  // OnDestroy: closes the finder and stops the index's walk.
  void LibraryFinderModuleDestroy(TObject* Sender);
  void IMIFindLibraryUnitClick(TObject* Sender);
  // Opens the unit named by the identifier under the editor's cursor.
  void IMIOpenUnitAtCursorClick(TObject* Sender);

  // Shows the finder (raising it when it is open) with what it held when it
  // was last closed, all of it selected, or with AQuery typed in. The
  // finder's parent is the host's main window; the module deletes it.
  TFinderForm* ShowFinder();
  TFinderForm* ShowFinder(const std::string& AQuery);
  // Opens the one library file whose name without extension is AName; with
  // several, shows the finder with AName typed in; with none, says so. When
  // the index cannot answer yet, it answers once the walk is done.
  void OpenUnitNamed(const std::string& AName);

  // For tools and tests.
  TFinderForm* Finder() const { return FFinder; }
  TLibraryIndex& Index() { return *FIndex; }
  bool Waiting() const { return !FPending.empty(); }

private:
  // Starts a walk of the source folder (a refresh when it is indexed).
  void RefreshIndex();
  void WaitTimerTimer();
  // Acts on the lookup of AName; AFinal: no walk will tell more.
  bool ResolveName(const std::string& AName, bool AFinal);
  void OpenFile(const std::string& APath);

  std::unique_ptr<TLibraryIndex> FIndex;
  QPointer<TFinderForm> FFinder;
  QTimer* FWaitTimer = nullptr;  // while a lookup waits for the walk
  std::string FPending;          // the name it waits to look up
};

}  // namespace Vantry
