#include "Positions.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <utility>

namespace Vantry::Lsp {

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

size_t SequenceLength(unsigned char AByte) {
  return AByte < 0xC0 ? 1 : AByte < 0xE0 ? 2 : AByte < 0xF0 ? 3 : 4;
}

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

void TText::Set(std::string AText) {
  Text = std::move(AText);
  LineStarts.assign(1, 0);
  for (size_t i = 0; i < Text.size(); ++i)
    if (Text[i] == '\n') LineStarts.push_back(static_cast<uint32_t>(i + 1));
}

std::string_view TText::Line(uint32_t ALine) const {
  if (ALine >= LineStarts.size()) return {};
  const uint32_t begin = LineStarts[ALine];
  uint32_t end = ALine + 1 < LineStarts.size() ? LineStarts[ALine + 1] - 1 : static_cast<uint32_t>(Text.size());
  if (end > begin && Text[end - 1] == '\r') --end;
  return std::string_view(Text).substr(begin, end - begin);
}

uint32_t TText::OffsetOf(const TPosition& APosition, bool AUtf8) const {
  if (APosition.Line >= LineStarts.size()) return static_cast<uint32_t>(Text.size());
  return LineStarts[APosition.Line] + ByteOf(Line(APosition.Line), APosition.Character, AUtf8);
}

QJsonObject Position(uint32_t ALine, uint32_t ACharacter) {
  return {{"line", static_cast<qint64>(ALine)}, {"character", static_cast<qint64>(ACharacter)}};
}

uint32_t IdentifierLength(std::string_view ALine, uint32_t AColumn) {
  uint32_t end = AColumn;
  while (end < ALine.size() && (std::isalnum(static_cast<unsigned char>(ALine[end])) || ALine[end] == '_' || ALine[end] == '&'))
    ++end;
  return end - AColumn;
}

}  // namespace Vantry::Lsp
