// talagent's command line (see options.h).
#include "agent/options.h"

#include <algorithm>

#include "common/command_line.h"
#include "common/machine_name.h"

namespace talagent {

namespace {

// Options only talagent on Linux takes: they concern x11vnc and the X display.
constexpr std::string_view kX11vncOnly[] = {"--display", "--x11vnc", "--x11vnc-log",
                                            "--ask-program", "--password-file"};

}  // namespace

std::string Usage(Platform platform) {
    const bool linux = platform == Platform::kLinux;
    const std::string secret = linux ? "mode 600" : "readable by you only";
    std::string text =
        linux ? "Usage: talagent --server HOST:PORT --name NAME [OPTION]...\n"
                "Keeps this machine registered with a directory server and, when an operator "
                "asks,\nstarts x11vnc to connect this X display out to the server for one "
                "session.\n"
              : "Usage: talagent.exe --server HOST:PORT --name NAME [OPTION]...\n"
                "Keeps this machine registered with a directory server and, when an operator "
                "asks,\nconnects this desktop out to the server for one session.\n";
    text +=
        "\n"
        "  --server HOST:PORT     the directory server (IPv4 address or DNS name); several\n"
        "                         are tried in turn, and orders may name any of them\n"
        "  --name NAME            the name this machine is listed under\n"
        "  --key-file FILE        the agent key (hex; a line \"KEY\" or \"NAME KEY\"), needed\n"
        "                         when the server checks keys; " +
        secret + "\n";
    if (linux)
        text += "  --display :N           the X display to show (default $DISPLAY, else :0)\n";
    text +=
        "  --ask                  ask the person at the screen first, naming the operator\n"
        "                         (Allow/Deny; no answer denies)\n"
        "  --ask-timeout SECONDS  how long the question stays open (25)\n"
        "  --cert FILE            PEM with this machine's private key and certificate, for\n"
        "                         encrypted sessions (" +
        secret +
        ")\n"
        "  --ca FILE              the deployment's CA certificate (PEM): the server's\n"
        "                         certificate and every viewer's must come from it; required\n"
        "                         with --cert\n"
        "  --crl FILE             the CA's revocation list (PEM): revoked viewers are refused\n"
        "  --insecure             plain, unencrypted control connection and sessions instead\n"
        "                         (tests, demos)\n";
    if (linux)
        text += "  --password-file FILE   x11vnc -passwdfile: a VNC password as well (mode 600)\n";
    text +=
        "  --max-sessions N       sessions open at once, further orders declined busy (4)\n"
        "  --retry-min SECONDS    first wait before reconnecting (1)\n"
        "  --retry-max SECONDS    longest wait before reconnecting (60)\n";
    text += linux ? "  --x11vnc PATH          the x11vnc program (default: x11vnc on PATH)\n"
                    "  --ask-program PATH     the dialog program, xmessage-compatible (default: "
                    "xmessage\n                         on PATH)\n"
                    "  --x11vnc-log FILE      append x11vnc's own output to FILE (default: "
                    "discarded)\n"
                  : "  --autostart on|off     start at each logon of this user with these options\n"
                    "                         (the Run key), or no longer; then exit\n";
    text +=
        "  --help                 show this text\n"
        "  --version              show the version\n"
        "\n";
    if (!linux) {
        text +=
            "Started without options, talagent.exe reads them from talagent.ini beside it: one\n"
            "\"name = value\" (or \"name\" for a switch) a line, file names relative to it.\n"
            "\n";
    }
    text += linux ? "One of --cert (with --ca) and --insecure is required. Exit status: 0 stopped "
                    "by\nSIGTERM or SIGINT, 1 a file, a program or the X display is missing or "
                    "unusable,\n2 bad command line, 3 the server refused this agent for good "
                    "(unknown name, wrong\nkey, plain agent at a server that requires TLS).\n"
                  : "One of --cert (with --ca) and --insecure is required. Exit status: 0 stopped "
                    "(Ctrl+C,\nlogoff), 1 a file is missing or unusable, 2 bad command line, 3 the "
                    "server refused\nthis agent for good (unknown name, wrong key, plain agent at "
                    "a server that requires\nTLS).\n";
    return text;
}

std::string Version() {
    return "talagent " LAUNCHER_VERSION "\n";
}

ParsedOptions ParseOptions(const std::vector<std::string_view>& args, const char* display_env,
                           Platform platform) {
    ParsedOptions result;
    Options options;
    bool have_server = false, have_name = false;
    const auto bad = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };
    tools::OptionReader reader(args);
    while (reader.Next()) {
        const std::string_view name = reader.name();
        if (reader.argument() == "--help" || reader.argument() == "-h") {
            result.help = true;
            return result;
        }
        if (reader.argument() == "--version") {
            result.version = true;
            return result;
        }
        // Named rather than unknown, so that a command line copied from a Linux machine says what
        // to drop.
        if (platform == Platform::kWindows &&
            std::find(std::begin(kX11vncOnly), std::end(kX11vncOnly), name) !=
                std::end(kX11vncOnly)) {
            return bad(std::string(name) +
                       " is for talagent on Linux, which starts x11vnc; talagent.exe serves this "
                       "Windows desktop itself: leave it out");
        }
        const bool flag = name == "--ask" || name == "--insecure";
        if (flag) {
            if (reader.has_inline_value())
                return bad(std::string(name) + " takes no value");
            (name == "--ask" ? options.ask : options.insecure) = true;
            continue;
        }
        std::string* const path = name == "--key-file"        ? &options.key_file
                                  : name == "--cert"          ? &options.cert
                                  : name == "--ca"            ? &options.ca
                                  : name == "--crl"           ? &options.crl
                                  : name == "--password-file" ? &options.password_file
                                  : name == "--x11vnc"        ? &options.x11vnc
                                  : name == "--ask-program"   ? &options.ask_program
                                  : name == "--x11vnc-log"    ? &options.x11vnc_log
                                                              : nullptr;
        static constexpr std::string_view kValued[] = {
            "--server",       "--name",      "--display",  "--ask-timeout",
            "--max-sessions", "--retry-min", "--retry-max"};
        if (!path && std::find(std::begin(kValued), std::end(kValued), name) == std::end(kValued))
            return bad("unknown argument '" + std::string(reader.argument()) + "'");
        const auto value = reader.TakeValue();
        if (!value)
            return bad(std::string(name) + " needs a value");
        const std::string_view text = *value;
        if (path) {
            if (text.empty())
                return bad(std::string(name) + " needs a file name");
            path->assign(text);
        } else if (name == "--server") {
            const auto endpoint = ParseEndpoint(text);
            if (!endpoint) {
                return bad("--server: '" + std::string(text) +
                           "' is not HOST:PORT (IPv4 address or DNS name, port 1-65535)");
            }
            options.servers.push_back(*endpoint);
            options.server = options.servers.front();
            have_server = true;
        } else if (name == "--name") {
            if (const auto why = names::WhyNotAMachineName(text))
                return bad("--name: " + *why);
            options.name.assign(text);
            have_name = true;
        } else if (name == "--display") {
            if (!IsLocalDisplay(text))
                return bad("--display: '" + std::string(text) + "' is not a local display like :0");
            options.display.assign(text);
        } else if (name == "--ask-timeout" || name == "--max-sessions") {
            const bool timeout = name == "--ask-timeout";
            const auto number =
                timeout ? tools::ParseWhole(text, 1, 3600) : tools::ParseWhole(text, 1, 64);
            if (!number) {
                return bad(std::string(name) +
                           (timeout ? " needs whole seconds from 1 to 3600" : " needs 1 to 64"));
            }
            (timeout ? options.ask_timeout_seconds : options.max_sessions) = *number;
        } else {
            const auto seconds = tools::ParseSeconds(text, 86400);
            if (!seconds)
                return bad(std::string(name) + " needs a number of seconds from 0.01");
            (name == "--retry-min" ? options.retry_min : options.retry_max) = *seconds;
        }
    }
    if (!have_server)
        return bad("--server HOST:PORT is required");
    if (!have_name)
        return bad("--name NAME is required");
    if (options.insecure && !(options.cert.empty() && options.ca.empty() && options.crl.empty()))
        return bad("--insecure excludes --cert, --ca and --crl");
    if (!options.insecure && options.cert.empty()) {
        return bad(
            "sessions are encrypted with this machine's certificate: give --cert FILE (talpki "
            "makes one), or --insecure for plain sessions on a trusted network");
    }
    if (!options.insecure && options.ca.empty()) {
        return bad(
            "--cert needs --ca FILE, the deployment's CA certificate: the agent trusts only a "
            "server and viewers it issued");
    }
    if (options.retry_max < options.retry_min)
        return bad("--retry-max must not be shorter than --retry-min");
    if (options.display.empty()) {
        options.display =
            display_env && IsLocalDisplay(display_env) ? std::string(display_env) : ":0";
    }
    result.options = std::move(options);
    return result;
}

}  // namespace talagent
