// The Vantry add-in library. Its main runs while the host loads it: it
// creates the product's module, whose menu items and source tree go into the
// host's menu at once, and the library finder's, whose items go into the
// Search menu. The host then calls INITEXPERT0017, the library's
// only export.

#include "expert/EtkInit.h"
#include "forms/QtApplication.h"
#include "finder/LibraryFinderUnit.h"
#include "source_menu/ExpertModuleUnit.h"

#include <QHostInfo>

#include <dlfcn.h>

namespace {

// Qt's network module, which the mail control brings into the IDE, ties
// itself to the application object (its host look-ups end with it). The
// application outlives this library, so the module must stay loaded when the
// IDE unloads us; otherwise the application's end calls into unmapped code.
void KeepQtNetworkLoaded() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&QHostInfo::localHostName), &info) && info.dli_fname)
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

Vantry::TVantryExpertModule* VantryExpertModule = nullptr;
Vantry::TLibraryFinderModule* LibraryFinderModule = nullptr;

void VantryMain() {
  Vantry::UseQtApplicationServices();
  KeepQtNetworkLoaded();
  Vantry::ExpertInitializer().CreateModule(VantryExpertModule);
  Vantry::ExpertInitializer().CreateModule(LibraryFinderModule);
}

[[maybe_unused]] const bool Main = Vantry::RunLibraryMain(&VantryMain);

}  // namespace
