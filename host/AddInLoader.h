#pragma once
// Loads add-in libraries the way the IDE does and keeps what they register.
//
// For each library: ToolServices is set, the library is opened (its main
// creates its modules and may already use ToolServices), and its entry point
// INITEXPERT0017 is called with the host's registration procedure. A library
// that cannot be opened, lacks the entry point, answers false or raises is
// reported, its experts released and the library closed; the others go on.
// Unload releases the experts in the order they were registered, then closes
// the libraries, last opened first.

#include "expert/host/ExptIntf.h"

#include <functional>
#include <string>
#include <vector>

namespace Vantry {

class TAddInLoader {
public:
  // AReport receives a message for each library that failed.
  TAddInLoader(TIToolServices* AServices, std::function<void(const std::string&)> AReport);
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
  // order of their value names.
  static std::vector<std::string> ConfiguredLibraries();

private:
  static bool RegisterExpert(TIExpert* AExpert);
  void Fail(const std::string& APath, const std::string& AWhy, void* ALibrary, size_t AFirstExpert);

  TIToolServices* FServices;
  std::function<void(const std::string&)> FReport;
  std::vector<void*> FLibraries;
  std::vector<TIExpert*> FExperts;
};

}  // namespace Vantry
