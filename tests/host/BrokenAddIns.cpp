// Add-ins that go wrong, for the loader's failure paths. Built twice: without
// an entry point, and with one that raises.

#include "expert/host/ExptIntf.h"

#include <stdexcept>

#ifdef VANTRY_THROWING_ENTRY_POINT
extern "C" VANTRY_HOST_API bool INITEXPERT0017(Vantry::TIToolServices*, Vantry::TExpertRegisterProc,
                                               Vantry::TExpertTerminateProc*) {
  throw std::runtime_error("this expert is broken on purpose");
}
#else
extern "C" VANTRY_HOST_API int SomethingElse() { return 0; }
#endif
