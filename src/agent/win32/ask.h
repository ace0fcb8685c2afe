// talagent.exe's --ask: a window of its own on its own thread asks the person at the screen
// whether the operator may see (and control) it: Allow or Deny, with a countdown that denies at
// zero. The answer is posted to the event loop's thread as kAskAnswer (wParam: the question's
// number, lParam: 1 allowed, 0 denied).
#pragma once

#include <windows.h>

#include <string>

namespace talagent::win {

inline constexpr UINT kAskAnswer = WM_APP + 1;

// Puts the question up; false when its thread could not start (then nobody answers).
bool Ask(DWORD answer_thread, WPARAM number, const std::string& operator_name, bool control,
         int timeout_seconds);

}  // namespace talagent::win
