// The RFB client's framebuffer updates (see client.h): each rectangle's header, its payload
// handed to its decoder (decoders.cpp, tight.cpp) a piece at a time, the pseudo-encodings
// (cursor, desktop size, screens), and the end of an update with the next request.
#include <algorithm>

#include "rfb/bytes.h"
#include "rfb/client.h"
#include "rfb/decoders.h"
#include "rfb/screens.h"
#include "rfb/tight.h"

namespace rfb {
namespace {

using namespace client_msg;
using namespace server_msg;

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

void Client::DropRect() {
    rect_.reset();
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
// has been sent yet), at once or, when two requests are out, with the next header. The first
// ordinary update adds the second request (see client.h).
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
    } else if (!second_request_sent_ && continuous_ != Continuous::kEnabled &&
               requests_in_flight_ < kMaxRequestsInFlight) {
        second_request_sent_ = true;
        RequestUpdate(true);
    }
    full_update_needed_ = false;
    phase_ = Phase::kNormal;
}

}  // namespace rfb
