#include "index/DeclarationScanner.h"
#include "index/Target.h"

#include "index/DeclarationTable.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <random>

using namespace Vantry;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// "line:column kind Owner.Name", "(definition)" after a routine's body.
std::vector<std::string> Found(const std::string& AText, bool AInclude = false) {
  std::vector<std::string> lines;
  for (const TDeclaration& d : ScanDeclarations(AText, AInclude))
    lines.push_back(std::to_string(d.Line) + ":" + std::to_string(d.Column) + " " + DeclarationKindName(d.Kind) +
                    " " + (d.Owner.empty() ? "" : d.Owner + ".") + d.Name + (d.Definition ? " (definition)" : ""));
  return lines;
}

struct TSourceRow {
  const char* Name;
  bool Include;
  const char* Text;
  std::vector<std::string> Expected;
  friend void PrintTo(const TSourceRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class ScannerTest : public ::testing::TestWithParam<TSourceRow> {};

TEST_P(ScannerTest, FindsTheDeclarationsOfTheSource) {
  EXPECT_THAT(Found(GetParam().Text, GetParam().Include), ElementsAreArray(GetParam().Expected));
}

const std::vector<TSourceRow> Sources = {
        // Every kind of type, members by their owner, a forward class declaration
        // left for the real one, the implementation's own routines and types.
        TSourceRow{"EveryKind", false,
                   "unit Kinds;\ninterface\nuses Classes;\ntype\n"
                   "  TShape = class;\n"
                   "  TColor = (clRed, clGreen);\n"
                   "  TColors = set of TColor;\n  PShape = ^TShape;\n"
                   "  TNotify = procedure(Sender: TObject) of object;\n"
                   "  TShapeClass = class of TShape;\n  TInts = array of Integer;\n  TAlias = Integer;\n"
                   "  generic TList<T> = class\n    procedure Add(const AItem: T);\n  end;\n"
                   "  TShape = class(TObject)\n  private\n    FName: string;\n  public\n"
                   "    constructor Create;\n    destructor Destroy; override;\n"
                   "    class function Count: Integer;\n    property Name: string read FName; class property Total: Integer read Count;\n  end;\n"
                   "  IShape = interface\n    function Area: Double;\n  end;\n"
                   "  TPoint = record\n    X, Y: Integer;\n    function Len: Double;\n  end;\n"
                   "  TOld = object\n    procedure Run;\n  end;\n"
                   "  THelp = class helper for TShape\n    procedure Show;\n  end;\n"
                   "const\n  Limit = 10;\nresourcestring\n  SHello = 'Hello';\n"
                   "var\n  Counter: Integer;\nthreadvar\n  Local: Integer;\n"
                   "procedure Paint(A: TShape);\n"
                   "implementation\ntype\n  TPrivate = class\n  end;\n"
                   "procedure Paint(A: TShape);\nbegin\nend;\n"
                   "procedure Hidden;\nvar V: Integer;\n  procedure Nested;\n  begin\n  end;\nbegin\nend;\nend.\n",
                   {"1:6 unit Kinds", "6:3 enum TColor", "6:13 enum value TColor.clRed",
                    "6:20 enum value TColor.clGreen", "7:3 set TColors", "8:3 pointer PShape",
                    "9:3 procedure type TNotify", "10:3 class reference TShapeClass", "11:3 array TInts",
                    "12:3 type TAlias", "13:11 class TList", "14:15 procedure TList.Add", "16:3 class TShape",
                    "20:17 constructor TShape.Create", "21:16 destructor TShape.Destroy",
                    "22:20 class function TShape.Count", "23:14 property TShape.Name",
                    "23:54 class property TShape.Total", "25:3 interface IShape",
                    "26:14 function IShape.Area", "28:3 record TPoint", "30:14 function TPoint.Len",
                    "32:3 object TOld", "33:15 procedure TOld.Run", "35:3 helper THelp",
                    "36:15 procedure THelp.Show", "39:3 const Limit", "41:3 resourcestring SHello",
                    "43:3 var Counter", "45:3 threadvar Local", "46:11 procedure Paint", "49:3 class TPrivate",
                    "51:11 procedure Paint (definition)", "54:11 procedure Hidden (definition)"}},
        // A variant part with a nested record ends where the record does; both
        // branches of a conditional are read; comments, strings and directives
        // hold no declaration.
        TSourceRow{"VariantsConditionalsComments", false,
                   "unit Edge;\ninterface\ntype\n"
                   "  TVariant = record\n    case Kind: Integer of\n      0: (I: Integer);\n"
                   "      1: (Inner: record\n            A, B: Byte;\n          end);\n  end;\n"
                   "  TAfter = Integer;\n"
                   "  TCond = class\n{$ifdef UNIX}\n    procedure OnUnix;\n{$else}\n    procedure OnOther;\n"
                   "{$endif}\n  end;\n"
                   "  // type TLine = Integer;\n  { type TBrace = Integer; }\n  (* type TParen = Integer; *)\n"
                   "const\n  SText = 'type TInString = Integer;';\n  {$define TDirective}\n  Last = 1;\n",
                   {"1:6 unit Edge", "4:3 record TVariant", "11:3 type TAfter", "12:3 class TCond",
                    "14:15 procedure TCond.OnUnix", "16:15 procedure TCond.OnOther", "23:3 const SText",
                    "25:3 const Last"}},
        // An include file has no sections: a routine with a body defines one.
        TSourceRow{"IncludeFile", true,
                   "function IntToStr(Value: Integer): string;\n"
                   "function IntToStr(Value: Integer): string;\nbegin\n  Result := '';\nend;\n",
                   {"1:10 function IntToStr", "2:10 function IntToStr (definition)"}},
        TSourceRow{"Program", false, "program Demo;\ntype TLocal = Integer;\nprocedure Run;\nbegin\nend;\nbegin\n  Run;\nend.\n",
                   {"1:9 program Demo", "2:6 type TLocal", "3:11 procedure Run"}},
        TSourceRow{"UnitWithoutImplementation", false, "unit NoImpl;\ninterface\nconst\n  Only = 1;\nend.\n",
                   {"1:6 unit NoImpl", "4:3 const Only"}},
        // Broken and strange texts give what can be read.
        TSourceRow{"UnterminatedComment", false, "unit Broken;\ninterface\ntype\n  TGood = Integer;\n  { open\n  TLost = Integer;\n",
                   {"1:6 unit Broken", "4:3 type TGood"}},
        TSourceRow{"BinaryAndLatin1", false,
                   "unit Odd;\ninterface\ntype\n  Caf\xe9 = Integer;\n  T\xff = \x01 record end;\n  TOk = Integer;\n",
                   {"1:6 unit Odd", "4:3 type Caf\xe9", "5:3 record T\xff", "6:3 type TOk"}},
        // An include file that carries on its includer's type section: its
        // types, their members by their owner, and types after routines.
        TSourceRow{"IncludeCarriesTypes", true,
                   "  TEventAny = record\n    window: Pointer;\n  end;\n  PEvent = ^TEvent;\n"
                   "  TBar = class(TObject)\n    procedure Run;\n    property Size: Integer read FSize;\n  end;\n"
                   "function event_get: PEvent; cdecl; external gdklib;\n  TAfterRoutines = record end;\n",
                   {"1:3 record TEventAny", "4:3 pointer PEvent", "5:3 class TBar", "6:15 procedure TBar.Run",
                    "7:14 property TBar.Size", "9:10 function event_get", "10:3 record TAfterRoutines"}},
        // The first definitions may not tell a type from a constant: a later
        // one does, for all of them.
        TSourceRow{"IncludeRunOfTypes", true, "  TAlias = Integer;\n  TDigit = 0..9;\n  TColor = (clRed, clBlue);\n",
                   {"1:3 type TAlias", "2:3 type TDigit", "3:3 enum TColor", "3:13 enum value TColor.clRed",
                    "3:20 enum value TColor.clBlue"}},
        TSourceRow{"IncludeRunOfConstants", true, "  MaxSize = 10;\n  Alias = MaxSize;\n  Title = 'x';\n  Mask = 1 shl 4;\n",
                   {"1:3 const MaxSize", "2:3 const Alias", "3:3 const Title", "4:3 const Mask"}},
        // What cannot be told is left: aliases alone, and "Name: Type" (a
        // record's fields look the same).
        TSourceRow{"IncludeRunThatTellsNothing", true,
                   "  Left = Right;\n  Other = Unit1.Value;\nprocedure Done;\n  Field: Integer;\n  Second, Third: Byte;\n",
                   {"3:11 procedure Done"}},
        // After conditionals lost a class's end, the type section goes on.
        TSourceRow{"SectionTakenUpAgain", false,
                   "unit Resume;\ninterface\ntype\n  TA = class\n{$ifdef A}\n  end;\n{$else}\n    procedure X;\n"
                   "  end;\n{$endif}\n  TB = class\n  end;\n",
                   {"1:6 unit Resume", "4:3 class TA", "8:15 procedure X", "11:3 class TB"}},
        // Comments nest in Free Pascal's modes, not in Delphi's; a nested
        // comment never closed ends where it would if they did not nest.
        TSourceRow{"NestedComments", false,
                   "unit Nest;\n{$mode objfpc}\ninterface\ntype\n  IShell = interface\n  { commented out:\n"
                   "    function Old: Integer; { a note }\n    function Older: Integer;\n  }\n"
                   "  (* also (* nested *) function Gone: Integer; *)\n    function Kept: Integer;\n  end;\n"
                   "  ICategory = interface\n  end;\n",
                   {"1:6 unit Nest", "5:3 interface IShell", "11:14 function IShell.Kept", "13:3 interface ICategory"}},
        TSourceRow{"FlatComments", false,
                   "unit Flat;\n{$mode delphi}\ninterface\ntype\n  { a note { with a brace }\n  TShown = Integer;\n"
                   "  {$modeswitch nestedcomments}\n  { { nested } TGone = Integer; }\n"
                   "  {$modeswitch nestedcomments-}\n  (* (* *) TAlsoShown = Integer;\n",
                   {"1:6 unit Flat", "6:3 type TShown", "10:12 type TAlsoShown"}},
        TSourceRow{"UnclosedNestedComment", true, "  { an open { brace, never closed }\n  TAfter = record end;\n",
                   {"2:3 record TAfter"}},
        // "Record;" with the fields after it: the body follows the slip.
        TSourceRow{"RecordSemicolon", false,
                   "unit Slip;\ninterface\ntype\n  SHookInfo = Record;\n    IID : TGUID;\n    cbSize : DWord;\n  End;\n"
                   "  IChannelHook = Interface (IUnknown)\n    procedure ClientGetSize;\n  end;\n",
                   {"1:6 unit Slip", "4:3 record SHookInfo", "8:3 interface IChannelHook",
                    "9:15 procedure IChannelHook.ClientGetSize"}},
        // Objective-C and Java classes: a formal "objcclass external;" gives
        // way to the real one; a category is a helper; a name written
        // "&end" is no end.
        TSourceRow{"ForeignClasses", false,
                   "unit Cocoa;\ninterface\ntype\n  NSView = objcclass external;\n"
                   "  NSButton = objcclass external (NSControl, NSCoding)\n  public\n"
                   "    procedure setTitle(newValue: NSString); message 'setTitle:';\n  end;\n"
                   "  NSCodingProtocol = objcprotocol external name 'NSCoding' (NSObjectProtocol)\n  required\n"
                   "    function initWithCoder(coder: NSCoder): id;\n  optional\n"
                   "    class function version: NSInteger;\n  end;\n"
                   "  NSButtonBorder = objccategory external (NSButton)\n    procedure setShowsBorder(flag: ObjCBOOL);\n  end;\n"
                   "  JLObject = class sealed external 'java.lang' name 'Object' (JLRoot)\n  public\n"
                   "    function &end(): jint; overload;\n    function hashCode(): jint; overload;\n  end;\n",
                   {"1:6 unit Cocoa", "5:3 class NSButton", "7:15 procedure NSButton.setTitle",
                    "9:3 interface NSCodingProtocol", "11:14 function NSCodingProtocol.initWithCoder",
                    "13:20 class function NSCodingProtocol.version", "15:3 helper NSButtonBorder",
                    "16:15 procedure NSButtonBorder.setShowsBorder", "18:3 class JLObject", "20:15 function JLObject.end",
                    "21:14 function JLObject.hashCode"}},
        // Branches of conditionals that give a type two kinds, two names or
        // two headings, a routine two headings, a unit two bodies.
        TSourceRow{"ConditionalShapes", false,
                   "unit Cond;\ninterface\ntype\n"
                   "  TBCD = packed {$ifdef as_object} object {$else} record {$endif}\n    Precision: Byte;\n  end;\n"
                   "  {$ifndef INCLUDEMODE} TServer {$else} TServerX {$endif} = class(TOleServer)\n"
                   "    procedure Connect;\n  end;\n"
                   "{$ifdef HASOUTLINE}\n  TView = object(TOutlineViewer)\n{$else}\n  TView = object(TListBox)\n{$endif}\n"
                   "    procedure Draw;\n  end;\n  TMutex = {$i mutex.inc}\n  TAfter = record end;\n",
                   {"1:6 unit Cond", "4:3 record TBCD", "7:25 class TServer", "7:41 class TServerX",
                    "8:15 procedure TServer.Connect", "11:3 object TView", "15:15 procedure TView.Draw",
                    "17:3 type TMutex", "18:3 record TAfter"}},
        TSourceRow{"RoutineWithTwoHeadings", false,
                   "program Twice;\n{$ifdef CPU16}\nprocedure Move(A: Word);\n{$else}\nprocedure Move(A: LongWord);\n"
                   "{$endif}\nbegin\nend;\ntype\n  TLater = record end;\nprocedure Later;\nbegin\nend;\nbegin\nend.\n",
                   {"1:9 program Twice", "3:11 procedure Move", "5:11 procedure Move", "10:3 record TLater",
                    "11:11 procedure Later"}},
        TSourceRow{"UnitInTwoBranches", false,
                   "unit Branches;\n{$ifdef NODEBUG}\ninterface\nimplementation\nend.\n{$else}\ninterface\ntype\n"
                   "  TDebugger = class\n    procedure Run;\n  end;\nimplementation\nprocedure TDebugger.Run;\nbegin\nend;\n"
                   "initialization\n  Setup;\nend.\n{$endif}\n",
                   {"1:6 unit Branches", "9:3 class TDebugger", "10:15 procedure TDebugger.Run",
                    "13:21 procedure TDebugger.Run (definition)"}},
        // Operators by their symbol or word; the bodies of a class's and of
        // a unit's operators.
        TSourceRow{"Operators", false,
                   "unit Ops;\ninterface\ntype\n  TComplex = record\n    Re, Im: Double;\n"
                   "    class operator + (const A, B: TComplex): TComplex;\n    class operator Implicit(A: Double): TComplex;\n"
                   "  end;\noperator := (const S: string): TComplex;\noperator ** (const A, B: TComplex): TComplex;\n"
                   "operator = (const A, B: TComplex): Boolean;\noperator <> (const A, B: TComplex): Boolean;\n"
                   "operator in (const A: TComplex; const B: TSet): Boolean;\nimplementation\n"
                   "class operator TComplex.+(const A, B: TComplex): TComplex;\nbegin\nend;\n"
                   "operator >< (const A, B: TSet): TSet;\nbegin\nend;\nend.\n",
                   {"1:6 unit Ops", "4:3 record TComplex", "6:20 class operator TComplex.+",
                    "7:20 class operator TComplex.Implicit", "9:10 operator :=", "10:10 operator **", "11:10 operator =",
                    "12:10 operator <>", "13:10 operator in", "15:25 class operator TComplex.+ (definition)",
                    "18:10 operator >< (definition)"}},
        // Methods' bodies, after the class's headings: a nested type's, a
        // generic's, a class function's, constructors and destructors, and
        // one whose type no file here declares.
        TSourceRow{"MethodBodies", false,
                   "unit M;\ninterface\ntype\n  TOuter = class\n  type\n    TInner = class\n      procedure Run;\n    end;\n  end;\n"
                   "  generic TList<T> = class\n    procedure Add(A: T);\n    class function Make: TList;\n"
                   "    constructor Create;\n    destructor Destroy; override;\n    class constructor Init;\n  end;\n"
                   "implementation\nprocedure TOuter.TInner.Run;\nbegin\nend;\n"
                   "procedure TList<T>.Add(A: T);\nvar X: Integer;\nbegin\nend;\n"
                   "class function TList<T>.Make: TList;\nbegin\nend;\nconstructor TList<T>.Create;\nbegin\nend;\n"
                   "destructor TList<T>.Destroy;\nbegin\nend;\nclass constructor TList<T>.Init;\nbegin\nend;\n"
                   "procedure TElsewhere.Run;\nbegin\nend;\nend.\n",
                   {"1:6 unit M", "4:3 class TOuter", "6:5 class TOuter.TInner", "7:17 procedure TInner.Run",
                    "10:11 class TList", "11:15 procedure TList.Add", "12:20 class function TList.Make",
                    "13:17 constructor TList.Create", "14:16 destructor TList.Destroy",
                    "15:23 class constructor TList.Init", "18:25 procedure TInner.Run (definition)",
                    "21:20 procedure TList.Add (definition)", "25:25 class function TList.Make (definition)",
                    "28:22 constructor TList.Create (definition)", "31:21 destructor TList.Destroy (definition)",
                    "34:28 class constructor TList.Init (definition)", "37:22 procedure TElsewhere.Run (definition)"}},
        // An include file's bodies: a method's whose class another file
        // declares, an operator's, a forward declaration's.
        TSourceRow{"BodiesInAnIncludeFile", true,
                   "procedure TStringList.Sort;\nbegin\nend;\n"
                   "class operator TComplex.+(const A, B: TComplex): TComplex;\nbegin\nend;\n"
                   "function Helper: Integer; forward;\nfunction Helper: Integer;\nbegin\nend;\n",
                   {"1:23 procedure TStringList.Sort (definition)", "4:25 class operator TComplex.+ (definition)",
                    "7:10 function Helper", "8:10 function Helper (definition)"}},
        // A class's constants and nested types are its members; a generic's
        // parameters may be separated by ';'.
        TSourceRow{"ClassConstantsAndNestedTypes", false,
                   "unit Nested;\ninterface\ntype\n  TOuter = class\n  public\n    const\n      Limit = 10;\n"
                   "      Typed: Integer = 5;\n    type\n      TInner = class\n        procedure Member;\n      end;\n"
                   "    var\n      FField: Integer;\n    procedure Own;\n  end;\n"
                   "  generic TMap<TKey; TData: TObject> = class\n    function Get(K: TKey): TData;\n  end;\n",
                   {"1:6 unit Nested", "4:3 class TOuter", "7:7 const TOuter.Limit", "8:7 const TOuter.Typed",
                    "10:7 class TOuter.TInner", "11:19 procedure TInner.Member", "15:15 procedure TOuter.Own",
                    "17:11 class TMap", "18:14 function TMap.Get"}},
        // A UTF-8 byte order mark is no part of the first line; a lone CR
        // ends a line, CR LF ends one.
        TSourceRow{"ByteOrderMarkAndLineEnds", false,
                   "\xEF\xBB\xBFunit Bom;\rinterface\rtype\r  TOne = Integer;\r\n  TTwo = Integer; // note\r"
                   "  TThree = Integer;\n",
                   {"1:6 unit Bom", "4:3 type TOne", "5:3 type TTwo", "6:3 type TThree"}}};

INSTANTIATE_TEST_SUITE_P(Sources, ScannerTest, ::testing::ValuesIn(Sources),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(ScannerTest, ReadsAHugeLineAndDeepNestingInLinearTime) {
  // 50 MB of one line: a constant table; then unbalanced nesting.
  std::string text = "unit Big;\ninterface\nconst\n  Table: array[0..9999999] of Byte = (";
  text.reserve(50'000'100);
  while (text.size() < 50'000'000) text += "1,2,3,4,";
  text += "0);\n  After = 1;\n";
  EXPECT_EQ(Found(text).back(), "5:3 const After");
  std::string deep = "program P;\n" + std::string(100000, '(') + std::string(100000, '[');
  for (int i = 0; i < 20000; ++i) deep += "procedure P; begin case ";
  EXPECT_EQ(Found(deep).front(), "1:9 program P");
}

// A nested type's member is owned by it, and it by the type around it, in
// the table the finder searches.
TEST(ScannerTest, NestedTypesChainTheirOwners) {
  const std::string text =
      "unit N;\ninterface\ntype\n  TOuter = class\n  type\n    TInner = record\n      procedure Member;\n"
      "    end;\n  end;\n";
  TDeclarationScanner scanner;
  TDeclarationTableBuilder builder("lib");
  builder.AddFile("n.pas", 0, 0, scanner.Scan(text, false));
  const TDeclarationTable table = builder.Finish();
  ASSERT_EQ(table.Count(), 4u);
  std::vector<std::string> chain;
  for (uint32_t d = 3; d != TDeclarationTable::None; d = table.Entry(d).Owner) chain.emplace_back(table.Name(d));
  EXPECT_THAT(chain, ElementsAre("Member", "TInner", "TOuter"));
}

// A method's body is owned by its type: the one of its text, else the one
// of that name the table holds (in the nearest folder, inside the type the
// heading names around it), linked again when a file is taken over from an
// earlier table; a body whose type the library lacks is left out.
TEST(ScannerTest, BodiesAreOwnedByTheirTypesAcrossFiles) {
  const std::vector<std::pair<const char*, const char*>> files = {
      {"other/classesh.inc", "type\n  TStringList = class\n    procedure Sort;\n  end;\n"},
      {"rtl/classesh.inc", "type\n  TStringList = class\n    procedure Sort;\n  end;\n"},
      {"rtl/nested.pp", "unit Nested;\ninterface\ntype\n  TOuter = class\n  type\n    TInner = class\n"
                        "      procedure Run;\n    end;\n  end;\n  TInner = class\n  end;\nimplementation\nend.\n"},
      {"rtl/stringl.inc", "procedure TStringList.Sort;\nbegin\nend;\nprocedure TOuter.TInner.Run;\nbegin\nend;\n"
                         "procedure TMissing.Run;\nbegin\nend;\nconst After = 1;\n"}};
  auto owners = [](const TDeclarationTable& ATable) {
    std::vector<std::string> found;
    for (uint32_t d = 0; d < ATable.Count(); ++d) {
      if (!ATable.Entry(d).Definition() && ATable.Entry(d).Kind() != dkConst) continue;
      std::string line = ATable.QualifiedName(d);
      if (const uint32_t owner = ATable.Entry(d).Owner; owner != TDeclarationTable::None) {
        line += " in " + std::string(ATable.FilePath(ATable.FileOf(owner)));
        if (const uint32_t outer = ATable.Entry(owner).Owner; outer != TDeclarationTable::None)
          line += " inside " + std::string(ATable.Name(outer));
      }
      found.push_back(line);
    }
    return found;
  };
  TDeclarationScanner scanner;
  TDeclarationTableBuilder builder("lib");
  for (const auto& [path, text] : files) builder.AddFile(path, 1, 1, scanner.Scan(text, IsIncludeFileName(path)));
  const TDeclarationTable table = builder.Finish();
  EXPECT_THAT(owners(table), ElementsAre("TStringList.Sort in rtl/classesh.inc", "TInner.Run in rtl/nested.pp inside TOuter",
                                         "After"));
  // Taken over file by file from that table, as a later index does: the
  // links are made again.
  TDeclarationTableBuilder again("lib");
  for (uint32_t f = 0; f < table.FileCount(); ++f) again.AddFile(table, f);
  const TDeclarationTable copy = again.Finish();
  EXPECT_EQ(owners(copy), owners(table));
  EXPECT_EQ(copy.Count(), table.Count());
}

// A file included inside a class's body holds its members: a widgetset's
// class keeps its methods in one. A file that is also included outside a
// structure (the LCL's winapih.inc, which one unit includes in a class and
// another at its own level) keeps its declarations to itself.
TEST(ScannerTest, AnIncludeInsideAClassHoldsItsMembers) {
  const std::vector<std::pair<const char*, const char*>> files = {
      {"gtk2/gtk2int.pas", "unit Gtk2Int;\ninterface\ntype\n  TGtk2WidgetSet = class(TWidgetSet)\n  public\n"
                           "    {$I gtk2winapih.inc}\n    {$I winapih.inc}\n  end;\n  {$I gtk2listslh.inc}\nimplementation\nend.\n"},
      {"gtk2/gtk2winapih.inc", "function Arc(DC: HDC): Boolean; override;\nproperty Handle: THandle read FHandle;\n"},
      {"gtk2/winapih.inc", "function BitBlt(DC: HDC): Boolean; {$ifdef IF_BASE_MEMBER}virtual;{$endif}\n"},
      {"gtk2/gtk2listslh.inc", "procedure Unit1;\n"},
      {"gtk2/lclintf.pas", "unit LCLIntf;\ninterface\n{$I winapih.inc}\nimplementation\nend.\n"},
  };
  TDeclarationScanner scanner;
  TDeclarationTableBuilder builder("lib");
  for (const auto& [path, text] : files) {
    const auto& found = scanner.Scan(text, IsIncludeFileName(path));
    builder.AddFile(path, 1, 1, found, scanner.Links());
  }
  const TDeclarationTable table = builder.Finish();
  std::vector<std::string> names;
  for (uint32_t d = 0; d < table.Count(); ++d)
    if (table.Entry(d).Kind() != dkUnit) names.push_back(table.QualifiedName(d));
  EXPECT_THAT(names, ElementsAre("TGtk2WidgetSet", "TGtk2WidgetSet.Arc", "TGtk2WidgetSet.Handle", "BitBlt", "Unit1"));
  std::string links(table.FileLinks(0));
  std::replace(links.begin(), links.end(), '\0', '|');
  EXPECT_EQ(links, "igtk2winapih.inc|cTGtk2WidgetSet|iwinapih.inc|cTGtk2WidgetSet|igtk2listslh.inc|");
}

// Random damage to the sources above: every declaration found must be a
// name that stands where its line and column say. Short; `make
// test-sanitize` runs it under the address and undefined-behaviour
// sanitizers too.
TEST(ScannerTest, SurvivesRandomDamage) {
  std::string seed;
  for (const TSourceRow& row : Sources) seed += row.Text;
  std::mt19937 random(2026);
  TDeclarationScanner scanner;
  for (int round = 0; round < 20000; ++round) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = random() % text.size();
      switch (random() % 4) {
        case 0: text[at] = static_cast<char>(random()); break;
        case 1: text.erase(at, random() % 64); break;
        case 2: text.insert(at, text.substr(random() % text.size(), random() % 64)); break;
        default: text.insert(at, 1, "{}()*'/;#&$.\n"[random() % 13]); break;
      }
    }
    for (const TFoundDeclaration& d : scanner.Scan(text, round % 2)) {
      ASSERT_FALSE(d.Name.empty());
      ASSERT_GE(d.Name.data(), text.data());
      ASSERT_LE(d.Name.data() + d.Name.size(), text.data() + text.size());
      // Lines end at LF, CR LF or a lone CR.
      const auto offset = static_cast<size_t>(d.Name.data() - text.data());
      uint32_t line = 1;
      size_t lineStart = 0;
      for (size_t i = 0; i < offset; ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        if (text[i] == '\n' || text[i] == '\r') ++line, lineStart = i + 1;
      }
      ASSERT_EQ(d.Line, line);
      ASSERT_EQ(d.Column, offset - lineStart + 1);
    }
  }
}

}  // namespace

namespace {

// What a file links to (its uses and includes, its mode), what other units
// never see, and what the target's compiler skips.
TEST(ScannerTest, ReadsLinksHiddenDeclarationsAndTheTargetsBranches) {
  const std::string text =
      "unit Links;\n{$mode objfpc}\ninterface\nuses Classes, Sys.Utils in 'x.pas';\n{$i a.inc}\n"
      "{$ifdef CPU16}\n{$i c.inc}\nconst Small = 1;\n{$else}\nconst Large = 2;\n{$endif}\n"
      "type\n  TFlags = set of (fA, fB);\n"
      "implementation\nuses Math;\n{$I+}\n{$include 'b b.inc'}\nvar\n  Counter: Integer;\nend.\n";
  const TTargetSymbols symbols = SymbolsOf(*ParseTarget("x86_64-linux"));
  TDeclarationScanner scanner;
  scanner.SetTarget(&symbols);
  std::vector<std::string> found;
  for (const TFoundDeclaration& d : scanner.Scan(text, false))
    found.push_back(std::string(d.Name) + (d.Hidden ? " hidden" : "") + (d.Skipped ? " skipped" : ""));
  EXPECT_THAT(found, ElementsAreArray({"Links", "Small skipped", "Large", "TFlags", "fA", "fB", "Counter hidden"}));
  std::string links = scanner.Links();
  std::replace(links.begin(), links.end(), '\0', '|');
  EXPECT_EQ(links, "oobjfpc|uClasses|uSys.Utils|ia.inc|xc.inc|mMath|hb b.inc|");
  // Without a target, no branch is known to be skipped.
  scanner.SetTarget(nullptr);
  for (const TFoundDeclaration& d : scanner.Scan(text, false)) EXPECT_FALSE(d.Skipped) << d.Name;
}

// A uses clause is read as the target's compiler reads it: a unit in a
// branch it skips is not used, and the units of two branches side by side
// are two units.
TEST(ScannerTest, ReadsConditionalUsesClausesForTheTarget) {
  const std::string text =
      "program P;\nuses {$ifdef windows} Windows, ShellApi, {$endif}\n  {$ifdef unix} cthreads, BaseUnix {$else} WinSock "
      "{$endif},\n  {$ifdef NEVER} Old in 'old.pas' {$else} Sys.Utils {$endif} Classes\n"
      "  {$ifdef windows} ; {$else} , Unix; {$endif}\nbegin\nend.\n";
  const TTargetSymbols linux64 = SymbolsOf(*ParseTarget("x86_64-linux"));
  auto uses = [&](const TTargetSymbols* ASymbols) {
    TDeclarationScanner scanner;
    scanner.SetTarget(ASymbols);
    scanner.Scan(text, false);
    std::string links = scanner.Links();
    std::replace(links.begin(), links.end(), '\0', '|');
    return links;
  };
  EXPECT_EQ(uses(&linux64), "ucthreads|uBaseUnix|uOld|uSys.Utils|uClasses|uUnix|");
  EXPECT_EQ(uses(nullptr), "uWindows|uShellApi|ucthreads|uBaseUnix|uWinSock|uOld|uSys.Utils|uClasses|");
  EXPECT_THAT(UsedUnits(text, &linux64), ElementsAre("cthreads", "BaseUnix", "Old", "Sys.Utils", "Classes", "Unix"));
}

}  // namespace
