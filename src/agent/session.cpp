// Command lines of a session's processes, and starting them with posix_spawn (see session.h).
#include "agent/session.h"

#include <fcntl.h>
#include <netdb.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <utility>

extern char** environ;

namespace talagent {
namespace {

using Clock = std::chrono::steady_clock;

// The whole refusal, from the connection to the viewer's close, takes at most this long.
constexpr auto kRefusalTime = std::chrono::seconds(20);

bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

int ConnectTo(const Endpoint& target) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(target.host.c_str(), std::to_string(target.port).c_str(), &hints, &list) != 0)
        return -1;
    int fd = -1;
    // Each connect, send and receive waits at most 2 s (SO_SNDTIMEO bounds connect too).
    const timeval wait{2, 0};
    for (const addrinfo* a = list; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0)
            ::close(std::exchange(fd, -1));
    }
    freeaddrinfo(list);
    return fd;
}

namespace {

// The refusal's side of the connection (protocol.h); the exit status of its process.
int Refuse(const Endpoint& target, const std::string& id, const std::string& reason) {
    const auto deadline = Clock::now() + kRefusalTime;
    const int fd = ConnectTo(target);
    if (fd < 0 || !SendAll(fd, IdBlock(id) + std::string(kRfbVersion)))
        return 1;
    std::string version;
    char buffer[512];
    while (version.size() < kRfbVersion.size() && Clock::now() < deadline) {
        const ssize_t n = ::recv(fd, buffer, kRfbVersion.size() - version.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return 1;
        if (n > 0)
            version.append(buffer, static_cast<std::size_t>(n));
    }
    if (version.size() < kRfbVersion.size() || !SendAll(fd, RfbRefusal(version, reason)))
        return 1;
    // Closed only once the viewer has closed: closing first with its bytes unread would reset
    // the connection, and the relay could lose the refusal.
    shutdown(fd, SHUT_WR);
    while (Clock::now() < deadline) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
    }
    return 0;
}

}  // namespace

std::string DisplayGoneReason(const Options& options) {
    return "the desktop of this machine is not available: no X server runs on display " +
           options.display + " (the user may have logged out)";
}

pid_t SpawnRefusal(const Endpoint& target, const std::string& id, const std::string& reason,
                   std::string& error) {
    return SpawnProcess([&] { return Refuse(target, id, reason); }, error);
}

pid_t SpawnProcess(const std::function<int()>& body, std::string& error) {
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("cannot fork: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        // The agent is one thread, so the child may go on in C++. It keeps none of the agent's
        // descriptors (the control connection would outlive a drop), and takes signals again.
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (close_range(3, ~0U, 0) != 0) {
            for (int fd = 3; fd < 1024; ++fd)
                ::close(fd);
        }
        _exit(body());
    }
    setpgid(pid, pid);  // as in the child: whichever runs first
    return pid;
}

namespace {

// What both kinds of session give x11vnc.
// -nopw only silences x11vnc's warning that it has no password of its own, which would
// otherwise hold every session's start back by a second; the agent decides who connects.
// -noprimary: a mere selection on this screen (PRIMARY) is not sent to the operator, whose
// clipboard it would overwrite; what the user copies (CLIPBOARD) is.
std::vector<std::string> CommonArgv(const Options& options) {
    return {options.x11vnc, "-display", options.display, "-rfbport", "0",
            "-noxdamage",   "-nopw",    "-noprimary"};
}

void AddRightAndPassword(std::vector<std::string>& argv, const Options& options, Right right) {
    if (right == Right::View)
        argv.push_back("-viewonly");
    if (!options.password_file.empty())
        argv.insert(argv.end(), {"-passwdfile", options.password_file});
}

}  // namespace

std::vector<std::string> X11vncArgv(const Options& options, std::string_view id,
                                    const Endpoint& target, Right right) {
    std::vector<std::string> argv = CommonArgv(options);
    argv.insert(argv.end(), {"-once", "-timeout", "30", "-connect_or_exit",
                             "repeater=ID:" + std::string(id) + "+" + target.ToString()});
    AddRightAndPassword(argv, options, right);
    return argv;
}

std::vector<std::string> X11vncArgv(const Options& options, Right right) {
    // In -inetd mode x11vnc naps 250 ms between the viewer's first messages (its idle naps
    // count from a start that had no viewer), which held the first frame back by a second and
    // more; -nonap keeps it awake.
    std::vector<std::string> argv = CommonArgv(options);
    argv.insert(argv.end(), {"-inetd", "-nonap"});
    AddRightAndPassword(argv, options, right);
    return argv;
}

std::vector<std::string> AskArgv(const Options& options, std::string_view operator_name,
                                 Right right) {
    std::string question(operator_name);
    question +=
        right == Right::View ? " wants to see this screen." : " wants to control this screen.";
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
            question};
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& output, std::string& error,
            int input, bool own_group) {
    std::vector<char*> pointers;
    for (const auto& arg : argv)
        pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (input >= 0)
        posix_spawn_file_actions_adddup2(&actions, input, 0);
    else
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
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              (own_group ? POSIX_SPAWN_SETPGROUP : 0));
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
