#pragma once
// The language server: reads the client's messages from standard input,
// answers them on standard output with the navigation engine, and keeps the
// library's index up to date meanwhile.

#include "Documents.h"
#include "Framing.h"
#include "Worker.h"

#include "index/DeclarationRanking.h"
#include "index/Workspace.h"
#include "index/Target.h"
#include "navigation/References.h"
#include "navigation/Resolver.h"

#include <QJsonObject>
#include <QJsonValue>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vantry::Lsp {

// What the command line chose, for a client whose initializationOptions do
// not.
struct TCommandLine {
  std::vector<std::string> Roots;  // libraries
  std::optional<TTarget> Target;
};

class TServer {
public:
  explicit TServer(TCommandLine ALine);

  // Serves until exit; the process's exit status.
  int Serve();

private:
  void Receive(const std::string& ABody);
  void Dispatch(const QJsonObject& AMessage);
  void Notification(const std::string& AMethod, const QJsonObject& AParams);
  void Request(const QJsonValue& AId, const std::string& AMethod, const QJsonObject& AParams, const QJsonObject& AMessage);
  void Initialize(const QJsonValue& AId, const QJsonObject& AParams);
  // The workspace's folders: the client's workspace folders and the
  // projects of the files opened outside them, then the libraries.
  void SetRoots();
  void ChangeWorkspaceFolders(const QJsonObject& AEvent);
  void TakeInProjectOf(const std::string& AUri);
  void WatchFiles();
  // Files changed on disk, or saved: each read again alone (AChanged), or,
  // for files created or deleted (none named), the folders walked again.
  void FilesChanged(const std::vector<std::string>& AChanged);
  void Tick();
  void ReportProgress(bool ABuilding);
  void Cancel(const QJsonValue& AId);
  const TDocument& DocumentOf(const QJsonObject& AParams);
  TResolver& Resolver();
  QJsonObject Location(const std::string& APath, uint32_t ALine, uint32_t AColumn, uint32_t ALength,
                       std::map<std::string, TText>& AFiles);

  void Definition(const QJsonValue& AId, const QJsonObject& AParams);
  void Implementation(const QJsonValue& AId, const QJsonObject& AParams);
  void Hover(const QJsonValue& AId, const QJsonObject& AParams);
  void WorkspaceSymbols(const QJsonValue& AId, const QJsonObject& AParams);
  void DocumentSymbols(const QJsonValue& AId, const QJsonObject& AParams);
  void References(const QJsonValue& AId, const QJsonObject& AParams);

  TCommandLine FLine;
  TOutput FOutput;
  TWorkspace FIndex;
  std::vector<std::string> FProjects;   // the client's workspace folders
  std::vector<std::string> FOpenedProjects;  // the projects of files opened outside every folder
  std::vector<std::string> FLibraries;
  std::string FRootsText;  // the folders, for the log and the progress
  bool FWatchSupported = false;
  bool FInitialized = false, FClientReady = false, FShutdown = false, FExit = false;
  bool FUtf8 = false, FProgressSupported = false, FHierarchical = false;
  bool FProgressShown = false;
  std::chrono::steady_clock::time_point FProgressTold;
  TDocuments FDocuments;
  TDocument FUnopened;  // a file asked about that the editor has not opened
  std::vector<QJsonObject> FWaiting;  // requests that wait for the first table
  uint64_t FTableGeneration = 0;
  std::unique_ptr<TResolver> FResolver;
  TDeclarationSearch FSearch;
  // The worker's own: touched by its thread alone.
  std::shared_ptr<const TDeclarationTable> FReferenceTable;
  std::unique_ptr<TReferenceSearch> FReferenceSearch;
  TWorker FWorker;  // last: it stops, and its jobs end, before the members they use go
};

}  // namespace Vantry::Lsp
