// vantry-lsp as an editor meets it, over the Free Pascal sources: the time
// from start to the first answer (cold, building the cache; then warm, from
// the cache), and the round trip of each request once warm, through the
// server's standard input and output. Targets: workspace/symbol under 20 ms,
// definition under 50 ms, references under 150 ms, hover under 30 ms, the
// document symbols of a unit of over 10,000 lines under 20 ms, the first
// answer from the cache under 200 ms.

#include "BenchSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A client on two pipes: requests out, answers in, in the protocol's frames.
class TClient {
public:
  explicit TClient(const std::string& ARoot) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) std::abort();
    FPid = fork();
    if (FPid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      close(in[1]);
      close(out[0]);
      execl(VANTRY_LSP, VANTRY_LSP, "--root", ARoot.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FTo = in[1];
    FFrom = out[0];
  }
  ~TClient() {
    Request("shutdown", "null");
    Send(R"({"jsonrpc":"2.0","method":"exit"})");
    close(FTo);
    close(FFrom);
    waitpid(FPid, nullptr, 0);
  }

  void Send(const std::string& ABody) {
    const std::string frame = "Content-Length: " + std::to_string(ABody.size()) + "\r\n\r\n" + ABody;
    if (write(FTo, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) std::abort();
  }
  // Sends a request and waits for its answer; the answer's body.
  std::string Request(const std::string& AMethod, const std::string& AParams) {
    const int id = ++FId;
    Send(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + AMethod + R"(","params":)" + AParams + "}");
    for (;;) {
      const std::string body = Read();
      if (body.empty()) return {};
      // The server writes its members in order: "error" and "id" first.
      const size_t at = body.find("\"id\":");
      if (at != std::string::npos && std::atoi(body.c_str() + at + 5) == id && body[at + 5] != '"') return body;
    }
  }

private:
  std::string Read() {
    for (;;) {
      const size_t end = FBuffer.find("\r\n\r\n");
      if (end != std::string::npos) {
        const size_t length = std::strtoul(FBuffer.c_str() + FBuffer.find(':') + 1, nullptr, 10);
        if (FBuffer.size() >= end + 4 + length) {
          std::string body = FBuffer.substr(end + 4, length);
          FBuffer.erase(0, end + 4 + length);
          return body;
        }
      }
      char chunk[65536];
      const ssize_t n = read(FFrom, chunk, sizeof chunk);
      if (n <= 0) return {};
      FBuffer.append(chunk, static_cast<size_t>(n));
    }
  }

public:
  // The server's resident memory now and at its peak, as the system counts it.
  std::string Memory() const {
    std::ifstream status("/proc/" + std::to_string(FPid) + "/status");
    std::string line, memory;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0 || line.rfind("VmHWM:", 0) == 0) memory += line + "  ";
    return memory;
  }

private:
  pid_t FPid;
  int FTo, FFrom;
  int FId = 0;
  std::string FBuffer;
};

std::string Quoted(const std::string& AText) {
  std::string quoted = "\"";
  for (const char c : AText) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c == '\n') {
      quoted += "\\n";
      continue;
    }
    quoted += c;
  }
  return quoted + "\"";
}

const char* Initialize = R"({"processId":null,"rootUri":null,"capabilities":{"general":{"positionEncodings":["utf-16"]},
  "textDocument":{"documentSymbol":{"hierarchicalDocumentSymbolSupport":true}}}})";

// A program of the user's that uses the library, as an editor sends it.
const char* Program = "program Bench;\n{$mode objfpc}\nuses SysUtils, Classes;\nvar L: TStringList;\nbegin\n"
                      "  L := TStringList.Create;\n  L.Add(IntToStr(1));\n  L.Sort;\nend.\n";

std::string Position(const char* AUri, int ALine, int ACharacter) {
  return std::string(R"({"textDocument":{"uri":")") + AUri + R"("},"position":{"line":)" + std::to_string(ALine) +
         R"(,"character":)" + std::to_string(ACharacter) + "}}";
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  signal(SIGPIPE, SIG_IGN);
  if (!fs::is_directory(VANTRY_FPC_SOURCE)) {
    std::printf("lsp_bench: no Free Pascal sources at %s; nothing measured\n", VANTRY_FPC_SOURCE);
    return 0;
  }
  const fs::path cache = fs::temp_directory_path() / ("vantry-lsp-bench-" + std::to_string(getpid()));
  setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  const std::string root = VANTRY_FPC_SOURCE;
  auto firstAnswer = [&] {
    TClient client(root);
    client.Request("initialize", Initialize);
    client.Send(R"({"jsonrpc":"2.0","method":"initialized","params":{}})");
    client.Request("workspace/symbol", R"({"query":"IntToStr"})");
  };
  VantryBench::Report("start to first workspace/symbol, cold (builds the cache)", VantryBench::Measure(1, firstAnswer));
  const auto warmStart = VantryBench::Measure(5, firstAnswer);
  VantryBench::Report("start to first workspace/symbol, from the cache", warmStart);
  std::printf("  median %.1f ms (target: under 200 ms)\n", warmStart.MedianSeconds * 1e3);

  TClient client(root);
  client.Request("initialize", Initialize);
  client.Send(R"({"jsonrpc":"2.0","method":"initialized","params":{}})");
  const char* uri = "file:///bench/program.pp";
  client.Send(std::string(R"({"jsonrpc":"2.0","method":"textDocument/didOpen","params":{"textDocument":{"uri":")") + uri +
              R"(","languageId":"pascal","version":1,"text":)" + Quoted(Program) + "}}}");
  const std::string big = root + "/packages/fcl-report/src/fpreport.pp";  // 12,642 lines
  std::ifstream in(big);
  std::ostringstream bigText;
  bigText << in.rdbuf();
  const std::string bigUri = "file://" + big;
  client.Send(R"({"jsonrpc":"2.0","method":"textDocument/didOpen","params":{"textDocument":{"uri":")" + bigUri +
              R"(","languageId":"pascal","version":1,"text":)" + Quoted(bigText.str()) + "}}}");
  struct TRow {
    const char* What;
    std::string Method, Params;
    double TargetMs;
  };
  const std::vector<TRow> rows = {
      {"workspace/symbol IntToStr", "workspace/symbol", R"({"query":"IntToStr"})", 20},
      {"workspace/symbol tsl", "workspace/symbol", R"({"query":"tsl"})", 20},
      {"workspace/symbol TStringList.So", "workspace/symbol", R"({"query":"TStringList.So"})", 20},
      {"definition of IntToStr", "textDocument/definition", Position(uri, 6, 10), 50},
      {"definition of L.Sort (through the type)", "textDocument/definition", Position(uri, 7, 5), 50},
      {"hover on IntToStr", "textDocument/hover", Position(uri, 6, 10), 30},
      {"hover on TStringList", "textDocument/hover", Position(uri, 3, 10), 30},
      {"references of TStringList.Sort", "textDocument/references",
       Position(uri, 7, 5).insert(1, R"("context":{"includeDeclaration":true},)"), 150},
      {"documentSymbol of fpreport.pp (12,642 lines)", "textDocument/documentSymbol",
       R"({"textDocument":{"uri":")" + bigUri + R"("}})", 20},
  };
  for (const TRow& row : rows) {
    size_t bytes = 0;
    const auto timing = VantryBench::Measure(9, [&] { bytes = client.Request(row.Method, row.Params).size(); });
    VantryBench::Report(row.What, timing);
    std::printf("  median %.1f ms (target: under %.0f ms), answer %zu bytes\n", timing.MedianSeconds * 1e3,
                row.TargetMs, bytes);
  }
  std::printf("server memory after the requests, two documents open (12,651 lines): %s\n", client.Memory().c_str());
  std::error_code error;
  fs::remove_all(cache, error);
  return 0;
}
