// The viewers' picture-quality setting (View > Quality, -quality) and what it asks the remote
// desktop for: the encodings in order of preference, Tight's JPEG quality and zlib level. Both
// viewers (qt/, win32/) and their session code use this one mapping; it holds no I/O.
//
// Lossless prefers ZRLE (smallest on text) and never JPEG. Balanced and Low bandwidth prefer
// Tight with JPEG, which is 6 to 20 times smaller than ZRLE on photo-like screens and far cheaper
// for the server to encode. Auto starts Balanced and moves by the throughput the session
// measures: a slow link gets Low bandwidth; a LAN stays Balanced (Lossless is the operator's
// choice: on a LAN the server's encoding CPU sets the update rate, and ZRLE costs it most).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "rfb/wire.h"

namespace viewer {

enum class Quality { kAuto, kLossless, kBalanced, kLowBandwidth };

// Every setting, in menu order, with its command-line word and its menu text.
struct QualityName {
    Quality quality;
    std::string_view word;  // -quality WORD
    const char* menu;       // no access key: Alt+letter belongs to the remote desktop
};
inline constexpr QualityName kQualityNames[] = {
    {Quality::kAuto, "auto", "Auto"},
    {Quality::kLossless, "lossless", "Lossless"},
    {Quality::kBalanced, "balanced", "Balanced"},
    {Quality::kLowBandwidth, "low", "Low bandwidth"},
};
std::optional<Quality> ParseQuality(std::string_view word);

struct EncodingRequest {
    std::vector<rfb::Encoding> encodings;
    std::optional<int> jpeg_quality;
    std::optional<int> compress_level;
    bool operator==(const EncodingRequest&) const = default;
};
// What `quality` asks for (Auto: what Balanced asks for, where it starts).
EncodingRequest RequestFor(Quality quality);

// Auto's next level, Balanced or Low bandwidth: from `current` (never kAuto) after measuring
// `bits_per_second`. The bound to move up lies above the one to move down, so a link near it
// does not flip to and fro.
Quality AutoLevel(Quality current, double bits_per_second);

// Turns updates (bytes, and seconds from the update's first bytes to its last) into throughput
// figures: one once enough data has passed for latency not to dominate, then it starts over.
// Small updates (a cursor blink, a typed letter) are left out: their time is mostly latency.
class ThroughputMeter {
public:
    std::optional<double> Add(std::size_t bytes, double seconds);

private:
    std::size_t bytes_ = 0;
    double seconds_ = 0;
};

}  // namespace viewer
