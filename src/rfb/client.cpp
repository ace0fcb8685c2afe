// The RFB client's state machine: handshake, security, and the server's messages, as described in
// client.h. Rectangle payloads go to decoders.cpp; DES to des.cpp. The only I/O is the two byte
// queues and the event queue the front end drains.
#include "rfb/client.h"

#include <algorithm>
#include <cstring>

#include "rfb/bytes.h"
#include "rfb/cut_text.h"
#include "rfb/decoders.h"
#include "rfb/des.h"
#include "rfb/tight.h"

namespace rfb {
namespace {

using namespace client_msg;
using namespace server_msg;

constexpr std::size_t kVersionLength = 12;  // "RFB 003.008\n"
constexpr std::size_t kServerInitFixed = 24;
// Reason texts and desktop names are for display; longer ones are not honest.
constexpr uint32_t kMaxReasonLength = 64 * 1024;
constexpr uint32_t kMaxNameLength = 64 * 1024;
// Start compacting the input buffer once this much of it has been read.
constexpr std::size_t kCompactAfter = 64 * 1024;
// Update requests outstanding at most: the one that keeps the server busy, and a resize's.
constexpr int kMaxRequestsInFlight = 2;
// Fence flags the core honours; it handles messages one at a time, in order, so all of them.
constexpr uint32_t kFenceFlagsHonoured =
    fence::kBlockBefore | fence::kBlockAfter | fence::kSyncNext;

bool IsPseudo(int32_t encoding) {
    return encoding == static_cast<int32_t>(Encoding::kCursor) ||
           encoding == static_cast<int32_t>(Encoding::kDesktopSize) ||
           encoding == static_cast<int32_t>(Encoding::kExtendedDesktopSize);
}

}  // namespace

// The rectangle being decoded and its decoder's place.
struct Client::RectState {
    Rect rect;
    int32_t encoding = 0;
    detail::RawState raw;
    detail::HextileState hextile;
};

Client::Client(Options options)
    : options_(std::move(options)),
      zrle_(std::make_unique<detail::ZrleDecoder>()),
      tight_(std::make_unique<detail::TightDecoder>(options_.jpeg.get())) {}

Client::~Client() = default;

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

void Client::SetPassword(std::string password) {
    password_ = std::move(password);
    if (phase_ == Phase::kWaitPassword) {
        AnswerChallenge();
        Run();
    }
}

void Client::SetCredentials(std::string user, std::string password) {
    user_ = std::move(user);
    SetPassword(std::move(password));
    if (phase_ == Phase::kWaitCredentials) {
        SendPlain();
        Run();
    }
}

void Client::TlsEstablished() {
    if (phase_ != Phase::kWaitTls) {
        return;
    }
    encrypted_ = true;
    input_.clear();
    read_ = 0;
    StartSubtype();
    Run();
}

// What follows the VeNCrypt subtype (inside TLS for the TLS subtypes).
void Client::StartSubtype() {
    switch (vencrypt_subtype_) {
        case kVeNCryptX509Vnc:
        case kSecurityVncAuth:
            phase_ = Phase::kVncChallenge;
            break;
        case kVeNCryptX509Plain:
        case kVeNCryptPlain:
            StartPlain();
            break;
        default:
            AfterSecurity(false);
            break;
    }
}

void Client::StartPlain() {
    if (user_ && password_) {
        SendPlain();
        return;
    }
    phase_ = Phase::kWaitCredentials;
    events_.push_back(event::CredentialsNeeded{.user_name = true});
}

// VeNCrypt Plain: two lengths, then the user name and the password, UTF-8.
void Client::SendPlain() {
    Put32(output_, static_cast<uint32_t>(user_->size()));
    Put32(output_, static_cast<uint32_t>(password_->size()));
    output_.insert(output_.end(), user_->begin(), user_->end());
    output_.insert(output_.end(), password_->begin(), password_->end());
    AfterSecurity(true);
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
    rect_.reset();
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

bool Client::StepVersion() {
    if (Available() < kVersionLength) {
        return false;
    }
    const uint8_t* p = Peek();
    auto digits = [&](int from) {
        int value = 0;
        for (int i = from; i < from + 3; ++i) {
            if (p[i] < '0' || p[i] > '9') {
                return -1;
            }
            value = value * 10 + (p[i] - '0');
        }
        return value;
    };
    const int major = digits(4);
    const int minor = digits(8);
    if (std::memcmp(p, "RFB ", 4) != 0 || p[7] != '.' || p[11] != '\n' || major < 0 || minor < 0) {
        Fail("the server does not speak RFB (no protocol version received)");
        return false;
    }
    if (major < 3) {
        Fail("the server speaks RFB " + std::to_string(major) + "." + std::to_string(minor) +
             ", older than 3.3");
        return false;
    }
    Consume(kVersionLength);
    // 3.4 to 3.6 are vendor variants of 3.3; anything newer than 3.8 accepts 3.8.
    minor_version_ = major > 3 || minor >= 8 ? 8 : minor == 7 ? 7 : 3;
    const std::string reply = "RFB 003.00" + std::to_string(minor_version_) + "\n";
    output_.insert(output_.end(), reply.begin(), reply.end());
    phase_ = minor_version_ >= 7 ? Phase::kSecurityTypes : Phase::kSecurityType33;
    return true;
}

bool Client::StepSecurityTypes() {
    if (Available() < 1) {
        return false;
    }
    const std::size_t count = Peek()[0];
    if (count == 0) {
        Consume(1);
        failure_prefix_ = "the server refused the connection: ";
        phase_ = Phase::kFailureReason;
        return true;
    }
    if (Available() < 1 + count) {
        return false;
    }
    offered_types_.assign(Peek() + 1, Peek() + 1 + count);
    const uint8_t choice = ChooseSecurityType(offered_types_, options_.allow_insecure);
    if (choice == 0) {
        Fail(SecurityRefusal(offered_types_, {}, options_.allow_insecure));
        return false;
    }
    Consume(1 + count);
    output_.push_back(choice);
    if (choice == kSecurityVeNCrypt) {
        phase_ = Phase::kVeNCryptVersion;
    } else if (choice == kSecurityVncAuth) {
        phase_ = Phase::kVncChallenge;
    } else {
        AfterSecurity(false);
    }
    return true;
}

bool Client::StepSecurityType33() {
    if (Available() < 4) {
        return false;
    }
    const uint32_t type = U32(Peek());
    Consume(4);
    if (type == 0) {
        failure_prefix_ = "the server refused the connection: ";
        phase_ = Phase::kFailureReason;
        return true;
    }
    if (!AcceptsImposedType(type, options_.allow_insecure)) {
        Fail(SecurityRefusal(std::vector<uint32_t>{type}, {}, options_.allow_insecure));
        return false;
    }
    if (type == kSecurityVncAuth) {
        phase_ = Phase::kVncChallenge;
    } else {
        // 3.3 sends no SecurityResult after None.
        SendClientInit();
    }
    return true;
}

bool Client::StepVeNCrypt() {
    const uint8_t* p = Peek();
    switch (phase_) {
        case Phase::kVeNCryptVersion:
            if (Available() < 2) {
                return false;
            }
            if (p[0] != 0 || p[1] < 2) {
                Fail("the server's VeNCrypt version " + std::to_string(p[0]) + "." +
                     std::to_string(p[1]) + " is not supported");
                return false;
            }
            Consume(2);
            output_.insert(output_.end(), {0, 2});
            phase_ = Phase::kVeNCryptAck;
            return true;
        case Phase::kVeNCryptAck:
            if (Available() < 1) {
                return false;
            }
            if (p[0] != 0) {
                Fail("the server refused VeNCrypt version 0.2");
                return false;
            }
            Consume(1);
            phase_ = Phase::kVeNCryptSubtypes;
            return true;
        case Phase::kVeNCryptSubtypes: {
            if (Available() < 1) {
                return false;
            }
            const std::size_t count = p[0];
            if (Available() < 1 + 4 * count) {
                return false;
            }
            std::vector<uint32_t> subtypes(count);
            for (std::size_t i = 0; i < count; ++i) {
                subtypes[i] = U32(p + 1 + 4 * i);
            }
            vencrypt_subtype_ = ChooseVeNCryptSubtype(subtypes, options_.allow_insecure);
            if (vencrypt_subtype_ == 0) {
                Fail(SecurityRefusal(offered_types_, subtypes, options_.allow_insecure));
                return false;
            }
            Consume(1 + 4 * count);
            Put32(output_, vencrypt_subtype_);
            phase_ = Phase::kVeNCryptAccept;
            return true;
        }
        case Phase::kVeNCryptAccept: {
            if (Available() < 1) {
                return false;
            }
            if (p[0] != 1) {
                Fail("the server refused VeNCrypt type " + std::to_string(vencrypt_subtype_));
                return false;
            }
            Consume(1);
            if (!IsTlsSubtype(vencrypt_subtype_)) {
                StartSubtype();
                return true;
            }
            event::StartTls start;
            start.tls_bytes.assign(Peek(), Peek() + Available());
            input_.clear();
            read_ = 0;
            phase_ = Phase::kWaitTls;
            events_.push_back(std::move(start));
            return false;
        }
        default:
            return false;
    }
}

bool Client::StepVncChallenge() {
    if (Available() < challenge_.size()) {
        return false;
    }
    std::memcpy(challenge_.data(), Peek(), challenge_.size());
    Consume(challenge_.size());
    if (password_) {
        AnswerChallenge();
        return true;
    }
    phase_ = Phase::kWaitPassword;
    events_.push_back(event::CredentialsNeeded{});
    return false;
}

void Client::AnswerChallenge() {
    const auto response = VncAuthResponse(*password_, challenge_);
    output_.insert(output_.end(), response.begin(), response.end());
    AfterSecurity(true);
}

// VNC authentication always ends in a SecurityResult; None (alone or inside TLS) only from 3.8.
void Client::AfterSecurity(bool password_used) {
    if (password_used || minor_version_ >= 8) {
        phase_ = Phase::kSecurityResult;
    } else {
        SendClientInit();
    }
}

bool Client::StepSecurityResult() {
    if (Available() < 4) {
        return false;
    }
    const uint32_t result = U32(Peek());
    Consume(4);
    if (result == 0) {
        SendClientInit();
        return true;
    }
    const std::string what =
        result == 2 ? "too many authentication attempts" : "authentication failed";
    if (minor_version_ >= 8) {
        failure_prefix_ = what + ": ";
        phase_ = Phase::kFailureReason;
        return true;
    }
    Fail(what + (password_ ? " (wrong password?)" : ""));
    return false;
}

bool Client::StepFailureReason() {
    if (Available() < 4) {
        return false;
    }
    const uint32_t length = U32(Peek());
    if (length > kMaxReasonLength) {
        Fail(failure_prefix_ + "(reason too long to show)");
        return false;
    }
    if (Available() - 4 < length) {
        return false;
    }
    const std::string_view reason(reinterpret_cast<const char*>(Peek() + 4), length);
    Fail(failure_prefix_ +
         (reason.empty() ? std::string("no reason given") : Latin1ToUtf8(reason)));
    return false;
}

void Client::SendClientInit() {
    output_.push_back(1);  // shared: other viewers of the desktop stay connected
    phase_ = Phase::kServerInit;
}

bool Client::ResizeFramebuffer(int width, int height) {
    if (width > options_.max_width || height > options_.max_height ||
        static_cast<std::size_t>(width) * height > options_.max_pixels) {
        Fail("the remote desktop is " + std::to_string(width) + "x" + std::to_string(height) +
             ", larger than this viewer accepts");
        return false;
    }
    // The pixels come when something draws or reads them: a desktop that sends resize after
    // resize costs one allocation, not one per message.
    framebuffer_.width = width;
    framebuffer_.height = height;
    framebuffer_.stride = width;
    pixels_stale_ = true;
    return true;
}

// An ExtendedDesktopSize rectangle: its header holds why (x), the outcome (y) and the size.
bool Client::ApplyScreens(const Rect& header, std::span<const uint8_t> payload) {
    can_set_size_ = true;
    if (header.x == static_cast<int>(ResizeReason::kThisClient) &&
        header.y != static_cast<int>(ResizeStatus::kOk)) {
        size_refused_ = true;  // the layout that comes with a refusal is the one in force
        return true;
    }
    if (header.width != framebuffer_.width || header.height != framebuffer_.height) {
        if (!ResizeFramebuffer(header.width, header.height)) {
            return false;
        }
        dirty_.clear();
        full_update_needed_ = true;
        events_.push_back(event::DesktopResized{header.width, header.height});
    }
    screens_ = ParseScreens(payload, header.width, header.height);
    events_.push_back(event::ScreensChanged{});
    return true;
}

bool Client::RequestDesktopSize(int width, int height) {
    if (!connected() || !can_set_size_ || size_refused_ || width > options_.max_width ||
        height > options_.max_height ||
        static_cast<std::size_t>(width) * height > options_.max_pixels ||
        (width == framebuffer_.width && height == framebuffer_.height)) {
        return false;
    }
    const auto layout = FitLayout(screens_, width, height);
    if (!layout) {
        return false;
    }
    const auto message = SetDesktopSizeMessage(width, height, *layout);
    output_.insert(output_.end(), message.begin(), message.end());
    return true;
}

void Client::AllocatePixels() const {
    if (pixels_stale_) {
        framebuffer_.pixels.clear();
        framebuffer_.pixels.shrink_to_fit();  // the old and the new never both in memory
        framebuffer_.pixels.assign(
            static_cast<std::size_t>(framebuffer_.stride) * framebuffer_.height, 0xff000000u);
        pixels_stale_ = false;
    }
}

bool Client::StepServerInit() {
    if (Available() < kServerInitFixed) {
        return false;
    }
    const uint8_t* p = Peek();
    const uint32_t name_length = U32(p + 20);
    if (name_length > kMaxNameLength) {
        Fail("the server's desktop name is implausibly long");
        return false;
    }
    if (Available() - kServerInitFixed < name_length) {
        return false;
    }
    const int width = U16(p);
    const int height = U16(p + 2);
    const std::string_view raw_name(reinterpret_cast<const char*>(p + kServerInitFixed),
                                    name_length);
    std::string name = IsValidUtf8(raw_name) ? std::string(raw_name) : Latin1ToUtf8(raw_name);
    Consume(kServerInitFixed + name_length);
    if (!ResizeFramebuffer(width, height)) {
        return false;
    }

    // 32 bits per pixel, depth 24, little-endian, true colour, 8 bits per channel at 16/8/0.
    output_.insert(
        output_.end(),
        {kSetPixelFormat, 0, 0, 0, 32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});
    SendEncodings();
    RequestUpdate(false);
    phase_ = Phase::kNormal;
    events_.push_back(event::Connected{std::move(name), width, height});
    return true;
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

bool Client::StepSkip() {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(skip_left_, Available()));
    Consume(n);
    skip_left_ -= n;
    if (skip_left_ > 0) {
        return false;
    }
    phase_ = Phase::kNormal;
    return true;
}

bool Client::StepRect() {
    if (!rect_) {
        if (Available() < 12) {
            return false;
        }
        const uint8_t* p = Peek();
        auto state = std::make_unique<RectState>();
        state->rect = Rect{U16(p), U16(p + 2), U16(p + 4), U16(p + 6)};
        state->encoding = static_cast<int32_t>(U32(p + 8));
        Consume(12);
        const Rect& r = state->rect;
        switch (state->encoding) {
            case static_cast<int32_t>(Encoding::kRaw):
            case static_cast<int32_t>(Encoding::kCopyRect):
            case static_cast<int32_t>(Encoding::kHextile):
            case static_cast<int32_t>(Encoding::kZrle):
            case static_cast<int32_t>(Encoding::kTight):
                if (r.x + r.width > framebuffer_.width || r.y + r.height > framebuffer_.height) {
                    Fail("the server sent a " + std::to_string(r.width) + "x" +
                         std::to_string(r.height) + " rectangle at " + std::to_string(r.x) + "," +
                         std::to_string(r.y) + ", outside the " +
                         std::to_string(framebuffer_.width) + "x" +
                         std::to_string(framebuffer_.height) + " desktop");
                    return false;
                }
                break;
            case static_cast<int32_t>(Encoding::kCursor):
                if (r.width > options_.max_cursor_size || r.height > options_.max_cursor_size) {
                    Fail("the server sent a cursor larger than this viewer accepts");
                    return false;
                }
                break;
            case static_cast<int32_t>(Encoding::kDesktopSize):
                // The new size is the rectangle's; what was drawn before it is gone.
                if (!ResizeFramebuffer(r.width, r.height)) {
                    return false;
                }
                dirty_.clear();
                full_update_needed_ = true;
                events_.push_back(event::DesktopResized{r.width, r.height});
                --rects_left_;
                if (rects_left_ == 0) {
                    FinishUpdate();
                }
                return true;
            case static_cast<int32_t>(Encoding::kExtendedDesktopSize):
                break;  // checked once its screens are in
            case static_cast<int32_t>(Encoding::kLastRect):
                // The update ends here, whatever its header's count said.
                rects_left_ = 0;
                FinishUpdate();
                return true;
            default:
                Fail("the server sent a rectangle in encoding " + std::to_string(state->encoding) +
                     ", which this viewer did not ask for");
                return false;
        }
        rect_ = std::move(state);
    }

    const std::span<const uint8_t> in(Peek(), Available());
    RectState& s = *rect_;
    if (!IsPseudo(s.encoding)) {
        AllocatePixels();
    }
    detail::Progress progress;
    switch (s.encoding) {
        case static_cast<int32_t>(Encoding::kRaw):
            progress = detail::DecodeRaw(framebuffer_, s.rect, s.raw, in);
            break;
        case static_cast<int32_t>(Encoding::kCopyRect):
            progress = detail::DecodeCopyRect(framebuffer_, s.rect, in);
            break;
        case static_cast<int32_t>(Encoding::kHextile):
            progress = detail::DecodeHextile(framebuffer_, s.rect, s.hextile, in);
            break;
        case static_cast<int32_t>(Encoding::kZrle):
            progress = zrle_->Decode(framebuffer_, s.rect, in);
            break;
        case static_cast<int32_t>(Encoding::kExtendedDesktopSize): {
            if (in.empty() || in.size() < ScreensPayloadLength(in[0])) {
                return false;
            }
            progress.consumed = ScreensPayloadLength(in[0]);
            progress.done = true;
            if (!ApplyScreens(s.rect, in.first(progress.consumed))) {
                return false;
            }
            break;
        }
        case static_cast<int32_t>(Encoding::kTight):
            progress = tight_->Decode(framebuffer_, s.rect, in);
            break;
        default:  // kCursor: the only other encoding that gets here
            progress = detail::DecodeCursor(cursor_, s.rect, in);
            if (progress.done) {
                events_.push_back(event::CursorChanged{});
            }
            break;
    }
    Consume(progress.consumed);
    if (progress.error) {
        Fail(progress.error);
        return false;
    }
    if (!progress.done) {
        return false;
    }
    if (!IsPseudo(s.encoding) && s.rect.width > 0 && s.rect.height > 0) {
        dirty_.push_back(s.rect);
    }
    rect_.reset();
    if (--rects_left_ == 0) {
        FinishUpdate();
    }
    return true;
}

// The whole update is in: tell the front end. The next incremental request went out with the
// header; after a resize the whole new desktop is asked for as well (nothing of the new size
// has been sent yet), at once or, when two requests are out, with the next header.
void Client::FinishUpdate() {
    if (full_update_needed_) {
        dirty_.assign(1, Rect{0, 0, framebuffer_.width, framebuffer_.height});
    }
    if (!dirty_.empty()) {
        events_.push_back(event::FramebufferUpdated{std::move(dirty_)});
        dirty_.clear();
    }
    if (continuous_ == Continuous::kSupported) {
        // After the first update, as the initial request asked for the whole screen.
        continuous_ = Continuous::kEnabled;
        EnableContinuousUpdates();
    } else if (full_update_needed_ && continuous_ == Continuous::kEnabled) {
        EnableContinuousUpdates();  // for the new size
    }
    if (full_update_needed_) {
        if (requests_in_flight_ < kMaxRequestsInFlight) {
            RequestUpdate(false);
        } else {
            full_request_pending_ = true;
        }
    }
    full_update_needed_ = false;
    phase_ = Phase::kNormal;
}

}  // namespace rfb
