#include "EditorTabs.h"

#include "PascalHighlighter.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QStringDecoder>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

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
  struct stat st;
  if (stat(target.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
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
  return true;
}

namespace {

bool ReadFile(const std::string& APath, std::string& AContent, std::string& AError) {
  struct stat st;
  if (stat(APath.c_str(), &st) != 0) {
    AError = "Cannot open " + APath + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    AError = "Cannot open " + APath + ": it is a directory";
    return false;
  }
  std::ifstream in(APath, std::ios::binary);
  if (!in) {
    AError = "Cannot open " + APath + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  AContent = content.str();
  return true;
}

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

  TDocument doc{APath, canonical, false, new QPlainTextEdit};
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  if (utf8.hasError()) {
    doc.Latin1 = true;
    text = QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
  }
  doc.Editor->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  doc.Editor->setLineWrapMode(QPlainTextEdit::NoWrap);
  doc.Editor->setPlainText(text);
  doc.Editor->document()->setModified(false);
  new TPascalHighlighter(doc.Editor->document());
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
  QByteArray bytes = doc.Latin1 ? text.toLatin1() : text.toUtf8();
  if (!WriteFileAtomically(APath, std::string(bytes.constData(), static_cast<size_t>(bytes.size())), AError))
    return false;
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

void TEditorTabs::UpdateTitle(int AIndex) {
  if (AIndex < 0) return;
  const TDocument& doc = FDocuments[AIndex];
  QString title = QFileInfo(DisplayPath(doc.Path)).fileName();
  setTabText(AIndex, IsModified(AIndex) ? title + " *" : title);
  setTabToolTip(AIndex, DisplayPath(doc.Path));
}

}  // namespace Vantry
