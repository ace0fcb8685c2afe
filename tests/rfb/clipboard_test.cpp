// The Extended Clipboard (UTF-8 both ways) against a scripted server: the capabilities exchange,
// text announced, asked for and provided in each direction, servers that take no notices, and
// hostile payloads that must cost neither memory nor the session.
#include <gtest/gtest.h>

#include "rfb/cut_text.h"
#include "rfb_test_util.h"

namespace {

using namespace rfbtest;
using namespace rfb::clipboard;

constexpr uint32_t kAllActions = kRequest | kPeek | kNotify | kProvide;
const std::string kKorean = "\xed\x95\x9c\xea\xb5\xad\xec\x96\xb4\n\xc3\xa9";  // 한국어, é

Bytes ServerExtended(uint32_t flags, const Bytes& payload = {}) {
    return rfb::ExtendedCutText(3, flags, payload);
}
Bytes ClientExtended(uint32_t flags, const Bytes& payload = {}) {
    return rfb::ExtendedCutText(6, flags, payload);
}
Bytes Size(uint32_t size) {
    Bytes b;
    Put32(b, size);
    return b;
}

// A connected client after the server's capabilities (`actions`, a 1000-byte text limit).
std::unique_ptr<rfb::Client> AfterCaps(uint32_t actions) {
    rfb::Options options;
    options.max_clipboard_bytes = 4096;
    auto client = Connected(16, 16, std::move(options));
    client->Receive(ServerExtended(kCaps | kText | actions, Size(1000)));
    EXPECT_EQ(client->TakeOutput(), ClientExtended(kCaps | kText | kAllActions, Size(4096)));
    return client;
}

std::vector<std::string> Texts(rfb::Client& client) {
    std::vector<std::string> texts;
    for (auto& e : Events(client)) {
        if (auto* clip = std::get_if<rfb::event::Clipboard>(&e)) {
            texts.push_back(clip->text);
        }
    }
    return texts;
}

TEST(RfbClipboard, Utf8BothWaysWithNoticesAndRequests) {
    auto client = AfterCaps(kAllActions);
    // The server announces text, the client asks for it, the server provides it.
    client->Receive(ServerExtended(kNotify | kText));
    EXPECT_EQ(client->TakeOutput(), ClientExtended(kRequest | kText));
    client->Receive(ServerExtended(kProvide | kText, rfb::PackText(kKorean)));
    EXPECT_EQ(Texts(*client), std::vector{kKorean});
    // The operator's text: announced, then provided when asked for, as UTF-8.
    client->SendClipboard(kKorean);
    EXPECT_EQ(client->TakeOutput(), ClientExtended(kNotify | kText));
    client->Receive(ServerExtended(kRequest | kText));
    const Bytes provide = client->TakeOutput();
    ASSERT_GT(provide.size(), 12u);
    Bytes head = ClientExtended(kProvide | kText, Bytes(provide.size() - 12));
    head.resize(12);
    EXPECT_EQ(Bytes(provide.begin(), provide.begin() + 12), head);
    EXPECT_EQ(rfb::UnpackText(std::span(provide).subspan(12), 4096), kKorean);
    // A peek is answered with what there is.
    client->Receive(ServerExtended(kPeek));
    EXPECT_EQ(client->TakeOutput(), ClientExtended(kNotify | kText));
}

TEST(RfbClipboard, ServerWithoutNoticesGetsTheTextAtOnceWithinItsLimit) {
    auto client = AfterCaps(kRequest | kProvide);
    client->SendClipboard("caf\xc3\xa9");
    const Bytes out = client->TakeOutput();
    ASSERT_GT(out.size(), 12u);
    EXPECT_EQ(rfb::UnpackText(std::span(out).subspan(12), 4096), "caf\xc3\xa9");
    client->SendClipboard(std::string(1001, 'x'));  // beyond the server's 1000
    EXPECT_EQ(client->TakeOutput(), Bytes{});
}

TEST(RfbClipboard, HostileProvidesCostNeitherMemoryNorTheSession) {
    // 16 MB of zeros in a few kilobytes: inflated no further than the limit.
    const Bytes bomb = Deflate(Bytes(std::size_t{16} << 20));
    const Bytes rows[] = {
        bomb,                                   // a bomb
        Bytes{1, 2, 3, 4, 5},                   // not zlib
        rfb::PackText(std::string(5000, 'y')),  // longer than max_clipboard_bytes
    };
    auto client = AfterCaps(kAllActions);
    for (const Bytes& payload : rows) {
        client->Receive(ServerExtended(kProvide | kText, payload));
        client->Receive(Bytes{2});  // a bell after it: the session goes on
        const auto events = Events(*client);
        EXPECT_EQ(FailureOf(events), "");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_TRUE(std::holds_alternative<rfb::event::Bell>(events[0]));
    }
}

}  // namespace
