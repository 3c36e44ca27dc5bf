// Loads the throw-away add-in the way the IDE does, against the headless
// host: ToolServices set, dlopen, INITEXPERT0017, experts released, dlclose.

#include "expert/host/ExptIntf.h"
#include "hostmodel/StandardMenus.h"
#include "support/TestSupport.h"

#include <dlfcn.h>
#include <gmock/gmock.h>

using namespace Vantry;
using ::testing::ElementsAre;

namespace {

std::vector<TIExpert*> Registered;

bool HostRegister(TIExpert* AExpert) {
  Registered.push_back(AExpert);
  return true;
}

class AddInLoadingTest : public VantryTest::TIsolatedTest {
protected:
  void SetUp() override {
    Registered.clear();
    AddStandardMenus(Menu);
    Services = new THeadlessToolServices(Menu);
    ToolServices = Services;
  }

  void TearDown() override {
    ReleaseExperts();
    if (Library) dlclose(Library);
    ToolServices = nullptr;
    LibraryExpertProc = nullptr;
    Services->Free();
  }

  void Load() {
    Library = dlopen(VANTRY_TEST_ADDIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(Library, nullptr) << dlerror();
  }

  bool Init() {
    auto init = reinterpret_cast<TExpertInitProc>(dlsym(Library, ExpertEntryPoint));
    EXPECT_NE(init, nullptr);
    TExpertTerminateProc terminate = nullptr;
    return init && init(Services, &HostRegister, &terminate);
  }

  void ReleaseExperts() {
    for (TIExpert* e : Registered) e->Release();
    Registered.clear();
  }

  void Unload() {
    ASSERT_EQ(dlclose(Library), 0);
    EXPECT_EQ(dlopen(VANTRY_TEST_ADDIN, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library stayed loaded";
    Library = nullptr;
  }

  std::vector<std::string> Captions(const std::string& AItem) {
    std::vector<std::string> captions;
    if (THostMenuNode* node = Menu.Find(AItem))
      for (auto& child : node->Children) captions.push_back(child->Caption);
    return captions;
  }

  THostMenuModel Menu;
  THeadlessToolServices* Services = nullptr;
  void* Library = nullptr;
};

TEST_F(AddInLoadingTest, ItsItemsAppearWhileTheLibraryLoads) {
  Load();
  EXPECT_THAT(Captions("FileMenu"), ElementsAre("&New...", "&Open...", "&Reopen", "Reopen Closed &Tab", "-", "Test Add-in",
                                                "&Save", "Save &As...", "Save A&ll", "&Close", "Clos&e All", "-", "E&xit"));
  // "Registered class" is of a class that only its registration makes known.
  EXPECT_THAT(Captions("TestAddInTopItem"), ElementsAre("First...", "-", "Registered class", "Made in code"));
  EXPECT_THAT(Services->OpenedFiles, ElementsAre("test-add-in: created"));
}

TEST_F(AddInLoadingTest, TheEntryPointRegistersAnExpertThatAnswersFromTheModule) {
  Load();
  ASSERT_TRUE(Init());
  ASSERT_EQ(Registered.size(), 1u);
  TIExpert* e = Registered[0];
  EXPECT_EQ(e->GetName(), "Test Add-in");
  EXPECT_EQ(e->GetAuthor(), "Tester");
  EXPECT_EQ(e->GetComment(), "");
  EXPECT_EQ(e->GetPage(), "");
  EXPECT_EQ(e->GetGlyph(), nullptr);
  EXPECT_EQ(e->GetStyle(), esAddIn);
  EXPECT_TRUE(e->GetState().Empty());
  EXPECT_EQ(e->GetIDString(), "Tester.Test Add-in");
  EXPECT_EQ(e->GetMenuText(), "TestAddInModule");
  e->Execute();
}

TEST_F(AddInLoadingTest, AClickReachesTheModule) {
  Load();
  Menu.Click(*Menu.Find("TestAddInFirstChild"));
  EXPECT_THAT(Services->OpenedFiles, ElementsAre("test-add-in: created", "test-add-in: first child clicked"));
}

TEST_F(AddInLoadingTest, ReleasingTheExpertDestroysTheModuleAndWithdrawsItsItems) {
  Load();
  Init();
  ReleaseExperts();
  EXPECT_EQ(Menu.Find("TestAddInTopItem"), nullptr);
  EXPECT_EQ(Menu.Find("TestAddInCodeItem"), nullptr);
  EXPECT_EQ(Menu.LiveObjectCount(), 0);
  EXPECT_EQ(Services->OpenedFiles.back(), "test-add-in: destroyed");
  Unload();
  EXPECT_EQ(Services->OpenedFiles.size(), 2u);  // finalization found nothing left to destroy
}

// An expert's code lives in its library, so a host releases experts before
// it unloads; a library unloaded without having been registered still
// destroys its module.
TEST_F(AddInLoadingTest, UnloadingDestroysAModuleThatIsStillThere) {
  Load();
  Unload();
  EXPECT_EQ(Services->OpenedFiles.back(), "test-add-in: destroyed");
  EXPECT_EQ(Menu.Find("TestAddInTopItem"), nullptr);
  EXPECT_EQ(Menu.LiveObjectCount(), 0);
}

TEST_F(AddInLoadingTest, LoadsAndUnloadsAHundredTimes) {
  for (int i = 0; i < 100; ++i) {
    Load();
    ASSERT_TRUE(Init());
    ReleaseExperts();
    Unload();
    ASSERT_EQ(Menu.LiveObjectCount(), 0) << "round " << i;
    ASSERT_EQ(Menu.Find("FileMenu")->Children.size(), 12u) << "round " << i;
  }
}

}  // namespace
