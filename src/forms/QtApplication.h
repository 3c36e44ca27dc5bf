#pragma once
// The application's user interface on Qt: exceptions and messages in modal
// boxes owned by the application's window, and the Qt event loop as the
// message pump. Where Qt draws nowhere (the offscreen platform, or no
// QApplication at all) the boxes become lines on standard error, so that a
// headless run never waits for a click.

#include "platform/Application.h"

#include <QMessageBox>

#include <memory>
#include <string>

class QKeyEvent;

namespace Vantry {

// Installs the Qt services into this library's application object. Each
// add-in library has its own application object and calls this at load.
void UseQtApplicationServices();

// Marks the whole process as running without a person at the screen (a menu
// dump, a screenshot): no library's services then open a box that nobody
// would close, whatever display there is. Kept on the QApplication, which
// the host and its add-ins share.
void MarkHeadless();
// Whether boxes may be shown: a QApplication on a real platform, and not
// marked headless.
bool CanShowDialogs();

// The window that Application().Handle() names, or null.
QWidget* ApplicationWindow();

// The forms were drawn with Windows fonts ("MS Sans Serif", "Arial"); this
// maps them to the metric-compatible Liberation fonts where those are
// installed, so captions fit their controls. Safe to call more than once.
void UseFormFonts();

// Moves a window to the middle of the screen it is on.
void CenterOnScreen(QWidget* AWindow);

// The window a message box belongs to: the modal dialog that is active (so
// the box shows over the dialog that raised it), else the application's.
QWidget* DialogParent();

// A path of bytes as text for a widget, and back, byte for byte: what is not
// UTF-8 is shown as it can be (each such byte as an escape of its own, a lone
// surrogate U+DC80..U+DCFF, as Python's "surrogateescape" does) and stored
// again as it was.
QString PathToText(const std::string& APath);
std::string TextToPath(const QString& AText);

// For a dialog's keyPressEvent: Enter or Return on a focused push button
// presses it, as Space does, though no button is the default. True when it
// did; the event is then accepted.
bool PressFocusedButton(QWidget* ADialog, QKeyEvent* AEvent);

// A modal box whose text is shown as written: a file name such as
// "<img src=x>.pas" is never taken for markup; a carriage return, alone or
// before a line feed, ends a line.
std::unique_ptr<QMessageBox> NewMessageBox(QMessageBox::Icon AIcon, QWidget* AParent, const QString& AText,
                                           QMessageBox::StandardButtons AButtons = QMessageBox::Ok);

}  // namespace Vantry
