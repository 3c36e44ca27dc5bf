// How long the Vantry menu takes to build and tear down, headlessly on the
// host menu model: over the Free Pascal source tree and over generated trees
// of 1,000 to 100,000 *.pas files. Each figure is set against the time of
// `find ROOT -iname '*.pas'` over the same tree, run in the same process.

#include "BenchSupport.h"
#include "hostmodel/StandardMenus.h"
#include "source_menu/ExpertModuleUnit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

void Measure(const std::string& ALabel, const std::string& ARoot) {
  WriteSettings(false, ARoot);
  THostMenuModel menu;
  AddStandardMenus(menu);
  auto* services = new THeadlessToolServices(menu);
  ToolServices = services;

  int files = 0;
  for (auto& e : fs::recursive_directory_iterator(ARoot))
    if (e.is_regular_file() && e.path().extension() == ".pas") ++files;

  const int runs = files > 50000 ? 3 : 5;
  TVantryExpertModule* module = nullptr;
  double teardown = 1e9;
  auto build = VantryBench::Measure(runs, [&] {
    if (module) {
      auto start = std::chrono::steady_clock::now();
      module->Free();
      teardown = std::min(teardown, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    module = CreateComponent<TVantryExpertModule>(nullptr);
  });
  int items = CountMenuItems(*menu.Find("ovsVantryMenuItem"));
  module->Free();

  const std::string command = "find '" + ARoot + "' -iname '*.pas' > /dev/null";
  auto find = VantryBench::Measure(runs, [&] {
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "find failed\n");
  });

  std::printf("%-22s %7d files %7d items  build %8.1f ms (%5.2f us/file)  teardown %7.1f ms  find %7.1f ms  "
              "build/find %5.2f\n",
              ALabel.c_str(), files, items, build.BestSeconds * 1e3, build.BestSeconds * 1e6 / files,
              teardown * 1e3, find.BestSeconds * 1e3, build.BestSeconds / find.BestSeconds);
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
