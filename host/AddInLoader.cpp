#include "AddInLoader.h"

#include "hostmodel/AddInCall.h"
#include "platform/Registry.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iterator>

// The ELF header of the program itself, placed by the linker: what "this
// machine" means for a library.
extern "C" const ElfW(Ehdr) __ehdr_start;

namespace Vantry {

namespace {
// The loader whose library is being initialised: the registration procedure
// is a plain function, as the entry point expects.
TAddInLoader* Registering = nullptr;

const char* ExpertsKey = "\\Software\\Borland\\Delphi\\3.0\\Experts";

class TFile {
public:
  explicit TFile(int AFd) : Fd(AFd) {}
  ~TFile() {
    if (Fd >= 0) close(Fd);
  }
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  bool ReadAt(void* ABuffer, size_t ASize, uint64_t AOffset) const {
    return pread(Fd, ABuffer, ASize, static_cast<off_t>(AOffset)) == static_cast<ssize_t>(ASize);
  }
  int Fd;
};
// A library's start-up code runs inside the system loader: one that aborts
// or crashes takes the process with it, and nothing in-process can prevent
// that. While a library is being started, such a signal first writes which
// library it was to standard error; then the signal's previous action runs.
class TFatalSignalNote {
public:
  explicit TFatalSignalNote(const std::string& APath) {
    std::string text = "vantry-host: the expert library " + APath + " stopped the IDE while it was being started\n";
    Length = std::min(text.size(), sizeof Message);
    std::memcpy(Message, text.data(), Length);
    struct sigaction note {};
    note.sa_handler = &Note;
    sigemptyset(&note.sa_mask);
    for (size_t i = 0; i < std::size(Signals); ++i) sigaction(Signals[i], &note, &Previous[i]);
  }
  ~TFatalSignalNote() {
    for (size_t i = 0; i < std::size(Signals); ++i) sigaction(Signals[i], &Previous[i], nullptr);
  }
  TFatalSignalNote(const TFatalSignalNote&) = delete;
  TFatalSignalNote& operator=(const TFatalSignalNote&) = delete;

private:
  static void Note(int ASignal) {
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, Message, Length);
    // Back to the previous action, which runs when the signal comes again:
    // abort() raises it again, a fault repeats when the handler returns.
    for (size_t i = 0; i < std::size(Signals); ++i)
      if (Signals[i] == ASignal) {
        sigaction(ASignal, &Previous[i], nullptr);
        if (Previous[i].sa_handler == SIG_DFL) raise(ASignal);  // delivered as the handler returns
      }
  }

  static constexpr int Signals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE};
  static inline struct sigaction Previous[std::size(Signals)];
  static inline char Message[1024];
  static inline size_t Length = 0;
};
}  // namespace

TAddInLoader::TAddInLoader(TIToolServices* AServices, TReport AReport, THostMenuModel* AMenu)
    : FServices(AServices), FReport(std::move(AReport)), FMenu(AMenu) {}

TAddInLoader::~TAddInLoader() { Unload(); }

// The system loader reads the file with plain reads (a FIFO would block it
// for ever) and maps its segments (a segment past the end of the file gives
// SIGBUS when touched): what it would choke on is refused here first. The
// file is opened without blocking, so that a FIFO or a device answers at once.
std::string TAddInLoader::UnloadableReason(const std::string& APath) {
  TFile file(open(APath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.Fd < 0) return std::string("it cannot be opened: ") + std::strerror(errno);
  struct stat info;
  if (fstat(file.Fd, &info) != 0) return std::string("it cannot be examined: ") + std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return "it is a folder, not a library file";
  if (!S_ISREG(info.st_mode)) return "it is not a regular file (a pipe, a socket or a device)";
  const uint64_t size = static_cast<uint64_t>(info.st_size);

  ElfW(Ehdr) header;
  if (!file.ReadAt(&header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return "it is not a shared library (no ELF header)";
  const ElfW(Ehdr)& own = __ehdr_start;
  if (header.e_ident[EI_CLASS] != own.e_ident[EI_CLASS])
    return header.e_ident[EI_CLASS] == ELFCLASS32 ? "it is a 32-bit library; this IDE is 64-bit"
                                                  : "its ELF class does not match this IDE's";
  if (header.e_ident[EI_DATA] != own.e_ident[EI_DATA]) return "its byte order is not this machine's";
  if (header.e_machine != own.e_machine)
    return "it is built for another processor (ELF machine " + std::to_string(header.e_machine) + ", this IDE's is " +
           std::to_string(own.e_machine) + ")";
  if (header.e_type != ET_DYN) return "it is an ELF file but not a shared library";
  if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phoff > size ||
      uint64_t(header.e_phnum) * sizeof(ElfW(Phdr)) > size - header.e_phoff)
    return "it is damaged: its program headers lie outside the file";
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) segment;
    if (!file.ReadAt(&segment, sizeof segment, header.e_phoff + i * sizeof segment))
      return "it cannot be read: " + std::string(std::strerror(errno));
    if (segment.p_filesz > 0 && (segment.p_offset > size || segment.p_filesz > size - segment.p_offset))
      return "it is damaged or truncated: a segment ends at byte " +
             std::to_string(uint64_t(segment.p_offset) + segment.p_filesz) + " of a file of " + std::to_string(size) +
             " bytes";
  }
  return {};
}

bool TAddInLoader::RegisterExpert(TIExpert* AExpert) {
  TAddInLoader* self = Registering;
  if (!self || !AExpert) return false;
  // A second copy of an add-in (under another path) would put its menu and
  // its experts into the IDE twice: an ID string names one expert.
  std::string id;
  if (!CallAddIn([&] { id = AExpert->GetIDString(); })) {
    self->FRefusal = "its expert raised an exception when asked for its ID string";
    return false;
  }
  for (size_t i = 0; i < self->FExperts.size(); ++i) {
    std::string other;
    CallAddIn([&] { other = self->FExperts[i]->GetIDString(); });
    if (other == id) {
      self->FRefusal = "its expert \"" + id + "\" is registered already, by the library " + self->FExpertLibraries[i];
      return false;
    }
  }
  self->FExperts.push_back(AExpert);
  self->FExpertLibraries.push_back(self->FLoadingPath);
  return true;
}

void TAddInLoader::Close(TLibrary& ALibrary) {
  if (TExpertTerminateProc terminate = std::exchange(ALibrary.Terminate, nullptr)) CallAddIn(terminate);
  if (void* handle = std::exchange(ALibrary.Handle, nullptr)) dlclose(handle);
}

bool TAddInLoader::Fail(const std::string& APath, const std::string& AWhy, TLibrary ALibrary, size_t AFirstExpert,
                        int AOrigin) {
  for (size_t i = AFirstExpert; i < FExperts.size(); ++i) CallAddIn([&] { FExperts[i]->Release(); });
  FExperts.resize(AFirstExpert);
  FExpertLibraries.resize(AFirstExpert);
  // Its modules that were not registered live on until the library's
  // finalization, if the system unloads it at all: their items go now.
  if (FMenu) FMenu->WithdrawOrigin(AOrigin);
  Close(ALibrary);
  if (FReport) FReport("The expert library " + APath + " was not loaded: " + AWhy);
  return false;
}

bool TAddInLoader::Load(const std::string& APath) {
  size_t firstExpert = FExperts.size();
  if (std::string why = UnloadableReason(APath); !why.empty()) return Fail(APath, why, {}, firstExpert);
  ToolServices = FServices;
  // What the library inserts while it loads carries its tag, until it is
  // loaded or has failed.
  const int origin = ++FLoads;
  struct TTagging {
    THostMenuModel* Menu;
    TTagging(THostMenuModel* AMenu, int AOrigin) : Menu(AMenu) {
      if (Menu) Menu->SetInsertOrigin(AOrigin);
    }
    ~TTagging() {
      if (Menu) Menu->SetInsertOrigin(0);
    }
  } tagging(FMenu, origin);
  TFatalSignalNote note(APath);
  TLibrary library{dlopen(APath.c_str(), RTLD_NOW | RTLD_LOCAL), APath, nullptr};
  if (!library.Handle) {
    const char* why = dlerror();
    return Fail(APath, why ? why : "it cannot be opened", {}, firstExpert);
  }
  // The system loader hands out an open library again without starting it
  // anew; its experts are registered already.
  for (const TLibrary& loaded : FLibraries)
    if (loaded.Handle == library.Handle) {
      dlclose(library.Handle);
      if (FReport) FReport("The expert library " + APath + " is loaded already");
      return false;
    }
  auto init = reinterpret_cast<TExpertInitProc>(dlsym(library.Handle, ExpertEntryPoint));
  if (!init) return Fail(APath, std::string("it has no entry point ") + ExpertEntryPoint, library, firstExpert, origin);

  bool ok = false;
  std::string why = std::string(ExpertEntryPoint) + " answered false";
  Registering = this;
  FLoadingPath = APath;
  FRefusal.clear();
  try {
    ok = init(FServices, &TAddInLoader::RegisterExpert, &library.Terminate);
  } catch (const std::exception& e) {
    why = std::string(ExpertEntryPoint) + " raised: " + e.what();
  } catch (...) {
    why = std::string(ExpertEntryPoint) + " raised an unknown exception";
  }
  Registering = nullptr;
  if (ok && !FRefusal.empty()) {
    ok = false;
    why = FRefusal;
  }
  if (!ok) return Fail(APath, why, library, firstExpert, origin);
  FLibraries.push_back(library);
  return true;
}

void TAddInLoader::Unload() {
  for (TIExpert* e : FExperts) CallAddIn([e] { e->Release(); });
  FExperts.clear();
  FExpertLibraries.clear();
  for (auto it = FLibraries.rbegin(); it != FLibraries.rend(); ++it) Close(*it);
  FLibraries.clear();
}

std::vector<std::string> TAddInLoader::FolderLibraries(const std::string& AFolder) {
  std::vector<std::string> libraries;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(AFolder, error)) {
    std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] != '.' && !entry.is_directory(error)) libraries.push_back(entry.path().string());
  }
  std::sort(libraries.begin(), libraries.end());
  return libraries;
}

std::vector<std::string> TAddInLoader::ConfiguredLibraries(const TReport& AReport) {
  std::vector<std::string> libraries;
  TRegistry reg;
  reg.SetRootKey(HKEY_CURRENT_USER);
  if (!reg.OpenKey(ExpertsKey, false)) return libraries;
  std::vector<std::string> names;
  reg.GetValueNames(names);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (reg.GetDataType(name) == rdString)
      libraries.push_back(reg.ReadString(name));
    else if (AReport)
      AReport("The value '" + name + "' under " + RootKeyName(HKEY_CURRENT_USER) + ExpertsKey +
              " is not a string naming an expert library; it was skipped");
  }
  return libraries;
}

}  // namespace Vantry
