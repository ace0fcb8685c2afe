// What the tools' command lines have in common: "--name VALUE" or "--name=VALUE" options, whole
// numbers and durations in seconds, each checked to the last character.
#pragma once

#include <charconv>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace tools {

// A whole number from low to high, written in decimal and nothing else.
template <typename T>
std::optional<T> ParseWhole(std::string_view text, T low, T high) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

// A number of seconds from 0.01 to max_seconds (fractions allowed), to the millisecond.
std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view text, double max_seconds);

// Walks the options of a command line one at a time.
class OptionReader {
public:
    explicit OptionReader(const std::vector<std::string_view>& args) : args_(args) {}

    // Moves to the next option; false after the last.
    bool Next();
    // The option as given, and its name without any "=VALUE".
    std::string_view argument() const { return args_[index_]; }
    std::string_view name() const { return name_; }
    bool has_inline_value() const { return inline_value_.has_value(); }
    // The "=VALUE", else the next argument (which is then no option of its own); nullopt when
    // the command line ends here.
    std::optional<std::string_view> TakeValue();

private:
    const std::vector<std::string_view>& args_;
    std::size_t index_ = 0;
    std::size_t next_ = 0;
    std::string_view name_;
    std::optional<std::string_view> inline_value_;
};

}  // namespace tools
