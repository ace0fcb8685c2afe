// What each backend provides behind the portable seam. Only files of
// src/platform include this header.
#pragma once

#include <string>
#include <vector>

namespace platform::backend {

bool StartComponentLayer();
void ShowMessageBox(const std::string& caption, const std::string& text, unsigned int codePage);
std::string ModuleFileName();
[[noreturn]] void ExitProcess(int status);
void Sleep(unsigned int milliseconds);
void ShellOpen(const std::string& file, const std::vector<std::string>& arguments);

}  // namespace platform::backend
