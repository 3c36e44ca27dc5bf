#include "mail/isp3Message.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>

namespace Vantry::Isp3 {

namespace {

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

std::string Quoted(std::string_view S) { return "\"" + std::string(S) + "\""; }

bool IsAtext(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

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

// Parses one entry: an addr-spec alone or a display name with the address
// in angle brackets. Returns the reason it is bad, or empty.
std::string ParseEntry(std::string_view AEntry, TMailbox& AOut) {
  if (AEntry.find_first_of("\r\n") != std::string_view::npos) return "it holds a line break";
  size_t open = std::string_view::npos;
  bool quoted = false;
  int opens = 0, closes = 0;
  for (size_t i = 0; i < AEntry.size(); ++i) {
    char c = AEntry[i];
    if (c == '\\' && quoted) {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '<') {
      ++opens;
      open = i;
    } else if (!quoted && c == '>') {
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

// A display name without its quotes and escapes, for encoding.
std::string Unquote(std::string_view AName) {
  if (AName.size() < 2 || AName.front() != '"' || AName.back() != '"') return std::string(AName);
  std::string r;
  for (size_t i = 1; i + 1 < AName.size(); ++i) {
    if (AName[i] == '\\' && i + 2 < AName.size()) ++i;
    r += AName[i];
  }
  return r;
}

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

bool IsAddressHeader(const std::string& ALowerName) {
  return ALowerName == "from" || ALowerName == "to" || ALowerName == "cc" || ALowerName == "bcc" ||
         ALowerName == "reply-to" || ALowerName == "sender";
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

constexpr size_t MaxLine = 998;

}  // namespace

std::vector<TMailbox> ParseAddressList(std::string_view AList, bool AAllowEmpty, std::vector<std::string>& AErrors) {
  std::vector<TMailbox> result;
  if (AAllowEmpty && Trim(AList).empty()) return result;
  std::vector<std::string_view> entries;
  bool quoted = false;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < AList.size(); ++i) {
    char c = AList[i];
    if (c == '\\' && quoted) {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
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
      if ((c & 0xC0) == 0x80)
        --FUtf8Pending;
      else {
        ValidUtf8 = false;
        FUtf8Pending = 0;
      }
      continue;
    }
    if (c < 0x80) continue;
    if (c >= 0xC2 && c <= 0xDF)
      FUtf8Pending = 1;
    else if (c >= 0xE0 && c <= 0xEF)
      FUtf8Pending = 2;
    else if (c >= 0xF0 && c <= 0xF4)
      FUtf8Pending = 3;
    else
      ValidUtf8 = false;
  }
}

bool NeedsEncoding(const TBodyScan& ABody) { return !ABody.Ascii || ABody.LongLine; }

std::string EncodeWords(std::string_view AText, std::string_view AJoin) {
  // 45 octets make 60 base64 characters: with "=?UTF-8?B?" and "?=" a word of 72.
  std::string result;
  size_t i = 0;
  while (i < AText.size()) {
    size_t n = std::min<size_t>(45, AText.size() - i);
    // Never split a UTF-8 sequence between two words.
    while (n > 0 && i + n < AText.size() && (static_cast<unsigned char>(AText[i + n]) & 0xC0) == 0x80) --n;
    if (n == 0) n = std::min<size_t>(45, AText.size() - i);
    if (!result.empty()) result += AJoin;
    result += "=?UTF-8?B?" + Base64(AText.substr(i, n)) + "?=";
    i += n;
  }
  return result;
}

TPreparedHeaders PrepareHeaders(const std::vector<std::pair<std::string, std::string>>& AHeaders,
                                const TBodyScan& ABody, std::string_view AHostName) {
  TPreparedHeaders out;
  std::vector<std::pair<std::string, std::string>> lines;
  bool hasDate = false, hasId = false, hasMime = false, hasType = false, hasEncoding = false;
  std::vector<std::string> seen;
  auto addRecipient = [&](const std::string& AAddress) {
    std::string key = Lower(AAddress);
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) return;
    seen.push_back(key);
    out.Recipients.push_back(AAddress);
  };
  for (const auto& [name, value] : AHeaders) {
    if (name.empty() || std::any_of(name.begin(), name.end(), [](char c) {
          auto u = static_cast<unsigned char>(c);
          return u < 33 || u > 126 || c == ':';
        })) {
      out.Error = "The header name " + Quoted(name) + " cannot be sent: nothing was sent.";
      return out;
    }
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      out.Error = "The " + Quoted(name) + " header holds a line break: nothing was sent.";
      return out;
    }
    std::string lower = Lower(name);
    std::string text = value;
    bool longLine = name.size() + 2 + value.size() > MaxLine;
    if (IsAddressHeader(lower)) {
      std::vector<std::string> errors;
      std::vector<TMailbox> boxes = ParseAddressList(value, true, errors);
      if (!errors.empty()) {
        out.Error = "The " + Quoted(name) + " header: " + errors.front();
        return out;
      }
      if (lower == "from" && !boxes.empty() && out.From.empty()) out.From = boxes.front().Address;
      if (lower == "to" || lower == "cc" || lower == "bcc")
        for (const TMailbox& box : boxes) addRecipient(box.Address);
      if (lower == "bcc") continue;  // the copies stay blind
      if (!IsAscii(value) || longLine) {
        text.clear();
        for (const TMailbox& box : boxes) {
          if (!text.empty()) text += longLine ? ",\r\n " : ", ";
          if (box.Name.empty())
            text += box.Address;
          else
            text += (IsAscii(box.Name) ? box.Name : EncodeWords(Unquote(box.Name), " ")) + " <" + box.Address + ">";
        }
      }
    } else if (!IsAscii(value) || longLine) {
      text = EncodeWords(value, "\r\n ");
    }
    hasDate |= lower == "date";
    hasId |= lower == "message-id";
    hasMime |= lower == "mime-version";
    hasType |= lower == "content-type";
    hasEncoding |= lower == "content-transfer-encoding";
    lines.emplace_back(name, text);
  }
  if (out.From.empty()) {
    out.Error = "The message has no sender: the \"From\" header holds no address.";
    return out;
  }
  if (out.Recipients.empty()) {
    out.Error = "The message has no recipient: \"To\" and \"CC\" hold no address.";
    return out;
  }
  bool encode = NeedsEncoding(ABody) && !hasEncoding;
  std::string charset = ABody.Ascii ? "US-ASCII" : ABody.ValidUtf8 ? "UTF-8" : "ISO-8859-1";
  for (const auto& [name, value] : lines) {
    std::string text = value;
    bool type = Lower(name) == "content-type";
    if (type && encode && !ABody.Ascii && Lower(Trim(value)).starts_with("text/")) text = WithCharset(value, charset);
    out.Block += name + ": " + text + "\r\n";
    if (type && encode) out.Block += "Content-Transfer-Encoding: quoted-printable\r\n";
  }
  if (encode && !hasType)
    out.Block += "Content-Type: text/plain; charset=" + charset + "\r\nContent-Transfer-Encoding: quoted-printable\r\n";
  if (!hasDate) out.Block += "Date: " + DateHeader() + "\r\n";
  if (!hasId) out.Block += "Message-ID: " + MessageId(AHostName) + "\r\n";
  if (!hasMime) out.Block += "MIME-Version: 1.0\r\n";
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
