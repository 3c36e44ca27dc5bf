#!/usr/bin/env python3
"""vantry-lsp driven as editors drive it.

  lsp_test.py protocol VANTRY_LSP VANTRY_FIND  -- a test client: hostile frames, the
      protocol's errors, text sync, and the answers compared with vantry-find's
  lsp_test.py neovim VANTRY_LSP VANTRY_FIND    -- Neovim's built-in client, headless

Each writes a small library below a temporary folder, with its own cache and
settings, and ends with the line 'N passed, N failed'.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import queue
import re

HERE = os.path.dirname(os.path.abspath(__file__))

# The library: a non-ASCII comment before names (a 4-byte character counts two
# UTF-16 units), a class with a commented method, a unit that uses another.
SOURCES = {
    "Src/rtl/sysutils.pp": "unit SysUtils;\ninterface\n{ Größte 🙂 } const MaxInt = 1;\n"
                           "function IntToStr(AValue: Integer): string;\nimplementation\n"
                           "function IntToStr(AValue: Integer): string;\nbegin\nend;\nend.\n",
    "Src/rtl/classes.pp": "unit Classes;\n{$mode objfpc}\ninterface\ntype\n  TStringList = class\n"
                          "    { Sorts the list. }\n    procedure Sort;\n  end;\nimplementation\n"
                          "procedure TStringList.Sort;\nbegin\nend;\nend.\n",
    "Src/rtl/user.pp": "unit User;\ninterface\nuses SysUtils;\nconst Two = MaxInt + 1; { MaxInt }\nend.\n",
    "Mine/extra.pp": "program Extra;\nuses SysUtils;\nbegin\nend.\n",
    "Mine/demo.pp": "program Demo;\n{$mode objfpc}\nuses SysUtils, Classes;\nvar List: TStringList;\n"
                    "begin\n  { ü🙂 } List.Sort; MaxInt;\n  IntToStr(2);\nend.\n",
}
# Places asked about: file, line (from 1), the name, its occurrence on the line.
PLACES = [
    ("Mine/demo.pp", 6, "Sort", 0),
    ("Mine/demo.pp", 6, "MaxInt", 0),
    ("Mine/demo.pp", 6, "List", 0),
    ("Mine/demo.pp", 7, "IntToStr", 0),
    ("Mine/demo.pp", 4, "TStringList", 0),
    ("Src/rtl/user.pp", 4, "MaxInt", 0),
]
QUERIES = ["Sort", "maxint", "TStringList.", "its"]

passed = failed = 0


def check(condition, what):
    global passed, failed
    if condition:
        passed += 1
    else:
        failed += 1
        print("FAIL:", what, flush=True)


def utf16_length(text):
    return len(text.encode("utf-16-le")) // 2


def byte_column(line_text, character, utf8):
    """The byte column (from 0) of a protocol character."""
    if utf8:
        return character
    units = 0
    for i, c in enumerate(line_text):
        if units >= character:
            return len(line_text[:i].encode())
        units += utf16_length(c)
    return len(line_text.encode())


# The words of a declaration's kind, which come before its name.
KIND_WORDS = {"unit", "program", "library", "class", "object", "record", "interface", "helper", "enum", "set",
              "pointer", "procedure", "type", "array", "reference", "function", "constructor", "destructor",
              "operator", "property", "const", "resourcestring", "var", "threadvar", "value"}


def symbol_name(line):
    """The name in a line of vantry-find's search: PATH:LINE:COLUMN: KIND NAME, the rest of the heading after
    NAME and a body's [definition] mark."""
    words = line.split(": ", 1)[1].split("  [")[0].split(" ")
    while len(words) > 1 and words[0] in KIND_WORDS:
        words.pop(0)
    return re.match(r"[^(:=<;\s]+", " ".join(words)).group(0)


def place_of(root, location, utf8):
    """A location as vantry-find prints it: PATH:LINE:COLUMN."""
    path = location["uri"][len("file://"):]
    start = location["range"]["start"]
    with open(path, encoding="utf-8") as f:
        line = f.read().split("\n")[start["line"]]
    return "%s:%d:%d" % (path, start["line"] + 1, byte_column(line, start["character"], utf8) + 1)


def position_of(root, place, utf8):
    """The protocol position, and vantry-find's FILE:LINE:COLUMN, of a place."""
    path, line, name, nth = place
    with open(os.path.join(root, path), encoding="utf-8") as f:
        text = f.read().split("\n")[line - 1]
    at = -1
    for _ in range(nth + 1):
        at = text.index(name, at + 1)
    character = len(text[:at].encode()) if utf8 else utf16_length(text[:at])
    return ({"line": line - 1, "character": character},
            "%s:%d:%d" % (os.path.join(root, path), line, len(text[:at].encode()) + 1))


class Library:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="vantry-lsp-test-")
        for path, text in SOURCES.items():
            full = os.path.join(self.root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w", encoding="utf-8") as f:
                f.write(text)
        home = os.path.join(self.root, "home")
        os.makedirs(home)
        self.env = dict(os.environ, HOME=home, XDG_CACHE_HOME=os.path.join(home, "cache"),
                        XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_STATE_HOME=os.path.join(home, "state"),
                        XDG_DATA_HOME=os.path.join(home, "data"), VANTRY_REGISTRY_DIR=os.path.join(home, "registry"))
        self.source = os.path.join(self.root, "Src")

    def find(self, *args):
        # The user's folder too, as the language server takes in the project
        # of each file it is asked about.
        run = subprocess.run([VANTRY_FIND, "--root", os.path.join(self.root, "Mine"), "--root", self.source, *args],
                             env=self.env, capture_output=True, text=True)
        return run.stdout.splitlines()

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Client:
    """A raw client: frames are sent as given, messages read on a thread."""

    def __init__(self, library, *args):
        self.process = subprocess.Popen([VANTRY_LSP, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=library.env)
        self.messages = queue.Queue()
        self.next_id = 100
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=lambda: sys.stderr.write(self.process.stderr.read().decode(errors="replace")), daemon=True).start()

    def _read(self):
        out = self.process.stdout
        while True:
            header = b""
            while not header.endswith(b"\r\n\r\n"):
                byte = out.read(1)
                if not byte:
                    self.messages.put(None)
                    return
                header += byte
            length = int(header.split(b"Content-Length: ")[1].split(b"\r\n")[0])
            self.messages.put(json.loads(out.read(length)))

    def raw(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def send(self, message):
        body = json.dumps(dict(message, jsonrpc="2.0")).encode()
        self.raw(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def notify(self, method, params):
        self.send({"method": method, "params": params})

    def request(self, method, params, wait=True):
        self.next_id += 1
        self.send({"id": self.next_id, "method": method, "params": params})
        return self.answer(self.next_id) if wait else self.next_id

    def answer(self, id=None, timeout=20):
        """The next response (to id, when given); requests and notifications of the server are passed over."""
        while True:
            message = self.messages.get(timeout=timeout)
            if message is None:
                return None
            if "method" in message:
                continue
            if id is None or message.get("id") == id:
                return message

    def finish(self):
        self.request("shutdown", None)
        self.notify("exit", None)
        return self.process.wait(timeout=20)


def initialize(client, library, utf8=False):
    capabilities = {"window": {"workDoneProgress": True},
                    "textDocument": {"documentSymbol": {"hierarchicalDocumentSymbolSupport": True}}}
    if utf8:
        capabilities["general"] = {"positionEncodings": ["utf-8", "utf-16"]}
    answer = client.request("initialize", {"processId": None, "rootUri": None, "capabilities": capabilities,
                                           "initializationOptions": {"root": library.source}})
    client.notify("initialized", {})
    return answer


def uri(library, path):
    return "file://" + os.path.join(library.root, path)


def text_params(library, place, utf8):
    position, _ = position_of(library.root, place, utf8)
    return {"textDocument": {"uri": uri(library, place[0])}, "position": position}


def frame(body):
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


def test_hostile_frames(library):
    client = Client(library)
    # Before initialize: the protocol's own error; a notification is dropped.
    client.notify("textDocument/didOpen", {"textDocument": {"uri": "file:///x.pp", "text": ""}})
    check(client.request("workspace/symbol", {"query": "Sort"}).get("error", {}).get("code") == -32002,
          "a request before initialize is refused with ServerNotInitialized")
    check("capabilities" in initialize(client, library).get("result", {}), "initialize answers the capabilities")
    huge = 65 * 1024 * 1024
    rows = [  # (what, bytes sent, error code of the answer, or None for no answer)
        ("a body that is not JSON", b"Content-Length: 5\r\n\r\nhello", -32700),
        ("a header without Content-Length", b"Content-Type: x\r\n\r\n", -32700),
        ("a Content-Length that is no number", b"Content-Length: ten\r\n\r\n", -32700),
        ("a Content-Length too short", b'Content-Length: 10\r\n\r\n{"jsonrpc":"2.0","id":7,"method":"shutdown"}', -32700),
        ("a batch", frame(b"[]"), -32600),
        ("an id that is an object", frame(b'{"jsonrpc":"2.0","id":{},"method":"hover"}'), -32600),
        ("no jsonrpc member", frame(b'{"id":8,"method":"shutdown"}'), -32600),
        ("params that are a string", frame(b'{"jsonrpc":"2.0","id":9,"method":"workspace/symbol","params":"x"}'), -32600),
        ("an unknown method", frame(b'{"jsonrpc":"2.0","id":10,"method":"vantry/none"}'), -32601),
        ("an unknown notification", frame(b'{"jsonrpc":"2.0","method":"$/setTrace/x"}'), None),
        ("a notification of a known method with bad params", frame(b'{"jsonrpc":"2.0","method":"textDocument/didChange","params":{}}'), None),
        ("a message over the size limit", b"Content-Length: %d\r\n\r\n" % huge + b" " * huge, -32700),
    ]
    for what, data, code in rows:
        client.raw(data)
        # The server goes on: a request after each frame is answered, and
        # the frame's own answer (if any) comes first.
        after = client.request("workspace/symbol", {"query": "MaxInt"}, wait=False)
        first = client.answer()
        if code is None:
            check(first is not None and first.get("id") == after, what + ": ignored")
        else:
            check(first is not None and first.get("error", {}).get("code") == code,
                  "%s: answered with %d, not %s" % (what, code, first))
            first = client.answer(after)
        check(first is not None and first.get("id") == after and len(first.get("result", [])) == 1,
              what + ": the server still serves")
    # Bad parameters and places: the protocol's errors or clamped positions.
    demo = uri(library, "Mine/demo.pp")
    param_rows = [
        ("textDocument/definition", {"textDocument": {"uri": demo}}, -32602),
        ("textDocument/definition", {"textDocument": {"uri": demo}, "position": {"line": -1, "character": 0}}, -32602),
        ("textDocument/hover", {"textDocument": {"uri": "file:///nowhere/none.pp"}, "position": {"line": 0, "character": 0}}, -32602),
        ("workspace/symbol", {"query": 5}, -32602),
        ("textDocument/hover", {"textDocument": {"uri": demo}, "position": {"line": 5, "character": 4000}}, None),
        ("textDocument/definition", {"textDocument": {"uri": demo}, "position": {"line": 4000, "character": 0}}, None),
    ]
    for method, params, code in param_rows:
        answer = client.request(method, params)
        if code is None:
            check(answer is not None and "result" in answer, "%s %s: answered" % (method, params))
        else:
            check(answer is not None and answer.get("error", {}).get("code") == code,
                  "%s %s: error %d, not %s" % (method, params, code, answer))
    # A position past the end of a line is that line's end: MaxInt ends line 6.
    answer = client.request("textDocument/definition",
                            {"textDocument": {"uri": demo}, "position": {"line": 5, "character": 4000}})
    check(answer["result"] == [] or answer["result"] is None, "past the end of a line (after ';'): no name")
    # A cancellation of an unknown request is ignored; one of a search ends it
    # (answered as cancelled, or with what it found when it ended first).
    client.notify("$/cancelRequest", {"id": 424242})
    id = client.request("textDocument/references", text_params(library, PLACES[1], False), wait=False)
    client.notify("$/cancelRequest", {"id": id})
    answer = client.answer(id)
    check(answer is not None and ("result" in answer or answer.get("error", {}).get("code") == -32800),
          "a cancelled search is answered: %s" % answer)
    # A search cancelled while it waits its turn behind another is answered as
    # cancelled (the three frames go in one write: the server reads them together).
    params = text_params(library, PLACES[1], False)
    frames = [{"jsonrpc": "2.0", "id": 501, "method": "textDocument/references", "params": params},
              {"jsonrpc": "2.0", "id": 502, "method": "textDocument/references", "params": params},
              {"jsonrpc": "2.0", "method": "$/cancelRequest", "params": {"id": 502}}]
    client.raw(b"".join(frame(json.dumps(f).encode()) for f in frames))
    check(len(client.answer(501).get("result", [])) == 3, "the search before the cancelled one answers")
    answer = client.answer(502)
    check(answer.get("error", {}).get("code") == -32800, "a cancelled search waiting its turn: %s" % answer)
    check(client.request("shutdown", None).get("result", 1) is None, "shutdown answers null")
    check(client.request("workspace/symbol", {"query": "x"}).get("error", {}).get("code") == -32600,
          "a request after shutdown is refused")
    client.notify("exit", None)
    check(client.process.wait(timeout=20) == 0, "exit after shutdown ends with status 0")
    # Exit without shutdown, and a client that closes the connection: status 1.
    for ending in ("exit", "close"):
        client = Client(library)
        initialize(client, library)
        if ending == "exit":
            client.notify("exit", None)
        else:
            client.process.stdin.close()
        check(client.process.wait(timeout=20) == 1, "%s without shutdown ends with status 1" % ending)


def test_same_answers_as_vantry_find(library):
    for utf8 in (False, True):
        client = Client(library)
        answer = initialize(client, library, utf8)
        encoding = answer["result"]["capabilities"]["positionEncoding"]
        check(encoding == ("utf-8" if utf8 else "utf-16"), "the position encoding agreed is %s" % encoding)
        for place in PLACES:
            _, asked = position_of(library.root, place, utf8)
            params = text_params(library, place, utf8)
            found = client.request("textDocument/definition", params)["result"] or []
            got = ["%s: " % place_of(library.root, l, utf8) for l in found]
            want = [line.split(" ")[0] + " " for line in library.find("--definition", asked)]
            check(got == want, "definition at %s (%s): %s, vantry-find %s" % (asked, encoding, got, want))
            refs = client.request("textDocument/references", dict(params, context={"includeDeclaration": True}))["result"]
            got = [place_of(library.root, l, utf8) for l in refs]
            want = [line.split(": ")[0] for line in library.find("--references", asked)]
            check(got == want, "references at %s: %s, vantry-find %s" % (asked, got, want))
            hover = client.request("textDocument/hover", params)["result"]
            peek = library.find("--peek", asked)
            heading = "\n".join(peek[1:]).split("\n")[-1] if peek else None
            check((hover is None) == (not peek) and (not peek or "```pascal\n%s\n```" % heading in hover["contents"]["value"]),
                  "hover at %s: %s, vantry-find %s" % (asked, hover, peek))
        for query in QUERIES:
            symbols = client.request("workspace/symbol", {"query": query})["result"]
            got = ["%s: %s" % (place_of(library.root, s["location"], utf8), s["name"]) for s in symbols]
            want = [line.split(": ")[0] + ": " + symbol_name(line) for line in library.find("--limit", "100", query)]
            check(got == want, "workspace symbols for %r: %s, vantry-find %s" % (query, got, want))
        # The outline, nested: each symbol's line and name as vantry-find lists them.
        for path in ("Mine/demo.pp", "Src/rtl/classes.pp"):
            symbols = client.request("textDocument/documentSymbol", {"textDocument": {"uri": uri(library, path)}})["result"]
            got = []

            def walk(items, depth):
                for s in items:
                    got.append((depth, s["selectionRange"]["start"]["line"] + 1, s["name"]))
                    check(s["range"]["start"]["line"] <= s["selectionRange"]["start"]["line"] <= s["range"]["end"]["line"],
                          "%s: the range of %s holds its name" % (path, s["name"]))
                    walk(s.get("children", []), depth + 1)
            walk(symbols, 0)
            want = []
            for line in subprocess.run([VANTRY_FIND, "--outline", os.path.join(library.root, path)],
                                       capture_output=True, text=True).stdout.splitlines():
                depth = (len(line) - len(line.lstrip())) // 2
                number, rest = line.strip().split(": ", 1)
                words = rest.split(" ")
                want.append((depth, int(number), rest if len(words) == 1 else words[-1] if words[0] != "uses" else "uses"))
            check([(d, l) for d, l, _ in got] == [(d, l) for d, l, _ in want] and
                  all(w in g for (_, _, g), (_, _, w) in zip(got, want)),
                  "outline of %s: %s, vantry-find %s" % (path, got, want))
        client.finish()


def test_unsaved_text(library):
    """Answers come from the editor's text, changed piece by piece, not the file."""
    client = Client(library)
    initialize(client, library)
    demo = uri(library, "Mine/demo.pp")
    text = SOURCES["Mine/demo.pp"]
    client.notify("textDocument/didOpen", {"textDocument": {"uri": demo, "languageId": "pascal", "version": 1, "text": text}})
    # Line 7 "  IntToStr(2);" becomes "  Two(2);" then "  MaxInt(2);" (replacing "IntToStr" at characters 2..10).
    client.notify("textDocument/didChange", {"textDocument": {"uri": demo, "version": 2}, "contentChanges": [
        {"range": {"start": {"line": 6, "character": 2}, "end": {"line": 6, "character": 10}}, "text": "Two"},
        {"range": {"start": {"line": 6, "character": 2}, "end": {"line": 6, "character": 5}}, "text": "MaxInt"}]})
    found = client.request("textDocument/definition", {"textDocument": {"uri": demo}, "position": {"line": 6, "character": 3}})
    check([l["range"]["start"]["line"] for l in found["result"]] == [2] and found["result"][0]["uri"].endswith("sysutils.pp"),
          "definition in the changed text: %s" % found)
    # A change on the line of a non-ASCII comment counts UTF-16 units: " Sort" after the 🙂.
    client.notify("textDocument/didChange", {"textDocument": {"uri": demo, "version": 3}, "contentChanges": [
        {"range": {"start": {"line": 5, "character": 8}, "end": {"line": 5, "character": 8}}, "text": " "}]})
    symbols = client.request("textDocument/documentSymbol", {"textDocument": {"uri": demo}})["result"]
    check(any(s["name"] == "Demo" for s in symbols), "the outline of the changed text: %s" % symbols)
    line6 = "  { ü🙂 } List.Sort; MaxInt;"
    position = {"line": 5, "character": utf16_length(line6[:line6.index("MaxInt")]) + 1}
    found = client.request("textDocument/definition", {"textDocument": {"uri": demo}, "position": position})["result"]
    check(len(found) == 1 and found[0]["uri"].endswith("sysutils.pp"), "a place after the changed comment: %s" % found)
    # A change whose range ends before it starts is refused whole.
    client.notify("textDocument/didChange", {"textDocument": {"uri": demo, "version": 4}, "contentChanges": [
        {"text": "program Broken;"},
        {"range": {"start": {"line": 0, "character": 5}, "end": {"line": 0, "character": 1}}, "text": "x"}]})
    symbols = client.request("textDocument/documentSymbol", {"textDocument": {"uri": demo}})["result"]
    check(any(s["name"] == "Demo" for s in symbols), "a bad change leaves the text as it was: %s" % symbols)
    # Another open file's unsaved text is searched as it stands.
    extra = uri(library, "Mine/extra.pp")
    client.notify("textDocument/didOpen", {"textDocument": {"uri": extra, "languageId": "pascal", "version": 1,
                                                            "text": "program Extra;\nuses SysUtils;\nbegin\n  MaxInt;\nend.\n"}})
    params = text_params(library, PLACES[5], False)  # MaxInt in user.pp
    refs = client.request("textDocument/references", dict(params, context={"includeDeclaration": True}))["result"]
    check(any(l["uri"] == extra and l["range"]["start"]["line"] == 3 for l in refs),
          "references read the unsaved text of another open file: %s" % refs)
    client.notify("textDocument/didClose", {"textDocument": {"uri": demo}})
    check(client.finish() == 0, "the server ends cleanly")


def test_workspace(library):
    """The client's workspace folder beside the library, a library file changed on disk, and no namesake as fact."""
    client = Client(library)
    capabilities = {"workspace": {"didChangeWatchedFiles": {"dynamicRegistration": True}}}
    mine = "file://" + os.path.join(library.root, "Mine")
    client.request("initialize", {"processId": None, "rootUri": None, "capabilities": capabilities,
                                  "workspaceFolders": [{"uri": mine, "name": "Mine"}],
                                  "initializationOptions": {"libraries": [library.source]}})
    client.notify("initialized", {})
    registration = None
    while registration is None:
        message = client.messages.get(timeout=20)
        if message and message.get("method") == "client/registerCapability":
            registration = message
    check(registration["params"]["registrations"][0]["method"] == "workspace/didChangeWatchedFiles",
          "the server asks to be told of changed files: %s" % registration)
    ledger = os.path.join(library.root, "Mine/ledger.pas")
    with open(ledger, "w") as f:
        f.write("unit Ledger;\ninterface\nuses SysUtils;\nfunction Count: Integer;\nimplementation\n"
                "function Count: Integer;\nbegin\n  Result := MaxInt + Nowhere;\nend;\nend.\n")
    client.notify("workspace/didChangeWatchedFiles", {"changes": [{"uri": "file://" + ledger, "type": 1}]})

    def definition(line, name):
        position = {"line": line - 1, "character": linecache_line(ledger, line).index(name) + 1}
        return client.request("textDocument/definition", {"textDocument": {"uri": "file://" + ledger}, "position": position})["result"]
    check([l["uri"].rsplit("/", 1)[1] for l in definition(8, "MaxInt")] == ["sysutils.pp"], "a project file uses the library")
    check(definition(8, "Nowhere") == [], "a name declared nowhere is answered with nothing")
    # SysUtils changed on disk: the next answer reads it.
    sysutils = os.path.join(library.source, "rtl/sysutils.pp")
    with open(sysutils) as f:
        before = f.read()
    try:
        with open(sysutils, "w") as f:
            f.write("unit SysUtils;\ninterface\n\n\nconst MaxInt = 1;\nimplementation\nend.\n")
        os.utime(sysutils, (1, 1))
        client.notify("workspace/didChangeWatchedFiles", {"changes": [{"uri": "file://" + sysutils, "type": 2}]})
        found = []
        for _ in range(50):
            found = [l["range"]["start"]["line"] for l in definition(8, "MaxInt")]
            if found == [4]:
                break
            time.sleep(0.1)
        check(found == [4], "a library file changed on disk is read again: %s" % found)
    finally:
        with open(sysutils, "w") as f:
            f.write(before)
        os.remove(ledger)
    # A workspace folder the editor adds is searched too.
    gadgets = os.path.join(library.root, "Gadgets")
    os.makedirs(gadgets)
    with open(os.path.join(gadgets, "gadgets.pas"), "w") as f:
        f.write("unit Gadgets;\ninterface\nconst\n  Widget = 1;\nimplementation\nend.\n")
    client.notify("workspace/didChangeWorkspaceFolders", {"event": {"added": [{"uri": "file://" + gadgets, "name": "Gadgets"}],
                                                                    "removed": []}})
    found = []
    for _ in range(50):
        found = [s["location"]["uri"] for s in client.request("workspace/symbol", {"query": "Widget"})["result"]]
        if found:
            break
        time.sleep(0.1)
    check(found == ["file://" + os.path.join(gadgets, "gadgets.pas")], "an added workspace folder is searched: %s" % found)
    check(client.finish() == 0, "the server ends cleanly")


def linecache_line(path, number):
    with open(path) as f:
        return f.read().split("\n")[number - 1]


def test_neovim(library):
    if not shutil.which("nvim"):
        check(False, "nvim is not installed: run scripts/setup.sh")
        return
    out = os.path.join(library.root, "nvim-answers.json")
    env = dict(library.env, VANTRY_LSP=VANTRY_LSP, VANTRY_ROOT=library.source, VANTRY_OUT=out,
               VANTRY_FILE=os.path.join(library.root, "Mine/demo.pp"))
    run = subprocess.run(["nvim", "--headless", "-n", "-i", "NONE", "-u", os.path.join(HERE, "test.lua")],
                         env=env, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    check(run.returncode == 0, "nvim ended with %d: %s %s" % (run.returncode, run.stdout, run.stderr))
    if not os.path.exists(out):
        check(False, "nvim wrote no answers")
        return
    with open(out, encoding="utf-8") as f:
        answers = json.load(f)
    demo = os.path.join(library.root, "Mine/demo.pp")
    for row in answers["places"]:
        asked = "%s:%d:%d" % (demo, row["line"], row["col"] + 1)
        got = ["%s: " % place_of(library.root, l, False) for l in row["definition"] or []]
        want = [line.split(" ")[0] + " " for line in library.find("--definition", asked)]
        check(got == want and want, "Neovim's definition at %s: %s, vantry-find %s" % (asked, got, want))
        got = [place_of(library.root, l, False) for l in row["references"] or []]
        want = [line.split(": ")[0] for line in library.find("--references", asked)]
        check(got == want and want, "Neovim's references at %s: %s, vantry-find %s" % (asked, got, want))
        peek = library.find("--peek", asked)
        check(row["hover"] is not None and peek and "```pascal\n%s\n```" % peek[-1] in row["hover"]["contents"]["value"],
              "Neovim's hover at %s: %s, vantry-find %s" % (asked, row["hover"], peek))
    names = [s["name"] for s in answers["documentSymbol"]]
    check(names[:2] == ["Demo", "uses"], "Neovim's document symbols: %s" % names)
    got = ["%s: %s" % (place_of(library.root, s["location"], False), s["name"]) for s in answers["workspaceSymbol"]]
    want = [line.split(": ")[0] + ": " + symbol_name(line) for line in library.find("--limit", "100", "Sort")]
    check(got == want and want, "Neovim's workspace symbols: %s, vantry-find %s" % (got, want))


if __name__ == "__main__":
    mode, VANTRY_LSP, VANTRY_FIND = sys.argv[1:4]
    library = Library()
    try:
        if mode == "protocol":
            test_hostile_frames(library)
            test_same_answers_as_vantry_find(library)
            test_unsaved_text(library)
            test_workspace(library)
        else:
            test_neovim(library)
    finally:
        library.close()
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed or not passed else 0)
