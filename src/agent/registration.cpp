// The control connection's registration and the server's lines (see registration.h).
#include "agent/registration.h"

#include <algorithm>

#include "agent/log.h"
#include "common/wire.h"

namespace talagent {
namespace {

// A refusal the server may lift later (too many agents for now): connect again, do not stop.
constexpr std::string_view kTransientRefusal = "busy";

using Step = Registration::Outcome::Step;

Registration::Outcome Do(Step step, std::string text = {}) {
    return {step, std::move(text), {}};
}

}  // namespace

std::string Registration::Start() {
    state_ = State::kRegistering;
    proof_sent_ = false;
    return std::string(kRegister) + name_ + "\n";
}

Registration::Outcome Registration::OnLine(const std::string& line) {
    Message message = ParseLine(line);
    switch (message.kind) {
        case MessageKind::Ping:
            return Do(Step::kSend, std::string(kPong));
        case MessageKind::Challenge:
            if (state_ != State::kRegistering || proof_sent_) {
                Log(Level::Warning, "ignoring an unexpected challenge from the server");
                return {};
            }
            if (key_.empty()) {
                Log(Level::Error,
                    "the server wants a proof of this agent's key, but no --key-file was given");
                return Do(Step::kRefused);
            }
            proof_sent_ = true;
            return Do(Step::kSend, std::string(kProof) + Proof(key_, message.text) + "\n");
        case MessageKind::Registered:
            if (state_ != State::kRegistering) {
                Log(Level::Warning, "ignoring an unexpected 'registered' from the server");
                return {};
            }
            // A server that lists this agent without asking for the key it was given is not
            // the server that checks keys: it could be anyone who got in between.
            if (!key_.empty() && !proof_sent_) {
                return Do(Step::kDrop,
                          "the server registered this agent without asking for its key");
            }
            state_ = State::kRegistered;
            Log(Level::Info, "registered as " + Printable(name_) +
                                 (proof_sent_ ? " (key proven)" : " (the server checks no keys)"));
            return Do(Step::kRegistered);
        case MessageKind::Refused:
            if (std::string_view(message.text).starts_with(kTransientRefusal)) {
                return Do(Step::kDrop, "the server refused for now: " + Printable(message.text));
            }
            if (message.text == wire::kRefuseTlsRequired) {
                Log(Level::Error,
                    "the server takes agents only over TLS: give talagent --cert and --ca "
                    "instead of --insecure");
            } else {
                Log(Level::Error,
                    "the server refused " + Printable(name_) + " for good: " +
                        (message.text.empty() ? "(no reason given)" : Printable(message.text)));
            }
            return Do(Step::kRefused);
        case MessageKind::Connect:
            if (state_ != State::kRegistered) {
                Log(Level::Warning, "ignoring a connect order before registration");
                return {};
            }
            return {Step::kConnect, {}, std::move(message)};
        case MessageKind::Bad:
            Log(Level::Warning,
                "ignoring a line from the server (" + message.text + "): " + Printable(line));
            return {};
    }
    return {};
}

bool IsConfiguredServer(const Options& options, std::string_view connected_address,
                        const Endpoint& target) {
    if (target.port == options.server.port &&
        (target.host == options.server.host || target.host == connected_address)) {
        return true;
    }
    return std::any_of(options.servers.begin(), options.servers.end(), [&](const Endpoint& e) {
        return e.port == target.port && e.host == target.host;
    });
}

Endpoint NextServer(const Options& options, const Endpoint& current) {
    const auto at = std::find_if(
        options.servers.begin(), options.servers.end(),
        [&](const Endpoint& e) { return e.host == current.host && e.port == current.port; });
    if (options.servers.size() < 2 || at == options.servers.end()) {
        return current;
    }
    return at + 1 == options.servers.end() ? options.servers.front() : *(at + 1);
}

}  // namespace talagent
