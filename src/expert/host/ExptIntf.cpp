// The host interface library: the storage of the variables and the type
// information that the host and its add-ins share.

#include "expert/host/ExptIntf.h"

#include <cassert>

namespace Vantry {

TInterface::~TInterface() = default;

int TInterface::AddRef() { return ++FRefCount; }

int TInterface::Release() {
  assert(FRefCount > 0 && "a host object was released more often than referenced");
  int count = --FRefCount;
  if (count == 0) delete this;
  return count;
}

int TInterface::GetVersion() { return 3; }

TIMenuItemIntf::~TIMenuItemIntf() = default;
TIMainMenuIntf::~TIMainMenuIntf() = default;
TIToolServices::~TIToolServices() = default;
TIExpert::~TIExpert() = default;

TIToolServices* ToolServices = nullptr;
TExpertRegisterProc LibraryExpertProc = nullptr;

bool RegisterLibraryExpert(TIExpert* AExpert) { return LibraryExpertProc && LibraryExpertProc(AExpert); }

}  // namespace Vantry
