#include "RegistryBench.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/Registry.h"

using namespace Vantry;

namespace {

// Points the registry at a fresh temporary folder, and back and away again.
class TScratchHives {
public:
  TScratchHives() {
    std::string Pattern = (std::filesystem::temp_directory_path() / "vantry-regbench-XXXXXX").string();
    if (!mkdtemp(Pattern.data())) throw std::runtime_error("cannot create a temporary folder");
    FDir = Pattern;
    if (const char* Old = std::getenv("VANTRY_REGISTRY_DIR")) FSaved = Old;
    setenv("VANTRY_REGISTRY_DIR", FDir.c_str(), 1);
  }
  ~TScratchHives() {
    if (FSaved)
      setenv("VANTRY_REGISTRY_DIR", FSaved->c_str(), 1);
    else
      unsetenv("VANTRY_REGISTRY_DIR");
    std::error_code Ignored;
    std::filesystem::remove_all(FDir, Ignored);
  }

private:
  std::string FDir;
  std::optional<std::string> FSaved;
};

void Measure(const char* What, int Count, const std::function<void(int)>& Operation) {
  auto Start = std::chrono::steady_clock::now();
  for (int I = 0; I < Count; ++I) Operation(I);
  double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  std::printf("  %-52s %8.1f ms  %7.2f us/op\n", What, Seconds * 1e3, Seconds * 1e6 / Count);
}

}  // namespace

void RunRegistryBench() {
  constexpr int Count = 10000;
  TScratchHives Scratch;
  std::printf("registry (SQLite, WAL, synchronous=NORMAL):\n");
  {
    TRegistry Reg;
    Reg.OpenKey("\\Software\\Bench", true);
    Measure("10,000 writes, WriteString/WriteInteger alternating", Count, [&](int I) {
      std::string Name = "V" + std::to_string(I);
      if (I % 2)
        Reg.WriteInteger(Name, I);
      else
        Reg.WriteString(Name, "value " + std::to_string(I));
    });
    Measure("10,000 reads, ReadString/ReadInteger alternating", Count, [&](int I) {
      std::string Name = "V" + std::to_string(I);
      if (I % 2)
        Reg.ReadInteger(Name);
      else
        Reg.ReadString(Name);
    });
  }
  // How settings are read in practice: a fresh accessor for every look-up.
  Measure("1,000 create, OpenKey, ReadString, free", 1000, [](int I) {
    TRegistry Reg;
    Reg.OpenKey("\\Software\\Bench", false);
    Reg.ReadString("V" + std::to_string(I * 2));
  });
  // The default author is written this way: each accessor checks the hive
  // whole before its first write.
  Measure("1,000 create, OpenKey (creating), WriteString, free", 1000, [](int I) {
    TRegistry Reg;
    Reg.OpenKey("\\Software\\Bench", true);
    Reg.WriteString("W", std::to_string(I));
  });
  // Exporting costs one look-up per key, however deep the keys lie.
  for (int Depth : {1000, 5000}) {
    {
      TRegistry Reg;
      Reg.OpenKey("\\Chain" + std::to_string(Depth), true);
      for (int I = 0; I < Depth; ++I) Reg.OpenKey("K", true);  // one level deeper each time
    }
    std::string Command = std::string(VANTRY_REG_TOOL) + " export Chain" + std::to_string(Depth) + " >/dev/null";
    Measure(("vantry-reg export of a chain of keys " + std::to_string(Depth) + " deep").c_str(), 1, [&](int) {
      if (std::system(Command.c_str()) != 0) throw std::runtime_error("vantry-reg export failed");
    });
  }
}
