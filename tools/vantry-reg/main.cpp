// vantry-reg: lists, reads, writes, deletes and exports registry keys and
// values from a shell, on the same hives the programs use.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

using namespace Vantry;

namespace {

constexpr const char* Usage = R"(Usage: vantry-reg [--user|--machine] COMMAND ARGUMENTS

Reads and changes the Vantry registry.

Commands:
  list KEY                      the values of KEY with their types, then its subkeys
  get KEY NAME                  print one value (a REG_DWORD as signed decimal)
  set KEY NAME --string TEXT    write a string value (REG_SZ), creating KEY if missing
  set KEY NAME --dword NUMBER   write a 32-bit integer (REG_DWORD): decimal, or hex after 0x
  delete KEY NAME               delete one value
  delete KEY                    delete KEY with all its subkeys and values
  export KEY                    print KEY and everything below it as a .reg file

Options:
  --user       the current user's hive, HKEY_CURRENT_USER (the default)
  --machine    the machine's hive, HKEY_LOCAL_MACHINE
  -h, --help   show this help
  --version    print the version and exit

KEY is a path of names separated by '\', such as 'Software\Vantry'. It may
start with the hive's name (HKEY_CURRENT_USER\, HKCU\, HKEY_LOCAL_MACHINE\,
HKLM\). An empty NAME ("") is the key's default value.

The hives are files in $VANTRY_REGISTRY_DIR, else $XDG_DATA_HOME/vantry/registry,
else ~/.local/share/vantry/registry.

export writes what a .reg file cannot hold plainly (control characters in
names, bytes that are not UTF-8) as \xHH inside the quotes.

Exit status: 0 done, 1 the operation failed, 2 bad usage.
)";

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

// The command line is wrong: exit status 2.
struct EUsage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct TCommandLine {
  std::optional<HKEY> Root;
  std::string Command;
  std::vector<std::string> Args;
  bool Help = false;
};

TCommandLine ParseCommandLine(int argc, char** argv) {
  TCommandLine Line;
  int I = 1;
  for (; I < argc && Line.Command.empty(); ++I) {
    std::string Arg = argv[I];
    if (Arg == "-h" || Arg == "--help") {
      Line.Help = true;
      return Line;
    }
    if (Arg == "--user" || Arg == "--machine") {
      HKEY Root = Arg == "--user" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
      if (Line.Root && *Line.Root != Root) throw EUsage("--user and --machine exclude each other");
      Line.Root = Root;
    } else if (Arg.starts_with("-")) {
      throw EUsage("unknown option '" + Arg + "'");
    } else {
      Line.Command = Arg;
    }
  }
  if (Line.Command.empty()) throw EUsage("no command given");
  Line.Args.assign(argv + I, argv + argc);
  return Line;
}

// Chooses the hive from a key that starts with a hive's name, or else from the
// option, and returns the key path from that hive's root.
std::string SelectRoot(TCommandLine& Line, const std::string& Key) {
  static const std::pair<const char*, HKEY> Names[] = {
      {"HKEY_CURRENT_USER", HKEY_CURRENT_USER}, {"HKCU", HKEY_CURRENT_USER},
      {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKLM", HKEY_LOCAL_MACHINE}};
  size_t Start = Key.starts_with("\\") ? 1 : 0;
  size_t End = std::min(Key.find('\\', Start), Key.size());
  std::string First = Key.substr(Start, End - Start);
  for (const auto& [Name, Root] : Names) {
    if (!SameText(First, Name)) continue;
    if (Line.Root && *Line.Root != Root)
      throw EUsage("the key names " + RootKeyName(Root) + " but the option chose " + RootKeyName(*Line.Root));
    Line.Root = Root;
    return "\\" + Key.substr(End);
  }
  if (!Line.Root) Line.Root = HKEY_CURRENT_USER;
  return "\\" + Key.substr(Start);
}

void OpenExisting(TRegistry& Reg, const std::string& Key) {
  if (!Reg.OpenKey(Key, false)) throw ERegistryException(Reg.LastErrorMsg());
}

std::string FullName(const TRegistry& Reg) {
  return RootKeyName(Reg.RootKey()) + (Reg.CurrentPath().empty() ? "" : "\\" + Reg.CurrentPath());
}

void Print(const std::string& Text) {
  if (!(std::cout << Text).flush()) throw ERegistryException("Cannot write to the standard output");
}

std::string Hex32(uint32_t Value, bool Padded) {
  char Buffer[16];
  std::snprintf(Buffer, sizeof Buffer, Padded ? "%08x" : "0x%x", Value);
  return Buffer;
}

int List(TRegistry& Reg, const std::vector<std::string>& Args) {
  OpenExisting(Reg, Args[0]);
  std::string Text = FullName(Reg) + "\n";
  std::vector<std::string> Names;
  Reg.GetValueNames(Names);
  for (const std::string& Name : Names) {
    Text += "    " + (Name.empty() ? std::string("(Default)") : Name);
    if (Reg.GetDataType(Name) == rdInteger)
      Text += "    REG_DWORD    " + Hex32(static_cast<uint32_t>(Reg.ReadInteger(Name)), false) + "\n";
    else
      Text += "    REG_SZ    " + Reg.ReadString(Name) + "\n";
  }
  Reg.GetKeyNames(Names);
  if (!Names.empty()) Text += "\n";
  for (const std::string& Name : Names) Text += FullName(Reg) + "\\" + Name + "\n";
  Print(Text);
  return 0;
}

int Get(TRegistry& Reg, const std::vector<std::string>& Args) {
  OpenExisting(Reg, Args[0]);
  const std::string& Name = Args[1];
  if (!Reg.ValueExists(Name))
    throw ERegistryException("There is no value '" + Name + "' in " + FullName(Reg));
  Print((Reg.GetDataType(Name) == rdInteger ? std::to_string(Reg.ReadInteger(Name)) : Reg.ReadString(Name)) + "\n");
  return 0;
}

// A 32-bit integer, signed or unsigned, in decimal or (after 0x) in hex. A
// sign belongs to decimal numbers only: 0x-5 is no number.
int32_t ParseDword(const std::string& Text) {
  bool IsHex = Text.starts_with("0x") || Text.starts_with("0X");
  const char* First = Text.data() + (IsHex ? 2 : 0);
  const char* Last = Text.data() + Text.size();
  int64_t Value = 0;
  auto [End, Error] = std::from_chars(First, Last, Value, IsHex ? 16 : 10);
  if (First == Last || (IsHex && *First == '-') || Error != std::errc() || End != Last || Value < INT32_MIN ||
      Value > UINT32_MAX)
    throw EUsage("'" + Text + "' is not a 32-bit number");
  return static_cast<int32_t>(static_cast<uint32_t>(Value));
}

int Set(TRegistry& Reg, const std::vector<std::string>& Args) {
  const std::string& Kind = Args[2];
  if (Kind != "--string" && Kind != "--dword") throw EUsage("set needs --string TEXT or --dword NUMBER");
  std::optional<int32_t> Number;
  if (Kind == "--dword") Number = ParseDword(Args[3]);
  if (!Reg.OpenKey(Args[0], true)) throw ERegistryException(Reg.LastErrorMsg());
  if (Number)
    Reg.WriteInteger(Args[1], *Number);
  else
    Reg.WriteString(Args[1], Args[3]);
  return 0;
}

int Delete(TRegistry& Reg, const std::vector<std::string>& Args) {
  if (Args.size() == 1) {
    if (!Reg.DeleteKey(Args[0])) throw ERegistryException(Reg.LastErrorMsg());
    return 0;
  }
  OpenExisting(Reg, Args[0]);
  if (!Reg.DeleteValue(Args[1])) throw ERegistryException(Reg.LastErrorMsg());
  return 0;
}

bool HasControlCharacters(const std::string& Text) {
  for (unsigned char C : Text)
    if (C < 0x20 || C == 0x7F) return true;
  return false;
}

// The UTF-8 sequence at Text[I]: its length and code point; length 0 when
// the bytes there are not valid UTF-8.
std::pair<int, uint32_t> Utf8At(const std::string& Text, size_t I) {
  static const uint32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  auto Lead = static_cast<unsigned char>(Text[I]);
  int Length = Lead < 0x80 ? 1 : (Lead >> 5) == 6 ? 2 : (Lead >> 4) == 14 ? 3 : (Lead >> 3) == 30 ? 4 : 0;
  if (!Length || I + Length > Text.size()) return {0, 0};
  uint32_t Code = Length == 1 ? Lead : Lead & (0x7F >> Length);
  for (int K = 1; K < Length; ++K) {
    auto Next = static_cast<unsigned char>(Text[I + K]);
    if ((Next & 0xC0) != 0x80) return {0, 0};
    Code = Code << 6 | (Next & 0x3F);
  }
  if (Code < Smallest[Length] || Code > 0x10FFFF || (Code >= 0xD800 && Code < 0xE000)) return {0, 0};
  return {Length, Code};
}

bool IsUtf8(const std::string& Text) {
  for (size_t I = 0; I < Text.size();) {
    int Length = Utf8At(Text, I).first;
    if (!Length) return false;
    I += Length;
  }
  return true;
}

// A name or string in .reg quotes: backslash and quote escaped, and what a
// .reg file cannot hold plainly (control characters, bytes that are not
// UTF-8) written as \xHH, so that any name or value exports.
std::string RegQuoted(const std::string& Text) {
  std::string Result = "\"";
  for (size_t I = 0; I < Text.size();) {
    auto C = static_cast<unsigned char>(Text[I]);
    int Length = Utf8At(Text, I).first;
    if (Length > 1) {
      Result.append(Text, I, Length);
      I += Length;
      continue;
    }
    if (C == '\\' || C == '"') {
      Result += '\\';
      Result += static_cast<char>(C);
    } else if (Length == 1 && C >= 0x20 && C != 0x7F) {
      Result += static_cast<char>(C);
    } else {
      char Escaped[8];
      std::snprintf(Escaped, sizeof Escaped, "\\x%02X", C);
      Result += Escaped;
    }
    ++I;
  }
  return Result + "\"";
}

// A string that quotes cannot carry (line breaks, tabs) is written the way
// regedit writes it: hex(1), its UTF-16LE bytes with the terminating zero.
// Only for text that is valid UTF-8.
std::string RegHexString(const std::string& Text) {
  std::string Result = "hex(1):";
  auto Put = [&Result](uint32_t Unit) {
    char Bytes[16];
    std::snprintf(Bytes, sizeof Bytes, "%02x,%02x,", Unit & 0xFF, Unit >> 8);
    Result += Bytes;
  };
  for (size_t I = 0; I < Text.size();) {
    auto [Length, Code] = Utf8At(Text, I);
    if (Code >= 0x10000) {
      Put(0xD800 + ((Code - 0x10000) >> 10));
      Put(0xDC00 + ((Code - 0x10000) & 0x3FF));
    } else {
      Put(Code);
    }
    I += Length;
  }
  Put(0);
  Result.pop_back();
  return Result;
}

std::string ExportValue(TRegistry& Reg, const std::string& Name) {
  std::string Line = (Name.empty() ? std::string("@") : RegQuoted(Name)) + "=";
  if (Reg.GetDataType(Name) == rdInteger) return Line + "dword:" + Hex32(static_cast<uint32_t>(Reg.ReadInteger(Name)), true);
  std::string Text = Reg.ReadString(Name);
  // Control characters in UTF-8 text go the way regedit writes them; text
  // that is not UTF-8 has no such form and is quoted with its bytes escaped.
  return Line + (HasControlCharacters(Text) && IsUtf8(Text) ? RegHexString(Text) : RegQuoted(Text));
}

// Depth first, parents before children, without recursion, so a tree of any
// depth exports. Each key is opened from its parent, which is current again
// once its subtree is done: one look-up per key, however deep it lies.
int Export(TRegistry& Reg, const std::vector<std::string>& Args) {
  OpenExisting(Reg, Args[0]);
  std::string Text = "Windows Registry Editor Version 5.00\n";
  struct TFrame {
    std::unique_ptr<TRegistry::TSavedKey> Parent;  // makes the parent current again when the frame goes
    std::vector<std::string> Subkeys;
    size_t Next = 0;
  };
  std::vector<TFrame> Frames;
  std::vector<std::string> Names;
  const auto Enter = [&](std::unique_ptr<TRegistry::TSavedKey> AParent) {
    Text += "\n[" + FullName(Reg) + "]\n";
    Reg.GetValueNames(Names);
    for (const std::string& Name : Names) Text += ExportValue(Reg, Name) + "\n";
    Frames.push_back({std::move(AParent), {}, 0});
    Reg.GetKeyNames(Frames.back().Subkeys);
  };
  Enter(nullptr);
  while (!Frames.empty()) {
    TFrame& Top = Frames.back();
    if (Top.Next == Top.Subkeys.size()) {
      Frames.pop_back();
      continue;
    }
    auto Parent = std::make_unique<TRegistry::TSavedKey>(Reg);
    OpenExisting(Reg, Top.Subkeys[Top.Next++]);
    Enter(std::move(Parent));
  }
  Print(Text);
  return 0;
}

struct TCommand {
  const char* Name;
  size_t MinArgs, MaxArgs;
  int (*Run)(TRegistry&, const std::vector<std::string>&);
};

constexpr TCommand Commands[] = {
    {"list", 1, 1, List}, {"get", 2, 2, Get}, {"set", 4, 4, Set}, {"delete", 1, 2, Delete}, {"export", 1, 1, Export},
};

int Run(TCommandLine& Line) {
  for (const TCommand& Command : Commands) {
    if (Line.Command != Command.Name) continue;
    if (Line.Args.size() < Command.MinArgs || Line.Args.size() > Command.MaxArgs)
      throw EUsage("wrong number of arguments for '" + Line.Command + "'");
    Line.Args[0] = SelectRoot(Line, Line.Args[0]);
    TRegistry Reg;
    Reg.SetRootKey(*Line.Root);
    return Command.Run(Reg, Line.Args);
  }
  throw EUsage("unknown command '" + Line.Command + "'");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::printf("vantry-reg %s\n", VANTRY_VERSION);
    return 0;
  }
  try {
    TCommandLine Line = ParseCommandLine(argc, argv);
    if (Line.Help) {
      Print(Usage);
      return 0;
    }
    return Run(Line);
  } catch (const EUsage& E) {
    std::cerr << "vantry-reg: " << E.what() << "\nTry 'vantry-reg --help'.\n";
    return ExitUsage;
  } catch (const std::exception& E) {
    std::cerr << "vantry-reg: " << E.what() << "\n";
    return ExitFailed;
  }
}
