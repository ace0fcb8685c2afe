// The agents' command line, one for talagent (Linux, x11vnc) and talagent.exe (Windows, its own
// server): parsing and checking it, and the usage text. Pure: the files and programs it names are
// checked by main.cpp and win32/main.cpp.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/protocol.h"

namespace talagent {

using Millis = std::chrono::milliseconds;

struct Options {
    Endpoint server;                // the server in use: one of `servers`
    std::vector<Endpoint> servers;  // every --server, in the order given
    std::string name;
    std::string key_file;  // empty: no key (open registration only)
    std::string display;   // ":N"
    bool ask = false;
    int ask_timeout_seconds = 25;
    bool insecure = false;
    std::string cert;           // combined PEM (key + certificate): the agent's TLS identity
    std::string ca;             // the deployment's CA: the server's and the viewers' issuer
    std::string crl;            // empty: no revocation list for the viewers' certificates
    std::string password_file;  // for x11vnc -passwdfile
    int max_sessions = 4;
    Millis retry_min{1000};
    Millis retry_max{60000};
    std::string x11vnc;       // empty: "x11vnc" looked up on PATH
    std::string ask_program;  // empty: "xmessage" looked up on PATH
    std::string x11vnc_log;   // empty: x11vnc's own output is discarded
};

struct ParsedOptions {
    std::optional<Options> options;
    bool help = false;
    bool version = false;  // --version: print Version() and exit 0
    std::string error;
};

// Which agent reads the command line: talagent.exe serves the desktop itself and takes no option
// that only x11vnc or the X display needs.
enum class Platform { kLinux, kWindows };

// `display_env` is $DISPLAY (or null), the default for --display when it names a local display.
ParsedOptions ParseOptions(const std::vector<std::string_view>& args, const char* display_env,
                           Platform platform = Platform::kLinux);

std::string Usage(Platform platform = Platform::kLinux);
std::string Version();  // "talagent X.Y.Z\n"

}  // namespace talagent
