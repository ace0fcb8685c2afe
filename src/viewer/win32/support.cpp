// The operator's messages, the tests' switches and the milestone log (see support.h).
#include "viewer/win32/support.h"

#include <chrono>
#include <fstream>

namespace talviewer {

namespace {
const auto g_start = std::chrono::steady_clock::now();
}

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Environment(const char* name) {
    char value[1024];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

bool DialogsOff() {
    return Environment("TALVIEWER_NO_DIALOGS") == "1";
}

void Log(const std::string& line) {
    static const std::string path = Environment("TALVIEWER_LOG");
    if (path.empty())
        return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - g_start)
                        .count();
    std::ofstream(Wide(path).c_str(), std::ios::app) << ms << ' ' << line << '\n';
}

void Tell(HWND owner, const std::string& title, const std::string& text) {
    if (DialogsOff()) {
        const std::string line = "talviewer: " + text + "\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
                  &written, nullptr);
        Log("message " + text.substr(0, text.find('\n')));
        return;
    }
    MessageBoxW(owner, Wide(text).c_str(), Wide(title).c_str(), MB_ICONERROR | MB_OK);
}

}  // namespace talviewer
