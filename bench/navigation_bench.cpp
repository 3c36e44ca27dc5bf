// The navigation engine's figures on the Free Pascal sources: references
// of common names on one core with the index warm (target: under 100 ms)
// and with a cold cache, set against `rg -w -i NAME` over the same files
// plus the cold index (target: no slower); the outline of the longest unit
// (target: under 20 ms for 10,000 lines); a peek, resolving a name and
// reading its declaration (target: under 30 ms); and what the index of
// names per file adds to the memory of the declaration index.

#include "BenchSupport.h"
#include "index/LibraryIndex.h"
#include "navigation/Outline.h"
#include "navigation/Peek.h"
#include "navigation/References.h"
#include "navigation/SourceModel.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace Vantry;
namespace fs = std::filesystem;

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point AStart) { return std::chrono::duration<double>(TClock::now() - AStart).count(); }

// ACache empty: the user's cache folder, as the IDE's.
std::shared_ptr<const TDeclarationTable> Index(const std::string& ARoot, const std::string& ACache) {
  TLibraryIndex index;
  if (!ACache.empty()) index.SetCacheFolder(ACache);
  index.Refresh(ARoot, true);
  while (index.Building()) {
    index.WaitForWalk(std::chrono::milliseconds(1));
    index.Poll();
  }
  return index.Declarations();
}

std::string ReadAll(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The seconds `rg -w -i NAME` takes over the Pascal files of ARoot.
double Ripgrep(const std::string& ARoot, const std::string& AName) {
  const std::string command = "rg -w -i -c --no-ignore -g '*.{pas,pp,p,inc,lpr,dpr,PAS,PP,P,INC,LPR,DPR}' '" + AName +
                              "' '" + ARoot + "' >/dev/null 2>&1";
  if (std::system("command -v rg >/dev/null") != 0) return -1;
  return VantryBench::Measure(3, [&] { (void)std::system(command.c_str()); }).MedianSeconds;
}

void References(const std::string& ARoot, const std::string& ACache, const std::vector<std::string>& ANames) {
  const auto table = Index(ARoot, ACache);
  const TTarget target = HostTarget();
  std::printf("references (one core, index warm; target: under 100 ms)\n");
  for (const std::string& name : ANames) {
    TReferenceSearch search(table, target);
    const TReferenceTarget aim = search.TargetNamed(name);
    size_t count = 0;
    // A new search reads the library's files it looks into; a search that
    // goes on serving (the IDE's panel, the language server) keeps them.
    const auto first = VantryBench::Measure(3, [&] {
      TReferenceSearch fresh(table, target);
      count = fresh.Find(aim).size();
    });
    const auto again = VantryBench::Measure(3, [&] { count = search.Find(aim).size(); });
    std::printf("  %-18s %5zu references  new search: median %7.1f ms   search kept: best %7.1f ms  median %7.1f ms\n",
                name.c_str(), count, first.MedianSeconds * 1e3, again.BestSeconds * 1e3, again.MedianSeconds * 1e3);
  }
}

void Cold(const std::string& ARoot, const fs::path& AScratch) {
  const TTarget target = HostTarget();
  const auto table = Index(ARoot, (AScratch / "cache").string());
  std::printf("references with a cold cache (index built, then searched; target: no slower than rg -w -i plus "
              "the cold index of the declarations alone)\n");
  for (const char* name : {"IntToStr", "FreeAndNil"}) {
    const auto start = TClock::now();
    fs::remove_all(AScratch / "cold");
    const auto cold = Index(ARoot, (AScratch / "cold").string());
    const double indexed = Seconds(start);
    TReferenceSearch search(cold, target);
    const size_t count = search.Find(search.TargetNamed(name)).size();
    const double total = Seconds(start);
    const double rg = Ripgrep(ARoot, name);
    std::printf("  %-18s %5zu references  %7.1f ms (index %7.1f ms)   rg -w -i %7.1f ms\n", name, count, total * 1e3,
                indexed * 1e3, rg * 1e3);
  }
  const size_t hashes = table->MemoryUsed();
  std::printf("memory: %.1f bytes a declaration with the names of each file (%zu declarations, %.1f MB in all)\n",
              static_cast<double>(hashes) / static_cast<double>(table->Count()), table->Count(), hashes / 1e6);

  // A peek: the name resolved at a call of IntToStr, then its declaration read.
  TReferenceSearch search(table, target);
  const auto calls = search.Find(search.TargetNamed("IntToStr"));
  for (const TReference& call : calls) {
    if (call.Kind != rkUse) continue;
    const std::string text = ReadAll(call.Path);
    TResolver resolver(table, target);
    TPeek peek;
    const auto timing = VantryBench::Measure(5, [&] {
      const TResolution r = resolver.Resolve(call.Path, text, TSourceModel(text).OffsetOf(call.Line, call.Column));
      if (!r.Answers.empty()) peek = PeekAt(r.Answers.front());
    });
    std::printf("peek at %s:%u (target: under 30 ms)    best %7.1f ms  median %7.1f ms   %s\n",
                fs::path(call.Path).filename().c_str(), call.Line, timing.BestSeconds * 1e3,
                timing.MedianSeconds * 1e3, peek.Heading.substr(0, 60).c_str());
    break;
  }
}

void Outline(const std::string& ARoot) {
  // The longest unit of the tree.
  std::string longest;
  uintmax_t size = 0;
  for (const auto& entry : fs::recursive_directory_iterator(ARoot, fs::directory_options::skip_permission_denied)) {
    const std::string extension = entry.path().extension().string();
    if (entry.is_regular_file() && (extension == ".pas" || extension == ".pp") && entry.file_size() > size)
      size = entry.file_size(), longest = entry.path().string();
  }
  const std::string text = ReadAll(longest);
  size_t lines = 0, items = 0;
  for (char c : text) lines += c == '\n';
  const auto timing = VantryBench::Measure(5, [&] { items = OutlineOf(text, false).size(); });
  std::printf("outline of %s (%zu lines, %zu items; target: under 20 ms for 10,000 lines)  best %7.1f ms  median %7.1f ms\n",
              fs::path(longest).filename().c_str(), lines, items, timing.BestSeconds * 1e3, timing.MedianSeconds * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string root = argc > 1 ? argv[1] : VANTRY_FPC_SOURCE;
  if (!fs::is_directory(root)) {
    std::printf("navigation_bench: no Free Pascal sources at %s; skipped\n", root.c_str());
    return 0;
  }
  const fs::path scratch = fs::temp_directory_path() / ("vantry-navigation-bench-" + std::to_string(::getpid()));
  // navigation_bench [ROOT [NAME...]]: with names, only their warm
  // references, with the user's cache.
  if (argc > 2) {
    References(root, {}, std::vector<std::string>(argv + 2, argv + argc));
    fs::remove_all(scratch);
    return 0;
  }
  References(root, (scratch / "cache").string(), {"IntToStr", "TStringList.Add", "FreeAndNil", "TStrings.Add"});
  Cold(root, scratch);
  Outline(root);
  fs::remove_all(scratch);
  return 0;
}
