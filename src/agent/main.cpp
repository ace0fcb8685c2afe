// talagent: keeps this machine registered with a directory server and starts x11vnc for the
// operator's sessions. Here: the command line, and the checks of the files and programs it names
// before the event loop (agent.cpp) starts, so that a mistake shows at once and not at the first
// session.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "agent/agent.h"
#include "agent/certificate.h"
#include "agent/display.h"
#include "agent/key.h"
#include "agent/log.h"
#include "agent/options.h"
#include "common/operator_proof.h"

namespace {

using namespace talagent;

// The absolute path of `program`: as given when it holds a '/', else the first executable of
// that name on PATH. Empty when there is none.
std::string FindProgram(const std::string& program) {
    const auto absolute = [](const std::string& path) -> std::string {
        char resolved[PATH_MAX];
        if (access(path.c_str(), X_OK) != 0 || !realpath(path.c_str(), resolved))
            return {};
        return resolved;
    };
    if (program.find('/') != std::string::npos)
        return absolute(program);
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const auto colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        if (!dir.empty()) {
            if (std::string found = absolute(std::string(dir) + "/" + program); !found.empty())
                return found;
        }
        if (colon == std::string_view::npos)
            return {};
        dirs.remove_prefix(colon + 1);
    }
}

// Checks that `path` is a private, readable file, makes it absolute and keeps its text in
// `text`. Empty on success, else the message.
std::string CheckSecretFile(std::string& path, std::string& text) {
    std::string error;
    const int fd = OpenPrivateFile(path, error);
    if (fd < 0)
        return error;
    text.clear();
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < (1 << 20))
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (n < 0)
        return "cannot read " + path + ": " + std::strerror(errno);
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved))
        return "cannot resolve " + path + ": " + std::strerror(errno);
    path = resolved;
    return {};
}

// Reads `path`, a file that is no secret (a CA certificate, a revocation list), into `text` and
// makes the path absolute. Empty on success, else the message.
std::string ReadPublicFile(std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    char resolved[PATH_MAX];
    if (!file || !realpath(path.c_str(), resolved))
        return "cannot read " + path + ": " + std::strerror(errno);
    text.assign(std::istreambuf_iterator<char>(file), {});
    path = resolved;
    return {};
}

// The deployment's CA and revocation list, which the sessions and the control connection's TLS
// load themselves: read here once so that a wrong file shows at start.
std::string CheckTrust(Options& options) {
    opproof::Trust trust;
    std::string text;
    if (std::string error = ReadPublicFile(options.ca, text); !error.empty())
        return "--ca: " + error;
    if (std::string error = trust.SetCa(text); !error.empty())
        return "--ca: " + options.ca + ": " + error;
    if (options.crl.empty())
        return {};
    if (std::string error = ReadPublicFile(options.crl, text); !error.empty())
        return "--crl: " + error;
    if (text.empty())
        return "--crl: " + options.crl + " is empty";
    if (std::string error = trust.SetCrl(text); !error.empty())
        return "--crl: " + options.crl + ": " + error;
    return {};
}

int Fail(const std::string& message) {
    Log(Level::Error, message);
    return kExitUnusable;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    ParsedOptions parsed = ParseOptions(args, std::getenv("DISPLAY"));
    if (parsed.help) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    if (parsed.version) {
        std::fputs(Version().c_str(), stdout);
        return 0;
    }
    if (!parsed.options) {
        std::fprintf(stderr, "talagent: %s\nTry 'talagent --help'.\n", parsed.error.c_str());
        return kExitUsage;
    }
    Options& options = *parsed.options;

    const std::string x11vnc = FindProgram(options.x11vnc.empty() ? "x11vnc" : options.x11vnc);
    if (x11vnc.empty()) {
        return Fail(options.x11vnc.empty()
                        ? "x11vnc is not on PATH; install it (Debian: apt install x11vnc)"
                        : "--x11vnc: " + options.x11vnc + " is not an executable program");
    }
    options.x11vnc = x11vnc;
    if (options.ask) {
        const std::string ask =
            FindProgram(options.ask_program.empty() ? "xmessage" : options.ask_program);
        if (ask.empty()) {
            return Fail(options.ask_program.empty()
                            ? "--ask needs xmessage on PATH (Debian: apt install x11-utils)"
                            : "--ask-program: " + options.ask_program +
                                  " is not an executable program");
        }
        options.ask_program = ask;
    }
    std::string text;
    if (!options.cert.empty()) {
        if (std::string error = CheckSecretFile(options.cert, text); !error.empty())
            return Fail("--cert: " + error);
        const CertificateCheck check = CheckCertificate(text, options.name, std::time(nullptr));
        if (!check.error.empty())
            return Fail("--cert: " + options.cert + " " + check.error);
        for (const std::string& warning : check.warnings)
            Log(Level::Warning, "--cert: " + options.cert + ": " + warning);
        if (std::string error = CheckTrust(options); !error.empty())
            return Fail(error);
    }
    if (!options.password_file.empty()) {
        if (std::string error = CheckSecretFile(options.password_file, text); !error.empty())
            return Fail("--password-file: " + error);
    }
    if (!options.x11vnc_log.empty()) {
        const int fd = ::open(options.x11vnc_log.c_str(),
                              O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0) {
            return Fail("--x11vnc-log: cannot open " + options.x11vnc_log + ": " +
                        std::strerror(errno));
        }
        ::close(fd);
    }
    Key key;
    if (!options.key_file.empty()) {
        KeyResult loaded = LoadKeyFile(options.key_file, options.name);
        if (!loaded.error.empty())
            return Fail("--key-file: " + loaded.error);
        key = std::move(loaded.key);
    }
    // Last, so that every mistake in the files shows before this one, which may pass by itself
    // once the graphical session is up (the user unit restarts the agent).
    if (const auto gone = WhyDisplayIsGone(options.display)) {
        return Fail(*gone +
                    ": talagent runs in the graphical session it shows ($DISPLAY, or --display)");
    }
    Agent agent(std::move(options), std::move(key));
    return agent.Run();
}
