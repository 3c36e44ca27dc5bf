#include "AddInLoader.h"
#include "HostWindow.h"

#include "hostmodel/MenuDump.h"
#include "hostmodel/StandardMenus.h"
#include "platform/Registry.h"
#include "source_menu/ExpertModuleUnit.h"
#include "support/TestSupport.h"

#include <dlfcn.h>
#include <elf.h>
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace Vantry;
using ::testing::ElementsAre;
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
  TAddInLoader Loader{Services, [this](const std::string& AMessage) { Reports.push_back(AMessage); }, &Menu};
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

// The test add-in with ABytes at AOffset, cut to ASize bytes (0: whole).
std::string DamagedCopy(const VantryTest::TTempDir& ATemp, size_t ASize, size_t AOffset = 0, std::string ABytes = "") {
  std::string image = VantryTest::FileContent(VANTRY_TEST_ADDIN).replace(AOffset, ABytes.size(), ABytes);
  return ATemp.WriteFile("damaged.so", ASize ? image.substr(0, ASize) : image);
}

struct TBrokenRow {
  const char* Name;
  std::string (*Library)(const VantryTest::TTempDir&);
  const char* Reason;
  friend void PrintTo(const TBrokenRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class BrokenAddInTest : public AddInLoaderTest, public ::testing::WithParamInterface<TBrokenRow> {};

// None of these may hang, crash, register anything or leave a menu item.
TEST_P(BrokenAddInTest, IsReportedAndSkippedWhileTheOthersLoad) {
  std::string library = GetParam().Library(Temp);
  EXPECT_FALSE(Loader.Load(library));
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_THAT(Reports[0], HasSubstr(library));
  EXPECT_THAT(Reports[0], HasSubstr(GetParam().Reason));
  EXPECT_EQ(Loader.LibraryCount(), 0);
  EXPECT_EQ(Menu.Find("LeftBehindItem"), nullptr);
  EXPECT_TRUE(Loader.Load(VANTRY_TEST_ADDIN));
  EXPECT_EQ(Loader.Experts().size(), 1u);
}

using T = const VantryTest::TTempDir&;
INSTANTIATE_TEST_SUITE_P(
    Libraries, BrokenAddInTest,
    ::testing::Values(
        TBrokenRow{"NoEntryPoint", [](T) -> std::string { return VANTRY_NO_ENTRY_ADDIN; }, "no entry point INITEXPERT0017"},
        TBrokenRow{"EntryPointRaises", [](T) -> std::string { return VANTRY_THROWING_ADDIN; }, "broken on purpose"},
        TBrokenRow{"EntryPointFailsLeavingAnItem", [](T) -> std::string { return VANTRY_FAILING_ADDIN; }, "answered false"},
        TBrokenRow{"NotALibrary", [](T A) { return A.WriteFile("text.so", "unit Text;\n"); }, "not a shared library"},
        TBrokenRow{"Missing", [](T) -> std::string { return "/nonexistent/expert.so"; }, "cannot be opened"},
        TBrokenRow{"Fifo", [](T A) { mkfifo((A / "fifo.so").c_str(), 0600); return A / "fifo.so"; }, "not a regular file"},
        TBrokenRow{"Truncated", [](T A) { return DamagedCopy(A, 4096); }, "truncated"},
        TBrokenRow{"HeaderOnly", [](T A) { return DamagedCopy(A, 64); }, "program headers lie outside"},
        TBrokenRow{"ThirtyTwoBit", [](T A) { return DamagedCopy(A, 0, EI_CLASS, "\x01"); }, "32-bit"},
        TBrokenRow{"BigEndian", [](T A) { return DamagedCopy(A, 0, EI_DATA, "\x02"); }, "byte order"},
        TBrokenRow{"OtherMachine", [](T A) { return DamagedCopy(A, 0, 18, std::string("\x2b\x00", 2)); }, "another processor"},
        TBrokenRow{"Executable", [](T A) { return DamagedCopy(A, 0, 16, std::string("\x02\x00", 2)); }, "not a shared library"}),
    [](const auto& info) { return std::string(info.param.Name); });

// A second copy of an add-in under another path would put its menu in twice.
TEST_F(AddInLoaderTest, ASecondCopyOfAnAddInIsRefusedByItsIDString) {
  std::string copy = Temp.WriteFile("copy/test-addin.so", VantryTest::FileContent(VANTRY_TEST_ADDIN));
  ASSERT_TRUE(Loader.Load(VANTRY_TEST_ADDIN));
  EXPECT_FALSE(Loader.Load(copy));
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_THAT(Reports[0], HasSubstr("\"Tester.Test Add-in\" is registered already"));
  EXPECT_THAT(Reports[0], HasSubstr(copy));
  EXPECT_THAT(Reports[0], HasSubstr(VANTRY_TEST_ADDIN));
  EXPECT_EQ(Loader.Experts().size(), 1u);
  EXPECT_EQ(Menu.Find("FileMenu")->Children.size(), 13u);  // one "Test Add-in" item
  EXPECT_EQ(dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the copy stays loaded";
  Loader.Unload();
  EXPECT_EQ(Menu.LiveObjectCount(), 0);
}

// The product loaded twice, its copy refused for its first expert, a later
// one, or both: the copy leaves nothing in the menu, and is unloaded.
TEST_F(AddInLoaderTest, ARefusedCopyOfTheProductLeavesNothingBehind) {
  WriteSettings(false, VANTRY_FPC_SOURCE);
  ASSERT_TRUE(Loader.Load(VANTRY_ADDIN));
  const std::string menu = DumpMenu(Menu);
  const int live = Menu.LiveObjectCount();
  const std::string image = VantryTest::FileContent(VANTRY_ADDIN);
  // A copy whose expert of that ID string is made another's, so that it is
  // no duplicate (same length: the description is data inside the file).
  auto renamed = [&](std::string AImage, const std::string& AIDString) {
    const std::string from = "IDString = '" + AIDString + "'", to = from.substr(0, from.size() - 2) + "!'";
    for (size_t at = AImage.find(from); at != std::string::npos; at = AImage.find(from, at)) AImage.replace(at, to.size(), to);
    return AImage;
  };
  const struct {
    const char* Name;
    std::string Image;
  } copies[] = {{"both duplicates", image},
                {"the first a duplicate", renamed(image, "Brask.Vantry Library Finder")},
                {"a later one a duplicate", renamed(image, "Brask.Orvalle Vantry")}};
  for (const auto& copy : copies) {
    SCOPED_TRACE(copy.Name);
    Reports.clear();
    std::string path = Temp.WriteFile(std::string("copy-") + copy.Name + "/vantry.so", copy.Image);
    EXPECT_FALSE(Loader.Load(path));
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_THAT(Reports[0], HasSubstr("is registered already"));
    EXPECT_EQ(Loader.Experts().size(), 2u);
    EXPECT_EQ(DumpMenu(Menu), menu) << "the copy's items are left in the menu";
    EXPECT_EQ(Menu.LiveObjectCount(), live);
    EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the copy stays loaded";
  }
}

// What an add-in raises is shown and the next click works. At shut-down the
// experts go, then the library's terminate procedure (once), then the library.
TEST_F(AddInLoaderTest, RaisingHandlersAreShownAndTheTerminateProcedureRunsOnceInItsPlace) {
  VantryTest::TRecordedApplication shown;
  ASSERT_TRUE(Loader.Load(VANTRY_RAISING_ADDIN));
  Menu.Click(*Menu.Find("RaisingAddInItem"));
  Menu.Click(*Menu.Find("RaisingAddInItem"));
  EXPECT_THAT(ExpertRows(Loader.Experts())[0],
              ElementsAre("Raising Add-in", "Tester", "", "", "esAddIn", "[]", "Tester.Raising Add-in", ""));
  EXPECT_THAT(shown.Errors, ElementsAre("the click raises on purpose", "the click raises on purpose",
                                        "the comment raises on purpose"));
  Loader.Unload();
  Loader.Unload();
  EXPECT_THAT(Services->OpenedFiles,
              ElementsAre("raising-add-in: clicked", "raising-add-in: clicked", "raising-add-in: expert released",
                          "raising-add-in: terminated", "raising-add-in: unloaded"));
  EXPECT_EQ(Menu.LiveObjectCount(), 0);  // the terminate procedure released its menu item
}

TEST_F(AddInLoaderTest, ReadsTheConfiguredLibrariesFromTheUsersRegistry) {
  TRegistry reg;
  reg.SetRootKey(HKEY_CURRENT_USER);
  ASSERT_TRUE(reg.OpenKey("\\Software\\Borland\\Delphi\\3.0\\Experts", true));
  reg.WriteString("Vantry", "/opt/vantry/vantry.so");
  reg.WriteString("Another", "/opt/other.so");
  reg.WriteInteger("NotALibrary", 1);
  EXPECT_EQ(TAddInLoader::ConfiguredLibraries([this](const std::string& AMessage) { Reports.push_back(AMessage); }),
            (std::vector<std::string>{"/opt/other.so", "/opt/vantry/vantry.so"}));
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_THAT(Reports[0], HasSubstr("'NotALibrary' under HKEY_CURRENT_USER\\Software\\Borland\\Delphi\\3.0\\Experts"));
}

struct THiveRow {
  const char* Name;
  const char* Hive;
  void (*Damage)(const std::string& AFile);
  friend void PrintTo(const THiveRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

// Runs the IDE itself, in a process of its own.
class IdeProcessTest : public AddInLoaderTest {
protected:
  // Runs the IDE headless, as the user "nobody" when run as root (so that
  // file permissions apply); returns its exit status.
  int RunIde(const std::vector<std::string>& AArgs) {
    std::vector<const char*> argv{VANTRY_HOST};
    for (const std::string& arg : AArgs) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    std::string out = Temp / "out.txt", err = Temp / "err.txt";
    return VantryTest::WaitChild(VantryTest::StartChild([&] {
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) return 96;
      if (!VantryTest::DropRootPrivileges()) return 97;
      rlimit noCore{0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      execv(VANTRY_HOST, const_cast<char**>(argv.data()));
      return 95;
    }));
  }
};

// Start-up code that aborts cannot be survived in-process; the user learns
// which library it was.
TEST_F(IdeProcessTest, ALibraryWhoseStartUpAbortsIsNamed) {
  EXPECT_EQ(RunIde({"--expert", VANTRY_ABORTING_ADDIN, "--dump-menu"}), 128 + SIGABRT);
  EXPECT_THAT(VantryTest::FileContent(Temp / "err.txt"),
              HasSubstr(std::string("the expert library ") + VANTRY_ABORTING_ADDIN + " stopped the IDE"));
}

class DamagedHiveTest : public IdeProcessTest, public ::testing::WithParamInterface<THiveRow> {};

// The IDE starts whatever the settings look like: the damaged hive is named
// once, the add-in given with --expert loads, and the file is left alone.
TEST_P(DamagedHiveTest, TheIdeStartsSaysOnceWhichHiveAndLeavesItAlone) {
  TRegistry().WriteString("Something", "to damage");
  std::string hive = RegistryDir + "/" + GetParam().Hive;
  GetParam().Damage(hive);
  std::string before = std::filesystem::is_regular_file(hive) ? VantryTest::FileContent(hive) : "";
  for (const std::string& folder : {Temp.Path().string(), RegistryDir})  // for the unprivileged IDE
    std::filesystem::permissions(folder, std::filesystem::perms::all);

  EXPECT_EQ(RunIde({"--expert", VANTRY_RAISING_ADDIN, "--list-experts"}), 0);
  std::string err = VantryTest::FileContent(Temp / "err.txt");
  EXPECT_THAT(VantryTest::FileContent(Temp / "out.txt"), HasSubstr("Name: Raising Add-in"));
  size_t first = err.find(hive);
  ASSERT_NE(first, std::string::npos) << err;
  EXPECT_EQ(err.find(hive, first + 1), std::string::npos) << "said more than once:\n" << err;
  if (!before.empty()) {
    std::filesystem::permissions(hive, std::filesystem::perms::owner_read);
    EXPECT_EQ(VantryTest::FileContent(hive), before) << "the damaged hive was changed";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Hives, DamagedHiveTest,
    ::testing::Values(
        THiveRow{"UserGarbage", "user.db", [](const std::string& F) { std::ofstream(F) << std::string(5000, 'x'); }},
        THiveRow{"UserTruncated", "user.db", [](const std::string& F) { std::filesystem::resize_file(F, 3000); }},
        THiveRow{"UserDirectory", "user.db",
                 [](const std::string& F) { std::filesystem::remove(F), std::filesystem::create_directory(F); }},
        THiveRow{"UserUnreadable", "user.db",
                 [](const std::string& F) { std::filesystem::permissions(F, std::filesystem::perms::none); }},
        THiveRow{"MachineGarbage", "machine.db",
                 [](const std::string& F) { std::ofstream(F) << std::string(5000, 'x'); }}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
