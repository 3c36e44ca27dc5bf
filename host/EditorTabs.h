#pragma once
// The IDE's source editor: one tab per file. A file is known by its path as
// bytes, exactly as the file system has it (a name need not be valid UTF-8),
// and two paths are the same file when their canonical forms are equal.
// Text that is not valid UTF-8 is read and written back as Latin-1; a byte
// order mark and CR LF line ends are kept as they were. Library sources and
// files this user cannot write open read-only, under a bar that says so.

#include "SourceEditor.h"

#include <QTabWidget>

#include <functional>
#include <map>
#include <string>
#include <vector>

class QLabel;
class QPushButton;

namespace Vantry {

class TEditorTabs final : public QTabWidget {
  Q_OBJECT

public:
  explicit TEditorTabs(QWidget* AParent = nullptr);

  bool IsFileOpen(const std::string& APath) const;
  // The tab width in columns of every editor, open and to come.
  void SetTabWidth(int AColumns);
  // Which files are library sources, read but not edited (by canonical path).
  void SetLibraryTest(std::function<bool(const std::string&)> AIsLibrary) { FIsLibrary = std::move(AIsLibrary); }
  // Opens the file in a new tab, or shows the tab that has it already; a
  // library source (ALibrary, or one SetLibraryTest names) opens read-only.
  // False, with the reason in AError, when it cannot be read.
  bool OpenFile(const std::string& APath, std::string& AError, bool ALibrary = false);
  // Writes the tab's text to its file (to APath for SaveAs), replacing the
  // file only once the new content is safely on disk.
  bool Save(int AIndex, std::string& AError);
  bool SaveAs(int AIndex, const std::string& APath, std::string& AError);
  void CloseTab(int AIndex);

  // The identifier the current tab's cursor is on or just after, as UTF-8;
  // empty when there is none.
  std::string IdentifierAtCursor() const;
  // Puts the current tab's cursor on line ALine at byte AColumn of the line
  // as its file has it (both from 1; beyond the end means at the end), and
  // shows it.
  void GoTo(int ALine, int AColumn);
  // The current tab's text as UTF-8 and the cursor's byte offset in it;
  // false when no tab is open.
  bool CurrentText(std::string& AText, size_t& ACursor) const;
  // The UTF-8 texts of the tabs with unsaved edits, by path.
  std::map<std::string, std::string> UnsavedTexts() const;

  bool IsModified(int AIndex) const;
  const std::string& PathOf(int AIndex) const;
  TSourceEditor* EditorOf(int AIndex) const;
  TSourceEditor* CurrentEditor() const { return currentIndex() < 0 ? nullptr : EditorOf(currentIndex()); }
  // "UTF-8", "UTF-8 with BOM" or "Latin-1", with ", CRLF" for CR LF line ends.
  QString EncodingOf(int AIndex) const;
  // Lets a read-only library file be edited, when the user may write it.
  bool MakeEditable(int AIndex);
  // The file's name and folder for the window's title.
  QString TitleOf(int AIndex) const;
  // The path as a person reads it (invalid UTF-8 shown as replacement marks).
  static QString DisplayPath(const std::string& APath);

  // The current tab's cursor on the screen (the bottom left of its line);
  // false when no tab is open.
  bool CursorPoint(QPoint& APoint) const;

signals:
  // Another tab became current, or the current one's cursor moved, its path
  // changed or it became writable.
  void CurrentStateChanged();
  // The mouse rested half a second over a tab's text: its file, its text
  // as UTF-8, the byte offset under the mouse, the mouse on the screen.
  void Hovered(const std::string& APath, const std::string& AText, size_t AOffset, QPoint AGlobal);

private:
  // How the file was written, so that saving writes it the same way.
  struct TFileFormat {
    bool Latin1 = false;  // the bytes were not UTF-8
    bool Bom = false;     // a UTF-8 byte order mark came first
    bool Crlf = false;    // lines ended with CR LF
  };
  struct TDocument {
    std::string Path;       // as opened or saved as
    std::string Canonical;  // for comparisons
    TFileFormat Format;
    TSourceEditor* Editor = nullptr;
    QWidget* Page = nullptr;          // the tab: the read-only bar above the editor
    QWidget* ReadOnlyBar = nullptr;
  };

  int IndexOf(const std::string& ACanonical) const;
  int IndexOfEditor(const QObject* AEditor) const;
  // Names every tab, with the folder that tells apart files of one name.
  void UpdateTitles();
  QWidget* NewReadOnlyBar(TDocument& ADocument, bool AWritable);

  std::vector<TDocument> FDocuments;  // in tab order
  std::function<bool(const std::string&)> FIsLibrary;
  int FTabWidth = 8;
};

// The canonical path of an existing file, or the path itself.
std::string CanonicalPath(const std::string& APath);
// Replaces the file with AContent: written to a temporary file beside it,
// flushed to disk, then renamed over it, so a failure leaves the old file.
bool WriteFileAtomically(const std::string& APath, const std::string& AContent, std::string& AError);

}  // namespace Vantry
