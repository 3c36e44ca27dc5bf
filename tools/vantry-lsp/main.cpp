// vantry-lsp: the library's navigation for any editor, as a language server
// (JSON-RPC 2.0 over standard input and output, Content-Length framing). It
// answers with the same resolver, references search, outline, peek and
// declaration ranking as the IDE and vantry-find; it decides nothing itself.
//
// One thread reads, answers and polls the index; the index walks and scans
// on its own threads; one worker runs the long requests (references), so
// that a cancellation read meanwhile reaches the search. Logs go to standard
// error: standard output carries the protocol alone.

#include "Framing.h"
#include "Server.h"

#include "index/Target.h"

#include <signal.h>

#include <cstdio>
#include <string>
#include <string_view>

using namespace Vantry;
using namespace Vantry::Lsp;

namespace {

constexpr const char* Usage = R"(Usage: vantry-lsp [--root DIR]... [--target CPU-OS] [--stdio]

A language server for Pascal sources: speaks the Language Server Protocol on
standard input and output, for Neovim, VS Code, Emacs and any editor with a
language client. It answers go to definition and declaration, go to
implementation (a routine's body, or from a body its heading), find
references, hover, document symbols (the unit's outline) and workspace
symbols (the declaration finder) over one workspace: the client's workspace
folders (your project; else its rootUri), the project of each file opened
outside them, and the libraries. A used unit is looked for beside the file
that uses it, then in the project's folders, then in the libraries in order.

Options:
  --root DIR       a library's folder, when the client's initializationOptions
                   give neither "root" nor "libraries" (give it as often as
                   needed); without any, the one Vantry's settings name
                   (File > Vantry > Options... in the IDE), and before any is
                   set the IDE's default: Source in its installation folder
  --target CPU-OS  the target whose declarations come first (x86_64-linux),
                   when the client's initializationOptions give no "target";
                   without either, the settings' choice, else this machine's
  --stdio          accepted and ignored: standard input and output are the
                   only channel
  -h, --help       show this help
  --version        print the version and exit

initializationOptions: "root" (a library's folder), "libraries" (an array of
folders, searched in that order after "root"), "target" (CPU-OS).

Logs go to standard error. The index of the declarations is kept in
$XDG_CACHE_HOME/vantry (else ~/.cache/vantry), shared with vantry-find and
the IDE.
)";

}  // namespace

int main(int argc, char** argv) {
  TCommandLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--version") {
      std::printf("vantry-lsp %s\n", VANTRY_VERSION);
      return 0;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(Usage, stdout);
      return 0;
    }
    if ((arg == "--root" || arg == "--target") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--root") {
        if (value.empty()) {
          Log("--root wants a folder, not an empty name");
          return 2;
        }
        line.Roots.push_back(value);
      } else if (!(line.Target = ParseTarget(value))) {
        Log("--target wants CPU-OS or CPU-OS-WIDGETSET as the compiler and Lazarus name them (x86_64-linux, x86_64-linux-qt5), not '%s'", value.c_str());
        return 2;
      }
      continue;
    }
    if (arg == "--stdio") continue;  // what some clients add unasked: standard input and output are the only channel
    Log("unknown option %s\nTry 'vantry-lsp --help'.", std::string(arg).c_str());
    return 2;
  }
  // A client that goes away must not kill the server mid-write: the write
  // fails and the server ends on its own terms.
  ::signal(SIGPIPE, SIG_IGN);
  TServer server(std::move(line));
  return server.Serve();
}
