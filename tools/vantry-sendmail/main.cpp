// vantry-sendmail: one message through the SMTP control, with the same six
// headers the send-mail form builds. States and progress go to standard
// error; the exit code is 0 only when the server accepted the message.

#include "mail/isp3.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

using namespace Vantry;

namespace {

const char* const Usage =
    "usage: vantry-sendmail --server HOST[:PORT] --from ADDRESS --to ADDRESS[,ADDRESS...]\n"
    "                       [--cc ADDRESS[,...]] [--subject TEXT] [--file PATH] [--cafile PATH]\n"
    "The body is read from standard input when no --file is given.\n";

int Fail(const std::string& AText) {
  std::fprintf(stderr, "vantry-sendmail: %s\n%s", AText.c_str(), Usage);
  return 2;
}

const char* StateName(int16_t AState) {
  switch (AState) {
    case stConnecting: return "connecting";
    case stResolvingHost: return "resolving host";
    case stHostResolved: return "host resolved";
    case stConnected: return "connected";
    case stDisconnecting: return "disconnecting";
    case stDisconnected: return "disconnected";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = app.arguments();
  QString server, from, to, cc, subject, file, cafile;
  bool haveFile = false;
  for (int i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (i + 1 >= args.size()) return Fail("missing value after " + a.toStdString());
    QString v = args[++i];
    if (a == "--server") server = v;
    else if (a == "--from") from = v;
    else if (a == "--to") to = v;
    else if (a == "--cc") cc = v;
    else if (a == "--subject") subject = v;
    else if (a == "--file") { file = v; haveFile = true; }
    else if (a == "--cafile") cafile = v;
    else return Fail("unknown option " + a.toStdString());
  }
  if (server.isEmpty() || from.isEmpty() || to.isEmpty()) return Fail("--server, --from and --to are required");

  QString body;
  if (!haveFile) {
    std::string in{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    body = QString::fromUtf8(in.data(), static_cast<qsizetype>(in.size()));
  }

  TSMTP* smtp = CreateComponent<TSMTP>(nullptr);
  smtp->SetRemoteHost(server);
  smtp->SetCAFile(cafile);
  int exitCode = 1;
  bool failed = false;
  smtp->OnStateChanged = [&](TObject*, int16_t AState) {
    std::fprintf(stderr, "state %d: %s\n", AState, StateName(AState));
    if (AState == stConnected) {
      TDocHeaders* h = smtp->DocInput()->Headers();
      h->Clear();
      h->Add("To", to);
      h->Add("From", from);
      h->Add("CC", cc);
      h->Add("Subject", subject);
      h->Add("Content-Type", "TEXT/PLAIN; charset=US-ASCII");
      h->Add("X-Mailer", "Orvalle X-Mailer version 1.0");
      if (haveFile)
        smtp->SendDocument(std::nullopt, h, std::nullopt, file, QString());
      else
        smtp->SendDocument(std::nullopt, h, body, QString(), QString());
    }
    if (AState == stDisconnected) app.exit(exitCode);
  };
  smtp->OnDocInput = [&](TObject*, TDocInput* ADoc) {
    std::fprintf(stderr, "document %d: %d of %d bytes\n", ADoc->State(), ADoc->BytesTransferred(), ADoc->BytesTotal());
    if (ADoc->State() == disEnd) {
      exitCode = failed ? 1 : 0;
      smtp->Disconnect();
    }
  };
  smtp->OnError = [&](TObject*, int16_t ANumber, WideString& ADescription, int32_t, const WideString&,
                      const WideString&, int32_t, bool& ACancelDisplay) {
    ACancelDisplay = true;
    failed = true;
    std::fprintf(stderr, "error %d: %s\n", ANumber, ADescription.toStdString().c_str());
    for (int i = 1; i <= smtp->Errors()->Count(); ++i)
      std::fprintf(stderr, "  %s\n", smtp->Errors()->Item(i).Description().toStdString().c_str());
  };
  smtp->Connect();
  int result = app.exec();
  smtp->Free();
  return result;
}
