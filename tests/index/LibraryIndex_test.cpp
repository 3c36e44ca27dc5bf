#include "index/LibraryIndex.h"

#include "index/DeclarationTable.h"

#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

using namespace Vantry;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

namespace fs = std::filesystem;

class LibraryIndexTest : public ::testing::Test {
protected:
  // The relative path of every file a walk of the tree finds, in walk order.
  std::vector<std::string> Walked(const std::string& ARoot, TWalkReport* AReport = nullptr) {
    std::vector<std::string> paths;
    std::atomic<bool> cancel{false};
    TWalkReport report = WalkLibrary(ARoot, cancel, [&](std::string_view AFolder, std::vector<TWalkedFile>& AFiles) {
      for (const TWalkedFile& file : AFiles) paths.push_back(std::string(AFolder) + file.Name);
    });
    if (AReport) *AReport = report;
    return paths;
  }

  std::vector<std::string> Indexed(const TLibraryIndex& AIndex) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < AIndex.Files().FileCount(); ++i) paths.push_back(AIndex.Files().RelativePath(i));
    return paths;
  }

  VantryTest::TTempDir Temp;
};

TEST_F(LibraryIndexTest, IndexesPascalSourcesByExtensionIgnoringCaseAndNamesByteForByte) {
  for (const char* name : {"Src/Rtl/Sys/System.PAS", "Src/Rtl/unix.pp", "Src/a.P", "Src/b.inc", "Src/c.lpr",
                           "Src/d.DPR", "Src/.dot.pas", "Src/caf\xe9.pas", "Src/notes.txt", "Src/x.pas.bak",
                           "Src/.git/hidden.pas", "Src/pas"})
    Temp.WriteFile(name);
  ASSERT_EQ(mkfifo((Temp / "Src/pipe.pas").c_str(), 0600), 0);  // not a file to open
  EXPECT_THAT(Walked(Temp / "Src"), ElementsAre(".dot.pas", "a.P", "b.inc", "c.lpr", "caf\xe9.pas", "d.DPR",
                                               "Rtl/unix.pp", "Rtl/Sys/System.PAS"));
  TWalkReport report;
  EXPECT_TRUE(Walked(Temp / "missing", &report).empty());
  EXPECT_EQ(report.Error, "No such file or directory");
  EXPECT_TRUE(Walked("", &report).empty());
  EXPECT_FALSE(report.Error.empty());
}

// Links: one back into the tree or to a folder holding it is left out (the
// files are there under their own paths), one to a folder outside is
// followed, and a folder reached twice is walked once.
TEST_F(LibraryIndexTest, FollowsLinksOutOfTheTreeAndWalksEveryFolderOnce) {
  Temp.WriteFile("Src/Rtl/rtl.pas");
  Temp.WriteFile("Outside/o.pas");
  Temp.WriteFile("Outside/file.pas");
  const std::vector<std::pair<std::string, std::string>> links = {
      {"Src/Rtl/again", "../../Src"}, {"Src/up", ".."},           {"Src/ext", Temp / "Outside"},
      {"Src/ext2", "../Outside"},     {"Src/linked.pas", "../Outside/file.pas"}, {"Src/broken.pas", "nowhere.pas"}};
  for (const auto& [link, target] : links) ASSERT_EQ(symlink(target.c_str(), (Temp / link).c_str()), 0) << link;
  TWalkReport report;
  EXPECT_THAT(Walked(Temp / "Src", &report), ElementsAre("linked.pas", "Rtl/rtl.pas", "ext/file.pas", "ext/o.pas"));
  EXPECT_EQ(report.LinksInside, 2);
  EXPECT_EQ(report.Repeated, 1);
  // A link to a hidden folder inside the tree is the only way to its files.
  Temp.WriteFile("Src/.private/Units/Secret.pas");
  ASSERT_EQ(symlink(".private/Units", (Temp / "Src/Units").c_str()), 0);
  EXPECT_THAT(Walked(Temp / "Src"), ElementsAre("linked.pas", "Rtl/rtl.pas", "Units/Secret.pas", "ext/file.pas", "ext/o.pas"));
  // Walked through a link, the root's files keep the link's path.
  ASSERT_EQ(symlink((Temp / "Src").c_str(), (Temp / "SrcLink").c_str()), 0);
  EXPECT_EQ(Walked(Temp / "SrcLink").size(), 5u);
}

TEST_F(LibraryIndexTest, SkipsUnreadableFoldersAndGoesOn) {
  Temp.WriteFile("Src/Locked/l.pas");
  Temp.WriteFile("Src/Open/o.pas");
  fs::permissions(Temp.Path(), fs::perms(0755));
  fs::permissions(Temp / "Src/Locked", fs::perms::none);
  int status = VantryTest::WaitChild(VantryTest::StartChild([&] {
    if (!VantryTest::DropRootPrivileges()) return 97;
    TWalkReport report;
    std::vector<std::string> paths = Walked(Temp / "Src", &report);
    return paths == std::vector<std::string>{"Open/o.pas"} && report.Unreadable == 1 ? 0 : 1;
  }));
  EXPECT_EQ(status, 0);
}

// Paths longer than the system's limit are walked (each folder is opened
// from its parent); the walk stops descending at its depth limit.
TEST_F(LibraryIndexTest, WalksPathsLongerThanTheSystemLimitDownToItsDepthLimit) {
  const std::string part(50, 'd');
  int fd = open(Temp.MakeDir("Src").c_str(), O_RDONLY | O_DIRECTORY);
  std::vector<int> chain{fd};
  for (int depth = 1; depth <= MaxWalkDepth + 5; ++depth) {
    ASSERT_EQ(mkdirat(chain.back(), part.c_str(), 0755), 0);
    chain.push_back(openat(chain.back(), part.c_str(), O_RDONLY | O_DIRECTORY));
    if (depth == 100 || depth == MaxWalkDepth + 5) close(openat(chain.back(), "deep.pas", O_CREAT | O_WRONLY, 0644));
  }
  TWalkReport report;
  std::vector<std::string> paths = Walked(Temp / "Src", &report);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_GT(paths[0].size(), static_cast<size_t>(PATH_MAX));
  EXPECT_EQ(report.TooDeep, 1);
  // Taken down from the bottom, since the temporary folder's removal uses
  // full paths.
  for (size_t i = chain.size() - 1; i > 0; --i) {
    unlinkat(chain[i], "deep.pas", 0);
    close(chain[i]);
    unlinkat(chain[i - 1], part.c_str(), AT_REMOVEDIR);
  }
  close(fd);
}

TEST_F(LibraryIndexTest, ARefreshReplacesTheTableOnlyWhenItIsComplete) {
  Temp.WriteFile("Src/a.pas");
  Temp.WriteFile("Src/Sub/b.pas");
  TLibraryIndex index;
  index.Refresh(Temp / "Src");
  ASSERT_TRUE(index.WaitForWalk(std::chrono::seconds(20)));
  EXPECT_TRUE(index.Complete());
  EXPECT_THAT(Indexed(index), ElementsAre("a.pas", "Sub/b.pas"));
  const uint64_t generation = index.Generation();

  fs::remove(Temp / "Src/a.pas");
  Temp.WriteFile("Src/Sub/c.pp");
  index.Refresh(Temp / "Src");
  EXPECT_THAT(Indexed(index), ElementsAre("a.pas", "Sub/b.pas"));  // until the new walk is done
  ASSERT_TRUE(index.WaitForWalk(std::chrono::seconds(20)));
  EXPECT_THAT(Indexed(index), ElementsAre("Sub/b.pas", "Sub/c.pp"));
  EXPECT_NE(index.Generation(), generation);
  EXPECT_EQ(index.Files().FullPath(0), Temp / "Src/Sub/b.pas");

  // Another folder: the old files go at once.
  Temp.WriteFile("Other/x.inc");
  index.Refresh(Temp / "Other");
  EXPECT_EQ(index.Files().FileCount(), 0u);
  EXPECT_FALSE(index.Complete());
  ASSERT_TRUE(index.WaitForWalk(std::chrono::seconds(20)));
  EXPECT_THAT(Indexed(index), ElementsAre("x.inc"));
}

// The walk's thread ends with the index, even in the middle of a walk.
TEST_F(LibraryIndexTest, GoingAwayStopsTheWalk) {
  for (int i = 0; i < 200; ++i) Temp.WriteFile("Src/F" + std::to_string(i) + "/u.pas");
  auto index = std::make_unique<TLibraryIndex>();
  index->Refresh(Temp / "Src");
  index.reset();
  TLibraryIndex stopped;
  stopped.Refresh(Temp / "Src");
  stopped.Stop();
  EXPECT_FALSE(stopped.Walking());
  EXPECT_FALSE(stopped.Complete());
  stopped.Refresh(Temp / "Src");  // starts over: nothing left by the stopped walk counts twice
  ASSERT_TRUE(stopped.WaitForWalk(std::chrono::seconds(20)));
  EXPECT_EQ(stopped.Files().FileCount(), 200u);
}

}  // namespace

namespace {

// Every declaration of the index's table, as "path Owner.Name".
std::vector<std::string> Declared(const TLibraryIndex& AIndex) {
  std::vector<std::string> names;
  if (const auto table = AIndex.Declarations())
    for (uint32_t d = 0; d < table->Count(); ++d)
      names.push_back(std::string(table->FilePath(table->FileOf(d))) + " " + table->QualifiedName(d));
  return names;
}

}  // namespace

// Asked for while a walk of the names alone runs, the declarations come
// with the walk that follows it.
TEST_F(LibraryIndexTest, DeclarationsAskedForDuringAWalkFollowIt) {
  for (int i = 0; i < 50; ++i) Temp.WriteFile("Src/F" + std::to_string(i) + "/u.pas", "unit U;\n");
  TLibraryIndex index;
  index.SetCacheFolder(Temp / "cache");
  index.Refresh(Temp / "Src");
  index.Refresh(Temp / "Src", true);
  ASSERT_TRUE(index.WaitForWalk(std::chrono::seconds(20)));
  ASSERT_NE(index.Declarations(), nullptr);
  EXPECT_EQ(index.Declarations()->Count(), 50u);
}

// The declarations are read for the index's target: a new target reads
// them anew (a branch its compiler skips is another one's), each target
// with a cache file of its own; links and flags come back from the cache.
TEST_F(LibraryIndexTest, TheDeclarationsAreReadForTheTarget) {
  Temp.WriteFile("Src/u.pas",
                 "unit U;\ninterface\nuses Classes;\n{$i u.inc}\n{$ifdef CPU64}\nconst Wide = 1;\n{$else}\n"
                 "const Narrow = 1;\n{$endif}\nimplementation\nend.\n");
  auto skipped = [](const TLibraryIndex& AIndex) {
    std::vector<std::string> names;
    const auto table = AIndex.Declarations();
    for (uint32_t d = 0; table && d < table->Count(); ++d)
      if (table->Entry(d).Skipped()) names.push_back(std::string(table->Name(d)));
    return names;
  };
  for (int run = 0; run < 2; ++run) {  // the second from the cache
    SCOPED_TRACE(run);
    TLibraryIndex index;
    index.SetCacheFolder(Temp / "cache");
    index.SetTarget(*ParseTarget("x86_64-linux"));
    index.Refresh(Temp / "Src", true);
    ASSERT_TRUE(index.WaitForWalk(std::chrono::seconds(20)));
    EXPECT_THAT(skipped(index), ElementsAre("Narrow"));
    EXPECT_EQ(index.Declarations()->FileLinks(0), std::string("uClasses\0iu.inc\0", 16));
    const uint64_t generation = index.DeclarationGeneration();
    index.SetTarget(*ParseTarget("i386-win32"));
    index.Refresh(Temp / "Src", true);
    ASSERT_TRUE(index.WaitForWalk(std::chrono::seconds(20)));
    EXPECT_NE(index.DeclarationGeneration(), generation);
    EXPECT_EQ(index.Declarations()->Target(), "i386-win32-win32");
    EXPECT_THAT(skipped(index), ElementsAre("Wide"));
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Temp / "cache"), std::filesystem::directory_iterator()), 2);
}

// The declarations are kept in the cache folder, and each build takes from
// it every file whose size and modification time are unchanged: a file
// changed behind that (same size, old time) shows that it was not read.
TEST_F(LibraryIndexTest, TheDeclarationCacheIsRefreshedFileByFile) {
  const std::string source = Temp / "Src";
  Temp.WriteFile("Src/a.pas", "unit A;\ninterface\nconst One = 1;\nimplementation\nend.\n");
  Temp.WriteFile("Src/b.inc", "function Two: Integer;\n");
  struct TStep {
    const char* What;
    std::function<void()> Change;
    std::vector<std::string> Expected;
  };
  auto keepTime = [&](const char* AFile, const std::string& AContent) {
    struct stat before;
    ASSERT_EQ(stat((Temp / AFile).c_str(), &before), 0);
    Temp.WriteFile(AFile, AContent);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, (Temp / AFile).c_str(), times, 0), 0);
  };
  const std::vector<TStep> steps = {
      {"first build", [] {}, {"a.pas A", "a.pas One", "b.inc Two"}},
      {"same size and time: taken from the cache", [&] { keepTime("Src/a.pas", "unit A;\ninterface\nconst Uno = 1;\nimplementation\nend.\n"); },
       {"a.pas A", "a.pas One", "b.inc Two"}},
      {"changed", [&] { Temp.WriteFile("Src/b.inc", "function Three: Integer;\n"); }, {"a.pas A", "a.pas One", "b.inc Three"}},
      {"added", [&] { Temp.WriteFile("Src/c.pp", "procedure Four;\n"); },
       {"a.pas A", "a.pas One", "b.inc Three", "c.pp Four"}},
      {"removed", [&] { fs::remove(Temp / "Src/a.pas"); }, {"b.inc Three", "c.pp Four"}},
      {"damaged cache", [&] {
         for (const auto& entry : fs::directory_iterator(Temp / "cache")) fs::resize_file(entry.path(), 100);
       }, {"b.inc Three", "c.pp Four"}},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.What);
    step.Change();
    TLibraryIndex index;  // a new one each time, as at the IDE's next start: only the cache carries over
    index.SetCacheFolder(Temp / "cache");
    index.Refresh(source, true);
    ASSERT_TRUE(index.WaitForWalk(std::chrono::seconds(20)));
    EXPECT_THAT(Declared(index), ElementsAreArray(step.Expected));
  }
}

// A cache file that is damaged, cut short, of another version, of another
// folder or of another target is read as none, and the table stays as it was.
TEST_F(LibraryIndexTest, ADamagedCacheFileIsReadAsNone) {
  TDeclarationTableBuilder builder("/lib");
  TDeclarationScanner scanner;
  builder.AddFile("a.pas", 10, 20, scanner.Scan("unit A;\ninterface\ntype TList = class procedure Sort; end;\n", false));
  const TDeclarationTable table = builder.Finish();
  const std::string file = Temp / "cache.idx";
  ASSERT_TRUE(table.Save(file));
  const std::string good = VantryTest::FileContent(file);
  struct TDamage {
    const char* What;
    std::function<void(std::string&)> Do;
    const char* Root;
    const char* Target = "";
  };
  const std::vector<TDamage> rows = {
      {"a flipped byte", [](std::string& A) { A[A.size() / 2] ^= 1; }, "/lib"},
      {"cut short", [](std::string& A) { A.resize(A.size() - 5); }, "/lib"},
      {"only the header", [](std::string& A) { A.resize(40); }, "/lib"},
      {"another version", [](std::string& A) { A[8] ^= 1; }, "/lib"},
      {"another folder", [](std::string&) {}, "/other"},
      {"another target", [](std::string&) {}, "/lib", "i386-win32"},
  };
  for (const TDamage& row : rows) {
    SCOPED_TRACE(row.What);
    std::string bytes = good;
    row.Do(bytes);
    Temp.WriteFile("cache.idx", bytes);
    TDeclarationTable loaded;
    EXPECT_FALSE(loaded.Load(file, row.Root, row.Target));
    EXPECT_EQ(loaded.Count(), 0u);
  }
  Temp.WriteFile("cache.idx", good);
  TDeclarationTable loaded;
  ASSERT_TRUE(loaded.Load(file, "/lib"));
  EXPECT_EQ(loaded.QualifiedName(2), "TList.Sort");
  EXPECT_EQ(loaded.File(0).ModifiedNs, 20);
}

namespace {

// Sets the file's modification time (and access time) to ASeconds.
void SetTime(const std::string& APath, time_t ASeconds) {
  const timespec times[2] = {{ASeconds, 0}, {ASeconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, APath.c_str(), times, 0), 0) << APath;
}

// The names of the files in the cache folder.
std::vector<std::string> CacheFiles(const std::string& AFolder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(AFolder, error)) names.push_back(entry.path().filename().string());
  return names;
}

// Makes the working directory AFolder while it lives.
struct TWorkingDirectory {
  explicit TWorkingDirectory(const std::string& AFolder) : Before(fs::current_path()) { fs::current_path(AFolder); }
  ~TWorkingDirectory() { fs::current_path(Before); }
  fs::path Before;
};

}  // namespace

// The cache is the folder's, not the text that named it: the same relative
// path in two places, with files of the same sizes and times, gives each
// place its own declarations (under the path as given); a link and its
// target share one cache file; a folder that cannot be read leaves none.
TEST_F(LibraryIndexTest, TheCacheBelongsToTheFolderReachedNotToItsName) {
  const std::string cache = Temp / "cache";
  for (const char* place : {"A", "B"}) {
    Temp.WriteFile(std::string(place) + "/Src/u.pas", std::string("unit U;\ninterface\nconst ") + place + "1 = 1;\n");
    SetTime(Temp / (std::string(place) + "/Src/u.pas"), 1000000000);
  }
  ASSERT_EQ(symlink((Temp / "A/Src").c_str(), (Temp / "Link").c_str()), 0);
  struct TRow {
    const char* WorkingDirectory;
    std::string Root;
    std::vector<std::string> Expected;  // "path name" of each declaration, or "error" for a root that fails
  };
  const std::vector<TRow> rows = {
      {"A", "Src", {"Src/u.pas U", "Src/u.pas A1"}},
      {"B", "Src", {"Src/u.pas U", "Src/u.pas B1"}},
      {"B", "../Link", {"../Link/u.pas U", "../Link/u.pas A1"}},
      {"B", "Missing", {"error"}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(std::string(row.WorkingDirectory) + " " + row.Root);
    TWorkingDirectory here(Temp / row.WorkingDirectory);
    TLibraryIndex index;
    index.SetCacheFolder(cache);
    index.Refresh(row.Root, true);
    ASSERT_TRUE(index.WaitForWalk(std::chrono::seconds(20)));
    if (row.Expected == std::vector<std::string>{"error"}) {
      EXPECT_NE(index.LastReport().Error, "");
      continue;
    }
    std::vector<std::string> found;
    const auto table = index.Declarations();
    ASSERT_NE(table, nullptr);
    for (uint32_t d = 0; d < table->Count(); ++d)
      found.push_back(table->FullPath(table->FileOf(d)) + " " + table->QualifiedName(d));
    EXPECT_EQ(found, row.Expected);
  }
  EXPECT_EQ(CacheFiles(cache).size(), 2u);  // A's (also the link's) and B's: none for the missing folder
}

// Writers that save to one cache file at once never mix their files: each
// writes a temporary file of its own, so the file in place is always one
// whole table, and no temporary file is left behind.
TEST_F(LibraryIndexTest, CacheWritersAtOnceLeaveOneWholeTable) {
  Temp.MakeDir("lib");
  std::vector<TDeclarationTable> tables;
  TDeclarationScanner scanner;
  for (int w = 0; w < 4; ++w) {
    TDeclarationTableBuilder builder(Temp / "lib");
    for (int f = 0; f < 400 * (w + 1); ++f)
      builder.AddFile("f" + std::to_string(f) + ".pas", f, w, scanner.Scan("unit F;\ninterface\nconst C = 1;\n", false));
    tables.push_back(builder.Finish());
  }
  const std::string file = Temp / "cache/declarations.idx";
  std::atomic<int> failed{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w)
    writers.emplace_back([&, w] {
      for (int i = 0; i < 25; ++i) failed += !tables[w].Save(file);
    });
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(failed, 0);
  TDeclarationTable loaded;
  ASSERT_TRUE(loaded.Load(file, Temp / "lib"));
  EXPECT_EQ(loaded.FileCount() % 400, 0u);
  EXPECT_EQ(loaded.Count(), 2 * loaded.FileCount());
  EXPECT_THAT(CacheFiles(Temp / "cache"), ElementsAre("declarations.idx"));
}
