// A menu item class that the test add-in's module names only in its stored
// description: no published field holds one, so the description finds the
// class through its registration alone. This unit is linked after the one
// with the library's main, so its static initialisers run after that main.

#include "menus/ecMenus.h"

using namespace Vantry;

namespace {

class TTestAddInItem : public TecInterfaceMenuItem {
  VANTRY_CLASS(TTestAddInItem)

public:
  explicit TTestAddInItem(TComponent* AOwner) : TecInterfaceMenuItem(AOwner) {}
};

const TClassInfo& TTestAddInItem::StaticClass() {
  static constexpr TClassInfo Info = ClassInfoOf<TTestAddInItem, TecInterfaceMenuItem>("TTestAddInItem");
  return Info;
}

VANTRY_REGISTER_CLASS(TTestAddInItem);

}  // namespace
