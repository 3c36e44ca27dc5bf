#include "finder/DeclarationScanner.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// How the scanner works
// ---------------------
// The lexer turns the text into tokens: identifiers (with the reserved
// words and the few context words the parser needs told apart), numbers,
// strings and symbols; comments and compiler directives are skipped like
// blanks. A byte table classifies each byte; comments and strings end at a
// byte found by memchr. Every step moves forward, so any text ends.
//
// The parser reads only the shapes of declarations and skips the rest:
// a statement to its ';', a routine's body as a block of begin/case/try/asm
// ... end. Conditional directives can leave a text unbalanced (two class
// headings, one end; a body whose begin is in one branch only): the parser
// takes up again wherever a word starts something a declaration cannot
// hold, such as a routine heading inside a body or "implementation". A
// routine heading followed by local declarations is read tentatively: only
// when a begin (or asm) follows were they a body's, and are dropped.

namespace Vantry {

namespace {

enum TTokenKind : uint8_t { tkEnd, tkIdent, tkNumber, tkString, tkSymbol };

enum TKeyword : uint8_t {
  kwNone,
  // reserved words the parser acts on
  kwUnit, kwProgram, kwLibrary, kwInterface, kwImplementation, kwInitialization, kwFinalization, kwUses, kwType,
  kwConst, kwResourceString, kwVar, kwThreadVar, kwLabel, kwExports, kwProcedure, kwFunction, kwConstructor,
  kwDestructor, kwOperator, kwClass, kwObject, kwRecord, kwDispInterface, kwBegin, kwEnd, kwAsm, kwCase, kwTry,
  kwOf, kwSet, kwPacked, kwBitPacked, kwArray, kwProperty, kwFor,
  kwReserved,  // reserved words the parser needs only as such: no name may be one
  // context words: names elsewhere
  kwGeneric, kwSpecialize, kwHelper, kwReference, kwForward, kwExternal, kwPrivate, kwProtected, kwPublic,
  kwPublished, kwStrict, kwAutomated, kwAbstract, kwSealed, kwPackage,
};

struct TKeywordEntry {
  const char* Text;
  TKeyword Keyword;
};

constexpr TKeywordEntry Keywords[] = {
    {"unit", kwUnit}, {"program", kwProgram}, {"library", kwLibrary}, {"interface", kwInterface},
    {"implementation", kwImplementation}, {"initialization", kwInitialization}, {"finalization", kwFinalization},
    {"uses", kwUses}, {"type", kwType}, {"const", kwConst}, {"resourcestring", kwResourceString}, {"var", kwVar},
    {"threadvar", kwThreadVar}, {"label", kwLabel}, {"exports", kwExports}, {"procedure", kwProcedure},
    {"function", kwFunction}, {"constructor", kwConstructor}, {"destructor", kwDestructor},
    {"operator", kwOperator}, {"class", kwClass}, {"object", kwObject}, {"record", kwRecord},
    {"dispinterface", kwDispInterface}, {"begin", kwBegin}, {"end", kwEnd}, {"asm", kwAsm}, {"case", kwCase},
    {"try", kwTry}, {"of", kwOf}, {"set", kwSet}, {"packed", kwPacked}, {"bitpacked", kwBitPacked},
    {"array", kwArray}, {"property", kwProperty}, {"for", kwFor},
    {"and", kwReserved}, {"as", kwReserved}, {"div", kwReserved}, {"do", kwReserved}, {"downto", kwReserved},
    {"else", kwReserved}, {"except", kwReserved}, {"file", kwReserved}, {"finally", kwReserved},
    {"goto", kwReserved}, {"if", kwReserved}, {"in", kwReserved}, {"inherited", kwReserved}, {"is", kwReserved},
    {"mod", kwReserved}, {"nil", kwReserved}, {"not", kwReserved}, {"or", kwReserved}, {"raise", kwReserved},
    {"repeat", kwReserved}, {"shl", kwReserved}, {"shr", kwReserved}, {"string", kwReserved},
    {"then", kwReserved}, {"to", kwReserved}, {"until", kwReserved}, {"while", kwReserved}, {"with", kwReserved},
    {"xor", kwReserved},
    {"generic", kwGeneric}, {"specialize", kwSpecialize}, {"helper", kwHelper}, {"reference", kwReference},
    {"forward", kwForward}, {"external", kwExternal}, {"private", kwPrivate}, {"protected", kwProtected},
    {"public", kwPublic}, {"published", kwPublished}, {"strict", kwStrict}, {"automated", kwAutomated},
    {"abstract", kwAbstract}, {"sealed", kwSealed}, {"package", kwPackage},
};

// What a byte starts or continues.
enum TCharClass : uint8_t { ccBlank, ccIdent, ccDigit, ccOther };

constexpr std::array<TCharClass, 256> MakeClasses() {
  std::array<TCharClass, 256> c{};
  for (int i = 0; i < 256; ++i) c[i] = i < 33 ? ccBlank : ccOther;
  for (int i = 'a'; i <= 'z'; ++i) c[i] = ccIdent;
  for (int i = 'A'; i <= 'Z'; ++i) c[i] = ccIdent;
  for (int i = 128; i < 256; ++i) c[i] = ccIdent;  // bytes of other scripts: parts of names
  c['_'] = ccIdent;
  for (int i = '0'; i <= '9'; ++i) c[i] = ccDigit;
  c[127] = ccBlank;
  return c;
}
constexpr std::array<TCharClass, 256> Classes = MakeClasses();

constexpr std::array<bool, 256> MakeContinues() {
  std::array<bool, 256> c{};
  for (int i = 0; i < 256; ++i) c[i] = Classes[i] == ccIdent || Classes[i] == ccDigit;
  return c;
}
constexpr std::array<bool, 256> NameBytes = MakeContinues();

inline TCharClass ClassOf(char C) { return Classes[static_cast<unsigned char>(C)]; }
inline bool Continues(char C) { return NameBytes[static_cast<unsigned char>(C)]; }
inline char Lower(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

// The byte steps of the lexer. Each takes the position and the text's end
// and returns the position after what it skipped; the hot loops keep the
// position in a local, where the compiler can hold it in a register.
//
// Runs of blanks and names are most of a source. Where SSE2 is there (every
// x86-64), they are measured sixteen bytes at a time: a byte-by-byte loop
// ends with a mispredicted branch at every word, and that was a third of
// the scan.
#if defined(__SSE2__)
// A mask of the sixteen bytes at P that are blanks (control bytes, space,
// DEL).
inline unsigned BlankMask(__m128i ABytes) {
  const __m128i low = _mm_andnot_si128(_mm_cmplt_epi8(ABytes, _mm_setzero_si128()),
                                       _mm_cmplt_epi8(ABytes, _mm_set1_epi8(33)));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, _mm_cmpeq_epi8(ABytes, _mm_set1_epi8(127)))));
}
// The bytes that may continue a name: letters, digits, '_' and the bytes
// of other scripts (128 and up).
inline __m128i NameBytesOf(__m128i ABytes) {
  const __m128i folded = _mm_or_si128(ABytes, _mm_set1_epi8(0x20));
  const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                       _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
  const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(ABytes, _mm_set1_epi8('0' - 1)),
                                      _mm_cmplt_epi8(ABytes, _mm_set1_epi8('9' + 1)));
  const __m128i other = _mm_or_si128(_mm_cmplt_epi8(ABytes, _mm_setzero_si128()),
                                     _mm_cmpeq_epi8(ABytes, _mm_set1_epi8('_')));
  return _mm_or_si128(_mm_or_si128(letter, digit), other);
}
inline unsigned NameMask(__m128i ABytes) { return static_cast<unsigned>(_mm_movemask_epi8(NameBytesOf(ABytes))); }
inline __m128i Load16(const char* P) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(P)); }

template <char... AChars>
struct TChars {
  // The bytes equal to one of AChars.
  static __m128i In([[maybe_unused]] __m128i ABytes) {
    __m128i hit = _mm_setzero_si128();
    ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(ABytes, _mm_set1_epi8(AChars)))), ...);
    return hit;
  }
};

// Skipping bodies and constant tables, most bytes cannot matter: only a
// word that starts with the first letter of a word the skip looks for
// (ALetters, lower case), a byte of ASymbols, or the start of a comment or
// string. This passes sixteen bytes at a time until one of those, where
// the byte-by-byte loop takes over. P must be where a token may start.
template <class ALetters, class ASymbols>
inline const char* SkipQuiet(const char* P, const char* ABegin, const char* AEnd) {
  if (P == ABegin) return P;  // no byte before it to tell a word's start
  while (AEnd - P >= 17) {
    const __m128i bytes = Load16(P), next = Load16(P + 1);
    const __m128i wordStart = _mm_andnot_si128(NameBytesOf(Load16(P - 1)), NameBytesOf(bytes));
    const __m128i word = _mm_and_si128(wordStart, ALetters::In(_mm_or_si128(bytes, _mm_set1_epi8(0x20))));
    const __m128i comment =
        _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('(')), _mm_cmpeq_epi8(next, _mm_set1_epi8('*'))),
                     _mm_and_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('/')), _mm_cmpeq_epi8(next, _mm_set1_epi8('/'))));
    const __m128i other = _mm_or_si128(ASymbols::In(bytes), TChars<'{', '\'', '#', '&'>::In(bytes));
    const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(word, comment), other)));
    if (hits) return P + __builtin_ctz(hits);
    P += 16;
  }
  return P;
}
// Past the run of bytes at P whose bits AMask sets.
template <unsigned (*AMask)(__m128i), bool (*AScalar)(char)>
inline const char* SkipRun(const char* P, const char* AEnd) {
  while (AEnd - P >= 16) {
    const unsigned outside = ~AMask(Load16(P)) & 0xFFFFu;
    if (outside) return P + __builtin_ctz(outside);
    P += 16;
  }
  while (P < AEnd && AScalar(*P)) ++P;
  return P;
}
inline bool IsBlank(char C) { return ClassOf(C) == ccBlank; }
// A blank between two words is mostly one space: that is tried first.
inline const char* SkipBlanks(const char* P, const char* AEnd) {
  for (int i = 0; i < 2; ++i, ++P)
    if (P >= AEnd || !IsBlank(*P)) return P;
  return SkipRun<BlankMask, IsBlank>(P, AEnd);
}
inline const char* SkipNameBytes(const char* P, const char* AEnd) { return SkipRun<NameMask, Continues>(P, AEnd); }
#else
template <char...>
struct TChars {};
template <class, class>
inline const char* SkipQuiet(const char* P, const char*, const char*) { return P; }
inline const char* SkipBlanks(const char* P, const char* AEnd) {
  while (P < AEnd && ClassOf(*P) == ccBlank) ++P;
  return P;
}
inline const char* SkipNameBytes(const char* P, const char* AEnd) {
  while (P < AEnd && Continues(*P)) ++P;
  return P;
}
#endif
// What SkipBlock looks for: begin asm case try end, and the words no block
// holds (procedure function constructor destructor type implementation
// initialization finalization uses property).
using TBlockLetters = TChars<'a', 'b', 'c', 'd', 'e', 'f', 'i', 'p', 't', 'u'>;
// What SkipStatement looks for inside brackets or a record: end record
// object (and "of", which tells "of object" from an object type).
using TNestedStatementLetters = TChars<'e', 'o', 'r'>;
// The symbols each looks for besides.
using TBlockSymbols = TChars<>;
using TNestedStatementSymbols = TChars<'(', ')', '[', ']'>;

inline const char* PastByte(const char* P, const char* AEnd, char AByte) {
  const void* found = P < AEnd ? std::memchr(P, AByte, static_cast<size_t>(AEnd - P)) : nullptr;
  return found ? static_cast<const char*>(found) + 1 : AEnd;
}
inline bool StartsComment(const char* P, const char* AEnd) {
  return *P == '{' || ((*P == '(' || *P == '/') && P + 1 < AEnd && P[1] == (*P == '/' ? '/' : '*'));
}
// P is at the start of a comment: {...}, (*...*) or //... An unterminated
// one runs to the end of the text.
inline const char* SkipComment(const char* P, const char* AEnd) {
  if (*P == '{') return PastByte(P + 1, AEnd, '}');
  if (*P == '/') return PastByte(P + 2, AEnd, '\n');
  for (P += 2;;) {
    P = PastByte(P, AEnd, '*');
    if (P >= AEnd) return AEnd;
    if (*P == ')') return P + 1;
  }
}
// A string constant: quoted parts ('' is a quote) and #char codes, which
// may follow each other. A quote left open ends with its line.
inline const char* SkipString(const char* P, const char* AEnd) {
  while (P < AEnd) {
    if (*P == '\'') {
      ++P;
      while (P < AEnd && *P != '\'' && *P != '\n') ++P;
      if (P < AEnd && *P == '\'') ++P;
    } else if (*P == '#') {
      ++P;
      if (P < AEnd && *P == '$') ++P;
      P = SkipNameBytes(P, AEnd);
    } else {
      break;
    }
  }
  return P;
}
// An escaped name (&begin): never a keyword.
inline bool StartsEscapedName(const char* P, const char* AEnd) {
  return *P == '&' && P + 1 < AEnd && ClassOf(P[1]) == ccIdent;
}
// Past what at P holds no word a skip looks for: a comment, a string, an
// escaped name or a number (whose letters are never a word); null when P
// starts none of them.
inline const char* SkipInert(const char* P, const char* AEnd) {
  if (StartsComment(P, AEnd)) return SkipComment(P, AEnd);
  if (*P == '\'' || *P == '#') return SkipString(P, AEnd);
  if (StartsEscapedName(P, AEnd)) return SkipNameBytes(P + 2, AEnd);
  if (ClassOf(*P) == ccDigit) return SkipNameBytes(P + 1, AEnd);
  return nullptr;
}

// The keyword table: open addressing on a hash of the word's length and
// three of its letters, so that a name is looked up without a pass of its own.
constexpr size_t KeywordSlots = 1024;
constexpr size_t LongestKeyword = 14;

inline uint32_t KeywordHash(const char* AWord, size_t ALength) {
  return static_cast<uint32_t>(ALength) * 0x9E37u ^ static_cast<unsigned char>(Lower(AWord[0])) * 0x45D9Fu ^
         static_cast<unsigned char>(Lower(AWord[1])) * 0x1F3u ^ static_cast<unsigned char>(Lower(AWord[ALength - 1])) * 0x3B1u;
}

struct TKeywordTable {
  std::array<int16_t, KeywordSlots> Slot{};
  TKeywordTable() {
    Slot.fill(-1);
    for (size_t k = 0; k < std::size(Keywords); ++k) {
      const char* text = Keywords[k].Text;
      size_t s = KeywordHash(text, std::strlen(text)) % KeywordSlots;
      while (Slot[s] >= 0) s = (s + 1) % KeywordSlots;
      Slot[s] = static_cast<int16_t>(k);
    }
  }
  TKeyword Find(const char* AWord, size_t ALength) const {
    for (size_t s = KeywordHash(AWord, ALength) % KeywordSlots; Slot[s] >= 0; s = (s + 1) % KeywordSlots) {
      const char* text = Keywords[Slot[s]].Text;
      size_t i = 0;
      while (i < ALength && text[i] && Lower(AWord[i]) == text[i]) ++i;
      if (i == ALength && !text[i]) return Keywords[Slot[s]].Keyword;
    }
    return kwNone;
  }
};
const TKeywordTable KeywordTable;

// For each length, the first letters of the words a statement block must
// notice: its nesting words and those no block holds.
struct TBlockWords {
  std::array<uint32_t, LongestKeyword + 1> Starts{};
  TBlockWords() {
    for (const char* word : {"begin", "asm", "case", "try", "end", "procedure", "function", "constructor",
                             "destructor", "type", "implementation", "initialization", "finalization", "uses",
                             "property"})
      Starts[std::strlen(word)] |= 1u << (word[0] - 'a');
  }
  uint32_t operator[](size_t ALength) const { return Starts[ALength]; }
};
const TBlockWords BlockWordStarts;

// The same for the words a declaration statement must notice.
struct TStatementWords {
  std::array<uint32_t, LongestKeyword + 1> Starts{};
  TStatementWords() {
    for (const char* word : {"record", "object", "end", "of", "type", "const", "resourcestring", "var", "threadvar",
                             "label", "uses", "implementation", "initialization", "finalization", "begin", "exports",
                             "property", "procedure", "function", "constructor", "destructor", "operator", "private",
                             "protected", "public", "published", "strict", "automated"})
      Starts[std::strlen(word)] |= 1u << (word[0] - 'a');
  }
  uint32_t operator[](size_t ALength) const { return Starts[ALength]; }
};
const TStatementWords StatementWordStarts;

struct TToken {
  TTokenKind Kind = tkEnd;
  TKeyword Keyword = kwNone;
  char Symbol = 0;  // a symbol's byte; '.'+'.' is 'R', ':'+'=' is 'A'
  uint32_t Offset = 0;
  uint32_t Length = 0;
};

class TLexer {
public:
  explicit TLexer(std::string_view AText) : FText(AText), FAt(0) {}

  // Where the names of included files go ({$i name}, {$include name}) as
  // tokens pass them; null for nowhere.
  void NoteIncludes(std::string* ALinks) { FLinks = ALinks; }
  // The kind of link an include is noted as from here on: 'i', or 'h' in a
  // unit's implementation.
  void NoteIncludesAs(char AKind) { FIncludeKind = AKind; }

  // Reads the next token into AToken. (Returned by value, the token was put
  // together byte by byte on the stack and read back whole before the
  // bytes had reached it: a stall on every token.)
  void Next(TToken& AToken) {
    const char* const text = FText.data();
    const char* const end = text + FText.size();
    const char* p = text + FAt;
    for (;;) {
      p = SkipBlanks(p, end);
      if (p >= end || !StartsComment(p, end)) break;
      const char* past = SkipComment(p, end);
      if (FLinks && *p == '{' && p + 1 < end && p[1] == '$') NoteInclude(std::string_view(p + 2, static_cast<size_t>(past - p - 2)));
      p = past;
    }
    const char* start = p;
    TTokenKind kind = tkEnd;
    TKeyword keyword = kwNone;
    char symbol = 0;
    if (p >= end) {
      p = end;
    } else if (const char c = *p; ClassOf(c) == ccIdent || StartsEscapedName(p, end)) {
      const bool escaped = c == '&';
      start += escaped;
      p = SkipNameBytes(start + 1, end);
      kind = tkIdent;
      const size_t length = static_cast<size_t>(p - start);
      if (!escaped && length >= 2 && length <= LongestKeyword) keyword = KeywordTable.Find(start, length);
    } else if (c == '\'' || c == '#') {
      kind = tkString;
      p = SkipString(p, end);
    } else if (ClassOf(c) == ccDigit || c == '$' || c == '%' || c == '&') {
      kind = tkNumber;
      p = SkipNumber(p + 1, end);
    } else {
      kind = tkSymbol;
      symbol = c;
      ++p;
      if (p < end) {
        const char d = *p;
        if (c == '.' && d == '.') symbol = 'R', ++p;
        else if (c == ':' && d == '=') symbol = 'A', ++p;
        else if (c == '(' && d == '.') symbol = '[', ++p;
        else if (c == '.' && d == ')') symbol = ']', ++p;
      }
    }
    FAt = static_cast<size_t>(p - text);
    AToken.Kind = kind;
    AToken.Keyword = keyword;
    AToken.Symbol = symbol;
    AToken.Offset = static_cast<uint32_t>(start - text);
    AToken.Length = static_cast<uint32_t>(p - start);
  }

  std::string_view Text() const { return FText; }
  // Goes back (or on) to AOffset: the next token starts there.
  void Seek(size_t AOffset) { FAt = std::min(AOffset, FText.size()); }

  // The rest of a declaration, from the current position: past the next
  // ';' outside brackets (true); or to the start of an 'end', of a word that
  // starts a section, or (AStopAtMember) of a routine heading or a
  // visibility word (false). Anonymous records are skipped whole. Like
  // SkipBlock, it reads bytes: long constant tables are much of a library.
  bool SkipStatement(bool AStopAtMember) {
    const char* const text = FText.data();
    const char* const end = text + FText.size();
    const char* p = text + FAt;
    int depth = 0, records = 0;
    bool afterOf = false;
    for (;;) {
      if (depth > 0 || records > 0) p = SkipQuiet<TNestedStatementLetters, TNestedStatementSymbols>(p, text, end);
      p = SkipBlanks(p, end);
      if (p >= end) break;
      const char c = *p;
      if (ClassOf(c) == ccIdent) {
        const char* start = p;
        p = SkipNameBytes(p + 1, end);
        const size_t length = static_cast<size_t>(p - start);
        const bool wasOf = afterOf;
        afterOf = false;
        if (length > LongestKeyword || !(StatementWordStarts[length] & (1u << ((Lower(c) - 'a') & 31)))) continue;
        const TKeyword k = KeywordTable.Find(start, length);
        if (k == kwOf) afterOf = true;
        if (k == kwRecord || (k == kwObject && !wasOf)) {
          ++records;
          continue;
        }
        if (k == kwEnd) {
          if (records > 0) {
            --records;
            continue;
          }
          p = start;
          break;
        }
        if (records > 0) continue;
        const bool member = k == kwProcedure || k == kwFunction || k == kwConstructor || k == kwDestructor ||
                            k == kwOperator || k == kwPrivate || k == kwProtected || k == kwPublic ||
                            k == kwPublished || k == kwStrict || k == kwAutomated;
        if (depth == 0 && (IsSectionWord(k) || (AStopAtMember && member))) {
          p = start;
          break;
        }
        continue;
      }
      afterOf = false;
      if (const char* past = SkipInert(p, end)) {
        p = past;
      } else {
        ++p;
        if (c == '(' || c == '[') {
          ++depth;
        } else if (c == ')' || c == ']') {
          depth = std::max(0, depth - 1);
        } else if (c == ';' && depth == 0 && records == 0) {
          FAt = static_cast<size_t>(p - text);
          return true;
        }
      }
    }
    FAt = static_cast<size_t>(p - text);
    return false;
  }

  static bool IsRoutineWord(TKeyword AKeyword) {
    return AKeyword == kwProcedure || AKeyword == kwFunction || AKeyword == kwConstructor ||
           AKeyword == kwDestructor;
  }
  // Words that start a section or a block: no declaration holds them.
  static bool IsSectionWord(TKeyword AKeyword) {
    switch (AKeyword) {
      case kwType: case kwConst: case kwResourceString: case kwVar: case kwThreadVar: case kwLabel: case kwUses:
      case kwImplementation: case kwInitialization: case kwFinalization: case kwBegin: case kwExports:
      case kwProperty:
        return true;
      default:
        return false;
    }
  }

  // Inside a statement block ADepth deep: skips to past the end that closes
  // it (true), or to the start of a word no block holds, such as a routine
  // heading (false). Bodies are most of a source, so this reads bytes
  // without making tokens, and looks up only words whose length and first
  // letter a block's keyword has.
  bool SkipBlock(int ADepth) {
    const char* const text = FText.data();
    const char* const end = text + FText.size();
    const char* p = text + FAt;
    bool closed = false;
    for (;;) {
      p = SkipQuiet<TBlockLetters, TBlockSymbols>(p, text, end);
      p = SkipBlanks(p, end);
      if (p >= end) break;
      const char c = *p;
      if (ClassOf(c) == ccIdent) {
        const char* start = p;
        p = SkipNameBytes(p + 1, end);
        const size_t length = static_cast<size_t>(p - start);
        if (length > LongestKeyword || !(BlockWordStarts[length] & (1u << ((Lower(c) - 'a') & 31)))) continue;
        const TKeyword k = KeywordTable.Find(start, length);
        if (k == kwBegin || k == kwAsm || k == kwCase || k == kwTry) {
          ++ADepth;
        } else if (k == kwEnd) {
          if (--ADepth <= 0) {
            closed = true;
            break;
          }
        } else if (IsRoutineWord(k) || k == kwType || k == kwImplementation || k == kwInitialization ||
                   k == kwFinalization || k == kwUses || k == kwProperty) {
          p = start;  // no block holds these
          break;
        }
      } else if (const char* past = SkipInert(p, end)) {
        p = past;
      } else {
        ++p;  // a symbol
      }
    }
    FAt = static_cast<size_t>(p - text);
    return closed;
  }

private:
  // After a number's first byte (a digit, '$', '%' or '&'): its rest.
  static const char* SkipNumber(const char* P, const char* AEnd) {
    while (P < AEnd) {
      const char c = *P;
      if (Continues(c)) {
        ++P;
      } else if (c == '.' && P + 1 < AEnd && ClassOf(P[1]) == ccDigit) {
        P += 2;  // a fraction, not a range ("1..2")
      } else if ((c == '+' || c == '-') && Lower(P[-1]) == 'e') {
        ++P;  // an exponent's sign
      } else {
        break;
      }
    }
    return P;
  }

  // A compiler directive's text after "{$": an include's file name is
  // noted ("i name", "include 'a name'"); "i+" and "i-" switch I/O checks,
  // and "i %DATE%" inserts text, not a file.
  void NoteInclude(std::string_view ADirective) {
    if (!ADirective.empty() && ADirective.back() == '}') ADirective.remove_suffix(1);
    size_t word = 0;
    while (word < ADirective.size() && ClassOf(ADirective[word]) == ccIdent) ++word;
    std::string lower(ADirective.substr(0, word));
    for (char& c : lower) c = Lower(c);
    if ((lower != "i" && lower != "include") || word == ADirective.size() || ClassOf(ADirective[word]) != ccBlank) return;
    std::string_view name = ADirective.substr(word);
    while (!name.empty() && ClassOf(name.front()) == ccBlank) name.remove_prefix(1);
    while (!name.empty() && ClassOf(name.back()) == ccBlank) name.remove_suffix(1);
    if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'') name = name.substr(1, name.size() - 2);
    if (name.empty() || name.front() == '%' || name.size() > 255) return;
    FLinks->push_back(FIncludeKind);
    FLinks->append(name);
    FLinks->push_back('\0');
  }

  std::string_view FText;
  size_t FAt;
  std::string* FLinks = nullptr;
  char FIncludeKind = 'i';
};

enum TSection : uint8_t {
  sUnitHeading,     // a unit before its interface: only its name
  sInterface,       // everything
  sImplementation,  // types, and the routines the interface does not declare
  sProgram,         // everything; routines have bodies
  sInclude,         // everything; a routine with a body is a definition
};

constexpr int MostNesting = 32;  // nested routines, or types within types

// The declaration that members belong to: its name, and its index in the
// output (-1 when it has none).
struct TOwner {
  std::string_view Name;
  long Index = -1;
  bool Empty() const { return Name.empty(); }
};

class TParser {
public:
  TParser(std::string_view AText, bool AInclude, std::vector<TFoundDeclaration>& AOut,
          std::unordered_set<std::string>& AInterfaceRoutines, std::string& ALinks)
      : FLexer(AText), FText(AText), FOut(AOut), FSection(AInclude ? sInclude : sProgram),
        FInterfaceRoutines(AInterfaceRoutines), FLinks(ALinks) {
    FInterfaceRoutines.clear();
    FLinks.clear();
    FLexer.NoteIncludes(&FLinks);
    Next();
  }

  void Run() {
    while (FToken.Kind != tkEnd && !FStopped) TopStatement();
  }

private:
  // ---- tokens

  void Next() {
    FPrevious = FToken.Keyword;
    if (FHasPeeked) {
      FToken = FPeeked;
      FHasPeeked = false;
    } else {
      FLexer.Next(FToken);
    }
  }
  const TToken& Peek() {
    if (!FHasPeeked) {
      FLexer.Next(FPeeked);
      FHasPeeked = true;
    }
    return FPeeked;
  }
  bool AtEnd() const { return FToken.Kind == tkEnd; }
  bool Is(char ASymbol) const { return FToken.Kind == tkSymbol && FToken.Symbol == ASymbol; }
  bool IsKeyword(TKeyword AKeyword) const { return FToken.Kind == tkIdent && FToken.Keyword == AKeyword; }
  std::string_view Text(const TToken& AToken) const { return FText.substr(AToken.Offset, AToken.Length); }
  // A name: an identifier that is no reserved word.
  bool IsName(const TToken& AToken) const {
    return AToken.Kind == tkIdent && (AToken.Keyword == kwNone || AToken.Keyword > kwReserved);
  }
  static bool IsRoutineKeyword(TKeyword AKeyword) {
    return AKeyword == kwProcedure || AKeyword == kwFunction || AKeyword == kwConstructor ||
           AKeyword == kwDestructor || AKeyword == kwOperator;
  }
  static bool IsVisibility(TKeyword AKeyword) {
    return AKeyword == kwPrivate || AKeyword == kwProtected || AKeyword == kwPublic || AKeyword == kwPublished ||
           AKeyword == kwStrict || AKeyword == kwAutomated;
  }
  static bool StartsSection(TKeyword AKeyword) { return TLexer::IsSectionWord(AKeyword); }

  // ---- recording

  bool Records(TDeclarationKind AKind) const {
    switch (FSection) {
      case sUnitHeading: return AKind <= dkLibrary;
      case sImplementation: return AKind < dkConst;
      default: return true;
    }
  }
  // Records a declaration named by AToken; its line holds the offset until
  // the end. Returns its index in the output, or -1.
  long Record(const TToken& AToken, TDeclarationKind AKind, const TOwner& AOwner = {}) {
    if (!Records(AKind)) return -1;
    TFoundDeclaration d;
    d.Name = Text(AToken);
    d.Owner = AOwner.Name;
    d.OwnerIndex = static_cast<int32_t>(AOwner.Index);
    d.Kind = AKind;
    d.Hidden = FSection == sImplementation;
    d.Line = AToken.Offset;
    FOut.push_back(std::move(d));
    return static_cast<long>(FOut.size()) - 1;
  }

  // ---- skipping

  // Past the next ';' outside brackets; or to (not past) an 'end' or a word
  // that starts a section. Anonymous records are skipped whole. True when
  // the ';' was there.
  bool SkipStatement(bool AStopAtMember = false) {
    if (AtEnd()) return false;
    // The lexer reads on from the current token, which is part of it.
    FLexer.Seek(FToken.Offset);
    FHasPeeked = false;
    const bool done = FLexer.SkipStatement(AStopAtMember);
    FPrevious = kwNone;
    FLexer.Next(FToken);
    return done;
  }

  // After 'record': to past its 'end', nested records counted.
  void SkipRecordBody() {
    int nesting = 1;
    while (!AtEnd()) {
      const TKeyword k = FToken.Kind == tkIdent ? FToken.Keyword : kwNone;
      if (k == kwRecord || (k == kwObject && FPrevious != kwOf)) ++nesting;
      if (k == kwEnd && --nesting == 0) {
        Next();
        return;
      }
      if (k == kwImplementation || k == kwInitialization || k == kwFinalization) return;
      Next();
    }
  }

  void SkipBalanced(char AOpen, char AClose) {
    int depth = 0;
    while (!AtEnd()) {
      if (Is(AOpen)) ++depth;
      if (Is(AClose) && --depth <= 0) {
        Next();
        return;
      }
      if (FToken.Kind == tkIdent && StartsSection(FToken.Keyword) && FToken.Keyword != kwConst &&
          FToken.Keyword != kwVar)
        return;
      Next();
    }
  }

  // Generic parameters or arguments: from '<' to the matching '>'.
  void SkipAngles() {
    int depth = 0;
    while (!AtEnd()) {
      if (Is('<')) ++depth;
      if (Is('>') && --depth <= 0) {
        Next();
        return;
      }
      if (Is(';') || Is('=') || (FToken.Kind == tkIdent && StartsSection(FToken.Keyword))) return;
      Next();
    }
  }

  // A statement block, from begin (or asm) to its end. A word that no block
  // holds (a routine heading, a section) ends it early: the text was
  // unbalanced, most likely by conditional directives.
  void SkipBlock() {
    // The lexer reads on from the first token inside the block.
    FLexer.Seek(FHasPeeked ? FPeeked.Offset : FToken.Offset + FToken.Length);
    FHasPeeked = false;
    const bool closed = FLexer.SkipBlock(1);
    FLexer.Next(FToken);
    FPrevious = closed ? kwEnd : kwNone;
    if (closed && Is('.')) FStopped = FSection != sInclude;  // the end of a unit or program
  }

  // ---- the file

  void TopStatement() {
    switch (FToken.Kind == tkIdent ? FToken.Keyword : kwNone) {
      case kwUnit: case kwProgram: case kwLibrary: return ModuleHeading();
      case kwInterface:
        Next();
        if (FSection == sUnitHeading) FSection = sInterface;
        return;
      case kwImplementation:
        if (FSection != sInclude) {
          FSection = sImplementation;
          FLexer.NoteIncludesAs('h');  // what the implementation includes, other units never see
        }
        Next();
        return;
      case kwInitialization: case kwFinalization:
        FStopped = FSection != sInclude;
        Next();
        return;
      case kwBegin:
        // A program's main block or a unit's initialization: nothing is
        // declared after it. In an include file, a block of its own.
        if (FSection != sInclude) {
          FStopped = true;
          return;
        }
        return SkipBlock();
      case kwType:
        Next();
        return TypeSection({}, 0);
      case kwConst: return ConstSection(dkConst);
      case kwResourceString: return ConstSection(dkResourceString);
      case kwVar: return VarSection(dkVar);
      case kwThreadVar: return VarSection(dkThreadVar);
      case kwUses: return UsesClause();
      case kwLabel: case kwExports:
        Next();
        SkipStatement();
        return;
      case kwProcedure: case kwFunction: case kwConstructor: case kwDestructor: case kwOperator: case kwClass:
      case kwGeneric:
        return Routine(0);
      case kwEnd:
        Next();
        if (Is('.')) FStopped = FSection != sInclude;
        return;
      default:
        Next();
    }
  }

  // The units a uses clause names, noted as links: "in 'file'" parts left
  // out, a dotted name kept whole.
  void UsesClause() {
    const char kind = FSection == sImplementation ? 'm' : 'u';
    std::string name;
    bool skipping = false;  // after "in": the file's name, up to the next ','
    auto note = [&] {
      if (!name.empty() && name.size() <= 255) FLinks.append(1, kind).append(name).push_back('\0');
      name.clear();
      skipping = false;
    };
    for (Next(); !AtEnd() && !Is(';'); Next()) {
      if (Is(',')) {
        note();
      } else if (FToken.Kind == tkIdent && FToken.Length == 2 && Lower(FText[FToken.Offset]) == 'i' &&
                 Lower(FText[FToken.Offset + 1]) == 'n') {
        skipping = true;
      } else if (FToken.Kind == tkIdent && StartsSection(FToken.Keyword)) {
        break;  // a clause left open
      } else if (!skipping && (FToken.Kind == tkIdent || Is('.'))) {
        name.append(Text(FToken));
      }
    }
    note();
    if (Is(';')) Next();
  }

  void ModuleHeading() {
    const TKeyword keyword = FToken.Keyword;
    Next();
    if (!IsName(FToken)) return;
    TToken name = FToken;
    Next();
    while (Is('.') && IsName(Peek())) {  // a dotted unit name: System.SysUtils
      Next();
      name.Length = FToken.Offset + FToken.Length - name.Offset;
      Next();
    }
    TDeclarationKind kind = keyword == kwUnit ? dkUnit : keyword == kwProgram ? dkProgram : dkLibrary;
    if (FSection != sInclude) {
      FSection = sProgram;  // a module's name is recorded in every section
      Record(name, kind);
      FSection = keyword == kwUnit ? sUnitHeading : sProgram;
    }
    SkipStatement();
  }

  // ---- type sections

  void TypeSection(const TOwner& AOwner, int ANesting) {
    for (;;) {
      if (IsKeyword(kwGeneric)) Next();
      if (!IsName(FToken) || (!AOwner.Empty() && IsVisibility(FToken.Keyword))) return;
      TToken name = FToken;
      Next();
      if (Is('<')) SkipAngles();
      if (!Is('=')) {
        SkipStatement(!AOwner.Empty());
        continue;
      }
      Next();
      TypeDefinition(name, AOwner, ANesting);
    }
  }

  void TypeDefinition(const TToken& AName, const TOwner& AOwner, int ANesting) {
    if (IsKeyword(kwType)) Next();  // a distinct type, or a type helper
    if (IsKeyword(kwPacked) || IsKeyword(kwBitPacked)) Next();
    TOwner owner{Text(AName)};
    switch (FToken.Kind == tkIdent ? FToken.Keyword : kwNone) {
      case kwClass: {
        Next();
        if (Is(';')) return (void)Next();  // a forward declaration: the class follows
        if (IsKeyword(kwOf)) {
          Record(AName, dkClassReference, AOwner);
          SkipStatement();
          return;
        }
        bool helper = IsKeyword(kwHelper);
        if (helper || IsKeyword(kwAbstract) || IsKeyword(kwSealed)) Next();
        owner.Index = Record(AName, helper ? dkHelper : dkClass, AOwner);
        return Structure(owner, ANesting, true);
      }
      case kwObject:
        Next();
        owner.Index = Record(AName, dkObject, AOwner);
        return Structure(owner, ANesting, true);
      case kwRecord: {
        Next();
        bool helper = IsKeyword(kwHelper);
        if (helper) Next();
        owner.Index = Record(AName, helper ? dkHelper : dkRecord, AOwner);
        return Structure(owner, ANesting, false);
      }
      case kwInterface: case kwDispInterface:
        Next();
        if (Is(';')) return (void)Next();  // a forward declaration
        owner.Index = Record(AName, dkInterface, AOwner);
        return Structure(owner, ANesting, true);
      case kwHelper:  // after "type": a type helper
        Next();
        owner.Index = Record(AName, dkHelper, AOwner);
        return Structure(owner, ANesting, false);
      case kwSet: Record(AName, dkSet, AOwner); break;
      case kwArray: Record(AName, dkArray, AOwner); break;
      case kwProcedure: case kwFunction: case kwReference: Record(AName, dkProcedureType, AOwner); break;
      default:
        if (Is('(')) {
          owner.Index = Record(AName, dkEnum, AOwner);
          EnumValues(owner);
        } else {
          Record(AName, Is('^') ? dkPointer : dkType, AOwner);
        }
    }
    SkipStatement();
  }

  void EnumValues(const TOwner& AOwner) {
    Next();  // '('
    int depth = 0;
    bool expectName = true;
    while (!AtEnd()) {
      if (depth == 0 && expectName && IsName(FToken)) Record(FToken, dkEnumValue, AOwner);
      expectName = false;
      if (Is('(')) ++depth;
      if (Is(')') && depth-- == 0) return (void)Next();
      if (depth == 0 && Is(',')) expectName = true;
      if (Is(';') || (FToken.Kind == tkIdent && StartsSection(FToken.Keyword))) return;
      Next();
    }
  }

  // The rest of a class, object, record, interface or helper heading (its
  // parents, "for" type) and its body of members up to its end.
  void Structure(const TOwner& AOwner, int ANesting, bool AParents) {
    if (AParents && Is('(')) SkipBalanced('(', ')');
    if (IsKeyword(kwFor)) {
      Next();
      while (IsName(FToken) || Is('.')) Next();
      if (Is('<')) SkipAngles();
    }
    if (Is(';')) return (void)Next();  // "class(TParent);": no body
    if (ANesting >= MostNesting) {
      SkipRecordBody();
    } else {
      Members(AOwner, ANesting + 1);
    }
    SkipStatement();  // the ';' after end, and hints such as "deprecated"
  }

  void Members(const TOwner& AOwner, int ANesting) {
    bool variant = false;
    while (!AtEnd()) {
      if (FToken.Kind == tkSymbol) {
        if (Is('[')) SkipBalanced('[', ']');  // a GUID or attributes
        else if (variant && Is('(')) SkipBalanced('(', ')');
        else Next();
        continue;
      }
      const TKeyword k = FToken.Kind == tkIdent ? FToken.Keyword : kwNone;
      if (k == kwEnd) return (void)Next();
      if (IsVisibility(k)) {
        Next();
        continue;
      }
      bool classMember = false;
      if (k == kwClass) {
        const TToken& next = Peek();
        if (next.Kind == tkIdent && (IsRoutineKeyword(next.Keyword) || next.Keyword == kwProperty ||
                                     next.Keyword == kwVar || next.Keyword == kwThreadVar ||
                                     next.Keyword == kwConst)) {
          Next();
          classMember = true;
        }
      }
      if (IsKeyword(kwGeneric)) Next();
      const TKeyword m = FToken.Kind == tkIdent ? FToken.Keyword : kwNone;
      if (variant) {
        Next();
      } else if (IsRoutineKeyword(m)) {
        Method(AOwner, classMember);
      } else if (m == kwProperty) {
        Next();
        if (IsName(FToken)) Record(FToken, classMember ? dkClassProperty : dkProperty, AOwner);
        SkipStatement();
      } else if (m == kwType) {
        Next();
        TypeSection(AOwner, ANesting);
      } else if (m == kwConst || m == kwVar || m == kwThreadVar) {
        Next();  // the fields that follow are skipped as fields
      } else if (m == kwCase) {
        Next();
        variant = true;  // the variant part shares the record's end
      } else if (m == kwImplementation || m == kwInitialization || m == kwFinalization || m == kwBegin ||
                 m == kwUses) {
        return;  // the body was never closed
      } else {
        const uint32_t before = FToken.Offset;
        SkipStatement(true);  // a field, a directive, or what conditionals left
        if (FToken.Offset == before && !AtEnd()) Next();
      }
    }
  }

  void Method(const TOwner& AOwner, bool AClassMember) {
    static constexpr TDeclarationKind Plain[] = {dkProcedure, dkFunction, dkConstructor, dkDestructor, dkOperator};
    static constexpr TDeclarationKind OfClass[] = {dkClassProcedure, dkClassFunction, dkClassConstructor,
                                                   dkClassDestructor, dkClassOperator};
    const int which = FToken.Keyword == kwProcedure     ? 0
                      : FToken.Keyword == kwFunction    ? 1
                      : FToken.Keyword == kwConstructor ? 2
                      : FToken.Keyword == kwDestructor  ? 3
                                                        : 4;
    Next();
    // "procedure IFoo.Bar = Baz;" maps an interface's method: no declaration.
    if (IsName(FToken) && !(Peek().Kind == tkSymbol && Peek().Symbol == '.'))
      Record(FToken, AClassMember ? OfClass[which] : Plain[which], AOwner);
    SkipStatement(true);
  }

  // ---- constants and variables

  void ConstSection(TDeclarationKind AKind) {
    Next();
    for (;;) {
      if (Is(';')) {
        Next();
        continue;
      }
      if (!IsName(FToken)) return;
      TToken name = FToken;
      Next();
      if (Is('=') || Is(':')) Record(name, AKind);
      SkipStatement();
    }
  }

  void VarSection(TDeclarationKind AKind) {
    Next();
    std::vector<TToken> names;
    for (;;) {
      if (Is(';')) {
        Next();
        continue;
      }
      if (!IsName(FToken)) return;
      names.clear();
      names.push_back(FToken);
      Next();
      while (Is(',') && IsName(Peek())) {
        Next();
        names.push_back(FToken);
        Next();
      }
      if (Is(':'))
        for (const TToken& n : names) Record(n, AKind);
      SkipStatement();  // "cvar;", "external;" and the like end here too
    }
  }

  // ---- routines

  void Routine(int ANesting) {
    bool classRoutine = false;
    if (IsKeyword(kwClass)) {
      if (!IsRoutineKeyword(Peek().Keyword) || Peek().Kind != tkIdent) return (void)Next();
      classRoutine = true;
      Next();
    }
    if (IsKeyword(kwGeneric)) Next();
    if (FToken.Kind != tkIdent || !IsRoutineKeyword(FToken.Keyword)) return;
    const TKeyword keyword = FToken.Keyword;
    Next();
    TToken name = FToken;
    bool named = IsName(FToken) && keyword != kwOperator;
    bool dotted = false;
    if (named) {
      Next();
      if (Is('<')) SkipAngles();
      while (Is('.') && IsName(Peek())) {  // a method's body, or a qualified name
        dotted = true;
        Next();
        Next();
        if (Is('<')) SkipAngles();
      }
    }
    SkipStatement();  // parameters and result
    bool forward = false;
    // Directives: "overload;", "external 'lib' name 'x';", "[public, alias: 'x'];"
    while (!AtEnd() && (IsName(FToken) || Is('['))) {
      if (Is('[')) {
        SkipBalanced('[', ']');
        if (Is(';')) Next();
        continue;
      }
      forward |= FToken.Keyword == kwForward || FToken.Keyword == kwExternal;
      SkipStatement();
    }
    TDeclarationKind kind = keyword == kwProcedure     ? (classRoutine ? dkClassProcedure : dkProcedure)
                            : keyword == kwFunction    ? (classRoutine ? dkClassFunction : dkFunction)
                            : keyword == kwConstructor ? dkConstructor
                                                       : dkDestructor;
    std::string lower;
    if (named) {
      lower = Text(name);
      for (char& c : lower) c = Lower(c);
    }
    const bool declaredBefore = FSection == sImplementation && FInterfaceRoutines.count(lower);
    long recorded = named && !dotted && !declaredBefore ? Record(name, kind) : -1;
    if (FSection == sInterface && named && !dotted) FInterfaceRoutines.insert(lower);
    if (FSection == sInterface || FSection == sUnitHeading || forward) return;
    if (Body(ANesting) && recorded >= 0 && FSection == sInclude) FOut[static_cast<size_t>(recorded)].Definition = true;
  }

  // What follows a heading that may have a body: local sections and nested
  // routines, then begin (or asm). They are recorded, and dropped again
  // when a block follows; without one they were declarations of their own.
  // True when there was a body.
  bool Body(int ANesting) {
    const size_t tentative = FOut.size();
    bool body = false;
    while (!AtEnd()) {
      const TKeyword k = FToken.Kind == tkIdent ? FToken.Keyword : kwNone;
      if (k == kwBegin || k == kwAsm) {
        SkipBlock();
        if (Is(';')) Next();
        body = true;
        break;
      }
      if (k == kwType) {
        Next();
        TypeSection({}, ANesting + 1);
      } else if (k == kwConst || k == kwResourceString) {
        ConstSection(k == kwConst ? dkConst : dkResourceString);
      } else if (k == kwVar || k == kwThreadVar) {
        VarSection(k == kwVar ? dkVar : dkThreadVar);
      } else if (k == kwLabel) {
        Next();
        SkipStatement();
      } else if ((IsRoutineKeyword(k) || k == kwClass || k == kwGeneric) && ANesting < MostNesting) {
        Routine(ANesting + 1);
      } else {
        break;
      }
    }
    if (body) FOut.resize(tentative);
    return body;
  }

  TLexer FLexer;
  std::string_view FText;
  std::vector<TFoundDeclaration>& FOut;
  TSection FSection;
  TToken FToken, FPeeked;
  bool FHasPeeked = false;
  TKeyword FPrevious = kwNone;
  bool FStopped = false;
  std::unordered_set<std::string>& FInterfaceRoutines;  // lower case
  std::string& FLinks;
};

// Turns the offsets the parser left in each declaration's line into lines
// and columns, counting line ends once through the text.
void PlaceDeclarations(std::string_view AText, std::vector<TFoundDeclaration>& ADeclarations) {
  size_t at = 0, lineStart = 0;
  uint32_t line = 1;
  for (TFoundDeclaration& d : ADeclarations) {
    const size_t offset = d.Line;
    if (offset < at) at = lineStart = 0, line = 1;  // out of order: count again
    while (at < offset) {
      const void* nl = std::memchr(AText.data() + at, '\n', offset - at);
      if (!nl) {
        at = offset;
        break;
      }
      at = static_cast<size_t>(static_cast<const char*>(nl) - AText.data()) + 1;
      lineStart = at;
      ++line;
    }
    d.Line = line;
    d.Column = static_cast<uint32_t>(offset - lineStart + 1);
  }
}

}  // namespace

const char* DeclarationKindName(TDeclarationKind AKind) {
  static constexpr const char* Names[] = {
      "unit", "program", "library", "class", "object", "record", "interface", "helper", "enum", "set", "pointer",
      "procedure type", "array", "class reference", "type", "procedure", "function", "constructor", "destructor",
      "operator", "class procedure", "class function", "class constructor", "class destructor", "class operator",
      "property", "class property", "const", "resourcestring", "var", "threadvar", "enum value"};
  static_assert(std::size(Names) == dkKindCount);
  return AKind < dkKindCount ? Names[AKind] : "?";
}

bool IsIncludeFileName(std::string_view AName) {
  if (AName.size() < 4) return false;
  std::string_view ext = AName.substr(AName.size() - 4);
  return ext[0] == '.' && Lower(ext[1]) == 'i' && Lower(ext[2]) == 'n' && Lower(ext[3]) == 'c';
}

struct TDeclarationScanner::TState {
  std::vector<TFoundDeclaration> Found;
  std::unordered_set<std::string> InterfaceRoutines;
  std::string Links;
};

TDeclarationScanner::TDeclarationScanner() : FState(std::make_unique<TState>()) {}
TDeclarationScanner::~TDeclarationScanner() = default;

const std::vector<TFoundDeclaration>& TDeclarationScanner::Scan(std::string_view AText, bool AInclude) {
  // Offsets are 32-bit: a larger text is read as far as they reach.
  AText = AText.substr(0, std::min<size_t>(AText.size(), UINT32_MAX));
  FState->Found.clear();
  TParser(AText, AInclude, FState->Found, FState->InterfaceRoutines, FState->Links).Run();
  PlaceDeclarations(AText, FState->Found);
  return FState->Found;
}

const std::string& TDeclarationScanner::Links() const { return FState->Links; }

std::vector<TDeclaration> ScanDeclarations(std::string_view AText, bool AInclude) {
  TDeclarationScanner scanner;
  std::vector<TDeclaration> copies;
  for (const TFoundDeclaration& d : scanner.Scan(AText, AInclude))
    copies.push_back({std::string(d.Name), std::string(d.Owner), d.Line, d.Column, d.Kind, d.Definition, d.Hidden});
  return copies;
}

std::vector<std::string> UsedUnits(std::string_view AText) {
  AText = AText.substr(0, std::min<size_t>(AText.size(), UINT32_MAX));
  std::vector<std::string> units;
  auto add = [&](std::string AName) {
    if (!AName.empty() && std::find(units.begin(), units.end(), AName) == units.end()) units.push_back(std::move(AName));
  };
  TLexer lexer(AText);
  TToken t;
  for (lexer.Next(t); t.Kind != tkEnd; lexer.Next(t)) {
    if (t.Kind != tkIdent || t.Keyword != kwUses) continue;
    std::string name;
    bool skipping = false;  // after "in": the file's name, up to the next ','
    for (lexer.Next(t); t.Kind != tkEnd && !(t.Kind == tkSymbol && t.Symbol == ';'); lexer.Next(t)) {
      if (t.Kind == tkSymbol && t.Symbol == ',') {
        add(std::move(name));
        name.clear();
        skipping = false;
      } else if (t.Kind == tkIdent && t.Length == 2 && Lower(AText[t.Offset]) == 'i' && Lower(AText[t.Offset + 1]) == 'n') {
        skipping = true;
      } else if (!skipping && (t.Kind == tkIdent || (t.Kind == tkSymbol && t.Symbol == '.'))) {
        name.append(AText.substr(t.Offset, t.Length));
      }
    }
    add(std::move(name));
  }
  return units;
}

std::vector<TPascalToken> Tokenize(std::string_view AText) {
  AText = AText.substr(0, std::min<size_t>(AText.size(), UINT32_MAX));
  std::vector<TPascalToken> tokens;
  TLexer lexer(AText);
  TToken t;
  for (lexer.Next(t); t.Kind != tkEnd; lexer.Next(t)) {
    const auto kind = t.Kind == tkIdent    ? TPascalToken::tkName
                      : t.Kind == tkNumber ? TPascalToken::tkNumber
                      : t.Kind == tkString ? TPascalToken::tkString
                                           : TPascalToken::tkSymbol;
    tokens.push_back({kind, t.Symbol, t.Offset, t.Length});
  }
  return tokens;
}

TNameAtCursor NameAt(std::string_view AText, size_t AOffset) {
  AOffset = std::min(AOffset, AText.size());
  auto inName = [&](size_t I) { return I < AText.size() && Continues(AText[I]); };
  size_t at = AOffset;
  if (!inName(at)) {
    if (at == 0 || !inName(at - 1)) return {};
    --at;  // just after the name
  }
  size_t begin = at, end = at + 1;
  while (begin > 0 && inName(begin - 1)) --begin;
  while (inName(end)) ++end;
  if (ClassOf(AText[begin]) == ccDigit) return {};  // a number
  TNameAtCursor found;
  found.Name = std::string(AText.substr(begin, end - begin));
  // "Owner.Name", blanks allowed around the dot as Pascal allows them.
  size_t before = begin;
  while (before > 0 && (AText[before - 1] == ' ' || AText[before - 1] == '\t')) --before;
  if (before > 0 && AText[before - 1] == '.' && !(before > 1 && AText[before - 2] == '.')) {
    size_t ownerEnd = before - 1;
    while (ownerEnd > 0 && (AText[ownerEnd - 1] == ' ' || AText[ownerEnd - 1] == '\t')) --ownerEnd;
    size_t ownerBegin = ownerEnd;
    while (ownerBegin > 0 && inName(ownerBegin - 1)) --ownerBegin;
    if (ownerBegin < ownerEnd && ClassOf(AText[ownerBegin]) != ccDigit)
      found.Owner = std::string(AText.substr(ownerBegin, ownerEnd - ownerBegin));
  }
  return found;
}

}  // namespace Vantry
