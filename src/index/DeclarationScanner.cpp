#include "index/DeclarationScanner.h"

#include "index/Conditionals.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_set>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// How the scanner works
// ---------------------
// The lexer turns the text into tokens: identifiers (with the reserved
// words and the few context words the parser needs told apart), numbers,
// strings and symbols; comments and compiler directives are skipped like
// blanks. A byte table classifies each byte; comments and strings end at a
// byte found by memchr. Every step moves forward, so any text ends. Of the
// directives, it heeds only those that change how a text is read: the mode
// (comments nest in Free Pascal's own modes) and the conditionals, which
// it counts but does not evaluate: every branch is read.
//
// The parser reads only the shapes of declarations and skips the rest:
// a statement to its ';', a routine's body as a block of begin/case/try/asm
// ... end. Conditional directives can leave a text unbalanced (two class
// headings, one end; a body whose begin is in one branch only; a type with
// a name or a kind in each branch; a unit whose whole interface and
// implementation stand in each branch): the parser takes up again
// wherever a word starts something a declaration cannot hold, such as a
// routine heading inside a body or "implementation", and a declaration at
// a statement's start outside any section goes on with the section read
// last. An include file may carry on its includer's type or const section
// without the word: a run of declarations there is read as the section
// the shape of one of them tells. A routine heading followed by local
// declarations is read tentatively: only when a begin (or asm) follows
// were they a body's, and are dropped.

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
  kwPublished, kwStrict, kwAutomated, kwAbstract, kwSealed, kwPackage, kwObjcClass, kwObjcProtocol, kwObjcCategory,
  kwCppClass, kwRequired, kwOptional,
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
    {"abstract", kwAbstract}, {"sealed", kwSealed}, {"package", kwPackage}, {"objcclass", kwObjcClass},
    {"objcprotocol", kwObjcProtocol}, {"objccategory", kwObjcCategory}, {"cppclass", kwCppClass},
    {"required", kwRequired}, {"optional", kwOptional},
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
// The first line end at or after P (LF or CR: a lone CR ends a line too,
// as the compiler counts lines), or AEnd.
inline const char* FindLineEnd(const char* P, const char* AEnd) {
#if defined(__SSE2__)
  for (; AEnd - P >= 16; P += 16) {
    const __m128i bytes = Load16(P);
    const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')))));
    if (hits) return P + __builtin_ctz(hits);
  }
#endif
  while (P < AEnd && *P != '\n' && *P != '\r') ++P;
  return P;
}
// Past the end of the line P is on (past its CR LF as one line end).
inline const char* PastLineEnd(const char* P, const char* AEnd) {
  P = FindLineEnd(P, AEnd);
  if (P < AEnd && *P++ == '\r' && P < AEnd && *P == '\n') ++P;
  return P;
}
// A string constant: quoted parts ('' is a quote) and #char codes, which
// may follow each other. A quote left open ends with its line.
inline const char* SkipString(const char* P, const char* AEnd) {
  while (P < AEnd) {
    if (*P == '\'') {
      ++P;
      while (P < AEnd && *P != '\'' && *P != '\n' && *P != '\r') ++P;
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
  bool Escaped = false;  // a name written with '&' before it, which Offset leaves out
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
  // The structure whose body the text is in from here on (empty: none),
  // which an include there is noted with; returns the one before.
  std::string_view NoteIncludesIn(std::string_view AOwner) { return std::exchange(FIncludeOwner, AOwner); }
  // What follows the conditional directives for a target; null for none.
  void FollowConditions(TConditionals* AConditions) { FConditions = AConditions; }
  // Where the conditional and include directives go as tokens pass them,
  // their token index left to fill in; null for nowhere.
  void NoteDirectives(std::vector<TPascalDirective>* ADirectives) { FDirectives = ADirectives; }

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
      p = SkipComment(p, end);
    }
    const char* start = p;
    TTokenKind kind = tkEnd;
    TKeyword keyword = kwNone;
    char symbol = 0;
    bool escaped = false;
    if (p >= end) {
      p = end;
    } else if (const char c = *p; ClassOf(c) == ccIdent || StartsEscapedName(p, end)) {
      escaped = c == '&';
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
    AToken.Escaped = escaped;
    AToken.Offset = static_cast<uint32_t>(start - text);
    AToken.Length = static_cast<uint32_t>(p - start);
  }

  std::string_view Text() const { return FText; }
  // Goes back (or on) to AOffset: the next token starts there.
  void Seek(size_t AOffset) { FAt = std::min(AOffset, FText.size()); }
  // Where the next token is looked for.
  size_t At() const { return FAt; }
  // How many conditional directives ({$if...}) are open where the lexer is.
  uint32_t OpenConditionals() const { return FConditionals; }

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
  // ---- comments and directives
  //
  // In Free Pascal's own modes (fpc, its default, and objfpc) comments
  // nest: "{ a { b } c }" is one comment, and so is "(* a (* b *) c *)".
  // In the modes of other compilers (delphi, tp, macpas, iso) the first
  // closing brace ends a comment. The lexer follows {$mode} and
  // {$modeswitch nestedcomments} as the text sets them; a text starts in
  // the default mode, an include file too (it cannot know its includer's).
  // A nested comment that is never closed was most likely written for a
  // mode that does not nest: it ends where it would there.
  //
  // It also counts the conditional directives open ({$ifdef} up to
  // {$endif}), so that the parser can tell an "end." in one branch of a
  // conditional from the module's last. A directive is acted on once,
  // however often the parser reads its text again.

  // P is at the start of a comment: {...}, (*...*) or //... An unterminated
  // one runs to the end of the text.
  const char* SkipComment(const char* P, const char* AEnd) {
    if (*P == '/') return PastLineEnd(P + 2, AEnd);
    if (*P != '{') return SkipParenComment(P, AEnd);
    if (P + 1 < AEnd && P[1] == '$') Directive(P + 2, AEnd);
    const char* const inside = P + 1;
    const void* brace = inside < AEnd ? std::memchr(inside, '}', static_cast<size_t>(AEnd - inside)) : nullptr;
    const char* const close = brace ? static_cast<const char*>(brace) : AEnd;
    const char* const past = brace ? close + 1 : AEnd;
    if (!FNestComments || !std::memchr(inside, '{', static_cast<size_t>(close - inside))) return past;
    return SkipNestedBraces(inside, close, past, AEnd);
  }
  // P is at "(*".
  [[gnu::noinline]] const char* SkipParenComment(const char* P, const char* AEnd) {
    if (P + 2 < AEnd && P[2] == '$') Directive(P + 3, AEnd);
    const char* firstClose = nullptr;  // where the comment ends if comments do not nest
    int depth = 1;
    for (P += 2;;) {
      P = PastByte(P, AEnd, '*');
      if (P >= AEnd) return firstClose ? firstClose : AEnd;
      if (*P == ')') {  // "*)", and "(*)" closes too, as the compiler reads it
        ++P;
        if (--depth == 0) return P;
        if (!firstClose) firstClose = P;
      } else if (FNestComments && P[-2] == '(') {
        ++depth;
      }
    }
  }
  // Inside a brace comment that holds another '{', from P: AClose is the
  // first '}' (or the end of the text), APast where the comment would end
  // if comments did not nest.
  static const char* SkipNestedBraces(const char* P, const char* AClose, const char* APast, const char* AEnd) {
    int depth = 1;
    for (const char* close = AClose;;) {
      // close: the first '}' at or after P, or AEnd
      if (const void* open = std::memchr(P, '{', static_cast<size_t>(close - P))) {
        ++depth;
        P = static_cast<const char*>(open) + 1;
        continue;
      }
      if (close >= AEnd) return APast;  // never closed: the text was not written for nesting
      if (--depth == 0) return close + 1;
      P = close + 1;
      const void* next = P < AEnd ? std::memchr(P, '}', static_cast<size_t>(AEnd - P)) : nullptr;
      close = next ? static_cast<const char*>(next) : AEnd;
    }
  }
  const char* SkipBlanksAndComments(const char* P, const char* AEnd) {
    for (;;) {
      P = SkipBlanks(P, AEnd);
      if (P >= AEnd || !StartsComment(P, AEnd)) return P;
      P = SkipComment(P, AEnd);
    }
  }
  // Past what at P holds no word a skip looks for: a comment, a string, an
  // escaped name or a number (whose letters are never a word); null when P
  // starts none of them.
  const char* SkipInert(const char* P, const char* AEnd) {
    if (StartsComment(P, AEnd)) return SkipComment(P, AEnd);
    if (*P == '\'' || *P == '#') return SkipString(P, AEnd);
    if (StartsEscapedName(P, AEnd)) return SkipNameBytes(P + 2, AEnd);
    if (ClassOf(*P) == ccDigit) return SkipNameBytes(P + 1, AEnd);
    return nullptr;
  }

  // A directive's word (and the word after it) in lower case, cut at 15
  // bytes.
  struct TWord {
    char Text[16] = {};
    size_t Length = 0;
    bool operator==(std::string_view AOther) const { return std::string_view(Text, Length) == AOther; }
  };
  static const char* ReadWord(const char* P, const char* AEnd, TWord& AWord) {
    while (P < AEnd && (*P == ' ' || *P == '\t')) ++P;
    for (; P < AEnd && Continues(*P); ++P)
      if (AWord.Length < sizeof(AWord.Text)) AWord.Text[AWord.Length++] = Lower(*P);
    return P;
  }
  // P is just after the '$' of a directive. Only $if..., $endif (and the
  // like), $i (an include), $define, $undef and $mode... matter: the rest
  // are passed at their first letter.
  void Directive(const char* P, const char* AEnd) {
    if (P >= AEnd) return;
    const char c = Lower(*P);
    if (c != 'i' && c != 'e' && c != 'm' && c != 'd' && c != 'u') return;
    ReadDirective(P, AEnd);
  }
  [[gnu::noinline]] void ReadDirective(const char* P, const char* AEnd) {
    const auto offset = static_cast<size_t>(P - FText.data());
    if (offset <= FDirectivesRead) return;  // read before: the parser went back
    FDirectivesRead = offset;
    // The directive's text, to its closing brace (or its line's end).
    const char* close = static_cast<const char*>(std::memchr(P, '}', static_cast<size_t>(AEnd - P)));
    const char* const lineEnd = FindLineEnd(P, AEnd);
    const std::string_view text(P, static_cast<size_t>((close && close < lineEnd ? close : lineEnd) - P));
    if (FConditions) FConditions->Directive(text, static_cast<uint32_t>(offset));
    if (FLinks || FDirectives) NoteInclude(text);
    TWord word, argument;
    P = ReadWord(P, AEnd, word);
    const bool skipped = FConditions && FConditions->Skipped();
    if (word == "if" || word == "ifdef" || word == "ifndef" || word == "ifopt" || word == "ifc") {
      ++FConditionals;
      if (FDirectives) FDirectives->push_back({TPascalDirective::pdIf, skipped, UINT32_MAX});
    } else if (word == "endif" || word == "ifend" || word == "endc") {
      if (FConditionals > 0) --FConditionals;
      if (FDirectives) FDirectives->push_back({TPascalDirective::pdEnd, skipped, UINT32_MAX});
    } else if (word == "else" || word == "elseif" || word == "elsec" || word == "elifc") {
      if (FDirectives) FDirectives->push_back({TPascalDirective::pdElse, skipped, UINT32_MAX});
    } else if (word == "mode") {
      ReadWord(P, AEnd, argument);
      if (FLinks && argument.Length > 0)  // a unit's mode may be set in a file it includes
        FLinks->append(1, 'o').append(argument.Text, argument.Length).push_back('\0');
      if (argument == "fpc" || argument == "objfpc") FNestComments = true;
      else if (argument == "delphi" || argument == "delphiunicode" || argument == "tp" || argument == "macpas" ||
               argument == "iso" || argument == "extendedpascal")
        FNestComments = false;
    } else if (word == "modeswitch") {
      P = ReadWord(P, AEnd, argument);
      if (argument == "nestedcomments") {
        TWord state;
        if (P < AEnd && (*P == '-' || *P == '+')) FNestComments = *P == '+';
        else FNestComments = !(ReadWord(P, AEnd, state), state == "off");
      }
    }
  }

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
    const bool skipped = FConditions && FConditions->Skipped();
    if (FDirectives)
      FDirectives->push_back({TPascalDirective::pdInclude, skipped, UINT32_MAX,
                              static_cast<uint32_t>(name.data() - FText.data()), static_cast<uint32_t>(name.size())});
    if (!FLinks) return;
    // An include the target's compiler skips is noted apart ('x').
    FLinks->push_back(skipped ? 'x' : FIncludeKind);
    FLinks->append(name);
    FLinks->push_back('\0');
    // One inside a structure's body holds its members.
    if (!FIncludeOwner.empty()) FLinks->append(1, 'c').append(FIncludeOwner).push_back('\0');
  }

  std::string_view FText;
  size_t FAt;
  std::string* FLinks = nullptr;
  char FIncludeKind = 'i';
  std::string_view FIncludeOwner;
  TConditionals* FConditions = nullptr;
  std::vector<TPascalDirective>* FDirectives = nullptr;
  bool FNestComments = true;
  uint32_t FConditionals = 0;
  size_t FDirectivesRead = 0;  // the offset of the last directive acted on
};

// The units of one uses clause, read from its tokens after "uses": "in
// 'file'" parts left out, a dotted name kept whole. A unit in a branch the
// target's compiler skips ("{$ifdef windows} Windows, {$endif}") is not
// used; two names side by side are the branches' own units ("{$ifdef unix}
// BaseUnix {$else} Windows {$endif};").
class TUsesReader {
public:
  TUsesReader(std::string_view AText, const TConditionals* AConditions) : FText(AText), FConditions(AConditions) {}

  // Takes the clause's next token; false at its ';', or at a word that
  // starts a section (a clause left open), which is not taken.
  bool Take(const TToken& AToken) {
    const bool name = AToken.Kind == tkIdent;
    if (name && AToken.Keyword != kwNone && AToken.Keyword < kwReserved && TLexer::IsSectionWord(AToken.Keyword)) {
      End();
      return false;
    }
    if (AToken.Kind == tkSymbol && (AToken.Symbol == ';' || AToken.Symbol == ',')) {
      // A ';' in a branch the target skips ends another branch's clause
      // ("{$ifdef windows} Windows; {$else} Unix, BaseUnix; {$endif}").
      if (AToken.Symbol == ';' && FConditions && FConditions->SkippedAt(AToken.Offset)) return true;
      End();
      return AToken.Symbol == ',';
    }
    const std::string_view text = FText.substr(AToken.Offset, AToken.Length);
    if (name && AToken.Length == 2 && Lower(text[0]) == 'i' && Lower(text[1]) == 'n') {
      FInFile = true;  // the file's name follows, up to the next ','
    } else if (name && (FInFile || (!FName.empty() && !FDotted))) {
      End();  // another branch's unit
      Start(AToken, text);
    } else if (name && FName.empty()) {
      Start(AToken, text);
    } else if (name || (AToken.Kind == tkSymbol && AToken.Symbol == '.' && !FName.empty())) {
      FName += text;
      FDotted = !name;
    }
    return true;
  }
  // The units, in the clause's order.
  const std::vector<std::string>& Names() {
    End();
    return FNames;
  }

private:
  void Start(const TToken& AToken, std::string_view AText) {
    FName = AText;
    FSkipped = FConditions && FConditions->SkippedAt(AToken.Offset);
  }
  void End() {
    if (!FName.empty() && !FSkipped) FNames.push_back(FName);
    FName.clear();
    FInFile = FDotted = FSkipped = false;
  }

  std::string_view FText;
  const TConditionals* FConditions;
  std::string FName;  // the name being read
  bool FInFile = false, FDotted = false, FSkipped = false;
  std::vector<std::string> FNames;
};

enum TSection : uint8_t {
  sUnitHeading,     // a unit before its interface: only its name
  sInterface,       // everything
  sImplementation,  // types, and the routines the interface does not declare
  sProgram,         // everything; routines have bodies
  sInclude,         // everything; a routine with a body is a definition
};

// The section that declarations standing outside any section go on with:
// the one read last, where there is one.
enum TCarried : uint8_t { csNone, csType, csConst, csResourceString, csVar, csThreadVar };

constexpr int MostNesting = 32;      // nested routines, or types within types
constexpr size_t MostAlternatives = 4;  // names that the branches of a conditional give one type

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
          std::vector<size_t>& AStructures, std::string& ALinks, TConditionals& AConditions)
      : FLexer(AText), FText(AText), FOut(AOut), FSection(AInclude ? sInclude : sProgram),
        FStructures(AStructures), FLinks(ALinks), FConditions(AConditions) {
    FStructures.clear();
    FLinks.clear();
    FConditions.Reset();
    FLexer.NoteIncludes(&FLinks);
    FLexer.FollowConditions(&FConditions);
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
  // The token after the one Peek gives.
  TToken PeekSecond() {
    Peek();
    const size_t at = FLexer.At();
    TToken second;
    FLexer.Next(second);
    FLexer.Seek(at);
    return second;
  }
  // Where the token's text starts: an escaped name's '&' is part of it
  // (read again from its name, "&end" would be a keyword).
  static uint32_t StartOf(const TToken& AToken) { return AToken.Offset - AToken.Escaped; }
  // Reads again from AToken on.
  void Rewind(const TToken& AToken) {
    FLexer.Seek(StartOf(AToken));
    FHasPeeked = false;
    FPrevious = kwNone;
    FLexer.Next(FToken);
  }
  bool AtEnd() const { return FToken.Kind == tkEnd; }
  bool Is(char ASymbol) const { return FToken.Kind == tkSymbol && FToken.Symbol == ASymbol; }
  static bool Is(const TToken& AToken, char ASymbol) { return AToken.Kind == tkSymbol && AToken.Symbol == ASymbol; }
  bool IsKeyword(TKeyword AKeyword) const { return FToken.Kind == tkIdent && FToken.Keyword == AKeyword; }
  std::string_view Text(const TToken& AToken) const { return FText.substr(AToken.Offset, AToken.Length); }
  // Whether the token is the word ALower (given in lower case), in any case.
  bool IsWord(const TToken& AToken, std::string_view ALower) const {
    if (AToken.Kind != tkIdent || AToken.Length != ALower.size()) return false;
    for (size_t i = 0; i < ALower.size(); ++i)
      if (Lower(FText[AToken.Offset + i]) != ALower[i]) return false;
    return true;
  }
  // Whether two tokens are the same name, in any case.
  bool SameName(const TToken& A, const TToken& B) const {
    if (!IsName(A) || !IsName(B) || A.Length != B.Length) return false;
    for (uint32_t i = 0; i < A.Length; ++i)
      if (Lower(FText[A.Offset + i]) != Lower(FText[B.Offset + i])) return false;
    return true;
  }
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
  // The words that make a type a class, object, record or interface.
  static bool IsStructureWord(const TToken& AToken) {
    if (AToken.Kind != tkIdent) return false;
    switch (AToken.Keyword) {
      case kwClass: case kwObject: case kwRecord: case kwInterface: case kwDispInterface: case kwObjcClass:
      case kwObjcProtocol: case kwObjcCategory: case kwCppClass:
        return true;
      default:
        return false;
    }
  }

  // ---- recording

  bool Records(TDeclarationKind AKind) const {
    switch (FSection) {
      case sUnitHeading: return AKind <= dkLibrary;
      case sImplementation: return true;  // seen by the unit alone: recorded as hidden
      default: return true;
    }
  }
  // Records a declaration named by AToken; its line holds the offset until
  // the end. Returns its index in the output, or -1. A class's constants
  // are its members: they are recorded wherever it is.
  long Record(const TToken& AToken, TDeclarationKind AKind, const TOwner& AOwner = {}) {
    if (!Records(AKind) && !(AKind == dkConst && AOwner.Index >= 0)) return -1;
    TFoundDeclaration d;
    d.Name = Text(AToken);
    d.Owner = AOwner.Name;
    d.OwnerIndex = static_cast<int32_t>(AOwner.Index);
    d.Kind = AKind;
    d.Hidden = FSection == sImplementation;
    d.Skipped = FConditions.SkippedAt(AToken.Offset);
    d.Line = AToken.Offset;
    FOut.push_back(std::move(d));
    if (AKind == dkClass || AKind == dkObject || AKind == dkRecord || AKind == dkInterface || AKind == dkHelper)
      FStructures.push_back(FOut.size() - 1);
    return static_cast<long>(FOut.size()) - 1;
  }
  // Records a type, under its name and under the names that other branches
  // of a conditional give it; returns the index of the first.
  long RecordType(const TToken& AName, TDeclarationKind AKind, const TOwner& AOwner) {
    const long index = Record(AName, AKind, AOwner);
    for (size_t i = 0; i < FAlternativeCount; ++i) Record(FAlternatives[i], AKind, AOwner);
    FAlternativeCount = 0;
    return index;
  }

  // ---- skipping

  // Past the next ';' outside brackets; or to (not past) an 'end' or a word
  // that starts a section. Anonymous records are skipped whole. True when
  // the ';' was there.
  bool SkipStatement(bool AStopAtMember = false) {
    if (AtEnd()) return false;
    // The lexer reads on from the current token, which is part of it.
    FLexer.Seek(StartOf(FToken));
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

  // Generic parameters or arguments: from '<' to the matching '>'. The
  // parameters a declaration takes may be separated by ';' (AParameters):
  // "generic TMap<TKey; TData: TObject> = class".
  void SkipAngles(bool AParameters = false) {
    int depth = 0;
    while (!AtEnd()) {
      if (Is('<')) ++depth;
      if (Is('>') && --depth <= 0) {
        Next();
        return;
      }
      if ((Is(';') && !AParameters) || Is('=') || (FToken.Kind == tkIdent && StartsSection(FToken.Keyword))) return;
      Next();
    }
  }

  // A statement block, from begin (or asm) to its end. A word that no block
  // holds (a routine heading, a section) ends it early: the text was
  // unbalanced, most likely by conditional directives.
  void SkipBlock() {
    // The lexer reads on from the first token inside the block.
    FLexer.Seek(FHasPeeked ? StartOf(FPeeked) : FToken.Offset + FToken.Length);
    FHasPeeked = false;
    const bool closed = FLexer.SkipBlock(1);
    FLexer.Next(FToken);
    FPrevious = closed ? kwEnd : kwNone;
    if (closed && Is('.')) EndOfModule();
  }

  // ---- the file

  void TopStatement() {
    const bool statementStart = FStatementStart;
    FStatementStart = true;
    switch (FToken.Kind == tkIdent ? FToken.Keyword : kwNone) {
      case kwUnit: case kwProgram: case kwLibrary: return ModuleHeading();
      case kwInterface:
        Next();
        // A unit's interface; after its implementation, that of another
        // branch of a conditional that holds the whole unit.
        if (FSection == sUnitHeading || FSection == sImplementation) FSection = sInterface;
        FCarried = csNone;
        return;
      case kwImplementation:
        if (FSection != sInclude) {
          FSection = sImplementation;
          FLexer.NoteIncludesAs('h');  // what the implementation includes, other units never see
        }
        Next();
        FCarried = csNone;
        return;
      case kwInitialization: case kwFinalization: case kwBegin:
        // A unit's initialization or a program's main block: nothing is
        // declared after it, unless it stands in a conditional (another
        // branch of the module may follow). In an include file, a block of
        // its own.
        if (FSection != sInclude && FLexer.OpenConditionals() == 0) {
          FStopped = true;
          return;
        }
        FCarried = csNone;
        return SkipBlock();
      case kwType:
        Next();
        FCarried = csType;
        return TypeSection({}, 0);
      case kwConst: FCarried = csConst; return ConstSection(dkConst);
      case kwResourceString: FCarried = csResourceString; return ConstSection(dkResourceString);
      case kwVar: FCarried = csVar; return VarSection(dkVar);
      case kwThreadVar: FCarried = csThreadVar; return VarSection(dkThreadVar);
      case kwUses: FCarried = csNone; return UsesClause();
      case kwLabel: case kwExports:
        Next();
        SkipStatement();
        return;
      case kwProperty:
        // No unit declares a property: in an include file, it is a member
        // of the structure whose body includes the file.
        Next();
        if (FSection == sInclude && IsName(FToken)) Record(FToken, dkProperty);
        SkipStatement();
        return;
      case kwProcedure: case kwFunction: case kwConstructor: case kwDestructor: case kwOperator: case kwClass:
      case kwGeneric:
        if (FToken.Keyword == kwGeneric && !IsRoutineKeyword(Peek().Keyword)) break;  // a generic type
        return Routine(0);
      case kwEnd:
        Next();
        if (Is('.')) EndOfModule();
        return;
      default:
        break;
    }
    if (statementStart && IsName(FToken) && CarriedSection()) return;
    FStatementStart = Is(';');
    Next();
  }

  // At the '.' after a module's last end: nothing is declared after it,
  // unless a conditional directive is open there, and another branch of
  // the module may follow.
  void EndOfModule() {
    FCarried = csNone;
    if (FSection != sInclude && FLexer.OpenConditionals() == 0) FStopped = true;
  }

  // The units a uses clause names, noted as links.
  void UsesClause() {
    const char kind = FSection == sImplementation ? 'm' : 'u';
    TUsesReader reader(FText, &FConditions);
    for (Next(); !AtEnd() && reader.Take(FToken); Next()) {
    }
    for (const std::string& name : reader.Names())
      if (name.size() <= 255) FLinks.append(1, kind).append(name).push_back('\0');
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
      FSection = sProgram;  // a module's name is recorded in every section, once
      if (!FModuleRecorded) Record(name, kind);
      FModuleRecorded = true;
      FSection = keyword == kwUnit ? sUnitHeading : sProgram;
    }
    SkipStatement();
  }

  // A name at a statement's start outside any section: declarations that go
  // on with the section read last, which conditional directives made the
  // parser leave, or which an include file carries on from its includer.
  // With no section read (an include file's start, or after a routine's
  // body), only a run of "Name = ..." is taken, once the shape of one of
  // them tells types from constants: a run of "Name: Type;" may as well be
  // a record's fields, which include files hold too.
  bool CarriedSection() {
    const TToken& next = Peek();
    const bool equals = Is(next, '=');
    const bool generic = Is(next, '<') || (IsKeyword(kwGeneric) && IsName(next));
    switch (FCarried) {
      case csType:
        if (!equals && !generic && !IsName(next)) return false;
        TypeSection({}, 0);
        return true;
      case csConst: case csResourceString:
        if (!equals && !Is(next, ':')) return false;
        ConstEntries(FCarried == csConst ? dkConst : dkResourceString);
        return true;
      case csVar: case csThreadVar:
        if (!Is(next, ':') && !Is(next, ',')) return false;
        VarEntries(FCarried == csVar ? dkVar : dkThreadVar);
        return true;
      case csNone:
        if (generic) {
          FCarried = csType;
          TypeSection({}, 0);
          return true;
        }
        if (!equals) return false;
        GuessSection();
        return true;
    }
    return false;
  }

  // At the first of a run of "Name = ..." that no section word stands
  // before: reads the run as a type section or as constants as soon as one
  // definition's shape tells which, those before it kept pending until
  // then. A run that never tells ("A = B;" only) is dropped.
  void GuessSection() {
    const size_t pending = FOut.size();
    while (IsName(FToken) && Is(Peek(), '=')) {
      const TToken name = FToken;
      Next();
      Next();
      const TCarried shape = ShapeOfDefinition();
      if (shape != csNone) {
        FCarried = shape;
        const TDeclarationKind kind = shape == csType ? dkType : dkConst;
        for (size_t i = pending; i < FOut.size(); ++i) FOut[i].Kind = kind;
        if (!Records(kind)) FOut.resize(pending);
        Rewind(name);
        if (shape == csType) TypeSection({}, 0);
        else ConstEntries(dkConst);
        return;
      }
      Record(name, dkType);  // pending: the run will tell its kind
    }
    FOut.resize(pending);
  }

  // What the definition after "Name =" is: a type (a type's word, '^', a
  // range, an enumeration), a constant (a number, a string, an operator, a
  // call), or unknown (a bare name): then it is read to past its ';'.
  TCarried ShapeOfDefinition() {
    if (FToken.Kind == tkIdent) {
      switch (FToken.Keyword) {
        case kwClass: case kwObject: case kwRecord: case kwInterface: case kwDispInterface: case kwObjcClass:
        case kwObjcProtocol: case kwObjcCategory: case kwCppClass: case kwPacked: case kwBitPacked: case kwSet:
        case kwArray: case kwProcedure: case kwFunction: case kwType: case kwSpecialize:
          return csType;
        case kwReference:
          if (IsWord(Peek(), "to")) return csType;
          break;
        case kwReserved:
          if (IsWord(FToken, "string") || IsWord(FToken, "file")) return csType;
          break;
        default:
          break;
      }
    }
    if (Is('^')) return csType;
    bool constant = FToken.Kind == tkNumber || FToken.Kind == tkString || Is('[') || Is('@');
    const bool parenthesized = Is('(');
    bool range = false, listed = false, operators = false;
    int depth = 0;
    TTokenKind previous = tkEnd;
    for (; !AtEnd(); Next()) {
      if (FToken.Kind == tkSymbol) {
        const char c = FToken.Symbol;
        if (c == ';' && depth == 0) {
          Next();
          break;
        }
        if (c == '(' || c == '[') {
          if (c == '(' && depth == 0 && previous == tkIdent) constant = true;  // a call or a cast
          ++depth;
        } else if (c == ')' || c == ']') {
          depth = std::max(0, depth - 1);
        } else if (c == 'R') {
          range |= depth == 0;
        } else if (c == ',') {
          listed |= depth == 1;
        } else if (c == '+' || c == '-' || c == '*' || c == '/' || c == '@') {
          operators = true;
        }
      } else if (FToken.Kind == tkIdent) {
        const TKeyword k = FToken.Keyword;
        if (StartsSection(k) || IsRoutineKeyword(k) || k == kwEnd || IsStructureWord(FToken)) break;
        operators |= k == kwReserved;  // div, shl, and, not, nil...
      }
      previous = FToken.Kind;
    }
    if (range) return csType;
    if (parenthesized && listed && !operators) return csType;  // an enumeration
    return constant || operators ? csConst : csNone;
  }

  // ---- type sections

  void TypeSection(const TOwner& AOwner, int ANesting) {
    for (;;) {
      if (IsKeyword(kwGeneric)) Next();
      if (!IsName(FToken) || (!AOwner.Empty() && AtMemberWord())) return;
      TToken name = FToken;
      Next();
      // Names side by side: each branch of a conditional names the type
      // that follows ("{$ifdef A} TFoo {$else} TFooA {$endif} = class").
      FAlternativeCount = 0;
      while (IsName(FToken) && FAlternativeCount < MostAlternatives && !(!AOwner.Empty() && AtMemberWord())) {
        FAlternatives[FAlternativeCount++] = FToken;
        Next();
      }
      if (Is('<')) SkipAngles(true);
      if (!Is('=')) {
        FAlternativeCount = 0;
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
    // Two structure words side by side: each branch of a conditional gives
    // its own ("packed {$ifdef A} object {$else} record {$endif}"). The
    // last is taken, the {$else} branch's where there is one. (A class's
    // first member may be "class function": a "class" after is a member's.)
    while (IsStructureWord(FToken) && IsStructureWord(Peek()) && Peek().Keyword != kwClass) Next();
    TOwner owner{Text(AName)};
    TDeclarationKind kind;
    bool mayBeForward = true;
    switch (FToken.Kind == tkIdent ? FToken.Keyword : kwNone) {
      case kwClass:
        Next();
        if (Is(';')) return (void)Next();  // a forward declaration: the class follows
        if (IsKeyword(kwOf)) {
          RecordType(AName, dkClassReference, AOwner);
          SkipStatement();
          return;
        }
        kind = dkClass;
        break;
      case kwObjcClass: case kwCppClass:
        Next();
        kind = dkClass;
        break;
      case kwInterface: case kwDispInterface: case kwObjcProtocol:
        Next();
        kind = dkInterface;
        break;
      case kwObjcCategory:  // methods added to a class: what Pascal calls a class helper
        Next();
        kind = dkHelper;
        break;
      case kwObject:
        Next();
        kind = dkObject;
        mayBeForward = false;
        break;
      case kwRecord:
        Next();
        // "record;" and then fields: the ';' was a slip, the body follows.
        if (Is(';') && FieldsFollow()) Next();
        kind = dkRecord;
        mayBeForward = false;
        break;
      case kwHelper:  // after "type": a type helper
        Next();
        kind = dkHelper;
        mayBeForward = false;
        break;
      case kwSet: {
        // "set of (a, b)" declares its values as an enumeration does.
        TOwner values{Text(AName)};
        values.Index = RecordType(AName, dkSet, AOwner);
        Next();
        if (IsKeyword(kwOf)) {
          Next();
          if (Is('(')) EnumValues(values);
        }
        return (void)SkipStatement();
      }
      case kwArray: RecordType(AName, dkArray, AOwner); return (void)SkipStatement();
      case kwProcedure: case kwFunction: case kwReference:
        RecordType(AName, dkProcedureType, AOwner);
        return (void)SkipStatement();
      default:
        if (Is('(')) {
          owner.Index = RecordType(AName, dkEnum, AOwner);
          EnumValues(owner);
        } else if (IsName(FToken) && Is(Peek(), '=')) {
          // "TMutex = {$i mutex.inc}": an include file holds the definition,
          // and the next type follows
          RecordType(AName, dkType, AOwner);
          return;
        } else {
          RecordType(AName, Is('^') ? dkPointer : dkType, AOwner);
        }
        return (void)SkipStatement();
    }
    // "interface;", "objcclass external;": the type is declared with its
    // members elsewhere.
    const bool plain = RestOfHeading(kind);
    if (Is(';') && mayBeForward && plain) return (void)Next();
    owner.Index = RecordType(AName, kind, AOwner);
    Structure(owner, ANesting);
  }

  // The rest of a structure's heading after its word: "abstract",
  // "sealed", "helper" (which makes AKind a helper), the name it has
  // outside ("external 'java.lang' name 'Object'"), the parents. True when
  // it had nothing but an external name.
  bool RestOfHeading(TDeclarationKind& AKind) {
    bool plain = true;
    for (;;) {
      if (IsKeyword(kwAbstract) || IsKeyword(kwSealed) || IsKeyword(kwHelper)) {
        if (IsKeyword(kwHelper)) AKind = dkHelper;
        plain = false;
        Next();
      } else if (IsKeyword(kwExternal)) {
        Next();
        if (FToken.Kind == tkString) Next();
        if (IsWord(FToken, "name") && Peek().Kind == tkString) Next(), Next();
      } else {
        break;
      }
    }
    if (Is('(')) {
      SkipBalanced('(', ')');
      plain = false;
    }
    return plain;
  }

  // At the ';' after "record": whether fields follow it (a name with ':' or
  // ',', a variant part, the end) rather than the next type.
  bool FieldsFollow() {
    const TToken& next = Peek();
    if (next.Kind != tkIdent) return false;
    if (next.Keyword == kwEnd || next.Keyword == kwCase) return true;
    if (!IsName(next)) return false;
    const TToken second = PeekSecond();
    return Is(second, ':') || Is(second, ',');
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

  // The rest of a class, object, record, interface or helper after its
  // heading: its "for" type, and its body of members up to its end.
  void Structure(const TOwner& AOwner, int ANesting) {
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

  // Whether the current token starts a part of a class's body: a
  // visibility, or the "required" and "optional" of an Objective-C
  // protocol (which name a field as well: as words they stand before a
  // member's heading).
  bool AtMemberWord() {
    if (FToken.Kind != tkIdent) return false;
    if (IsVisibility(FToken.Keyword)) return true;
    return (FToken.Keyword == kwRequired || FToken.Keyword == kwOptional) && Peek().Kind == tkIdent &&
           Peek().Keyword != kwNone && Peek().Keyword != kwReserved;
  }

  void Members(const TOwner& AOwner, int ANesting) {
    // What the body includes holds its members.
    struct TIncludesIn {
      TLexer& Lexer;
      std::string_view Before;
      ~TIncludesIn() { Lexer.NoteIncludesIn(Before); }
    } includesIn{FLexer, FLexer.NoteIncludesIn(AOwner.Name)};
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
      if (AtMemberWord()) {
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
      } else if (m == kwConst) {
        Next();
        MemberConstants(AOwner);
      } else if (m == kwVar || m == kwThreadVar) {
        Next();  // the fields that follow are skipped as fields
      } else if (m == kwCase) {
        Next();
        variant = true;  // the variant part shares the record's end
      } else if (m == kwImplementation || m == kwInitialization || m == kwFinalization || m == kwBegin ||
                 m == kwUses) {
        return;  // the body was never closed
      } else if (IsName(FToken) && Is(Peek(), '=')) {
        // "TFoo = class(TBar)" in a body: a heading that another branch of
        // a conditional gives the type; its members go on.
        Next();
        Next();
        if (IsKeyword(kwPacked) || IsKeyword(kwBitPacked)) Next();
        if (IsStructureWord(FToken)) {
          Next();
          TDeclarationKind ignored;
          RestOfHeading(ignored);
        } else {
          SkipStatement(true);
        }
      } else {
        const uint32_t before = FToken.Offset;
        SkipStatement(true);  // a field, a directive, or what conditionals left
        if (FToken.Offset == before && !AtEnd()) Next();
      }
    }
  }

  // A const section inside a class or record: its constants, which belong
  // to it. A field there ("Name: Type;", no value) is none.
  void MemberConstants(const TOwner& AOwner) {
    while (IsName(FToken) && !AtMemberWord()) {
      const TToken name = FToken;
      Next();
      if (Is('=') || (Is(':') && ValueFollowsType())) Record(name, dkConst, AOwner);
      if (!SkipStatement(true)) return;
    }
  }

  // After "Name:" in a const section: reads the type, to the '=' before a
  // value (true) or to the end of a field (false).
  bool ValueFollowsType() {
    int depth = 0;
    for (Next(); !AtEnd(); Next()) {
      if (FToken.Kind == tkSymbol) {
        const char c = FToken.Symbol;
        if (c == '(' || c == '[') ++depth;
        else if (c == ')' || c == ']') depth = std::max(0, depth - 1);
        else if (depth == 0 && (c == '=' || c == ';')) return c == '=';
      } else if (FToken.Kind == tkIdent) {
        const TKeyword k = FToken.Keyword;
        if (StartsSection(k) || IsRoutineKeyword(k) || IsVisibility(k) || k == kwEnd || k == kwRecord) return false;
      }
    }
    return false;
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
    TToken name;
    if (which == 4) {
      if (OperatorName(name)) Record(name, AClassMember ? OfClass[which] : Plain[which], AOwner);
    } else if (IsName(FToken) && !Is(Peek(), '.')) {
      // ("procedure IFoo.Bar = Baz;" maps an interface's method: no declaration.)
      Record(FToken, AClassMember ? OfClass[which] : Plain[which], AOwner);
    }
    SkipStatement(true);
  }

  // After "operator": the operator it declares, as written: a symbol (":=",
  // "+", "<>", "**"), a word ("in", "and") or a name ("Implicit"); read
  // past. False, reading nothing, where none stands, or where the heading
  // is a method's body ("TFoo.Add").
  bool OperatorName(TToken& AName) {
    if (FToken.Kind == tkIdent) {
      if (!IsName(FToken) && FToken.Keyword != kwReserved) return false;
      if (Is(Peek(), '.')) return false;
      AName = FToken;
      Next();
      return true;
    }
    if (FToken.Kind != tkSymbol) return false;
    const char c = FToken.Symbol;
    if (c != '+' && c != '-' && c != '*' && c != '/' && c != '=' && c != '<' && c != '>' && c != 'A') return false;
    AName = FToken;
    Next();
    // The lexer gives two-byte operators as two symbols: <> <= >= >< **
    if (FToken.Kind == tkSymbol && FToken.Offset == AName.Offset + 1) {
      const char d = FToken.Symbol;
      if ((c == '<' && (d == '>' || d == '=')) || (c == '>' && (d == '=' || d == '<')) || (c == '*' && d == '*')) {
        AName.Length = 2;
        Next();
      }
    }
    return true;
  }

  // ---- constants and variables

  void ConstSection(TDeclarationKind AKind) {
    Next();
    ConstEntries(AKind);
  }
  void ConstEntries(TDeclarationKind AKind) {
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
    VarEntries(AKind);
  }
  void VarEntries(TDeclarationKind AKind) {
    std::vector<TToken>& names = FNames;
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
    const TToken first = FToken;  // the name as it starts, which another branch's heading repeats
    TToken name = FToken, owner{}, outer{};
    bool named = false, dotted = false;
    if (keyword == kwOperator && !(IsName(FToken) && Is(Peek(), '.'))) {
      named = OperatorName(name);
    } else if (IsName(FToken)) {
      named = true;
      Next();
      // "{$ifdef A} TFoo {$else} TFooA {$endif}.Create": the owner each
      // branch names; the last is taken.
      if (IsName(FToken) && Is(Peek(), '.')) name = FToken, Next();
      if (Is('<')) SkipAngles(true);
      // A method's body names its owner, and the types around that:
      // "TOuter.TInner.Run", "TList<T>.Add", and for an operator
      // "TComplex.+".
      while (Is('.')) {
        if (IsName(Peek())) {
          outer = owner, owner = name;
          Next();
          name = FToken;
          Next();
          if (Is('<')) SkipAngles(true);
        } else if (keyword == kwOperator) {
          Next();
          TToken symbol;
          named = OperatorName(symbol);
          outer = owner, owner = name, name = symbol;
        } else {
          break;
        }
        dotted = true;
        if (!named) break;
      }
    }
    SkipStatement();  // parameters and result
    bool forward = false;
    // Directives: "overload;", "external 'lib' name 'x';", "[public, alias: 'x'];"
    // ("Name = ..." after them is a declaration that an include file or a
    // conditional carries on.)
    while (!AtEnd() && ((IsName(FToken) && !Is(Peek(), '=') && !Is(Peek(), '<')) || Is('['))) {
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
                            : keyword == kwConstructor ? (classRoutine ? dkClassConstructor : dkConstructor)
                            : keyword == kwDestructor  ? (classRoutine ? dkClassDestructor : dkDestructor)
                            : classRoutine             ? dkClassOperator
                                                       : dkOperator;
    // A plain heading is recorded where it stands; a method's body once its
    // block is found (a dotted heading without one declares nothing).
    const long recorded = named && !dotted ? Record(name, kind) : -1;
    if (FSection == sInterface || FSection == sUnitHeading || forward) return;
    if (!Body(ANesting, first) || !named) return;
    if (dotted) {
      RecordBody(name, kind, owner, outer);
    } else if (recorded >= 0 && (FSection == sImplementation || FSection == sInclude)) {
      // A program's routines are its declarations; elsewhere a heading
      // with a body is the routine's body, its heading being in the
      // interface, a forward declaration or nowhere else.
      FOut[static_cast<size_t>(recorded)].Definition = true;
    }
  }

  // Records the body of a method AOwner.AName (AOuter: the type around
  // AOwner, for a nested type's method), owned by AOwner's declaration when
  // this text declares it; else the table links it to the declaration by
  // name.
  void RecordBody(const TToken& AName, TDeclarationKind AKind, const TToken& AOwner, const TToken& AOuter) {
    const bool nested = AOuter.Kind == tkIdent;
    TOwner owner{Text(AOwner), StructureNamed(Text(AOwner), nested ? Text(AOuter) : std::string_view())};
    const long index = Record(AName, AKind, owner);
    if (index < 0) return;
    FOut[static_cast<size_t>(index)].Definition = true;
    if (nested) FOut[static_cast<size_t>(index)].OuterOwner = Text(AOuter);
  }

  // The class, object, record or helper of this text named AName (inside
  // one named AOuter, when that is not empty), the last declared; -1 for
  // none.
  long StructureNamed(std::string_view AName, std::string_view AOuter) const {
    for (size_t i = FStructures.size(); i-- > 0;) {
      const TFoundDeclaration& d = FOut[FStructures[i]];
      if (SameFolded(d.Name, AName) && (AOuter.empty() || SameFolded(d.Owner, AOuter))) return static_cast<long>(FStructures[i]);
    }
    return AOuter.empty() ? -1 : StructureNamed(AName, {});
  }
  static bool SameFolded(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (size_t i = 0; i < A.size(); ++i)
      if (Lower(A[i]) != Lower(B[i])) return false;
    return true;
  }

  // What follows a heading that may have a body: local sections and nested
  // routines, then begin (or asm). They are recorded, and dropped again
  // when a block follows; without one they were declarations of their own,
  // and a routine's at the top level leaves its section open. A heading of
  // the routine's own name (AName) is another branch's heading of the
  // same routine ("{$ifdef A} procedure P(X: Word); {$else} procedure
  // P(X: Byte); {$endif} begin"): this one has no body of its own (an
  // include file's heading before its body looks the same). True when
  // there was a body.
  bool Body(int ANesting, const TToken& AName) {
    const size_t tentative = FOut.size();
    bool body = false;
    const bool top = ANesting == 0;
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
        if (top) FCarried = csType;
        TypeSection({}, ANesting + 1);
      } else if (k == kwConst || k == kwResourceString) {
        if (top) FCarried = k == kwConst ? csConst : csResourceString;
        ConstSection(k == kwConst ? dkConst : dkResourceString);
      } else if (k == kwVar || k == kwThreadVar) {
        if (top) FCarried = k == kwVar ? csVar : csThreadVar;
        VarSection(k == kwVar ? dkVar : dkThreadVar);
      } else if (k == kwLabel) {
        Next();
        SkipStatement();
      } else if ((IsRoutineKeyword(k) || k == kwClass || k == kwGeneric) && ANesting < MostNesting) {
        if (IsRoutineKeyword(k) && SameName(Peek(), AName)) break;
        Routine(ANesting + 1);
      } else {
        break;
      }
    }
    if (body) {
      FOut.resize(tentative);
      while (!FStructures.empty() && FStructures.back() >= tentative) FStructures.pop_back();
      if (top) FCarried = csNone;  // what follows a body is no declaration of a section
    }
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
  bool FModuleRecorded = false;
  bool FStatementStart = true;  // the current token starts a statement at the top level
  TCarried FCarried = csNone;
  std::array<TToken, MostAlternatives> FAlternatives;
  size_t FAlternativeCount = 0;
  std::vector<TToken> FNames;  // a var declaration's names
  std::vector<size_t>& FStructures;  // the classes, objects, records and helpers in FOut, by index
  std::string& FLinks;
  TConditionals& FConditions;
};

// Turns the offsets the parser left in each declaration's line into lines
// and columns, counting line ends once through the text: LF, CR LF, and a
// lone CR as the compiler counts them.
void PlaceDeclarations(std::string_view AText, std::vector<TFoundDeclaration>& ADeclarations) {
  const char* const text = AText.data();
  // Almost no text has a CR before its last declaration: then its lines
  // end at LF, which memchr finds faster than a search for two bytes.
  size_t last = 0;
  for (const TFoundDeclaration& d : ADeclarations) last = std::max<size_t>(last, d.Line);
  const bool anyCR = std::memchr(text, '\r', std::min(last, AText.size())) != nullptr;
  size_t at = 0, lineStart = 0;
  uint32_t line = 1;
  for (TFoundDeclaration& d : ADeclarations) {
    const size_t offset = d.Line;
    if (offset < at) at = lineStart = 0, line = 1;  // out of order: count again
    while (at < offset) {
      const char* lineEnd;
      if (anyCR) {
        lineEnd = FindLineEnd(text + at, text + offset);
      } else {
        const void* lf = std::memchr(text + at, '\n', offset - at);
        lineEnd = lf ? static_cast<const char*>(lf) : text + offset;
      }
      if (lineEnd >= text + offset) {
        at = offset;
        break;
      }
      at = static_cast<size_t>(lineEnd - text) + 1;
      if (*lineEnd == '\r' && at < AText.size() && text[at] == '\n') ++at;  // CR LF: one line end
      lineStart = at;
      ++line;
    }
    d.Line = line;
    d.Column = static_cast<uint32_t>(offset - lineStart + 1);
  }
}

// A UTF-8 byte order mark at the start of a text is no part of it.
std::string_view WithoutByteOrderMark(std::string_view AText) {
  return AText.substr(0, 3) == "\xEF\xBB\xBF" ? AText.substr(3) : AText;
}

}  // namespace

namespace {

bool SameFoldedText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (Lower(A[i]) != Lower(B[i])) return false;
  return true;
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

// The distinct names of a text outside comments and strings, hashed.
static void HashNames(std::string_view AText, std::vector<uint32_t>& AOut) {
  AOut.clear();
  TLexer lexer(AText);
  TToken t;
  for (lexer.Next(t); t.Kind != tkEnd; lexer.Next(t))
    if (t.Kind == tkIdent) AOut.push_back(NameHash(AText.substr(t.Offset, t.Length)));
  std::sort(AOut.begin(), AOut.end());
  AOut.erase(std::unique(AOut.begin(), AOut.end()), AOut.end());
}

struct TDeclarationScanner::TState {
  std::vector<TFoundDeclaration> Found;
  std::vector<size_t> Structures;
  std::string Links;
  std::vector<uint32_t> NameHashes;
  std::string_view Text;  // the text scanned last, for its names' hashes
  bool Hashed = false;
  TConditionals Conditions;
};

TDeclarationScanner::TDeclarationScanner() : FState(std::make_unique<TState>()) {}
TDeclarationScanner::~TDeclarationScanner() = default;

const std::vector<TFoundDeclaration>& TDeclarationScanner::Scan(std::string_view AText, bool AInclude) {
  // Offsets are 32-bit: a larger text is read as far as they reach.
  AText = WithoutByteOrderMark(AText);
  AText = AText.substr(0, std::min<size_t>(AText.size(), UINT32_MAX));
  FState->Found.clear();
  TParser(AText, AInclude, FState->Found, FState->Structures, FState->Links, FState->Conditions).Run();
  PlaceDeclarations(AText, FState->Found);
  FState->Text = AText;
  FState->Hashed = false;
  return FState->Found;
}

const std::string& TDeclarationScanner::Links() const { return FState->Links; }

const std::vector<uint32_t>& TDeclarationScanner::NameHashes() const {
  if (!FState->Hashed) HashNames(FState->Text, FState->NameHashes);
  FState->Hashed = true;
  return FState->NameHashes;
}

std::unordered_map<std::string, std::string> MemberIncludes(const std::vector<std::string_view>& ALinks) {
  std::unordered_map<std::string, std::string> members;
  std::unordered_set<std::string> elsewhere;  // included outside a structure's body, or inside two
  for (std::string_view links : ALinks) {
    std::string included;  // the last include's file name, lower case, without its folder
    for (size_t at = 0; at < links.size();) {
      const size_t end = std::min(links.find('\0', at), links.size());
      const std::string_view link = links.substr(at, end - at);
      at = end + 1;
      if (link.empty()) continue;
      const char kind = link[0];
      if (kind == 'c' && !included.empty()) {
        const auto [it, added] = members.emplace(included, std::string(link.substr(1)));
        if (!added && !SameFoldedText(it->second, link.substr(1))) elsewhere.insert(included);
        included.clear();
        continue;
      }
      if (!included.empty()) elsewhere.insert(included);  // the include before was not inside a structure
      included.clear();
      if (kind != 'i' && kind != 'h' && kind != 'x') continue;
      std::string_view name = link.substr(1);
      name = name.substr(name.find_last_of("/\\") + 1);
      included.reserve(name.size() + 4);
      for (const char c : name) included += Lower(c);
      if (included.find('.') == std::string::npos) included += ".inc";  // as the compiler completes it
    }
    if (!included.empty()) elsewhere.insert(included);
  }
  for (const std::string& name : elsewhere) members.erase(name);
  return members;
}

bool IsMemberKind(TDeclarationKind AKind) {
  return (AKind >= dkProcedure && AKind <= dkClassProperty) || AKind == dkConst;
}

uint32_t NameHash(std::string_view AName) {
  uint32_t h = 0x811C9DC5u;  // FNV-1a over the lower-case bytes
  for (const char c : AName) h = (h ^ static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c)) * 0x01000193u;
  return h;
}

void TDeclarationScanner::SetTarget(const TTargetSymbols* ASymbols) { FState->Conditions = TConditionals(ASymbols); }

std::vector<TDeclaration> ScanDeclarations(std::string_view AText, bool AInclude) {
  TDeclarationScanner scanner;
  std::vector<TDeclaration> copies;
  for (const TFoundDeclaration& d : scanner.Scan(AText, AInclude))
    copies.push_back({std::string(d.Name), std::string(d.Owner), d.Line, d.Column, d.Kind, d.Definition, d.Hidden, d.Skipped});
  return copies;
}

std::vector<std::string> UsedUnits(std::string_view AText, const TTargetSymbols* ASymbols) {
  AText = WithoutByteOrderMark(AText);
  AText = AText.substr(0, std::min<size_t>(AText.size(), UINT32_MAX));
  std::vector<std::string> units;
  // Every uses clause, wherever it stands: a text being edited may not
  // parse.
  TConditionals conditions(ASymbols);
  TLexer lexer(AText);
  lexer.FollowConditions(&conditions);
  TToken t;
  for (lexer.Next(t); t.Kind != tkEnd; lexer.Next(t)) {
    if (t.Kind != tkIdent || t.Keyword != kwUses) continue;
    TUsesReader reader(AText, &conditions);
    for (lexer.Next(t); t.Kind != tkEnd && reader.Take(t); lexer.Next(t)) {
    }
    for (const std::string& name : reader.Names())
      if (std::find(units.begin(), units.end(), name) == units.end()) units.push_back(name);
    if (t.Kind == tkEnd) break;
  }
  return units;
}

std::vector<TPascalToken> Tokenize(std::string_view AText) { return Tokenize(AText, nullptr, nullptr); }

std::vector<TPascalToken> Tokenize(std::string_view AText, const TTargetSymbols* ASymbols,
                                   std::vector<TPascalDirective>* ADirectives) {
  AText = AText.substr(0, std::min<size_t>(AText.size(), UINT32_MAX));
  std::vector<TPascalToken> tokens;
  TConditionals conditions(ASymbols);
  TLexer lexer(AText);
  lexer.FollowConditions(&conditions);
  if (ADirectives) ADirectives->clear();
  lexer.NoteDirectives(ADirectives);
  TToken t;
  // The directives the lexer passed before a token stand before it.
  auto place = [&] {
    if (!ADirectives) return;
    for (auto it = ADirectives->rbegin(); it != ADirectives->rend() && it->Token == UINT32_MAX; ++it)
      it->Token = static_cast<uint32_t>(tokens.size());
  };
  for (lexer.Next(t); t.Kind != tkEnd; lexer.Next(t)) {
    place();
    const auto kind = t.Kind == tkIdent    ? TPascalToken::tkName
                      : t.Kind == tkNumber ? TPascalToken::tkNumber
                      : t.Kind == tkString ? TPascalToken::tkString
                                           : TPascalToken::tkSymbol;
    tokens.push_back({kind, t.Symbol, t.Offset, t.Length, conditions.Skipped()});
  }
  place();
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
