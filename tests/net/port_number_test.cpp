// The port setting is text; it becomes a number as the C runtime's atoi
// reads it (the socket then keeps the low 16 bits).
#include <gtest/gtest.h>

#include <climits>

#include "net/server_socket.h"

namespace {

TEST(PortNumberFromText, ReadsLikeAtoi) {
    const struct {
        const char* text;
        int expected;
    } cases[] = {
        {"8080", 8080},
        {"8080x", 8080},
        {"x8080", 0},
        {"", 0},
        {"  \t\n42", 42},
        {"+7", 7},
        {"-1", -1},
        {"70000", 70000},
        {"0008080", 8080},
        {"80 80", 80},
        {"- 5", 0},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortNumberFromText(c.text), c.expected) << '"' << c.text << '"';
}

}  // namespace
