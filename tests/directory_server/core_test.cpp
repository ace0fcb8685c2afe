// The server's pure parts: message parsing, name rules, reply building, the registry, the hosts
// file format and the command line.
#include <gtest/gtest.h>

#include <random>

#include "hosts_file.h"
#include "options.h"
#include "protocol.h"
#include "registry.h"

namespace dirsrv {
namespace {

// Parses everything in `input` the way a connection does and describes what came out:
// "list", "register:NAME", "pong", then "more:N" (N bytes kept for later) or "bad".
std::string Drain(std::string_view input) {
    std::string out;
    for (;;) {
        const ParseResult r = ParseNext(input);
        EXPECT_LE(r.consumed, input.size());
        if (r.status == ParseStatus::Bad)
            return out + "bad";
        input.remove_prefix(r.consumed);
        if (r.status == ParseStatus::NeedMore)
            return out + "more:" + std::to_string(input.size());
        switch (r.message.kind) {
            case MessageKind::ListRequest:
                out += "list ";
                break;
            case MessageKind::Register:
                out += "register:" + std::string(r.message.name) + " ";
                break;
            case MessageKind::Pong:
                out += "pong ";
                break;
        }
    }
}

TEST(ParseNext, ReadsMessagesAndKeepsIncompleteTails) {
    const struct {
        std::string_view input, expected;
    } cases[] = {
        {"", "more:0"},
        {"server", "list more:0"},
        {"serverserver", "list list more:0"},
        {"serverser", "list more:3"},
        {"s", "more:1"},
        {"server\r\nserver\n", "list list more:0"},
        {"register pc-01\n", "register:pc-01 more:0"},
        {"register  pc 01 \r\nserver", "register:pc 01 list more:0"},
        {"register \xC7\xD1\xB1\xB9\n", "register:\xC7\xD1\xB1\xB9 more:0"},
        {"register pc-01", "more:14"},
        {"regis", "more:5"},
        {"pong\npong\r\n", "pong pong more:0"},
        {"pong\r", "more:5"},
        {"Server", "bad"},
        {"serverx", "list bad"},
        {"GET / HTTP/1.1\r\n", "bad"},
        {std::string_view("\0server", 7), "bad"},
        {"register\n", "bad"},
        {"pongs\n", "bad"},
        {"pong x\n", "bad"},
        {"ping\n", "bad"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Drain(c.input), c.expected) << Printable(c.input);
}

TEST(ParseNext, NeverReadsPastRandomInput) {
    std::mt19937 random(7);
    const std::string alphabet = std::string("serverginpo \r\n|\x00\xC7", 17);
    for (int round = 0; round < 20000; ++round) {
        std::string input(random() % 24, ' ');
        for (auto& ch : input)
            ch = alphabet[random() % alphabet.size()];
        Drain(input);  // Drain checks every step stays inside the input
    }
}

TEST(CheckName, RefusesOnlyBytesThatBreakTheReply) {
    const struct {
        std::string name;
        bool ok;
    } cases[] = {
        {"pc-01", true},
        {"front desk 2", true},
        {"\xC7\xD1\xB1\xB9", true},          // EUC-KR
        {"\xED\x95\x9C\xEA\xB5\xAD", true},  // UTF-8
        {std::string(kMaxNameLength, 'x'), true},
        {std::string(kMaxNameLength + 1, 'x'), false},
        {"", false},
        {"a|b", false},
        {std::string("a\0b", 3), false},
        {"a\tb", false},
        {"a\x1b[31m", false},
        {"a\x7f", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(!CheckName(c.name), c.ok) << Printable(c.name);
}

TEST(BuildReply, HeaderThenSeparatedNamesWithinTheLimit) {
    EXPECT_EQ(BuildReply({}).bytes, "00ok");
    EXPECT_EQ(BuildReply({"a"}).bytes, "00ok|a");
    EXPECT_EQ(BuildReply({"a", "b c", "d"}).bytes, "00ok|a|b c|d");

    const std::string longest(kMaxNameLength, 'x');
    EXPECT_EQ(BuildReply({longest}).bytes.size(), kMaxReply);
    const Reply cut = BuildReply({"a", longest});
    EXPECT_EQ(cut.bytes, "00ok|a");
    EXPECT_EQ(cut.names_included, 1u);

    // 10-byte names: 5 + 10k + (k - 1) <= 200 holds up to k = 17.
    std::vector<std::string> names;
    for (int i = 0; i < 30; ++i)
        names.push_back("host-" + std::to_string(10000 + i));
    const Reply reply = BuildReply(names);
    EXPECT_EQ(reply.names_included, 17u);
    EXPECT_EQ(reply.bytes.size(), 5u + 170u + 16u);
    EXPECT_TRUE(reply.bytes.ends_with("|host-10016"));
}

TEST(HostRegistry, MergesSortsAndCountsAgents) {
    HostRegistry registry;
    EXPECT_EQ(registry.reply().bytes, "00ok");
    EXPECT_TRUE(registry.SetStaticNames({"zeta", "alpha", "zeta"}));
    EXPECT_FALSE(registry.SetStaticNames({"alpha", "zeta"}));
    EXPECT_TRUE(registry.AddAgent("\xC7\xD1"));  // high bytes sort after ASCII
    EXPECT_TRUE(registry.AddAgent("beta"));
    EXPECT_FALSE(registry.AddAgent("alpha"));  // already listed from the file
    EXPECT_FALSE(registry.AddAgent("beta"));   // a second agent with the same name
    EXPECT_EQ(registry.reply().bytes, "00ok|alpha|beta|zeta|\xC7\xD1");

    EXPECT_FALSE(registry.RemoveAgent("beta"));  // the other agent still holds it
    EXPECT_TRUE(registry.RemoveAgent("beta"));
    EXPECT_FALSE(registry.RemoveAgent("alpha"));  // leaves the file's entry listed
    EXPECT_TRUE(registry.SetStaticNames({}));
    EXPECT_EQ(registry.reply().bytes, "00ok|\xC7\xD1");
}

TEST(ParseHosts, NamesCommentsBlanksAndProblems) {
    const HostsContent content = ParseHosts(
        "\xEF\xBB\xBF# reception\r\n"
        "  pc-01  \r\n"
        "\n"
        "pc-02 # desk 2\n"
        "pc-01\n"
        "\xC7\xD1\xB1\xB9\n"
        "bad|name\n"
        "\tlast");
    EXPECT_EQ(content.names,
              (std::vector<std::string>{"pc-01", "pc-02", "\xC7\xD1\xB1\xB9", "last"}));
    ASSERT_EQ(content.problems.size(), 1u);
    EXPECT_TRUE(content.problems[0].starts_with("line 7: \"bad|name\" refused"))
        << content.problems[0];
}

TEST(ParseOptions, AcceptsTheDocumentedForms) {
    const auto parsed =
        ParseOptions({"--listen", "0.0.0.0:5000", "--hosts=/etc/hosts.list", "--ping-interval",
                      "0.5", "--agent-timeout", "2", "--max-connections", "7"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(FormatAddress(parsed.options->listen_address, parsed.options->listen_port),
              "0.0.0.0:5000");
    EXPECT_EQ(parsed.options->hosts_path, "/etc/hosts.list");
    EXPECT_EQ(parsed.options->ping_interval, Millis(500));
    EXPECT_EQ(parsed.options->agent_timeout, Millis(2000));
    EXPECT_EQ(parsed.options->max_connections, 7u);

    const auto defaults = ParseOptions({});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(FormatAddress(defaults.options->listen_address, defaults.options->listen_port),
              "127.0.0.1:47010");
    EXPECT_TRUE(ParseOptions({"--hosts", "x", "--help"}).help);
}

TEST(ParseOptions, RefusesBadCommandLines) {
    const std::vector<std::vector<std::string_view>> bad = {
        {"--listen"},
        {"--listen", "127.0.0.1"},
        {"--listen", "localhost:80"},
        {"--listen", "127.0.0.1:65536"},
        {"--listen", "127.0.0.1:-1"},
        {"--listen", "127.0.0.1:80x"},
        {"--hosts"},
        {"--max-connections", "0"},
        {"--max-connections", "many"},
        {"--idle-timeout", "0"},
        {"--idle-timeout", "nan"},
        {"--ping-interval", "5", "--agent-timeout", "5"},
        {"--verbose"},
        {"extra"},
    };
    for (const auto& args : bad) {
        const auto parsed = ParseOptions(args);
        EXPECT_FALSE(parsed.options) << args[0];
        EXPECT_FALSE(parsed.error.empty()) << args[0];
    }
}

}  // namespace
}  // namespace dirsrv
