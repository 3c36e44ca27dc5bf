// A stand-in for the IDE in the unload test. It loads an add-in that frees
// its SMTP control while the control's session thread is stuck in a read of
// the body file (a hung network file system), unloads the add-in as the IDE
// does at exit, and then lets the read return: the thread wakes and must
// find its code still there. Exits 0 when it lived through it.
//
// usage: unload_host MODULE SERVER FILE

#include <QCoreApplication>
#include <QThread>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<ino_t> StallInode{0};
std::atomic<bool> Stalled{false}, Released{false};
}  // namespace

// Every read of the process comes here (the host exports it, so the
// libraries' reads bind to it); a read of the chosen file stalls until the
// host releases it, as a read on a hung file system does.
extern "C" __attribute__((visibility("default"))) ssize_t read(int AFd, void* ABuffer, size_t ACount) {
  struct stat info {};
  if (StallInode != 0 && ::fstat(AFd, &info) == 0 && info.st_ino == StallInode) {
    Stalled = true;
    while (!Released) ::usleep(10000);
  }
  return ::syscall(SYS_read, AFd, ABuffer, ACount);
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 4) return 2;
  struct stat info {};
  if (::stat(argv[3], &info) != 0) return 2;
  StallInode = info.st_ino;
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!module) return std::fprintf(stderr, "%s\n", dlerror()), 2;
  auto send = reinterpret_cast<int (*)(const char*, const char*, bool (*)())>(dlsym(module, "SendAndLeave"));
  if (!send || send(argv[2], argv[3], [] { return Stalled.load(); }) != 0) return 3;
  dlclose(module);
  Released = true;
  QThread::msleep(1500);  // the thread reads on, ends and frees itself meanwhile
  QCoreApplication::processEvents();
  std::puts("lived on");
  return 0;
}
