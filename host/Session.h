#pragma once
// What the IDE keeps from one run to the next: the window's geometry, the
// open tabs with their cursor and scroll positions, the last find query and
// the files opened last. Kept in the user's registry hive as one value, so
// that it is written whole or not at all.

#include "SourceEditor.h"

#include <QByteArray>

#include <string>
#include <vector>

namespace Vantry {

struct TSessionTab {
  std::string Path;
  size_t Cursor = 0;    // byte offset
  int FirstLine = 0;    // the first line shown, from 0
};

struct TSession {
  static constexpr size_t MostRecent = 10;

  QByteArray Geometry;  // as QWidget::saveGeometry gives it
  std::vector<TSessionTab> Tabs;
  int Current = -1;     // the tab shown
  TFindQuery Find;
  std::vector<std::string> Recent;  // the latest first

  // Puts the file first among the recent ones.
  void AddRecent(const std::string& APath);
};

// Paths are kept byte for byte, whatever their encoding.
QByteArray SessionToJson(const TSession& ASession);
// False, with ASession untouched, when the text is not a session.
bool SessionFromJson(const QByteArray& AJson, TSession& ASession);

// The session of the last run, or an empty one; a value that cannot be read
// is reported in AError and left as it is until the next save.
TSession LoadSession(std::string& AError);
bool SaveSession(const TSession& ASession, std::string& AError);

// The editor's tab width in columns: the registry's TabWidth under the
// IDE's key, 8 (as Free Pascal's sources assume) when unset or not 1 to 16.
int TabWidthSetting();

}  // namespace Vantry
