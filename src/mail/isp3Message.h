#pragma once
// The message side of the SMTP control, free of any network: address lists,
// the header block as it goes out, and the body's line-end and transfer
// encoding, applied chunk by chunk so that a file of any size streams
// through in constant memory.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vantry::Isp3 {

// One entry of an address list: the address (local@domain) and the display
// name as written (possibly quoted), both UTF-8.
struct TMailbox {
  std::string Name;
  std::string Address;
};

// Splits a comma-separated list at the commas outside quotes and angle
// brackets and checks each entry. Entries that cannot be used land in
// AErrors, one sentence each naming the entry. AAllowEmpty: an empty list
// (a "CC" left blank) is no error; empty entries between commas always are.
std::vector<TMailbox> ParseAddressList(std::string_view AList, bool AAllowEmpty, std::vector<std::string>& AErrors);

// What a body holds, found by a scan before it is sent.
struct TBodyScan {
  bool Ascii = true;         // no byte above 127 and no NUL
  bool LongLine = false;     // a line longer than 998 octets
  int64_t Size = 0;
  // Feeds the next part of the body.
  void Add(std::string_view AChunk);
  // Well-formed UTF-8 throughout (RFC 3629: no overlong forms, no
  // surrogates, nothing above U+10FFFF, no sequence cut off at the end).
  bool ValidUtf8() const { return FValidUtf8 && FUtf8Pending == 0; }
  // Whether two scans found the same body, as far as the headers care.
  bool Matches(const TBodyScan& AOther) const {
    return Size == AOther.Size && Ascii == AOther.Ascii && LongLine == AOther.LongLine &&
           ValidUtf8() == AOther.ValidUtf8();
  }

private:
  int64_t FLineLength = 0;
  bool FValidUtf8 = true;
  int FUtf8Pending = 0;  // continuation bytes still expected
  // The range the next continuation byte must fall in.
  unsigned char FUtf8Low = 0x80, FUtf8High = 0xBF;
};

// Whether AText is well-formed UTF-8 (RFC 3629).
bool IsValidUtf8(std::string_view AText);

// The header block of a message and its envelope, or the reason it cannot
// be sent.
struct TPreparedHeaders {
  std::string Error;  // empty when the headers can be sent
  bool BadAddress = false;  // the error is about an address (else about a header)
  std::string From;   // the envelope sender
  std::vector<std::string> Recipients;
  std::string Block;  // the header lines, each ended by CR LF, without the blank line
  bool QuotedPrintable = false;  // the body must go out quoted-printable
};

// Checks and lays out the given headers (name, value; UTF-8) in their order,
// each line folded at 78 characters where folding is allowed and never over
// 998 (RFC 5322):
// - address headers (From, To, CC, ...) are written anew from their
//   mailboxes: a display name that holds specials is quoted, one that is not
//   ASCII (or looks like an encoded word) becomes RFC 2047 encoded words;
// - structured headers (Content-Type, Message-ID, References, ...) go out as
//   given, folded only at their own blanks; one that is not ASCII or cannot
//   be folded under 998 is refused;
// - any other header is text: encoded words (at most 75 characters, lines of
//   at most 76) when it is not ASCII, looks like an encoded word, or has a
//   word too long to fold.
// Adds Date, Message-ID and MIME-Version after them when absent, and, when
// ABody needs encoding, sets the charset of a text Content-Type and adds
// Content-Transfer-Encoding. A CR or LF in a value, or a header name that is
// not printable ASCII or longer than 76 characters, is refused.
TPreparedHeaders PrepareHeaders(const std::vector<std::pair<std::string, std::string>>& AHeaders,
                                const TBodyScan& ABody, std::string_view AHostName);

// Whether a body with this scan is sent quoted-printable (non-ASCII, or
// lines too long for SMTP); headers and body agree through this.
bool NeedsEncoding(const TBodyScan& ABody);

// Turns the body into what goes on the wire (before the SMTP dot escaping
// libcurl does): line ends CR, LF and CR LF become CR LF; in quoted-printable
// mode the text is also encoded. Fed chunk by chunk; Finish flushes.
class TBodyEncoder {
public:
  explicit TBodyEncoder(bool AQuotedPrintable) : FQuotedPrintable(AQuotedPrintable) {}
  void Add(std::string_view AChunk, std::string& AOut);
  void Finish(std::string& AOut);

private:
  void Byte(unsigned char C, std::string& AOut);
  void LineEnd(std::string& AOut);
  void Put(std::string_view AText, std::string& AOut);
  bool FQuotedPrintable;
  bool FPendingCR = false;
  int FColumn = 0;                 // quoted-printable: octets on the current output line
  char FHeldBlank = 0;             // quoted-printable: a space or tab waiting to see what follows
};

}  // namespace Vantry::Isp3
