#include "support/TestSupport.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace VantryTest {

namespace fs = std::filesystem;

TTempDir::TTempDir() {
  std::string pattern = (fs::temp_directory_path() / "vantry-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
  FPath = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  // Tests may leave unreadable folders behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(FPath, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(FPath, ignored);
}

std::string TTempDir::WriteFile(const std::string& ARelative, const std::string& AContent) const {
  fs::path p = FPath / ARelative;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << AContent;
  return p.string();
}

std::string FileContent(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string TTempDir::MakeDir(const std::string& ARelative) const {
  fs::path p = FPath / ARelative;
  fs::create_directories(p);
  return p.string();
}

TScopedCollation::TScopedCollation(const std::string& ALocale) {
  const char* saved = std::setlocale(LC_COLLATE, nullptr);
  FSaved = saved ? saved : "C";
  if (!std::setlocale(LC_COLLATE, ALocale.c_str()))
    FError = "the locale " + ALocale + " is not installed (scripts/setup.sh generates it)";
}

TScopedCollation::~TScopedCollation() { std::setlocale(LC_COLLATE, FSaved.c_str()); }

TScopedEnvironment::TScopedEnvironment(const char* AName, const std::string& AValue) : FName(AName) {
  if (const char* old = std::getenv(AName)) FSaved = old;
  setenv(AName, AValue.c_str(), 1);
}

TScopedEnvironment::~TScopedEnvironment() {
  if (FSaved)
    setenv(FName, FSaved->c_str(), 1);
  else
    unsetenv(FName);
}

TIsolatedTest::TIsolatedTest()
    : RegistryDir(Temp / "registry"),
      FRegistry("VANTRY_REGISTRY_DIR", RegistryDir),
      FCache("XDG_CACHE_HOME", Temp / "cache") {}

TIsolatedTest::~TIsolatedTest() = default;

int RunTool(const std::string& AProgram, const std::vector<std::string>& AArgs, std::string& AOutput) {
  std::string command = AProgram;
  for (const std::string& arg : AArgs) {
    command += " '";
    for (char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  AOutput.clear();
  if (!pipe) return -1;
  char buffer[4096];
  for (size_t read; (read = fread(buffer, 1, sizeof buffer, pipe)) > 0;) AOutput.append(buffer, read);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t StartChild(const std::function<int()>& ABody) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start a child process");
  if (pid > 0) return pid;
  int code = 98;
  try {
    code = ABody();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "child: %s\n", e.what());
  }
  std::fflush(nullptr);
  _exit(code);
}

int WaitChild(pid_t APid) {
  int status = 0;
  waitpid(APid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool DropRootPrivileges() {
  constexpr uid_t nobody = 65534;
  if (geteuid() != 0) return true;
  return setgroups(0, nullptr) == 0 && setresgid(nobody, nobody, nobody) == 0 &&
         setresuid(nobody, nobody, nobody) == 0 && geteuid() != 0;
}

TRecordedApplication::TRecordedApplication() : FSaved(Vantry::Application().SetServices(&FServices)) {}

TRecordedApplication::~TRecordedApplication() { Vantry::Application().SetServices(FSaved); }

std::string RandomlyDamaged(const std::string& ASeed, std::mt19937& ARandom, std::string_view ASymbols) {
  std::string text = ASeed;
  for (int e = 0; e < 1 + static_cast<int>(ARandom() % 6); ++e) {
    const size_t at = ARandom() % text.size();
    switch (ARandom() % 3) {
      case 0: text.erase(at, ARandom() % 16); break;
      case 1: text.insert(at, text.substr(ARandom() % text.size(), ARandom() % 32)); break;
      default: text.insert(at, 1, ASymbols[ARandom() % ASymbols.size()]); break;
    }
    if (text.empty()) text = ASeed;
  }
  return text;
}

}  // namespace VantryTest
