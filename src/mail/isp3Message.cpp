#include "mail/isp3Message.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <tuple>

namespace Vantry::Isp3 {

namespace {

constexpr size_t FoldAt = 78;          // RFC 5322 2.1.1: lines should not be longer
constexpr size_t MaxLine = 998;        // RFC 5322 2.1.1: lines must not be longer
constexpr size_t MaxWordLine = 76;     // RFC 2047 2: a line that holds an encoded word
constexpr size_t MaxHeaderName = 76;   // so that "Name: " fits a folded line
constexpr size_t MaxLocalPart = 64;    // RFC 5321 4.5.3.1
constexpr size_t MaxDomain = 255;
constexpr size_t MaxPath = 256;        // "<" address ">"

std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
  return S;
}

std::string Lower(std::string_view S) {
  std::string r(S);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

bool IsAscii(std::string_view S) {
  return std::all_of(S.begin(), S.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Printable ASCII and blanks only: what a header may hold as it stands.
bool IsPlainText(std::string_view S) {
  return std::all_of(S.begin(), S.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return (u >= 32 && u < 127) || c == '\t';
  });
}

std::string Quoted(std::string_view S) { return "\"" + std::string(S) + "\""; }

bool IsAtext(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Why an addr-spec (local@domain) cannot be used, or empty when it can.
std::string CheckAddrSpec(std::string_view A) {
  if (A.empty()) return "the address is empty";
  if (A.find_first_of(" \t") != std::string_view::npos) return "it holds a space";
  if (!IsAscii(A)) return "it holds characters outside ASCII";
  size_t at = A.rfind('@');
  if (at == std::string_view::npos) return "it has no @";
  std::string_view local = A.substr(0, at), domain = A.substr(at + 1);
  if (local.empty()) return "nothing comes before the @";
  if (domain.empty()) return "no domain follows the @";
  if (local.size() > MaxLocalPart) return "its name part is longer than 64 characters";
  if (domain.size() > MaxDomain) return "its domain is longer than 255 characters";
  if (A.size() + 2 > MaxPath) return "it is longer than 254 characters";
  if (local.size() >= 2 && local.front() == '"' && local.back() == '"') {
    if (local.find_first_of("\r\n") != std::string_view::npos) return "it holds a line break";
  } else {
    if (local.front() == '.' || local.back() == '.' || local.find("..") != std::string_view::npos)
      return "its name part has a misplaced dot";
    for (char c : local)
      if (c != '.' && !IsAtext(c)) return std::string("its name part holds the character '") + c + "'";
  }
  if (domain.front() == '[') {
    if (domain.back() != ']') return "its domain has unbalanced brackets";
    return {};
  }
  if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string_view::npos)
    return "its domain has a misplaced dot";
  for (char c : domain)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
      return std::string("its domain holds the character '") + c + "'";
  return {};
}

// The first byte at or after AFrom outside quoted strings (a backslash in
// quotes escapes the next byte) that is one of AStops; npos when none is.
// AQuoted tells whether a quote is left open at the end.
size_t FindUnquoted(std::string_view AText, std::string_view AStops, size_t AFrom, bool& AQuoted) {
  AQuoted = false;
  for (size_t i = AFrom; i < AText.size(); ++i) {
    const char c = AText[i];
    if (c == '\\' && AQuoted) ++i;
    else if (c == '"') AQuoted = !AQuoted;
    else if (!AQuoted && AStops.find(c) != std::string_view::npos) return i;
  }
  return std::string_view::npos;
}

// An entry without a comment: an addr-spec alone or a display name with
// the address in angle brackets. Returns the reason it is bad, or empty.
std::string ParseEntryWithoutComment(std::string_view AEntry, TMailbox& AOut) {
  size_t open = std::string_view::npos;
  bool quoted = false;
  int opens = 0, closes = 0;
  for (size_t i = FindUnquoted(AEntry, "<>", 0, quoted); i != std::string_view::npos;
       i = FindUnquoted(AEntry, "<>", i + 1, quoted)) {
    if (AEntry[i] == '<') {
      ++opens;
      open = i;
    } else {
      ++closes;
    }
  }
  if (quoted) return "it has an unbalanced quote";
  if (opens != closes || opens > 1) return "it has unbalanced angle brackets";
  if (opens == 1) {
    size_t close = AEntry.find('>', open);
    if (close == std::string_view::npos || close != AEntry.size() - 1) return "it has unbalanced angle brackets";
    AOut.Name = std::string(Trim(AEntry.substr(0, open)));
    AOut.Address = std::string(Trim(AEntry.substr(open + 1, close - open - 1)));
  } else {
    AOut.Address = std::string(AEntry);
  }
  return CheckAddrSpec(AOut.Address);
}

// Takes a comment off the end of an entry, as the old form writes a name
// ("vendor@example.org (Vendor)", RFC 5322 3.2.2): the comment's text, its
// escapes undone, goes to AComment and AEntry keeps what comes before it.
// Returns the reason the entry's parentheses cannot be used, or empty.
std::string TakeTrailingComment(std::string_view& AEntry, std::string& AComment) {
  bool quoted = false;
  const size_t i = FindUnquoted(AEntry, "()", 0, quoted);
  if (i == std::string_view::npos) return {};
  if (AEntry[i] == ')') return "it has unbalanced parentheses";
  int depth = 0;
  std::string text;
  size_t j = i;
  for (; j < AEntry.size(); ++j) {
    char d = AEntry[j];
    if (d == '\\' && j + 1 < AEntry.size()) {
      text += AEntry[++j];
      continue;
    }
    if (d == '(' && depth++ == 0) continue;
    if (d == ')' && --depth == 0) break;
    text += d;
  }
  if (j >= AEntry.size()) return "it has unbalanced parentheses";
  if (!Trim(AEntry.substr(j + 1)).empty()) return "a comment in parentheses may only come last";
  AComment = std::string(Trim(text));
  AEntry = Trim(AEntry.substr(0, i));
  return {};
}

// Parses one entry: an addr-spec alone or a display name with the address
// in angle brackets, either followed by a comment. An address with only a
// comment takes the comment for its name. Returns the reason it is bad, or
// empty.
std::string ParseEntry(std::string_view AEntry, TMailbox& AOut) {
  if (AEntry.find_first_of("\r\n") != std::string_view::npos) return "it holds a line break";
  std::string comment;
  if (std::string why = TakeTrailingComment(AEntry, comment); !why.empty()) return why;
  if (std::string why = ParseEntryWithoutComment(AEntry, AOut); !why.empty()) return why;
  if (AOut.Name.empty()) AOut.Name = comment;
  return {};
}

const char* const Base64Chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(std::string_view S) {
  std::string r;
  for (size_t i = 0; i < S.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(S[i]) << 16;
    if (i + 1 < S.size()) n |= static_cast<unsigned char>(S[i + 1]) << 8;
    if (i + 2 < S.size()) n |= static_cast<unsigned char>(S[i + 2]);
    r += Base64Chars[(n >> 18) & 63];
    r += Base64Chars[(n >> 12) & 63];
    r += i + 1 < S.size() ? Base64Chars[(n >> 6) & 63] : '=';
    r += i + 2 < S.size() ? Base64Chars[n & 63] : '=';
  }
  return r;
}

bool IsQuotedString(std::string_view S) { return S.size() >= 2 && S.front() == '"' && S.back() == '"'; }

// A display name without its quotes and escapes: the name as meant.
std::string Unquote(std::string_view AName) {
  if (!IsQuotedString(AName)) return std::string(AName);
  std::string r;
  for (size_t i = 1; i + 1 < AName.size(); ++i) {
    if (AName[i] == '\\' && i + 2 < AName.size()) ++i;
    r += AName[i];
  }
  return r;
}

// A quoted-string of AText, with quotes and backslashes escaped.
std::string Quote(std::string_view AText) {
  std::string r = "\"";
  for (char c : AText) {
    if (c == '"' || c == '\\') r += '\\';
    r += c;
  }
  return r + "\"";
}

// Text a reader would take for an RFC 2047 encoded word and decode.
bool LooksEncoded(std::string_view AText) { return AText.find("=?") != std::string_view::npos; }

std::string DateHeader() {
  static const char* const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  long offset = local.tm_gmtoff / 60;
  char sign = offset < 0 ? '-' : '+';
  offset = std::labs(offset);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", Days[local.tm_wday],
                local.tm_mday, Months[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                sign, offset / 60, offset % 60);
  return buffer;
}

std::string MessageId(std::string_view AHostName) {
  std::string host;
  for (char c : AHostName)
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.') host += c;
  if (host.empty() || host.front() == '.' || host.back() == '.') host = "localhost";
  // Every control's session thread draws from the one generator.
  static std::mutex lock;
  static std::mt19937_64 random{std::random_device{}()};
  uint64_t draw;
  {
    std::lock_guard guard(lock);
    draw = random();
  }
  char buffer[64];
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::system_clock::now().time_since_epoch()).count();
  std::snprintf(buffer, sizeof buffer, "%llx.%016llx", static_cast<unsigned long long>(micros),
                static_cast<unsigned long long>(draw));
  return "<" + std::string(buffer) + "@" + host + ">";
}

enum class THeaderKind { Address, Structured, Text };

// Address headers are written anew from their mailboxes; structured ones
// have a syntax of their own that encoded words would break (RFC 2047 5);
// every other header, those of the X- kind among them, is text.
THeaderKind KindOf(const std::string& ALowerName) {
  static const char* const Addresses[] = {"from", "to", "cc", "bcc", "reply-to", "sender", "resent-from",
                                          "resent-to", "resent-cc", "resent-bcc", "resent-sender"};
  static const char* const Structured[] = {
      "date", "message-id", "in-reply-to", "references", "resent-date", "resent-message-id", "return-path",
      "received", "mime-version", "content-type", "content-transfer-encoding", "content-id", "content-disposition",
      "content-language", "content-location", "auto-submitted", "dkim-signature", "authentication-results"};
  for (const char* name : Addresses)
    if (ALowerName == name) return THeaderKind::Address;
  for (const char* name : Structured)
    if (ALowerName == name) return THeaderKind::Structured;
  if (ALowerName.starts_with("list-")) return THeaderKind::Structured;
  return THeaderKind::Text;
}

// Lays out one header line. Each token comes with the blanks before it; a
// token that would pass the line's limit starts a new line, and the fold goes
// before its blanks, so that unfolding (which takes away only the CR LF)
// gives back the text as it was.
class THeaderLine {
public:
  explicit THeaderLine(std::string_view AName) : FText(std::string(AName) + ":"), FColumn(FText.size()) {
    FLongest = FColumn;
  }

  // Adds a token, folding before it when the line would grow past 78
  // characters (76 on a line with an encoded word).
  void Add(std::string_view ABlanks, std::string_view AToken) {
    size_t limit = FLineHasWord ? MaxWordLine : FoldAt;
    if (!ABlanks.empty() && !AToken.empty() && FColumn + ABlanks.size() + AToken.size() > limit) Fold();
    Append(ABlanks);
    Append(AToken);
  }
  // Adds text to the line as it is, never folding before it.
  void Append(std::string_view AText) {
    FText += AText;
    FColumn += AText.size();
    FLongest = std::max(FLongest, FColumn);
  }
  void Fold() {
    FText += "\r\n";
    FColumn = 0;
    FLineHasWord = false;
  }
  // Encoded words for AText (UTF-8), each of at most 75 characters, the first
  // one filling what room the current line has left.
  void AddEncodedWords(std::string_view ABlanks, std::string_view AText);

  size_t Longest() const { return FLongest; }
  std::string Text() const { return FText + "\r\n"; }

private:
  std::string FText;
  size_t FColumn;
  size_t FLongest;
  bool FLineHasWord = false;
};

void THeaderLine::AddEncodedWords(std::string_view ABlanks, std::string_view AText) {
  constexpr size_t Frame = 12;  // "=?UTF-8?B?" and "?="
  constexpr size_t MostOctets = 45;  // 60 base64 characters: a word of 72
  std::string_view blanks = ABlanks.empty() ? std::string_view(" ") : ABlanks;
  if (AText.empty()) return Add(blanks, "");
  size_t i = 0;
  do {
    size_t room = MaxWordLine - std::min(MaxWordLine, FColumn + blanks.size());
    size_t octets = room >= Frame + 4 ? std::min(MostOctets, (room - Frame) / 4 * 3) : 0;
    octets = std::min(octets, AText.size() - i);
    // Never split a UTF-8 sequence between two words.
    while (octets > 0 && i + octets < AText.size() && (static_cast<unsigned char>(AText[i + octets]) & 0xC0) == 0x80)
      --octets;
    if (octets == 0 && i < AText.size()) {
      Fold();
      octets = std::min(MostOctets, AText.size() - i);
      while (i + octets < AText.size() && (static_cast<unsigned char>(AText[i + octets]) & 0xC0) == 0x80) --octets;
    }
    Append(blanks);
    Append("=?UTF-8?B?" + Base64(AText.substr(i, octets)) + "?=");
    FLineHasWord = true;
    i += octets;
    blanks = " ";
  } while (i < AText.size());
}

// Splits a text at its runs of blanks: each word with the blanks before it;
// blanks at the end come last with an empty word.
std::vector<std::pair<std::string_view, std::string_view>> Words(std::string_view AText) {
  std::vector<std::pair<std::string_view, std::string_view>> words;
  size_t i = 0;
  while (i < AText.size() || words.empty()) {
    size_t start = i;
    while (i < AText.size() && IsBlank(AText[i])) ++i;
    size_t word = i;
    while (i < AText.size() && !IsBlank(AText[i])) ++i;
    words.emplace_back(AText.substr(start, word - start), AText.substr(word, i - word));
    if (i >= AText.size()) break;
  }
  return words;
}

// Adds a text as it stands, folded at its blanks; the first word also gets
// the blank that follows the colon, and stays on the header's first line:
// a fold right after the colon reads as a blank that starts the value.
void AddFoldedText(THeaderLine& ALine, std::string_view AText) {
  bool first = true;
  for (auto [blanks, word] : Words(AText)) {
    if (first)
      ALine.Append(" " + std::string(blanks) + std::string(word));
    else
      ALine.Add(blanks, word);
    first = false;
  }
}

// A display name as a phrase: as written when it is plain words or quoted
// already, quoted when it holds specials, encoded when it is not ASCII, looks
// like an encoded word, or is too long to quote on one line.
void AddDisplayName(THeaderLine& ALine, std::string_view ABlanks, const std::string& AName) {
  std::string meant = Unquote(AName);
  if (!IsPlainText(meant) || LooksEncoded(meant) || meant.size() > 60) return ALine.AddEncodedWords(ABlanks, meant);
  if (IsQuotedString(AName)) return ALine.Add(ABlanks, AName);
  bool plainWords = std::all_of(meant.begin(), meant.end(), [](char c) { return IsAtext(c) || IsBlank(c); });
  if (!plainWords) return ALine.Add(ABlanks, Quote(meant));
  bool first = true;
  for (auto [blanks, word] : Words(meant)) {
    if (word.empty()) continue;
    ALine.Add(first ? ABlanks : std::string_view(" "), word);
    first = false;
  }
}

void AddMailboxes(THeaderLine& ALine, const std::vector<TMailbox>& ABoxes) {
  if (ABoxes.empty()) return ALine.Append(" ");
  for (size_t k = 0; k < ABoxes.size(); ++k) {
    if (k > 0) ALine.Append(",");
    const TMailbox& box = ABoxes[k];
    if (box.Name.empty()) {
      ALine.Add(" ", box.Address);
    } else {
      AddDisplayName(ALine, " ", box.Name);
      ALine.Add(" ", "<" + box.Address + ">");
    }
  }
}

// Replaces or adds the charset parameter of a Content-Type value.
std::string WithCharset(const std::string& AValue, std::string_view ACharset) {
  std::string lower = Lower(AValue);
  size_t at = lower.find("charset=");
  if (at == std::string::npos) return AValue + "; charset=" + std::string(ACharset);
  size_t end = lower.find(';', at);
  if (end == std::string::npos) end = AValue.size();
  return AValue.substr(0, at) + "charset=" + std::string(ACharset) + AValue.substr(end);
}

// Why a header name cannot be sent, or empty.
std::string CheckHeaderName(const std::string& AName) {
  if (AName.size() > MaxHeaderName)
    return "The header name " + Quoted(AName.substr(0, 20) + "...") + " is longer than 76 characters: nothing was sent.";
  if (AName.empty() || std::any_of(AName.begin(), AName.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 33 || u > 126 || c == ':';
      }))
    return "The header name " + Quoted(AName) + " cannot be sent: nothing was sent.";
  return {};
}

}  // namespace

std::vector<TMailbox> ParseAddressList(std::string_view AList, bool AAllowEmpty, std::vector<std::string>& AErrors) {
  std::vector<TMailbox> result;
  if (AAllowEmpty && Trim(AList).empty()) return result;
  std::vector<std::string_view> entries;
  bool quoted = false;
  int depth = 0, comment = 0;  // a comma inside a comment separates nothing
  size_t start = 0;
  for (size_t i = 0; i < AList.size(); ++i) {
    char c = AList[i];
    if (c == '\\' && (quoted || comment)) {
      ++i;
    } else if (comment) {
      comment += c == '(' ? 1 : c == ')' ? -1 : 0;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '(') {
      comment = 1;
    } else if (!quoted && c == '<') {
      ++depth;
    } else if (!quoted && c == '>') {
      depth = std::max(0, depth - 1);
    } else if (!quoted && depth == 0 && c == ',') {
      entries.push_back(AList.substr(start, i - start));
      start = i + 1;
    }
  }
  entries.push_back(AList.substr(std::min(start, AList.size())));
  for (std::string_view raw : entries) {
    std::string_view entry = Trim(raw);
    if (entry.empty()) {
      AErrors.push_back("An address in the list is empty.");
      continue;
    }
    TMailbox box;
    std::string why = ParseEntry(entry, box);
    if (why.empty())
      result.push_back(std::move(box));
    else
      AErrors.push_back(Quoted(entry) + " is not a valid address: " + why + ".");
  }
  return result;
}

namespace {
// True when no byte has the high bit set and none is NUL: the common case,
// checked in a loop the compiler vectorises.
bool PlainAscii(std::string_view AChunk) {
  unsigned char any = 0, least = 0xFF;
  for (char ch : AChunk) {
    auto c = static_cast<unsigned char>(ch);
    any |= c;
    least = std::min(least, c);
  }
  return (any & 0x80) == 0 && least != 0;
}

const char* FindLineEnd(const char* AFrom, const char* ATo) {
  const char* lf = static_cast<const char*>(std::memchr(AFrom, '\n', static_cast<size_t>(ATo - AFrom)));
  const char* stop = lf ? lf : ATo;
  const char* cr = static_cast<const char*>(std::memchr(AFrom, '\r', static_cast<size_t>(stop - AFrom)));
  return cr ? cr : stop;
}
}  // namespace

void TBodyScan::Add(std::string_view AChunk) {
  Size += static_cast<int64_t>(AChunk.size());
  if (FUtf8Pending == 0 && PlainAscii(AChunk)) {
    const char* p = AChunk.data();
    const char* end = p + AChunk.size();
    while (p < end) {
      const char* stop = FindLineEnd(p, end);
      FLineLength += stop - p;
      if (FLineLength > static_cast<int64_t>(MaxLine)) LongLine = true;
      if (stop == end) break;
      FLineLength = 0;
      p = stop + 1;
    }
    return;
  }
  for (char ch : AChunk) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\r' || c == '\n') {
      FLineLength = 0;
    } else if (++FLineLength > static_cast<int64_t>(MaxLine)) {
      LongLine = true;
    }
    if (c == 0 || c >= 0x80) Ascii = false;
    if (FUtf8Pending > 0) {
      if (c >= FUtf8Low && c <= FUtf8High) {
        --FUtf8Pending;
        FUtf8Low = 0x80;
        FUtf8High = 0xBF;
        continue;
      }
      FValidUtf8 = false;
      FUtf8Pending = 0;  // this byte starts afresh
    }
    if (c < 0x80) continue;
    // RFC 3629 4: the lead byte fixes the length and the range of the next byte.
    FUtf8Low = 0x80;
    FUtf8High = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      FUtf8Pending = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      FUtf8Pending = 2;
      if (c == 0xE0) FUtf8Low = 0xA0;   // no overlong forms
      if (c == 0xED) FUtf8High = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      FUtf8Pending = 3;
      if (c == 0xF0) FUtf8Low = 0x90;   // no overlong forms
      if (c == 0xF4) FUtf8High = 0x8F;  // nothing above U+10FFFF
    } else {
      FValidUtf8 = false;
    }
  }
}

bool IsValidUtf8(std::string_view AText) {
  TBodyScan scan;
  scan.Add(AText);
  return scan.ValidUtf8();
}

bool NeedsEncoding(const TBodyScan& ABody) { return !ABody.Ascii || ABody.LongLine; }

TPreparedHeaders PrepareHeaders(const std::vector<std::pair<std::string, std::string>>& AHeaders,
                                const TBodyScan& ABody, std::string_view AHostName) {
  TPreparedHeaders out;
  auto fail = [&out](std::string AError, bool AAddress = false) {
    out.Error = std::move(AError);
    out.BadAddress = AAddress;
    return out;
  };
  struct TLine {
    std::string Name, Value;
    THeaderKind Kind;
    std::vector<TMailbox> Boxes;
  };
  std::vector<TLine> lines;
  bool hasDate = false, hasId = false, hasMime = false, hasType = false, hasEncoding = false;
  std::vector<std::string> seen;
  auto addRecipient = [&](const std::string& AAddress) {
    std::string key = Lower(AAddress);
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) return;
    seen.push_back(key);
    out.Recipients.push_back(AAddress);
  };
  for (const auto& [name, value] : AHeaders) {
    if (std::string why = CheckHeaderName(name); !why.empty()) return fail(why);
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
      return fail("The " + Quoted(name) + " header holds a line break: nothing was sent.");
    std::string lower = Lower(name);
    TLine line{name, value, KindOf(lower), {}};
    if (line.Kind == THeaderKind::Address) {
      std::vector<std::string> errors;
      line.Boxes = ParseAddressList(value, true, errors);
      if (!errors.empty()) return fail("The " + Quoted(name) + " header: " + errors.front(), true);
      if (lower == "from" && !line.Boxes.empty() && out.From.empty()) out.From = line.Boxes.front().Address;
      if (lower == "to" || lower == "cc" || lower == "bcc")
        for (const TMailbox& box : line.Boxes) addRecipient(box.Address);
      if (lower == "bcc") continue;  // the copies stay blind
    }
    hasDate |= lower == "date";
    hasId |= lower == "message-id";
    hasMime |= lower == "mime-version";
    hasType |= lower == "content-type";
    hasEncoding |= lower == "content-transfer-encoding";
    lines.push_back(std::move(line));
  }
  if (out.From.empty()) return fail("The message has no sender: the \"From\" header holds no address.", true);
  if (out.Recipients.empty()) return fail("The message has no recipient: \"To\" and \"CC\" hold no address.", true);

  bool encode = NeedsEncoding(ABody) && !hasEncoding;
  std::string charset = ABody.Ascii ? "US-ASCII" : ABody.ValidUtf8() ? "UTF-8" : "ISO-8859-1";
  auto isType = [](const TLine& L) { return Lower(L.Name) == "content-type"; };
  for (TLine& line : lines)
    if (isType(line) && encode && !ABody.Ascii && Lower(Trim(line.Value)).starts_with("text/"))
      line.Value = WithCharset(line.Value, charset);
  if (encode && !hasType) lines.push_back({"Content-Type", "text/plain; charset=" + charset, THeaderKind::Structured, {}});
  for (auto [added, name, value] : {std::tuple{!hasDate, "Date", DateHeader()},
                                    std::tuple{!hasId, "Message-ID", MessageId(AHostName)},
                                    std::tuple{!hasMime, "MIME-Version", std::string("1.0")}})
    if (added) lines.push_back({name, value, THeaderKind::Structured, {}});

  for (const TLine& line : lines) {
    THeaderLine header(line.Name);
    switch (line.Kind) {
      case THeaderKind::Address:
        AddMailboxes(header, line.Boxes);
        break;
      case THeaderKind::Structured:
        if (!IsPlainText(line.Value))
          return fail("The " + Quoted(line.Name) +
                      " header holds characters outside printable ASCII, which it cannot carry: nothing was sent.");
        AddFoldedText(header, line.Value);
        if (header.Longest() > MaxLine)
          return fail("The " + Quoted(line.Name) +
                      " header cannot be folded into lines of at most 998 characters: nothing was sent.");
        break;
      case THeaderKind::Text:
        if (IsPlainText(line.Value) && !LooksEncoded(line.Value)) AddFoldedText(header, line.Value);
        if (header.Longest() > MaxLine || !IsPlainText(line.Value) || LooksEncoded(line.Value)) {
          header = THeaderLine(line.Name);
          header.AddEncodedWords(" ", line.Value);
        }
        break;
    }
    out.Block += header.Text();
    if (isType(line) && encode) out.Block += "Content-Transfer-Encoding: quoted-printable\r\n";
  }
  out.QuotedPrintable = encode;
  return out;
}

void TBodyEncoder::Put(std::string_view AText, std::string& AOut) {
  if (FColumn + static_cast<int>(AText.size()) > 75) {
    AOut += "=\r\n";
    FColumn = 0;
  }
  AOut += AText;
  FColumn += static_cast<int>(AText.size());
}

void TBodyEncoder::LineEnd(std::string& AOut) {
  if (FHeldBlank) {
    Put(FHeldBlank == ' ' ? "=20" : "=09", AOut);
    FHeldBlank = 0;
  }
  AOut += "\r\n";
  FColumn = 0;
}

void TBodyEncoder::Byte(unsigned char C, std::string& AOut) {
  if (FHeldBlank) {
    char blank[2] = {FHeldBlank, 0};
    Put(blank, AOut);
    FHeldBlank = 0;
  }
  if (C == ' ' || C == '\t') {
    FHeldBlank = static_cast<char>(C);
  } else if (C >= 33 && C <= 126 && C != '=') {
    char literal[2] = {static_cast<char>(C), 0};
    Put(literal, AOut);
  } else {
    static const char* const Hex = "0123456789ABCDEF";
    char encoded[4] = {'=', Hex[C >> 4], Hex[C & 15], 0};
    Put(encoded, AOut);
  }
}

void TBodyEncoder::Add(std::string_view AChunk, std::string& AOut) {
  size_t i = 0;
  if (FPendingCR && !AChunk.empty()) {
    FPendingCR = false;
    if (AChunk[0] == '\n') i = 1;
    if (FQuotedPrintable)
      LineEnd(AOut);
    else
      AOut += "\r\n";
  }
  while (i < AChunk.size()) {
    if (!FQuotedPrintable) {
      // Copy runs without line ends in one piece: this is the hot path for large files.
      size_t end = static_cast<size_t>(FindLineEnd(AChunk.data() + i, AChunk.data() + AChunk.size()) - AChunk.data());
      AOut.append(AChunk.data() + i, end - i);
      i = end;
      if (i == AChunk.size()) break;
    }
    char c = AChunk[i++];
    if (c == '\r') {
      if (i == AChunk.size()) {
        FPendingCR = true;
        break;
      }
      if (AChunk[i] == '\n') ++i;
    }
    if (c == '\r' || c == '\n') {
      if (FQuotedPrintable)
        LineEnd(AOut);
      else
        AOut += "\r\n";
    } else {
      Byte(static_cast<unsigned char>(c), AOut);
    }
  }
}

void TBodyEncoder::Finish(std::string& AOut) {
  if (FPendingCR) {
    FPendingCR = false;
    if (FQuotedPrintable)
      LineEnd(AOut);
    else
      AOut += "\r\n";
  }
  if (FQuotedPrintable && FHeldBlank) {
    Put(FHeldBlank == ' ' ? "=20" : "=09", AOut);
    FHeldBlank = 0;
  }
}

}  // namespace Vantry::Isp3
