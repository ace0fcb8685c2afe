// Command-line helpers shared by the tools (see command_line.h).
#include "common/command_line.h"

#include <cmath>

namespace tools {

std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view text, double max_seconds) {
    double seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) ||
        seconds < 0.01 || seconds > max_seconds) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
}

bool OptionReader::Next() {
    if (next_ >= args_.size())
        return false;
    index_ = next_++;
    name_ = args_[index_];
    inline_value_.reset();
    if (const auto eq = name_.find('='); name_.starts_with("--") && eq != std::string_view::npos) {
        inline_value_ = name_.substr(eq + 1);
        name_ = name_.substr(0, eq);
    }
    return true;
}

std::optional<std::string_view> OptionReader::TakeValue() {
    if (inline_value_)
        return inline_value_;
    if (next_ < args_.size())
        return args_[next_++];
    return std::nullopt;
}

}  // namespace tools
