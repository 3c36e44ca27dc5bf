// The Vantry add-in library. Its main runs while the host loads it: it
// creates the product's module, whose menu items and source tree go into the
// host's menu at once, and the library finder's, whose items go into the
// Search menu. The host then calls INITEXPERT0017, the library's
// only export.

#include "expert/EtkInit.h"
#include "forms/QtApplication.h"
#include "finder/LibraryFinderUnit.h"
#include "source_menu/ExpertModuleUnit.h"

namespace {

Vantry::TVantryExpertModule* VantryExpertModule = nullptr;
Vantry::TLibraryFinderModule* LibraryFinderModule = nullptr;

void VantryMain() {
  Vantry::UseQtApplicationServices();
  Vantry::ExpertInitializer().CreateModule(VantryExpertModule);
  Vantry::ExpertInitializer().CreateModule(LibraryFinderModule);
}

[[maybe_unused]] const bool Main = Vantry::RunLibraryMain(&VantryMain);

}  // namespace
