#include "expert/EtkInit.h"

#include "platform/Application.h"

namespace Vantry {

const TClassInfo& TExpertInitializer::StaticClass() {
  static constexpr TClassInfo Info = ClassInfoOf<TExpertInitializer, TComponent>("TExpertInitializer");
  return Info;
}

namespace {
// The unit's initialization and finalization: the initializer lives from the
// first use to the library's unloading.
class TInitializerUnit {
public:
  TInitializerUnit() : Initializer(CreateComponent<TExpertInitializer>(nullptr)) {}
  ~TInitializerUnit() { Initializer->Free(); }
  TExpertInitializer* Initializer;
};
}  // namespace

TExpertInitializer& ExpertInitializer() {
  static TInitializerUnit unit;
  return *unit.Initializer;
}

bool RunLibraryMain(void (*AMain)()) {
  try {
    AMain();
  } catch (...) {
    Application().HandleException(nullptr);
  }
  return true;
}

}  // namespace Vantry

bool INITEXPERT0017(Vantry::TIToolServices* AToolServices, Vantry::TExpertRegisterProc ARegisterProc,
                    Vantry::TExpertTerminateProc*) {
  using namespace Vantry;
  // Everything the library does after this goes through the tool services:
  // without them it can do nothing, and says so before it changes anything.
  if (!AToolServices)
    throw Exception(std::string(ExpertEntryPoint) + " was called without the host's tool services (nil)");
  ToolServices = AToolServices;
  LibraryExpertProc = ARegisterProc;
  Application().SetHandle(AToolServices->GetParentHandle());
  TExpertInitializer& initializer = ExpertInitializer();
  // A host may release an expert at once, which destroys its module and
  // moves the next one to its index: the walk then stays where it is.
  for (int i = 0; i < initializer.ComponentCount();) {
    int count = initializer.ComponentCount();
    if (auto* module = dynamic_cast<TEtkModule*>(initializer.Components(i))) module->RegisterExpert();
    if (initializer.ComponentCount() == count) ++i;
  }
  return true;
}
