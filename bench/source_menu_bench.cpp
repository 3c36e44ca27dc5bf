// How long the Vantry menu takes to build and tear down, headlessly on the
// host menu model: over the Free Pascal source tree and over generated trees
// of 1,000 to 100,000 *.pas files. Each figure is set against the time of
// `find ROOT -iname '*.pas'` over the same tree, run in the same process.

#include "BenchSupport.h"
#include "hostmodel/StandardMenus.h"
#include "source_menu/ExpertModuleUnit.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>
#include <string>

using namespace Vantry;
namespace fs = std::filesystem;

namespace {

// Files spread 40 to a folder, folders nested three deep; every fifth folder
// also holds an empty subfolder and a text file, which the menu leaves out.
void GenerateTree(const fs::path& ARoot, int AFiles) {
  int folder = 0;
  for (int made = 0; made < AFiles; ++folder) {
    fs::path dir = ARoot / ("Lib" + std::to_string(folder / 100)) / ("Pkg" + std::to_string(folder / 10 % 10)) /
                   ("Unit" + std::to_string(folder % 10));
    fs::create_directories(dir);
    if (folder % 5 == 0) {
      fs::create_directories(dir / "Empty");
      std::ofstream(dir / "readme.txt") << "not a unit";
    }
    for (int i = 0; i < 40 && made < AFiles; ++i, ++made) std::ofstream(dir / ("U" + std::to_string(made) + ".pas"));
  }
}

int CountMenuItems(const THostMenuNode& ANode) {
  int n = static_cast<int>(ANode.Children.size());
  for (const auto& c : ANode.Children) n += CountMenuItems(*c);
  return n;
}

double Seconds(std::chrono::steady_clock::time_point AStart) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - AStart).count();
}

// Copies the node's subtree into another model through the host interface,
// keeping the item objects as an add-in would.
void CopyTree(const THostMenuNode& AFrom, TIMenuItemIntf* ATo, std::vector<THostRef<TIMenuItemIntf>>& AItems) {
  for (const auto& c : AFrom.Children) {
    AItems.emplace_back(ATo->InsertItem(-1, c->Caption, c->Name, c->Hint, c->ShortCut, c->Context, c->GroupIndex,
                                        c->Flags, c->OnClick));
    CopyTree(*c, AItems.back().Get(), AItems);
  }
}

size_t HeapInUse() { return mallinfo2().uordblks; }

// Build, teardown and find take turns, so that a machine busy with other
// work weighs on all three alike; the best of each is printed.
void Measure(const std::string& ALabel, const std::string& ARoot) {
  WriteSettings(false, ARoot);
  THostMenuModel menu;
  AddStandardMenus(menu);
  auto* services = new THeadlessToolServices(menu);
  ToolServices = services;

  int files = 0;
  for (auto& e : fs::recursive_directory_iterator(ARoot))
    if (e.is_regular_file() && e.path().extension() == ".pas") ++files;

  const std::string command = "find '" + ARoot + "' -iname '*.pas' > /dev/null";
  double build = 1e9, teardown = 1e9, find = 1e9;
  int items = 0;
  size_t heap = 0, modelHeap = 0;
  for (int run = 0; run < (files > 50000 ? 3 : 5); ++run) {
    auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "find failed\n");
    find = std::min(find, Seconds(start));

    size_t heapBefore = HeapInUse();
    start = std::chrono::steady_clock::now();
    auto* module = CreateComponent<TVantryExpertModule>(nullptr);
    build = std::min(build, Seconds(start));
    heap = HeapInUse() - heapBefore;
    if (run == 0) {
      const THostMenuNode& top = *menu.Find("ovsVantryMenuItem");
      items = CountMenuItems(top);
      // What the host's model alone holds per item: the same tree once more.
      THostMenuModel copy;
      std::vector<THostRef<TIMenuItemIntf>> copied;
      copied.reserve(static_cast<size_t>(items));
      heapBefore = HeapInUse();
      THostRef<TIMenuItemIntf> root(copy.ItemOf(copy.Root()));
      CopyTree(top, root.Get(), copied);
      modelHeap = HeapInUse() - heapBefore;
    }

    start = std::chrono::steady_clock::now();
    module->Free();
    teardown = std::min(teardown, Seconds(start));
  }

  std::printf("%-20s %6d files %6d items  build %7.1f ms %5.2f us/file  teardown %6.1f ms %5.2f us/file  "
              "together %5.2f us/file  find %6.1f ms  build/find %4.2f  heap per item %4zu B (model %3zu B)\n",
              ALabel.c_str(), files, items, build * 1e3, build * 1e6 / files, teardown * 1e3, teardown * 1e6 / files,
              (build + teardown) * 1e6 / files, find * 1e3, build / find, heap / static_cast<size_t>(items),
              modelHeap / static_cast<size_t>(items));
  ToolServices = nullptr;
  services->Free();
}

}  // namespace

// With a folder argument, measures that tree only.
int main(int argc, char** argv) {
  char scratch[] = "/tmp/vantry-bench-XXXXXX";
  if (!mkdtemp(scratch)) return 1;
  setenv("VANTRY_REGISTRY_DIR", (std::string(scratch) + "/registry").c_str(), 1);
  if (argc > 1) {
    Measure("given tree", argv[1]);
    fs::remove_all(scratch);
    return 0;
  }

  const char* fpc = VANTRY_FPC_SOURCE;
  if (fs::is_directory(fpc)) Measure("Free Pascal sources", fpc);
  for (int files : {1000, 10000, 100000}) {
    fs::path root = fs::path(scratch) / ("tree" + std::to_string(files));
    GenerateTree(root, files);
    Measure("generated", root.string());
  }
  fs::remove_all(scratch);
  return 0;
}
