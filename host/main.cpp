// vantry-host: the reference IDE. It loads the expert libraries of its
// installation's add-in folder, those configured in the user's registry and
// those named with --expert, shows its menus and editor, and at exit
// releases the experts and unloads the libraries.

#include "AddInLoader.h"
#include "HostWindow.h"
#include "forms/QtApplication.h"
#include "hostmodel/MenuDump.h"
#include "platform/Registry.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace Vantry;

namespace {

struct TOptions {
  std::vector<std::string> Experts;
  std::vector<std::string> Files;
  bool DumpMenu = false;
  bool ListExperts = false;
  bool ReportStartup = false;
  std::string Screenshot;
  std::string OpenMenu;
};

const char* Usage =
    "usage: vantry-host [--expert LIBRARY]... [--open] [FILE]... [--dump-menu] [--list-experts]\n"
    "                   [--screenshot FILE.png [--open-menu ITEM]] [--report-startup]\n"
    "The IDE loads the expert libraries in its add-in folder (PREFIX/lib/vantry/experts),\n"
    "then those named under HKEY_CURRENT_USER\\Software\\Borland\\Delphi\\3.0\\Experts,\n"
    "then those given with --expert.\n"
    "  --expert LIBRARY   load this expert library too (after the configured ones)\n"
    "  --open FILE...     open the files in the editor (as do FILEs named without it)\n"
    "  --dump-menu        print the main menu tree and exit\n"
    "  --list-experts     print what every registered expert answers and exit\n"
    "  --screenshot FILE  save a PNG of the main window and exit\n"
    "  --open-menu ITEM   with --screenshot: open the menus down to ITEM first\n"
    "  --report-startup   print the time from start to menus ready, and the peak memory\n"
    "  -h, --help         show this help\n"
    "  --version          print the version and exit\n";

bool ParseOptions(int argc, char** argv, TOptions& AOptions) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& ATarget) {
      if (i + 1 >= argc) return false;
      ATarget = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--expert" && value(text)) AOptions.Experts.push_back(text);
    else if (arg == "--open" && value(text)) {
      // Every file up to the next option: the desktop passes several at once.
      AOptions.Files.push_back(text);
      while (i + 1 < argc && argv[i + 1][0] != '-') AOptions.Files.push_back(argv[++i]);
    } else if (!arg.empty() && arg[0] != '-') AOptions.Files.push_back(arg);
    else if (arg == "--dump-menu") AOptions.DumpMenu = true;
    else if (arg == "--list-experts") AOptions.ListExperts = true;
    else if (arg == "--report-startup") AOptions.ReportStartup = true;
    else if (arg == "--screenshot" && value(AOptions.Screenshot)) continue;
    else if (arg == "--open-menu" && value(AOptions.OpenMenu)) continue;
    else return false;
  }
  return true;
}

// Whatever the settings look like, the IDE starts: a hive that cannot be
// read is reported once, in an error box (a line on standard error when
// headless), and the IDE itself neither reads nor writes it again.
bool HiveReadable(HKEY ARootKey) {
  try {
    TRegistry reg;
    reg.SetRootKey(ARootKey);
    std::vector<std::string> keys;
    reg.GetKeyNames(keys);
    return true;
  } catch (const std::exception& e) {
    Application().HandleException(
        nullptr, std::make_exception_ptr(ERegistryException(
                     std::string(e.what()) + ". The IDE starts without the settings of this hive and leaves the file "
                                             "as it is; repair it or move it aside.")));
    return false;
  }
}

// Where the IDE is installed: PREFIX/lib/vantry for an installed IDE
// (PREFIX/bin/vantry-host), which holds its add-in folder "experts" and the
// "Source" link to the library sources; in a build tree, the executable's
// own folder. Found from the executable itself, byte for byte, so that an
// installation under any prefix, or an unpacked package, runs as it is.
std::string InstallationRoot() {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
  std::filesystem::path installed = folder / "../lib/vantry";
  return (std::filesystem::is_directory(installed, error) ? installed.lexically_normal() : folder).string();
}

// At each start the IDE records where it is installed, so that the add-in
// finds this copy's Source folder: a user who ran another copy before (a
// build tree, an unpacked package) or moved this one must not be left with
// that copy's. The value is written only when it changed.
void RecordInstallation(const std::string& AFolder) {
  try {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    if (reg.OpenKey("\\SOFTWARE\\BORLAND\\DELPHI\\3.0", true) &&
        (!reg.ValueExists("RootDir") || reg.ReadString("RootDir") != AFolder))
      reg.WriteString("RootDir", AFolder);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantry-host: cannot record the installation folder: %s\n", e.what());
  }
}

// The last line of defence: an exception that escaped an event handler is
// shown, and the event loop goes on. Calls into add-ins catch their own
// exceptions before this.
class TIdeApplication final : public QApplication {
public:
  using QApplication::QApplication;
  bool notify(QObject* AReceiver, QEvent* AEvent) override {
    try {
      return QApplication::notify(AReceiver, AEvent);
    } catch (...) {
      Application().HandleException(nullptr);
      return false;
    }
  }
};

// The most memory the process has held so far (its high-water resident
// set), or -1 where the system does not say.
long PeakMemoryKB() {
  std::unique_ptr<FILE, int (*)(FILE*)> status(std::fopen("/proc/self/status", "r"), std::fclose);
  char line[256];
  long kb = -1;
  while (status && std::fgets(line, sizeof line, status.get()))
    if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
  return kb;
}

void PrintExperts(const std::vector<TIExpert*>& AExperts) {
  const auto& columns = ExpertColumns();
  for (const auto& row : ExpertRows(AExperts)) {
    for (size_t c = 0; c < row.size(); ++c) std::printf("%s%s: %s\n", c ? "  " : "", columns[c].c_str(), row[c].c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  auto started = std::chrono::steady_clock::now();
  // Menus sort in the user's collation, taken from the environment before
  // any add-in loads (Qt takes the rest of the locale the same way).
  std::setlocale(LC_COLLATE, "");
  TOptions options;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vantry-host %s\n", VANTRY_VERSION);
    return 0;
  }
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(Usage, stderr);
    return 2;
  }
  bool headless = options.DumpMenu || options.ListExperts || !options.Screenshot.empty();
  if (headless && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");

  TIdeApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vantry IDE"));
  if (headless) MarkHeadless();
  UseQtApplicationServices();
  bool machineHive = HiveReadable(HKEY_LOCAL_MACHINE);
  bool userHive = HiveReadable(HKEY_CURRENT_USER);
  const std::string root = InstallationRoot();
  if (machineHive) RecordInstallation(root);

  THostWindow window;
  window.SetLibraryFolder(root + "/Source");
  Application().SetHandle(&window);
  TAddInLoader loader(
      window.ToolServices(), [](const std::string& AMessage) { Application().ShowMessage(AMessage); }, &window.Menu());
  window.SetExpertSource([&loader] { return loader.Experts(); });
  std::vector<std::string> configured;
  if (userHive) {
    try {
      configured = TAddInLoader::ConfiguredLibraries([](const std::string& AMessage) { Application().ShowMessage(AMessage); });
    } catch (const std::exception&) {
      Application().HandleException(nullptr);  // damage deeper in the hive than the first look reached
    }
  }
  for (const std::string& library : TAddInLoader::FolderLibraries(root + "/experts")) loader.Load(library);
  for (const std::string& library : configured) loader.Load(library);
  for (const std::string& library : options.Experts) loader.Load(library);
  // An interactive run takes up the last session and keeps its own.
  if (userHive) window.Editor().SetTabWidth(TabWidthSetting());
  if (userHive && !headless) {
    std::string error;
    window.RestoreSession(LoadSession(error));
    if (!error.empty()) std::fprintf(stderr, "vantry-host: %s\n", error.c_str());
    window.KeepSessionOnClose(true);
  }
  for (const std::string& file : options.Files) window.OpenFile(file);

  if (options.ReportStartup) {
    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "menus ready after %.1f ms, peak memory %ld kB\n", ms, PeakMemoryKB());
  }

  int result = 0;
  if (options.DumpMenu) {
    std::fputs(DumpMenu(window.Menu()).c_str(), stdout);
  } else if (options.ListExperts) {
    PrintExperts(loader.Experts());
  } else if (!options.Screenshot.empty()) {
    window.show();
    QApplication::processEvents();
    if (!options.OpenMenu.empty() && !window.OpenMenuPath(options.OpenMenu))
      std::fprintf(stderr, "vantry-host: no menu item named %s\n", options.OpenMenu.c_str());
    if (!window.Screenshot().save(QString::fromLocal8Bit(options.Screenshot.c_str()), "PNG")) {
      std::fprintf(stderr, "vantry-host: cannot save %s\n", options.Screenshot.c_str());
      result = 1;
    }
  } else {
    window.show();
    result = QApplication::exec();
  }

  // Experts are released and libraries unloaded while the window, the
  // menus and the tool services they use still exist.
  loader.Unload();
  Application().SetHandle(nullptr);
  ToolServices = nullptr;
  return result;
}
