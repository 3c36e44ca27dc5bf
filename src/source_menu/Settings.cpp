#include "source_menu/Settings.h"

#include "platform/Registry.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sstream>

namespace Vantry {

namespace {
constexpr const char* SettingsKey = "\\SOFTWARE\\ORVALLE\\DELPHI EXPERTS\\VANTRY\\";
constexpr const char* HostKey = "\\SOFTWARE\\BORLAND\\DELPHI\\3.0";
}  // namespace

void ReadSettings(bool& AAutomatic, std::string& APath) {
  TRegistry reg;  // closes whatever is open on every path
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (reg.OpenKey(SettingsKey, false) && reg.ValueExists("Automatic") && reg.ValueExists("Path")) {
    AAutomatic = reg.ReadBool("Automatic");
    if (!AAutomatic) APath = reg.ReadString("Path");
  } else {
    AAutomatic = true;
  }
  reg.CloseKey();
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (AAutomatic && reg.OpenKey(HostKey, false) && reg.ValueExists("RootDir")) {
    APath = reg.ReadString("RootDir") + "/Source";
    reg.CloseKey();
  }
}

// Writes both values in one transaction, so that a failure between them
// (a full disk, a lock held too long) leaves the stored choice as it was.
// False, with the reason in AWhy, when the key cannot be opened.
bool WriteChoice(bool AAutomatic, const std::string& APath, std::string& AWhy) {
  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (!reg.OpenKey(SettingsKey, true)) {
    AWhy = reg.LastErrorMsg();
    return false;
  }
  TRegistry::TUpdate update(reg);
  reg.WriteBool("Automatic", AAutomatic);
  reg.WriteString("Path", APath);
  update.Commit();
  return true;
}

void WriteSettings(bool AAutomatic, const std::string& APath) {
  std::string why;
  WriteChoice(AAutomatic, APath, why);
}

std::string ToolSourceFolder() {
  bool automatic = true;
  std::string path;
  ReadSettings(automatic, path);
  if (!automatic || !(path.empty() || path == " ")) return path;
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder = fs::read_symlink("/proc/self/exe", error).parent_path();
  for (const fs::path& root : {folder / "../lib/vantry", folder / "../../host"})
    if (fs::is_directory(root, error)) return (root.lexically_normal() / "Source").string();
  return (folder / "Source").string();
}

std::string SourceFolderProblem(const std::string& APath) {
  if (APath.empty() || APath == " ") return "No source folder is set";
  if (DIR* dir = opendir(APath.c_str())) {
    closedir(dir);
    return {};
  }
  const int error = errno;
  if (error == ENOENT) return "Source folder not found: " + APath;
  return "Source folder cannot be read: " + APath + ": " + std::strerror(error);
}

std::vector<std::string> ReadExtraLibraries() {
  TRegistry reg;
  reg.SetRootKey(HKEY_CURRENT_USER);
  if (!reg.OpenKey("\\Software\\Vantry\\IDE", false) || !reg.ValueExists("Libraries")) return {};
  std::vector<std::string> folders;
  std::string line;
  for (std::istringstream lines(reg.ReadString("Libraries")); std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) folders.push_back(line);
  }
  return folders;
}

std::string ReadTargetChoice() {
  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (!reg.OpenKey(SettingsKey, false) || !reg.ValueExists("Target")) return {};
  return reg.ReadString("Target");
}

bool WriteTargetChoice(const std::string& ATarget, std::string& AWhy) {
  TRegistry reg;
  reg.SetRootKey(HKEY_LOCAL_MACHINE);
  if (!reg.OpenKey(SettingsKey, true)) {
    AWhy = reg.LastErrorMsg();
    return false;
  }
  reg.WriteString("Target", ATarget);
  return true;
}

}  // namespace Vantry
