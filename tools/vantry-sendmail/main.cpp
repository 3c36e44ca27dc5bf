// vantry-sendmail: one message through the SMTP control, with the same six
// headers the send-mail form builds. States and progress go to standard
// error. Exit codes: 0 when the server accepted the message, 1 when it was
// not sent, 2 for a usage error.

#include "mail/isp3.h"
#include "mail/isp3Message.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

using namespace Vantry;

namespace {

const char* const Usage =
    "usage: vantry-sendmail --server HOST[:PORT] --from ADDRESS --to ADDRESS[,ADDRESS...] [OPTION...]\n"
    "Sends one message through Vantry's SMTP control and prints its states and progress.\n"
    "\n"
    "  --server HOST[:PORT]   the SMTP server: a name, an address or [IPv6]; port 25 by default\n"
    "  --from ADDRESS         the sender\n"
    "  --to ADDRESS[,...]     the recipients\n"
    "  --cc ADDRESS[,...]     more recipients, named in a CC header\n"
    "  --subject TEXT         the subject\n"
    "  --file PATH            the body: this file's bytes, sent as they are (quoted-printable\n"
    "                         when not ASCII, with charset UTF-8 when valid, else ISO-8859-1)\n"
    "                         default: standard input, read as UTF-8 when valid, otherwise as\n"
    "                         ISO-8859-1, and sent as UTF-8\n"
    "  --cafile PATH          check the server's certificate against these CA certificates\n"
    "                         instead of the system's; TLS is then required\n"
    "  --require-tls          send nothing unless the server offers STARTTLS and it succeeds\n"
    "  --timeout SECONDS      the connect and response time-outs (default 30 and 60)\n"
    "  -h, --help             this text\n"
    "  --version              print the version and exit\n"
    "\n"
    "Exit status: 0 when the server accepted the message, 1 when it was not sent, 2 for a usage error.\n";

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

struct TOptions {
  QString Server, From, To, CC, Subject, File, CAFile;
  bool HaveFile = false, RequireTls = false;
  int TimeoutMs = 0;  // 0: the control's defaults
};

// Reads the command line into AOptions; returns the exit code to stop with,
// or -1 to go on.
int ParseArguments(const QStringList& AArgs, TOptions& AOptions) {
  for (int i = 1; i < AArgs.size(); ++i) {
    const QString& a = AArgs[i];
    if (a == "--help" || a == "-h") {
      std::fputs(Usage, stdout);
      return 0;
    }
    if (a == "--require-tls") {
      AOptions.RequireTls = true;
      continue;
    }
    static const QStringList Valued = {"--server", "--from", "--to", "--cc", "--subject", "--file", "--cafile", "--timeout"};
    if (!Valued.contains(a)) return Fail("unknown option " + a.toStdString());
    if (i + 1 >= AArgs.size()) return Fail("missing value after " + a.toStdString());
    QString v = AArgs[++i];
    if (a == "--server") AOptions.Server = v;
    else if (a == "--from") AOptions.From = v;
    else if (a == "--to") AOptions.To = v;
    else if (a == "--cc") AOptions.CC = v;
    else if (a == "--subject") AOptions.Subject = v;
    else if (a == "--file") { AOptions.File = v; AOptions.HaveFile = true; }
    else if (a == "--cafile") AOptions.CAFile = v;
    else if (a == "--timeout") {
      bool ok = false;
      double seconds = v.toDouble(&ok);
      if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400)
        return Fail("--timeout takes a number of seconds above 0 and at most 86400, not \"" + v.toStdString() + "\"");
      AOptions.TimeoutMs = std::max(1, static_cast<int>(std::lround(seconds * 1000)));
    }
    else return Fail("unknown option " + a.toStdString());
  }
  if (AOptions.Server.isEmpty() || AOptions.From.isEmpty() || AOptions.To.isEmpty())
    return Fail("--server, --from and --to are required");
  // What cannot be sent is found before any server is troubled.
  const std::pair<const char*, const QString*> lists[] = {{"--from", &AOptions.From}, {"--to", &AOptions.To}, {"--cc", &AOptions.CC}};
  for (const auto& [name, list] : lists) {
    std::vector<std::string> errors;
    std::vector<Isp3::TMailbox> boxes = Isp3::ParseAddressList(list->toStdString(), list == &AOptions.CC, errors);
    if (!errors.empty()) return Fail(std::string(name) + ": " + errors.front());
    if (list == &AOptions.From && boxes.size() != 1) return Fail("--from takes one address");
  }
  if (AOptions.Subject.contains('\r') || AOptions.Subject.contains('\n') || AOptions.Subject.contains(QChar(0)))
    return Fail("--subject holds a line break");
  if (AOptions.HaveFile) {
    const QByteArray path = QFile::encodeName(AOptions.File);
    struct stat info {};
    QFile probe(AOptions.File);
    if (::stat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode) || !probe.open(QIODevice::ReadOnly))
      return Fail("--file: \"" + AOptions.File.toStdString() + "\" is not a file that can be read");
  }
  return -1;
}

// Standard input as text: its bytes as UTF-8 when they are valid UTF-8,
// otherwise as ISO-8859-1, so that no byte is lost or replaced.
QString ReadStandardInput() {
  std::string in{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
  auto size = static_cast<qsizetype>(in.size());
  return Isp3::IsValidUtf8(in) ? QString::fromUtf8(in.data(), size) : QString::fromLatin1(in.data(), size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vantry-sendmail %s\n", VANTRY_VERSION);
    return 0;
  }
  QCoreApplication app(argc, argv);
  TOptions options;
  if (int stop = ParseArguments(app.arguments(), options); stop >= 0) return stop;
  QString body = options.HaveFile ? QString() : ReadStandardInput();

  TSMTP* smtp = CreateComponent<TSMTP>(nullptr);
  smtp->SetRemoteHost(options.Server);
  smtp->SetCAFile(options.CAFile);
  smtp->SetRequireTLS(options.RequireTls);
  if (options.TimeoutMs) {
    smtp->SetConnectTimeout(options.TimeoutMs);
    smtp->SetResponseTimeout(options.TimeoutMs);
  }
  int exitCode = 1;
  bool failed = false;
  smtp->OnStateChanged = [&](TObject*, int16_t AState) {
    std::fprintf(stderr, "state %d: %s\n", AState, StateName(AState));
    if (AState == stConnected) {
      TDocHeaders* h = smtp->DocInput()->Headers();
      h->Clear();
      h->Add("To", options.To);
      h->Add("From", options.From);
      // No CC header when there is no copy: an empty one says nothing.
      if (!options.CC.trimmed().isEmpty()) h->Add("CC", options.CC);
      h->Add("Subject", options.Subject);
      h->Add("Content-Type", "TEXT/PLAIN; charset=US-ASCII");
      h->Add("X-Mailer", "Orvalle X-Mailer version 1.0");
      if (options.HaveFile)
        smtp->SendDocument(std::nullopt, h, std::nullopt, options.File, QString());
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
