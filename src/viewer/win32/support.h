// What every part of talviewer.exe uses to talk to the operator and the tests: UTF-8 to
// UTF-16 for the wide Windows calls, the environment switches for tests, the milestone log
// (TALVIEWER_LOG) and the message box (on the standard error with TALVIEWER_NO_DIALOGS=1).
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace talviewer {

std::wstring Wide(const std::string& text);
// An environment variable's value, or empty.
std::string Environment(const char* name);
// TALVIEWER_NO_DIALOGS=1: messages on the standard error, the password from a file.
bool DialogsOff();
// One line for TALVIEWER_LOG, with milliseconds since the program started.
void Log(const std::string& line);
// A message for the operator; in test mode on the standard error instead.
void Tell(HWND owner, const std::string& title, const std::string& text);

}  // namespace talviewer
