#include "expert/EtkInit.h"

#include "hostmodel/StandardMenus.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

using namespace Vantry;

namespace {

std::vector<TIExpert*> Registered;
bool ReleaseAtOnce = false;

bool HostRegister(TIExpert* AExpert) {
  if (ReleaseAtOnce) {
    AExpert->Release();
    return true;
  }
  Registered.push_back(AExpert);
  return true;
}

void NeverCalled() {}

// Has no stored description, so its construction fails.
class TFailing : public TEtkModule {
  VANTRY_CLASS(TFailing)

public:
  explicit TFailing(TComponent* AOwner) : TEtkModule(AOwner) {}
};

const TClassInfo& TFailing::StaticClass() {
  static constexpr TClassInfo Info = ClassInfoOf<TFailing, TEtkModule>("TFailing");
  return Info;
}

// The process's one initializer is shared by these tests: each leaves it
// empty again.
class EntryPointTest : public VantryTest::TIsolatedTest {
protected:
  void SetUp() override {
    Registered.clear();
    ReleaseAtOnce = false;
    Services = new THeadlessToolServices(Menu);
    Services->ParentHandle = &Menu;
  }

  void TearDown() override {
    for (TIExpert* e : Registered) e->Release();
    ExpertInitializer().DestroyComponents();
    ToolServices = nullptr;
    LibraryExpertProc = nullptr;
    Application().SetHandle(nullptr);
    Services->Free();
  }

  TEtkModule* NewModule(const std::string& AName) {
    TEtkModule* module = nullptr;
    ExpertInitializer().CreateModule(module);
    module->SetName(AName);
    return module;
  }

  THostMenuModel Menu;
  THeadlessToolServices* Services = nullptr;
};

TEST_F(EntryPointTest, RegistersOneExpertPerModuleInCreationOrderSkippingOtherComponents) {
  NewModule("First");
  CreateComponent<TComponent>(&ExpertInitializer());
  NewModule("Second");
  TExpertTerminateProc terminate = &NeverCalled;

  EXPECT_TRUE(INITEXPERT0017(Services, &HostRegister, &terminate));

  ASSERT_EQ(Registered.size(), 2u);
  EXPECT_EQ(Registered[0]->GetName(), "First");
  EXPECT_EQ(Registered[1]->GetName(), "Second");
  EXPECT_EQ(terminate, &NeverCalled);
  EXPECT_EQ(ToolServices, Services);
  EXPECT_EQ(LibraryExpertProc, &HostRegister);
  EXPECT_EQ(Application().Handle(), &Menu);
}

TEST_F(EntryPointTest, WithoutModulesRegistersNothingAndStillSucceeds) {
  TExpertTerminateProc terminate = nullptr;
  EXPECT_TRUE(INITEXPERT0017(Services, &HostRegister, &terminate));
  EXPECT_TRUE(Registered.empty());
  EXPECT_EQ(terminate, nullptr);
}

TEST_F(EntryPointTest, WithoutToolServicesRaisesAClearErrorAndRegistersNothing) {
  NewModule("Only");
  EXPECT_THAT([] { INITEXPERT0017(nullptr, &HostRegister, nullptr); },
              ::testing::ThrowsMessage<Exception>(::testing::HasSubstr("without the host's tool services")));
  EXPECT_TRUE(Registered.empty());
}

TEST_F(EntryPointTest, ReleasingAnExpertDestroysItsModuleAndUnlistsIt) {
  NewModule("Only");
  INITEXPERT0017(Services, &HostRegister, nullptr);
  ASSERT_EQ(ExpertInitializer().ComponentCount(), 1);
  Registered[0]->Release();
  Registered.clear();
  EXPECT_EQ(ExpertInitializer().ComponentCount(), 0);
}

TEST_F(EntryPointTest, AHostThatReleasesAtOnceStillGetsEveryModule) {
  NewModule("A");
  NewModule("B");
  NewModule("C");
  ReleaseAtOnce = true;
  INITEXPERT0017(Services, &HostRegister, nullptr);
  EXPECT_EQ(ExpertInitializer().ComponentCount(), 0);
}

TEST_F(EntryPointTest, CreateModuleLeavesTheReferenceAloneWhenConstructionFails) {
  TFailing* module = nullptr;
  EXPECT_THROW(ExpertInitializer().CreateModule(module), EResNotFound);
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(ExpertInitializer().ComponentCount(), 0);
}

}  // namespace
