#include "source_menu/ExpertModuleUnit.h"

#include "platform/Registry.h"
#include "source_menu/Settings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

using namespace Vantry;

namespace {

constexpr const char* SettingsKey = "\\SOFTWARE\\ORVALLE\\DELPHI EXPERTS\\VANTRY\\";
constexpr const char* HostKey = "\\SOFTWARE\\BORLAND\\DELPHI\\3.0";

// What the machine hive holds before ReadSettings; an unset field is absent.
struct TStoredRow {
  const char* Name;
  std::optional<int> Automatic;
  std::optional<std::string> Path;
  std::optional<std::string> RootDir;
  bool ExpectAutomatic;
  std::string ExpectPath;
  friend void PrintTo(const TStoredRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class SettingsTest : public VantryTest::TIsolatedTest, public ::testing::WithParamInterface<TStoredRow> {
protected:
  void Store(const char* AKey, const char* AName, const std::optional<int>& AValue) {
    if (!AValue) return;
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(AKey, true));
    reg.WriteInteger(AName, *AValue);
  }
  void Store(const char* AKey, const char* AName, const std::optional<std::string>& AValue) {
    if (!AValue) return;
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(AKey, true));
    reg.WriteString(AName, *AValue);
  }
};

TEST_P(SettingsTest, ReadsTheStoredChoice) {
  const TStoredRow& row = GetParam();
  Store(SettingsKey, "Automatic", row.Automatic);
  Store(SettingsKey, "Path", row.Path);
  Store(HostKey, "RootDir", row.RootDir);
  bool automatic = !row.ExpectAutomatic;
  std::string path;
  ReadSettings(automatic, path);
  EXPECT_EQ(automatic, row.ExpectAutomatic);
  EXPECT_EQ(path, row.ExpectPath);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SettingsTest,
    ::testing::Values(
        TStoredRow{"NothingStored", {}, {}, {}, true, ""},
        TStoredRow{"NoSettingsKey", {}, {}, "/opt/delphi", true, "/opt/delphi/Source"},
        TStoredRow{"OnlyAutomaticStored", 0, {}, "/opt/delphi", true, "/opt/delphi/Source"},
        TStoredRow{"OnlyPathStored", {}, "/src", "/opt/delphi", true, "/opt/delphi/Source"},
        TStoredRow{"UserDirectory", 0, "/srv/pascal/src/", "/opt/delphi", false, "/srv/pascal/src/"},
        TStoredRow{"AutomaticWithSpace", 1, " ", "/opt/delphi", true, "/opt/delphi/Source"},
        TStoredRow{"AnyNonZeroIsTrue", 5, "/src", "/opt/delphi", true, "/opt/delphi/Source"},
        TStoredRow{"RootDirWithTrailingSeparator", 1, " ", "/opt/delphi/", true, "/opt/delphi//Source"}),
    [](const auto& info) { return std::string(info.param.Name); });

class SettingsStoreTest : public VantryTest::TIsolatedTest {};

TEST_F(SettingsStoreTest, WriteThenReadRoundTrips) {
  WriteSettings(false, "/srv/pascal/src");
  bool automatic = true;
  std::string path;
  ReadSettings(automatic, path);
  EXPECT_FALSE(automatic);
  EXPECT_EQ(path, "/srv/pascal/src");

  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey(HostKey, true));
  reg.WriteString("RootDir", "/opt/delphi");
  WriteSettings(true, " ");
  path.clear();
  ReadSettings(automatic, path);
  EXPECT_TRUE(automatic);
  EXPECT_EQ(path, "/opt/delphi/Source");
  ASSERT_TRUE(reg.OpenKey(SettingsKey, false));
  EXPECT_EQ(reg.GetDataType("Automatic"), rdInteger);
  EXPECT_EQ(reg.ReadInteger("Automatic"), 1);
  EXPECT_EQ(reg.ReadString("Path"), " ");
}

TEST_F(SettingsStoreTest, AUserDirectoryIsReadWithoutLookingAtTheHost) {
  WriteSettings(false, "/src");
  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey(HostKey, true));
  reg.WriteInteger("RootDir", 7);  // would raise if it were read
  bool automatic = true;
  std::string path;
  EXPECT_NO_THROW(ReadSettings(automatic, path));
  EXPECT_EQ(path, "/src");
}

TEST_F(SettingsStoreTest, AWrongTypedValueRaises) {
  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey(SettingsKey, true));
  reg.WriteString("Automatic", "yes");
  reg.WriteString("Path", "/src");
  bool automatic = false;
  std::string path;
  EXPECT_THROW(ReadSettings(automatic, path), ERegistryException);
}

// The IDE's extra libraries: one folder a line, as a user types them.
TEST_F(SettingsStoreTest, TheExtraLibrariesAreReadOneFolderALine) {
  EXPECT_TRUE(ReadExtraLibraries().empty());  // not set
  TRegistry reg;
  reg.SetRootKey(HKEY_CURRENT_USER);
  ASSERT_TRUE(reg.OpenKey("\\Software\\Vantry\\IDE", true));
  reg.WriteString("Libraries", "/usr/lib/lazarus/2.2.6\r\n\n/srv/my libs\n");
  EXPECT_EQ(ReadExtraLibraries(), (std::vector<std::string>{"/usr/lib/lazarus/2.2.6", "/srv/my libs"}));
}

}  // namespace
