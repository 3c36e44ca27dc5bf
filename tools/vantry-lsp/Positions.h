#pragma once
// Places as the protocol names them and as the engine does: files by file:
// URI or by path, columns in UTF-16 code units or in bytes. The index and the
// resolver count columns in bytes; the protocol counts in UTF-16 code units
// unless client and server agree on UTF-8.

#include <QJsonObject>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry::Lsp {

// file:///a%20b/c.pp is /a b/c.pp (bytes, as the file system has them);
// another scheme has no path.
std::string PathOfUri(const std::string& AUri);
std::string UriOfPath(const std::string& APath);

// The length of a UTF-8 sequence starting with AByte; a stray byte counts as one.
size_t SequenceLength(unsigned char AByte);
// The protocol's character for the byte column AByte of ALine.
uint32_t CharacterOf(std::string_view ALine, uint32_t AByte, bool AUtf8);
// The byte column of the protocol's ACharacter in ALine; past its end, its end.
uint32_t ByteOf(std::string_view ALine, uint32_t ACharacter, bool AUtf8);

// A position as the client sends it: both from 0, the character counted in
// the encoding agreed on.
struct TPosition {
  uint32_t Line = 0;
  uint32_t Character = 0;
};
struct TRange {
  TPosition Start;
  TPosition End;
};

// A text with its lines, as an editor holds it.
struct TText {
  std::string Text;
  std::vector<uint32_t> LineStarts;

  void Set(std::string AText);
  // Line ALine (from 0) without its line end; empty past the last.
  std::string_view Line(uint32_t ALine) const;
  // The byte offset of a position; a line past the last is the text's end,
  // a character past its line's end that end (as the protocol wants).
  uint32_t OffsetOf(const TPosition& APosition, bool AUtf8) const;
};

// A position as the protocol writes it.
QJsonObject Position(uint32_t ALine, uint32_t ACharacter);

// The identifier's length at byte AColumn (from 0) of ALine.
uint32_t IdentifierLength(std::string_view ALine, uint32_t AColumn);

}  // namespace Vantry::Lsp
