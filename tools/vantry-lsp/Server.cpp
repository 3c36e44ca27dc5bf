#include "Server.h"

#include "Positions.h"

#include "index/DeclarationScanner.h"
#include "index/DeclarationTable.h"
#include "navigation/Counterpart.h"
#include "navigation/Outline.h"
#include "navigation/Peek.h"
#include "source_menu/Settings.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace Vantry::Lsp {

namespace {

// Workspace symbols answered for one query, best first.
constexpr size_t WorkspaceSymbolLimit = 100;

// A request's parameters are not what the method takes.
struct EInvalidParams : std::runtime_error {
  using std::runtime_error::runtime_error;
};

QJsonObject ObjectAt(const QJsonObject& AObject, const char* AKey) {
  const QJsonValue value = AObject.value(AKey);
  if (!value.isObject()) throw EInvalidParams(std::string("'") + AKey + "' must be an object");
  return value.toObject();
}
std::string StringAt(const QJsonObject& AObject, const char* AKey) {
  const QJsonValue value = AObject.value(AKey);
  if (!value.isString()) throw EInvalidParams(std::string("'") + AKey + "' must be a string");
  return S(value.toString());
}
uint32_t NumberAt(const QJsonObject& AObject, const char* AKey) {
  const QJsonValue value = AObject.value(AKey);
  const double number = value.toDouble(-1);
  if (!value.isDouble() || number < 0 || number > UINT32_MAX || number != static_cast<double>(static_cast<uint32_t>(number)))
    throw EInvalidParams(std::string("'") + AKey + "' must be a whole number from 0");
  return static_cast<uint32_t>(number);
}
TPosition PositionAt(const QJsonObject& AObject, const char* AKey) {
  const QJsonObject position = ObjectAt(AObject, AKey);
  return {NumberAt(position, "line"), NumberAt(position, "character")};
}

std::string ReadText(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The protocol's symbol kind for a kind as the index and the outline name it.
int SymbolKind(const std::string& AKind, bool AMember) {
  static const std::unordered_map<std::string, int> Kinds = {
      {"unit", 2}, {"program", 2}, {"library", 2}, {"section", 3}, {"uses", 4},
      {"class", 5}, {"helper", 5}, {"class reference", 5}, {"object", 19}, {"record", 23},
      {"interface", 11}, {"enum", 10}, {"enum value", 22}, {"set", 18}, {"array", 18},
      {"pointer", 26}, {"procedure type", 26}, {"type", 26},
      {"constructor", 9}, {"class constructor", 9}, {"destructor", 6}, {"class destructor", 6},
      {"operator", 25}, {"class operator", 25}, {"property", 7}, {"class property", 7}, {"field", 8},
      {"const", 14}, {"resourcestring", 15}, {"var", 13}, {"threadvar", 13}};
  const auto found = Kinds.find(AKind);
  if (found != Kinds.end()) return found->second;
  if (AKind.find("procedure") != std::string::npos || AKind.find("function") != std::string::npos)
    return AMember ? 6 : 12;
  return 13;
}

std::string LastName(const std::string& AQualified) {
  const size_t dot = AQualified.rfind('.');
  std::string name = dot == std::string::npos ? AQualified : AQualified.substr(dot + 1);
  const size_t generic = name.find('<');
  return generic == std::string::npos ? name : name.substr(0, generic);
}

bool ValidId(const QJsonValue& AId) { return AId.isString() || AId.isDouble(); }

QString KeyOf(const QJsonValue& AId) {
  return AId.isString() ? "s" + AId.toString() : "n" + QString::number(AId.toDouble(), 'g', 17);
}

QJsonObject RangeLocation(const std::string& APath, std::string_view ALineText, uint32_t ALine,
                          uint32_t AColumn, uint32_t ALength, bool AUtf8) {
  const uint32_t line = ALine - 1, column = AColumn - 1;
  const QJsonObject range{
      {"start", Position(line, AUtf8 ? column : CharacterOf(ALineText, column, false))},
      {"end", Position(line, AUtf8 ? column + ALength : CharacterOf(ALineText, column + ALength, false))}};
  return {{"uri", Q(UriOfPath(APath))}, {"range", range}};
}

}  // namespace

TServer::TServer(TCommandLine ALine) : FLine(std::move(ALine)) {}

int TServer::Serve() {
  TFrameReader reader;
  while (!FExit) {
    std::string body, error;
    FWorker.Hold();
    for (;;) {
      const TFrameReader::TResult result = reader.Next(body, error);
      if (result == TFrameReader::frMessage) {
        Receive(body);
        if (FExit) break;
      } else if (result == TFrameReader::frBadFrame) {
        Log("%s", error.c_str());
        FOutput.Fail(QJsonValue::Null, ecParseError, error);
      } else {
        break;
      }
    }
    FWorker.Release();
    if (FExit) break;
    if (reader.Ended() || FOutput.Broken()) {
      Log("the client closed the connection without exit");
      return 1;
    }
    Tick();
    reader.Fill(!FWaiting.empty() ? 10 : FIndex.Building() ? 100 : 1000);
  }
  return FShutdown ? 0 : 1;
}

void TServer::Receive(const std::string& ABody) {
  QJsonParseError parseError;
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(ABody), &parseError);
  if (parseError.error != QJsonParseError::NoError) {
    Log("a message is not JSON: %s at byte %d", S(parseError.errorString()).c_str(), static_cast<int>(parseError.offset));
    FOutput.Fail(QJsonValue::Null, ecParseError, "not JSON: " + S(parseError.errorString()));
    return;
  }
  if (!document.isObject()) {
    FOutput.Fail(QJsonValue::Null, ecInvalidRequest, "a message must be a JSON object (batches are not part of the protocol)");
    return;
  }
  Dispatch(document.object());
}

void TServer::Dispatch(const QJsonObject& AMessage) {
  const bool request = AMessage.contains("id");
  const QJsonValue id = AMessage.value("id");
  if (!AMessage.contains("method")) return;  // a response to our own request: nothing waits on it
  if (AMessage.value("jsonrpc") != QJsonValue("2.0") || !AMessage.value("method").isString() ||
      (request && !ValidId(id))) {
    FOutput.Fail(ValidId(id) ? id : QJsonValue(QJsonValue::Null), ecInvalidRequest,
                 "a request needs \"jsonrpc\": \"2.0\", a string method and a number or string id");
    return;
  }
  const std::string method = S(AMessage.value("method").toString());
  const QJsonValue paramsValue = AMessage.value("params");
  // Absent params may come as null (shutdown and exit take none).
  if (!paramsValue.isUndefined() && !paramsValue.isNull() && !paramsValue.isObject() && !paramsValue.isArray()) {
    if (request) FOutput.Fail(id, ecInvalidRequest, "params must be an object or an array");
    return;
  }
  const QJsonObject params = paramsValue.toObject();
  if (method == "exit") {
    FExit = true;
    return;
  }
  if (!request) {
    if (!FInitialized) return;  // notifications before initialize are dropped
    try {
      Notification(method, params);
    } catch (const std::exception& e) {
      Log("%s: %s", method.c_str(), e.what());
    }
    return;
  }
  if (!FInitialized && method != "initialize") {
    FOutput.Fail(id, ecServerNotInitialized, "the server is not initialized yet");
    return;
  }
  if (FShutdown) {
    FOutput.Fail(id, ecInvalidRequest, "the server is shut down: only exit is left");
    return;
  }
  try {
    Request(id, method, params, AMessage);
  } catch (const EInvalidParams& e) {
    FOutput.Fail(id, ecInvalidParams, method + ": " + e.what());
  } catch (const std::exception& e) {
    Log("%s failed: %s", method.c_str(), e.what());
    FOutput.Fail(id, ecInternalError, method + " failed: " + e.what());
  }
}

void TServer::Notification(const std::string& AMethod, const QJsonObject& AParams) {
  if (AMethod == "initialized") {
    FClientReady = true;
    WatchFiles();
  } else if (AMethod == "textDocument/didOpen") {
    const QJsonObject item = ObjectAt(AParams, "textDocument");
    const std::string uri = StringAt(item, "uri");
    FDocuments.Open(uri, StringAt(item, "text"));
    TakeInProjectOf(uri);
  } else if (AMethod == "textDocument/didChange") {
    const std::string uri = StringAt(ObjectAt(AParams, "textDocument"), "uri");
    if (!FDocuments.Find(uri)) throw EInvalidParams("a change to " + uri + ", which is not open");
    const QJsonValue changes = AParams.value("contentChanges");
    if (!changes.isArray()) throw EInvalidParams("'contentChanges' must be an array");
    std::vector<TChange> edits;
    for (const QJsonValue& value : changes.toArray()) {
      if (!value.isObject()) throw EInvalidParams("a content change must be an object");
      const QJsonObject change = value.toObject();
      TChange& edit = edits.emplace_back();
      edit.Text = StringAt(change, "text");
      if (!change.contains("range")) continue;
      const QJsonObject range = ObjectAt(change, "range");
      edit.Range = TRange{PositionAt(range, "start"), PositionAt(range, "end")};
    }
    FDocuments.Change(uri, std::move(edits), FUtf8);
  } else if (AMethod == "textDocument/didClose") {
    FDocuments.Close(StringAt(ObjectAt(AParams, "textDocument"), "uri"));
  } else if (AMethod == "textDocument/didSave") {
    FilesChanged({PathOfUri(StringAt(ObjectAt(AParams, "textDocument"), "uri"))});
  } else if (AMethod == "workspace/didChangeWatchedFiles") {
    // A file changed is read again alone; one created or deleted needs a walk.
    std::vector<std::string> changed;
    bool walk = false;
    for (const QJsonValue& change : AParams.value("changes").toArray()) {
      const QJsonObject item = change.toObject();
      if (item.value("type").toInt() == 2) changed.push_back(PathOfUri(S(item.value("uri").toString())));
      else walk = true;
    }
    FilesChanged(walk ? std::vector<std::string>() : changed);
  } else if (AMethod == "workspace/didChangeWorkspaceFolders") {
    ChangeWorkspaceFolders(ObjectAt(AParams, "event"));
  } else if (AMethod == "$/cancelRequest") {
    Cancel(AParams.value("id"));
  }
  // Other notifications, $/ ones among them, are ignored as the protocol allows.
}

void TServer::Request(const QJsonValue& AId, const std::string& AMethod, const QJsonObject& AParams, const QJsonObject& AMessage) {
  if (AMethod == "initialize") return Initialize(AId, AParams);
  if (AMethod == "shutdown") {
    FShutdown = true;
    FOutput.Answer(AId, QJsonValue::Null);
    return;
  }
  if (AMethod == "textDocument/documentSymbol") return DocumentSymbols(AId, AParams);
  const bool needsIndex = AMethod == "textDocument/definition" || AMethod == "textDocument/declaration" ||
                          AMethod == "textDocument/implementation" ||
                          AMethod == "textDocument/references" || AMethod == "textDocument/hover" ||
                          AMethod == "workspace/symbol";
  if (!needsIndex) {
    FOutput.Fail(AId, ecMethodNotFound, "vantry-lsp does not serve " + AMethod);
    return;
  }
  if (AParams.value("textDocument").isObject()) TakeInProjectOf(StringAt(ObjectAt(AParams, "textDocument"), "uri"));
  // While the first walk has no table yet, the request waits for it.
  if (!FIndex.Declarations() && FIndex.Building()) {
    FWaiting.push_back(AMessage);
    return;
  }
  if (AMethod == "workspace/symbol") return WorkspaceSymbols(AId, AParams);
  if (AMethod == "textDocument/references") return References(AId, AParams);
  if (AMethod == "textDocument/hover") return Hover(AId, AParams);
  if (AMethod == "textDocument/implementation") return Implementation(AId, AParams);
  return Definition(AId, AParams);
}

void TServer::Initialize(const QJsonValue& AId, const QJsonObject& AParams) {
  if (FInitialized) {
    FOutput.Fail(AId, ecInvalidRequest, "initialize was sent twice");
    return;
  }
  const QJsonObject options = AParams.value("initializationOptions").toObject();
  std::optional<TTarget> target = FLine.Target;
  if (options.contains("target")) {
    const std::string text = S(options.value("target").toString());
    target = ParseTarget(text);
    if (!target) throw EInvalidParams("initializationOptions.target wants CPU-OS or CPU-OS-WIDGETSET as the compiler and Lazarus name them (x86_64-linux, x86_64-linux-qt5), not '" + text + "'");
  }
  // The user's project: the workspace folders, else the root the client
  // names (rootUri, or the older rootPath).
  for (const QJsonValue& folder : AParams.value("workspaceFolders").toArray())
    if (const std::string path = PathOfUri(S(folder.toObject().value("uri").toString())); !path.empty())
      FProjects.push_back(path);
  if (FProjects.empty()) {
    std::string root = PathOfUri(S(AParams.value("rootUri").toString()));
    if (root.empty()) root = S(AParams.value("rootPath").toString());
    if (!root.empty()) FProjects.push_back(root);
  }
  // The libraries: the client's, else the command line's, else the settings'.
  if (options.value("root").isString()) FLibraries.push_back(S(options.value("root").toString()));
  const QJsonValue libraries = options.value("libraries");
  if (!libraries.isUndefined() && !libraries.isArray())
    throw EInvalidParams("initializationOptions.libraries wants an array of folders");
  for (const QJsonValue& library : libraries.toArray()) {
    if (!library.isString() || library.toString().isEmpty())
      throw EInvalidParams("initializationOptions.libraries wants folders' names, not " +
                           S(QString::fromUtf8(QJsonDocument(QJsonArray{library}).toJson(QJsonDocument::Compact))));
    FLibraries.push_back(S(library.toString()));
  }
  if (FLibraries.empty()) FLibraries = FLine.Roots;
  if (FLibraries.empty())
    if (const std::string folder = ToolSourceFolder(); !folder.empty() && folder != " ") FLibraries.push_back(folder);
  if (FLibraries.empty() && FProjects.empty())
    throw EInvalidParams("no source folder is set: choose one in the IDE (File > Vantry > Options...) or give initializationOptions.root");
  const QJsonObject capabilities = AParams.value("capabilities").toObject();
  const QJsonObject general = capabilities.value("general").toObject();
  for (const QJsonValue& encoding : general.value("positionEncodings").toArray())
    if (encoding.toString() == "utf-8") FUtf8 = true;
  FProgressSupported = capabilities.value("window").toObject().value("workDoneProgress").toBool();
  FHierarchical = capabilities.value("textDocument").toObject().value("documentSymbol").toObject()
                      .value("hierarchicalDocumentSymbolSupport").toBool();
  const QJsonObject workspace = capabilities.value("workspace").toObject();
  FWatchSupported = workspace.value("didChangeWatchedFiles").toObject().value("dynamicRegistration").toBool();
  FIndex.SetTarget(target ? *target : ChosenTarget(ReadTargetChoice()));
  SetRoots();
  FInitialized = true;
  const QJsonObject serverCapabilities{
      {"positionEncoding", FUtf8 ? "utf-8" : "utf-16"},
      {"textDocumentSync", QJsonObject{{"openClose", true}, {"change", 2}, {"save", QJsonObject{{"includeText", false}}}}},
      {"definitionProvider", true},
      {"declarationProvider", true},
      {"implementationProvider", true},
      {"referencesProvider", QJsonObject{{"workDoneProgress", true}}},
      {"hoverProvider", true},
      {"documentSymbolProvider", true},
      {"workspaceSymbolProvider", true},
      {"workspace", QJsonObject{{"workspaceFolders", QJsonObject{{"supported", true}, {"changeNotifications", true}}}}},
  };
  FOutput.Answer(AId, QJsonObject{{"capabilities", serverCapabilities},
                                  {"serverInfo", QJsonObject{{"name", "vantry-lsp"}, {"version", VANTRY_VERSION}}}});
}

void TServer::SetRoots() {
  std::vector<TWorkspaceRoot> roots;
  for (const auto* list : {&FProjects, &FOpenedProjects})
    for (const std::string& path : *list) roots.push_back({path, true});
  for (const std::string& path : FLibraries) roots.push_back({path, false});
  FIndex.SetRoots(std::move(roots), true);
  FRootsText.clear();
  for (const TWorkspaceRoot& root : FIndex.Roots())
    FRootsText += (FRootsText.empty() ? "" : ", ") + root.Path + (root.Project ? " (project)" : "");
  Log("serving %s for %s", FRootsText.c_str(), FIndex.Target().Name().c_str());
}

// A file of no folder of the workspace brings its project in; requests
// wait until its folder is indexed.
void TServer::TakeInProjectOf(const std::string& AUri) {
  const std::string path = PathOfUri(AUri);
  if (path.empty() || FIndex.Holds(path)) return;
  const std::string project = ProjectFolderOf(path);
  if (project.empty() || std::find(FOpenedProjects.begin(), FOpenedProjects.end(), project) != FOpenedProjects.end()) return;
  FOpenedProjects.push_back(project);
  SetRoots();
}

void TServer::ChangeWorkspaceFolders(const QJsonObject& AEvent) {
  auto paths = [&](const char* AKey) {
    std::vector<std::string> found;
    for (const QJsonValue& folder : AEvent.value(AKey).toArray())
      if (const std::string path = PathOfUri(S(folder.toObject().value("uri").toString())); !path.empty())
        found.push_back(path);
    return found;
  };
  for (const std::string& path : paths("removed")) std::erase(FProjects, path);
  for (const std::string& path : paths("added"))
    if (std::find(FProjects.begin(), FProjects.end(), path) == FProjects.end()) FProjects.push_back(path);
  SetRoots();
}

// Asks the client to tell of Pascal files changed on disk (by another
// program, a checkout, a build), when it can watch files for a server.
void TServer::WatchFiles() {
  if (!FWatchSupported) return;
  const QJsonObject watcher{{"globPattern", "**/*.{pas,pp,p,inc,lpr,dpr,PAS,PP,INC}"}};
  const QJsonObject registration{{"id", "vantry-watched-files"},
                                 {"method", "workspace/didChangeWatchedFiles"},
                                 {"registerOptions", QJsonObject{{"watchers", QJsonArray{watcher}}}}};
  FOutput.Send({{"id", "vantry-watch"}, {"method", "client/registerCapability"},
                {"params", QJsonObject{{"registrations", QJsonArray{registration}}}}});
}

void TServer::FilesChanged(const std::vector<std::string>& AChanged) {
  // While a walk runs, a refresh is a walk after it (the running one may
  // have passed the file already).
  if (FIndex.Building()) return FIndex.Refresh(true);
  bool updated = !AChanged.empty();
  for (const std::string& path : AChanged) updated = updated && (path.empty() || FIndex.UpdateFile(path) || !FIndex.Holds(path));
  if (!updated) FIndex.Refresh(true);
}

// What the index is doing, told to the client; waiting requests answered
// once the table has come.
void TServer::Tick() {
  if (!FInitialized) return;
  const bool building = FIndex.Building();
  FIndex.Poll();
  if (FIndex.Declarations() && FIndex.DeclarationGeneration() != FTableGeneration) {
    FTableGeneration = FIndex.DeclarationGeneration();
    FResolver.reset();
  }
  ReportProgress(building && FIndex.Building());
  if (building && !FIndex.Building() && !FIndex.LastReport().Error.empty()) {
    const std::string message = "cannot read " + FIndex.ReportedRoot() + ": " + FIndex.LastReport().Error;
    Log("%s", message.c_str());
    FOutput.Notify("window/showMessage", QJsonObject{{"type", 1}, {"message", Q(message)}});
  }
  if (!FWaiting.empty() && (FIndex.Declarations() || !FIndex.Building())) {
    std::vector<QJsonObject> waiting;
    waiting.swap(FWaiting);
    for (const QJsonObject& message : waiting) Dispatch(message);
  }
}

void TServer::ReportProgress(bool ABuilding) {
  if (!FProgressSupported || !FClientReady) return;
  const auto now = std::chrono::steady_clock::now();
  if (ABuilding && !FProgressShown) {
    FProgressShown = true;
    FProgressTold = now;
    FOutput.Send({{"id", "vantry-index-progress"}, {"method", "window/workDoneProgress/create"},
                  {"params", QJsonObject{{"token", "vantry-index"}}}});
    FOutput.Notify("$/progress", QJsonObject{{"token", "vantry-index"},
                                             {"value", QJsonObject{{"kind", "begin"}, {"title", "Indexing the library"},
                                                                   {"message", Q(FRootsText)}, {"cancellable", false}}}});
  } else if (ABuilding && now - FProgressTold > std::chrono::milliseconds(500)) {
    FProgressTold = now;
    FOutput.Notify("$/progress", QJsonObject{{"token", "vantry-index"},
                                             {"value", QJsonObject{{"kind", "report"},
                                                                   {"message", Q(std::to_string(FIndex.Files().FileCount()) + " files")}}}});
  } else if (!ABuilding && FProgressShown) {
    FProgressShown = false;
    const auto table = FIndex.Declarations();
    const std::string message = table ? std::to_string(table->Count()) + " declarations" : "no declarations";
    FOutput.Notify("$/progress", QJsonObject{{"token", "vantry-index"},
                                             {"value", QJsonObject{{"kind", "end"}, {"message", Q(message)}}}});
  }
}

void TServer::Cancel(const QJsonValue& AId) {
  for (auto it = FWaiting.begin(); it != FWaiting.end(); ++it) {
    if (it->value("id") == AId) {
      FWaiting.erase(it);
      FOutput.Fail(AId, ecRequestCancelled, "cancelled");
      return;
    }
  }
  FWorker.Cancel(KeyOf(AId));
}

// The document a request names: the editor's text when it is open, else
// the file as it is on disk.
const TDocument& TServer::DocumentOf(const QJsonObject& AParams) {
  const std::string uri = StringAt(ObjectAt(AParams, "textDocument"), "uri");
  if (const TDocument* open = FDocuments.Find(uri)) return *open;
  FUnopened.Path = PathOfUri(uri);
  if (FUnopened.Path.empty()) throw EInvalidParams(uri + " is neither open nor a file");
  std::ifstream in(FUnopened.Path, std::ios::binary);
  if (!in) throw EInvalidParams(uri + " is not open and cannot be read: " + std::strerror(errno));
  FUnopened.Text.Set(ReadText(FUnopened.Path));
  return FUnopened;
}

TResolver& TServer::Resolver() {
  if (!FResolver) {
    FResolver = std::make_unique<TResolver>(FIndex.Declarations(), FIndex.Target());
    FResolver->SetTextSource([this](const std::string& APath) -> const std::string* {
      const TText* text = FDocuments.TextOf(APath);
      return text ? &text->Text : nullptr;
    });
  }
  return *FResolver;
}

// A place in a file of the library (or an open document): its line text
// is needed only when columns are counted in UTF-16.
QJsonObject TServer::Location(const std::string& APath, uint32_t ALine, uint32_t AColumn, uint32_t ALength,
                              std::map<std::string, TText>& AFiles) {
  std::string_view line;
  if (!FUtf8) {
    const TText* text = FDocuments.TextOf(APath);
    if (!text) {
      auto [it, added] = AFiles.try_emplace(APath);
      if (added) it->second.Set(ReadText(APath));
      text = &it->second;
    }
    line = text->Line(ALine - 1);
  }
  return RangeLocation(APath, line, ALine, AColumn, ALength, FUtf8);
}

void TServer::Definition(const QJsonValue& AId, const QJsonObject& AParams) {
  const TDocument& document = DocumentOf(AParams);
  const uint32_t offset = document.Text.OffsetOf(PositionAt(AParams, "position"), FUtf8);
  if (!FIndex.Declarations()) return FOutput.Answer(AId, QJsonValue::Null);
  const TResolution resolution = Resolver().Resolve(document.Path, document.Text.Text, offset);
  if (!resolution.Note.empty()) Log("%s", resolution.Note.c_str());
  QJsonArray locations;
  std::map<std::string, TText> files;
  for (const TAnswer& a : resolution.Answers)
    locations.append(Location(a.Path, a.Line, a.Column, static_cast<uint32_t>(LastName(a.Name).size()), files));
  FOutput.Answer(AId, locations);
}

// The other half of the routine at the place, as "Go to Routine Body" and
// "Go to Routine Heading" find it: from a heading its body, from a body
// its heading.
void TServer::Implementation(const QJsonValue& AId, const QJsonObject& AParams) {
  const TDocument& document = DocumentOf(AParams);
  const uint32_t offset = document.Text.OffsetOf(PositionAt(AParams, "position"), FUtf8);
  if (!FIndex.Declarations()) return FOutput.Answer(AId, QJsonValue::Null);
  const TCounterpart found = CounterpartOf(Resolver(), document.Path, document.Text.Text, offset);
  if (found.Empty()) {
    Log("%s", found.Note.c_str());
    return FOutput.Answer(AId, QJsonArray());
  }
  std::map<std::string, TText> files;
  FOutput.Answer(AId, QJsonArray{Location(found.Place.Path, found.Place.Line, found.Place.Column,
                                          static_cast<uint32_t>(LastName(found.Place.Name).size()), files)});
}

void TServer::Hover(const QJsonValue& AId, const QJsonObject& AParams) {
  const TDocument& document = DocumentOf(AParams);
  const uint32_t offset = document.Text.OffsetOf(PositionAt(AParams, "position"), FUtf8);
  if (!FIndex.Declarations()) return FOutput.Answer(AId, QJsonValue::Null);
  const TResolution resolution = Resolver().Resolve(document.Path, document.Text.Text, offset);
  if (resolution.Answers.empty()) return FOutput.Answer(AId, QJsonValue::Null);
  const TAnswer& answer = resolution.Answers.front();
  // The asked text as it stands, else the declaration's file.
  const TPeek peek = answer.Path == document.Path ? PeekAt(answer, document.Text.Text) : PeekAt(answer);
  if (peek.Empty()) return FOutput.Answer(AId, QJsonValue::Null);
  std::string markdown = "```pascal\n" + peek.Heading + "\n```\n";
  if (!peek.Comment.empty()) markdown += "\n" + peek.Comment + "\n";
  markdown += "\n" + peek.Kind + " `" + peek.Name + "` in " + peek.Module + ", " +
              std::filesystem::path(peek.Path).filename().string() + " line " + std::to_string(peek.Line);
  if (!resolution.Via.empty()) markdown += " (" + resolution.Via + ")";
  FOutput.Answer(AId, QJsonObject{{"contents", QJsonObject{{"kind", "markdown"}, {"value", Q(markdown)}}}});
}

void TServer::WorkspaceSymbols(const QJsonValue& AId, const QJsonObject& AParams) {
  const std::string query = StringAt(AParams, "query");
  const auto table = FIndex.Declarations();
  QJsonArray symbols;
  if (table && !query.empty()) {
    FSearch.SetTarget(FIndex.Target());
    FSearch.Search(*table, FIndex.DeclarationGeneration(), query, WorkspaceSymbolLimit);
    std::map<std::string, TText> files;
    for (const TRankedDeclaration& r : FSearch.Results()) {
      const TDeclarationEntry& e = table->Entry(r.Declaration);
      const std::string name = table->QualifiedName(r.Declaration);
      const std::string kind = DeclarationKindName(e.Kind());
      const size_t dot = name.rfind('.');
      QJsonObject symbol{{"name", Q(name)},
                         {"kind", SymbolKind(kind, dot != std::string::npos)},
                         {"location", Location(table->FullPath(table->FileOf(r.Declaration)), e.Line, e.Column,
                                               static_cast<uint32_t>(LastName(name).size()), files)}};
      if (dot != std::string::npos) symbol.insert("containerName", Q(name.substr(0, dot)));
      symbols.append(symbol);
    }
  }
  FOutput.Answer(AId, symbols);
}

void TServer::DocumentSymbols(const QJsonValue& AId, const QJsonObject& AParams) {
  const TDocument& document = DocumentOf(AParams);
  const TText& text = document.Text;
  const std::vector<TOutlineItem> items =
      OutlineOf(text.Text, IsIncludeFileName(std::filesystem::path(document.Path).filename().string()));
  const uint32_t lastLine = static_cast<uint32_t>(text.LineStarts.size() - 1);
  auto nameRange = [&](const TOutlineItem& AItem) {
    const std::string_view line = text.Line(AItem.Line - 1);
    const uint32_t column = AItem.Column - 1;
    const uint32_t length = std::max<uint32_t>(IdentifierLength(line, column), 0);
    return QJsonObject{{"start", Position(AItem.Line - 1, CharacterOf(line, column, FUtf8))},
                       {"end", Position(AItem.Line - 1, CharacterOf(line, column + length, FUtf8))}};
  };
  auto name = [](const TOutlineItem& AItem) { return Q(AItem.Name.empty() ? AItem.Kind : AItem.Name); };
  if (!FHierarchical) {
    QJsonArray symbols;
    for (const TOutlineItem& item : items)
      symbols.append(QJsonObject{{"name", name(item)},
                                 {"kind", SymbolKind(item.Kind, item.Depth > 1 || item.Name.find('.') != std::string::npos)},
                                 {"location", QJsonObject{{"uri", Q(UriOfPath(document.Path))}, {"range", nameRange(item)}}}});
    return FOutput.Answer(AId, symbols);
  }
  // Each item spans to the line before the next item that is not below
  // it, so the children lie inside their parent's range. A long unit has
  // thousands of symbols: they are written as JSON text straight away,
  // which takes a fraction of the time nested Qt JSON objects take.
  std::string json = "[";
  auto position = [&](uint32_t ALine, uint32_t ACharacter) {
    json += "{\"line\":" + std::to_string(ALine) + ",\"character\":" + std::to_string(ACharacter) + "}";
  };
  std::function<void(size_t&, int)> level = [&](size_t& AAt, int ADepth) {
    bool first = true;
    while (AAt < items.size() && items[AAt].Depth >= ADepth) {
      const TOutlineItem& item = items[AAt++];
      const uint32_t line = item.Line - 1;
      const std::string_view lineText = text.Line(line);
      const uint32_t column = item.Column - 1;
      const uint32_t nameStart = CharacterOf(lineText, column, FUtf8);
      const uint32_t nameEnd = CharacterOf(lineText, column + IdentifierLength(lineText, column), FUtf8);
      // The next item not below this one, found ahead of the children.
      size_t next = AAt;
      while (next < items.size() && items[next].Depth > item.Depth) ++next;
      uint32_t endLine = next < items.size() ? items[next].Line - 1 : lastLine + 1;
      endLine = std::max(endLine, item.Line) - 1;
      if (next < items.size() && items[next].Line == item.Line) endLine = line;
      uint32_t endCharacter = CharacterOf(text.Line(endLine), UINT32_MAX, FUtf8);
      if (endLine == line) endCharacter = std::max(endCharacter, nameEnd);
      if (!first) json += ',';
      first = false;
      json += "{\"name\":";
      AppendJsonString(json, item.Name.empty() ? item.Kind : item.Name);
      json += ",\"kind\":" + std::to_string(SymbolKind(item.Kind, item.Depth > 1 || item.Name.find('.') != std::string::npos));
      if (!item.Detail.empty()) {
        json += ",\"detail\":";
        AppendJsonString(json, item.Detail);
      }
      json += ",\"range\":{\"start\":";
      position(line, 0);
      json += ",\"end\":";
      position(endLine, endCharacter);
      json += "},\"selectionRange\":{\"start\":";
      position(line, nameStart);
      json += ",\"end\":";
      position(line, nameEnd);
      json += "}";
      if (AAt < items.size() && items[AAt].Depth > item.Depth) {
        json += ",\"children\":[";
        level(AAt, item.Depth + 1);
        json += "]";
      }
      json += "}";
    }
  };
  size_t at = 0;
  while (at < items.size()) {  // an item less deep than the first still shows
    if (at > 0) json += ',';
    level(at, items[at].Depth);
  }
  json += "]";
  FOutput.AnswerText(AId, json);
}

// References run on the worker: the main thread goes on reading, so a
// cancellation reaches the search between files.
void TServer::References(const QJsonValue& AId, const QJsonObject& AParams) {
  const TDocument& document = DocumentOf(AParams);
  const uint32_t offset = document.Text.OffsetOf(PositionAt(AParams, "position"), FUtf8);
  const auto table = FIndex.Declarations();
  if (!table) return FOutput.Answer(AId, QJsonValue::Null);
  const bool withDeclaration = AParams.value("context").toObject().value("includeDeclaration").toBool(true);
  const QJsonValue token = AParams.value("workDoneToken");
  auto texts = std::make_shared<const std::map<std::string, std::string>>(FDocuments.Texts());
  FWorker.Add(KeyOf(AId), [this, AId, table, target = FIndex.Target(), path = document.Path, text = document.Text.Text,
                           offset, withDeclaration, token, utf8 = FUtf8, texts](const std::atomic<bool>& ACancel) {
    try {
      if (ACancel) return FOutput.Fail(AId, ecRequestCancelled, "cancelled");  // while it waited its turn
      if (FReferenceTable != table) {
        FReferenceSearch = std::make_unique<TReferenceSearch>(table, target);
        FReferenceTable = table;
      }
      FReferenceSearch->SetTextSource([texts](const std::string& APath) -> const std::string* {
        const auto it = texts->find(APath);
        return it == texts->end() ? nullptr : &it->second;
      });
      const TReferenceTarget found = FReferenceSearch->TargetAt(path, text, offset);
      if (!found.Note.empty()) Log("%s", found.Note.c_str());
      const bool progress = token.isString() || token.isDouble();
      if (progress)
        FOutput.Notify("$/progress", QJsonObject{{"token", token}, {"value", QJsonObject{{"kind", "begin"},
                                                    {"title", Q("References to " + found.QualifiedName)}, {"percentage", 0}}}});
      int told = 0;
      const std::vector<TReference> references = FReferenceSearch->Find(
          found, {}, &ACancel, [&](size_t ADone, size_t ATotal) {
            const int percentage = ATotal ? static_cast<int>(ADone * 100 / ATotal) : 100;
            if (progress && percentage >= told + 10) {
              told = percentage;
              FOutput.Notify("$/progress", QJsonObject{{"token", token},
                                                       {"value", QJsonObject{{"kind", "report"}, {"percentage", percentage}}}});
            }
          });
      if (progress) FOutput.Notify("$/progress", QJsonObject{{"token", token}, {"value", QJsonObject{{"kind", "end"}}}});
      if (ACancel) return FOutput.Fail(AId, ecRequestCancelled, "cancelled");
      QJsonArray locations;
      for (const TReference& r : references)
        if (withDeclaration || r.Kind != rkDeclaration)
          locations.append(RangeLocation(r.Path, r.LineText, r.Line, r.Column, r.Length, utf8));
      FOutput.Answer(AId, locations);
    } catch (const std::exception& e) {
      Log("references failed: %s", e.what());
      FOutput.Fail(AId, ecInternalError, std::string("references failed: ") + e.what());
    }
  });
}

}  // namespace Vantry::Lsp
