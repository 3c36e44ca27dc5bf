// vantry-reg: lists, reads, writes, deletes and exports registry keys and
// values from a shell, on the same hives the programs use.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
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

KEY is a path of names separated by '\', such as 'Software\Vantry'. It may
start with the hive's name (HKEY_CURRENT_USER\, HKCU\, HKEY_LOCAL_MACHINE\,
HKLM\). An empty NAME ("") is the key's default value.

The hives are files in $VANTRY_REGISTRY_DIR, else $XDG_DATA_HOME/vantry/registry,
else ~/.local/share/vantry/registry.

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

// A 32-bit integer, signed or unsigned, in decimal or (after 0x) in hex.
int32_t ParseDword(const std::string& Text) {
  bool IsHex = Text.starts_with("0x") || Text.starts_with("0X");
  const char* First = Text.data() + (IsHex ? 2 : 0);
  const char* Last = Text.data() + Text.size();
  int64_t Value = 0;
  auto [End, Error] = std::from_chars(First, Last, Value, IsHex ? 16 : 10);
  if (First == Last || Error != std::errc() || End != Last || Value < INT32_MIN || Value > UINT32_MAX)
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

// A name or string in .reg quotes: backslash and quote escaped.
std::string RegQuoted(const std::string& Text) {
  std::string Result = "\"";
  for (char C : Text) {
    if (C == '\\' || C == '"') Result += '\\';
    Result += C;
  }
  return Result + "\"";
}

// A string that quotes cannot carry (line breaks, tabs) is written the way
// regedit writes it: hex(1), its UTF-16LE bytes with the terminating zero.
std::optional<std::string> RegHexString(const std::string& Text) {
  std::string Result = "hex(1):";
  auto Put = [&Result](uint32_t Unit) {
    char Bytes[16];
    std::snprintf(Bytes, sizeof Bytes, "%02x,%02x,", Unit & 0xFF, Unit >> 8);
    Result += Bytes;
  };
  static const uint32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t I = 0; I < Text.size();) {
    auto Lead = static_cast<unsigned char>(Text[I]);
    int Length = Lead < 0x80 ? 1 : (Lead >> 5) == 6 ? 2 : (Lead >> 4) == 14 ? 3 : (Lead >> 3) == 30 ? 4 : 0;
    if (!Length || I + Length > Text.size()) return std::nullopt;
    uint32_t Code = Length == 1 ? Lead : Lead & (0x7F >> Length);
    for (int K = 1; K < Length; ++K) {
      auto Next = static_cast<unsigned char>(Text[I + K]);
      if ((Next & 0xC0) != 0x80) return std::nullopt;
      Code = Code << 6 | (Next & 0x3F);
    }
    if (Code < Smallest[Length] || Code > 0x10FFFF || (Code >= 0xD800 && Code < 0xE000)) return std::nullopt;
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
  if (HasControlCharacters(Name))
    throw ERegistryException("The value name " + RegQuoted(Name) + " in " + FullName(Reg) +
                             " holds control characters, which a .reg file cannot hold");
  std::string Line = (Name.empty() ? std::string("@") : RegQuoted(Name)) + "=";
  if (Reg.GetDataType(Name) == rdInteger) return Line + "dword:" + Hex32(static_cast<uint32_t>(Reg.ReadInteger(Name)), true);
  std::string Text = Reg.ReadString(Name);
  if (!HasControlCharacters(Text)) return Line + RegQuoted(Text);
  std::optional<std::string> Hex = RegHexString(Text);
  if (!Hex)
    throw ERegistryException("The value '" + Name + "' in " + FullName(Reg) +
                             " holds control characters and is not valid UTF-8, so a .reg file cannot hold it");
  return Line + *Hex;
}

// Depth first, parents before children, without recursion: a tree of any depth exports.
int Export(TRegistry& Reg, const std::vector<std::string>& Args) {
  OpenExisting(Reg, Args[0]);
  std::string Text = "Windows Registry Editor Version 5.00\n";
  std::vector<std::string> Pending{"\\" + Reg.CurrentPath()};
  std::vector<std::string> Names;
  while (!Pending.empty()) {
    std::string Key = std::move(Pending.back());
    Pending.pop_back();
    OpenExisting(Reg, Key);
    Text += "\n[" + FullName(Reg) + "]\n";
    Reg.GetValueNames(Names);
    for (const std::string& Name : Names) Text += ExportValue(Reg, Name) + "\n";
    Reg.GetKeyNames(Names);
    for (auto It = Names.rbegin(); It != Names.rend(); ++It) Pending.push_back("\\" + Reg.CurrentPath() + "\\" + *It);
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
