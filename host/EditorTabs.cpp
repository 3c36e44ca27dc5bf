#include "EditorTabs.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringDecoder>
#include <QVBoxLayout>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace Vantry {

std::string CanonicalPath(const std::string& APath) {
  char resolved[PATH_MAX];
  return realpath(APath.c_str(), resolved) ? std::string(resolved) : APath;
}

bool WriteFileAtomically(const std::string& APath, const std::string& AContent, std::string& AError) {
  const std::string target = CanonicalPath(APath);  // keeps a link a link
  std::string temp = target + ".vantry-XXXXXX";
  int fd = mkstemp(temp.data());
  auto fail = [&](const char* AWhat) {
    AError = std::string(AWhat) + " " + target + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    unlink(temp.c_str());
    return false;
  };
  if (fd < 0) {
    AError = "Cannot write beside " + target + ": " + std::strerror(errno);
    return false;
  }
  // The new file takes the old one's permissions, or a new file's usual ones.
  struct stat st;
  if (stat(target.c_str(), &st) == 0) {
    fchmod(fd, st.st_mode & 07777);
  } else {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  for (size_t done = 0; done < AContent.size();) {
    ssize_t n = write(fd, AContent.data() + done, AContent.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("Cannot write");
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) return fail("Cannot flush");
  if (close(fd) != 0) {
    fd = -1;
    return fail("Cannot write");
  }
  fd = -1;
  if (rename(temp.c_str(), target.c_str()) != 0) return fail("Cannot replace");
  // The rename itself is made durable by flushing the folder.
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  if (int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY); dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

namespace {

// Larger files are not source files anyone edits here.
constexpr off_t MaxFileSize = 64 << 20;

// Reads a regular file. Opening does not wait (a pipe named like a unit
// would otherwise block the IDE), and devices and huge files are refused.
bool ReadFile(const std::string& APath, std::string& AContent, std::string& AError) {
  auto fail = [&](const std::string& AWhy) {
    AError = "Cannot open " + APath + ": " + AWhy;
    return false;
  };
  int fd = open(APath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));
  struct TCloser {
    int Fd;
    ~TCloser() { close(Fd); }
  } closer{fd};
  struct stat st;
  if (fstat(fd, &st) != 0) return fail(std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return fail("it is a directory");
  if (!S_ISREG(st.st_mode)) return fail("it is not a regular file");
  if (st.st_size > MaxFileSize) return fail("it is larger than 64 MiB");
  AContent.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < AContent.size()) {
    ssize_t n = read(fd, AContent.data() + done, AContent.size() - done);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return fail(std::strerror(errno));
    if (n == 0) break;  // the file shrank while it was read
    done += static_cast<size_t>(n);
  }
  AContent.resize(done);
  return true;
}

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

}  // namespace

TEditorTabs::TEditorTabs(QWidget* AParent) : QTabWidget(AParent) {
  setDocumentMode(true);
  setTabsClosable(true);
  setMovable(false);
  connect(this, &QTabWidget::currentChanged, this, &TEditorTabs::CurrentStateChanged);
}

QString TEditorTabs::DisplayPath(const std::string& APath) {
  return QString::fromUtf8(APath.data(), static_cast<qsizetype>(APath.size()));
}

int TEditorTabs::IndexOf(const std::string& ACanonical) const {
  for (size_t i = 0; i < FDocuments.size(); ++i)
    if (FDocuments[i].Canonical == ACanonical) return static_cast<int>(i);
  return -1;
}

int TEditorTabs::IndexOfEditor(const QObject* AEditor) const {
  for (size_t i = 0; i < FDocuments.size(); ++i)
    if (FDocuments[i].Editor == AEditor) return static_cast<int>(i);
  return -1;
}

bool TEditorTabs::IsFileOpen(const std::string& APath) const { return IndexOf(CanonicalPath(APath)) >= 0; }

QWidget* TEditorTabs::NewReadOnlyBar(TDocument& ADocument, bool AWritable) {
  auto* bar = new QWidget;
  bar->setAutoFillBackground(true);
  QPalette palette = bar->palette();
  palette.setColor(QPalette::Window, QColor(0xFF, 0xF4, 0xCE));
  bar->setPalette(palette);
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(8, 3, 8, 3);
  layout->addWidget(new QLabel(AWritable ? QStringLiteral("This file is a library source: it is open for reading only.")
                                         : QStringLiteral("You cannot write this file: it is open for reading only."),
                               bar),
                    1);
  if (AWritable) {
    auto* edit = new QPushButton(QStringLiteral("&Edit anyway"), bar);
    TSourceEditor* editor = ADocument.Editor;
    connect(edit, &QPushButton::clicked, this, [this, editor] { MakeEditable(IndexOfEditor(editor)); });
    layout->addWidget(edit);
  }
  return bar;
}

bool TEditorTabs::OpenFile(const std::string& APath, std::string& AError, bool ALibrary) {
  const std::string canonical = CanonicalPath(APath);
  if (int open = IndexOf(canonical); open >= 0) {
    setCurrentIndex(open);
    return true;
  }
  std::string bytes;
  if (!ReadFile(APath, bytes, AError)) return false;

  TDocument doc{APath, canonical, {}, new TSourceEditor};
  doc.Format.Bom = std::string_view(bytes).substr(0, Utf8Bom.size()) == Utf8Bom;
  QByteArrayView body(bytes.data() + (doc.Format.Bom ? Utf8Bom.size() : 0),
                      static_cast<qsizetype>(bytes.size() - (doc.Format.Bom ? Utf8Bom.size() : 0)));
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(body);
  if (utf8.hasError()) {
    doc.Format.Latin1 = true;
    text = QString::fromLatin1(body);
  }
  doc.Format.Crlf = text.contains(QStringLiteral("\r\n"));
  if (doc.Format.Crlf) text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  doc.Editor->setTabWidth(FTabWidth);
  doc.Editor->SetSourceText(text);
  const bool writable = access(APath.c_str(), W_OK) == 0;
  const bool library = ALibrary || (FIsLibrary && FIsLibrary(canonical));
  doc.Page = new QWidget;
  auto* layout = new QVBoxLayout(doc.Page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  if (library || !writable) {
    doc.Editor->setReadOnly(true);
    doc.ReadOnlyBar = NewReadOnlyBar(doc, writable);
    layout->addWidget(doc.ReadOnlyBar);
  }
  layout->addWidget(doc.Editor, 1);
  doc.Page->setFocusProxy(doc.Editor);
  TSourceEditor* editor = doc.Editor;
  FDocuments.push_back(std::move(doc));
  int index = addTab(FDocuments.back().Page, QString());
  UpdateTitles();
  connect(editor, &QsciScintilla::modificationChanged, this, [this] { UpdateTitles(); });
  connect(editor, &QsciScintilla::cursorPositionChanged, this, [this, editor] {
    if (editor == CurrentEditor()) emit CurrentStateChanged();
  });
  connect(editor, &QsciScintillaBase::SCN_DWELLSTART, this, [this, editor](int APosition, int AX, int AY) {
    const int at = IndexOfEditor(editor);
    if (at < 0 || APosition < 0) return;  // beyond the text, or the tab went meanwhile
    emit Hovered(FDocuments[at].Path, editor->Utf8Text(), static_cast<size_t>(APosition),
                 editor->viewport()->mapToGlobal(QPoint(AX, AY)));
  });
  setCurrentIndex(index);
  return true;
}

void TEditorTabs::SetTabWidth(int AColumns) {
  FTabWidth = AColumns;
  for (const TDocument& doc : FDocuments) doc.Editor->setTabWidth(AColumns);
}

bool TEditorTabs::MakeEditable(int AIndex) {
  if (AIndex < 0) return false;
  TDocument& doc = FDocuments[AIndex];
  if (access(doc.Path.c_str(), W_OK) != 0) return false;
  doc.Editor->setReadOnly(false);
  delete doc.ReadOnlyBar;
  doc.ReadOnlyBar = nullptr;
  doc.Editor->setFocus();
  if (AIndex == currentIndex()) emit CurrentStateChanged();
  return true;
}

bool TEditorTabs::Save(int AIndex, std::string& AError) { return SaveAs(AIndex, FDocuments[AIndex].Path, AError); }

bool TEditorTabs::SaveAs(int AIndex, const std::string& APath, std::string& AError) {
  TDocument& doc = FDocuments[AIndex];
  QString text = doc.Editor->text();
  if (doc.Format.Crlf) text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  // Latin-1 holds the first 256 code points only; the encoder would quietly
  // write '?' for the others.
  if (doc.Format.Latin1 && std::any_of(text.cbegin(), text.cend(), [](QChar C) { return C.unicode() > 0xFF; })) {
    AError = "Cannot save " + APath + ": the text holds characters its Latin-1 encoding cannot store";
    return false;
  }
  QByteArray bytes = doc.Format.Latin1 ? text.toLatin1() : text.toUtf8();
  std::string content = doc.Format.Bom ? std::string(Utf8Bom) : std::string();
  content.append(bytes.constData(), static_cast<size_t>(bytes.size()));
  if (!WriteFileAtomically(APath, content, AError)) return false;
  doc.Path = APath;
  doc.Canonical = CanonicalPath(APath);
  doc.Editor->setModified(false);
  UpdateTitles();
  if (AIndex == currentIndex()) emit CurrentStateChanged();
  return true;
}

void TEditorTabs::CloseTab(int AIndex) {
  QWidget* page = FDocuments[AIndex].Page;
  FDocuments.erase(FDocuments.begin() + AIndex);
  removeTab(AIndex);
  delete page;
  UpdateTitles();
}

bool TEditorTabs::IsModified(int AIndex) const { return FDocuments[AIndex].Editor->isModified(); }

const std::string& TEditorTabs::PathOf(int AIndex) const { return FDocuments[AIndex].Path; }

TSourceEditor* TEditorTabs::EditorOf(int AIndex) const { return FDocuments[AIndex].Editor; }

QString TEditorTabs::EncodingOf(int AIndex) const {
  const TFileFormat& format = FDocuments[AIndex].Format;
  QString name = format.Latin1 ? QStringLiteral("Latin-1") : format.Bom ? QStringLiteral("UTF-8 with BOM")
                                                                         : QStringLiteral("UTF-8");
  return format.Crlf ? name + QStringLiteral(", CRLF") : name;
}

QString TEditorTabs::TitleOf(int AIndex) const {
  const QFileInfo file(DisplayPath(FDocuments[AIndex].Path));
  return QStringLiteral("%1 (%2)").arg(file.fileName(), file.absolutePath());
}

std::string TEditorTabs::IdentifierAtCursor() const {
  const TSourceEditor* editor = CurrentEditor();
  if (!editor) return {};
  const std::string text = editor->Utf8Text();
  auto inIdentifier = [&](size_t I) {
    const char c = I < text.size() ? text[I] : '\0';
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  };
  size_t at = editor->CursorOffset();
  if (!inIdentifier(at)) {
    if (at == 0 || !inIdentifier(at - 1)) return {};
    --at;  // just after the word
  }
  size_t begin = at, end = at + 1;
  while (begin > 0 && inIdentifier(begin - 1)) --begin;
  while (inIdentifier(end)) ++end;
  if (text[begin] >= '0' && text[begin] <= '9') return {};  // a number, not a name
  return text.substr(begin, end - begin);
}

void TEditorTabs::GoTo(int ALine, int AColumn) {
  TSourceEditor* editor = CurrentEditor();
  if (!editor) return;
  const long lines = editor->SendScintilla(QsciScintilla::SCI_GETLINECOUNT);
  const long line = std::clamp<long>(ALine, 1, lines) - 1;
  const long start = editor->SendScintilla(QsciScintilla::SCI_POSITIONFROMLINE, line);
  const long lineEnd = editor->SendScintilla(QsciScintilla::SCI_GETLINEENDPOSITION, line);
  // Columns count the file's bytes: UTF-8 files have the editor's bytes, a
  // Latin-1 file one byte a character.
  long at = start;
  if (FDocuments[static_cast<size_t>(currentIndex())].Format.Latin1)
    for (int column = 1; column < AColumn && at < lineEnd; ++column)
      at = editor->SendScintilla(QsciScintilla::SCI_POSITIONAFTER, at);
  else
    at = std::min<long>(start + std::max(AColumn, 1) - 1, lineEnd);
  editor->SetCursorOffset(static_cast<size_t>(at), true);
  editor->setFocus();
}

bool TEditorTabs::CursorPoint(QPoint& APoint) const {
  const TSourceEditor* editor = CurrentEditor();
  if (!editor) return false;
  const long at = editor->SendScintilla(QsciScintilla::SCI_GETCURRENTPOS);
  const QPoint point(static_cast<int>(editor->SendScintilla(QsciScintilla::SCI_POINTXFROMPOSITION, 0, at)),
                     static_cast<int>(editor->SendScintilla(QsciScintilla::SCI_POINTYFROMPOSITION, 0, at) +
                                      editor->SendScintilla(QsciScintilla::SCI_TEXTHEIGHT, 0)));
  APoint = editor->viewport()->mapToGlobal(point);
  return true;
}

bool TEditorTabs::CurrentText(std::string& AText, size_t& ACursor) const {
  const TSourceEditor* editor = CurrentEditor();
  if (!editor) return false;
  AText = editor->Utf8Text();
  ACursor = editor->CursorOffset();
  return true;
}

std::map<std::string, std::string> TEditorTabs::UnsavedTexts() const {
  std::map<std::string, std::string> texts;
  for (int i = 0; i < count(); ++i)
    if (IsModified(i) && !PathOf(i).empty()) texts[PathOf(i)] = EditorOf(i)->Utf8Text();
  return texts;
}

void TEditorTabs::UpdateTitles() {
  // Files of one name show the last folders of their paths, as many as tell
  // them apart.
  std::vector<QStringList> folders(FDocuments.size());
  std::vector<QString> names(FDocuments.size());
  for (size_t i = 0; i < FDocuments.size(); ++i) {
    QStringList parts = DisplayPath(FDocuments[i].Path).split(u'/', Qt::SkipEmptyParts);
    names[i] = parts.isEmpty() ? QString() : parts.takeLast();
    folders[i] = parts;
  }
  for (size_t i = 0; i < FDocuments.size(); ++i) {
    QString title = names[i];
    std::vector<size_t> namesakes;
    for (size_t j = 0; j < FDocuments.size(); ++j)
      if (j != i && names[j] == names[i]) namesakes.push_back(j);
    if (!namesakes.empty()) {
      auto tail = [&](size_t AOf, qsizetype ADepth) { return folders[AOf].mid(std::max<qsizetype>(0, folders[AOf].size() - ADepth)).join(u'/'); };
      qsizetype depth = 1;
      while (depth < folders[i].size() &&
             std::any_of(namesakes.begin(), namesakes.end(), [&](size_t J) { return tail(J, depth) == tail(i, depth); }))
        ++depth;
      title += QStringLiteral(" \u2014 ") + tail(i, depth);
    }
    setTabText(static_cast<int>(i), IsModified(static_cast<int>(i)) ? title + " *" : title);
    setTabToolTip(static_cast<int>(i), DisplayPath(FDocuments[i].Path));
  }
}

}  // namespace Vantry
