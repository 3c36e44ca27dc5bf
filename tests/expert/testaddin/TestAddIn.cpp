// A throw-away add-in for the loader tests: one module with a top item, a
// first child and a separator, like the product's, an item of a class known
// only by registration (TestAddInItem.cpp), plus one item it makes
// in code when it is created. What it does is visible to the host: a click
// on the first child and the module's creation and destruction open "files"
// with telling names.

#include "expert/EtkInit.h"
#include "menus/ecMenus.h"
#include "platform/Streaming.h"

using namespace Vantry;

VANTRY_DESCRIPTION(TestAddInModule);

namespace {

class TTestAddInModule : public TEtkModule {
  VANTRY_CLASS(TTestAddInModule)

public:
  explicit TTestAddInModule(TComponent* AOwner) : TEtkModule(AOwner) {}

  void TestAddInModuleCreate(TObject*) {
    auto* item = CreateComponent<TecInterfaceMenuItem>(this);
    item->SetTargetName("TestAddInTopItem");
    item->SetInsertPosition(eciaChildLast);
    item->SetCaption("Made in code");
    item->SetMenuItemName("TestAddInCodeItem");
    item->SetActive(true);
    Tell("created");
  }
  void TestAddInModuleDestroy(TObject*) { Tell("destroyed"); }
  void FirstChildClick(TObject* Sender) {
    Tell(Sender == FirstChild ? "first child clicked" : "clicked by a stranger");
  }

  TecInterfaceMenuItem* TopItem = nullptr;
  TecInterfaceMenuItem* FirstChild = nullptr;
  TecInterfaceMenuItem* LastChild = nullptr;

private:
  static void Tell(const std::string& AEvent) {
    if (ToolServices) ToolServices->OpenFile("test-add-in: " + AEvent);
  }
};

const TClassInfo& TTestAddInModule::StaticClass() {
  using T = TTestAddInModule;
  static constexpr TMethodInfo Methods[] = {
      Published::Method<&T::TestAddInModuleCreate>("TestAddInModuleCreate"),
      Published::Method<&T::TestAddInModuleDestroy>("TestAddInModuleDestroy"),
      Published::Method<&T::FirstChildClick>("FirstChildClick"),
  };
  static constexpr TFieldInfo Fields[] = {
      Published::Field<&T::TopItem>("TopItem"),
      Published::Field<&T::FirstChild>("FirstChild"),
      Published::Field<&T::LastChild>("LastChild"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<T, TEtkModule>("TTestAddInModule")
                                         .WithMethods(Methods)
                                         .WithFields(Fields)
                                         .WithDescription(&VantryDescription_TestAddInModule);
  return Info;
}

TTestAddInModule* TestAddInModule = nullptr;

void TestAddInMain() { ExpertInitializer().CreateModule(TestAddInModule); }

// The library's main: runs while the host loads the library.
[[maybe_unused]] const bool Main = RunLibraryMain(&TestAddInMain);

}  // namespace
