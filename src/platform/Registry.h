#pragma once
// The registry: two hives of keys that hold named string and integer values,
// each hive one SQLite database file. TRegistry and TRegIniFile follow the
// Delphi classes of the same names.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/SysUtils.h"

struct sqlite3;

namespace Vantry {

enum HKEY : uint32_t {
  HKEY_CURRENT_USER = 0x80000001,
  HKEY_LOCAL_MACHINE = 0x80000002,
};

// Stored value types, numbered as Windows numbers them.
enum : uint32_t {
  REG_SZ = 1,
  REG_DWORD = 4,
};

enum TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
std::string RootKeyName(HKEY ARootKey);

// The database file that holds a hive, machine.db or user.db: in
// $VANTRY_REGISTRY_DIR if set, else in $XDG_DATA_HOME/vantry/registry, else in
// ~/.local/share/vantry/registry. The variables are read at every call.
std::string RegistryHiveFile(HKEY ARootKey);

// A hive file that cannot be used as it stands: damaged or truncated, not a
// file, unreadable, not a registry hive, holding changes that cannot be read
// consistently, or (for a write) not writable by this user. The message says
// what failed, on which file of which root key, and why; the file is left as
// it was.
class EHiveError : public ERegistryException {
public:
  EHiveError(HKEY ARootKey, std::string AFileName, const std::string& AMessage)
      : ERegistryException(AMessage), FRootKey(ARootKey), FFileName(std::move(AFileName)) {}

  HKEY RootKey() const { return FRootKey; }
  const std::string& FileName() const { return FFileName; }

private:
  HKEY FRootKey;
  std::string FFileName;
};

// Reads the whole hive of ARootKey through, so that a program can say at its
// start which hive cannot be used: raises EHiveError when the file exists but
// is not a hive that reads back whole. A hive that does not exist yet passes.
// Writes nothing.
void CheckRegistryHive(HKEY ARootKey);

class THive;

// Access to one hive, through one current key. Key paths use '\' between
// names; a path that starts with '\' is relative to the root, any other path
// is relative to the current key when one is open. Value operations act on
// the current key, or on the root when no key is open. Any operation on a
// hive file that is not a readable hive raises ERegistryException.
class TRegistry {
public:
  TRegistry();
  virtual ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  HKEY RootKey() const { return FRootKey; }
  // Closes the current key; following paths are relative to the new root.
  void SetRootKey(HKEY AValue);

  // Makes the key current. Without CanCreate a missing key gives false; with
  // it, missing keys along the path are created, and a hive that cannot be
  // written gives false. LastErrorMsg says why a call gave false.
  bool OpenKey(const std::string& Key, bool CanCreate);
  void CloseKey();
  // The current key's path from the root, with the names as stored.
  const std::string& CurrentPath() const { return FCurrentPath; }
  const std::string& LastErrorMsg() const { return FLastErrorMsg; }

  bool KeyExists(const std::string& Key);
  // Deletes the key with all its subkeys and values. The root cannot be deleted.
  bool DeleteKey(const std::string& Key);
  void GetKeyNames(std::vector<std::string>& Strings);
  void GetValueNames(std::vector<std::string>& Strings);

  bool ValueExists(const std::string& Name);
  TRegDataType GetDataType(const std::string& Name);
  bool DeleteValue(const std::string& Name);

  // A missing value reads as "".
  std::string ReadString(const std::string& Name);
  // A missing value raises ERegistryException, as does a value of another type.
  int32_t ReadInteger(const std::string& Name);
  bool ReadBool(const std::string& Name);
  // Writes raise ERegistryException when the hive cannot be written, and
  // refuse a value name holding control characters.
  void WriteString(const std::string& Name, const std::string& Value);
  void WriteInteger(const std::string& Name, int32_t Value);
  void WriteBool(const std::string& Name, bool Value);

  // Makes the writes through this registry, until Commit, one transaction:
  // they reach the hive together or not at all (an update left without
  // Commit takes them back). Open (and create) the key first: creating keys
  // is a transaction of its own. Raises ERegistryException when the hive
  // cannot be written, or the commit fails.
  class TUpdate {
  public:
    explicit TUpdate(TRegistry& ARegistry);
    ~TUpdate();
    TUpdate(const TUpdate&) = delete;
    TUpdate& operator=(const TUpdate&) = delete;
    void Commit();

  private:
    TRegistry& FRegistry;
    sqlite3* FDb;  // null once committed
  };

  // Keeps the current key across an operation that visits another one: the
  // key that was current when it was made is current again when it goes.
  class TSavedKey {
  public:
    explicit TSavedKey(TRegistry& ARegistry);
    ~TSavedKey();
    TSavedKey(const TSavedKey&) = delete;
    TSavedKey& operator=(const TSavedKey&) = delete;

  private:
    TRegistry& FRegistry;
    int64_t FKey;
    std::string FPath;
  };

private:
  struct TKeyPath;
  struct TFoundKey;
  struct TValue;
  THive& Hive();
  int64_t CurrentKeyId() const;
  std::string KeyDisplayName(const std::string& APath) const;
  std::string PathDisplayName(const TKeyPath& APath) const;
  TFoundKey StartOf(const TKeyPath& APath) const;
  TFoundKey FindKey(const TKeyPath& APath);
  TFoundKey WalkKeys(sqlite3* Db, TFoundKey AFrom, const std::vector<std::string>& Names, bool ACreate);
  bool ReadValue(const std::string& Name, TValue& Value);
  void CheckType(const std::string& Name, const TValue& Value, uint32_t Expected) const;
  void WriteValue(const std::string& Name, const TValue& Value);
  bool Fail(const std::string& Why);

  HKEY FRootKey = HKEY_CURRENT_USER;
  int64_t FCurrentKey = 0;  // 0 while no key is open
  std::string FCurrentPath;
  std::string FLastErrorMsg;
  std::unique_ptr<THive> FHive;  // opened on first use, closed with the root
};

// Settings kept the way an INI file keeps them, under one key of the current
// user: sections are its subkeys, identifiers their values.
class TRegIniFile : public TRegistry {
public:
  // Opens the key, creating it if missing; a hive that cannot be written is
  // still read.
  explicit TRegIniFile(const std::string& FileName);

  const std::string& FileName() const { return FFileName; }

  std::string ReadString(const std::string& Section, const std::string& Ident, const std::string& Default);
  int32_t ReadInteger(const std::string& Section, const std::string& Ident, int32_t Default);
  bool ReadBool(const std::string& Section, const std::string& Ident, bool Default);
  // Creates the section when missing; raises ERegistryException when it cannot.
  void WriteString(const std::string& Section, const std::string& Ident, const std::string& Value);
  void WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value);
  void WriteBool(const std::string& Section, const std::string& Ident, bool Value);

private:
  std::string SectionPath(const std::string& Section) const;

  std::string FFileName;
};

}  // namespace Vantry
