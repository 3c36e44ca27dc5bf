#include "AddInLoader.h"

#include "platform/Registry.h"

#include <dlfcn.h>

#include <algorithm>
#include <exception>

namespace Vantry {

namespace {
// The loader whose library is being initialised: the registration procedure
// is a plain function, as the entry point expects.
TAddInLoader* Registering = nullptr;
}  // namespace

TAddInLoader::TAddInLoader(TIToolServices* AServices, std::function<void(const std::string&)> AReport)
    : FServices(AServices), FReport(std::move(AReport)) {}

TAddInLoader::~TAddInLoader() { Unload(); }

bool TAddInLoader::RegisterExpert(TIExpert* AExpert) {
  if (!Registering || !AExpert) return false;
  Registering->FExperts.push_back(AExpert);
  return true;
}

void TAddInLoader::Fail(const std::string& APath, const std::string& AWhy, void* ALibrary, size_t AFirstExpert) {
  for (size_t i = AFirstExpert; i < FExperts.size(); ++i) FExperts[i]->Release();
  FExperts.resize(AFirstExpert);
  if (ALibrary) dlclose(ALibrary);
  if (FReport) FReport("The expert library " + APath + " was not loaded: " + AWhy);
}

bool TAddInLoader::Load(const std::string& APath) {
  ToolServices = FServices;
  size_t firstExpert = FExperts.size();
  void* library = dlopen(APath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = dlerror();
    Fail(APath, why ? why : "it cannot be opened", nullptr, firstExpert);
    return false;
  }
  // The system loader hands out an open library again without starting it
  // anew; its experts are registered already.
  if (std::find(FLibraries.begin(), FLibraries.end(), library) != FLibraries.end()) {
    dlclose(library);
    if (FReport) FReport("The expert library " + APath + " is loaded already");
    return false;
  }
  auto init = reinterpret_cast<TExpertInitProc>(dlsym(library, ExpertEntryPoint));
  if (!init) {
    Fail(APath, std::string("it has no entry point ") + ExpertEntryPoint, library, firstExpert);
    return false;
  }

  TExpertTerminateProc terminate = nullptr;
  bool ok = false;
  std::string why = std::string(ExpertEntryPoint) + " answered false";
  Registering = this;
  try {
    ok = init(FServices, &TAddInLoader::RegisterExpert, &terminate);
  } catch (const std::exception& e) {
    why = std::string(ExpertEntryPoint) + " raised: " + e.what();
  } catch (...) {
    why = std::string(ExpertEntryPoint) + " raised an unknown exception";
  }
  Registering = nullptr;
  if (!ok) {
    Fail(APath, why, library, firstExpert);
    return false;
  }
  FLibraries.push_back(library);
  return true;
}

void TAddInLoader::Unload() {
  // An expert's code lives in its library: experts go first.
  for (TIExpert* e : FExperts) e->Release();
  FExperts.clear();
  for (auto it = FLibraries.rbegin(); it != FLibraries.rend(); ++it) dlclose(*it);
  FLibraries.clear();
}

std::vector<std::string> TAddInLoader::ConfiguredLibraries() {
  std::vector<std::string> libraries;
  TRegistry reg;
  reg.SetRootKey(HKEY_CURRENT_USER);
  if (!reg.OpenKey("\\Software\\Borland\\Delphi\\3.0\\Experts", false)) return libraries;
  std::vector<std::string> names;
  reg.GetValueNames(names);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names)
    if (reg.GetDataType(name) == rdString) libraries.push_back(reg.ReadString(name));
  return libraries;
}

}  // namespace Vantry
