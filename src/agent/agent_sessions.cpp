// The agent's sessions (see agent.h): what a `connect` order starts (a decline, the question,
// x11vnc, or the refusal of a display that is gone), and the children's ends, read from the
// signalfd. The event loop and the control connection are agent.cpp's.
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>

#include "agent/agent.h"
#include "agent/display.h"
#include "agent/log.h"
#include "agent/secure_session.h"
#include "agent/session.h"

namespace talagent {
namespace {

// The dialog closes itself after --ask-timeout; past this much more the agent ends it.
constexpr auto kAskGrace = std::chrono::seconds(2);

std::string DescribeStatus(int status) {
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("ended by signal ") + std::to_string(WTERMSIG(status));
    return "ended";
}

}  // namespace

void Agent::Order(const Message& order) {
    const bool open = std::any_of(sessions_.begin(), sessions_.end(),
                                  [&](const Session& s) { return s.id == order.id; });
    if (link_.Admit(order, open, sessions_.size()) != Admission::kStart)
        return;
    const Endpoint target = link_.Target(order);
    Session& session =
        sessions_.emplace_back(Session{order.id, target, order.operator_name, order.right});
    if (const auto gone = WhyDisplayIsGone(options_.display)) {
        Refuse(session, *gone);
        return;
    }
    if (!options_.ask) {
        StartX11vnc(session);
        return;
    }
    std::string error;
    session.dialog = Spawn(AskArgv(options_, order.operator_name, order.right), {}, error);
    if (session.dialog < 0) {
        Log(Level::Error, "session " + order.id + " denied: " + error);
        sessions_.pop_back();
        Decline(order.id, wire::kDeclineDenied);
        return;
    }
    session.ask_deadline =
        Clock::now() + std::chrono::seconds(options_.ask_timeout_seconds) + kAskGrace;
    Log(Level::Info, "session " + order.id + ": asking on display " + options_.display);
}

void Agent::Decline(const std::string& id, std::string_view reason) {
    link_.Decline(id, reason);
}

std::string Agent::ServerName() const {
    return options_.insecure ? "x11vnc" : "the session's TLS end";
}

void Agent::StartX11vnc(Session& session) {
    std::string error;
    // Encrypted, the session's own process is the viewer's TLS server and starts x11vnc plain.
    session.server =
        options_.insecure
            ? Spawn(X11vncArgv(options_, session.id, session.target, session.right),
                    options_.x11vnc_log, error)
            : SpawnSecureSession(options_, session.id, session.target, session.right, error);
    if (session.server < 0) {
        Log(Level::Error, "session " + session.id + " not started: " + error);
        const std::string id = session.id;
        sessions_.remove_if([&](const Session& s) { return &s == &session; });
        Decline(id, wire::kDeclineFailed);
        return;
    }
    Log(Level::Info, "session " + session.id + ": " + ServerName() + " started (pid " +
                         std::to_string(session.server) + ")");
}

void Agent::Refuse(Session& session, const std::string& why) {
    std::string error;
    session.refusal = SpawnRefusal(session.target, session.id, DisplayGoneReason(options_), error);
    if (session.refusal < 0) {
        Log(Level::Error, "session " + session.id + " not started (" + why + "): " + error);
        sessions_.remove_if([&](const Session& s) { return &s == &session; });
        return;
    }
    Log(Level::Warning, "session " + session.id + " not started: " + why + "; telling the viewer");
}

void Agent::OnSignal() {
    signalfd_siginfo info{};
    bool child = false;
    while (::read(signals_, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGCHLD) {
            child = true;
        } else if (exit_status_ < 0) {
            Log(Level::Info,
                info.ssi_signo == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM");
            Finish(kExitStopped);
        }
    }
    // SIGCHLDs merge: collect every child that has ended.
    int status = 0;
    pid_t pid;
    while (child && (pid = waitpid(-1, &status, WNOHANG)) > 0)
        Reap(pid, status);
}

void Agent::Reap(pid_t pid, int status) {
    const auto session = std::find_if(sessions_.begin(), sessions_.end(), [&](const Session& s) {
        return s.dialog == pid || s.server == pid || s.refusal == pid;
    });
    if (session == sessions_.end())
        return;
    if (session->refusal == pid) {
        Log(Level::Info, "session " + session->id +
                             (WIFEXITED(status) && WEXITSTATUS(status) == 0
                                  ? ": the viewer was told that the display is gone"
                                  : ": the viewer could not be told that the display is gone"));
        sessions_.erase(session);
        return;
    }
    if (session->server == pid) {
        Log(Level::Info,
            "session " + session->id + " ended: " + ServerName() + " " + DescribeStatus(status));
        sessions_.erase(session);
        return;
    }
    session->dialog = -1;
    const bool allowed = WIFEXITED(status) && WEXITSTATUS(status) == kAllowStatus;
    if (allowed && exit_status_ < 0) {
        Log(Level::Info, "session " + session->id + " allowed at the screen");
        StartX11vnc(*session);
        return;
    }
    std::string why = "the dialog " + DescribeStatus(status);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kDenyStatus)
        why = "denied at the screen";
    else if (session->dialog_timed_out || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
        why = "no answer within " + std::to_string(options_.ask_timeout_seconds) + " s";
    else if (exit_status_ >= 0)
        why = "the agent is stopping";
    Log(Level::Info, "session " + session->id + " not started: " + why);
    if (exit_status_ < 0)
        Decline(session->id, wire::kDeclineDenied);
    sessions_.erase(session);
}

}  // namespace talagent
