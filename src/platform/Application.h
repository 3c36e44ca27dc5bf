#pragma once
// The application object: the window the program's dialogs belong to, where
// unexpected exceptions are shown, and the message pump. The core's default
// services write to standard error; the GUI layer installs Qt ones.

#include "platform/TypInfo.h"

#include <exception>
#include <string>

namespace Vantry {

// A window handle: on this platform the host's main window (a QWidget*), or
// null when there is none.
using HWND = void*;

// What the application needs from a user interface. Replaceable, so tests
// can read what would have been shown. Whoever installs services keeps them
// alive while they are installed.
class TApplicationServices {
public:
  // Shows an error box with the exception's message.
  virtual void ShowException(TObject* ASender, const std::string& AMessage);
  // A modal box with the text and an OK button.
  virtual void ShowMessage(const std::string& AText);
  // A modal question with Yes and No buttons; true for Yes. Where nobody can
  // be asked, the text is written out and the answer is Yes: the request
  // that asks stands.
  virtual bool AskYesNo(const std::string& AText);
  // Runs pending events; returns at once when there are none.
  virtual void ProcessMessages() {}

protected:
  // Not deleted through this class; see SetServices.
  ~TApplicationServices() = default;
};

// The application object lives from before the first static initialiser to
// after the last destructor, so that a library may use it while it loads and
// unloads: it and its default services have nothing to destroy.

class TApplication {
public:
  constexpr explicit TApplication(TApplicationServices* AServices) : FServices(AServices) {}

  HWND Handle() const { return FHandle; }
  void SetHandle(HWND AHandle) { FHandle = AHandle; }

  // Reports the exception being handled (or AError) to the user and
  // swallows it.
  void HandleException(TObject* ASender, std::exception_ptr AError = std::current_exception());
  void ShowMessage(const std::string& AText) { FServices->ShowMessage(AText); }
  bool AskYesNo(const std::string& AText) { return FServices->AskYesNo(AText); }
  void ProcessMessages() { FServices->ProcessMessages(); }

  // Installs other services (null: the default ones) and returns the
  // previous ones, which the caller may restore later.
  TApplicationServices* SetServices(TApplicationServices* AServices);

private:
  HWND FHandle = nullptr;
  TApplicationServices* FServices;
};

// The program's one application object.
TApplication& Application();

void ShowMessage(const std::string& AText);

}  // namespace Vantry
