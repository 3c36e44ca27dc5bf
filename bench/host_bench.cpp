// What the reference IDE costs: inserting 10,000 items through its Qt-backed
// menus (one long menu, and 100 submenus of 100), opening a source until its
// first screen is drawn, and the time from starting
// the IDE to its menus being ready, with its peak memory, with Vantry over
// the Free Pascal sources and over 200,000 units in one folder and in 200.

#include "BenchSupport.h"
#include "HostWindow.h"
#include "source_menu/ExpertModuleUnit.h"

#include <QApplication>

#include <fcntl.h>
#include <unistd.h>

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

// Empty units U0.pas... spread evenly over AFolders folders (the root
// itself when AFolders is 0), made with bare system calls to be quick.
void GenerateUnits(const std::filesystem::path& ARoot, int AFiles, int AFolders) {
  std::filesystem::create_directories(ARoot);
  for (int i = 0; i < AFiles; ++i) {
    std::filesystem::path dir = AFolders ? ARoot / ("Folder" + std::to_string(i % AFolders)) : ARoot;
    if (AFolders && i < AFolders) std::filesystem::create_directory(dir);
    int fd = open((dir / ("U" + std::to_string(i) + ".pas")).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
  }
}

// Starts the IDE with Vantry over ASource a few times; prints the best and
// median time to menus ready, and the peak memory of the best run.
void MeasureStartup(const std::string& AHost, const std::string& AAddIn, const std::string& ASource, int AFiles,
                    const char* ALabel) {
  WriteSettings(false, ASource);
  std::string command = "'" + AHost + "' --expert '" + AAddIn + "' --list-experts --report-startup 2>&1 >/dev/null";
  std::vector<std::pair<double, long>> ready;  // ms, peak kB
  auto total = VantryBench::Measure(AFiles > 10000 ? 3 : 5, [&] {
    std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
    char line[256];
    double ms;
    long kb;
    while (out && fgets(line, sizeof line, out.get()))
      if (std::sscanf(line, "menus ready after %lf ms, peak memory %ld kB", &ms, &kb) == 2) ready.emplace_back(ms, kb);
  });
  std::sort(ready.begin(), ready.end());
  if (ready.empty()) {
    std::printf("%-44s the IDE reported no start-up time\n", ALabel);
    return;
  }
  std::printf("%-44s %7d units  ready best %7.1f ms  median %7.1f ms  peak memory %6.1f MB  start to exit %7.1f ms\n",
              ALabel, AFiles, ready.front().first, ready[ready.size() / 2].first, ready.front().second / 1024.0,
              total.BestSeconds * 1e3);
}

}  // namespace

// Opening a source in the editor until its first screen is drawn: the
// Classes unit's declarations and a 5 MB file of library sources.
void MeasureOpening(THostWindow& AWindow, const std::filesystem::path& AScratch) {
  std::filesystem::path fpc = VANTRY_FPC_SOURCE;
  const std::string classes = (fpc / "rtl/objpas/classes/classesh.inc").string();
  const std::string large = (AScratch / "large.pas").string();
  {
    std::string text;
    for (const auto& e : std::filesystem::recursive_directory_iterator(fpc / "rtl/objpas")) {
      if (text.size() >= (5u << 20) || e.path().extension() != ".inc") continue;
      std::FILE* f = std::fopen(e.path().c_str(), "rb");
      if (!f) continue;
      char buffer[65536];
      for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
      std::fclose(f);
    }
    text.resize(std::min(text.size(), size_t{5u << 20}));
    std::FILE* out = std::fopen(large.c_str(), "wb");
    if (!out) return;
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
  }
  AWindow.resize(1000, 700);
  AWindow.show();
  QApplication::processEvents();
  for (const auto& [path, label] : {std::pair{classes, "open classesh.inc, first screen drawn"},
                                    std::pair{large, "open a 5 MB source, first screen drawn"}}) {
    if (!std::filesystem::exists(path)) continue;
    auto timing = VantryBench::Measure(7, [&, path = path] {
      AWindow.OpenFile(path);
      AWindow.Editor().CurrentEditor()->repaint();
      AWindow.Editor().CloseTab(AWindow.Editor().currentIndex());
    });
    VantryBench::Report(label, timing);
  }
  // Matching a begin with its end after each change of the text: the pairs
  // are worked out anew over the whole file.
  AWindow.OpenFile(large);
  TSourceEditor* editor = AWindow.Editor().CurrentEditor();
  const std::string text = editor->Utf8Text();
  const size_t begin = text.rfind("begin");
  if (begin == std::string::npos) return;
  size_t shift = 0;
  auto match = VantryBench::Measure(7, [&] {
    editor->SendScintilla(QsciScintilla::SCI_INSERTTEXT, static_cast<unsigned long>(0), " ");
    ++shift;
    editor->SetCursorOffset(begin + shift + 1, false);
    editor->repaint();
  });
  VantryBench::Report("type, then mark a begin's end in the 5 MB source", match);
  if (editor->BlockMarks().size() != 2) std::printf("  (no end was marked)\n");
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  char scratch[] = "/tmp/vantry-bench-XXXXXX";
  if (!mkdtemp(scratch)) return 1;
  setenv("VANTRY_REGISTRY_DIR", scratch, 1);
  {
    QApplication app(argc, argv);
    THostWindow window;
    InsertItems(window, 1, 10000, "insert 10,000 items into one menu (not yet shown)");
    InsertItems(window, 100, 100, "insert 10,000 items in 100 submenus (not yet shown)");
    MeasureOpening(window, scratch);
  }
  std::filesystem::path fpc = VANTRY_FPC_SOURCE;
  if (std::filesystem::is_directory(fpc)) {
    int units = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(fpc))
      if (e.path().extension() == ".pas") ++units;
    MeasureStartup(VANTRY_HOST, VANTRY_ADDIN, fpc.string(), units, "IDE with Vantry over the Free Pascal sources");
  }
  // The same 200,000 units however they are spread.
  std::filesystem::path flat = std::filesystem::path(scratch) / "flat";
  GenerateUnits(flat, 200000, 0);
  MeasureStartup(VANTRY_HOST, VANTRY_ADDIN, flat.string(), 200000, "IDE with Vantry, units in one folder");
  std::filesystem::remove_all(flat);
  std::filesystem::path spread = std::filesystem::path(scratch) / "spread";
  GenerateUnits(spread, 200000, 200);
  MeasureStartup(VANTRY_HOST, VANTRY_ADDIN, spread.string(), 200000, "IDE with Vantry, units in 200 folders");
  std::filesystem::remove_all(scratch);
  return 0;
}
