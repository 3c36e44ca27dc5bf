#pragma once
// What every test fixture needs: its own temporary folder, its own registry
// hives, and small helpers to lay out files. Nothing touches the user's files.

#include "platform/Application.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace VantryTest {

// A fresh folder under the system's temporary folder, removed with the object.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  std::string operator/(const std::string& ARelative) const { return (FPath / ARelative).string(); }

  // Creates the file (and its folders) with the given content.
  std::string WriteFile(const std::string& ARelative, const std::string& AContent = "") const;
  std::string MakeDir(const std::string& ARelative) const;

private:
  std::filesystem::path FPath;
};

// The bytes of a file, empty when it cannot be read.
std::string FileContent(const std::string& APath);

// Runs a command-line tool as a user would, with the arguments (each quoted
// for the shell); returns its exit status and fills AOutput with what it
// printed on standard output.
int RunTool(const std::string& AProgram, const std::vector<std::string>& AArgs, std::string& AOutput);

// ASeed with one to six random edits: a run of bytes cut out, a run of its
// own bytes copied elsewhere, or one of ASymbols put in; never empty.
std::string RandomlyDamaged(const std::string& ASeed, std::mt19937& ARandom, std::string_view ASymbols);

// Sets an environment variable while it lives, then puts back what was.
class TScopedEnvironment {
public:
  TScopedEnvironment(const char* AName, const std::string& AValue);
  ~TScopedEnvironment();
  TScopedEnvironment(const TScopedEnvironment&) = delete;
  TScopedEnvironment& operator=(const TScopedEnvironment&) = delete;

private:
  const char* FName;
  std::optional<std::string> FSaved;
};

// Points the registry at hives of its own, and the cache at a folder of
// its own, for the lifetime of the fixture.
class TIsolatedTest : public ::testing::Test {
protected:
  TIsolatedTest();
  ~TIsolatedTest() override;

  TTempDir Temp;
  std::string RegistryDir;

private:
  TScopedEnvironment FRegistry;
  TScopedEnvironment FCache;  // the declaration index's cache
};

// Makes ALocale the process's collation while it lives, then puts back the
// one before. Error() says why it could not, so that a test can fail rather
// than pass unknowingly.
class TScopedCollation {
public:
  explicit TScopedCollation(const std::string& ALocale);
  ~TScopedCollation();
  TScopedCollation(const TScopedCollation&) = delete;
  TScopedCollation& operator=(const TScopedCollation&) = delete;

  const std::string& Error() const { return FError; }

private:
  std::string FSaved;
  std::string FError;
};

// Starts ABody in a child process whose exit status is what ABody returns
// (98 if it raised); WaitChild returns that status.
pid_t StartChild(const std::function<int()>& ABody);
int WaitChild(pid_t APid);
// In a child process: gives up root for the unprivileged user "nobody", so
// that file permissions apply. True when the process is not root afterwards.
bool DropRootPrivileges();

// Stands in for the user interface while it lives: what the application would
// have shown is recorded instead.
class TRecordedApplication {
public:
  TRecordedApplication();
  ~TRecordedApplication();
  TRecordedApplication(const TRecordedApplication&) = delete;
  TRecordedApplication& operator=(const TRecordedApplication&) = delete;

  std::vector<std::string> Errors;     // messages of exceptions handled
  std::vector<std::string> Messages;   // ShowMessage texts
  std::vector<std::string> Questions;  // AskYesNo texts
  bool Answer = true;                  // what each question is answered

private:
  class TServices : public Vantry::TApplicationServices {
  public:
    explicit TServices(TRecordedApplication& ATarget) : FTarget(ATarget) {}
    void ShowException(Vantry::TObject*, const std::string& AMessage) override { FTarget.Errors.push_back(AMessage); }
    void ShowMessage(const std::string& AText) override { FTarget.Messages.push_back(AText); }
    bool AskYesNo(const std::string& AText) override {
      FTarget.Questions.push_back(AText);
      return FTarget.Answer;
    }

  private:
    TRecordedApplication& FTarget;
  };

  TServices FServices{*this};
  Vantry::TApplicationServices* FSaved;
};

}  // namespace VantryTest
