#include "AddInLoader.h"

#include "hostmodel/StandardMenus.h"
#include "platform/Registry.h"
#include "source_menu/ExpertModuleUnit.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

using namespace Vantry;
using ::testing::HasSubstr;

namespace {

class AddInLoaderTest : public VantryTest::TIsolatedTest {
protected:
  AddInLoaderTest() : Services(new THeadlessToolServices(Menu)) { AddStandardMenus(Menu); }
  ~AddInLoaderTest() override {
    Loader.Unload();
    ToolServices = nullptr;
    Services->Free();
  }

  THostMenuModel Menu;
  THeadlessToolServices* Services;
  std::vector<std::string> Reports;
  TAddInLoader Loader{Services, [this](const std::string& AMessage) { Reports.push_back(AMessage); }};
};

TEST_F(AddInLoaderTest, LoadsRegistersAndUnloadsAnAddIn) {
  ASSERT_TRUE(Loader.Load(VANTRY_TEST_ADDIN));
  EXPECT_TRUE(Reports.empty());
  ASSERT_EQ(Loader.Experts().size(), 1u);
  EXPECT_EQ(Loader.Experts()[0]->GetName(), "Test Add-in");
  EXPECT_NE(Menu.Find("TestAddInTopItem"), nullptr);
  Loader.Unload();
  EXPECT_EQ(Menu.Find("TestAddInTopItem"), nullptr);
  EXPECT_EQ(Menu.LiveObjectCount(), 0);
  EXPECT_EQ(Loader.LibraryCount(), 0);
}

// The product itself over the Free Pascal sources: load, choose a unit, unload.
TEST_F(AddInLoaderTest, VantryBrowsesTheFreePascalSources) {
  WriteSettings(false, VANTRY_FPC_SOURCE);
  ASSERT_TRUE(Loader.Load(VANTRY_ADDIN));
  ASSERT_EQ(Loader.Experts().size(), 2u);  // the source menu, then the library finder
  EXPECT_EQ(Loader.Experts()[0]->GetIDString(), "Brask.Orvalle Vantry");
  EXPECT_EQ(Loader.Experts()[1]->GetIDString(), "Brask.Vantry Library Finder");

  THostMenuNode* node = Menu.Find("ovsVantryMenuItem");
  ASSERT_NE(node, nullptr);
  EXPECT_GT(node->Children.size(), 3u);
  while (!node->Children.empty()) node = node->Children.back().get();  // down to a unit
  Menu.Click(*node);
  ASSERT_EQ(Services->OpenedFiles.size(), 1u);
  EXPECT_EQ(ExtractFileName(Services->OpenedFiles[0]), node->Caption + ".pas");

  Loader.Unload();
  EXPECT_EQ(Menu.Find("ovsVantryMenuItem"), nullptr);
  EXPECT_EQ(Menu.LiveObjectCount(), 0);
}

TEST_F(AddInLoaderTest, ALibraryLoadedTwiceRegistersItsExpertsOnce) {
  ASSERT_TRUE(Loader.Load(VANTRY_TEST_ADDIN));
  EXPECT_FALSE(Loader.Load(VANTRY_TEST_ADDIN));
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_THAT(Reports[0], HasSubstr("loaded already"));
  EXPECT_EQ(Loader.Experts().size(), 1u);
  EXPECT_EQ(Loader.LibraryCount(), 1);
  Loader.Unload();  // releases the one expert once
  EXPECT_EQ(Menu.LiveObjectCount(), 0);
}

struct TBrokenRow {
  const char* Name;
  const char* Library;
  const char* Reason;
  friend void PrintTo(const TBrokenRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class BrokenAddInTest : public AddInLoaderTest, public ::testing::WithParamInterface<TBrokenRow> {};

TEST_P(BrokenAddInTest, IsReportedAndSkippedWhileTheOthersLoad) {
  EXPECT_FALSE(Loader.Load(GetParam().Library));
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_THAT(Reports[0], HasSubstr(GetParam().Library));
  EXPECT_THAT(Reports[0], HasSubstr(GetParam().Reason));
  EXPECT_EQ(Loader.LibraryCount(), 0);
  EXPECT_TRUE(Loader.Load(VANTRY_TEST_ADDIN));
  EXPECT_EQ(Loader.Experts().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, BrokenAddInTest,
    ::testing::Values(TBrokenRow{"NoEntryPoint", VANTRY_NO_ENTRY_ADDIN, "no entry point INITEXPERT0017"},
                      TBrokenRow{"EntryPointRaises", VANTRY_THROWING_ADDIN, "broken on purpose"},
                      TBrokenRow{"NotALibrary", __FILE__, "not loaded"},
                      TBrokenRow{"Missing", "/nonexistent/expert.so", "not loaded"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(AddInLoaderTest, ReadsTheConfiguredLibrariesFromTheUsersRegistry) {
  TRegistry reg;
  reg.SetRootKey(HKEY_CURRENT_USER);
  ASSERT_TRUE(reg.OpenKey("\\Software\\Borland\\Delphi\\3.0\\Experts", true));
  reg.WriteString("Vantry", "/opt/vantry/vantry.so");
  reg.WriteString("Another", "/opt/other.so");
  reg.WriteInteger("NotALibrary", 1);
  EXPECT_EQ(TAddInLoader::ConfiguredLibraries(), (std::vector<std::string>{"/opt/other.so", "/opt/vantry/vantry.so"}));
}

}  // namespace
