{ The Free Pascal compiler with one addition: after a successful compile it
  prints, for every symbol the compiled module used, where each use stands
  and where the symbol is declared. The compiler collects these uses itself
  when asked for browser information (-b, -bl), but the command-line
  compiler keeps them in memory only; this program hooks the compiler's
  symbol-information step and writes them out.

  Built from the compiler's own sources (the fpc-source package), with the
  same defines as the compiler itself for the host CPU; run it like fpc's
  ppcx64 itself, with -b -bl among the options.

  Output, one line per record, fields separated by tabs:
    C  module-index                              the module compiled from source
    M  module-index  name                        a module (unit or program)
    F  module-index  file-index  path            a source file of a module
    S  id  symtyp  owner-kind  owner  name  module-index  file-index  line  column
                                                 a symbol and its declaration
    O  id  module-index  file-index  line  column
                                                 a heading of a routine, one per overload
    U  id  module-index  file-index  line  column
                                                 a use of symbol id
  owner-kind is the kind of symbol table that holds the symbol (globalsymtable,
  staticsymtable, ObjectSymtable, recordsymtable, localsymtable, parasymtable);
  owner is the name of the class or record holding a member, or of the unit. }
program fpcrefs;

{$i fpcdefs.inc}

uses
{$if defined(Unix)}
  catch,
{$endif}
  globtype, globals, cutils, cclasses, comphook, compiler, fmodule, finput,
  symconst, symbase, symtype, symdef, symsym, crefs;

var
  NextId: longint = 0;
  Visited: TFPList;

function PosFields(const APos: tfileposinfo): string;
begin
  PosFields := tostr(APos.moduleindex) + #9 + tostr(APos.fileindex) + #9 +
    tostr(APos.line) + #9 + tostr(APos.column);
end;

function OwnerName(ASt: TSymtable): string;
begin
  OwnerName := '';
  if Assigned(ASt) and Assigned(ASt.realname) then
    OwnerName := ASt.realname^
  else if Assigned(ASt) and Assigned(ASt.name) then
    OwnerName := ASt.name^;
end;

procedure WriteSym(ASym: TSym; ASt: TSymtable);
var
  Ref: TRefItem;
  I: longint;
  KindName, TableName: string;
  Pd: tprocdef;
begin
  if not Assigned(ASym.RefList) or (ASym.RefList.Count = 0) then
    exit;
  Inc(NextId);
  WriteStr(KindName, ASym.typ);
  WriteStr(TableName, ASt.symtabletype);
  WriteLn('S'#9, NextId, #9, KindName, #9, TableName, #9, OwnerName(ASt), #9,
    ASym.RealName, #9, PosFields(ASym.fileinfo));
  if ASym.typ = procsym then
    for I := 0 to tprocsym(ASym).ProcdefList.Count - 1 do
    begin
      Pd := tprocdef(tprocsym(ASym).ProcdefList[I]);
      WriteLn('O'#9, NextId, #9, PosFields(Pd.fileinfo));
    end;
  Ref := TRefItem(ASym.RefList.First);
  while Assigned(Ref) do
  begin
    WriteLn('U'#9, NextId, #9, PosFields(Ref.refinfo));
    Ref := TRefItem(Ref.Next);
  end;
end;

{ Every symbol of a symbol table, and of the tables nested in its types and
  routines: the members of classes and records, parameters and locals. }
procedure WalkTable(ASt: TSymtable);
var
  I: longint;
  Def: TDef;
begin
  if not Assigned(ASt) or (Visited.IndexOf(ASt) >= 0) then
    exit;
  Visited.Add(ASt);
  for I := 0 to ASt.SymList.Count - 1 do
    WriteSym(TSym(ASt.SymList[I]), ASt);
  for I := 0 to ASt.DefList.Count - 1 do
  begin
    Def := TDef(ASt.DefList[I]);
    if Def is tabstractrecorddef then
      WalkTable(tabstractrecorddef(Def).symtable)
    else if Def is tprocdef then
    begin
      WalkTable(tprocdef(Def).parast);
      WalkTable(tprocdef(Def).localst);
    end;
  end;
end;

procedure WriteReferences;
var
  M: tmodule;
  F: tinputfile;
begin
  Visited := TFPList.Create;
  WriteLn('C'#9, current_module.unit_index);
  M := tmodule(loaded_units.First);
  while Assigned(M) do
  begin
    WriteLn('M'#9, M.unit_index, #9, M.realmodulename^);
    if Assigned(M.sourcefiles) then
    begin
      F := M.sourcefiles.files;
      while Assigned(F) do
      begin
        WriteLn('F'#9, M.unit_index, #9, F.ref_index, #9, F.path + F.name);
        F := F.ref_next;
      end;
    end;
    M := tmodule(M.Next);
  end;
  M := tmodule(loaded_units.First);
  while Assigned(M) do
  begin
    WalkTable(M.globalsymtable);
    WalkTable(M.localsymtable);
    M := tmodule(M.Next);
  end;
  Visited.Free;
end;

begin
  do_extractsymbolinfo := @WriteReferences;
  Halt(compiler.Compile(''));
end.
