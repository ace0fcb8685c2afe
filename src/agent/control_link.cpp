// The agent's control connection without I/O (see control_link.h): the attempt's states and
// time-outs, the back-off, the send queue's bound, the server's lines, and the rules an order
// must pass before a session starts.
#include "agent/control_link.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "agent/backoff.h"
#include "agent/log.h"

namespace talagent {
namespace {

using namespace std::chrono_literals;

// How long a connection attempt, and then registration (the TLS handshake included), may take
// before the agent tries again.
constexpr auto kConnectTimeout = 10s;
constexpr auto kRegisterTimeout = 30s;
// A registration that held this long resets the back-off to --retry-min; a server that accepts
// and drops agents at once keeps them backing off instead of reconnecting every second.
constexpr auto kStableConnection = 30s;
// Unsent bytes to the server at most; a server that does not read is dropped.
constexpr std::size_t kMaxOutput = 64 * 1024;

std::string Seconds(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(duration.count()) / 1000);
    return text;
}

}  // namespace

std::string Sessions(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " session" : " sessions");
}

ControlLink::ControlLink(Options options, Key key, std::uint64_t seed)
    : options_(std::move(options)), key_(std::move(key)), random_(seed) {}

void ControlLink::Drive(Driver& driver) {
    for (auto events = TakeEvents(); !driver.stopping(); events = TakeEvents()) {
        if (events.empty()) {
            driver.Flush();
            events = TakeEvents();
            if (events.empty())
                return;
        }
        for (const LinkEvent& event : events) {
            if (driver.stopping())
                return;
            switch (event.kind) {
                case LinkEvent::Kind::kConnect:
                    driver.Connect();
                    break;
                case LinkEvent::Kind::kStartTls:
                    driver.StartTls();
                    break;
                case LinkEvent::Kind::kClose:
                    driver.Close();
                    break;
                case LinkEvent::Kind::kOrder:
                    driver.Order(event.order);
                    break;
                case LinkEvent::Kind::kStop:
                    driver.Stop();
                    break;
            }
        }
    }
}

ControlLink::Clock::time_point ControlLink::deadline() const {
    return state_ == State::kRegistered || stopped_ ? Clock::time_point::max() : deadline_;
}

void ControlLink::OnTime(Clock::time_point now) {
    if (stopped_ || state_ == State::kRegistered || now < deadline_)
        return;
    if (state_ == State::kWaiting) {
        state_ = State::kConnecting;
        deadline_ = now + kConnectTimeout;
        events_.push_back({LinkEvent::Kind::kConnect, {}});
        return;
    }
    Drop(state_ == State::kConnecting ? "no connection within 10 s" : "not registered within 30 s",
         now);
}

void ControlLink::Connected(std::string address, Clock::time_point now) {
    if (state_ != State::kConnecting)
        return;
    // An order may name the server by the address the agent reached it at.
    server_address_ = std::move(address);
    deadline_ = now + kRegisterTimeout;
    out_.clear();
    if (!options_.insecure) {
        state_ = State::kHandshaking;
        events_.push_back({LinkEvent::Kind::kStartTls, {}});
        return;
    }
    state_ = State::kRegistering;
    splitter_ = LineSplitter();
    Log(Level::Info, "connected to " + options_.server.ToString() + "; registering");
    Send(registration_.Start(), now);
}

void ControlLink::Handshaken(TlsStatus status, const std::string& detail, Clock::time_point now) {
    if (state_ != State::kHandshaking)
        return;
    switch (status) {
        case TlsStatus::Done:
            state_ = State::kRegistering;
            splitter_ = LineSplitter();
            Log(Level::Info, "connected to " + options_.server.ToString() + " (" + detail +
                                 ", the server's certificate verified); registering");
            out_ += registration_.Start();
            return;
        case TlsStatus::WantRead:
        case TlsStatus::WantWrite:
            return;
        case TlsStatus::Closed:
            Drop(
                "the server closed the connection during the TLS handshake (a directory server "
                "without --cert does so)",
                now);
            return;
        case TlsStatus::Failed:
            // A wrong server (a mistake in the network or in --server, or someone in between)
            // is no reason to stop: the right one may answer at the next attempt.
            Drop("no TLS with " + options_.server.ToString() + ": " + detail +
                     " (nothing sent; not stopping)",
                 now);
            return;
    }
}

void ControlLink::ReceiveEnded(const std::string& error, Clock::time_point now) {
    Failed(error.empty() ? "the server closed the connection" : "connection error: " + error, now);
}

void ControlLink::SendFailed(const std::string& error, Clock::time_point now) {
    Failed("cannot send to the server: " + (error.empty() ? "the connection is closed" : error),
           now);
}

void ControlLink::Received(std::string_view bytes, Clock::time_point now) {
    if (!open())
        return;
    for (const auto& line : splitter_.Feed(bytes)) {
        // A line that dropped the connection or stopped the agent ends the batch.
        if (stopped_ || state_ == State::kWaiting)
            return;
        if (line.overlong) {
            Log(Level::Warning, "ignoring a line of more than " + std::to_string(kMaxLine) +
                                    " bytes from the server: " + Printable(line.text));
        } else {
            OnLine(line.text, now);
        }
    }
}

void ControlLink::OnLine(const std::string& line, Clock::time_point now) {
    using Step = Registration::Outcome::Step;
    Registration::Outcome outcome = registration_.OnLine(line);
    switch (outcome.step) {
        case Step::kNone:
            return;
        case Step::kSend:
            Send(outcome.text, now);
            return;
        case Step::kRegistered:
            state_ = State::kRegistered;
            registered_at_ = now;
            return;
        case Step::kDrop:
            Drop(outcome.text, now);
            return;
        case Step::kRefused:
            stopped_ = true;
            events_.push_back({LinkEvent::Kind::kStop, {}});
            return;
        case Step::kConnect:
            events_.push_back({LinkEvent::Kind::kOrder, std::move(outcome.order)});
            return;
    }
}

void ControlLink::Failed(const std::string& why, Clock::time_point now) {
    if (state_ != State::kWaiting && !stopped_)
        Drop(why, now);
}

void ControlLink::Send(std::string_view bytes, Clock::time_point now) {
    if (out_.size() + bytes.size() > kMaxOutput) {
        Drop("the server does not read what the agent sends", now);
        return;
    }
    out_ += bytes;
}

void ControlLink::Decline(const std::string& id, std::string_view reason) {
    // On a later connection the server no longer knows the order: it would ignore the line.
    if (state_ == State::kRegistered)
        Send(std::string(kDeclined) + id + " " + std::string(reason) + "\n", Clock::now());
}

void ControlLink::Drop(const std::string& why, Clock::time_point now) {
    events_.push_back({LinkEvent::Kind::kClose, {}});
    if (state_ == State::kRegistered && now - registered_at_ >= kStableConnection)
        failures_ = 0;
    state_ = State::kWaiting;
    registration_.Reset();
    out_.clear();
    const auto wait = RetryWait(options_.retry_min, options_.retry_max, failures_, random_);
    failures_ = std::min(failures_ + 1, 62);
    deadline_ = now + wait;
    // With several --server options, the next one is tried (several servers act as one).
    options_.server = NextServer(options_, options_.server);
    Log(Level::Warning, why + "; connecting again in " + Seconds(wait));
}

Admission ControlLink::Admit(const Message& order, bool already_open, std::size_t open) {
    const Endpoint target = Target(order);
    const std::string who =
        order.operator_name.empty() ? "no proven operator" : order.operator_name;
    const std::string what = "session " + order.id + " to " + target.ToString() + " (" + who +
                             (order.right == Right::View ? ", view only)" : ", control)");
    // Only the server proves operators; an order to connect elsewhere would hand the screen to
    // whoever listens there.
    if (!IsConfiguredServer(options_, server_address_, target)) {
        Log(Level::Warning, "refusing the order for " + what + ": not this agent's server " +
                                options_.server.ToString());
        return Admission::kIgnore;
    }
    if (already_open) {
        Log(Level::Warning, "ignoring the order for " + what + ": that session is already open");
        return Admission::kIgnore;
    }
    if (open >= static_cast<std::size_t>(options_.max_sessions)) {
        Log(Level::Warning, "declining the order for " + what + ": " + Sessions(open) +
                                (open == 1 ? " is" : " are") + " open (--max-sessions)");
        Decline(order.id, wire::kDeclineBusy);
        return Admission::kDecline;
    }
    // The question names who asks; an order that names nobody must not raise it, or anyone who
    // reaches the server could put questions on this screen.
    if (options_.ask && order.operator_name.empty()) {
        Log(Level::Warning, "declining the order for " + what +
                                ": --ask shows the screen only to a proven operator");
        Decline(order.id, wire::kDeclineDenied);
        return Admission::kDecline;
    }
    Log(Level::Info, "order for " + what);
    return Admission::kStart;
}

}  // namespace talagent
