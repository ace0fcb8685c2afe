// Command lines of a session's processes, and starting them with posix_spawn (see session.h).
#include "agent/session.h"

#include <fcntl.h>
#include <spawn.h>
#include <csignal>
#include <cstring>

extern char** environ;

namespace talagent {

std::vector<std::string> X11vncArgv(const Options& options, std::string_view id,
                                    const Endpoint& target) {
    // -nopw only silences x11vnc's warning that it has no password of its own, which would
    // otherwise hold every session's start back by a second; the agent decides who connects.
    std::vector<std::string> argv = {options.x11vnc,
                                     "-display",
                                     options.display,
                                     "-rfbport",
                                     "0",
                                     "-once",
                                     "-timeout",
                                     "30",
                                     "-noxdamage",
                                     "-nopw",
                                     "-connect_or_exit",
                                     "repeater=ID:" + std::string(id) + "+" + target.ToString()};
    if (!options.insecure) {
        // x11vnc would otherwise act as the TLS client on a connection it makes itself; the
        // viewer, at the other end of the relay, is the client.
        argv.insert(argv.end(), {"-ssl", options.cert, "-env", "X11VNC_DISABLE_SSL_CLIENT_MODE=1",
                                 "-vencrypt", "nodh:only", "-anontls", "never"});
    }
    if (!options.password_file.empty())
        argv.insert(argv.end(), {"-passwdfile", options.password_file});
    return argv;
}

std::vector<std::string> AskArgv(const Options& options) {
    return {options.ask_program,
            "-display",
            options.display,
            "-center",
            "-title",
            "Remote support",
            "-buttons",
            "Allow:" + std::to_string(kAllowStatus) + ",Deny:" + std::to_string(kDenyStatus),
            "-default",
            "Deny",
            "-timeout",
            std::to_string(options.ask_timeout_seconds),
            std::string(kAskText)};
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& output, std::string& error) {
    std::vector<char*> pointers;
    for (const auto& arg : argv)
        pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (output.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_APPEND | O_CREAT,
                                         0600);
    }
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The agent blocks the signals it reads from its signalfd and ignores SIGPIPE; the child
    // starts afresh.
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (const int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int result =
        posix_spawn(&pid, pointers[0], &actions, &attributes, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(result);
        return -1;
    }
    return pid;
}

}  // namespace talagent
