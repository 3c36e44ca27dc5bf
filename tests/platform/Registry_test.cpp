#include "platform/Registry.h"

#include <grp.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <tuple>

#include "support/TestSupport.h"

using namespace Vantry;
namespace fs = std::filesystem;

namespace {

class RegistryTest : public VantryTest::TIsolatedTest {
protected:
  std::string UserHive() const { return RegistryDir + "/user.db"; }

  static std::string FileContent(const std::string& APath) {
    if (!fs::is_regular_file(APath)) return "<not a file>";
    std::ifstream In(APath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), {});
  }
};

// Counts checks and remembers the first that failed, for a child process to report.
struct TChecks {
  int Count = 0;
  int FirstFailed = 0;
  void operator()(bool AOk) {
    ++Count;
    if (!AOk && !FirstFailed) FirstFailed = Count;
  }
};

TEST_F(RegistryTest, ValuesRoundTripWithTheirTypes) {
  const std::string Texts[] = {"", "plain", "C:\\Delphi 3\\Source\\", "line\nbreak \"quoted\"", "caf\xC3\xA9",
                               std::string("nul\0inside", 10)};
  const int32_t Numbers[] = {0, 1, -1, INT32_MIN, INT32_MAX};
  {
    TRegistry Reg;
    ASSERT_TRUE(Reg.OpenKey("\\Software\\Types", true));
    for (size_t I = 0; I < std::size(Texts); ++I) Reg.WriteString("S" + std::to_string(I), Texts[I]);
    for (size_t I = 0; I < std::size(Numbers); ++I) Reg.WriteInteger("N" + std::to_string(I), Numbers[I]);
    Reg.WriteBool("True", true);
    Reg.WriteBool("False", false);
  }
  TRegistry Reg;  // a new accessor reads what the file kept
  ASSERT_TRUE(Reg.OpenKey("\\Software\\Types", false));
  for (size_t I = 0; I < std::size(Texts); ++I) {
    SCOPED_TRACE("string row " + std::to_string(I));
    EXPECT_EQ(Reg.ReadString("S" + std::to_string(I)), Texts[I]);
    EXPECT_EQ(Reg.GetDataType("S" + std::to_string(I)), rdString);
  }
  for (size_t I = 0; I < std::size(Numbers); ++I) {
    SCOPED_TRACE("integer row " + std::to_string(I));
    EXPECT_EQ(Reg.ReadInteger("N" + std::to_string(I)), Numbers[I]);
    EXPECT_EQ(Reg.GetDataType("N" + std::to_string(I)), rdInteger);
  }
  // Booleans are stored as the integers 1 and 0.
  EXPECT_EQ(Reg.ReadInteger("True"), 1);
  EXPECT_EQ(Reg.ReadInteger("False"), 0);
  EXPECT_EQ(Reg.GetDataType("Missing"), rdUnknown);
}

TEST_F(RegistryTest, OverwritingAValueReplacesItsType) {
  TRegistry Reg;
  ASSERT_TRUE(Reg.OpenKey("Software", true));
  Reg.WriteString("Value", "text");
  Reg.WriteInteger("Value", 7);
  EXPECT_EQ(Reg.ReadInteger("Value"), 7);
  Reg.WriteString("Value", "again");
  EXPECT_EQ(Reg.ReadString("Value"), "again");
}

TEST_F(RegistryTest, AnyNonZeroIntegerReadsAsTrue) {
  TRegistry Reg;
  for (int32_t Stored : {0, 1, 5, -1}) {
    Reg.WriteInteger("Automatic", Stored);
    EXPECT_EQ(Reg.ReadBool("Automatic"), Stored != 0) << Stored;
  }
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  TRegistry Reg;
  ASSERT_TRUE(Reg.OpenKey("\\Software\\Orvalle", true));
  Reg.WriteInteger("Automatic", 1);
  Reg.WriteInteger("AUTOMATIC", 2);  // the same value
  ASSERT_TRUE(Reg.OpenKey("\\SOFTWARE\\orvalle", true));  // the same key, not a new one
  EXPECT_EQ(Reg.CurrentPath(), "Software\\Orvalle");
  EXPECT_EQ(Reg.ReadInteger("automatic"), 2);

  std::vector<std::string> Names;
  Reg.GetValueNames(Names);
  EXPECT_EQ(Names, std::vector<std::string>{"Automatic"});
  ASSERT_TRUE(Reg.OpenKey("\\", false));
  Reg.GetKeyNames(Names);
  EXPECT_EQ(Names, std::vector<std::string>{"Software"});
}

TEST_F(RegistryTest, ReadingAnotherTypeRaisesNamingTheValue) {
  TRegistry Reg;
  ASSERT_TRUE(Reg.OpenKey("\\Software\\Vantry", true));
  Reg.WriteString("Automatic", "1");
  Reg.WriteInteger("Path", 0);
  const std::tuple<const char*, const char*, std::function<void(const char*)>> Rows[] = {
      {"ReadInteger of a string", "Automatic", [&](const char* Name) { Reg.ReadInteger(Name); }},
      {"ReadBool of a string", "Automatic", [&](const char* Name) { Reg.ReadBool(Name); }},
      {"ReadString of an integer", "Path", [&](const char* Name) { Reg.ReadString(Name); }},
      {"ReadInteger of a missing value", "Missing", [&](const char* Name) { Reg.ReadInteger(Name); }},
      {"ReadBool of a missing value", "Missing", [&](const char* Name) { Reg.ReadBool(Name); }},
  };
  for (const auto& [Row, Name, Read] : Rows) {
    SCOPED_TRACE(Row);
    try {
      Read(Name);
      ADD_FAILURE() << "no exception";
    } catch (const ERegistryException& E) {
      EXPECT_NE(E.Message().find("'" + std::string(Name) + "' in HKEY_CURRENT_USER\\Software\\Vantry"),
                std::string::npos)
          << E.Message();
    }
  }
  EXPECT_EQ(Reg.ReadString("Missing"), "");  // a missing string reads as empty
}

TEST_F(RegistryTest, ReadingAnAbsentHiveFindsNothingAndCreatesNothing) {
  TRegistry Reg;
  EXPECT_FALSE(Reg.OpenKey("\\Software\\Vantry", false));
  EXPECT_NE(Reg.LastErrorMsg().find("Software\\Vantry"), std::string::npos);
  EXPECT_FALSE(Reg.KeyExists("Software"));
  EXPECT_FALSE(Reg.ValueExists("Anything"));
  EXPECT_EQ(Reg.ReadString("Anything"), "");
  EXPECT_FALSE(Reg.DeleteKey("Software"));
  EXPECT_TRUE(Reg.OpenKey("\\", false));  // the root always exists
  EXPECT_FALSE(fs::exists(RegistryDir));
}

TEST_F(RegistryTest, DeleteKeyRemovesTheWholeSubtree) {
  TRegistry Reg;
  ASSERT_TRUE(Reg.OpenKey("\\A\\B\\C", true));
  Reg.WriteString("Deep", "x");
  ASSERT_TRUE(Reg.OpenKey("\\A\\B", false));
  Reg.WriteString("Middle", "x");
  ASSERT_TRUE(Reg.OpenKey("\\A\\Sibling", true));
  Reg.CloseKey();

  EXPECT_TRUE(Reg.DeleteKey("\\a\\b"));
  EXPECT_FALSE(Reg.KeyExists("\\A\\B"));
  EXPECT_FALSE(Reg.KeyExists("\\A\\B\\C"));
  EXPECT_TRUE(Reg.KeyExists("\\A\\Sibling"));
  EXPECT_FALSE(Reg.DeleteKey("\\A\\B"));
  EXPECT_FALSE(Reg.DeleteKey("\\"));  // the root stays

  // Re-created keys start empty: the old values went with their keys.
  ASSERT_TRUE(Reg.OpenKey("\\A\\B\\C", true));
  EXPECT_FALSE(Reg.ValueExists("Deep"));
  ASSERT_TRUE(Reg.OpenKey("\\A\\B", false));
  EXPECT_FALSE(Reg.ValueExists("Middle"));
}

TEST_F(RegistryTest, AValueOfADeletedKeyCannotBeWritten) {
  TRegistry Reg, Other;
  ASSERT_TRUE(Reg.OpenKey("\\Gone", true));
  ASSERT_TRUE(Other.DeleteKey("\\Gone"));
  ASSERT_TRUE(Other.OpenKey("\\Gone", true));  // a new key of the same name
  EXPECT_THROW(Reg.WriteString("Lost", "x"), ERegistryException);
  EXPECT_FALSE(Other.ValueExists("Lost"));
}

TEST_F(RegistryTest, KeyPathsIgnoreEmptyNamesAndAreRelativeToTheOpenKey) {
  TRegistry Reg;
  ASSERT_TRUE(Reg.OpenKey("\\Software\\Orvalle\\Vantry", true));
  Reg.CloseKey();
  const char* Spellings[] = {"Software\\Orvalle\\Vantry", "\\Software\\Orvalle\\Vantry", "\\Software\\Orvalle\\Vantry\\",
                             "\\\\Software\\\\Orvalle\\Vantry\\\\"};
  for (const char* Path : Spellings) {
    SCOPED_TRACE(Path);
    EXPECT_TRUE(Reg.OpenKey(Path, false));
    EXPECT_EQ(Reg.CurrentPath(), "Software\\Orvalle\\Vantry");
    Reg.CloseKey();
  }

  ASSERT_TRUE(Reg.OpenKey("\\Software", false));
  EXPECT_TRUE(Reg.KeyExists("Orvalle"));
  EXPECT_FALSE(Reg.KeyExists("\\Orvalle"));
  ASSERT_TRUE(Reg.OpenKey("Orvalle\\Vantry", false));
  EXPECT_EQ(Reg.CurrentPath(), "Software\\Orvalle\\Vantry");
  ASSERT_TRUE(Reg.OpenKey("New", true));
  EXPECT_EQ(Reg.CurrentPath(), "Software\\Orvalle\\Vantry\\New");
}

TEST_F(RegistryTest, WithoutAnOpenKeyValuesBelongToTheRoot) {
  TRegistry Reg;
  Reg.WriteString("AtRoot", "x");
  ASSERT_TRUE(Reg.OpenKey("\\Software", true));
  EXPECT_FALSE(Reg.ValueExists("AtRoot"));
  Reg.CloseKey();
  EXPECT_TRUE(Reg.ValueExists("AtRoot"));
}

TEST_F(RegistryTest, EachRootIsAHiveOfItsOwn) {
  TRegistry Reg;
  Reg.SetRootKey(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(Reg.OpenKey("\\SOFTWARE\\BORLAND\\DELPHI\\3.0", true));
  Reg.WriteString("RootDir", "/opt/delphi");
  Reg.SetRootKey(HKEY_CURRENT_USER);
  EXPECT_EQ(Reg.CurrentPath(), "");  // changing the root closes the key
  EXPECT_FALSE(Reg.KeyExists("\\SOFTWARE\\BORLAND"));
  Reg.WriteString("Mine", "x");
  EXPECT_TRUE(fs::exists(RegistryDir + "/machine.db"));
  EXPECT_TRUE(fs::exists(UserHive()));
}

TEST_F(RegistryTest, NamesWithControlCharactersAreRefused) {
  TRegistry Reg;
  EXPECT_FALSE(Reg.OpenKey("\\Soft\nware", true));
  EXPECT_NE(Reg.LastErrorMsg().find("control characters"), std::string::npos);
  EXPECT_FALSE(Reg.KeyExists("\\Soft\nware"));
  for (const char* Name : {"line\nbreak", "bell\a", "delete\x7F"}) {
    SCOPED_TRACE(Name);
    try {
      Reg.WriteString(Name, "x");
      ADD_FAILURE() << "no exception";
    } catch (const ERegistryException& E) {
      EXPECT_NE(E.Message().find("control characters"), std::string::npos) << E.Message();
    }
    EXPECT_THROW(Reg.WriteInteger(Name, 1), ERegistryException);
    EXPECT_FALSE(Reg.ValueExists(Name));
  }
}

// Writes made in one update reach the hive together, or, when one fails or
// no commit comes, not at all: the values before stay whole.
TEST_F(RegistryTest, AnUpdateStoresItsWritesTogetherOrNotAtAll) {
  for (const char* Ending : {"committed", "a write fails", "not committed"}) {
    SCOPED_TRACE(Ending);
    TRegistry Reg;
    ASSERT_TRUE(Reg.OpenKey("\\Settings", true));
    Reg.WriteBool("Automatic", true);
    Reg.WriteString("Path", " ");
    try {
      TRegistry::TUpdate Update(Reg);
      Reg.WriteBool("Automatic", false);
      if (std::string(Ending) == "a write fails") Reg.WriteString("bad\nname", "x");
      Reg.WriteString("Path", "/src");
      if (std::string(Ending) == "committed") Update.Commit();
    } catch (const ERegistryException&) {
    }
    TRegistry Fresh;
    ASSERT_TRUE(Fresh.OpenKey("\\Settings", false));
    bool Committed = std::string(Ending) == "committed";
    EXPECT_EQ(Fresh.ReadBool("Automatic"), !Committed);
    EXPECT_EQ(Fresh.ReadString("Path"), Committed ? "/src" : " ");
  }
}

// A folder whose name SQLite would otherwise take for a URI of an in-memory database.
TEST_F(RegistryTest, TheFolderIsAPathWhateverItsName) {
  struct TBack {
    fs::path Saved = fs::current_path();
    ~TBack() { fs::current_path(Saved); }
  } Back;
  fs::current_path(Temp.Path());
  const std::string Dir = "file:reg?mode=memory&x=";
  setenv("VANTRY_REGISTRY_DIR", Dir.c_str(), 1);
  {
    TRegistry Reg;
    Reg.WriteString("Kept", "value");
  }
  TRegistry Reg;
  EXPECT_EQ(Reg.ReadString("Kept"), "value");
  EXPECT_TRUE(fs::is_regular_file(Temp.Path() / Dir / "user.db"));
}

TEST_F(RegistryTest, IniFileSectionsAreSubkeys) {
  {
    TRegIniFile Ini("\\Software\\Halvorn Software");
    EXPECT_EQ(Ini.ReadString("Expert Wizard", "Author", ""), "");
    Ini.WriteString("Expert Wizard", "Author", "Brask");
    Ini.WriteInteger("Numbers", "Count", -12);
    Ini.WriteBool("Numbers", "Flag", true);
    EXPECT_EQ(Ini.CurrentPath(), "Software\\Halvorn Software");  // sections do not move the open key
  }
  TRegIniFile Ini("\\Software\\Halvorn Software");
  EXPECT_EQ(Ini.ReadString("Expert Wizard", "Author", "none"), "Brask");
  EXPECT_EQ(Ini.ReadInteger("Numbers", "Count", 0), -12);
  EXPECT_TRUE(Ini.ReadBool("Numbers", "Flag", false));
  EXPECT_EQ(Ini.ReadInteger("Numbers", "Missing", 42), 42);
  EXPECT_EQ(Ini.ReadInteger("Expert Wizard", "Author", 42), 42);  // not a number

  TRegistry Reg;
  ASSERT_TRUE(Reg.OpenKey("\\Software\\Halvorn Software\\Expert Wizard", false));
  EXPECT_EQ(Reg.ReadString("Author"), "Brask");
  Reg.WriteInteger("Stored", 3);
  EXPECT_EQ(Ini.ReadInteger("Expert Wizard", "Stored", 0), 3);
}

// A hive this user may not write: a folder without write permission, or a
// file without it. As root, permissions do not stop writes, so the checks run
// in a child that has become nobody.
struct TReadOnlyRow {
  const char* Name;
  fs::perms Folder;
  fs::perms File;
};

void PrintTo(const TReadOnlyRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }

class RegistryReadOnlyTest : public RegistryTest, public testing::WithParamInterface<TReadOnlyRow> {};

TEST_P(RegistryReadOnlyTest, OpensForReadingAndRefusesWrites) {
  {
    TRegistry Reg;
    ASSERT_TRUE(Reg.OpenKey("\\Software\\Kept", true));
    Reg.WriteString("Name", "value");
  }
  const std::string Before = FileContent(UserHive());
  fs::permissions(Temp.Path(), fs::perms(0755));
  fs::permissions(RegistryDir, GetParam().Folder);
  fs::permissions(UserHive(), GetParam().File);

  int Status = VantryTest::WaitChild(VantryTest::StartChild([] {
    if (!VantryTest::DropRootPrivileges()) return 97;
    TChecks Check;
    TRegistry Reg;
    Check(!Reg.OpenKey("\\Software\\New", true));
    Check(Reg.LastErrorMsg().find("user.db") != std::string::npos);
    Check(Reg.LastErrorMsg().starts_with("Cannot write"));
    Check(Reg.OpenKey("\\Software\\Kept", false));
    Check(Reg.ReadString("Name") == "value");
    try {
      Reg.WriteString("Name", "changed");
      Check(false);
    } catch (const ERegistryException& E) {
      Check(std::string(E.what()).find("user.db") != std::string::npos);
      Check(std::string(E.what()).find("Cannot write") != std::string::npos);
    }
    Check(!Reg.DeleteValue("Name"));
    Check(!Reg.DeleteKey("\\Software\\Kept"));
    TRegIniFile Ini("\\Software\\Kept");
    Check(Ini.ReadString("", "Name", "") == "value");
    try {
      Ini.WriteString("Section", "Ident", "x");
      Check(false);
    } catch (const ERegistryException&) {
    }
    return Check.FirstFailed;
  }));
  EXPECT_EQ(Status, 0) << "the child's first failing check (97: could not become nobody, 98: exception)";

  fs::permissions(RegistryDir, fs::perms::owner_all);
  fs::permissions(UserHive(), fs::perms(0644));
  EXPECT_EQ(FileContent(UserHive()), Before);
  TRegistry Reg;
  EXPECT_FALSE(Reg.KeyExists("\\Software\\New"));
}

INSTANTIATE_TEST_SUITE_P(Rows, RegistryReadOnlyTest,
                         testing::Values(TReadOnlyRow{"ReadOnlyFolder", fs::perms(0555), fs::perms(0644)},
                                         TReadOnlyRow{"ReadOnlyFolderWritableFile", fs::perms(0555), fs::perms(0666)},
                                         TReadOnlyRow{"ReadOnlyFile", fs::perms(0777), fs::perms(0444)}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// Changes that sit in the write-ahead log, with no shared-memory index beside
// them, in a folder this user may not write: the index cannot be built, and
// the main file alone holds the old value.
TEST_F(RegistryTest, ALogThatCannotBeReadIsNotSkipped) {
  {
    TRegistry Reg;
    Reg.WriteString("Name", "old");
  }
  sqlite3* Holder = nullptr;  // an open connection keeps the log from being folded in
  ASSERT_EQ(sqlite3_open(UserHive().c_str(), &Holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(Holder, "SELECT count(*) FROM keys", nullptr, nullptr, nullptr), SQLITE_OK);
  {
    TRegistry Reg;
    Reg.WriteString("Name", "new");
  }
  // Copies, so that no connection of this process (nor of the child that
  // inherits its memory) shares the files' index.
  fs::copy_file(UserHive(), Temp / "user.db");
  fs::copy_file(UserHive() + "-wal", Temp / "user.db-wal");
  sqlite3_close(Holder);
  fs::remove_all(RegistryDir);
  fs::create_directory(RegistryDir);
  fs::rename(Temp / "user.db", UserHive());
  fs::rename(Temp / "user.db-wal", UserHive() + "-wal");
  ASSERT_GT(fs::file_size(UserHive() + "-wal"), 0u);
  fs::permissions(Temp.Path(), fs::perms(0755));
  fs::permissions(RegistryDir, fs::perms(0555));
  int Status = VantryTest::WaitChild(VantryTest::StartChild([] {
    if (!VantryTest::DropRootPrivileges()) return 97;
    try {
      return TRegistry().ReadString("Name") == "new" ? 0 : 1;
    } catch (const ERegistryException& E) {
      return std::string(E.what()).find("user.db-wal") != std::string::npos ? 0 : 2;
    }
  }));
  EXPECT_EQ(Status, 0) << "1: stale value, 2: unclear error, 97: could not become nobody";
}

TEST_F(RegistryTest, AFileThatIsNoHiveRaisesAndIsLeftAlone) {
  // A hive of a few pages whose content is then damaged.
  const auto MakeHive = [&](const std::function<void(std::fstream&)>& ADamage) {
    {
      TRegistry Reg;
      for (int I = 0; I < 200; ++I) {
        ASSERT_TRUE(Reg.OpenKey("\\Software\\Key" + std::to_string(I), true));
        Reg.WriteString("Value", std::string(40, 'v'));
      }
    }
    std::fstream File(UserHive(), std::ios::binary | std::ios::in | std::ios::out);
    ADamage(File);
  };
  const std::tuple<const char*, const char*, std::function<void()>> Rows[] = {
      {"garbage", "damaged",
       [&] { Temp.WriteFile("registry/user.db", std::string(8192, '#') + "not a database"); }},
      {"truncated", "damaged", [&] { MakeHive([&](std::fstream&) { fs::resize_file(UserHive(), 8192); }); }},
      {"a damaged page", "damaged",
       [&] { MakeHive([](std::fstream& AFile) { AFile.seekp(12000) << std::string(64, '#'); }); }},
      {"a folder", "folder", [&] { fs::create_directories(UserHive()); }},
      {"another program's database", "not a registry hive",
       [&] {
         fs::create_directories(RegistryDir);
         sqlite3* Db = nullptr;
         sqlite3_open(UserHive().c_str(), &Db);
         sqlite3_exec(Db, "CREATE TABLE accounts (id INTEGER); INSERT INTO accounts VALUES (1);", nullptr, nullptr,
                      nullptr);
         sqlite3_close(Db);
       }},
  };
  for (const auto& [Name, Says, Make] : Rows) {
    SCOPED_TRACE(Name);
    fs::remove_all(RegistryDir);
    Make();
    const std::string Before = FileContent(UserHive());
    const std::function<void(TRegistry&)> Uses[] = {
        [](TRegistry&) { CheckRegistryHive(HKEY_CURRENT_USER); },
        [](TRegistry& Reg) { Reg.OpenKey("\\Software\\Key1", true); },
        [](TRegistry& Reg) { Reg.WriteString("Name", "x"); },
    };
    for (const auto& Use : Uses) {
      TRegistry Reg;
      try {
        Use(Reg);
        ADD_FAILURE() << "no exception";
      } catch (const EHiveError& E) {
        EXPECT_EQ(E.FileName(), UserHive());
        EXPECT_EQ(E.RootKey(), HKEY_CURRENT_USER);
        EXPECT_NE(E.Message().find(UserHive()), std::string::npos) << E.Message();
        EXPECT_NE(E.Message().find(Says), std::string::npos) << E.Message();
      }
    }
    EXPECT_EQ(FileContent(UserHive()), Before);
    EXPECT_NO_THROW(CheckRegistryHive(HKEY_LOCAL_MACHINE));  // the other hive is not there, which is fine
  }
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int PerProcess = 1000;
  int Gate[2];
  ASSERT_EQ(pipe(Gate), 0);
  std::vector<pid_t> Writers;
  for (char Prefix : {'a', 'b'}) {
    Writers.push_back(VantryTest::StartChild([&Gate, Prefix] {
      close(Gate[1]);
      char Byte;
      if (read(Gate[0], &Byte, 1) < 0) return 2;  // both start when the parent closes the gate
      TRegistry Reg;
      if (!Reg.OpenKey("\\Shared\\Values", true)) return 1;
      for (int I = 0; I < PerProcess; ++I) Reg.WriteString(Prefix + std::to_string(I), "v");
      return 0;
    }));
  }
  close(Gate[0]);
  close(Gate[1]);
  for (pid_t Pid : Writers) EXPECT_EQ(VantryTest::WaitChild(Pid), 0);
  TRegistry Reg;
  ASSERT_TRUE(Reg.OpenKey("\\Shared\\Values", false));
  std::vector<std::string> Names;
  Reg.GetValueNames(Names);
  EXPECT_EQ(Names.size(), 2u * PerProcess);
  Reg.OpenKey("\\", false);
  Reg.GetKeyNames(Names);
  EXPECT_EQ(Names, std::vector<std::string>{"Shared"});
}

// The command-line tool, run as a user would run it.
class RegistryToolTest : public RegistryTest {
protected:
  static int Tool(const std::vector<std::string>& AArgs, std::string& AOutput) {
    return VantryTest::RunTool(VANTRY_REG_TOOL, AArgs, AOutput);
  }
};

TEST_F(RegistryToolTest, SetGetExportAndUsageErrors) {
  struct TStep {
    std::vector<std::string> Args;
    int Exit;
    const char* Output;  // null: not checked
  };
  const TStep Steps[] = {
      {{"set", "Software\\Vantry", "Path", "--string", "C:\\Delphi \"3\""}, 0, ""},
      {{"set", "HKCU\\Software\\Vantry", "Automatic", "--dword", "1"}, 0, ""},
      {{"set", "Software\\Vantry\\Sub", "Note", "--string", "a\nb"}, 0, ""},
      {{"get", "Software\\Vantry", "automatic"}, 0, "1\n"},
      {{"get", "\\SOFTWARE\\VANTRY", "Path"}, 0, "C:\\Delphi \"3\"\n"},
      {{"export", "Software\\Vantry"},
       0,
       "Windows Registry Editor Version 5.00\n"
       "\n[HKEY_CURRENT_USER\\Software\\Vantry]\n"
       "\"Automatic\"=dword:00000001\n"
       "\"Path\"=\"C:\\\\Delphi \\\"3\\\"\"\n"
       "\n[HKEY_CURRENT_USER\\Software\\Vantry\\Sub]\n"
       "\"Note\"=hex(1):61,00,0a,00,62,00,00,00\n"},
      {{"--machine", "get", "Software\\Vantry", "Path"}, 1, ""},
      {{"get", "Software\\Vantry", "Missing"}, 1, ""},
      {{"delete", "Software\\Vantry\\Sub"}, 0, ""},
      {{"delete", "Software\\Vantry\\Sub"}, 1, ""},
      {{}, 2, ""},
      {{"frobnicate", "Software"}, 2, ""},
      {{"set", "Software\\Vantry", "N", "--dword", "4294967296"}, 2, ""},
      {{"set", "Software\\Vantry", "N", "--dword", "0x-5"}, 2, ""},
      {{"set", "Software\\Vantry", "N", "--dword", "-5"}, 0, ""},
      {{"set", "Software\\Vantry", "Bad\x01Name", "--string", "x"}, 1, ""},
      {{"--machine", "get", "HKCU\\Software", "X"}, 2, ""},
      {{"--help"}, 0, nullptr},
  };
  for (const TStep& Step : Steps) {
    std::string Line;
    for (const std::string& Arg : Step.Args) Line += Arg + " ";
    SCOPED_TRACE(Line);
    std::string Output;
    EXPECT_EQ(Tool(Step.Args, Output), Step.Exit);
    if (Step.Output) {
      EXPECT_EQ(Output, Step.Output);
    }
  }
}

// Names and values written before value names were checked, or by another
// program, and text that is not UTF-8: exported with escapes, not refused.
TEST_F(RegistryToolTest, ExportEscapesWhatAFileCannotHoldPlainly) {
  {
    TRegistry Reg;
    ASSERT_TRUE(Reg.OpenKey("\\Odd", true));
    Reg.WriteString("Latin1", "caf\xE9 \\ \"");
  }
  sqlite3* Db = nullptr;
  ASSERT_EQ(sqlite3_open(UserHive().c_str(), &Db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(Db,
                         "INSERT INTO key_values (key_id, name, type, data) "
                         "SELECT id, 'Tab' || char(9) || 'Name', 1, 'line' || char(10) || CAST(x'FF' AS TEXT) FROM keys "
                         "WHERE name = 'Odd'",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(Db);
  std::string Output;
  EXPECT_EQ(Tool({"export", "Odd"}, Output), 0);
  EXPECT_EQ(Output,
            "Windows Registry Editor Version 5.00\n"
            "\n[HKEY_CURRENT_USER\\Odd]\n"
            "\"Latin1\"=\"caf\\xE9 \\\\ \\\"\"\n"
            "\"Tab\\x09Name\"=\"line\\x0A\\xFF\"\n");
}

}  // namespace
