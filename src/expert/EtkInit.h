#pragma once
// The library's start-up: the initializer that owns the library's expert
// modules, and the entry point through which the host registers them.
//
// Order of events:
//   1. The host sets ToolServices and loads the library.
//   2. The library's main (RunLibraryMain from a static initialiser) creates
//      its modules with ExpertInitializer().CreateModule; ExpertInitializer()
//      constructs the initializer on first use, and the class tables and
//      stored descriptions are constant data, so no initialisation order
//      across files matters. The modules' stored menu items insert
//      themselves then.
//   3. The host calls INITEXPERT0017, which registers one expert per module.
//   4. The host releases the experts, destroying their modules.
//   5. The library unloads: the initializer goes, destroying any module still
//      there. The tables and the application object that a module's
//      destruction uses are constant data and cannot have gone before it.

#include "expert/Etk.h"

namespace Vantry {

// Owns the library's expert modules; its component list is the only list of
// them.
class TExpertInitializer : public TComponent {
  VANTRY_CLASS(TExpertInitializer)

public:
  explicit TExpertInitializer(TComponent* AOwner) : TComponent(AOwner) {}

  // Constructs a T owned by the initializer through T's class and stores it
  // in AReference; a failed construction raises and leaves AReference as it was.
  template <class T>
  void CreateModule(T*& AReference) {
    AReference = CreateComponent<T>(this);
  }
};

// The library's one initializer, created on first use and freed when the
// library unloads.
TExpertInitializer& ExpertInitializer();

// Runs a library's main, which creates its modules, while the system loader
// loads the library. An exception cannot travel through the loader, so one
// that the main raises is reported through Application().HandleException;
// the library stays loaded with whatever modules it made. Returns true, to
// initialise the static flag that runs it.
bool RunLibraryMain(void (*AMain)());

}  // namespace Vantry

// The entry point the host calls once after loading the library: stores the
// host's services, makes its main window the parent of the library's dialogs
// and registers one expert per module, in creation order. Leaves ATerminate
// as it was and returns true; raises whatever a step raises, and Exception
// when AToolServices is null.
extern "C" VANTRY_HOST_API bool INITEXPERT0017(Vantry::TIToolServices* AToolServices,
                                               Vantry::TExpertRegisterProc ARegisterProc,
                                               Vantry::TExpertTerminateProc* ATerminate);
