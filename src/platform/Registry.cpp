#include "platform/Registry.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

// Storage. Each hive is one SQLite database: a tree of keys, each row naming
// its parent, and the values of each key. The root key is the row with id 1.
// Names compare with NOCASE (ASCII case folding) and keep the case they were
// created with. Key ids come from AUTOINCREMENT so that an id is never reused:
// a TRegistry of another process that still holds a deleted key's id must not
// end up writing into a newer key.
//
// Durability and concurrency: the journal is a write-ahead log with
// synchronous=NORMAL, so a commit survives a crash of the process (a power
// loss may undo the last commits, never corrupt the file). Writers wait for
// each other up to BusyTimeoutMs; a write of several statements (creating a
// key path) is one BEGIN IMMEDIATE transaction, which takes the write lock
// before it reads, so two processes creating the same path cannot collide.

namespace Vantry {

namespace {

namespace fs = std::filesystem;

constexpr int64_t RootId = 1;
constexpr int64_t SchemaVersion = 1;
constexpr int BusyTimeoutMs = 10000;

constexpr const char* SchemaSql = R"(
  CREATE TABLE keys (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent_id INTEGER REFERENCES keys(id),
    name TEXT NOT NULL COLLATE NOCASE,
    UNIQUE (parent_id, name));
  CREATE TABLE key_values (
    key_id INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL COLLATE NOCASE,
    type INTEGER NOT NULL,
    data,
    PRIMARY KEY (key_id, name)) WITHOUT ROWID;
  INSERT INTO keys (id, parent_id, name) VALUES (1, NULL, '');
  PRAGMA user_version = 1;)";

struct TDbCloser {
  void operator()(sqlite3* Db) const { sqlite3_close_v2(Db); }
};
using TDb = std::unique_ptr<sqlite3, TDbCloser>;

struct TStmtFinalizer {
  void operator()(sqlite3_stmt* Stmt) const { sqlite3_finalize(Stmt); }
};
using TStmt = std::unique_ptr<sqlite3_stmt, TStmtFinalizer>;

// A hive this process may not write, or may not even open for writing.
VANTRY_EXCEPTION(EHiveReadOnly, EHiveError);

bool IsPermissionError(int Rc) {
  switch (Rc & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return true;
    default:
      return false;
  }
}

std::string RegistryDir() {
  if (const char* Dir = std::getenv("VANTRY_REGISTRY_DIR"); Dir && *Dir) return Dir;
  if (const char* Data = std::getenv("XDG_DATA_HOME"); Data && Data[0] == '/')
    return std::string(Data) + "/vantry/registry";
  if (const char* Home = std::getenv("HOME"); Home && *Home) return std::string(Home) + "/.local/share/vantry/registry";
  throw ERegistryException("Cannot place the registry: neither VANTRY_REGISTRY_DIR nor HOME is set");
}

// The hive file as a file: URI, the only form in which SQLite takes a name
// as it is: a plain name that starts with "file:" would be read as a URI of
// its own (an in-memory database, say). The path is made absolute and every
// byte that is not plainly safe is escaped, so '?', '#' and '%' stay part of
// the name.
std::string FileUri(const std::string& Path, const char* Query) {
  static const char Hex[] = "0123456789ABCDEF";
  std::error_code Ec;
  fs::path Absolute = fs::absolute(Path, Ec);
  std::string Uri = "file://";
  for (unsigned char C : Ec ? Path : Absolute.string()) {
    if (std::isalnum(C) || (C && std::strchr("/-._~", C))) {
      Uri += static_cast<char>(C);
    } else {
      Uri += '%';
      Uri += Hex[C >> 4];
      Uri += Hex[C & 15];
    }
  }
  return *Query ? Uri + "?" + Query : Uri;
}

std::string TypeName(uint32_t Type) {
  switch (Type) {
    case REG_SZ: return "REG_SZ";
    case REG_DWORD: return "REG_DWORD";
    default: return "type " + std::to_string(Type);
  }
}

bool IsValidName(const std::string& Name) {
  for (unsigned char C : Name)
    if (C < 0x20 || C == 0x7F) return false;
  return true;
}

// A name for a message: control characters shown as \xHH.
std::string Printable(const std::string& Name) {
  std::string Result;
  for (unsigned char C : Name) {
    if (C >= 0x20 && C != 0x7F) {
      Result += static_cast<char>(C);
    } else {
      char Escaped[8];
      std::snprintf(Escaped, sizeof Escaped, "\\x%02X", C);
      Result += Escaped;
    }
  }
  return Result;
}

}  // namespace

std::string RootKeyName(HKEY ARootKey) {
  switch (ARootKey) {
    case HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
  }
  throw ERegistryException("Unknown registry root key " + std::to_string(static_cast<uint32_t>(ARootKey)));
}

std::string RegistryHiveFile(HKEY ARootKey) {
  const char* File = ARootKey == HKEY_LOCAL_MACHINE ? "machine.db" : "user.db";
  RootKeyName(ARootKey);  // rejects an unknown root
  return RegistryDir() + "/" + File;
}

// One hive's database connection, opened on first use: for reading when the
// file exists, for writing (creating folder and file) when something is written.
class THive {
public:
  explicit THive(HKEY ARootKey)
      : FRootKey(ARootKey), FFileName(RegistryHiveFile(ARootKey)), FRootName(RootKeyName(ARootKey)) {}

  // The connection to read with, or null while the hive holds nothing yet.
  sqlite3* ForReading();
  // The connection to write with; raises EHiveReadOnly when this process may
  // not write, EHiveError when the file is no sound hive.
  sqlite3* ForWriting();
  // Reads every page of the hive; raises EHiveError unless all is well.
  void CheckIntegrity(sqlite3* Db, const char* What) const;

  // Raises the exception for a failed SQLite call: what could not be done, on
  // which file, and SQLite's reason. Permission failures raise EHiveReadOnly,
  // a deleted key plain ERegistryException, anything else EHiveError.
  [[noreturn]] void Raise(const std::string& What, int Rc, sqlite3* Db) const;
  [[noreturn]] void Fail(const std::string& Message) const { throw EHiveError(FRootKey, FFileName, Message); }
  void Exec(sqlite3* Db, const char* Sql, const char* What = "write") const;

private:
  std::string Describe() const { return "the registry hive '" + FFileName + "' (" + FRootName + ")"; }
  bool Exists() const;
  TDb Open(const char* Query, int Flags) const;
  void OpenWithoutIndex();
  bool HasSchema(sqlite3* Db, const char* What) const;
  void UseWriteAheadLog(sqlite3* Db) const;
  void CreateFolder() const;

  HKEY FRootKey;
  std::string FFileName;
  std::string FRootName;
  TDb FDb;
  bool FHasSchema = false;
  bool FWritable = false;
};

namespace {

// One prepared statement, finalized on every path. Parameters bind in order.
// What names the operation it serves in a failure ("read", or "write" for a
// look-up on the way to a write); a statement that changes the hive always
// fails as a write.
class TQuery {
public:
  TQuery(const THive& AHive, sqlite3* ADb, const char* ASql, const char* AWhat = "read") : FHive(AHive), FWhat(AWhat) {
    sqlite3_stmt* Raw = nullptr;
    int Rc = sqlite3_prepare_v2(ADb, ASql, -1, &Raw, nullptr);
    FStmt.reset(Raw);
    if (Rc != SQLITE_OK) FHive.Raise(FWhat, Rc, ADb);
  }

  TQuery& Bind(int64_t AValue) {
    sqlite3_bind_int64(FStmt.get(), ++FParam, AValue);
    return *this;
  }
  TQuery& Bind(const std::string& AValue) {
    sqlite3_bind_text(FStmt.get(), ++FParam, AValue.data(), static_cast<int>(AValue.size()), SQLITE_TRANSIENT);
    return *this;
  }

  // True while a row is there to read.
  bool Step() {
    int Rc = sqlite3_step(FStmt.get());
    if (Rc == SQLITE_ROW) return true;
    if (Rc == SQLITE_DONE) return false;
    FHive.Raise(sqlite3_stmt_readonly(FStmt.get()) ? FWhat : "write", Rc, sqlite3_db_handle(FStmt.get()));
  }

  int64_t Int(int ACol) const { return sqlite3_column_int64(FStmt.get(), ACol); }
  std::string Text(int ACol) const {
    const auto* P = reinterpret_cast<const char*>(sqlite3_column_text(FStmt.get(), ACol));
    return P ? std::string(P, sqlite3_column_bytes(FStmt.get(), ACol)) : std::string();
  }

private:
  const THive& FHive;
  const char* FWhat;
  TStmt FStmt;
  int FParam = 0;
};

// BEGIN IMMEDIATE until Commit; rolled back when left any other way.
class TWriteTransaction {
public:
  TWriteTransaction(const THive& AHive, sqlite3* ADb) : FHive(AHive), FDb(ADb) { FHive.Exec(FDb, "BEGIN IMMEDIATE"); }
  ~TWriteTransaction() {
    if (FDb) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  TWriteTransaction(const TWriteTransaction&) = delete;
  TWriteTransaction& operator=(const TWriteTransaction&) = delete;

  void Commit() {
    FHive.Exec(FDb, "COMMIT");
    FDb = nullptr;
  }

private:
  const THive& FHive;
  sqlite3* FDb;
};

}  // namespace

void THive::Raise(const std::string& What, int Rc, sqlite3* Db) const {
  if (Rc == SQLITE_CONSTRAINT_FOREIGNKEY)
    throw ERegistryException("Cannot " + What + " " + Describe() + ": the key has been deleted");
  std::string Why = Db ? sqlite3_errmsg(Db) : sqlite3_errstr(Rc);
  int Primary = Rc & 0xFF;
  if (Db && (Primary == SQLITE_CANTOPEN || Primary == SQLITE_IOERR) && sqlite3_system_errno(Db))
    Why += std::string(" (") + std::strerror(sqlite3_system_errno(Db)) + ")";
  std::string Message = "Cannot " + What + " " + Describe() + ": " + Why;
  if (IsPermissionError(Rc))
    throw EHiveReadOnly(FRootKey, FFileName, Message + "; check the permissions of the file and its folder");
  if (Primary == SQLITE_CORRUPT || Primary == SQLITE_NOTADB)
    Fail(Message + "; the file is damaged: move it aside to start an empty hive");
  Fail(Message);
}

void THive::Exec(sqlite3* Db, const char* Sql, const char* What) const {
  int Rc = sqlite3_exec(Db, Sql, nullptr, nullptr, nullptr);
  if (Rc != SQLITE_OK) Raise(What, Rc, Db);
}

// Whether the hive file is there; something that is there but is no file is
// refused before SQLite is asked to open it.
bool THive::Exists() const {
  struct stat Info;
  if (stat(FFileName.c_str(), &Info) != 0) {
    if (errno == ENOENT) return false;
    Fail("Cannot read " + Describe() + ": " + std::strerror(errno));
  }
  if (!S_ISREG(Info.st_mode))
    Fail("Cannot read " + Describe() + ": it is " + (S_ISDIR(Info.st_mode) ? "a folder" : "not a regular file") +
         "; move it aside to start an empty hive");
  return true;
}

TDb THive::Open(const char* Query, int Flags) const {
  sqlite3* Raw = nullptr;
  int Rc = sqlite3_open_v2(FileUri(FFileName, Query).c_str(), &Raw, Flags | SQLITE_OPEN_URI, nullptr);
  TDb Db(Raw);
  if (Rc != SQLITE_OK) Raise("open", Rc, Db.get());
  sqlite3_extended_result_codes(Db.get(), 1);
  sqlite3_busy_timeout(Db.get(), BusyTimeoutMs);
  Exec(Db.get(), "PRAGMA foreign_keys = ON", "open");
  return Db;
}

// Whether the file holds our tables. An empty database holds nothing yet;
// anything else (another program's database, a newer format) is refused
// rather than changed.
bool THive::HasSchema(sqlite3* Db, const char* What) const {
  TQuery Version(*this, Db, "PRAGMA user_version", What);
  Version.Step();
  int64_t Format = Version.Int(0);
  if (Format == SchemaVersion) return true;
  TQuery Tables(*this, Db, "SELECT count(*) FROM sqlite_master", What);
  Tables.Step();
  if (Format == 0 && Tables.Int(0) == 0) return false;
  Fail(Describe() + " is not a registry hive this program can read (format " + std::to_string(Format) +
       "); move it aside to start an empty hive");
}

void THive::CheckIntegrity(sqlite3* Db, const char* What) const {
  TQuery Check(*this, Db, "PRAGMA quick_check(1)", What);
  std::string Result = Check.Step() ? Check.Text(0) : std::string("no result");
  if (Result != "ok")
    Fail("Cannot " + std::string(What) + " " + Describe() + ": the file is damaged (" + Result +
         "); move it aside to start an empty hive");
}

sqlite3* THive::ForReading() {
  if (!FDb) {
    if (!Exists()) return nullptr;
    try {
      FDb = Open("", SQLITE_OPEN_READWRITE);
      FHasSchema = HasSchema(FDb.get(), "read");
    } catch (const EHiveReadOnly&) {
      FDb.reset();
      OpenWithoutIndex();
    }
  }
  // Another process may be creating the hive right now: look again until it is there.
  if (!FHasSchema) FHasSchema = HasSchema(FDb.get(), "read");
  return FHasSchema ? FDb.get() : nullptr;
}

// Reading a write-ahead-logged database needs its shared-memory index, which
// this process could neither open nor create (a folder it may not write).
// Without a log, or with an empty one, the main file holds every change and is
// read as it stands. A log with content holds changes that only the index
// reaches: reading the main file alone would give stale values, so refuse.
// (A log that its owner starts after this check is not seen: the values read
// are then those from before that write, as for any reader that came first.)
void THive::OpenWithoutIndex() {
  TDb Db = Open("immutable=1", SQLITE_OPEN_READONLY);
  struct stat Log;
  if (stat((FFileName + "-wal").c_str(), &Log) == 0 && Log.st_size > 0)
    Fail("Cannot read " + Describe() + ": its write-ahead log '" + FFileName +
         "-wal' holds changes that cannot be read without the shared-memory file '" + FFileName +
         "-shm', which this user may not create in the folder; let the hive's owner open it once, or make the "
         "folder writable");
  FDb = std::move(Db);
}

sqlite3* THive::ForWriting() {
  if (FWritable) return FDb.get();
  Exists();
  CreateFolder();
  TDb Db = Open("", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (sqlite3_db_readonly(Db.get(), "main") == 1)
    throw EHiveReadOnly(FRootKey, FFileName, "Cannot write " + Describe() + ": the file is read-only for this user");
  // Checked first, so that another program's database or a damaged file is
  // refused before anything (even its journal mode) is changed.
  bool Ready = HasSchema(Db.get(), "write");
  if (Ready) CheckIntegrity(Db.get(), "write");
  UseWriteAheadLog(Db.get());
  Exec(Db.get(), "PRAGMA synchronous = NORMAL");
  if (!Ready) {
    TWriteTransaction Transaction(*this, Db.get());
    if (!HasSchema(Db.get(), "write")) Exec(Db.get(), SchemaSql);  // another process may have been first
    Transaction.Commit();
  }
  FDb = std::move(Db);
  FHasSchema = FWritable = true;
  return FDb.get();
}

// Switching to the write-ahead log needs the file to this connection alone for
// a moment, and SQLite reports a busy file at once instead of waiting for it;
// two processes creating the hive together meet here, so wait like a writer.
void THive::UseWriteAheadLog(sqlite3* Db) const {
  for (int Waited = 0;; Waited += 10) {
    int Rc = sqlite3_exec(Db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
    if ((Rc & 0xFF) != SQLITE_BUSY || Waited >= BusyTimeoutMs) {
      if (Rc != SQLITE_OK) Raise("write", Rc, Db);
      return;
    }
    sqlite3_sleep(10);
  }
}

void THive::CreateFolder() const {
  fs::path Dir = fs::path(FFileName).parent_path();
  std::error_code Ec;
  if (Dir.empty() || fs::is_directory(Dir, Ec)) return;
  fs::create_directories(Dir, Ec);
  if (Ec)
    throw EHiveReadOnly(FRootKey, FFileName,
                        "Cannot create the registry folder '" + Dir.string() + "': " + Ec.message());
  // The hives may hold private settings: the folder is the user's alone.
  fs::permissions(Dir, fs::perms::owner_all, fs::perm_options::replace, Ec);
}

void CheckRegistryHive(HKEY ARootKey) {
  THive Hive(ARootKey);
  if (sqlite3* Db = Hive.ForReading()) Hive.CheckIntegrity(Db, "read");
}

// A key path split into its names; empty names (doubled, leading or trailing
// backslashes) are dropped.
struct TRegistry::TKeyPath {
  bool Absolute = false;
  std::vector<std::string> Names;

  explicit TKeyPath(const std::string& Key) : Absolute(!Key.empty() && Key[0] == '\\') {
    for (size_t Start = 0; Start <= Key.size();) {
      size_t End = std::min(Key.find('\\', Start), Key.size());
      if (End > Start) Names.push_back(Key.substr(Start, End - Start));
      Start = End + 1;
    }
  }
};

struct TRegistry::TFoundKey {
  int64_t Id = 0;  // 0: missing
  std::string Path;
};

struct TRegistry::TValue {
  uint32_t Type = 0;
  std::string Text;
  int64_t Number = 0;
};

// Follows the names down from AFrom. With ACreate it adds the keys that are
// missing; the caller then holds a write transaction.
TRegistry::TFoundKey TRegistry::WalkKeys(sqlite3* Db, TFoundKey AFrom, const std::vector<std::string>& Names,
                                         bool ACreate) {
  for (const std::string& Name : Names) {
    TQuery Find(Hive(), Db, "SELECT id, name FROM keys WHERE parent_id = ?1 AND name = ?2", ACreate ? "write" : "read");
    Find.Bind(AFrom.Id).Bind(Name);
    std::string Stored = Name;
    if (Find.Step()) {
      AFrom.Id = Find.Int(0);
      Stored = Find.Text(1);
    } else if (!ACreate) {
      return {};
    } else {
      TQuery Add(Hive(), Db, "INSERT INTO keys (parent_id, name) VALUES (?1, ?2)", "write");
      Add.Bind(AFrom.Id).Bind(Name).Step();
      AFrom.Id = sqlite3_last_insert_rowid(Db);
    }
    AFrom.Path += (AFrom.Path.empty() ? "" : "\\") + Stored;
  }
  return AFrom;
}

TRegistry::TRegistry() = default;

TRegistry::~TRegistry() = default;

void TRegistry::SetRootKey(HKEY AValue) {
  CloseKey();
  FRootKey = AValue;
  FHive.reset();
}

THive& TRegistry::Hive() {
  if (!FHive) FHive = std::make_unique<THive>(FRootKey);
  return *FHive;
}

int64_t TRegistry::CurrentKeyId() const { return FCurrentKey ? FCurrentKey : RootId; }

std::string TRegistry::KeyDisplayName(const std::string& APath) const {
  return RootKeyName(FRootKey) + (APath.empty() ? "" : "\\" + APath);
}

std::string TRegistry::PathDisplayName(const TKeyPath& APath) const {
  std::string Path = APath.Absolute ? "" : FCurrentPath;
  for (const std::string& Name : APath.Names) Path += (Path.empty() ? "" : "\\") + Name;
  return KeyDisplayName(Path);
}

bool TRegistry::Fail(const std::string& Why) {
  FLastErrorMsg = Why;
  return false;
}

TRegistry::TFoundKey TRegistry::StartOf(const TKeyPath& APath) const {
  if (APath.Absolute || !FCurrentKey) return {RootId, ""};
  return {FCurrentKey, FCurrentPath};
}

TRegistry::TFoundKey TRegistry::FindKey(const TKeyPath& APath) {
  sqlite3* Db = Hive().ForReading();
  if (!Db) return APath.Names.empty() ? StartOf(APath) : TFoundKey{};
  return WalkKeys(Db, StartOf(APath), APath.Names, false);
}

bool TRegistry::OpenKey(const std::string& Key, bool CanCreate) {
  FLastErrorMsg.clear();
  TKeyPath Path(Key);
  TFoundKey Found;
  if (!CanCreate) {
    Found = FindKey(Path);
    if (!Found.Id) return Fail("The key " + PathDisplayName(Path) + " does not exist");
  } else {
    for (const std::string& Name : Path.Names)
      if (!IsValidName(Name))
        return Fail("Cannot create the key " + Printable(PathDisplayName(Path)) +
                    ": key names cannot hold control characters");
    try {
      sqlite3* Db = Hive().ForWriting();
      TWriteTransaction Transaction(Hive(), Db);
      Found = WalkKeys(Db, StartOf(Path), Path.Names, true);
      Transaction.Commit();
    } catch (const EHiveReadOnly& E) {
      return Fail(E.Message());
    }
  }
  FCurrentKey = Found.Id;
  FCurrentPath = Found.Path;
  return true;
}

void TRegistry::CloseKey() {
  FCurrentKey = 0;
  FCurrentPath.clear();
}

bool TRegistry::KeyExists(const std::string& Key) { return FindKey(TKeyPath(Key)).Id != 0; }

bool TRegistry::DeleteKey(const std::string& Key) {
  FLastErrorMsg.clear();
  TKeyPath Path(Key);
  TFoundKey Found = FindKey(Path);
  if (!Found.Id) return Fail("The key " + PathDisplayName(Path) + " does not exist");
  if (Found.Id == RootId) return Fail("The root key " + KeyDisplayName("") + " cannot be deleted");
  try {
    sqlite3* Db = Hive().ForWriting();
    TWriteTransaction Transaction(Hive(), Db);
    // Found again inside the transaction: another process may have moved on.
    Found = WalkKeys(Db, StartOf(Path), Path.Names, false);
    if (!Found.Id) return Fail("The key " + PathDisplayName(Path) + " does not exist");
    // One statement for the whole subtree, so the parent references hold at its end.
    TQuery Delete(Hive(), Db,
                  "WITH RECURSIVE subtree(id) AS (SELECT ?1 UNION ALL "
                  "SELECT keys.id FROM keys JOIN subtree ON keys.parent_id = subtree.id) "
                  "DELETE FROM keys WHERE id IN subtree",
                  "write");
    Delete.Bind(Found.Id).Step();
    Transaction.Commit();
  } catch (const EHiveReadOnly& E) {
    return Fail(E.Message());
  }
  return true;
}

void TRegistry::GetKeyNames(std::vector<std::string>& Strings) {
  Strings.clear();
  sqlite3* Db = Hive().ForReading();
  if (!Db) return;
  TQuery Names(Hive(), Db, "SELECT name FROM keys WHERE parent_id = ?1 ORDER BY name");
  Names.Bind(CurrentKeyId());
  while (Names.Step()) Strings.push_back(Names.Text(0));
}

void TRegistry::GetValueNames(std::vector<std::string>& Strings) {
  Strings.clear();
  sqlite3* Db = Hive().ForReading();
  if (!Db) return;
  TQuery Names(Hive(), Db, "SELECT name FROM key_values WHERE key_id = ?1 ORDER BY name");
  Names.Bind(CurrentKeyId());
  while (Names.Step()) Strings.push_back(Names.Text(0));
}

bool TRegistry::ReadValue(const std::string& Name, TValue& Value) {
  sqlite3* Db = Hive().ForReading();
  if (!Db) return false;
  TQuery Query(Hive(), Db, "SELECT type, data FROM key_values WHERE key_id = ?1 AND name = ?2");
  Query.Bind(CurrentKeyId()).Bind(Name);
  if (!Query.Step()) return false;
  Value.Type = static_cast<uint32_t>(Query.Int(0));
  if (Value.Type == REG_DWORD)
    Value.Number = Query.Int(1);
  else
    Value.Text = Query.Text(1);
  return true;
}

void TRegistry::CheckType(const std::string& Name, const TValue& Value, uint32_t Expected) const {
  if (Value.Type != Expected)
    throw ERegistryException("Invalid data type for '" + Name + "' in " + KeyDisplayName(FCurrentPath) +
                             ": it holds " + TypeName(Value.Type) + ", not " + TypeName(Expected));
}

void TRegistry::WriteValue(const std::string& Name, const TValue& Value) {
  const std::string Failed =
      "Failed to set data for '" + Printable(Name) + "' in " + KeyDisplayName(FCurrentPath) + ": ";
  // Value names obey the rule of key names, so that every name can be listed and exported.
  if (!IsValidName(Name)) throw ERegistryException(Failed + "value names cannot hold control characters");
  try {
    sqlite3* Db = Hive().ForWriting();
    TQuery Write(Hive(), Db,
                 "INSERT INTO key_values (key_id, name, type, data) VALUES (?1, ?2, ?3, ?4) "
                 "ON CONFLICT (key_id, name) DO UPDATE SET type = excluded.type, data = excluded.data",
                 "write");
    Write.Bind(CurrentKeyId()).Bind(Name).Bind(Value.Type);
    if (Value.Type == REG_DWORD)
      Write.Bind(Value.Number);
    else
      Write.Bind(Value.Text);
    Write.Step();
  } catch (const EHiveError& E) {
    throw EHiveError(E.RootKey(), E.FileName(), Failed + E.Message());
  } catch (const ERegistryException& E) {
    throw ERegistryException(Failed + E.Message());
  }
}

bool TRegistry::ValueExists(const std::string& Name) {
  TValue Value;
  return ReadValue(Name, Value);
}

TRegDataType TRegistry::GetDataType(const std::string& Name) {
  TValue Value;
  if (!ReadValue(Name, Value)) return rdUnknown;
  switch (Value.Type) {
    case REG_SZ: return rdString;
    case REG_DWORD: return rdInteger;
    default: return rdUnknown;
  }
}

bool TRegistry::DeleteValue(const std::string& Name) {
  FLastErrorMsg.clear();
  if (!ValueExists(Name)) return Fail("There is no value '" + Name + "' in " + KeyDisplayName(FCurrentPath));
  try {
    sqlite3* Db = Hive().ForWriting();
    TQuery Delete(Hive(), Db, "DELETE FROM key_values WHERE key_id = ?1 AND name = ?2", "write");
    Delete.Bind(CurrentKeyId()).Bind(Name).Step();
  } catch (const EHiveReadOnly& E) {
    return Fail(E.Message());
  }
  return true;
}

std::string TRegistry::ReadString(const std::string& Name) {
  TValue Value;
  if (!ReadValue(Name, Value)) return "";
  CheckType(Name, Value, REG_SZ);
  return Value.Text;
}

int32_t TRegistry::ReadInteger(const std::string& Name) {
  TValue Value;
  if (!ReadValue(Name, Value))
    throw ERegistryException("Failed to get data for '" + Name + "' in " + KeyDisplayName(FCurrentPath) +
                             ": there is no such value");
  CheckType(Name, Value, REG_DWORD);
  return static_cast<int32_t>(Value.Number);
}

bool TRegistry::ReadBool(const std::string& Name) { return ReadInteger(Name) != 0; }

void TRegistry::WriteString(const std::string& Name, const std::string& Value) {
  WriteValue(Name, {REG_SZ, Value, 0});
}

void TRegistry::WriteInteger(const std::string& Name, int32_t Value) { WriteValue(Name, {REG_DWORD, "", Value}); }

void TRegistry::WriteBool(const std::string& Name, bool Value) { WriteInteger(Name, Value ? 1 : 0); }

TRegistry::TUpdate::TUpdate(TRegistry& ARegistry) : FRegistry(ARegistry), FDb(ARegistry.Hive().ForWriting()) {
  FRegistry.Hive().Exec(FDb, "BEGIN IMMEDIATE");
}

TRegistry::TUpdate::~TUpdate() {
  if (FDb) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
}

void TRegistry::TUpdate::Commit() {
  FRegistry.Hive().Exec(FDb, "COMMIT");
  FDb = nullptr;
}

TRegistry::TSavedKey::TSavedKey(TRegistry& ARegistry)
    : FRegistry(ARegistry), FKey(ARegistry.FCurrentKey), FPath(ARegistry.FCurrentPath) {}

TRegistry::TSavedKey::~TSavedKey() {
  FRegistry.FCurrentKey = FKey;
  FRegistry.FCurrentPath = FPath;
}

// Each operation names its section from the root, so a constructor that could
// not open the key never makes sections land under the root itself.
TRegIniFile::TRegIniFile(const std::string& AFileName) : FFileName(AFileName) {
  if (!OpenKey(SectionPath(""), true)) OpenKey(SectionPath(""), false);
}

std::string TRegIniFile::SectionPath(const std::string& Section) const { return "\\" + FFileName + "\\" + Section; }

std::string TRegIniFile::ReadString(const std::string& Section, const std::string& Ident, const std::string& Default) {
  TSavedKey Saved(*this);
  if (!OpenKey(SectionPath(Section), false) || !ValueExists(Ident)) return Default;
  return TRegistry::ReadString(Ident);
}

// Integers are kept as text, as INI files keep them; a value stored as an
// integer reads as well.
int32_t TRegIniFile::ReadInteger(const std::string& Section, const std::string& Ident, int32_t Default) {
  TSavedKey Saved(*this);
  if (!OpenKey(SectionPath(Section), false)) return Default;
  switch (GetDataType(Ident)) {
    case rdString: {
      std::string Text = TRegistry::ReadString(Ident);
      int32_t Result = Default;
      auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Result);
      return Error == std::errc() && End == Text.data() + Text.size() ? Result : Default;
    }
    case rdUnknown: return Default;
    default: return TRegistry::ReadInteger(Ident);
  }
}

bool TRegIniFile::ReadBool(const std::string& Section, const std::string& Ident, bool Default) {
  return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

void TRegIniFile::WriteString(const std::string& Section, const std::string& Ident, const std::string& Value) {
  TSavedKey Saved(*this);
  if (!OpenKey(SectionPath(Section), true))
    throw ERegistryException("Failed to set data for '" + Ident + "': " + LastErrorMsg());
  TRegistry::WriteString(Ident, Value);
}

void TRegIniFile::WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value) {
  WriteString(Section, Ident, std::to_string(Value));
}

void TRegIniFile::WriteBool(const std::string& Section, const std::string& Ident, bool Value) {
  WriteString(Section, Ident, Value ? "1" : "0");
}

}  // namespace Vantry
