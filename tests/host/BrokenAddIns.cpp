// Add-ins that go wrong, for the loader's failure paths. Built five times:
// without an entry point; with one that raises; with one that puts an item
// into the File menu and then answers that it failed, leaving the item
// there (VANTRY_FAILING_ENTRY_POINT); with start-up code that
// aborts (VANTRY_ABORTING_START); and as an add-in whose
// handlers raise (VANTRY_RAISING_HANDLERS), written straight against the
// host interface: one expert whose GetComment raises, one menu item whose
// click raises, and a terminate procedure. It tells the host what happens to
// it by "opening files" with telling names.

#include "expert/host/ExptIntf.h"

#include <stdexcept>
#include <string>

#if defined(VANTRY_THROWING_ENTRY_POINT)
extern "C" VANTRY_HOST_API bool INITEXPERT0017(Vantry::TIToolServices*, Vantry::TExpertRegisterProc,
                                               Vantry::TExpertTerminateProc*) {
  throw std::runtime_error("this expert is broken on purpose");
}
#elif defined(VANTRY_FAILING_ENTRY_POINT)
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
using namespace Vantry;

extern "C" VANTRY_HOST_API bool INITEXPERT0017(TIToolServices* AToolServices, TExpertRegisterProc,
                                               TExpertTerminateProc*) {
  THostRef<TIMainMenuIntf> menu(AToolServices->GetMainMenu());
  THostRef<TIMenuItemIntf> fileMenu(menu->FindMenuItem("FileMenu"));
  // The item's reference is kept for ever, as a careless add-in keeps it:
  // only the loader can take the item out again. The reference itself is
  // this library's leak, on purpose.
  TIMenuItemIntf* item =
      fileMenu->InsertItem(-1, "Left Behind", "LeftBehindItem", "", 0, 0, 0, TIMenuFlags{mfEnabled, mfVisible}, nullptr);
#if defined(__SANITIZE_ADDRESS__)
  __lsan_ignore_object(item);
#else
  (void)item;
#endif
  return false;
}
#elif defined(VANTRY_RAISING_HANDLERS)
using namespace Vantry;

namespace {

void Tell(const std::string& AEvent) {
  if (ToolServices) ToolServices->OpenFile("raising-add-in: " + AEvent);
}

class TRaisingExpert final : public TIExpert {
  std::string GetName() override { return "Raising Add-in"; }
  std::string GetAuthor() override { return "Tester"; }
  std::string GetComment() override { throw std::runtime_error("the comment raises on purpose"); }
  std::string GetPage() override { return ""; }
  HICON GetGlyph() override { return nullptr; }
  TExpertStyle GetStyle() override { return esAddIn; }
  TExpertState GetState() override { return {}; }
  std::string GetIDString() override { return "Tester.Raising Add-in"; }
  std::string GetMenuText() override { return ""; }
  void Execute() override {}
  ~TRaisingExpert() override { Tell("expert released"); }
};

TIMenuItemIntf* Item = nullptr;

void Terminate() {
  Tell("terminated");
  if (Item) Item->Free();
  Item = nullptr;
}

struct TUnit {
  ~TUnit() { Tell("unloaded"); }
} Unit;

}  // namespace

extern "C" VANTRY_HOST_API bool INITEXPERT0017(TIToolServices* AToolServices, TExpertRegisterProc ARegisterProc,
                                               TExpertTerminateProc* ATerminate) {
  THostRef<TIMainMenuIntf> menu(AToolServices->GetMainMenu());
  THostRef<TIMenuItemIntf> fileMenu(menu->FindMenuItem("FileMenu"));
  Item = fileMenu->InsertItem(-1, "Raises", "RaisingAddInItem", "", 0, 0, 0, TIMenuFlags{mfEnabled, mfVisible},
                              [](TIMenuItemIntf*) {
                                Tell("clicked");
                                throw std::runtime_error("the click raises on purpose");
                              });
  *ATerminate = &Terminate;
  auto* expert = new TRaisingExpert;
  if (!ARegisterProc(expert)) expert->Release();
  return true;
}
#elif defined(VANTRY_ABORTING_START)
#include <cstdlib>
// Start-up code that no host can survive.
[[maybe_unused]] static const bool Started = (std::abort(), true);
#else
extern "C" VANTRY_HOST_API int SomethingElse() { return 0; }
#endif
