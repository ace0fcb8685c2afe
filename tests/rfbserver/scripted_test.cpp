// The server core against viewers scripted byte by byte: the older protocol versions, pixel
// formats, hostile or broken input (each must end the session with a reason, however the bytes
// are cut), the bounds on cut text and on output, and Extended Clipboard's exchange.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "rfb/wire.h"
#include "session_pair.h"

namespace rfbserver_test {
namespace {

using namespace rfb::clipboard;
using namespace rfbtest;
using Security = rfbserver::Options::Security;

constexpr int kWidth = 100;
constexpr int kHeight = 80;

rfbserver::Frame Frame() {
    static const std::vector<uint32_t> pixels(kWidth * kHeight, 0x123456);
    return {kWidth, kHeight, kWidth, pixels.data()};
}

Bytes U32(uint32_t v) {
    Bytes b;
    Put32(b, v);
    return b;
}

Bytes SetPixelFormat(int bpp, int depth, bool big_endian, int true_colour, int red_max,
                     int green_max, int blue_max, int red_shift, int green_shift, int blue_shift) {
    Bytes b{rfb::client_msg::kSetPixelFormat, 0, 0, 0};
    for (const int v : {bpp, depth, big_endian ? 1 : 0, true_colour}) {
        Put8(b, static_cast<uint32_t>(v));
    }
    for (const int v : {red_max, green_max, blue_max}) {
        Put16(b, static_cast<uint32_t>(v));
    }
    for (const int v : {red_shift, green_shift, blue_shift, 0, 0, 0}) {
        Put8(b, static_cast<uint32_t>(v));
    }
    return b;
}

Bytes SetEncodings(std::initializer_list<rfb::Encoding> encodings) {
    Bytes b{rfb::client_msg::kSetEncodings, 0};
    Put16(b, static_cast<uint32_t>(encodings.size()));
    for (const auto e : encodings) {
        Put32(b, static_cast<uint32_t>(e));
    }
    return b;
}

Bytes UpdateRequest() {
    return {rfb::client_msg::kFramebufferUpdateRequest, 0, 0, 0, 0, 0, 0, kWidth, 0, kHeight};
}

Bytes CutText(int32_t length, const Bytes& payload) {
    return Concat({{rfb::client_msg::kClientCutText, 0, 0, 0}, U32(length), payload});
}

// Extended Clipboard: flags, then the payload; the length negative.
Bytes Extended(uint32_t flags, const Bytes& payload = {}) {
    return CutText(-static_cast<int32_t>(4 + payload.size()), Concat({U32(flags), payload}));
}

// The start of a zlib stream, flushed but not ended.
Bytes Inflate(const uint8_t* data, std::size_t size) {
    Bytes out(256);
    uLongf length = out.size();
    uncompress(out.data(), &length, data, static_cast<uLong>(size));
    out.resize(length);
    return out;
}

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
        Security security;
        Bytes viewer;         // everything the viewer sends
        Bytes server_before;  // what the server sends after its version, before ServerInit
    };
    const Row rows[] = {
        {Security::kNone, Concat({Str("RFB 003.003\n"), {1}}), U32(1)},
        {Security::kNone, Concat({Str("RFB 003.005\n"), {1}}), U32(1)},  // served as 3.3
        {Security::kNone, Concat({Str("RFB 003.007\n"), {1, 1}}), {1, 1}},
        {Security::kNone, Concat({Str("RFB 003.008\n"), {1, 1}}), {1, 1, 0, 0, 0, 0}},
        {Security::kNone, Concat({Str("RFB 003.889\n"), {1, 1}}), {1, 1, 0, 0, 0, 0}},
        {Security::kVeNCryptX509, Concat({Str("RFB 003.008\n"), {19, 0, 2}, U32(260), {1}}),
         Concat({{1, 19, 0, 2, 0, 1}, U32(260), {1}, U32(0)})},
        {Security::kVeNCryptX509, Concat({Str("RFB 003.003\n"), {0, 2}, U32(260), {1}}),
         Concat({U32(19), {0, 2, 0, 1}, U32(260), {1}})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.viewer.begin(), row.viewer.begin() + 11));
        rfbserver::Server server(WithSecurity(row.security));
        server.SetFrame(Frame());
        Bytes sent = server.TakeOutput();
        for (const uint8_t byte : row.viewer) {
            server.Receive(Bytes{byte});
            Append(sent, server.TakeOutput());
            if (!Only<rfbserver::event::StartTls>(Events(server)).empty()) {
                server.TlsEstablished();
            }
        }
        EXPECT_TRUE(server.ready());
        Append(sent, server.TakeOutput());
        const Bytes expected = Concat({Str("RFB 003.008\n"), row.server_before, {0, kWidth}});
        ASSERT_GE(sent.size(), expected.size());
        EXPECT_EQ(Bytes(sent.begin(), sent.begin() + expected.size()), expected);
    }
}

TEST(RfbServerScripted, PixelsGoOutInTheViewersFormat) {
    // 0x123456 as each format holds it, its channels rounded to their range.
    struct Row {
        Bytes format;
        rfb::Encoding encoding;
        Bytes pixel;  // Raw: the first pixel; ZRLE: each solid tile's colour
    };
    constexpr auto kRaw = rfb::Encoding::kRaw, kZrle = rfb::Encoding::kZrle;
    const Row rows[] = {
        {SetPixelFormat(32, 24, false, 1, 255, 255, 255, 16, 8, 0), kRaw, {0x56, 0x34, 0x12, 0}},
        {SetPixelFormat(32, 24, true, 1, 255, 255, 255, 16, 8, 0), kRaw, {0, 0x12, 0x34, 0x56}},
        {SetPixelFormat(32, 24, false, 1, 255, 255, 255, 0, 8, 16), kRaw, {0x12, 0x34, 0x56, 0}},
        {SetPixelFormat(16, 16, true, 1, 31, 63, 31, 11, 5, 0), kRaw, {0x11, 0xaa}},
        {SetPixelFormat(8, 8, false, 1, 7, 7, 3, 5, 2, 0), kRaw, {0x05}},
        // ZRLE leaves out the byte that holds no colour.
        {SetPixelFormat(32, 24, false, 1, 255, 255, 255, 16, 8, 0), kZrle, {0x56, 0x34, 0x12}},
        {SetPixelFormat(32, 24, true, 1, 255, 255, 255, 16, 8, 0), kZrle, {0x12, 0x34, 0x56}},
        {SetPixelFormat(32, 24, false, 1, 255, 255, 255, 24, 16, 8), kZrle, {0x56, 0x34, 0x12}},
    };
    constexpr std::size_t kPayload = 4 + 12;  // update and rectangle headers
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.format));
        auto server = Connected();
        server->Receive(Concat({row.format, SetEncodings({row.encoding}), UpdateRequest()}));
        server->SetFrame(Frame());
        const Bytes out = server->TakeOutput();
        ASSERT_GT(out.size(), kPayload + 4);
        if (row.encoding == kRaw) {
            EXPECT_EQ(Bytes(out.begin() + kPayload, out.begin() + kPayload + row.pixel.size()),
                      row.pixel);
        } else {  // four solid tiles (100x80 in 64x64 tiles)
            const Bytes tile = Concat({{rfb::zrle::kSolid}, row.pixel});
            EXPECT_EQ(Inflate(out.data() + kPayload + 4, out.size() - kPayload - 4),
                      Concat({tile, tile, tile, tile}));
        }
    }
}

TEST(RfbServerScripted, BadInputEndsTheSessionWithAReasonHoweverItIsCut) {
    struct Row {
        Security security;
        Bytes stream;
        std::string reason;
    };
    const Bytes none = Concat({Str("RFB 003.008\n"), {1, 1}});
    const Row rows[] = {
        {Security::kNone, Str("GET / HTTP/1.1\r\n"), "does not speak RFB"},
        {Security::kNone, Str("RFB 002.000\n"), "does not speak RFB"},
        {Security::kVeNCryptX509, Concat({Str("RFB 003.008\n"), {1}}), "not offered"},
        {Security::kVeNCryptX509, Concat({Str("RFB 003.008\n"), {19, 0, 1}}), "only 0.2"},
        {Security::kVeNCryptX509, Concat({Str("RFB 003.008\n"), {19, 0, 2}, U32(258)}),
         "not offered"},
        {Security::kNone, Concat({none, SetPixelFormat(8, 8, false, 0, 0, 0, 0, 0, 0, 0)}),
         "colour-mapped"},
        {Security::kNone, Concat({none, SetPixelFormat(24, 24, false, 1, 255, 255, 255, 16, 8, 0)}),
         "unsupported size"},
        {Security::kNone, Concat({none, SetPixelFormat(16, 16, false, 1, 255, 255, 255, 16, 8, 0)}),
         "do not fit"},
        {Security::kNone, Concat({none, {rfb::client_msg::kSetEncodings, 0, 0xff, 0xff}}),
         "65535 encodings"},
        {Security::kNone, Concat({none, {77, 1, 2, 3}}), "unknown message"},
    };
    for (const Row& row : rows) {
        for (const std::size_t piece : {row.stream.size(), std::size_t{1}}) {
            SCOPED_TRACE(row.reason + " in pieces of " + std::to_string(piece));
            rfbserver::Server server(WithSecurity(row.security));
            server.SetFrame(Frame());
            std::vector<rfbserver::Event> events;
            for (std::size_t at = 0; at < row.stream.size(); at += piece) {
                server.Receive(std::span(row.stream).subspan(at, piece));
                for (auto& e : Events(server)) {
                    events.push_back(std::move(e));
                }
            }
            const auto closed = Only<rfbserver::event::Closed>(events);
            ASSERT_EQ(closed.size(), 1u);
            EXPECT_NE(closed[0].reason.find(row.reason), std::string::npos) << closed[0].reason;
            server.Receive(Bytes{rfb::client_msg::kKeyEvent, 1, 0, 0, 0, 0, 0, 'a'});
            EXPECT_TRUE(Events(server).empty());
        }
    }
}

TEST(RfbServerScripted, AResizeEndsTheSessionOfAViewerThatCannotFollowIt) {
    auto server = Connected();
    server->Receive(Concat({SetEncodings({rfb::Encoding::kRaw}), UpdateRequest()}));
    rfbserver::Frame smaller = Frame();
    smaller.height = kHeight / 2;
    server->SetFrame(smaller);
    const auto closed = Only<rfbserver::event::Closed>(Events(*server));
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_NE(closed[0].reason.find("cannot follow"), std::string::npos);
}

TEST(RfbServerScripted, PointerIsClampedAndOversizedCutTextIsDroppedWithoutEndingTheSession) {
    rfbserver::Options options;
    options.max_clipboard_bytes = 4096;
    auto server = Connected(options);
    const Bytes pointer{rfb::client_msg::kPointerEvent, 1, 0xff, 0xff, 0xff, 0xff};
    server->Receive(CutText(10000, Bytes(5000, 'z')));  // half of it, then the rest
    server->Receive(Concat({Bytes(5000, 'z'), pointer}));
    // A bomb: 1 MiB of zeros in 1 KiB, inflated against a 4 KiB limit; then a fitting text.
    server->Receive(SetEncodings({rfb::Encoding::kExtendedClipboard}));
    server->Receive(Extended(kProvide | kText, Deflate(Concat({U32(1 << 20), Bytes(1 << 20)}))));
    server->Receive(CutText(4, {'c', 'a', 'f', 0xe9}));  // Latin-1
    EXPECT_FALSE(server->closed());
    const auto events = Events(*server);
    const auto pointers = Only<rfbserver::event::Pointer>(events);
    ASSERT_EQ(pointers.size(), 1u);
    EXPECT_EQ(std::pair(pointers[0].x, pointers[0].y), std::pair(kWidth - 1, kHeight - 1));
    const auto clips = Only<rfbserver::event::Clipboard>(events);
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0].text, "café");
}

TEST(RfbServerScripted, AViewerThatDoesNotReadStopsTheCaptures) {
    rfbserver::Options options;
    options.max_pending_output = kWidth * kHeight;  // a quarter of a raw screen
    auto server = Connected(options);
    server->Receive(Concat({SetEncodings({rfb::Encoding::kRaw}), UpdateRequest()}));
    ASSERT_TRUE(server->WantsFrame());
    server->SetFrame(Frame());
    server->Receive(UpdateRequest());
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
    EXPECT_EQ(server->TakeOutput(), Concat({{3, 0, 0, 0}, U32(-4), U32(kRequest | kText)}));
    const std::string text = "한국어\r\n두 줄";
    server->Receive(Extended(kProvide | kText, Deflate(Concat({U32(text.size()), Str(text)}))));
    const auto clips = Only<rfbserver::event::Clipboard>(Events(*server));
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0].text, "한국어\n두 줄");

    // A viewer that takes text unasked gets it at once, zlib-compressed, CRLF and NUL-ended.
    server->Receive(Extended(kCaps | kProvide | kNotify | kText, U32(1 << 20)));
    server->SetClipboard("안녕하세요\n");
    const Bytes out = server->TakeOutput();
    ASSERT_GT(out.size(), 12u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{3, 0, 0, 0}));
    EXPECT_EQ(Bytes(out.begin() + 8, out.begin() + 12), U32(kProvide | kText));
    EXPECT_EQ(Inflate(out.data() + 12, out.size() - 12),
              Concat({U32(18), Str("안녕하세요\r\n"), {0}}));
}

}  // namespace
}  // namespace rfbserver_test
