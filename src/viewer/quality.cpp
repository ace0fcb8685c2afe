// The quality setting's mapping to encodings and Auto's rule; see quality.h.
#include "viewer/quality.h"

namespace viewer {
namespace {

using rfb::Encoding;

// Auto's bounds, bits per second: below 2.5 Mbit/s even quality 8 makes a photo-like screen
// take a second. There is no upper bound: on a LAN the server's CPU, not the link, sets the
// update rate, and ZRLE costs x11vnc several times Tight's (measured at 0 ms and 100 Mbit/s:
// 0.71 times the updates of Balanced), so Auto stays on Balanced, as TigerVNC's viewer does;
// Tight sends text and flat areas losslessly there anyway.
constexpr double kLowBelow = 2.5e6;
constexpr double kLowAbove = 5e6;  // back to Balanced

// What a measurement needs: enough bytes that the round trip does not dominate.
constexpr std::size_t kMeasureBytes = 256 * 1024;
constexpr double kMeasureSeconds = 0.05;
constexpr std::size_t kSmallUpdate = 16 * 1024;

}  // namespace

std::optional<Quality> ParseQuality(std::string_view word) {
    for (const QualityName& n : kQualityNames) {
        if (n.word == word) {
            return n.quality;
        }
    }
    return std::nullopt;
}

EncodingRequest RequestFor(Quality quality) {
    switch (quality) {
        case Quality::kLossless:
            return {{Encoding::kZrle, Encoding::kTight, Encoding::kHextile, Encoding::kCopyRect,
                     Encoding::kRaw},
                    std::nullopt,
                    std::nullopt};
        case Quality::kLowBandwidth:
            return {{Encoding::kTight, Encoding::kZrle, Encoding::kHextile, Encoding::kCopyRect,
                     Encoding::kRaw},
                    2,
                    6};
        case Quality::kAuto:
        case Quality::kBalanced:
            break;
    }
    // zlib level 2 on what is not JPEG: a server left to its default (6 on x11vnc) spends
    // several times the CPU per update for a few percent fewer bytes, and on a busy or small
    // server that CPU, not the link, sets how many updates a second arrive.
    return {{Encoding::kTight, Encoding::kZrle, Encoding::kHextile, Encoding::kCopyRect,
             Encoding::kRaw},
            8,
            2};
}

Quality AutoLevel(Quality current, double bits_per_second) {
    if (current == Quality::kLowBandwidth) {
        return bits_per_second > kLowAbove ? Quality::kBalanced : Quality::kLowBandwidth;
    }
    return bits_per_second < kLowBelow ? Quality::kLowBandwidth : Quality::kBalanced;
}

std::optional<double> ThroughputMeter::Add(std::size_t bytes, double seconds) {
    if (bytes < kSmallUpdate) {
        return std::nullopt;
    }
    bytes_ += bytes;
    seconds_ += seconds;
    if (bytes_ < kMeasureBytes || seconds_ < kMeasureSeconds) {
        return std::nullopt;
    }
    const double bits_per_second = static_cast<double>(bytes_) * 8 / seconds_;
    bytes_ = 0;
    seconds_ = 0;
    return bits_per_second;
}

}  // namespace viewer
