// The RFB client's state machine (see client.h): the byte queues and the event queue the front
// end drains, input, the clipboard, the encodings asked for, update requests, continuous updates
// and fences, and the server's messages. The handshake is client_handshake.cpp; the rectangles
// of updates client_rects.cpp.
#include "rfb/client.h"

#include <algorithm>

#include "rfb/bytes.h"
#include "rfb/cut_text.h"

namespace rfb {
namespace {

using namespace client_msg;
using namespace server_msg;

// Start compacting the input buffer once this much of it has been read.
constexpr std::size_t kCompactAfter = 64 * 1024;
// Fence flags the core honours; it handles messages one at a time, in order, so all of them.
constexpr uint32_t kFenceFlagsHonoured =
    fence::kBlockBefore | fence::kBlockAfter | fence::kSyncNext;

}  // namespace

void Client::Receive(std::span<const uint8_t> data) {
    if (phase_ == Phase::kFailed || data.empty()) {
        return;
    }
    if (phase_ == Phase::kWaitTls) {
        Fail("data arrived before the TLS handshake was reported done");
        return;
    }
    // Drop what has been read once it is a good part of the buffer: amortised linear.
    if (read_ == input_.size()) {
        input_.clear();
        read_ = 0;
    } else if (read_ >= kCompactAfter && read_ * 2 >= input_.size()) {
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(read_));
        read_ = 0;
    }
    input_.insert(input_.end(), data.begin(), data.end());
    Run();
}

std::vector<uint8_t> Client::TakeOutput() {
    std::vector<uint8_t> out;
    out.swap(output_);
    return out;
}

std::optional<Event> Client::PollEvent() {
    if (events_.empty()) {
        return std::nullopt;
    }
    Event e = std::move(events_.front());
    events_.pop_front();
    return e;
}

void Client::SendKey(uint32_t keysym, bool down) {
    if (!connected()) {
        return;
    }
    output_.insert(output_.end(), {kKeyEvent, static_cast<uint8_t>(down ? 1 : 0), 0, 0});
    Put32(output_, keysym);
}

void Client::SendPointer(int x, int y, uint8_t button_mask) {
    if (!connected()) {
        return;
    }
    x = std::clamp(x, 0, std::max(framebuffer_.width - 1, 0));
    y = std::clamp(y, 0, std::max(framebuffer_.height - 1, 0));
    output_.insert(output_.end(), {kPointerEvent, button_mask});
    Put16(output_, static_cast<uint32_t>(x));
    Put16(output_, static_cast<uint32_t>(y));
}

void Client::SendClipboard(std::string_view utf8_text) {
    if (!connected()) {
        return;
    }
    if (server_clipboard_ != 0) {
        // Extended Clipboard: say there is text; the server asks for it when it wants it. A
        // server that takes no notices gets the text at once.
        clipboard_out_ = utf8_text;
        if (server_clipboard_ & clipboard::kNotify) {
            SendExtendedClipboard(clipboard::kNotify | clipboard::kText);
        } else if (clipboard_out_.size() <= server_text_limit_) {
            SendExtendedClipboard(clipboard::kProvide | clipboard::kText, PackText(clipboard_out_));
        }
        return;
    }
    const std::string text = Utf8ToLatin1(utf8_text);
    output_.insert(output_.end(), {kClientCutText, 0, 0, 0});
    Put32(output_, static_cast<uint32_t>(text.size()));
    output_.insert(output_.end(), text.begin(), text.end());
}

void Client::Fail(std::string reason) {
    if (phase_ == Phase::kFailed) {
        return;
    }
    phase_ = Phase::kFailed;
    DropRect();
    input_.clear();
    input_.shrink_to_fit();
    read_ = 0;
    events_.push_back(event::Failed{std::move(reason)});
}

void Client::Run() {
    while (phase_ != Phase::kFailed && Step()) {
    }
}

// One step of the current phase; false when it needs more input (or the front end).
bool Client::Step() {
    switch (phase_) {
        case Phase::kVersion:
            return StepVersion();
        case Phase::kSecurityTypes:
            return StepSecurityTypes();
        case Phase::kSecurityType33:
            return StepSecurityType33();
        case Phase::kVeNCryptVersion:
        case Phase::kVeNCryptAck:
        case Phase::kVeNCryptSubtypes:
        case Phase::kVeNCryptAccept:
            return StepVeNCrypt();
        case Phase::kVncChallenge:
            return StepVncChallenge();
        case Phase::kSecurityResult:
            return StepSecurityResult();
        case Phase::kFailureReason:
            return StepFailureReason();
        case Phase::kServerInit:
            return StepServerInit();
        case Phase::kNormal:
            return StepMessage();
        case Phase::kUpdateRects:
            return StepRect();
        case Phase::kSkip:
            return StepSkip();
        case Phase::kWaitTls:
        case Phase::kWaitPassword:
        case Phase::kWaitCredentials:
        case Phase::kFailed:
            return false;
    }
    return false;
}

// SetEncodings: ours in order of preference, then the pseudo-encodings.
void Client::SendEncodings() {
    std::vector<int32_t> encodings;
    for (const Encoding e : options_.encodings) {
        encodings.push_back(static_cast<int32_t>(e));
    }
    // Tight's levels, clamped to the ten the wire has; JPEG only when we can decode it.
    if (options_.jpeg_quality && options_.jpeg) {
        encodings.push_back(static_cast<int32_t>(Encoding::kJpegQuality0) +
                            std::clamp(*options_.jpeg_quality, 0, 9));
    }
    if (options_.compress_level) {
        encodings.push_back(static_cast<int32_t>(Encoding::kCompressLevel0) +
                            std::clamp(*options_.compress_level, 0, 9));
    }
    encodings.push_back(static_cast<int32_t>(Encoding::kCursor));
    encodings.push_back(static_cast<int32_t>(Encoding::kDesktopSize));
    encodings.push_back(static_cast<int32_t>(Encoding::kExtendedDesktopSize));
    encodings.push_back(static_cast<int32_t>(Encoding::kExtendedClipboard));
    encodings.push_back(static_cast<int32_t>(Encoding::kLastRect));
    encodings.push_back(static_cast<int32_t>(Encoding::kFence));
    encodings.push_back(static_cast<int32_t>(Encoding::kContinuousUpdates));
    output_.insert(output_.end(), {kSetEncodings, 0});
    Put16(output_, static_cast<uint32_t>(encodings.size()));
    for (const int32_t e : encodings) {
        Put32(output_, static_cast<uint32_t>(e));
    }
}

void Client::SetEncodings(std::vector<Encoding> encodings, std::optional<int> jpeg_quality,
                          std::optional<int> compress_level) {
    options_.encodings = std::move(encodings);
    options_.jpeg_quality = jpeg_quality;
    options_.compress_level = compress_level;
    if (connected()) {
        SendEncodings();
    }
}

void Client::RequestUpdate(bool incremental) {
    output_.insert(output_.end(), {kFramebufferUpdateRequest,
                                   static_cast<uint8_t>(incremental ? 1 : 0), 0, 0, 0, 0});
    Put16(output_, static_cast<uint32_t>(framebuffer_.width));
    Put16(output_, static_cast<uint32_t>(framebuffer_.height));
    ++requests_in_flight_;
}

// An update's header has arrived: ask for the next one now, so the server has a request while
// this one is still on its way. Every header asks (unless continuous updates make requests
// needless, or the update starts with a resize, whose end asks for the whole desktop), since a
// server may have merged the requests the count still holds.
void Client::AskForNextUpdate(bool resize_first) {
    if (requests_in_flight_ > 0) {
        --requests_in_flight_;
    }
    if (resize_first || (continuous_ == Continuous::kEnabled && !full_request_pending_)) {
        return;
    }
    if (requests_in_flight_ < kMaxRequestsInFlight) {
        RequestUpdate(!full_request_pending_);
        full_request_pending_ = false;
    }
}

void Client::EnableContinuousUpdates() {
    output_.insert(output_.end(), {kEnableContinuousUpdates, 1, 0, 0, 0, 0});
    Put16(output_, static_cast<uint32_t>(framebuffer_.width));
    Put16(output_, static_cast<uint32_t>(framebuffer_.height));
}

// Sent once when the server learns we understand continuous updates, and after we disable them
// (which we never do). Any other one means the server stopped them: requests take over again.
void Client::EndOfContinuousUpdates() {
    if (continuous_ == Continuous::kUnknown) {
        continuous_ = Continuous::kSupported;
    } else if (continuous_ == Continuous::kEnabled) {
        continuous_ = Continuous::kEnded;
        if (requests_in_flight_ < kMaxRequestsInFlight) {
            RequestUpdate(true);
        }
    }
}

// Fence: the server asks for it back (Request) to learn when we have handled what it sent
// before; a fence without Request would answer one of ours, and we send none.
bool Client::StepFence() {
    constexpr std::size_t kFixed = 9;  // type, padding, flags, length
    if (Available() < kFixed) {
        return false;
    }
    const uint8_t* p = Peek();
    const uint32_t flags = U32(p + 4);
    const std::size_t length = p[8];
    if (length > fence::kMaxPayload) {
        Fail("the server sent a fence with " + std::to_string(length) +
             " bytes of data, more than the " + std::to_string(fence::kMaxPayload) + " allowed");
        return false;
    }
    if (Available() < kFixed + length) {
        return false;
    }
    if (flags & fence::kRequest) {
        // The same flags less Request and those we do not know, and the same data.
        output_.insert(output_.end(), {kClientFence, 0, 0, 0});
        Put32(output_, flags & kFenceFlagsHonoured);
        output_.push_back(static_cast<uint8_t>(length));
        output_.insert(output_.end(), p + kFixed, p + kFixed + length);
    }
    Consume(kFixed + length);
    return true;
}

bool Client::StepMessage() {
    if (Available() < 1) {
        return false;
    }
    const uint8_t* p = Peek();
    switch (p[0]) {
        case kFramebufferUpdate: {
            // With the first rectangle's header, which comes in the same packet: an update that
            // starts with a resize asks for the whole new desktop (when it is in), not for
            // changes to the old one.
            constexpr std::size_t kWithFirstRect = 4 + 12;
            if (Available() < 4 || (U16(p + 2) > 0 && Available() < kWithFirstRect)) {
                return false;
            }
            rects_left_ = U16(p + 2);
            const bool resize_first =
                rects_left_ > 0 &&
                static_cast<int32_t>(U32(p + 12)) == static_cast<int32_t>(Encoding::kDesktopSize);
            Consume(4);
            dirty_.clear();
            full_update_needed_ = false;
            phase_ = Phase::kUpdateRects;
            AskForNextUpdate(resize_first);
            if (rects_left_ == 0) {
                FinishUpdate();
            }
            return true;
        }
        case kSetColourMapEntries:
            // Only sent for colour-mapped formats, which we never ask for: skip the entries.
            if (Available() < 6) {
                return false;
            }
            skip_left_ = uint64_t{U16(p + 4)} * 6;
            Consume(6);
            phase_ = Phase::kSkip;
            return true;
        case kBell:
            Consume(1);
            events_.push_back(event::Bell{});
            return true;
        case kEndOfContinuousUpdates:
            Consume(1);
            EndOfContinuousUpdates();
            return true;
        case kServerFence:
            return StepFence();
        case kServerCutText: {
            if (Available() < 8) {
                return false;
            }
            const uint32_t length = U32(p + 4);
            if (static_cast<int32_t>(length) < 0) {
                // Extended Clipboard: the flags and the compressed text, bounded like plain text
                // (compressed text is no longer than the text it holds, give or take zlib's frame).
                const uint32_t size = ~length + 1;
                if (size < 4 || size > options_.max_clipboard_bytes + 1024) {
                    skip_left_ = size;
                    Consume(8);
                    phase_ = Phase::kSkip;
                    return true;
                }
                if (Available() - 8 < size) {
                    return false;
                }
                ExtendedClipboard(std::span(p + 8, size));
                Consume(8 + size);
                return true;
            }
            if (length > options_.max_clipboard_bytes) {
                // Too large to keep: drop it as it arrives, so it costs no memory.
                skip_left_ = length;
                Consume(8);
                phase_ = Phase::kSkip;
                return true;
            }
            if (Available() - 8 < length) {
                return false;
            }
            const std::string_view text(reinterpret_cast<const char*>(p + 8), length);
            // The standard says Latin-1; x11vnc and others pass a UTF-8 selection on as its
            // bytes. Valid UTF-8 is taken as such (plain ASCII reads the same either way).
            events_.push_back(
                event::Clipboard{IsValidUtf8(text) ? std::string(text) : Latin1ToUtf8(text)});
            Consume(8 + length);
            return true;
        }
        default:
            Fail("the server sent an unknown message (type " + std::to_string(p[0]) + ")");
            return false;
    }
}

// A server's Extended Clipboard message (flags, then what they announce).
void Client::ExtendedClipboard(std::span<const uint8_t> message) {
    using namespace clipboard;
    const uint32_t flags = U32(message.data());
    const bool text = (flags & kText) != 0;
    if (flags & kCaps) {
        // One size per format announced, lowest bit first (text's is the first): the most the
        // server takes unasked; more must be announced and asked for.
        server_clipboard_ = flags;
        server_text_limit_ = text && message.size() >= 8 ? U32(message.data() + 4) : 0;
        std::vector<uint8_t> sizes;
        Put32(sizes, static_cast<uint32_t>(options_.max_clipboard_bytes));
        SendExtendedClipboard(kCaps | kText | kRequest | kPeek | kNotify | kProvide, sizes);
    } else if (flags & kRequest) {
        if (text && !clipboard_out_.empty()) {
            SendExtendedClipboard(kProvide | kText, PackText(clipboard_out_));
        }
    } else if (flags & kPeek) {
        SendExtendedClipboard(kNotify | (clipboard_out_.empty() ? 0 : kText));
    } else if (flags & kNotify) {
        if (text) {
            SendExtendedClipboard(kRequest | kText);
        }
    } else if ((flags & kProvide) && text) {
        if (auto received = UnpackText(message.subspan(4), options_.max_clipboard_bytes)) {
            events_.push_back(event::Clipboard{std::move(*received)});
        }
    }
}

void Client::SendExtendedClipboard(uint32_t flags, std::span<const uint8_t> payload) {
    const auto message = ExtendedCutText(kClientCutText, flags, payload);
    output_.insert(output_.end(), message.begin(), message.end());
}

}  // namespace rfb
