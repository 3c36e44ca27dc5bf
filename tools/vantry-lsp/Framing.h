#pragma once
// The protocol's channel: JSON-RPC messages in Content-Length frames, read
// from standard input and written to standard output. Logs go to standard
// error: standard output carries the protocol alone.

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace Vantry::Lsp {

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

// One line on standard error, after the program's name.
__attribute__((format(printf, 1, 2))) void Log(const char* AFormat, ...);

// Bytes in UTF-8, as the engine keeps text, to Qt's strings and back.
inline QString Q(const std::string& AText) {
  return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}
inline std::string S(const QString& AText) { return AText.toStdString(); }

// AText as a JSON string; a byte that is not UTF-8 becomes U+FFFD, as Qt's
// conversion makes it.
void AppendJsonString(std::string& AOut, std::string_view AText);

// Standard output, shared by the main thread and the worker: each message
// goes out whole.
class TOutput {
public:
  void Send(const QJsonObject& AMessage);
  void Write(const std::string& ABody);
  void Answer(const QJsonValue& AId, const QJsonValue& AResult);
  // An answer whose result is JSON text already.
  void AnswerText(const QJsonValue& AId, const std::string& AResult);
  void Fail(const QJsonValue& AId, int ACode, const std::string& AMessage);
  void Notify(const char* AMethod, const QJsonValue& AParams);
  // True once a write has failed: the client has gone.
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
  void Fill(int ATimeoutMs);
  // The next frame's body in ABody, or why the bytes read are no frame in
  // AError.
  TResult Next(std::string& ABody, std::string& AError);
  bool Ended() const { return FEnd; }

private:
  static std::optional<size_t> ContentLength(std::string_view AHeader);

  std::string FBuffer;
  std::optional<size_t> FLength;  // of the body whose header has been read
  size_t FSkip = 0;
  bool FEnd = false;
};

}  // namespace Vantry::Lsp
