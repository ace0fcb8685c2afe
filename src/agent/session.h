// The processes a session starts: the command lines of x11vnc and of the Allow/Deny question,
// starting a program from an argv without a shell, and the refusal of a session the agent
// cannot serve. Every value in these argvs has passed the
// checks of protocol.h or options.h; none goes through a shell.
#pragma once

#include <sys/types.h>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/options.h"
#include "agent/protocol.h"

namespace talagent {

// The exit statuses of the dialog's buttons. Any other ending (the dialog's own time-out exits
// with 0, a closed window or a crash with something else) denies.
inline constexpr int kAllowStatus = 101;
inline constexpr int kDenyStatus = 102;

// x11vnc for session `id`, connecting out to `target` through the repeater convention, taking
// no input for Right::View: the plain session of --insecure. The paths in `options` are absolute
// (main.cpp makes them so): x11vnc gives some relative words in -passwdfile a meaning of its own.
std::vector<std::string> X11vncArgv(const Options& options, std::string_view id,
                                    const Endpoint& target, Right right);
// x11vnc serving the one viewer on its stdin and ending with it: the encrypted session, whose
// session process (secure_session.h) runs the TLS and hands x11vnc the plain bytes.
std::vector<std::string> X11vncArgv(const Options& options, Right right);

// xmessage (or a program taking the same options) asking the person at options.display whether
// `operator_name` (a proven operator's name: protocol.h) may see or control the screen.
std::vector<std::string> AskArgv(const Options& options, std::string_view operator_name,
                                 Right right);

// What the viewer is told when the agent's display is gone.
std::string DisplayGoneReason(const Options& options);

// Refuses session `id` in x11vnc's place (protocol.h): a child process connects to `target`,
// says `reason` to the viewer and ends when the viewer closes or 20 s have passed, in a process
// group of its own. Returns the pid, or -1 with `error` set.
pid_t SpawnRefusal(const Endpoint& target, const std::string& id, const std::string& reason,
                   std::string& error);

// Starts argv[0] (an absolute path) with argv, stdin from `input` (-1: /dev/null), stdout and
// stderr to `output` (appended; empty: /dev/null), default signal handling and an empty signal
// mask, in a process group of its own (or, with `own_group` false, in the caller's: a session
// process's x11vnc goes when its group is ended). Returns the pid, or -1 with `error` set.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& output, std::string& error,
            int input = -1, bool own_group = true);

// Forks a session process: a process group of its own, none of the agent's descriptors above
// stderr, signals unblocked; it runs `body` and exits with what it returns. Returns the pid, or
// -1 with `error` set.
pid_t SpawnProcess(const std::function<int()>& body, std::string& error);

// A blocking connection to `target` whose connect, sends and receives each wait at most 2 s;
// -1 when none can be made.
int ConnectTo(const Endpoint& target);

}  // namespace talagent
