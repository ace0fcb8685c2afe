// talviewer.exe: the remote-desktop viewer for Windows. The launcher starts it as
//   talviewer TALVERO-VNC ADDRESS PORT NAME
// This file checks the arguments, loads the deployment's CA certificate (ca.pem, or ca.crt,
// beside this program: the only root a machine's certificate may chain to; without it plain
// sessions are allowed only when the file allow-plain-sessions is beside it too, and the title
// says "not encrypted") and the operator's certificate (operator_identity.h), and runs the
// window's message loop.
// The window (viewer_window.h) shows the desktop and owns the session (session.h), which asks
// the directory server at ADDRESS:PORT for NAME and speaks RFB through the portable core.
//
// For tests: TALVIEWER_NO_DIALOGS=1 prints what a message box would say to the standard error
// and ends (the password then comes from the file TALVIEWER_PASSWORD_FILE, if set);
// TALVIEWER_LOG=FILE appends the session's milestones with milliseconds since start;
// TALVIEWER_RECORD and TALVIEWER_EXIT=1 record the arguments as the stand-in does.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>

#include <shellapi.h>
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "viewer/arguments.h"
#include "viewer/session_messages.h"
#include "viewer/win32/operator_identity.h"
#include "viewer/win32/support.h"
#include "viewer/win32/tls.h"
#include "viewer/win32/viewer_window.h"

namespace talviewer {
namespace {

void PrintOut(std::string_view text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

// The folder this program is in, with its trailing separator.
std::wstring ProgramFolder() {
    wchar_t self[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::wstring folder(self, n);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder;
}

// The CA beside the program: ca.pem as talpki makes it, or ca.crt. Empty when there is none;
// false (with `error`) when one is there but unusable: that is an error, not a reason to go
// plain.
bool LoadCa(std::vector<uint8_t>& ca, std::string& error) {
    for (const wchar_t* file : {L"ca.pem", L"ca.crt"}) {
        const std::wstring path = ProgramFolder() + file;
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        ca = LoadCaCertificate(path, error);
        return !ca.empty();
    }
    return true;
}

// `text` in the system's code page (the launcher's and the server's bytes), or nothing when a
// character has no exact counterpart there.
std::optional<std::string> CodePageBytes(const std::wstring& text) {
    if (text.empty())
        return std::string();
    BOOL lossy = FALSE;
    const int size =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(),
                            static_cast<int>(text.size()), nullptr, 0, nullptr, &lossy);
    if (size <= 0 || lossy)
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                        bytes.data(), size, nullptr, nullptr);
    return bytes;
}

}  // namespace
}  // namespace talviewer

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    using namespace talviewer;
    const std::string record = Environment("TALVIEWER_RECORD");
    if (!record.empty()) {
        const bool recorded = AppendRecord(record, Argv(__argv, __argv + __argc)).empty();
        if (Environment("TALVIEWER_EXIT") == "1")
            return recorded ? 0 : 1;
    }
    // Arguments as UTF-16, so a machine's name outside the code page survives.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    std::vector<std::wstring> argv_wide;
    for (int i = 0; i < argc; ++i) {
        args.push_back(Utf8(argv[i]));
        argv_wide.emplace_back(argv[i]);
    }
    LocalFree(argv);
    // Options come before the four fields.
    Argv fields(args.begin() + 1, args.end());
    const std::optional<std::string> quality_word = TakeOption(fields, "-quality");
    const std::optional<viewer::Quality> quality =
        quality_word ? viewer::ParseQuality(*quality_word) : viewer::Quality::kAuto;
    const auto taken = static_cast<std::ptrdiff_t>(args.size() - 1 - fields.size());
    args.erase(args.begin() + 1, args.begin() + 1 + taken);
    argv_wide.erase(argv_wide.begin() + 1, argv_wide.begin() + 1 + taken);
    if (!quality) {
        Tell(nullptr, "talviewer",
             FailureText(Failure::kUsage, "",
                         "\"" + *quality_word +
                             "\" is not a quality (auto, lossless, balanced, "
                             "low)."));
        return ExitStatus(Failure::kUsage);
    }
    // The launcher always passes four arguments, so a lone option is a person asking.
    if (args.size() == 2 && (args[1] == "--help" || args[1] == "--version")) {
        PrintOut(args[1] == "--help" ? UsageText() : "talviewer " LAUNCHER_VERSION "\n");
        return 0;
    }
    if (args.size() != 5 || args[1] != "TALVERO-VNC") {
        Tell(nullptr, "talviewer", FailureText(Failure::kUsage, "", ""));
        return ExitStatus(Failure::kUsage);
    }
    // The name as the operator reads it (UTF-8) and as the server lists it: the bytes of the
    // system's code page, which the launcher passed on.
    const std::string& name = args[4];
    const std::optional<std::string> listed = CodePageBytes(argv_wide[4]);
    if (!listed) {
        Tell(nullptr, "talviewer",
             FailureText(Failure::kUsage, name,
                         "The name cannot be written in this system's code page."));
        return ExitStatus(Failure::kUsage);
    }
    if (const auto bad = CheckName(*listed)) {
        Tell(nullptr, "talviewer", FailureText(Failure::kUsage, name, *bad));
        return ExitStatus(Failure::kUsage);
    }
    std::vector<uint8_t> ca;
    std::string error;
    if (!LoadCa(ca, error)) {
        Tell(nullptr, name + " \xe2\x80\x94 talviewer",
             FailureText(Failure::kSecurity, name, error));
        return ExitStatus(Failure::kSecurity);
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return ExitStatus(Failure::kConnectionFailed);
    Log("start");
    const std::wstring allow_plain = ProgramFolder() + Wide(std::string(kAllowPlainFile));
    // Apart from the move below: the order in which arguments are made is unspecified.
    SessionSetup setup{
        .address = args[2],
        .port = args[3],
        .name = *listed,
        .display_name = name,
        .have_ca = !ca.empty(),
        .allow_plain = GetFileAttributesW(allow_plain.c_str()) != INVALID_FILE_ATTRIBUTES,
        .answer_challenge = {},
        .no_credentials = {},
        .quality = *quality};
    // Only a server that checks operators asks for the proof, so a missing or unusable file
    // is told then, not now.
    const std::unique_ptr<OperatorIdentity> identity =
        OperatorIdentity::Load(OperatorFileOfThisUser(), setup.no_credentials);
    if (identity) {
        setup.answer_challenge = [&identity](std::string_view machine, std::string_view nonce) {
            return identity->Answer(machine, nonce);
        };
    }
    ViewerWindow window(std::move(setup),
                        {std::move(ca), identity ? identity->certificate() : nullptr});
    if (!window.Create(instance, show))
        return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    WSACleanup();
    return window.exit_status();
}
