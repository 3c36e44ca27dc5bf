// A user's project beside libraries, as one workspace: each folder walked
// and cached by itself, their tables merged in the compiler's unit search
// order, and the resolver and the references answering across them.

#include "index/Workspace.h"
#include "navigation/References.h"
#include "navigation/Resolver.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

using namespace Vantry;
using VantryTest::FileContent;

namespace {

// A library with namesakes of the project's names, and a second one with a
// unit of the same name as one of the first's (Free Vision's Menus and the
// LCL's).
constexpr std::pair<const char*, const char*> Sources[] = {
    {"proj/books.lpi", "<project/>\n"},
    {"proj/books.lpr", "program Books;\n{$mode objfpc}\nuses Ledger, Tally;\nvar\n  L: TLedger;\nbegin\n"
                       "  L := TLedger.Create;\n  L.Post(1);\n  L.Count;\n  Writeln(Total);\n  Nowhere;\n  Show;\nend.\n"},
    {"proj/ledger.pas", "unit Ledger;\n{$mode objfpc}\ninterface\nuses Lists;\ntype\n  TLedger = class(TList)\n"
                        "    procedure Post(A: Integer);\n  end;\nimplementation\nprocedure TLedger.Post(A: Integer);\n"
                        "begin\n  Add(A);\nend;\nend.\n"},
    {"proj/script.pp", "uses Tally;\nbegin\n  Total;\nend.\n"},
    {"proj/tally.pas", "unit Tally;\ninterface\nfunction Total: Integer;\nimplementation\n"
                       "function Total: Integer;\nbegin\n  Result := 0;\nend;\nend.\n"},
    {"fv/src/lists.pas", "unit Lists;\ninterface\ntype\n  TList = class\n    function Count: Integer;\n"
                         "    procedure Add(A: Integer);\n  end;\nimplementation\n{$i listsimp.inc}\nend.\n"},
    {"fv/src/listsimp.inc", "function TList.Count: Integer;\nbegin\nend;\nprocedure TList.Add(A: Integer);\nbegin\nend;\n"},
    {"fv/src/tally.pas", "unit Tally;\ninterface\nfunction Total: Integer;\nimplementation\nend.\n"},
    {"fv/src/httpd.pas", "unit HttpD;\ninterface\nconst\n  POST = 'POST';\n  Count = 3;\nimplementation\nend.\n"},
    {"fv/src/menus.pas", "unit Menus;\ninterface\nprocedure Show;\nimplementation\nend.\n"},
    {"lcl/menus.pp", "unit Menus;\ninterface\nprocedure Show;\nimplementation\nend.\n"},
    {"lcl/forms.pp", "unit Forms;\ninterface\nuses Menus;\nimplementation\nbegin\n  Show;\nend.\n"},
};

class WorkspaceTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const auto& [path, text] : Sources) Temp.WriteFile(path, text);
    Workspace.SetCacheFolder(Temp / "cache");
    Workspace.SetTarget(*ParseTarget("x86_64-linux"));
  }
  void Open(std::vector<TWorkspaceRoot> ARoots) {
    Workspace.SetRoots(std::move(ARoots), true);
    ASSERT_TRUE(Workspace.WaitForWalk(std::chrono::seconds(30)));
    ASSERT_TRUE(Workspace.Declarations());
  }
  // The first answer for the name at "|" in the file, as PATH:LINE KIND NAME
  // with PATH below the temporary folder; empty for none.
  std::string Definition(const std::string& AFile, const std::string& AMarked) {
    std::string text = FileContent(Temp / AFile);
    std::string marked = AMarked;
    const size_t bar = marked.find('|');
    marked.erase(bar, 1);
    const size_t at = text.find(marked);
    EXPECT_NE(at, std::string::npos) << AMarked;
    TResolver resolver(Workspace.Declarations(), Workspace.Target());
    const TResolution r = resolver.Resolve(Temp / AFile, text, static_cast<uint32_t>(at + bar));
    if (r.Answers.empty()) return "";
    const TAnswer& a = r.Answers.front();
    return a.Path.substr(Temp.Path().string().size() + 1) + ":" + std::to_string(a.Line) + " " + a.Kind + " " + a.Name;
  }
  std::vector<TWorkspaceRoot> Roots() const {
    return {{Temp / "fv", false}, {Temp / "lcl", false}, {ProjectFolderOf(Temp / "proj/books.lpr"), true}};
  }

  VantryTest::TTempDir Temp;
  TWorkspace Workspace;
};

struct TDefinitionRow {
  const char* Name;
  const char* File;
  const char* Marked;
  const char* Expected;
};

TEST_F(WorkspaceTest, AnswersForTheProjectAndTheLibrariesAsTheCompilerBinds) {
  Open(Roots());
  const TDefinitionRow rows[] = {
      {"TheProjectsClass", "proj/books.lpr", "L: TLed|ger", "proj/ledger.pas:6 class TLedger"},
      {"AMethodOfTheProjectsClass", "proj/books.lpr", "L.Po|st", "proj/ledger.pas:7 procedure TLedger.Post"},
      {"AMemberInheritedFromALibraryClass", "proj/books.lpr", "L.Cou|nt", "fv/src/lists.pas:5 function TList.Count"},
      {"TheProjectsUnitShadowsTheLibrarys", "proj/books.lpr", "(Tot|al)", "proj/tally.pas:3 function Total"},
      {"DeclaredNowhereInReach", "proj/books.lpr", "Nowh|ere", ""},
      {"AProgramWithoutItsHeading", "proj/script.pp", "  Tot|al;", "proj/tally.pas:3 function Total"},
      {"AUnitNotUsedIsNotInReach", "proj/books.lpr", "Sh|ow;\nend.", ""},
      {"TheUsingFilesOwnFolderFirst", "lcl/forms.pp", "Sh|ow", "lcl/menus.pp:3 procedure Show"},
      {"InheritedCallInsideTheProject", "proj/ledger.pas", "  Ad|d(A)", "fv/src/lists.pas:6 procedure TList.Add"},
  };
  for (const TDefinitionRow& row : rows) EXPECT_EQ(Definition(row.File, row.Marked), row.Expected) << row.Name;
}

TEST_F(WorkspaceTest, ReferencesOfAProjectDeclarationListItsDeclarationAndUses) {
  Open(Roots());
  const std::string text = FileContent(Temp / "proj/ledger.pas");
  TReferenceSearch search(Workspace.Declarations(), Workspace.Target());
  const TReferenceTarget target =
      search.TargetAt(Temp / "proj/ledger.pas", text, static_cast<uint32_t>(text.find("Post")));
  std::vector<std::string> found;
  for (const TReference& r : search.Find(target))
    found.push_back(r.Path.substr(Temp.Path().string().size() + 1) + ":" + std::to_string(r.Line));
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"proj/books.lpr:8", "proj/ledger.pas:10", "proj/ledger.pas:7"}));
}

TEST_F(WorkspaceTest, FoldersAreReadOnceAndALibraryAddedLater) {
  // A folder inside another, or named twice, counts once; projects first.
  Workspace.SetRoots({{Temp / "fv", false}, {Temp / "fv/src", false}, {Temp / "proj", true}, {Temp / "fv", false}});
  ASSERT_EQ(Workspace.Roots().size(), 2u);
  EXPECT_TRUE(Workspace.Roots()[0].Project);
  // A folder first walked for its files alone is asked for its
  // declarations when they are wanted; adding a library keeps what the
  // others hold.
  Workspace.SetRoots({{Temp / "fv", false}});
  ASSERT_TRUE(Workspace.WaitForWalk(std::chrono::seconds(30)));
  Open({{Temp / "proj", true}, {Temp / "fv", false}});
  const auto before = Workspace.Declarations();
  Open({{Temp / "proj", true}, {Temp / "fv", false}, {Temp / "lcl", false}});
  EXPECT_EQ(Workspace.Declarations()->RootCount(), 3u);
  EXPECT_EQ(Workspace.Files().FileCount(), std::size(Sources) - 1);  // all but the .lpi
  EXPECT_EQ(Workspace.Declarations()->Count(), before->Count() + 3);  // Menus, Show, Forms
  EXPECT_EQ(Definition("lcl/forms.pp", "Sh|ow"), "lcl/menus.pp:3 procedure Show");
}

// Every declaration as a line: where, what, and whose.
std::vector<std::string> Listing(const TDeclarationTable& ATable) {
  std::vector<std::string> lines;
  for (uint32_t d = 0; d < ATable.Count(); ++d) {
    const TDeclarationEntry& e = ATable.Entry(d);
    lines.push_back(ATable.FullPath(ATable.FileOf(d)) + ":" + std::to_string(e.Line) + ":" + std::to_string(e.Column) + " " +
                    DeclarationKindName(e.Kind()) + " " + ATable.QualifiedName(d) + (e.Definition() ? " body" : ""));
  }
  return lines;
}

// A file changed on disk is read again alone: the tables then hold what a
// whole new index of the folders holds, and find names the same.
TEST_F(WorkspaceTest, AChangedFileIsReadAgainAloneAsAWholeIndexWouldReadIt) {
  struct TEdit {
    const char* File;
    const char* Text;
    bool Alone = true;  // read alone; else refused, and a walk of the folders reads it
  };
  const TEdit edits[] = {
      {"proj/ledger.pas", "unit Ledger;\ninterface\ntype\n  TLedger = class\n    procedure Post(A: Integer);\n"
                          "    procedure Undo;\n  end;\nimplementation\nprocedure TLedger.Undo;\nbegin\nend;\nend.\n"},
      // The class moves down and after another declaration: its bodies in the
      // include file follow it.
      {"fv/src/lists.pas", "unit Lists;\n\n\ninterface\nconst\n  Limit = 3;\ntype\n  TList = class\n    function Count: Integer;\n"
                           "    procedure Add(A: Integer);\n    procedure Clear;\n  end;\nimplementation\n{$i listsimp.inc}\nend.\n"},
      {"fv/src/listsimp.inc", "procedure TList.Add(A: Integer);\nbegin\nend;\nprocedure TNowhere.Gone;\nbegin\nend;\n"},
      // The class another file's bodies belong to is renamed: a build
      // leaves those bodies out, which only a whole build tells.
      {"fv/src/lists.pas", "unit Lists;\ninterface\ntype\n  TItems = class\n    procedure Add(A: Integer);\n  end;\n"
                           "implementation\n{$i listsimp.inc}\nend.\n", false},
  };
  Open(Roots());
  for (const TEdit& edit : edits) {
    SCOPED_TRACE(edit.File);
    Workspace.Declarations()->Named("Add");  // the index of names is kept, not made anew
    Temp.WriteFile(edit.File, edit.Text);
    ASSERT_EQ(Workspace.UpdateFile(Temp / edit.File), edit.Alone);
    if (!edit.Alone) {
      Workspace.Refresh(true);
      ASSERT_TRUE(Workspace.WaitForWalk(std::chrono::seconds(30)));
    }
    TWorkspace fresh;
    fresh.SetCacheFolder(Temp / "fresh-cache");
    fresh.SetTarget(Workspace.Target());
    fresh.SetRoots(Roots(), true);
    ASSERT_TRUE(fresh.WaitForWalk(std::chrono::seconds(30)));
    EXPECT_EQ(Listing(*Workspace.Declarations()), Listing(*fresh.Declarations()));
    for (const char* name : {"TList", "Add", "Undo", "Count", "Gone", "Post"})
      EXPECT_EQ(Workspace.Declarations()->Named(name), fresh.Declarations()->Named(name)) << name;
    std::filesystem::remove_all(Temp / "fresh-cache");
  }
  // A file the folders do not hold is not theirs to read.
  EXPECT_FALSE(Workspace.UpdateFile(Temp / "elsewhere.pas"));
}

TEST(ProjectFolderTest, IsTheNearestFolderWithAMarkerElseTheFilesOwn) {
  VantryTest::TTempDir temp;
  temp.WriteFile("a/fpmake.pp");
  temp.WriteFile("a/src/deep/x.pas");
  temp.WriteFile("b/y.pas");
  temp.MakeDir("c/.git");
  temp.WriteFile("c/z.pp");
  EXPECT_EQ(ProjectFolderOf(temp / "a/src/deep/x.pas"), temp / "a");
  EXPECT_EQ(ProjectFolderOf(temp / "c/z.pp"), temp / "c");
  // A file under no marker is a project of its own folder.
  EXPECT_EQ(ProjectFolderOf(temp / "b/y.pas"), temp / "b");
  // The home folder is no project, though its dot files be kept in version
  // control; a file loose in it belongs to none.
  const char* home = std::getenv("HOME");
  ::setenv("HOME", (temp / "b").c_str(), 1);
  temp.MakeDir("b/.git");
  temp.WriteFile("b/p/q.pas");
  EXPECT_EQ(ProjectFolderOf(temp / "b/p/q.pas"), temp / "b/p");
  EXPECT_EQ(ProjectFolderOf(temp / "b/y.pas"), "");
  if (home) ::setenv("HOME", home, 1);
}

}  // namespace
