#include "EditorTabs.h"

#include "PascalHighlighter.h"

#include <QFileInfo>
#include <QMouseEvent>
#include <QTimer>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QStringDecoder>

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
  connect(this, &QTabWidget::currentChanged, this, [this](int AIndex) {
    emit CurrentPathChanged(AIndex < 0 ? QString() : DisplayPath(FDocuments[AIndex].Path));
  });
}

QString TEditorTabs::DisplayPath(const std::string& APath) {
  return QString::fromUtf8(APath.data(), static_cast<qsizetype>(APath.size()));
}

int TEditorTabs::IndexOf(const std::string& ACanonical) const {
  for (size_t i = 0; i < FDocuments.size(); ++i)
    if (FDocuments[i].Canonical == ACanonical) return static_cast<int>(i);
  return -1;
}

int TEditorTabs::IndexOfEditor(const QWidget* AEditor) const {
  for (size_t i = 0; i < FDocuments.size(); ++i)
    if (FDocuments[i].Editor == AEditor) return static_cast<int>(i);
  return -1;
}

bool TEditorTabs::IsFileOpen(const std::string& APath) const { return IndexOf(CanonicalPath(APath)) >= 0; }

bool TEditorTabs::OpenFile(const std::string& APath, std::string& AError) {
  const std::string canonical = CanonicalPath(APath);
  if (int open = IndexOf(canonical); open >= 0) {
    setCurrentIndex(open);
    return true;
  }
  std::string bytes;
  if (!ReadFile(APath, bytes, AError)) return false;

  TDocument doc{APath, canonical, {}, new QPlainTextEdit};
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
  doc.Editor->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  doc.Editor->setLineWrapMode(QPlainTextEdit::NoWrap);
  doc.Editor->setPlainText(text);
  doc.Editor->document()->setModified(false);
  new TPascalHighlighter(doc.Editor->document());
  doc.Editor->viewport()->setMouseTracking(true);
  doc.Editor->viewport()->installEventFilter(this);
  QPlainTextEdit* editor = doc.Editor;
  FDocuments.push_back(std::move(doc));
  int index = addTab(editor, QString());
  UpdateTitle(index);
  connect(editor->document(), &QTextDocument::modificationChanged, this,
          [this, editor] { UpdateTitle(IndexOfEditor(editor)); });
  setCurrentIndex(index);
  return true;
}

bool TEditorTabs::Save(int AIndex, std::string& AError) { return SaveAs(AIndex, FDocuments[AIndex].Path, AError); }

bool TEditorTabs::SaveAs(int AIndex, const std::string& APath, std::string& AError) {
  TDocument& doc = FDocuments[AIndex];
  QString text = doc.Editor->toPlainText();
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
  doc.Editor->document()->setModified(false);
  UpdateTitle(AIndex);
  if (AIndex == currentIndex()) emit CurrentPathChanged(DisplayPath(doc.Path));
  return true;
}

void TEditorTabs::CloseTab(int AIndex) {
  QPlainTextEdit* editor = FDocuments[AIndex].Editor;
  FDocuments.erase(FDocuments.begin() + AIndex);
  removeTab(AIndex);
  delete editor;
}

bool TEditorTabs::IsModified(int AIndex) const { return FDocuments[AIndex].Editor->document()->isModified(); }

const std::string& TEditorTabs::PathOf(int AIndex) const { return FDocuments[AIndex].Path; }

QPlainTextEdit* TEditorTabs::EditorOf(int AIndex) const { return FDocuments[AIndex].Editor; }

std::string TEditorTabs::IdentifierAtCursor() const {
  if (currentIndex() < 0) return {};
  const QTextCursor cursor = EditorOf(currentIndex())->textCursor();
  const QString line = cursor.block().text();
  auto inIdentifier = [&](qsizetype I) {
    return I >= 0 && I < line.size() && line[I].unicode() < 128 && (line[I].isLetterOrNumber() || line[I] == u'_');
  };
  qsizetype at = cursor.positionInBlock();
  if (!inIdentifier(at)) --at;  // just after the word
  if (!inIdentifier(at)) return {};
  qsizetype begin = at, end = at + 1;
  while (inIdentifier(begin - 1)) --begin;
  while (inIdentifier(end)) ++end;
  if (line[begin].isDigit()) return {};  // a number, not a name
  return line.mid(begin, end - begin).toStdString();
}

void TEditorTabs::GoTo(int ALine, int AColumn) {
  if (currentIndex() < 0) return;
  QPlainTextEdit* editor = EditorOf(currentIndex());
  QTextBlock block = editor->document()->findBlockByNumber(std::max(ALine, 1) - 1);
  if (!block.isValid()) block = editor->document()->lastBlock();
  // Columns count the file's bytes: a UTF-8 character of several bytes is
  // one character here, a Latin-1 byte one.
  const QString line = block.text();
  const bool latin1 = FDocuments[static_cast<size_t>(currentIndex())].Format.Latin1;
  qsizetype at = 0;
  for (int bytes = 1; at < line.size() && bytes < AColumn; ++at) {
    const char16_t c = line[at].unicode();
    bytes += latin1 || c < 0x80 ? 1 : c < 0x800 ? 2 : QChar::isHighSurrogate(c) ? 4 : 3;
    if (QChar::isHighSurrogate(c)) ++at;
  }
  QTextCursor cursor(block);
  cursor.setPosition(block.position() + static_cast<int>(std::min(at, line.size())));
  editor->setTextCursor(cursor);
  editor->centerCursor();
  editor->setFocus();
}

bool TEditorTabs::CursorPoint(QPoint& APoint) const {
  if (currentIndex() < 0) return false;
  const QPlainTextEdit* editor = EditorOf(currentIndex());
  APoint = editor->viewport()->mapToGlobal(editor->cursorRect().bottomLeft());
  return true;
}

bool TEditorTabs::eventFilter(QObject* AWatched, QEvent* AEvent) {
  // A mouse that moves over a text restarts the wait; one that leaves it,
  // or a key or click, ends it.
  const QEvent::Type type = AEvent->type();
  if (type == QEvent::MouseMove) {
    auto* editor = qobject_cast<QPlainTextEdit*>(AWatched->parent());
    if (editor) {
      FHovered = editor;
      FHoverPoint = static_cast<QMouseEvent*>(AEvent)->position().toPoint();
      if (!FHoverTimer) {
        FHoverTimer = new QTimer(this);
        FHoverTimer->setSingleShot(true);
        FHoverTimer->setInterval(500);
        connect(FHoverTimer, &QTimer::timeout, this, &TEditorTabs::HoverTimerTimeout);
      }
      FHoverTimer->start();
    }
  } else if ((type == QEvent::Leave || type == QEvent::MouseButtonPress || type == QEvent::KeyPress) && FHoverTimer) {
    FHoverTimer->stop();
  }
  return QTabWidget::eventFilter(AWatched, AEvent);
}

void TEditorTabs::HoverTimerTimeout() {
  const int index = FHovered ? IndexOfEditor(FHovered) : -1;
  if (index < 0) return;
  const QTextCursor cursor = FHovered->cursorForPosition(FHoverPoint);
  // Only over the text itself, not the blank beyond a line's end.
  if (!FHovered->cursorRect(cursor).adjusted(-8, -2, 8, 2).contains(FHoverPoint)) return;
  const QString text = FHovered->toPlainText();
  const size_t offset = static_cast<size_t>(text.left(cursor.position()).toUtf8().size());
  emit Hovered(FDocuments[index].Path, text.toStdString(), offset, FHovered->viewport()->mapToGlobal(FHoverPoint));
}

bool TEditorTabs::CurrentText(std::string& AText, size_t& ACursor) const {
  if (currentIndex() < 0) return false;
  const QPlainTextEdit* editor = EditorOf(currentIndex());
  const QString text = editor->toPlainText();
  const int position = editor->textCursor().position();
  AText = text.toStdString();
  ACursor = static_cast<size_t>(text.left(position).toUtf8().size());
  return true;
}

void TEditorTabs::UpdateTitle(int AIndex) {
  if (AIndex < 0) return;
  const TDocument& doc = FDocuments[AIndex];
  QString title = QFileInfo(DisplayPath(doc.Path)).fileName();
  setTabText(AIndex, IsModified(AIndex) ? title + " *" : title);
  setTabToolTip(AIndex, DisplayPath(doc.Path));
}

}  // namespace Vantry
