#include "Framing.h"

#include "Positions.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace Vantry::Lsp {

namespace {

// A frame's header ends within this many bytes, and its body is at most
// this long: a larger one is read past and refused, not held in memory.
constexpr size_t MaxHeaderBytes = 64 * 1024;
constexpr size_t MaxMessageBytes = 64 * 1024 * 1024;

}  // namespace

void Log(const char* AFormat, ...) {
  std::va_list args;
  va_start(args, AFormat);
  std::fprintf(stderr, "vantry-lsp: ");
  std::vfprintf(stderr, AFormat, args);
  std::fputc('\n', stderr);
  va_end(args);
}

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

void TOutput::Send(const QJsonObject& AMessage) {
  QJsonObject message = AMessage;
  message.insert("jsonrpc", "2.0");
  Write(QJsonDocument(message).toJson(QJsonDocument::Compact).toStdString());
}

void TOutput::Write(const std::string& ABody) {
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

void TOutput::Answer(const QJsonValue& AId, const QJsonValue& AResult) { Send({{"id", AId}, {"result", AResult}}); }

void TOutput::AnswerText(const QJsonValue& AId, const std::string& AResult) {
  const QByteArray id = QJsonDocument(QJsonArray{AId}).toJson(QJsonDocument::Compact);
  Write("{\"id\":" + id.mid(1, id.size() - 2).toStdString() + ",\"jsonrpc\":\"2.0\",\"result\":" + AResult + "}");
}

void TOutput::Fail(const QJsonValue& AId, int ACode, const std::string& AMessage) {
  Send({{"id", AId}, {"error", QJsonObject{{"code", ACode}, {"message", Q(AMessage)}}}});
}

void TOutput::Notify(const char* AMethod, const QJsonValue& AParams) {
  Send({{"method", AMethod}, {"params", AParams}});
}

void TFrameReader::Fill(int ATimeoutMs) {
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

TFrameReader::TResult TFrameReader::Next(std::string& ABody, std::string& AError) {
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

// The last Content-Length of the header (case ignored, anywhere in it:
// bytes left over before it are garbage); nothing when none is a number.
std::optional<size_t> TFrameReader::ContentLength(std::string_view AHeader) {
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

}  // namespace Vantry::Lsp
