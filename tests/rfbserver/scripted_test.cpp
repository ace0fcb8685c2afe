// The server core against viewers scripted byte by byte: the older protocol versions, hostile or
// broken input (each must end the session with a reason, however the bytes are cut), the bounds
// on cut text and on output, and Extended Clipboard's exchange.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>

#include "rfb/wire.h"
#include "rfb_stream.h"
#include "rfbserver/server.h"

namespace rfbserver_test {
namespace {

using rfbtest::Append;
using rfbtest::Bytes;
using rfbtest::Concat;
using rfbtest::Put16;
using rfbtest::Put32;
using rfbtest::Put8;
using rfbtest::Str;
using Security = rfbserver::Options::Security;

constexpr int kWidth = 100;
constexpr int kHeight = 80;
const std::vector<uint32_t> kPixels(kWidth* kHeight, 0x123456);
constexpr rfbserver::Frame kFrame{kWidth, kHeight, kWidth, nullptr};

rfbserver::Frame Frame() {
    rfbserver::Frame f = kFrame;
    f.pixels = kPixels.data();
    return f;
}

std::vector<rfbserver::Event> Events(rfbserver::Server& server) {
    std::vector<rfbserver::Event> out;
    while (auto e = server.PollEvent()) {
        out.push_back(std::move(*e));
    }
    return out;
}

template <typename T>
std::vector<T> Only(const std::vector<rfbserver::Event>& events) {
    std::vector<T> out;
    for (const auto& e : events) {
        if (const auto* t = std::get_if<T>(&e)) {
            out.push_back(*t);
        }
    }
    return out;
}

Bytes SetEncodings(std::initializer_list<rfb::Encoding> encodings) {
    Bytes b{rfb::client_msg::kSetEncodings, 0};
    Put16(b, static_cast<uint32_t>(encodings.size()));
    for (const auto e : encodings) {
        Put32(b, static_cast<uint32_t>(e));
    }
    return b;
}

Bytes UpdateRequest(bool incremental) {
    Bytes b{rfb::client_msg::kFramebufferUpdateRequest, incremental ? uint8_t{1} : uint8_t{0}};
    for (const uint32_t v : {0, 0, kWidth, kHeight}) {
        Put16(b, v);
    }
    return b;
}

Bytes CutText(int32_t length, const Bytes& payload) {
    Bytes b{rfb::client_msg::kClientCutText, 0, 0, 0};
    Put32(b, static_cast<uint32_t>(length));
    Append(b, payload);
    return b;
}

// Extended Clipboard: flags, then the payload; the length negative.
Bytes Extended(uint32_t flags, const Bytes& payload = {}) {
    Bytes body;
    Put32(body, flags);
    Append(body, payload);
    return CutText(-static_cast<int32_t>(body.size()), body);
}

Bytes Deflate(const Bytes& plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    Bytes out(size);
    compress(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()));
    out.resize(size);
    return out;
}

Bytes TextProvide(const std::string& text) {
    Bytes plain;
    Put32(plain, static_cast<uint32_t>(text.size()));
    Append(plain, text);
    return Deflate(plain);
}

constexpr uint32_t kText = 1, kCaps = 1u << 24, kRequest = 1u << 25, kNotify = 1u << 27,
                   kProvide = 1u << 28;

// A 3.8 viewer with security None, through ClientInit; the server's output so far dropped.
std::unique_ptr<rfbserver::Server> Connected(rfbserver::Options options = {}) {
    options.security = Security::kNone;
    auto server = std::make_unique<rfbserver::Server>(options);
    server->SetFrame(Frame());
    server->Receive(Concat({Str("RFB 003.008\n"), {rfb::kSecurityNone, 1}}));
    EXPECT_TRUE(server->ready());
    server->TakeOutput();
    Events(*server);
    return server;
}

TEST(RfbServerScripted, EachProtocolVersionGetsItsOwnHandshake) {
    struct Row {
        const char* name;
        Security security;
        Bytes viewer;         // everything the viewer sends
        Bytes server_before;  // what the server sends before ServerInit, after its version
    };
    auto u32 = [](uint32_t v) {
        Bytes b;
        Put32(b, v);
        return b;
    };
    const Row rows[] = {
        {"3.3 None", Security::kNone, Concat({Str("RFB 003.003\n"), {1}}), u32(1)},
        {"3.5 is served as 3.3", Security::kNone, Concat({Str("RFB 003.005\n"), {1}}), u32(1)},
        {"3.7 None", Security::kNone, Concat({Str("RFB 003.007\n"), {1, 1}}), {1, 1}},
        {"3.8 None", Security::kNone, Concat({Str("RFB 003.008\n"), {1, 1}}),
         Concat({{1, 1}, u32(0)})},
        {"3.889 is served as 3.8", Security::kNone, Concat({Str("RFB 003.889\n"), {1, 1}}),
         Concat({{1, 1}, u32(0)})},
        {"3.8 VeNCrypt", Security::kVeNCryptX509,
         Concat({Str("RFB 003.008\n"), {19, 0, 2}, u32(260), {1}}),
         Concat({{1, 19, 0, 2, 0, 1}, u32(260), {1}, u32(0)})},
        {"3.3 VeNCrypt", Security::kVeNCryptX509,
         Concat({Str("RFB 003.003\n"), {0, 2}, u32(260), {1}}),
         Concat({u32(19), {0, 2, 0, 1}, u32(260), {1}})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        rfbserver::Options options;
        options.security = row.security;
        rfbserver::Server server(options);
        server.SetFrame(Frame());
        Bytes sent = server.TakeOutput();
        for (const uint8_t byte : row.viewer) {
            server.Receive(Bytes{byte});
            for (const auto& e : Events(server)) {
                ASSERT_TRUE(std::holds_alternative<rfbserver::event::StartTls>(e) ||
                            std::holds_alternative<rfbserver::event::Ready>(e));
                if (std::holds_alternative<rfbserver::event::StartTls>(e)) {
                    Append(sent, server.TakeOutput());
                    server.TlsEstablished();
                }
            }
        }
        EXPECT_TRUE(server.ready());
        Append(sent, server.TakeOutput());
        const Bytes expected = Concat({Str("RFB 003.008\n"), row.server_before});
        ASSERT_GE(sent.size(), expected.size() + 24);
        EXPECT_EQ(Bytes(sent.begin(), sent.begin() + expected.size()), expected);
        EXPECT_EQ(sent[expected.size() + 1], kWidth);  // ServerInit follows
    }
}

TEST(RfbServerScripted, BadInputEndsTheSessionWithAReasonHoweverItIsCut) {
    Bytes colour_map{rfb::client_msg::kSetPixelFormat, 0, 0, 0, 8, 8, 0, 0};
    colour_map.resize(20);
    Bytes bits24 = {rfb::client_msg::kSetPixelFormat,
                    0,
                    0,
                    0,
                    24,
                    24,
                    0,
                    1,
                    0,
                    255,
                    0,
                    255,
                    0,
                    255,
                    16,
                    8,
                    0,
                    0,
                    0,
                    0};
    Bytes past_pixel = bits24;  // 16-bit pixels with a channel shifted out of them
    past_pixel[4] = 16;
    Bytes encodings{rfb::client_msg::kSetEncodings, 0, 0xff, 0xff};
    struct Row {
        const char* name;
        Security security;
        Bytes before_init;  // the handshake ("" for the standard 3.8 None one)
        Bytes stream;
        std::string reason;
    };
    const Bytes none38 = Concat({Str("RFB 003.008\n"), {1, 1}});
    const Row rows[] = {
        {"not RFB", Security::kNone, Str("GET / HTTP/1.1\r\n"), {}, "does not speak RFB"},
        {"RFB 2", Security::kNone, Str("RFB 002.000\n"), {}, "does not speak RFB"},
        {"a type not offered",
         Security::kVeNCryptX509,
         Concat({Str("RFB 003.008\n"), {1}}),
         {},
         "not offered"},
        {"VeNCrypt 0.1",
         Security::kVeNCryptX509,
         Concat({Str("RFB 003.008\n"), {19, 0, 1}}),
         {},
         "only 0.2"},
        {"a subtype not offered",
         Security::kVeNCryptX509,
         Concat({Str("RFB 003.008\n"), {19, 0, 2, 0, 0, 1, 2}}),
         {},
         "not offered"},
        {"a colour map", Security::kNone, none38, colour_map, "colour-mapped"},
        {"24-bit pixels", Security::kNone, none38, bits24, "unsupported size"},
        {"a channel outside the pixel", Security::kNone, none38, past_pixel, "do not fit"},
        {"65535 encodings", Security::kNone, none38, encodings, "65535 encodings"},
        {"an unknown message", Security::kNone, none38, {77, 1, 2, 3}, "unknown message"},
    };
    for (const Row& row : rows) {
        for (const bool bytewise : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (bytewise ? " byte by byte" : " whole"));
            rfbserver::Options options;
            options.security = row.security;
            rfbserver::Server server(options);
            server.SetFrame(Frame());
            const Bytes all = Concat({row.before_init, row.stream});
            std::vector<rfbserver::Event> events;
            for (std::size_t at = 0; at < all.size(); at += bytewise ? 1 : all.size()) {
                server.Receive(std::span(all).subspan(at, bytewise ? 1 : all.size()));
                for (auto& e : Events(server)) {
                    events.push_back(std::move(e));
                }
            }
            const auto closed = Only<rfbserver::event::Closed>(events);
            ASSERT_EQ(closed.size(), 1u);
            EXPECT_NE(closed[0].reason.find(row.reason), std::string::npos) << closed[0].reason;
            EXPECT_TRUE(server.closed());
            server.Receive(Bytes{rfb::client_msg::kKeyEvent, 1, 0, 0, 0, 0, 0, 'a'});
            EXPECT_TRUE(Events(server).empty());
        }
    }
}

TEST(RfbServerScripted, AResizeEndsTheSessionOfAViewerThatCannotFollowIt) {
    auto server = Connected();
    server->Receive(Concat({SetEncodings({rfb::Encoding::kRaw}), UpdateRequest(false)}));
    rfbserver::Frame bigger = Frame();
    bigger.height = kHeight / 2;  // smaller, in fact: any new size
    server->SetFrame(bigger);
    const auto closed = Only<rfbserver::event::Closed>(Events(*server));
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_NE(closed[0].reason.find("cannot follow"), std::string::npos);
}

TEST(RfbServerScripted, PointerIsClampedAndOversizedCutTextIsDroppedWithoutEndingTheSession) {
    rfbserver::Options options;
    options.max_clipboard_bytes = 4096;
    auto server = Connected(options);
    Bytes pointer{rfb::client_msg::kPointerEvent, 1, 0xff, 0xff, 0xff, 0xff};
    const Bytes oversized = CutText(10000, Bytes(5000, 'z'));  // half of it, then the rest
    server->Receive(oversized);
    server->Receive(Concat({Bytes(5000, 'z'), pointer}));
    EXPECT_FALSE(server->closed());
    const auto events = Events(*server);
    const auto pointers = Only<rfbserver::event::Pointer>(events);
    ASSERT_EQ(pointers.size(), 1u);
    EXPECT_EQ(std::pair(pointers[0].x, pointers[0].y), std::pair(kWidth - 1, kHeight - 1));
    EXPECT_TRUE(Only<rfbserver::event::Clipboard>(events).empty());
    // A bomb: 1 MiB of zeros in 1 KiB, inflated against a 4 KiB limit; then a fitting text.
    server->Receive(SetEncodings({rfb::Encoding::kExtendedClipboard}));
    Bytes bomb;
    Put32(bomb, 1u << 20);
    bomb.resize(4 + (1u << 20));
    server->Receive(Extended(kProvide | kText, Deflate(bomb)));
    server->Receive(CutText(4, {'c', 'a', 'f', 0xe9}));  // Latin-1
    const auto clips = Only<rfbserver::event::Clipboard>(Events(*server));
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0].text, "café");
    EXPECT_FALSE(server->closed());
}

TEST(RfbServerScripted, AViewerThatDoesNotReadStopsTheCaptures) {
    rfbserver::Options options;
    options.max_pending_output = kWidth * kHeight;  // a quarter of a raw screen
    auto server = Connected(options);
    server->Receive(Concat({SetEncodings({rfb::Encoding::kRaw}), UpdateRequest(false)}));
    ASSERT_TRUE(server->WantsFrame());
    server->SetFrame(Frame());
    server->Receive(UpdateRequest(false));
    EXPECT_FALSE(server->WantsFrame());
    server->TakeOutput();
    EXPECT_TRUE(server->WantsFrame());
}

TEST(RfbServerScripted, ExtendedClipboardCarriesUtf8BothWays) {
    auto server = Connected();
    server->Receive(SetEncodings({rfb::Encoding::kRaw, rfb::Encoding::kExtendedClipboard}));
    server->TakeOutput();  // our capabilities
    // The viewer announces text; the server asks for it, and takes what it provides.
    server->Receive(Extended(kNotify | kText));
    EXPECT_EQ(server->TakeOutput(), (Bytes{3, 0, 0, 0, 0xff, 0xff, 0xff, 0xfc, 2, 0, 0, 1}));
    server->Receive(Extended(kProvide | kText, TextProvide("한국어\r\n두 줄")));
    const auto clips = Only<rfbserver::event::Clipboard>(Events(*server));
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0].text, "한국어\n두 줄");

    // A viewer that takes text unasked gets it at once, zlib-compressed, CRLF and NUL-ended.
    Bytes limit;
    Put32(limit, 1 << 20);
    server->Receive(Extended(kCaps | kProvide | kNotify | kText, limit));
    server->SetClipboard("안녕하세요\n");
    const Bytes out = server->TakeOutput();
    ASSERT_GT(out.size(), 12u);
    EXPECT_EQ(out[0], rfb::server_msg::kServerCutText);
    EXPECT_EQ(rfbtest::Bytes(out.begin() + 8, out.begin() + 12),
              (Bytes{0x10, 0, 0, 1}));  // provide, text
    Bytes plain(64);
    uLongf size = plain.size();
    ASSERT_EQ(uncompress(plain.data(), &size, out.data() + 12, out.size() - 12), Z_OK);
    plain.resize(size);
    EXPECT_EQ(plain, Concat({{0, 0, 0, 18}, Str("안녕하세요\r\n"), {0}}));
}

}  // namespace
}  // namespace rfbserver_test
