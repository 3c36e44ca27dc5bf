#pragma once
// TOpenDialog: the common "open file" dialog as a non-visual part of a form.
// It keeps its settings (filter, options) and the last chosen file name
// between runs, as a form's open dialog does.

#include "platform/TypInfo.h"

#include <QString>

#include <string>

class QWidget;

namespace Vantry {

enum TOpenOption { ofFileMustExist };
using TOpenOptions = TSet<TOpenOption>;

class TOpenDialog {
public:
  // AOwner: the window the dialog is modal to; it must outlive this object.
  explicit TOpenDialog(QWidget* AOwner) : FOwner(AOwner) {}

  // Pairs of description and mask, each part followed by '|' but the last:
  // "Text Files (*.txt)|*.txt|Other Files|*.*". Several masks in one pair
  // are separated by ';'.
  std::string Filter;
  TOpenOptions Options;
  // The chosen file with its full path; also the name proposed on the next run.
  std::string FileName;
  std::string Title;

  // Runs the dialog modally. True and FileName set when the user chose a
  // file; false, FileName untouched, when the dialog was cancelled.
  bool Execute();

  // The filter in the dialog's own notation: one "description (masks)" per
  // pair, separated by ";;". A mask "*.*" means every file, as it does where
  // such filters come from.
  static QString NameFilters(const std::string& AFilter);

private:
  QWidget* FOwner;
};

}  // namespace Vantry
