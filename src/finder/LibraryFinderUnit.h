#pragma once
// The library finder: an expert module that adds "Find Library Unit..."
// (Ctrl+Alt+U), "Open Library Unit at Cursor" (Ctrl+Enter), "Find Library
// Declaration..." (Ctrl+Alt+D), "Find Declaration at Cursor"
// (Ctrl+Alt+Enter), "Go to Routine Heading" (Ctrl+Shift+Up) and "Go to
// Routine Body" (Ctrl+Shift+Down) to the IDE's Search menu. All look into an index of the
// Pascal sources below the source folder that Vantry's settings name, built
// in the background the first time it is needed and walked again at each
// later use; the declarations are indexed when first asked for, and kept in
// the user's cache folder from then on.

#include "expert/Etk.h"
#include "finder/FinderForm.h"
#include "finder/OutlinePanel.h"
#include "finder/PeekPopup.h"
#include "finder/ReferencesPanel.h"
#include "index/Workspace.h"
#include "menus/ecMenus.h"
#include "navigation/Resolver.h"

#include <QPointer>

#include <memory>
#include <string>

class QDockWidget;
class QFileSystemWatcher;
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
  TecInterfaceMenuItem* IMIFindLibraryDeclaration = nullptr;   // "Find Library Declaration..."
  TecInterfaceMenuItem* IMIFindDeclarationAtCursor = nullptr;  // "Find Declaration at Cursor"
  TecInterfaceMenuItem* IMIGoToRoutineHeading = nullptr;  // "Go to Routine Heading"
  TecInterfaceMenuItem* IMIGoToRoutineBody = nullptr;     // "Go to Routine Body"
  TecInterfaceMenuItem* IMIFindReferences = nullptr;   // "Find References"
  TecInterfaceMenuItem* IMIPeekDeclaration = nullptr;  // "Peek Declaration"
  TecInterfaceMenuItem* IMIUnitOutline = nullptr;      // View > "Unit Outline"

  // OnDestroy: closes the finder and stops the index's walk.
  void LibraryFinderModuleDestroy(TObject* Sender);
  void IMIFindLibraryUnitClick(TObject* Sender);
  // Opens the unit named by the identifier under the editor's cursor.
  void IMIOpenUnitAtCursorClick(TObject* Sender);
  void IMIFindLibraryDeclarationClick(TObject* Sender);
  // Goes to the declaration the name under the editor's cursor means, as
  // the compiler binds it in the editor's text (unsaved edits and all),
  // and says in the status bar where it came from; when the scope cannot
  // be worked out, to the declaration of that name (with its owner when
  // the text reads Owner.Name), through the finder when there are several.
  void IMIFindDeclarationAtCursorClick(TObject* Sender);
  // Both items toggle, as editors have it: from a routine's heading under
  // the editor's cursor to its body, from anywhere in a body to its
  // heading (through the host, which keeps the jump in its history); the
  // status bar says where it went, or why there is nowhere to go.
  void IMIGoToRoutineCounterpartClick(TObject* Sender);
  // Lists in the references panel every place in the library that refers
  // to what the name under the editor's cursor means (or to the
  // declaration chosen in the declaration finder, with Shift+Ctrl+Enter).
  void IMIFindReferencesClick(TObject* Sender);
  // Shows the peek of the name under the editor's cursor, as a mouse that
  // rests on a name does.
  void IMIPeekDeclarationClick(TObject* Sender);
  // Shows or hides the outline of the unit being edited.
  void IMIUnitOutlineClick(TObject* Sender);

  // Shows the finder (raising it when it is open) with what it held when it
  // was last closed, all of it selected, or with AQuery typed in. The
  // finder's parent is the host's main window; the module deletes it.
  TFinderForm* ShowFinder(TFinderMode AMode = fmUnits);
  TFinderForm* ShowFinder(TFinderMode AMode, const std::string& AQuery);
  // Opens the one library file whose name without extension is AName; with
  // several, shows the finder with AName typed in; with none, says so. When
  // the index cannot answer yet, it answers once the walk is done.
  void OpenUnitNamed(const std::string& AName);
  // Opens the one declaration named AName (owned by AOwner, when it is not
  // empty and such a declaration exists); with several, shows the finder
  // with the name typed in; with none, says so. The declarations of the
  // units AUses win ties. Answers once the index can.
  void OpenDeclarationNamed(const std::string& AOwner, const std::string& AName, std::vector<std::string> AUses = {});

  // For tools and tests.
  TFinderForm* Finder() const { return FFinder; }
  TReferencesPanel* References() const { return FReferences; }
  TOutlinePanel* Outline() const { return FOutline; }
  TPeekPopup* Peek() const { return FPeek; }
  // Searches the references of a declaration of the index's table, or of
  // the name at AOffset of AText (APath's).
  void FindReferences(TReferenceQuestion AQuestion);
  // Shows the peek of the name at AOffset of AText at AX, AY on the
  // screen; false when the name resolves to nothing (or the index is not
  // there yet).
  bool ShowPeek(const std::string& APath, const std::string& AText, size_t AOffset, int AX, int AY);
  TWorkspace& Index() { return *FIndex; }
  bool Waiting() const { return !FPending.Empty(); }

private:
  // A name looked up from the cursor.
  struct TLookup {
    bool Declaration = false;  // a declaration's name, else a unit's
    bool Counterpart = false;  // the heading or body of the routine at the cursor
    std::string Owner, Name;
    std::vector<std::string> Uses;
    // The editor's text, the cursor's byte offset in it and its file, for
    // the resolver; an empty text when the host cannot give it.
    std::string Text;
    size_t Cursor = 0;
    std::string Path;
    bool Empty() const { return Name.empty() && !Counterpart; }
  };
  // Goes to the heading or body of the routine at the lookup's cursor.
  void GoToCounterpart(const TLookup& ALookup);

  // Starts a walk of the source folder (a refresh when it is indexed), and
  // an index of its declarations when ADeclarations.
  void RefreshIndex(bool ADeclarations);
  // Looks ALookup up now if the index can answer, else once it can.
  void Look(TLookup ALookup);
  void WaitTimerTimer();
  // Acts on ALookup; AFinal: no walk will tell more. False when it found
  // nothing and may find something later.
  bool ResolveName(const TLookup& ALookup, bool AFinal);
  bool ResolveDeclaration(const TLookup& ALookup, bool AFinal);
  // Goes where the resolver says the name at the cursor is declared; false
  // when it cannot tell by the scope rules.
  bool ResolveInScope(const TLookup& ALookup, const std::shared_ptr<const TDeclarationTable>& ATable);
  void OpenFile(const std::string& APath, int ALine, int AColumn);
  // Says why nothing was found, when it is not the name itself.
  bool ReportUnreadableRoot();

  std::unique_ptr<TWorkspace> FIndex;
  // The projects of the files asked about while the IDE runs, the latest
  // first: they stay in the workspace as the user goes from one to another.
  std::vector<std::string> FProjects;
  // The editor's unsaved texts, taken at each question for the resolver.
  std::map<std::string, std::string> FUnsaved;
  std::unique_ptr<TResolver> FResolver;  // for the index's declarations of FResolverGeneration
  // Answers a lookup whose scope could not be worked out: says why in the
  // status bar and opens the declaration finder on the name, as a search.
  void SearchByName(const TLookup& ALookup, const std::string& ANote);
  uint64_t FResolverGeneration = 0;
  // The resolver of the table in hand (a new one for a new table).
  TResolver& ResolverFor(const std::shared_ptr<const TDeclarationTable>& ATable);
  // Docks APanel in the host's main window at AArea, when there is one.
  void Dock(QDockWidget* APanel, Qt::DockWidgetArea AArea);

  QPointer<TFinderForm> FFinder;
  QPointer<TReferencesPanel> FReferences;
  QPointer<TOutlinePanel> FOutline;
  QPointer<TPeekPopup> FPeek;
  QTimer* FReferencesTimer = nullptr;  // while a references search waits for the index
  // The projects' folders and Pascal files, watched: a file changed on disk
  // is read again alone, a folder whose files come and go walked again.
  QFileSystemWatcher* FWatcher = nullptr;
  void WatchProjects();
  void ProjectFileChanged(const std::string& APath);
  TReferenceQuestion FReferencesPending;
  QTimer* FWaitTimer = nullptr;  // while a lookup waits for the walk
  TLookup FPending;              // the name it waits to look up
};

}  // namespace Vantry
