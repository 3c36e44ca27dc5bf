#pragma once
// The host's side of every call into an add-in: whatever the add-in's code
// raises is shown through the application's exception display and goes no
// further, so that the IDE (and Qt's event loop under it) keeps running.

#include "platform/Application.h"

namespace Vantry {

// Runs ACall; true when it returned normally, false when it raised (the
// exception has been shown then).
template <class F>
bool CallAddIn(F&& ACall) {
  try {
    ACall();
    return true;
  } catch (...) {
    Application().HandleException(nullptr);
    return false;
  }
}

}  // namespace Vantry
