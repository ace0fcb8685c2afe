// talagent.exe: keeps this Windows machine registered with a directory server and serves the
// operator's sessions of this user's desktop itself. Here: the command line (talagent's, less
// what only x11vnc does: options.h), the checks of the files it names before the event loop
// (control.cpp) starts, so that a mistake shows at once and not at the first session, and Ctrl+C.
#include <winsock2.h>

#include <windows.h>

#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "agent/key.h"
#include "agent/log.h"
#include "agent/options.h"
#include "agent/win32/control.h"
#include "agent/win32/startup.h"
#include "agent/win32/text.h"
#include "common/command_line.h"

namespace {

using namespace talagent;

HANDLE g_stop = nullptr;

// Reads `path`, no secret, into `text`. Empty on success, else the message.
std::string ReadPublicFile(const std::string& path, std::string& text) {
    std::ifstream file(std::filesystem::path(win::Wide(path)), std::ios::binary);
    if (!file)
        return "cannot read " + path;
    text.assign(std::istreambuf_iterator<char>(file), {});
    return {};
}

// Reads `path`, a secret only its owner may read, into `text`. Empty on success.
std::string ReadSecretFile(const std::string& path, std::string& text) {
    std::string error;
    const int fd = OpenPrivateFile(path, error);
    if (fd < 0)
        return error;
    text.clear();
    char buffer[4096];
    int n;
    while ((n = _read(fd, buffer, sizeof buffer)) > 0 && text.size() < (1 << 20))
        text.append(buffer, static_cast<std::size_t>(n));
    _close(fd);
    return n < 0 ? "cannot read " + path : std::string();
}

int Fail(const std::string& message) {
    Log(Level::Error, message);
    return kExitUnusable;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "talagent: %s\nTry 'talagent.exe --help'.\n", message.c_str());
    return kExitUsage;
}

std::wstring ProgramPath() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring FullPath(const std::wstring& path) {
    std::wstring full(32768, L'\0');
    const DWORD n =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    full.resize(n < full.size() ? n : 0);
    return full.empty() ? path : full;
}

// --autostart on: the Run key starts this program with `args`, its file names made absolute
// (the Run key starts it in another folder). off: it no longer does.
int Autostart(bool on, const std::vector<std::string>& args) {
    std::wstring command;
    if (on) {
        command = win::QuoteArgument(ProgramPath());
        bool file_value = false;
        for (const std::string& arg : args) {
            std::wstring wide = win::Wide(arg);
            const auto equals = arg.find('=');
            if (file_value) {
                wide = FullPath(wide);
            } else if (equals != std::string::npos && win::IsFileOption(arg.substr(0, equals))) {
                wide = win::Wide(arg.substr(0, equals + 1)) +
                       FullPath(win::Wide(arg.substr(equals + 1)));
            }
            file_value = !file_value && win::IsFileOption(arg);
            command += L" " + win::QuoteArgument(wide);
        }
    }
    if (std::string error = win::SetAutostart(command); !error.empty())
        return Fail("--autostart: " + error);
    Log(Level::Info, on ? "talagent.exe starts at each logon of this user: " + win::Utf8(command)
                        : "talagent.exe no longer starts at logon");
    return 0;
}

BOOL WINAPI OnConsoleEvent(DWORD) {
    SetEvent(g_stop);
    return TRUE;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** wide_argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> utf8;
    for (int i = 1; i < argc; ++i)
        utf8.push_back(win::Utf8(wide_argv[i]));
    LocalFree(wide_argv);
    if (utf8.empty()) {
        // Started without options (a double-click, the Run key): talagent.ini beside it, whose
        // file names are relative to that folder.
        std::wstring folder = ProgramPath();
        folder.resize(folder.find_last_of(L"\\/") + 1);
        std::string text, error;
        if (!ReadPublicFile(win::Utf8(folder + L"talagent.ini"), text).empty())
            return UsageError("no options, and no talagent.ini beside talagent.exe");
        utf8 = win::IniArguments(text, error);
        if (!error.empty())
            return UsageError("talagent.ini: " + error);
        SetCurrentDirectoryW(folder.c_str());
    }
    std::string autostart_error;
    const std::string autostart = win::TakeAutostart(utf8, autostart_error);
    if (!autostart_error.empty())
        return UsageError(autostart_error);
    if (autostart == "off" && utf8.empty())
        return Autostart(false, utf8);
    const std::vector<std::string_view> args(utf8.begin(), utf8.end());

    ParsedOptions parsed = ParseOptions(args, nullptr, Platform::kWindows);
    if (parsed.help) {
        std::fputs(Usage(Platform::kWindows).c_str(), stdout);
        return 0;
    }
    if (parsed.version) {
        std::fputs(Version().c_str(), stdout);
        return 0;
    }
    if (!parsed.options)
        return UsageError(parsed.error);
    Options& options = *parsed.options;

    std::unique_ptr<win::TlsContext> tls;
    if (!options.insecure) {
        std::string cert, ca, crl, error;
        if (std::string why = ReadSecretFile(options.cert, cert); !why.empty())
            return Fail("--cert: " + why);
        if (std::string why = ReadPublicFile(options.ca, ca); !why.empty())
            return Fail("--ca: " + why);
        if (!options.crl.empty()) {
            if (std::string why = ReadPublicFile(options.crl, crl); !why.empty())
                return Fail("--crl: " + why);
            if (crl.empty())
                return Fail("--crl: " + options.crl + " is empty");
        }
        tls = win::TlsContext::Make(ca, crl, cert, options.name, error);
        if (!tls)
            return Fail(error);
        for (const std::string& warning : tls->warnings())
            Log(Level::Warning, warning);
    }
    Key key;
    if (!options.key_file.empty()) {
        KeyResult loaded = LoadKeyFile(options.key_file, options.name);
        if (!loaded.error.empty())
            return Fail("--key-file: " + loaded.error);
        key = std::move(loaded.key);
    }

    // Registered once every file has passed, so that logon does not start a broken agent.
    if (!autostart.empty())
        return Autostart(autostart == "on", utf8);

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return Fail("Winsock does not start");
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    int status;
    {
        win::Control control(std::move(options), std::move(key), std::move(tls), g_stop);
        status = control.Run();
    }
    WSACleanup();
    return status;
}
