// The Vantry add-in library. Its main runs while the host loads it: it
// creates the product's module, whose menu items and source tree go into the
// host's menu at once. The host then calls INITEXPERT0017, the library's
// only export.

#include "expert/EtkInit.h"
#include "forms/QtApplication.h"
#include "source_menu/ExpertModuleUnit.h"

namespace {

Vantry::TVantryExpertModule* VantryExpertModule = nullptr;

void VantryMain() {
  Vantry::UseQtApplicationServices();
  Vantry::ExpertInitializer().CreateModule(VantryExpertModule);
}

[[maybe_unused]] const bool Main = Vantry::RunLibraryMain(&VantryMain);

}  // namespace
