#pragma once
// Exceptions, formatting, string and file-name helpers and directory
// enumeration: the small system library every other unit builds on.

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <string>
#include <variant>

namespace Vantry {

// One argument of Format: a string or an integer, as the format's
// conversion characters expect.
class TVarRec {
public:
  TVarRec(const std::string& AValue) : FValue(AValue) {}
  TVarRec(std::string_view AValue) : FValue(std::string(AValue)) {}
  TVarRec(const char* AValue) : FValue(std::string(AValue ? AValue : "")) {}
  TVarRec(int AValue) : FValue(static_cast<int64_t>(AValue)) {}
  TVarRec(long AValue) : FValue(static_cast<int64_t>(AValue)) {}
  TVarRec(long long AValue) : FValue(static_cast<int64_t>(AValue)) {}
  TVarRec(unsigned AValue) : FValue(static_cast<int64_t>(AValue)) {}
  TVarRec(unsigned long AValue) : FValue(static_cast<int64_t>(AValue)) {}

  bool IsString() const { return std::holds_alternative<std::string>(FValue); }
  const std::string& AsString() const { return std::get<std::string>(FValue); }
  int64_t AsInteger() const { return std::get<int64_t>(FValue); }

private:
  std::variant<std::string, int64_t> FValue;
};

using TVarRecs = std::initializer_list<TVarRec>;

// The root of every error this system raises on purpose. The message is
// what a user reads, so it names what failed and on what.
class Exception : public std::exception {
public:
  explicit Exception(std::string AMessage) : FMessage(std::move(AMessage)) {}
  Exception(const std::string& AFormat, TVarRecs AArgs);

  const std::string& Message() const { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

private:
  std::string FMessage;
};

#define VANTRY_EXCEPTION(Name, Base)  \
  class Name : public Base {          \
  public:                             \
    using Base::Base;                 \
  }

VANTRY_EXCEPTION(EConvertError, Exception);     // a bad format or conversion
VANTRY_EXCEPTION(EResNotFound, Exception);      // no stored description for a class
VANTRY_EXCEPTION(EComponentError, Exception);   // a bad component name
VANTRY_EXCEPTION(EReadError, Exception);        // a stored description that cannot be read
VANTRY_EXCEPTION(EClassNotFound, EReadError);   // a class name nobody registered
VANTRY_EXCEPTION(ERegistryException, Exception);// a registry store or value that cannot be used

// Delphi-style formatting: %s, %d, %u, %x with optional "-", width and
// precision, and %% for a percent sign. A conversion that does not fit its
// argument, or a missing argument, raises EConvertError.
std::string Format(const std::string& AFormat, TVarRecs AArgs);

std::string IntToStr(int64_t AValue);
// Removes leading and trailing spaces and control characters.
std::string Trim(const std::string& S);
// The part of a path after its last directory separator.
std::string ExtractFileName(const std::string& APath);
// Whether the path names an existing directory (symbolic links followed).
bool DirectoryExists(const std::string& APath);

// Upper- and lower-casing of ASCII letters, used wherever names compare
// ignoring case.
std::string UpperCase(std::string S);
std::string LowerCase(std::string S);
bool SameText(std::string_view A, std::string_view B);
// <0, 0 or >0 like strcmp, ignoring the case of ASCII letters.
int CompareText(std::string_view A, std::string_view B);
// A valid identifier: a letter or underscore, then letters, digits, underscores.
bool IsValidIdent(std::string_view S);

// File attributes as directory enumeration reports and filters them.
enum : int {
  faReadOnly = 0x01,
  faHidden = 0x02,
  faSysFile = 0x04,
  faVolumeID = 0x08,
  faDirectory = 0x10,
  faArchive = 0x20,
  faAnyFile = 0x3F,
};

struct TFindState;

// One directory entry found by FindFirst/FindNext. Name is the entry's name
// byte for byte, whatever its encoding.
struct TSearchRec {
  std::string Name;
  int Attr = 0;
  int64_t Size = 0;
  int64_t Time = 0;  // modification time, seconds since the epoch
  int ExcludeAttr = 0;
  std::shared_ptr<TFindState> FindHandle;  // released by FindClose or with the record
};

// Whether the name matches the mask: * stands for any run of characters, ?
// for one, everything else for itself ignoring the case of ASCII letters.
bool MatchesMask(std::string_view AMask, std::string_view AName);

// Enumerates the one directory named by APath's directory part, yielding the
// entries whose names match its last part (a mask with * and ?, ignoring
// case) and whose hidden, system, volume or directory attributes are all in
// AAttr. Returns 0 and fills F when an entry was found, else an errno value.
int FindFirst(const std::string& APath, int AAttr, TSearchRec& F);
int FindNext(TSearchRec& F);
void FindClose(TSearchRec& F);

}  // namespace Vantry
