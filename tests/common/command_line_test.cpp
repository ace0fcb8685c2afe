// The option reader and number parsing the tools share: values inline or in the next argument,
// numbers taken only whole and in range.
#include "common/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Each option as "name=value", "name" without one, or "name?" when the command line ended
// before its value.
std::string Walk(const std::vector<std::string_view>& args,
                 const std::vector<std::string_view>& valued) {
    std::string out;
    tools::OptionReader reader(args);
    while (reader.Next()) {
        out += out.empty() ? "" : " ";
        out += reader.name();
        if (std::find(valued.begin(), valued.end(), reader.name()) == valued.end())
            continue;
        const auto value = reader.TakeValue();
        if (value)
            out.append("=").append(*value);
        else
            out += "?";
    }
    return out;
}

TEST(OptionReader, TakesValuesInlineOrFromTheNextArgument) {
    const std::vector<std::string_view> valued = {"--port", "--name"};
    EXPECT_EQ(Walk({"--port", "1", "--ask", "--name=a=b"}, valued), "--port=1 --ask --name=a=b");
    // A value that looks like an option is still the value; "-x=1" is no "--" option.
    EXPECT_EQ(Walk({"--name", "--port", "-x=1"}, valued), "--name=--port -x=1");
    EXPECT_EQ(Walk({"--name="}, valued), "--name=");
    EXPECT_EQ(Walk({"--ask", "--port"}, valued), "--ask --port?");
    EXPECT_EQ(Walk({}, valued), "");

    const std::vector<std::string_view> args = {"--ask=yes"};
    tools::OptionReader reader(args);
    ASSERT_TRUE(reader.Next());
    EXPECT_EQ(reader.argument(), "--ask=yes");
    EXPECT_TRUE(reader.has_inline_value());
}

TEST(CommandLineNumbers, AcceptOnlyWholeTextsInRange) {
    EXPECT_EQ(tools::ParseWhole(std::string_view("64"), 1, 64), 64);
    for (const std::string_view bad : {"0", "65", "", " 1", "1 ", "1x", "+1", "-1", "0x10"})
        EXPECT_FALSE(tools::ParseWhole(bad, 1, 64)) << bad;
    for (const std::string_view bad : {"99999999999", "-1"})  // past the type, or wrapped into it
        EXPECT_FALSE(tools::ParseWhole<unsigned>(bad, 0, ~0u)) << bad;

    EXPECT_EQ(tools::ParseSeconds("0.01", 10), std::chrono::milliseconds(10));
    EXPECT_EQ(tools::ParseSeconds("2.5", 10), std::chrono::milliseconds(2500));
    EXPECT_EQ(tools::ParseSeconds("10", 10), std::chrono::milliseconds(10000));
    for (const std::string_view bad : {"0.009", "10.001", "nan", "inf", "-1", "", "1s", "1e400"})
        EXPECT_FALSE(tools::ParseSeconds(bad, 10)) << bad;
}

}  // namespace
