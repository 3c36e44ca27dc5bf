// What the reference IDE costs: inserting 10,000 items through its Qt-backed
// menus (one long menu, and 100 submenus of 100), and the time from starting
// the IDE to its menus being ready, with Vantry over the Free Pascal sources.

#include "BenchSupport.h"
#include "HostWindow.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

using namespace Vantry;

namespace {

void InsertItems(THostWindow& AWindow, int ASubmenus, int APerSubmenu, const char* ALabel) {
  std::vector<THostRef<TIMenuItemIntf>> items;
  items.reserve(static_cast<size_t>(ASubmenus) * (APerSubmenu + 1) + 1);
  auto insert = VantryBench::Measure(1, [&] {
    THostRef<TIMainMenuIntf> main(AWindow.Menu().MainMenu());
    THostRef<TIMenuItemIntf> file(main->FindMenuItem("FileMenu"));
    items.emplace_back(file->InsertItem(3, "Bench", "BenchTop", "", 0, 0, 0, {mfEnabled, mfVisible}, nullptr));
    for (int s = 0; s < ASubmenus; ++s) {
      TIMenuItemIntf* parent = items.front().Get();
      if (ASubmenus > 1) {
        items.emplace_back(parent->InsertItem(-1, "Sub" + std::to_string(s), "BenchSub" + std::to_string(s), "", 0, 0,
                                              0, {mfEnabled, mfVisible}, nullptr));
        parent = items.back().Get();
      }
      for (int i = 0; i < APerSubmenu; ++i)
        items.emplace_back(parent->InsertItem(-1, "Item " + std::to_string(i), "", "", 0, 0, 0,
                                              {mfEnabled, mfVisible}, nullptr));
    }
    QApplication::processEvents();
  });
  const int count = ASubmenus * APerSubmenu;
  VantryBench::Report(ALabel, insert, count);
  auto release = VantryBench::Measure(1, [&] {
    while (!items.empty()) items.pop_back();  // last inserted first
    QApplication::processEvents();
  });
  VantryBench::Report("  ...and withdrawing them again", release, count);
}

void MeasureStartup(const std::string& AHost, const std::string& AAddIn) {
  std::string command = "'" + AHost + "' --expert '" + AAddIn + "' --dump-menu --report-startup 2>&1 >/dev/null";
  std::vector<double> ready;
  auto total = VantryBench::Measure(5, [&] {
    std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
    char line[256];
    while (out && fgets(line, sizeof line, out.get()))
      if (double ms; std::sscanf(line, "menus ready after %lf ms", &ms) == 1) ready.push_back(ms);
  });
  std::sort(ready.begin(), ready.end());
  if (!ready.empty())
    std::printf("%-52s best %9.3f ms  median %9.3f ms\n", "IDE start to menus ready (Vantry over Free Pascal)",
                ready.front(), ready[ready.size() / 2]);
  VantryBench::Report("IDE run, start to exit (--dump-menu)", total);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  char scratch[] = "/tmp/vantry-bench-XXXXXX";
  if (!mkdtemp(scratch)) return 1;
  setenv("VANTRY_REGISTRY_DIR", scratch, 1);
  {
    QApplication app(argc, argv);
    THostWindow window;
    InsertItems(window, 1, 10000, "insert 10,000 items into one Qt menu");
    InsertItems(window, 100, 100, "insert 10,000 items in 100 Qt submenus");
  }
  // The IDE records its own folder as RootDir; its "Source" there is the tree.
  std::filesystem::path hostDir = std::filesystem::path(VANTRY_HOST).parent_path();
  if (!std::filesystem::exists(hostDir / "Source") && std::filesystem::is_directory(VANTRY_FPC_SOURCE))
    std::filesystem::create_directory_symlink(VANTRY_FPC_SOURCE, hostDir / "Source");
  MeasureStartup(VANTRY_HOST, VANTRY_ADDIN);
  std::filesystem::remove_all(scratch);
  return 0;
}
