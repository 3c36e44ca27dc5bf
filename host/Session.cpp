#include "Session.h"

#include "platform/Registry.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace Vantry {

namespace {

// The IDE's own settings, beside the add-ins' under Software.
constexpr const char* IdeKey = "\\Software\\Vantry\\IDE";
constexpr const char* SessionValue = "Session";

QString PathToJson(const std::string& APath) {
  return QString::fromLatin1(QByteArray(APath.data(), static_cast<qsizetype>(APath.size())).toPercentEncoding("/"));
}

std::string PathFromJson(const QJsonValue& AValue) {
  const QByteArray bytes = QByteArray::fromPercentEncoding(AValue.toString().toLatin1());
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace

void TSession::AddRecent(const std::string& APath) {
  Recent.erase(std::remove(Recent.begin(), Recent.end(), APath), Recent.end());
  Recent.insert(Recent.begin(), APath);
  if (Recent.size() > MostRecent) Recent.resize(MostRecent);
}

QByteArray SessionToJson(const TSession& ASession) {
  QJsonArray tabs, recent;
  for (const TSessionTab& tab : ASession.Tabs)
    tabs.append(QJsonObject{{"path", PathToJson(tab.Path)},
                            {"cursor", static_cast<qint64>(tab.Cursor)},
                            {"firstLine", tab.FirstLine}});
  for (const std::string& path : ASession.Recent) recent.append(PathToJson(path));
  const QJsonObject find{{"text", ASession.Find.Text},
                         {"matchCase", ASession.Find.MatchCase},
                         {"wholeWord", ASession.Find.WholeWord},
                         {"regularExpression", ASession.Find.RegularExpression}};
  const QJsonObject session{{"geometry", QString::fromLatin1(ASession.Geometry.toBase64())},
                            {"tabs", tabs},
                            {"current", ASession.Current},
                            {"find", find},
                            {"recent", recent}};
  return QJsonDocument(session).toJson(QJsonDocument::Compact);
}

bool SessionFromJson(const QByteArray& AJson, TSession& ASession) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(AJson, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return false;
  const QJsonObject session = document.object();
  TSession read;
  read.Geometry = QByteArray::fromBase64(session["geometry"].toString().toLatin1());
  for (const QJsonValue& value : session["tabs"].toArray()) {
    const QJsonObject tab = value.toObject();
    const std::string path = PathFromJson(tab["path"]);
    if (path.empty()) continue;
    read.Tabs.push_back({path, static_cast<size_t>(std::max<qint64>(0, tab["cursor"].toInteger())),
                         std::max(0, tab["firstLine"].toInt())});
  }
  read.Current = session["current"].toInt(-1);
  const QJsonObject find = session["find"].toObject();
  read.Find = {find["text"].toString(), find["matchCase"].toBool(), find["wholeWord"].toBool(),
               find["regularExpression"].toBool()};
  for (const QJsonValue& value : session["recent"].toArray())
    if (std::string path = PathFromJson(value); !path.empty() && read.Recent.size() < TSession::MostRecent)
      read.Recent.push_back(path);
  ASession = std::move(read);
  return true;
}

TSession LoadSession(std::string& AError) {
  TSession session;
  try {
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    if (!reg.OpenKey(IdeKey, false) || !reg.ValueExists(SessionValue)) return session;
    const std::string json = reg.ReadString(SessionValue);
    if (!SessionFromJson(QByteArray::fromStdString(json), session))
      AError = "The IDE's last session (" + std::string(IdeKey).substr(1) + "\\" + SessionValue +
               " in the user's registry) cannot be read; the IDE starts without it.";
  } catch (const std::exception& e) {
    AError = std::string("Cannot read the IDE's last session: ") + e.what();
  }
  return session;
}

bool SaveSession(const TSession& ASession, std::string& AError) {
  try {
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    if (!reg.OpenKey(IdeKey, true)) {
      AError = "Cannot create the registry key of the IDE's session";
      return false;
    }
    reg.WriteString(SessionValue, SessionToJson(ASession).toStdString());
    return true;
  } catch (const std::exception& e) {
    AError = std::string("Cannot keep the IDE's session: ") + e.what();
    return false;
  }
}

int TabWidthSetting() {
  try {
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    if (reg.OpenKey(IdeKey, false) && reg.ValueExists("TabWidth")) {
      const int width = reg.ReadInteger("TabWidth");
      if (width >= 1 && width <= 16) return width;
    }
  } catch (const std::exception&) {
    // A hive that cannot be read was reported at the start; the default serves.
  }
  return 8;
}

}  // namespace Vantry
