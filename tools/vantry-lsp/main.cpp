// vantry-lsp: the library's navigation for any editor, as a language server
// (JSON-RPC 2.0 over standard input and output, Content-Length framing). It
// answers with the same resolver, references search, outline, peek and
// declaration ranking as the IDE and vantry-find; it decides nothing itself.
//
// One thread reads, answers and polls the index; the index walks and scans
// on its own threads; one worker runs the long requests (references), so
// that a cancellation read meanwhile reaches the search. Logs go to standard
// error: standard output carries the protocol alone.

#include "finder/DeclarationRanking.h"
#include "finder/DeclarationScanner.h"
#include "finder/DeclarationTable.h"
#include "finder/LibraryIndex.h"
#include "navigation/Counterpart.h"
#include "navigation/Outline.h"
#include "navigation/Peek.h"
#include "navigation/References.h"
#include "navigation/Resolver.h"
#include "source_menu/Settings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

using namespace Vantry;

namespace {

constexpr const char* Usage = R"(Usage: vantry-lsp [--root DIR] [--target CPU-OS]

A language server for Pascal library sources: speaks the Language Server
Protocol on standard input and output, for Neovim, VS Code, Emacs and any
editor with a language client. It answers go to definition and declaration,
go to implementation (a routine's body, or from a body its heading), find
references, hover, document symbols (the unit's outline) and workspace
symbols (the declaration finder) over the library below the source folder,
and over the user's own files that use it.

Options:
  --root DIR       the source folder, when the client's initializationOptions
                   give no "root"; without either, the one Vantry's settings
                   name (File > Vantry > Options... in the IDE), and before any
                   is set the IDE's default: Source in its installation folder
  --target CPU-OS  the target whose declarations come first (x86_64-linux),
                   when the client's initializationOptions give no "target";
                   without either, the settings' choice, else this machine's
  -h, --help       show this help
  --version        print the version and exit

Logs go to standard error. The index of the declarations is kept in
$XDG_CACHE_HOME/vantry (else ~/.cache/vantry), shared with vantry-find and
the IDE.
)";

// The error codes JSON-RPC and the protocol name.
enum TErrorCode : int {
  ecParseError = -32700,
  ecInvalidRequest = -32600,
  ecMethodNotFound = -32601,
  ecInvalidParams = -32602,
  ecInternalError = -32603,
  ecServerNotInitialized = -32002,
  ecRequestCancelled = -32800,
};

// A frame's header ends within this many bytes, and its body is at most
// this long: a larger one is read past and refused, not held in memory.
constexpr size_t MaxHeaderBytes = 64 * 1024;
constexpr size_t MaxMessageBytes = 64 * 1024 * 1024;
// Workspace symbols answered for one query, best first.
constexpr size_t WorkspaceSymbolLimit = 100;

__attribute__((format(printf, 1, 2))) void Log(const char* AFormat, ...) {
  std::va_list args;
  va_start(args, AFormat);
  std::fprintf(stderr, "vantry-lsp: ");
  std::vfprintf(stderr, AFormat, args);
  std::fputc('\n', stderr);
  va_end(args);
}

QString Q(const std::string& AText) { return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size())); }
std::string S(const QString& AText) { return AText.toStdString(); }

size_t SequenceLength(unsigned char AByte);

// AText as a JSON string; a byte that is not UTF-8 becomes U+FFFD, as Qt's
// conversion makes it.
void AppendJsonString(std::string& AOut, std::string_view AText) {
  AOut += '"';
  for (size_t i = 0; i < AText.size();) {
    const unsigned char c = static_cast<unsigned char>(AText[i]);
    if (c == '"' || c == '\\') {
      AOut += '\\';
      AOut += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      AOut += escaped;
      ++i;
    } else if (c < 0x80) {
      AOut += static_cast<char>(c);
      ++i;
    } else {
      const size_t length = SequenceLength(c);
      bool valid = c >= 0xC2 && c <= 0xF4 && i + length <= AText.size();
      for (size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(AText[i + k]) & 0xC0) == 0x80;
      if (valid) {
        AOut.append(AText.substr(i, length));
        i += length;
      } else {
        AOut += "\\ufffd";
        ++i;
      }
    }
  }
  AOut += '"';
}

// Standard output, shared by the main thread and the worker: each message
// goes out whole.
class TOutput {
public:
  void Send(const QJsonObject& AMessage) {
    QJsonObject message = AMessage;
    message.insert("jsonrpc", "2.0");
    Write(QJsonDocument(message).toJson(QJsonDocument::Compact).toStdString());
  }
  void Write(const std::string& ABody) {
    const std::string frame = "Content-Length: " + std::to_string(ABody.size()) + "\r\n\r\n" + ABody;
    std::lock_guard<std::mutex> lock(FLock);
    size_t written = 0;
    while (written < frame.size()) {
      const ssize_t n = ::write(STDOUT_FILENO, frame.data() + written, frame.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        FBroken = true;  // the client has gone: the reader meets the end too
        return;
      }
      written += static_cast<size_t>(n);
    }
  }
  void Answer(const QJsonValue& AId, const QJsonValue& AResult) { Send({{"id", AId}, {"result", AResult}}); }
  // An answer whose result is JSON text already.
  void AnswerText(const QJsonValue& AId, const std::string& AResult) {
    const QByteArray id = QJsonDocument(QJsonArray{AId}).toJson(QJsonDocument::Compact);
    Write("{\"id\":" + id.mid(1, id.size() - 2).toStdString() + ",\"jsonrpc\":\"2.0\",\"result\":" + AResult + "}");
  }
  void Fail(const QJsonValue& AId, int ACode, const std::string& AMessage) {
    Send({{"id", AId}, {"error", QJsonObject{{"code", ACode}, {"message", Q(AMessage)}}}});
  }
  void Notify(const char* AMethod, const QJsonValue& AParams) {
    Send({{"method", AMethod}, {"params", AParams}});
  }
  bool Broken() const { return FBroken; }

private:
  std::mutex FLock;
  std::atomic<bool> FBroken{false};
};

// Cuts standard input into frames. Whatever does not frame (a header with no
// Content-Length, bytes left over by a wrong length) is reported and passed
// over up to the next header's end, so the stream recovers at the next
// well-formed frame.
class TFrameReader {
public:
  enum TResult { frMessage, frBadFrame, frNeedMore, frEnd };

  // Waits up to ATimeoutMs for input and takes what has come.
  void Fill(int ATimeoutMs) {
    if (FEnd) return;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (::poll(&in, 1, ATimeoutMs) <= 0) return;
    char chunk[65536];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n > 0) {
      FBuffer.append(chunk, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      FEnd = true;
    }
  }

  TResult Next(std::string& ABody, std::string& AError) {
    if (FSkip > 0) {  // the rest of a refused body
      const size_t dropped = std::min(FSkip, FBuffer.size());
      FBuffer.erase(0, dropped);
      FSkip -= dropped;
      if (FSkip > 0) return FEnd ? frEnd : frNeedMore;
    }
    const size_t headerEnd = FBuffer.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
      if (FBuffer.size() > MaxHeaderBytes) {
        FBuffer.erase(0, FBuffer.size() - 3);
        AError = "a frame's header is longer than " + std::to_string(MaxHeaderBytes) + " bytes";
        return frBadFrame;
      }
      if (FEnd && !FBuffer.empty()) {
        AError = "the input ended inside a frame's header";
        FBuffer.clear();
        return frBadFrame;
      }
      return FEnd ? frEnd : frNeedMore;
    }
    if (!FLength) {
      std::optional<size_t> length = ContentLength(std::string_view(FBuffer).substr(0, headerEnd));
      if (!length) {
        FBuffer.erase(0, headerEnd + 4);
        AError = "a frame has no valid Content-Length header";
        return frBadFrame;
      }
      if (*length > MaxMessageBytes) {
        FBuffer.erase(0, headerEnd + 4);
        FSkip = *length;
        AError = "a message of " + std::to_string(*length) + " bytes is larger than the limit of " +
                 std::to_string(MaxMessageBytes);
        return frBadFrame;
      }
      FLength = length;
    }
    if (FBuffer.size() - headerEnd - 4 < *FLength) {
      if (FEnd) {
        AError = "the input ended inside a message";
        FBuffer.clear();
        FLength.reset();
        return frBadFrame;
      }
      return frNeedMore;
    }
    ABody = FBuffer.substr(headerEnd + 4, *FLength);
    FBuffer.erase(0, headerEnd + 4 + *FLength);
    FLength.reset();
    return frMessage;
  }

  bool Ended() const { return FEnd; }

private:
  // The last Content-Length of the header (case ignored, anywhere in it:
  // bytes left over before it are garbage); nothing when none is a number.
  static std::optional<size_t> ContentLength(std::string_view AHeader) {
    std::string lower(AHeader);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.rfind("content-length:");
    if (at == std::string::npos) return std::nullopt;
    size_t i = at + 15;
    while (i < lower.size() && (lower[i] == ' ' || lower[i] == '\t')) ++i;
    size_t value = 0, digits = 0;
    for (; i < lower.size() && std::isdigit(static_cast<unsigned char>(lower[i])); ++i, ++digits) {
      if (value > MaxMessageBytes * 16) return MaxMessageBytes * 16;  // huge: refused by size
      value = value * 10 + static_cast<size_t>(lower[i] - '0');
    }
    while (i < lower.size() && (lower[i] == ' ' || lower[i] == '\t')) ++i;
    if (digits == 0 || (i < lower.size() && lower[i] != '\r' && lower[i] != '\n')) return std::nullopt;
    return value;
  }

  std::string FBuffer;
  std::optional<size_t> FLength;  // of the body whose header has been read
  size_t FSkip = 0;
  bool FEnd = false;
};

// A request's parameters are not what the method takes.
struct EInvalidParams : std::runtime_error {
  using std::runtime_error::runtime_error;
};

QJsonObject ObjectAt(const QJsonObject& AObject, const char* AKey) {
  const QJsonValue value = AObject.value(AKey);
  if (!value.isObject()) throw EInvalidParams(std::string("'") + AKey + "' must be an object");
  return value.toObject();
}
std::string StringAt(const QJsonObject& AObject, const char* AKey) {
  const QJsonValue value = AObject.value(AKey);
  if (!value.isString()) throw EInvalidParams(std::string("'") + AKey + "' must be a string");
  return S(value.toString());
}
uint32_t NumberAt(const QJsonObject& AObject, const char* AKey) {
  const QJsonValue value = AObject.value(AKey);
  const double number = value.toDouble(-1);
  if (!value.isDouble() || number < 0 || number > UINT32_MAX || number != static_cast<double>(static_cast<uint32_t>(number)))
    throw EInvalidParams(std::string("'") + AKey + "' must be a whole number from 0");
  return static_cast<uint32_t>(number);
}

// --- Paths and URIs ---------------------------------------------------------

// file:///a%20b/c.pp is /a b/c.pp (bytes, as the file system has them);
// another scheme has no path.
std::string PathOfUri(const std::string& AUri) {
  if (AUri.rfind("file://", 0) != 0) return {};
  std::string path;
  size_t i = 7;
  if (i < AUri.size() && AUri[i] != '/') i = AUri.find('/', i);  // file://host/path: the host is this machine
  for (; i < AUri.size(); ++i) {
    if (AUri[i] == '%' && i + 2 < AUri.size() && std::isxdigit(static_cast<unsigned char>(AUri[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(AUri[i + 2]))) {
      path.push_back(static_cast<char>(std::stoi(AUri.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else if (AUri[i] == '?' || AUri[i] == '#') {
      break;
    } else {
      path.push_back(AUri[i]);
    }
  }
  return std::filesystem::path(path).lexically_normal().string();
}

std::string UriOfPath(const std::string& APath) {
  static const char* Hex = "0123456789ABCDEF";
  std::string uri = "file://";
  for (const unsigned char c : APath) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      uri.push_back(static_cast<char>(c));
    } else {
      uri += '%';
      uri += Hex[c >> 4];
      uri += Hex[c & 15];
    }
  }
  return uri;
}

std::string ReadText(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// --- Positions ------------------------------------------------------------------
// The index and the resolver count columns in bytes; the protocol counts in
// UTF-16 code units unless client and server agree on UTF-8.

// The length of a UTF-8 sequence starting with AByte; a stray byte counts as one.
size_t SequenceLength(unsigned char AByte) {
  return AByte < 0xC0 ? 1 : AByte < 0xE0 ? 2 : AByte < 0xF0 ? 3 : 4;
}

// The protocol's character for the byte column AByte of ALine.
uint32_t CharacterOf(std::string_view ALine, uint32_t AByte, bool AUtf8) {
  if (AUtf8) return std::min<uint32_t>(AByte, static_cast<uint32_t>(ALine.size()));
  uint32_t units = 0;
  for (size_t i = 0; i < ALine.size() && i < AByte;) {
    const size_t length = SequenceLength(static_cast<unsigned char>(ALine[i]));
    units += length == 4 ? 2 : 1;
    i += length;
  }
  return units;
}

// The byte column of the protocol's ACharacter in ALine; past its end, its end.
uint32_t ByteOf(std::string_view ALine, uint32_t ACharacter, bool AUtf8) {
  if (AUtf8) return std::min<uint32_t>(ACharacter, static_cast<uint32_t>(ALine.size()));
  uint32_t units = 0;
  size_t i = 0;
  while (i < ALine.size() && units < ACharacter) {
    const size_t length = SequenceLength(static_cast<unsigned char>(ALine[i]));
    units += length == 4 ? 2 : 1;
    i = std::min(i + length, ALine.size());
  }
  return static_cast<uint32_t>(i);
}

// A text with its lines, as an editor holds it.
struct TText {
  std::string Text;
  std::vector<uint32_t> LineStarts;

  void Set(std::string AText) {
    Text = std::move(AText);
    LineStarts.assign(1, 0);
    for (size_t i = 0; i < Text.size(); ++i)
      if (Text[i] == '\n') LineStarts.push_back(static_cast<uint32_t>(i + 1));
  }
  // Line ALine (from 0) without its line end; empty past the last.
  std::string_view Line(uint32_t ALine) const {
    if (ALine >= LineStarts.size()) return {};
    const uint32_t begin = LineStarts[ALine];
    uint32_t end = ALine + 1 < LineStarts.size() ? LineStarts[ALine + 1] - 1 : static_cast<uint32_t>(Text.size());
    if (end > begin && Text[end - 1] == '\r') --end;
    return std::string_view(Text).substr(begin, end - begin);
  }
  // The byte offset of a position; a line past the last is the text's end,
  // a character past its line's end that end (as the protocol wants).
  uint32_t OffsetOf(const QJsonObject& APosition, bool AUtf8) const {
    const uint32_t line = NumberAt(APosition, "line"), character = NumberAt(APosition, "character");
    if (line >= LineStarts.size()) return static_cast<uint32_t>(Text.size());
    return LineStarts[line] + ByteOf(Line(line), character, AUtf8);
  }
};

QJsonObject Position(uint32_t ALine, uint32_t ACharacter) {
  return {{"line", static_cast<qint64>(ALine)}, {"character", static_cast<qint64>(ACharacter)}};
}

// The identifier's length at byte AColumn (from 0) of ALine.
uint32_t IdentifierLength(std::string_view ALine, uint32_t AColumn) {
  uint32_t end = AColumn;
  while (end < ALine.size() && (std::isalnum(static_cast<unsigned char>(ALine[end])) || ALine[end] == '_' || ALine[end] == '&'))
    ++end;
  return end - AColumn;
}

// The protocol's symbol kind for a kind as the index and the outline name it.
int SymbolKind(const std::string& AKind, bool AMember) {
  static const std::unordered_map<std::string, int> Kinds = {
      {"unit", 2}, {"program", 2}, {"library", 2}, {"section", 3}, {"uses", 4},
      {"class", 5}, {"helper", 5}, {"class reference", 5}, {"object", 19}, {"record", 23},
      {"interface", 11}, {"enum", 10}, {"enum value", 22}, {"set", 18}, {"array", 18},
      {"pointer", 26}, {"procedure type", 26}, {"type", 26},
      {"constructor", 9}, {"class constructor", 9}, {"destructor", 6}, {"class destructor", 6},
      {"operator", 25}, {"class operator", 25}, {"property", 7}, {"class property", 7}, {"field", 8},
      {"const", 14}, {"resourcestring", 15}, {"var", 13}, {"threadvar", 13}};
  const auto found = Kinds.find(AKind);
  if (found != Kinds.end()) return found->second;
  if (AKind.find("procedure") != std::string::npos || AKind.find("function") != std::string::npos)
    return AMember ? 6 : 12;
  return 13;
}

std::string LastName(const std::string& AQualified) {
  const size_t dot = AQualified.rfind('.');
  std::string name = dot == std::string::npos ? AQualified : AQualified.substr(dot + 1);
  const size_t generic = name.find('<');
  return generic == std::string::npos ? name : name.substr(0, generic);
}

// --- The worker for long requests -----------------------------------------------

// Runs one job at a time, in the order given; a job's flag, set by a
// cancellation, stops it.
class TWorker {
public:
  using TJob = std::function<void(const std::atomic<bool>& ACancel)>;

  TWorker() : FThread([this] { Run(); }) {}
  ~TWorker() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FStop = true;
      for (auto& [id, flag] : FFlags) *flag = true;
    }
    FWake.notify_all();
    FThread.join();
  }

  void Add(const QString& AKey, TJob AJob) {
    auto flag = std::make_shared<std::atomic<bool>>(false);
    {
      std::lock_guard<std::mutex> lock(FLock);
      FFlags[AKey] = flag;
      FJobs.push_back({AKey, std::move(AJob), flag});
    }
    FWake.notify_one();
  }
  // While held, no queued job starts (the one running goes on): the server
  // holds the worker while it reads the frames that have arrived together,
  // so that a cancellation among them reaches a job queued before it.
  void Hold() {
    std::lock_guard<std::mutex> lock(FLock);
    FHeld = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FHeld = false;
    }
    FWake.notify_one();
  }
  // True when the job is queued or running (it then answers as cancelled).
  bool Cancel(const QString& AKey) {
    std::lock_guard<std::mutex> lock(FLock);
    const auto found = FFlags.find(AKey);
    if (found == FFlags.end()) return false;
    *found->second = true;
    return true;
  }

private:
  struct TQueued {
    QString Key;
    TJob Job;
    std::shared_ptr<std::atomic<bool>> Flag;
  };
  void Run() {
    for (;;) {
      TQueued next;
      {
        std::unique_lock<std::mutex> lock(FLock);
        FWake.wait(lock, [this] { return FStop || (!FHeld && !FJobs.empty()); });
        if (FJobs.empty()) return;
        next = std::move(FJobs.front());
        FJobs.pop_front();
      }
      next.Job(*next.Flag);
      std::lock_guard<std::mutex> lock(FLock);
      FFlags.erase(next.Key);
    }
  }

  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TQueued> FJobs;
  std::map<QString, std::shared_ptr<std::atomic<bool>>> FFlags;
  bool FStop = false;
  bool FHeld = false;
  std::thread FThread;
};

// --- The server -----------------------------------------------------------------

struct TCommandLine {
  std::string Root;
  std::optional<TTarget> Target;
};

class TServer {
public:
  explicit TServer(TCommandLine ALine) : FLine(std::move(ALine)) {}

  // Serves until exit; the process's exit status.
  int Serve() {
    TFrameReader reader;
    while (!FExit) {
      std::string body, error;
      FWorker.Hold();
      for (;;) {
        const TFrameReader::TResult result = reader.Next(body, error);
        if (result == TFrameReader::frMessage) {
          Receive(body);
          if (FExit) break;
        } else if (result == TFrameReader::frBadFrame) {
          Log("%s", error.c_str());
          FOutput.Fail(QJsonValue::Null, ecParseError, error);
        } else {
          break;
        }
      }
      FWorker.Release();
      if (FExit) break;
      if (reader.Ended() || FOutput.Broken()) {
        Log("the client closed the connection without exit");
        return 1;
      }
      Tick();
      reader.Fill(!FWaiting.empty() ? 10 : FIndex.Building() ? 100 : 1000);
    }
    return FShutdown ? 0 : 1;
  }

private:
  struct TDocument {
    std::string Path;
    TText Text;
  };

  void Receive(const std::string& ABody) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(ABody), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
      Log("a message is not JSON: %s at byte %d", S(parseError.errorString()).c_str(), static_cast<int>(parseError.offset));
      FOutput.Fail(QJsonValue::Null, ecParseError, "not JSON: " + S(parseError.errorString()));
      return;
    }
    if (!document.isObject()) {
      FOutput.Fail(QJsonValue::Null, ecInvalidRequest, "a message must be a JSON object (batches are not part of the protocol)");
      return;
    }
    Dispatch(document.object());
  }

  static bool ValidId(const QJsonValue& AId) { return AId.isString() || AId.isDouble(); }

  void Dispatch(const QJsonObject& AMessage) {
    const bool request = AMessage.contains("id");
    const QJsonValue id = AMessage.value("id");
    if (!AMessage.contains("method")) return;  // a response to our own request: nothing waits on it
    if (AMessage.value("jsonrpc") != QJsonValue("2.0") || !AMessage.value("method").isString() ||
        (request && !ValidId(id))) {
      FOutput.Fail(ValidId(id) ? id : QJsonValue(QJsonValue::Null), ecInvalidRequest,
                   "a request needs \"jsonrpc\": \"2.0\", a string method and a number or string id");
      return;
    }
    const std::string method = S(AMessage.value("method").toString());
    const QJsonValue paramsValue = AMessage.value("params");
    // Absent params may come as null (shutdown and exit take none).
    if (!paramsValue.isUndefined() && !paramsValue.isNull() && !paramsValue.isObject() && !paramsValue.isArray()) {
      if (request) FOutput.Fail(id, ecInvalidRequest, "params must be an object or an array");
      return;
    }
    const QJsonObject params = paramsValue.toObject();
    if (method == "exit") {
      FExit = true;
      return;
    }
    if (!request) {
      if (!FInitialized) return;  // notifications before initialize are dropped
      try {
        Notification(method, params);
      } catch (const std::exception& e) {
        Log("%s: %s", method.c_str(), e.what());
      }
      return;
    }
    if (!FInitialized && method != "initialize") {
      FOutput.Fail(id, ecServerNotInitialized, "the server is not initialized yet");
      return;
    }
    if (FShutdown) {
      FOutput.Fail(id, ecInvalidRequest, "the server is shut down: only exit is left");
      return;
    }
    try {
      Request(id, method, params, AMessage);
    } catch (const EInvalidParams& e) {
      FOutput.Fail(id, ecInvalidParams, method + ": " + e.what());
    } catch (const std::exception& e) {
      Log("%s failed: %s", method.c_str(), e.what());
      FOutput.Fail(id, ecInternalError, method + " failed: " + e.what());
    }
  }

  void Notification(const std::string& AMethod, const QJsonObject& AParams) {
    if (AMethod == "initialized") {
      FClientReady = true;
    } else if (AMethod == "textDocument/didOpen") {
      const QJsonObject item = ObjectAt(AParams, "textDocument");
      const std::string uri = StringAt(item, "uri");
      TDocument& document = FDocuments[uri];
      document.Path = PathOfUri(uri);
      document.Text.Set(StringAt(item, "text"));
    } else if (AMethod == "textDocument/didChange") {
      const std::string uri = StringAt(ObjectAt(AParams, "textDocument"), "uri");
      const auto found = FDocuments.find(uri);
      if (found == FDocuments.end()) throw EInvalidParams("a change to " + uri + ", which is not open");
      const QJsonValue changes = AParams.value("contentChanges");
      if (!changes.isArray()) throw EInvalidParams("'contentChanges' must be an array");
      // Worked on a copy: a change that does not apply leaves the text as it was.
      TText text = found->second.Text;
      for (const QJsonValue& value : changes.toArray()) {
        if (!value.isObject()) throw EInvalidParams("a content change must be an object");
        const QJsonObject change = value.toObject();
        const std::string replacement = StringAt(change, "text");
        if (!change.contains("range")) {
          text.Set(replacement);
          continue;
        }
        const QJsonObject range = ObjectAt(change, "range");
        const uint32_t begin = text.OffsetOf(ObjectAt(range, "start"), FUtf8);
        const uint32_t end = text.OffsetOf(ObjectAt(range, "end"), FUtf8);
        if (end < begin) throw EInvalidParams("a change's range ends before it starts");
        std::string changed = text.Text;
        changed.replace(begin, end - begin, replacement);
        text.Set(std::move(changed));
      }
      found->second.Text = std::move(text);
    } else if (AMethod == "textDocument/didClose") {
      FDocuments.erase(StringAt(ObjectAt(AParams, "textDocument"), "uri"));
    } else if (AMethod == "textDocument/didSave") {
      // The library may have changed: the index looks again, file by file.
      if (!FRoot.empty() && !FIndex.Building()) FIndex.Refresh(FRoot, true);
    } else if (AMethod == "$/cancelRequest") {
      Cancel(AParams.value("id"));
    }
    // Other notifications, $/ ones among them, are ignored as the protocol allows.
  }

  void Request(const QJsonValue& AId, const std::string& AMethod, const QJsonObject& AParams, const QJsonObject& AMessage) {
    if (AMethod == "initialize") return Initialize(AId, AParams);
    if (AMethod == "shutdown") {
      FShutdown = true;
      FOutput.Answer(AId, QJsonValue::Null);
      return;
    }
    if (AMethod == "textDocument/documentSymbol") return DocumentSymbols(AId, AParams);
    const bool needsIndex = AMethod == "textDocument/definition" || AMethod == "textDocument/declaration" ||
                            AMethod == "textDocument/implementation" ||
                            AMethod == "textDocument/references" || AMethod == "textDocument/hover" ||
                            AMethod == "workspace/symbol";
    if (!needsIndex) {
      FOutput.Fail(AId, ecMethodNotFound, "vantry-lsp does not serve " + AMethod);
      return;
    }
    // While the first walk has no table yet, the request waits for it.
    if (!FIndex.Declarations() && FIndex.Building()) {
      FWaiting.push_back(AMessage);
      return;
    }
    if (AMethod == "workspace/symbol") return WorkspaceSymbols(AId, AParams);
    if (AMethod == "textDocument/references") return References(AId, AParams);
    if (AMethod == "textDocument/hover") return Hover(AId, AParams);
    if (AMethod == "textDocument/implementation") return Implementation(AId, AParams);
    return Definition(AId, AParams);
  }

  void Initialize(const QJsonValue& AId, const QJsonObject& AParams) {
    if (FInitialized) {
      FOutput.Fail(AId, ecInvalidRequest, "initialize was sent twice");
      return;
    }
    const QJsonObject options = AParams.value("initializationOptions").toObject();
    std::optional<TTarget> target = FLine.Target;
    if (options.contains("target")) {
      const std::string text = S(options.value("target").toString());
      target = ParseTarget(text);
      if (!target) throw EInvalidParams("initializationOptions.target wants CPU-OS as the compiler names them (x86_64-linux), not '" + text + "'");
    }
    std::string root = options.value("root").isString() ? S(options.value("root").toString()) : FLine.Root;
    if (root.empty()) root = ToolSourceFolder();
    if (root.empty() || root == " ")
      throw EInvalidParams("no source folder is set: choose one in the IDE (File > Vantry > Options...) or give initializationOptions.root");
    FRoot = root;
    const QJsonObject capabilities = AParams.value("capabilities").toObject();
    const QJsonObject general = capabilities.value("general").toObject();
    for (const QJsonValue& encoding : general.value("positionEncodings").toArray())
      if (encoding.toString() == "utf-8") FUtf8 = true;
    FProgressSupported = capabilities.value("window").toObject().value("workDoneProgress").toBool();
    FHierarchical = capabilities.value("textDocument").toObject().value("documentSymbol").toObject()
                        .value("hierarchicalDocumentSymbolSupport").toBool();
    FIndex.SetTarget(target ? *target : ChosenTarget(ReadTargetChoice()));
    FIndex.Refresh(FRoot, true);
    FInitialized = true;
    Log("serving %s for %s", FRoot.c_str(), FIndex.Target().Name().c_str());
    const QJsonObject serverCapabilities{
        {"positionEncoding", FUtf8 ? "utf-8" : "utf-16"},
        {"textDocumentSync", QJsonObject{{"openClose", true}, {"change", 2}, {"save", QJsonObject{{"includeText", false}}}}},
        {"definitionProvider", true},
        {"declarationProvider", true},
        {"implementationProvider", true},
        {"referencesProvider", QJsonObject{{"workDoneProgress", true}}},
        {"hoverProvider", true},
        {"documentSymbolProvider", true},
        {"workspaceSymbolProvider", true},
    };
    FOutput.Answer(AId, QJsonObject{{"capabilities", serverCapabilities},
                                    {"serverInfo", QJsonObject{{"name", "vantry-lsp"}, {"version", VANTRY_VERSION}}}});
  }

  // What the index is doing, told to the client; waiting requests answered
  // once the table has come.
  void Tick() {
    if (!FInitialized) return;
    const bool building = FIndex.Building();
    FIndex.Poll();
    if (FIndex.Declarations() && FIndex.DeclarationGeneration() != FTableGeneration) {
      FTableGeneration = FIndex.DeclarationGeneration();
      FResolver.reset();
    }
    ReportProgress(building && FIndex.Building());
    if (building && !FIndex.Building() && !FIndex.LastReport().Error.empty()) {
      const std::string message = "cannot read " + FRoot + ": " + FIndex.LastReport().Error;
      Log("%s", message.c_str());
      FOutput.Notify("window/showMessage", QJsonObject{{"type", 1}, {"message", Q(message)}});
    }
    if (!FWaiting.empty() && (FIndex.Declarations() || !FIndex.Building())) {
      std::vector<QJsonObject> waiting;
      waiting.swap(FWaiting);
      for (const QJsonObject& message : waiting) Dispatch(message);
    }
  }

  void ReportProgress(bool ABuilding) {
    if (!FProgressSupported || !FClientReady) return;
    const auto now = std::chrono::steady_clock::now();
    if (ABuilding && !FProgressShown) {
      FProgressShown = true;
      FProgressTold = now;
      FOutput.Send({{"id", "vantry-index-progress"}, {"method", "window/workDoneProgress/create"},
                    {"params", QJsonObject{{"token", "vantry-index"}}}});
      FOutput.Notify("$/progress", QJsonObject{{"token", "vantry-index"},
                                               {"value", QJsonObject{{"kind", "begin"}, {"title", "Indexing the library"},
                                                                     {"message", Q(FRoot)}, {"cancellable", false}}}});
    } else if (ABuilding && now - FProgressTold > std::chrono::milliseconds(500)) {
      FProgressTold = now;
      FOutput.Notify("$/progress", QJsonObject{{"token", "vantry-index"},
                                               {"value", QJsonObject{{"kind", "report"},
                                                                     {"message", Q(std::to_string(FIndex.Files().FileCount()) + " files")}}}});
    } else if (!ABuilding && FProgressShown) {
      FProgressShown = false;
      const auto table = FIndex.Declarations();
      const std::string message = table ? std::to_string(table->Count()) + " declarations" : "no declarations";
      FOutput.Notify("$/progress", QJsonObject{{"token", "vantry-index"},
                                               {"value", QJsonObject{{"kind", "end"}, {"message", Q(message)}}}});
    }
  }

  void Cancel(const QJsonValue& AId) {
    for (auto it = FWaiting.begin(); it != FWaiting.end(); ++it) {
      if (it->value("id") == AId) {
        FWaiting.erase(it);
        FOutput.Fail(AId, ecRequestCancelled, "cancelled");
        return;
      }
    }
    FWorker.Cancel(KeyOf(AId));
  }
  static QString KeyOf(const QJsonValue& AId) {
    return AId.isString() ? "s" + AId.toString() : "n" + QString::number(AId.toDouble(), 'g', 17);
  }

  // The document a request names: the editor's text when it is open, else
  // the file as it is on disk.
  const TDocument& DocumentOf(const QJsonObject& AParams) {
    const std::string uri = StringAt(ObjectAt(AParams, "textDocument"), "uri");
    const auto found = FDocuments.find(uri);
    if (found != FDocuments.end()) return found->second;
    FUnopened.Path = PathOfUri(uri);
    if (FUnopened.Path.empty()) throw EInvalidParams(uri + " is neither open nor a file");
    std::ifstream in(FUnopened.Path, std::ios::binary);
    if (!in) throw EInvalidParams(uri + " is not open and cannot be read: " + std::strerror(errno));
    FUnopened.Text.Set(ReadText(FUnopened.Path));
    return FUnopened;
  }

  TResolver& Resolver() {
    if (!FResolver) FResolver = std::make_unique<TResolver>(FIndex.Declarations(), FIndex.Target());
    return *FResolver;
  }

  // A place in a file of the library (or an open document): its line text
  // is needed only when columns are counted in UTF-16.
  QJsonObject Location(const std::string& APath, uint32_t ALine, uint32_t AColumn, uint32_t ALength,
                       std::map<std::string, TText>& AFiles) {
    std::string_view line;
    if (!FUtf8) {
      const TText* text = nullptr;
      for (const auto& [uri, document] : FDocuments)
        if (document.Path == APath) text = &document.Text;
      if (!text) {
        auto [it, added] = AFiles.try_emplace(APath);
        if (added) it->second.Set(ReadText(APath));
        text = &it->second;
      }
      line = text->Line(ALine - 1);
    }
    return RangeLocation(APath, line, ALine, AColumn, ALength, FUtf8);
  }
  static QJsonObject RangeLocation(const std::string& APath, std::string_view ALineText, uint32_t ALine,
                                   uint32_t AColumn, uint32_t ALength, bool AUtf8) {
    const uint32_t line = ALine - 1, column = AColumn - 1;
    const QJsonObject range{
        {"start", Position(line, AUtf8 ? column : CharacterOf(ALineText, column, false))},
        {"end", Position(line, AUtf8 ? column + ALength : CharacterOf(ALineText, column + ALength, false))}};
    return {{"uri", Q(UriOfPath(APath))}, {"range", range}};
  }

  void Definition(const QJsonValue& AId, const QJsonObject& AParams) {
    const TDocument& document = DocumentOf(AParams);
    const uint32_t offset = document.Text.OffsetOf(ObjectAt(AParams, "position"), FUtf8);
    if (!FIndex.Declarations()) return FOutput.Answer(AId, QJsonValue::Null);
    const TResolution resolution = Resolver().Resolve(document.Path, document.Text.Text, offset);
    if (!resolution.Note.empty()) Log("%s", resolution.Note.c_str());
    QJsonArray locations;
    std::map<std::string, TText> files;
    for (const TAnswer& a : resolution.Answers)
      locations.append(Location(a.Path, a.Line, a.Column, static_cast<uint32_t>(LastName(a.Name).size()), files));
    FOutput.Answer(AId, locations);
  }

  // The other half of the routine at the place, as "Go to Routine Body" and
  // "Go to Routine Heading" find it: from a heading its body, from a body
  // its heading.
  void Implementation(const QJsonValue& AId, const QJsonObject& AParams) {
    const TDocument& document = DocumentOf(AParams);
    const uint32_t offset = document.Text.OffsetOf(ObjectAt(AParams, "position"), FUtf8);
    if (!FIndex.Declarations()) return FOutput.Answer(AId, QJsonValue::Null);
    const TCounterpart found = CounterpartOf(Resolver(), document.Path, document.Text.Text, offset);
    if (found.Empty()) {
      Log("%s", found.Note.c_str());
      return FOutput.Answer(AId, QJsonArray());
    }
    std::map<std::string, TText> files;
    FOutput.Answer(AId, QJsonArray{Location(found.Place.Path, found.Place.Line, found.Place.Column,
                                            static_cast<uint32_t>(LastName(found.Place.Name).size()), files)});
  }

  void Hover(const QJsonValue& AId, const QJsonObject& AParams) {
    const TDocument& document = DocumentOf(AParams);
    const uint32_t offset = document.Text.OffsetOf(ObjectAt(AParams, "position"), FUtf8);
    if (!FIndex.Declarations()) return FOutput.Answer(AId, QJsonValue::Null);
    const TResolution resolution = Resolver().Resolve(document.Path, document.Text.Text, offset);
    if (resolution.Answers.empty()) return FOutput.Answer(AId, QJsonValue::Null);
    const TAnswer& answer = resolution.Answers.front();
    // The asked text as it stands, else the declaration's file.
    const TPeek peek = answer.Path == document.Path ? PeekAt(answer, document.Text.Text) : PeekAt(answer);
    if (peek.Empty()) return FOutput.Answer(AId, QJsonValue::Null);
    std::string markdown = "```pascal\n" + peek.Heading + "\n```\n";
    if (!peek.Comment.empty()) markdown += "\n" + peek.Comment + "\n";
    markdown += "\n" + peek.Kind + " `" + peek.Name + "` in " + peek.Module + ", " +
                std::filesystem::path(peek.Path).filename().string() + " line " + std::to_string(peek.Line);
    if (!resolution.Via.empty()) markdown += " (" + resolution.Via + ")";
    FOutput.Answer(AId, QJsonObject{{"contents", QJsonObject{{"kind", "markdown"}, {"value", Q(markdown)}}}});
  }

  void WorkspaceSymbols(const QJsonValue& AId, const QJsonObject& AParams) {
    const std::string query = StringAt(AParams, "query");
    const auto table = FIndex.Declarations();
    QJsonArray symbols;
    if (table && !query.empty()) {
      FSearch.SetTarget(FIndex.Target());
      FSearch.Search(*table, FIndex.DeclarationGeneration(), query, WorkspaceSymbolLimit);
      std::map<std::string, TText> files;
      for (const TRankedDeclaration& r : FSearch.Results()) {
        const TDeclarationEntry& e = table->Entry(r.Declaration);
        const std::string name = table->QualifiedName(r.Declaration);
        const std::string kind = DeclarationKindName(e.Kind());
        const size_t dot = name.rfind('.');
        QJsonObject symbol{{"name", Q(name)},
                           {"kind", SymbolKind(kind, dot != std::string::npos)},
                           {"location", Location(table->FullPath(table->FileOf(r.Declaration)), e.Line, e.Column,
                                                 static_cast<uint32_t>(LastName(name).size()), files)}};
        if (dot != std::string::npos) symbol.insert("containerName", Q(name.substr(0, dot)));
        symbols.append(symbol);
      }
    }
    FOutput.Answer(AId, symbols);
  }

  void DocumentSymbols(const QJsonValue& AId, const QJsonObject& AParams) {
    const TDocument& document = DocumentOf(AParams);
    const TText& text = document.Text;
    const std::vector<TOutlineItem> items =
        OutlineOf(text.Text, IsIncludeFileName(std::filesystem::path(document.Path).filename().string()));
    const uint32_t lastLine = static_cast<uint32_t>(text.LineStarts.size() - 1);
    auto nameRange = [&](const TOutlineItem& AItem) {
      const std::string_view line = text.Line(AItem.Line - 1);
      const uint32_t column = AItem.Column - 1;
      const uint32_t length = std::max<uint32_t>(IdentifierLength(line, column), 0);
      return QJsonObject{{"start", Position(AItem.Line - 1, CharacterOf(line, column, FUtf8))},
                         {"end", Position(AItem.Line - 1, CharacterOf(line, column + length, FUtf8))}};
    };
    auto name = [](const TOutlineItem& AItem) { return Q(AItem.Name.empty() ? AItem.Kind : AItem.Name); };
    if (!FHierarchical) {
      QJsonArray symbols;
      for (const TOutlineItem& item : items)
        symbols.append(QJsonObject{{"name", name(item)},
                                   {"kind", SymbolKind(item.Kind, item.Depth > 1 || item.Name.find('.') != std::string::npos)},
                                   {"location", QJsonObject{{"uri", Q(UriOfPath(document.Path))}, {"range", nameRange(item)}}}});
      return FOutput.Answer(AId, symbols);
    }
    // Each item spans to the line before the next item that is not below
    // it, so the children lie inside their parent's range. A long unit has
    // thousands of symbols: they are written as JSON text straight away,
    // which takes a fraction of the time nested Qt JSON objects take.
    std::string json = "[";
    auto position = [&](uint32_t ALine, uint32_t ACharacter) {
      json += "{\"line\":" + std::to_string(ALine) + ",\"character\":" + std::to_string(ACharacter) + "}";
    };
    std::function<void(size_t&, int)> level = [&](size_t& AAt, int ADepth) {
      bool first = true;
      while (AAt < items.size() && items[AAt].Depth >= ADepth) {
        const TOutlineItem& item = items[AAt++];
        const uint32_t line = item.Line - 1;
        const std::string_view lineText = text.Line(line);
        const uint32_t column = item.Column - 1;
        const uint32_t nameStart = CharacterOf(lineText, column, FUtf8);
        const uint32_t nameEnd = CharacterOf(lineText, column + IdentifierLength(lineText, column), FUtf8);
        // The next item not below this one, found ahead of the children.
        size_t next = AAt;
        while (next < items.size() && items[next].Depth > item.Depth) ++next;
        uint32_t endLine = next < items.size() ? items[next].Line - 1 : lastLine + 1;
        endLine = std::max(endLine, item.Line) - 1;
        if (next < items.size() && items[next].Line == item.Line) endLine = line;
        uint32_t endCharacter = CharacterOf(text.Line(endLine), UINT32_MAX, FUtf8);
        if (endLine == line) endCharacter = std::max(endCharacter, nameEnd);
        if (!first) json += ',';
        first = false;
        json += "{\"name\":";
        AppendJsonString(json, item.Name.empty() ? item.Kind : item.Name);
        json += ",\"kind\":" + std::to_string(SymbolKind(item.Kind, item.Depth > 1 || item.Name.find('.') != std::string::npos));
        if (!item.Detail.empty()) {
          json += ",\"detail\":";
          AppendJsonString(json, item.Detail);
        }
        json += ",\"range\":{\"start\":";
        position(line, 0);
        json += ",\"end\":";
        position(endLine, endCharacter);
        json += "},\"selectionRange\":{\"start\":";
        position(line, nameStart);
        json += ",\"end\":";
        position(line, nameEnd);
        json += "}";
        if (AAt < items.size() && items[AAt].Depth > item.Depth) {
          json += ",\"children\":[";
          level(AAt, item.Depth + 1);
          json += "]";
        }
        json += "}";
      }
    };
    size_t at = 0;
    while (at < items.size()) {  // an item less deep than the first still shows
      if (at > 0) json += ',';
      level(at, items[at].Depth);
    }
    json += "]";
    FOutput.AnswerText(AId, json);
  }

  // References run on the worker: the main thread goes on reading, so a
  // cancellation reaches the search between files.
  void References(const QJsonValue& AId, const QJsonObject& AParams) {
    const TDocument& document = DocumentOf(AParams);
    const uint32_t offset = document.Text.OffsetOf(ObjectAt(AParams, "position"), FUtf8);
    const auto table = FIndex.Declarations();
    if (!table) return FOutput.Answer(AId, QJsonValue::Null);
    const bool withDeclaration = AParams.value("context").toObject().value("includeDeclaration").toBool(true);
    const QJsonValue token = AParams.value("workDoneToken");
    FWorker.Add(KeyOf(AId), [this, AId, table, target = FIndex.Target(), path = document.Path, text = document.Text.Text,
                             offset, withDeclaration, token, utf8 = FUtf8](const std::atomic<bool>& ACancel) {
      try {
        if (ACancel) return FOutput.Fail(AId, ecRequestCancelled, "cancelled");  // while it waited its turn
        if (FReferenceTable != table) {
          FReferenceSearch = std::make_unique<TReferenceSearch>(table, target);
          FReferenceTable = table;
        }
        const TReferenceTarget found = FReferenceSearch->TargetAt(path, text, offset);
        if (!found.Note.empty()) Log("%s", found.Note.c_str());
        const bool progress = token.isString() || token.isDouble();
        if (progress)
          FOutput.Notify("$/progress", QJsonObject{{"token", token}, {"value", QJsonObject{{"kind", "begin"},
                                                      {"title", Q("References to " + found.QualifiedName)}, {"percentage", 0}}}});
        int told = 0;
        const std::vector<TReference> references = FReferenceSearch->Find(
            found, {}, &ACancel, [&](size_t ADone, size_t ATotal) {
              const int percentage = ATotal ? static_cast<int>(ADone * 100 / ATotal) : 100;
              if (progress && percentage >= told + 10) {
                told = percentage;
                FOutput.Notify("$/progress", QJsonObject{{"token", token},
                                                         {"value", QJsonObject{{"kind", "report"}, {"percentage", percentage}}}});
              }
            });
        if (progress) FOutput.Notify("$/progress", QJsonObject{{"token", token}, {"value", QJsonObject{{"kind", "end"}}}});
        if (ACancel) return FOutput.Fail(AId, ecRequestCancelled, "cancelled");
        QJsonArray locations;
        for (const TReference& r : references)
          if (withDeclaration || r.Kind != rkDeclaration)
            locations.append(RangeLocation(r.Path, r.LineText, r.Line, r.Column, r.Length, utf8));
        FOutput.Answer(AId, locations);
      } catch (const std::exception& e) {
        Log("references failed: %s", e.what());
        FOutput.Fail(AId, ecInternalError, std::string("references failed: ") + e.what());
      }
    });
  }

  TCommandLine FLine;
  TOutput FOutput;
  TLibraryIndex FIndex;
  std::string FRoot;
  bool FInitialized = false, FClientReady = false, FShutdown = false, FExit = false;
  bool FUtf8 = false, FProgressSupported = false, FHierarchical = false;
  bool FProgressShown = false;
  std::chrono::steady_clock::time_point FProgressTold;
  std::unordered_map<std::string, TDocument> FDocuments;  // by URI
  TDocument FUnopened;  // a file asked about that the editor has not opened
  std::vector<QJsonObject> FWaiting;  // requests that wait for the first table
  uint64_t FTableGeneration = 0;
  std::unique_ptr<TResolver> FResolver;
  TDeclarationSearch FSearch;
  // The worker's own: touched by its thread alone.
  std::shared_ptr<const TDeclarationTable> FReferenceTable;
  std::unique_ptr<TReferenceSearch> FReferenceSearch;
  TWorker FWorker;  // last: it stops, and its jobs end, before the members they use go
};

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
        line.Root = value;
      } else if (!(line.Target = ParseTarget(value))) {
        Log("--target wants CPU-OS as the compiler names them (x86_64-linux), not '%s'", value.c_str());
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
