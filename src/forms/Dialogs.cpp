#include "forms/Dialogs.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

namespace Vantry {

QString TOpenDialog::NameFilters(const std::string& AFilter) {
  const QStringList parts = QString::fromStdString(AFilter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    QStringList masks = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& mask : masks) {
      mask = mask.trimmed();
      if (mask == QLatin1String("*.*")) mask = QStringLiteral("*");
    }
    const QString joined = masks.join(QLatin1Char(' '));
    // The dialog filters by the masks in the last parentheses; a description
    // that already shows them ("Text Files (*.txt)") is left as written.
    if (!description.endsWith(QLatin1Char(')'))) description += QStringLiteral(" (%1)").arg(joined);
    else if (description.section(QLatin1Char('('), -1).chopped(1).trimmed() != joined)
      description += QStringLiteral(" (%1)").arg(joined);
    filters << description;
  }
  return filters.join(QStringLiteral(";;"));
}

bool TOpenDialog::Execute() {
  QFileDialog dialog(FOwner, QString::fromStdString(Title));
  dialog.setObjectName(QStringLiteral("OpenDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(Options.Contains(ofFileMustExist) ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  const QString filters = NameFilters(Filter);
  if (!filters.isEmpty()) dialog.setNameFilters(filters.split(QStringLiteral(";;")));
  if (!FileName.empty()) {
    const QFileInfo previous(QFile::decodeName(QByteArray::fromStdString(FileName)));
    dialog.setDirectory(previous.absolutePath());
    dialog.selectFile(previous.fileName());
  }
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  FileName = QFile::encodeName(QFileInfo(chosen.first()).absoluteFilePath()).toStdString();
  return true;
}

}  // namespace Vantry
