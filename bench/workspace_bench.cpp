// What a workspace of the user's project beside the Free Pascal library
// costs: adding a project folder of 100 units to a warm workspace, and one
// changed unit of about 5,000 lines read again with the tables updated (the
// folder's and the merged one, the index of names kept), against a whole
// refresh of every folder. The project is made of the library's own units,
// copied into a temporary folder; the library's index is the user's cache.

#include "BenchSupport.h"

#include "index/Workspace.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

using namespace Vantry;
namespace fs = std::filesystem;

namespace {

double Milliseconds(std::chrono::steady_clock::time_point AStart) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - AStart).count();
}

// A project of ACount units of the library's fcl-base, and the ~5,000-line
// unit fpexprpars.pp among them.
void MakeProject(const fs::path& AFolder, int ACount) {
  fs::create_directories(AFolder);
  const fs::path source = fs::path(VANTRY_FPC_SOURCE) / "packages/fcl-base/src";
  int copied = 0;
  fs::copy_file(source / "fpexprpars.pp", AFolder / "fpexprpars.pp");
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(source)) {
    if (copied + 1 >= ACount) break;
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || entry.path().extension() != ".pp" || fs::exists(AFolder / name)) continue;
    fs::copy_file(entry.path(), AFolder / name);
    ++copied;
  }
}

}  // namespace

int main() {
  const fs::path temp = fs::temp_directory_path() / ("vantry-workspace-bench-" + std::to_string(::getpid()));
  const fs::path project = temp / "project";
  MakeProject(project, 100);
  TWorkspace workspace;
  workspace.SetTarget(ChosenTarget({}));
  auto start = std::chrono::steady_clock::now();
  workspace.SetRoots({{VANTRY_FPC_SOURCE, false}}, true);
  workspace.WaitForWalk(std::chrono::minutes(10));
  std::printf("library alone: %zu declarations, ready in %.1f ms (warm when the cache holds it)\n",
              workspace.Declarations()->Count(), Milliseconds(start));
  workspace.Declarations()->Named("TStringList");  // the index of names, as the first question makes it

  // Adding the project: its own walk and scan (never cached before), and
  // the merge. Then once more from its cache, as the next start finds it.
  for (const char* when : {"first time", "cached"}) {
    workspace.SetRoots({{VANTRY_FPC_SOURCE, false}}, true);
    workspace.WaitForWalk(std::chrono::minutes(1));
    start = std::chrono::steady_clock::now();
    workspace.SetRoots({{project.string(), true}, {VANTRY_FPC_SOURCE, false}}, true);
    workspace.WaitForWalk(std::chrono::minutes(1));
    std::printf("adding a project of 100 units (%s): %.1f ms (goal: under 300 ms), %zu declarations in all\n", when,
                Milliseconds(start), workspace.Declarations()->Count());
  }

  const std::string unit = (project / "fpexprpars.pp").string();
  std::vector<double> updates, lookups, refreshes;
  for (int run = 0; run < 7; ++run) {
    workspace.Declarations()->Named("TFPExpressionParser");
    std::ofstream(unit, std::ios::app) << "\n{ edit " << run << " }\n";
    start = std::chrono::steady_clock::now();
    if (!workspace.UpdateFile(unit)) std::fprintf(stderr, "the update was refused\n");
    updates.push_back(Milliseconds(start));
    start = std::chrono::steady_clock::now();
    workspace.Declarations()->Named("TFPExpressionParser");
    lookups.push_back(Milliseconds(start));
  }
  for (int run = 0; run < 3; ++run) {
    std::ofstream(unit, std::ios::app) << "\n{ refresh " << run << " }\n";
    start = std::chrono::steady_clock::now();
    workspace.Refresh(true);
    workspace.WaitForWalk(std::chrono::minutes(1));
    refreshes.push_back(Milliseconds(start));
  }
  auto median = [](std::vector<double> A) {
    std::sort(A.begin(), A.end());
    return A[A.size() / 2];
  };
  auto best = [](const std::vector<double>& A) { return *std::min_element(A.begin(), A.end()); };
  std::printf("one changed unit of %d lines read again, tables updated: best %.1f ms, median %.1f ms (goal: under 50 ms)\n",
              static_cast<int>(std::count(std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(unit)),
                                          std::istreambuf_iterator<char>(), '\n')),
              best(updates), median(updates));
  std::printf("  the next name looked up after it: best %.3f ms, median %.3f ms\n", best(lookups), median(lookups));
  std::printf("  against walking every folder again: best %.1f ms, median %.1f ms\n", best(refreshes), median(refreshes));
  fs::remove_all(temp);
  return 0;
}
