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
  bool ValidUtf8 = true;     // well-formed UTF-8 throughout
  bool LongLine = false;     // a line longer than 998 octets
  int64_t Size = 0;
  // Feeds the next part of the body.
  void Add(std::string_view AChunk);

private:
  int64_t FLineLength = 0;
  int FUtf8Pending = 0;  // continuation bytes still expected
};

// The header block of a message and its envelope, or the reason it cannot
// be sent.
struct TPreparedHeaders {
  std::string Error;  // empty when the headers can be sent
  std::string From;   // the envelope sender
  std::vector<std::string> Recipients;
  std::string Block;  // the header lines, each ended by CR LF, without the blank line
  bool QuotedPrintable = false;  // the body must go out quoted-printable
};

// Checks and encodes the given headers (name, value; UTF-8) in their order:
// a value that is not ASCII becomes RFC 2047 encoded words (in address
// headers only the display names), an over-long line is folded; adds Date,
// Message-ID and MIME-Version after them when absent, and, when ABody needs
// encoding, sets the charset of a text Content-Type and adds
// Content-Transfer-Encoding. A CR or LF in a value is refused.
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

// An RFC 2047 encoded-word form of a UTF-8 text: words of at most 75
// octets, joined by AJoin (a folding "\r\n " or a blank).
std::string EncodeWords(std::string_view AText, std::string_view AJoin);

}  // namespace Vantry::Isp3
