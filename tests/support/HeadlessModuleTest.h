#pragma once
// A fixture for an expert module inside a headless IDE: the standard menus,
// the host's tool services (handed to the add-in side as ToolServices) and the
// module under test, which the fixture frees before the services it uses.

#include "expert/host/ExptIntf.h"
#include "hostmodel/HostMenuModel.h"
#include "hostmodel/StandardMenus.h"
#include "support/TestSupport.h"

namespace VantryTest {

template <class TModule>
class THeadlessModuleTest : public TIsolatedTest {
protected:
  void SetUp() override {
    Vantry::AddStandardMenus(Menu);
    Services = new Vantry::THeadlessToolServices(Menu);
    Vantry::ToolServices = Services;
  }

  void TearDown() override {
    if (Module) Module->Free();
    Vantry::ToolServices = nullptr;
    Services->Free();
  }

  Vantry::THostMenuModel Menu;
  Vantry::THeadlessToolServices* Services = nullptr;
  TModule* Module = nullptr;  // freed by the fixture
};

}  // namespace VantryTest
