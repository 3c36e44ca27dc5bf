// Sends a 100 MB file through the SMTP control to a local aiosmtpd and, in
// the same run, the same file with the curl command-line tool; prints both
// times, the control's speed relative to curl's, and the control's peak
// memory growth while it sends.

#include "BenchSupport.h"
#include "mail/isp3.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

using namespace Vantry;

namespace {

double CpuSeconds(int AWho) {
  rusage usage{};
  getrusage(AWho, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long StatusKilobytes(const char* AField) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(AField, 0) == 0) return std::stol(line.substr(std::strlen(AField) + 1));
  return 0;
}

// Connect, send the file, disconnect; false on any error.
bool SendWithControl(const QString& AServer, const QString& AFile, long& APeakGrowthKb) {
  TSMTP* smtp = CreateComponent<TSMTP>(nullptr);
  QEventLoop loop;
  bool failed = false;
  smtp->OnError = [&](TObject*, int16_t ANumber, WideString& ADescription, int32_t, const WideString&,
                      const WideString&, int32_t, bool& ACancel) {
    ACancel = true;
    failed = true;
    std::fprintf(stderr, "control: error %d: %s\n", ANumber, ADescription.toStdString().c_str());
  };
  smtp->OnStateChanged = [&](TObject*, int16_t AState) {
    if (AState == stConnected) {
      TDocHeaders* h = smtp->DocInput()->Headers();
      h->Add("To", "b@example.org");
      h->Add("From", "a@example.org");
      h->Add("Subject", "bench");
      smtp->SendDocument(std::nullopt, h, std::nullopt, AFile, QString());
    }
    if (AState == stDisconnected) loop.quit();
  };
  smtp->OnDocInput = [&](TObject*, TDocInput* ADoc) {
    if (ADoc->State() == disEnd) smtp->Disconnect();
  };
  std::ofstream("/proc/self/clear_refs") << "5";
  long before = StatusKilobytes("VmRSS:");
  smtp->Connect(AServer);
  loop.exec();
  APeakGrowthKb = StatusKilobytes("VmHWM:") - before;
  smtp->Free();
  return !failed;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTemporaryDir dir;
  const QString file = dir.path() + "/body.txt";
  {
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly)) return 1;
    QByteArray line = "0123456789 the quick brown fox jumps over the lazy dog 0123456789 .,;:!?\r\n";
    QByteArray block;
    while (block.size() < (1 << 20)) block += line;
    for (int i = 0; i < 100; ++i) out.write(block);
  }
  QProcess server;
  server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  server.start("/usr/bin/python3", {VANTRY_SMTP_SERVER, dir.path() + "/server"});
  server.waitForReadyRead(20000);
  QByteArray portLine = server.readLine().trimmed();
  if (!portLine.startsWith("PORT ")) {
    std::fprintf(stderr, "the local SMTP server did not start\n");
    return 1;
  }
  const QString port = QString::fromLatin1(portLine.mid(5));
  const double megabytes = static_cast<double>(QFile(file).size()) / (1 << 20);
  std::printf("SMTP transfer of a %.0f MB file to a local aiosmtpd (best of 2 runs each)\n", megabytes);

  long growthKb = 0, worstGrowthKb = 0;
  double selfCpu = CpuSeconds(RUSAGE_SELF);
  bool ok = true;
  auto control = VantryBench::Measure(2, [&] {
    ok = SendWithControl("127.0.0.1:" + port, file, growthKb) && ok;
    worstGrowthKb = std::max(worstGrowthKb, growthKb);
  });
  selfCpu = CpuSeconds(RUSAGE_SELF) - selfCpu;
  double childCpu = CpuSeconds(RUSAGE_CHILDREN);
  auto cli = VantryBench::Measure(2, [&] {
    QProcess curl;
    curl.setProcessChannelMode(QProcess::ForwardedChannels);
    curl.start("curl", {"-sS", "smtp://127.0.0.1:" + port + "/bench", "--mail-from", "a@example.org", "--mail-rcpt",
                        "b@example.org", "--upload-file", file});
    ok = curl.waitForFinished(-1) && curl.exitCode() == 0 && ok;
  });
  childCpu = CpuSeconds(RUSAGE_CHILDREN) - childCpu;
  VantryBench::Report("TSMTP (connect, send, disconnect)", control);
  VantryBench::Report("curl command-line tool", cli);
  std::printf("%-52s %.2f x curl's speed (%.1f MB/s against %.1f MB/s)\n", "control's speed", cli.BestSeconds / control.BestSeconds,
              megabytes / control.BestSeconds, megabytes / cli.BestSeconds);
  std::printf("%-52s %.2f s against curl's %.2f s\n", "client CPU time per transfer", selfCpu / 2, childCpu / 2);
  std::printf("%-52s %.1f MB\n", "control's peak memory growth while sending", worstGrowthKb / 1024.0);
  server.closeWriteChannel();
  if (!server.waitForFinished(5000)) server.kill();
  if (!ok) std::fprintf(stderr, "a transfer failed: the figures above are not valid\n");
  return ok ? 0 : 1;
}
