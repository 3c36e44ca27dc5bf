// An add-in's part in the unload test: it sends a file through the SMTP
// control and frees the control while its session thread is stuck reading
// that file, as an add-in does when the IDE closes it mid-send.

#include "mail/isp3.h"

#include <QCoreApplication>
#include <QElapsedTimer>

using namespace Vantry;

// AStuck tells when the session's thread is held in its read. Returns 0 once
// the control has been freed with its thread left behind, else 1.
extern "C" __attribute__((visibility("default"))) int SendAndLeave(const char* AServer, const char* AFile, bool (*AStuck)()) {
  TSMTP* smtp = CreateComponent<TSMTP>(nullptr);
  smtp->SetConnectTimeout(5000);
  smtp->OnError = [](TObject*, int16_t, WideString&, int32_t, const WideString&, const WideString&, int32_t,
                     bool& ACancelDisplay) { ACancelDisplay = true; };
  smtp->OnStateChanged = [smtp, AFile](TObject*, int16_t AState) {
    if (AState != stConnected) return;
    TDocHeaders* h = smtp->DocInput()->Headers();
    h->Add("From", "me@example.org");
    h->Add("To", "you@example.org");
    smtp->SendDocument(std::nullopt, h, std::nullopt, QString::fromUtf8(AFile));
  };
  smtp->Connect(QString::fromUtf8(AServer));
  QElapsedTimer clock;
  clock.start();
  while (!AStuck() && clock.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  const bool stuck = AStuck();
  smtp->Free();  // gives the thread up after a second
  return stuck ? 0 : 1;
}
