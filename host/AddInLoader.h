#pragma once
// Loads add-in libraries the way the IDE does and keeps what they register.
//
// For each library: the file is checked (a regular file holding a shared
// library for this machine, every segment inside the file) before the system
// loader sees it, ToolServices is set, the library is opened (its main
// creates its modules and may already use ToolServices), and its entry point
// INITEXPERT0017 is called with the host's registration procedure and a
// terminate procedure slot. A library that fails any step is reported, its
// experts released, its terminate procedure called if it gave one, and the
// library closed; the others go on. An expert whose ID string is registered
// already (a second copy of an add-in, say) is refused, and its library is
// not loaded. A library that is not loaded leaves nothing behind: the menu
// items it inserted while it loaded are withdrawn before it is closed, even
// those of modules it still holds, so that none of its code can be reached.
//
// Shut-down order (Unload):
//   1. the experts are released, in the order they were registered: an
//      expert's code lives in its library;
//   2. library by library, last opened first: its terminate procedure, if it
//      gave one, is called once, then the library is closed.
// Every call into an add-in is guarded: what it raises is shown through the
// application's exception display and the shut-down goes on.

#include "expert/host/ExptIntf.h"
#include "hostmodel/HostMenuModel.h"

#include <functional>
#include <string>
#include <vector>

namespace Vantry {

class TAddInLoader {
public:
  using TReport = std::function<void(const std::string&)>;

  // AReport receives a message for each library that failed. AMenu, when
  // given, is the menu the libraries insert into (it must outlive the
  // loader's libraries): what a library that fails inserted is withdrawn.
  TAddInLoader(TIToolServices* AServices, TReport AReport, THostMenuModel* AMenu = nullptr);
  ~TAddInLoader();
  TAddInLoader(const TAddInLoader&) = delete;
  TAddInLoader& operator=(const TAddInLoader&) = delete;

  bool Load(const std::string& APath);
  void Unload();

  // The experts registered so far; the loader holds their references.
  const std::vector<TIExpert*>& Experts() const { return FExperts; }
  int LibraryCount() const { return static_cast<int>(FLibraries.size()); }

  // The libraries configured in the user's registry, under
  // "\Software\Borland\Delphi\3.0\Experts" (one string value each), in the
  // order of their value names. A value of another type is reported and
  // skipped; a hive that cannot be read raises ERegistryException.
  static std::vector<std::string> ConfiguredLibraries(const TReport& AReport);

  // The entries of an installation's add-in folder AFolder, files and links
  // but not hidden ones, by name: every one is loaded, and one that is no
  // add-in library is reported like any other. None when there is no folder.
  static std::vector<std::string> FolderLibraries(const std::string& AFolder);

  // Why the file cannot be handed to the system loader, or empty when it can.
  static std::string UnloadableReason(const std::string& APath);

private:
  struct TLibrary {
    void* Handle;
    std::string Path;
    TExpertTerminateProc Terminate;
  };

  static bool RegisterExpert(TIExpert* AExpert);
  bool Fail(const std::string& APath, const std::string& AWhy, TLibrary ALibrary, size_t AFirstExpert,
            int AOrigin = 0);
  static void Close(TLibrary& ALibrary);

  TIToolServices* FServices;
  TReport FReport;
  THostMenuModel* FMenu;
  int FLoads = 0;  // counts Load calls: each library's tag in the menu
  std::vector<TLibrary> FLibraries;
  std::vector<TIExpert*> FExperts;
  std::vector<std::string> FExpertLibraries;  // the path each expert came from
  // While a library's entry point runs: its path, and why an expert of it
  // was refused.
  std::string FLoadingPath;
  std::string FRefusal;
};

}  // namespace Vantry
