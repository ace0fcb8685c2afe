// The server core's public face (server.h): input is buffered and stepped through the phases
// in handshake.cpp and messages.cpp; frames go to updates.cpp. The only I/O is the two byte
// queues and the event queue the front end drains.
#include "rfbserver/server.h"

#include <algorithm>

#include "rfbserver/session.h"

namespace rfbserver {
namespace detail {
namespace {

// Start compacting the input buffer once this much of it has been read.
constexpr std::size_t kCompactAfter = 64 * 1024;

}  // namespace

void Close(Session& s, std::string reason) {
    if (s.phase == Phase::kClosed) {
        return;
    }
    s.phase = Phase::kClosed;
    s.input.clear();
    s.input.shrink_to_fit();
    s.read = 0;
    s.events.push_back(event::Closed{std::move(reason)});
}

}  // namespace detail

using detail::Phase;

struct Server::State : detail::Session {
    using Session::Session;
};

Server::Server(Options options) : state_(std::make_unique<State>(std::move(options))) {
    // The version comes first, before the viewer says anything.
    const std::string_view version = "RFB 003.008\n";
    state_->output.assign(version.begin(), version.end());
}

Server::~Server() = default;

void Server::Receive(std::span<const uint8_t> data) {
    auto& s = *state_;
    if (s.phase == Phase::kClosed || data.empty()) {
        return;
    }
    if (s.phase == Phase::kWaitTls) {
        detail::Close(s, "data arrived before the TLS handshake was reported done");
        return;
    }
    // Drop what has been read once it is a good part of the buffer: amortised linear.
    if (s.read == s.input.size()) {
        s.input.clear();
        s.read = 0;
    } else if (s.read >= detail::kCompactAfter && s.read * 2 >= s.input.size()) {
        s.input.erase(s.input.begin(), s.input.begin() + static_cast<std::ptrdiff_t>(s.read));
        s.read = 0;
    }
    s.input.insert(s.input.end(), data.begin(), data.end());
    while (s.phase != Phase::kClosed &&
           (s.phase >= Phase::kNormal ? detail::StepMessage(s) : detail::StepHandshake(s))) {
    }
}

std::vector<uint8_t> Server::TakeOutput() {
    std::vector<uint8_t> out;
    out.swap(state_->output);
    return out;
}

bool Server::HasOutput() const {
    return !state_->output.empty();
}

std::optional<Event> Server::PollEvent() {
    auto& events = state_->events;
    if (events.empty()) {
        return std::nullopt;
    }
    Event e = std::move(events.front());
    events.pop_front();
    return e;
}

void Server::TlsEstablished() {
    auto& s = *state_;
    if (s.phase != Phase::kWaitTls) {
        return;
    }
    s.input.clear();
    s.read = 0;
    // X509None authenticates nothing beyond the certificates: the result follows at once (3.8
    // sends one after every security type, 3.7 only after a password).
    if (s.minor_version >= 8) {
        detail::Put32(s.output, 0);
    }
    s.phase = Phase::kClientInit;
}

bool Server::WantsFrame() const {
    const auto& s = *state_;
    return s.phase >= Phase::kNormal && s.phase != Phase::kClosed && s.update_requested &&
           s.output.size() <= s.options.max_pending_output;
}

void Server::SetFrame(const Frame& frame) {
    auto& s = *state_;
    if (s.phase == Phase::kClosed || frame.width <= 0 || frame.height <= 0 ||
        frame.width > 0xffff || frame.height > 0xffff || frame.stride < frame.width ||
        frame.pixels == nullptr) {
        return;
    }
    if (frame.width != s.width || frame.height != s.height) {
        s.width = frame.width;
        s.height = frame.height;
        // Before ServerInit the size is simply the one announced.
        s.resize_pending = s.phase >= Phase::kNormal;
        s.shadow_valid = false;
    }
    s.size_known = true;
    if (s.phase == Phase::kWaitSize) {
        detail::SendServerInit(s);
        return;
    }
    if (WantsFrame()) {
        detail::SendUpdate(s, frame);
    }
}

void Server::SetCursor(const rfb::Cursor& cursor) {
    if (cursor.width < 0 || cursor.height < 0 || cursor.width > 0xffff || cursor.height > 0xffff ||
        cursor.pixels.size() != static_cast<std::size_t>(cursor.width) * cursor.height) {
        return;  // not a shape: the viewer keeps the one it has
    }
    state_->cursor = cursor;
    state_->cursor_pending = true;
}

void Server::SetClipboard(std::string_view utf8_text) {
    auto& s = *state_;
    // Cut to the limit at a character's start, so the text stays UTF-8.
    std::size_t length = std::min(utf8_text.size(), s.options.max_clipboard_bytes);
    while (length < utf8_text.size() && length > 0 &&
           (static_cast<unsigned char>(utf8_text[length]) & 0xc0) == 0x80) {
        --length;
    }
    s.clipboard.assign(utf8_text.substr(0, length));
    if (s.phase >= Phase::kNormal && s.phase != Phase::kClosed) {
        detail::SendClipboard(s);
    }
}

void Server::Bell() {
    auto& s = *state_;
    if (s.phase >= Phase::kNormal && s.phase != Phase::kClosed) {
        s.output.push_back(rfb::server_msg::kBell);
    }
}

bool Server::ready() const {
    return state_->phase >= Phase::kNormal && state_->phase != Phase::kClosed;
}

bool Server::closed() const {
    return state_->phase == Phase::kClosed;
}

}  // namespace rfbserver
