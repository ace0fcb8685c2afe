// The session driver both viewers run, against scripted servers: each row is a session (what
// the server sends, closes, the TLS layer's verdict, the clock moving on) played twice, with the
// server's bytes whole and cut into single bytes, and must give the same events and end with
// the same failure class, once.
#include "viewer/session_driver.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "rfb_stream.h"

namespace talviewer {
namespace {

using rfbtest::Bytes;
using namespace std::chrono_literals;

// One thing that happens to the session: the server's bytes (whole, or one byte per call when
// `bytewise`), the connection, the TLS layer's verdict, the clock, the operator's password.
struct Ctx {
    SessionDriver& driver;
    SessionDriver::TimePoint now;
    bool bytewise;
    std::function<void()> collect;  // takes the driver's output and events
};
using Step = std::function<void(Ctx&)>;

Step Server(const Bytes& bytes) {
    return [bytes](Ctx& c) {
        const std::size_t n = c.bytewise ? 1 : bytes.size();
        for (std::size_t at = 0; at < bytes.size(); at += n) {
            c.driver.Receive(std::span(bytes).subspan(at, n), c.now);
            c.collect();
        }
    };
}
Step Server(std::string_view text) {
    return Server(rfbtest::Str(text));
}
const Step Up = [](Ctx& c) { c.driver.Connected(c.now); };
const Step PeerClose = [](Ctx& c) { c.driver.Closed("ignored", true); };
Step Close(std::string reason) {
    return [=](Ctx& c) { c.driver.Closed(reason, false); };
}
// The certificate's DNS names.
Step TlsUp(std::vector<std::string> names) {
    return [=](Ctx& c) { c.driver.TlsEstablished(names); };
}
Step TlsFail(std::string why) {
    return [=](Ctx& c) { c.driver.TlsFailed(why); };
}
Step Wait(std::chrono::seconds s) {
    return [=](Ctx& c) { c.driver.Tick(c.now += s); };
}
Step Password(std::string password) {
    return [=](Ctx& c) { c.driver.SetPassword(password, c.now); };
}

using rfbtest::Concat, rfbtest::Reason;

const Bytes kOk = rfbtest::Str("ok\n");
const Bytes kV38 = rfbtest::Str("RFB 003.008\n");
const Bytes kPlain = rfbtest::PlainHandshake38(64, 48);
const Bytes kInit = rfbtest::ServerInit(64, 48, "desk");
const Bytes kResultOk = {0, 0, 0, 0};
const Bytes kVncAuth = Concat({kV38, {1, 2}, Bytes(16, 7)});  // offer, then the challenge
const Bytes kVeNCrypt = Concat({kV38, {1, 19}, {0, 2}, {0, 1, 0, 0, 1, 4}, {1}});
// VeNCrypt as far as its subtypes: TLSVnc and VncAuth.
const Bytes kTigerDefault = Concat({kV38, {2, 2, 19}, {0, 2}, {0}, {2, 0, 0, 1, 2, 0, 0, 0, 2}});
const Bytes kAnonymousOnly = Concat({kV38, {1, 19}, {0, 2}, {0}, {1, 0, 0, 1, 2}});

Bytes Refused(std::string_view reason) {
    return Concat({{0, 0, 0, 1}, Reason(reason)});
}

// What the front end saw, one line per event.
namespace se = session_event;
struct Trace {
    std::string operator()(const se::Status& e) { return "status " + e.text; }
    std::string operator()(const se::Accepted&) { return "accepted"; }
    std::string operator()(const se::Connected& e) {
        return e.encrypted ? "connected tls" : "connected plain";
    }
    std::string operator()(const se::FramebufferUpdated&) { return "update"; }
    std::string operator()(const se::DesktopResized& e) {
        return "resized " + std::to_string(e.width) + "x" + std::to_string(e.height);
    }
    std::string operator()(const se::CredentialsNeeded&) { return "password?"; }
    std::string operator()(const se::StartTls& e) { return "tls for " + e.peer_name; }
    std::string operator()(const se::Failed& e) {
        return "failed " + std::to_string(ExitStatus(e.failure)) + ": " + e.detail;
    }
    std::string operator()(const auto&) { return "other"; }
};

// A CA file is there; bytes must come together; an operator certificate is there.
// Plain sessions are not allowed explicitly.
enum Flags { kCa = 1, kWholeOnly = 2, kOperator = 4, kNoPlain = 8 };

struct Row {
    const char* name;
    std::vector<Step> script;  // after Start
    // "STATUS PART": the session fails once, last, with that exit status and PART of the
    // detail; "": it does not fail.
    const char* end;
    int flags = 0;
    std::vector<std::string> expect = {};  // in this order among the events (others between)
    const char* sent = "";                 // what the viewer's bytes begin with
};

struct Played {
    std::vector<std::string> events;
    std::string sent;
};

Played Play(const Row& row, bool bytewise) {
    SessionSetup setup{.address = "relay",
                       .port = "7000",
                       .name = "pc-01",
                       .display_name = "pc-01",
                       .have_ca = (row.flags & kCa) != 0,
                       .allow_plain = (row.flags & kNoPlain) == 0,
                       .answer_challenge = {},
                       .no_credentials = "No operator.pem here."};
    if (row.flags & kOperator) {
        setup.answer_challenge = [](std::string_view name, std::string_view nonce) {
            return "operator " + std::string(name) + "/" + std::string(nonce) + "\n";
        };
    }
    SessionDriver driver(std::move(setup));
    Played run;
    Ctx ctx{driver, SessionDriver::TimePoint{} + 1000s, bytewise, [&] {
                for (const uint8_t b : driver.TakeOutput()) {
                    run.sent += static_cast<char>(b);
                }
                while (auto e = driver.PollEvent()) {
                    run.events.push_back(std::visit(Trace{}, *e));
                }
            }};
    driver.Start(ctx.now);
    ctx.collect();
    for (const Step& step : row.script) {
        step(ctx);
        ctx.collect();
    }
    // Whatever comes after the end changes nothing.
    if (driver.done()) {
        const std::size_t events = run.events.size(), sent = run.sent.size();
        driver.Receive(kOk, ctx.now);
        driver.Closed("late", true);
        driver.SendKey(0x61, true);
        driver.Tick(ctx.now + 1h);
        ctx.collect();
        EXPECT_EQ(run.events.size(), events) << run.events.back();
        EXPECT_EQ(run.sent.size(), sent);
    }
    return run;
}

TEST(SessionDriver, ScriptedSessionsEndAsTheOperatorIsTold) {
    const std::string dots = "\xe2\x80\xa6";
    const Row rows[] = {
        // Bytes before the connection are nobody's answer; the request goes first, then RFB.
        {"a plain session without a CA, with no deadline once running",
         {Server(kOk), Up, Server(Concat({kOk, kPlain})), Wait(600s)},
         "",
         0,
         {"status Connecting to the server at relay:7000" + dots,
          "status Asking pc-01 for a session" + dots, "accepted",
          "status Starting the session" + dots, "connected plain"},
         "view pc-01\nRFB 003.008\n"},
        {"not connected", {Up, Server("error not-connected\n")}, "3"},
        {"the server's timeout, CRLF", {Up, Server("error timeout\r\n")}, "4"},
        {"busy", {Up, Server("error busy\n")}, "5"},
        {"another reason", {Up, Server("error disk on fire\n")}, "6 answered: disk on fire"},
        {"escapes shown", {Up, Server("hi\x1b[2J\n")}, "6 understood: \"hi\\x1b[2J\""},
        {"no reason", {Up, Server("error \n")}, "6 understood: \"error \""},
        {"not quite ok", {Up, Server("okay\n")}, "6 understood: \"okay\""},
        {"an endless line", {Up, Server(std::string(300, 'o'))}, "6 was not understood."},
        {"closed unanswered", {Up, Server("err"), PeerClose}, "6 closed the connection without"},
        {"unreachable",
         {Close("refused")},
         "6 The server at relay:7000 could not be reached: refused"},
        {"the connect deadline", {Wait(14s), Wait(1s)}, "6 did not answer within 15 seconds"},
        {"the reply deadline", {Up, Wait(44s), Wait(1s)}, "4 server did not answer within 45 s"},
        {"the handshake deadline", {Up, Server(kOk), Wait(29s), Wait(1s)}, "4 within 30 seconds"},
        {"no deadline while the operator types the password, then one again",
         {Up, Server(Concat({kOk, kVncAuth})), Wait(600s), Password("secret"), Wait(30s)},
         "4 did not start within 30 seconds",
         0,
         {"password?", "status Signing in" + dots}},
        {"a password that works",
         {Up, Server(Concat({kOk, kVncAuth})), Password("secret"),
          Server(Concat({kResultOk, kInit}))},
         "",
         0,
         {"password?", "connected plain"}},
        {"a wrong password",
         {Up, Server(Concat({kOk, kVncAuth})), Password("nope"), Server(Refused("bad password"))},
         "8 bad password",
         0,
         {"password?"}},
        {"the remote side refuses before any authentication, with its reason",
         {Up, Server(Concat({kOk, kV38, {0}, Reason("no X server on :5")}))},
         "6 The server refused the connection: no X server on :5."},
        {"refused, no password given",
         {Up, Server(Concat({kOk, kV38, {1, 1}, Refused("go")}))},
         "6 go"},
        // The server checks operators.
        {"a proven operator",
         {Up, Server("challenge 0aF9\n"), Server(Concat({kOk, kPlain}))},
         "",
         kOperator,
         {"status Showing the server who you are" + dots, "accepted", "connected plain"},
         "view pc-01\noperator pc-01/0aF9\nRFB 003.008\n"},
        {"no operator certificate", {Up, Server("challenge 0a\n")}, "11 No operator.pem here."},
        {"not authorized",
         {Up, Server("challenge 0a\nerror not-authorized\n")},
         "12 expired or revoked",
         kOperator},
        {"forbidden", {Up, Server("challenge 0a\nerror forbidden\n")}, "13 access list", kOperator},
        {"the person at the machine says no", {Up, Server("error denied\n")}, "14"},
        {"the agent could not start the session", {Up, Server("error failed\n")}, "14"},
        {"challenged twice",
         {Up, Server("challenge 0a\nchallenge 0b\n")},
         "6 asked for the operator twice",
         kOperator},
        {"closed instead of a verdict",
         {Up, Server("challenge 0a\n"), PeerClose},
         "6 closed the connection without answering",
         kOperator},
        {"a nonce that is not hex",
         {Up, Server("challenge 0x\n")},
         "6 understood: \"challenge 0x\"",
         kOperator},
        {"a plain session without a CA, not allowed",
         {Up, Server(Concat({kOk, kPlain}))},
         "7 no file \"allow-plain-sessions\"",
         kNoPlain},
        {"a plain session while a CA is there", {Up, Server(Concat({kOk, kPlain}))}, "7", kCa},
        // TigerVNC's default offer: VNC authentication, and VeNCrypt with anonymous TLS only.
        {"VNC authentication and anonymous VeNCrypt while a CA is there",
         {Up, Server(Concat({kOk, kTigerDefault}))},
         "7 The server offers VNC authentication and VeNCrypt TLSVnc or VncAuth only",
         kCa},
        {"anonymous VeNCrypt only, plain sessions allowed",
         {Up, Server(Concat({kOk, kAnonymousOnly}))},
         "7 X.509 certificates, VNC authentication or None. There is no ca.pem beside the viewer."},
        {"VeNCrypt without a CA", {Up, Server(Concat({kOk, kVeNCrypt}))}, "7 there is no ca.pem"},
        {"VeNCrypt with a CA",
         {Up, Server(Concat({kOk, kVeNCrypt})), TlsUp({"pc-0", "pc-01"}),
          Server(Concat({kResultOk, kInit}))},
         "",
         kCa,
         {"status Checking pc-01's certificate" + dots, "tls for pc-01",
          "status Starting the session" + dots, "connected tls"}},
        {"the server speaks before the TLS hello",
         {Up, Server(Concat({kOk, kVeNCrypt, {22}}))},
         "7 sent data before the TLS handshake",
         kCa | kWholeOnly},
        // The TLS layer matches names as DNS does; listed names are bytes.
        {"a certificate for the name in other letter case",
         {Up, Server(Concat({kOk, kVeNCrypt})), TlsUp({"PC-01"})},
         "7 is not for pc-01 but for PC-01",
         kCa},
        {"a certificate that names no machine",
         {Up, Server(Concat({kOk, kVeNCrypt})), TlsUp({""})},
         "7 it names no machine",
         kCa},
        {"a TLS handshake that fails",
         {Up, Server(Concat({kOk, kVeNCrypt})), TlsFail("certificate expired")},
         "7 The TLS handshake with pc-01 failed: certificate expired",
         kCa,
         {"tls for pc-01"}},
        {"a close during the TLS handshake",
         {Up, Server(Concat({kOk, kVeNCrypt})), PeerClose},
         "7 failed: the remote side closed the connection.",
         kCa},
        {"a close before the desktop came",
         {Up, Server(Concat({kOk, kV38})), PeerClose},
         "6 closed the connection before the session started"},
        // x11vnc -sslverify refusing a viewer without a client certificate, and with one.
        {"a close after TLS, with no operator certificate",
         {Up, Server(Concat({kOk, kVeNCrypt})), TlsUp({"pc-01"}), PeerClose},
         "7 ended with the machine closing the connection, as a machine that checks operators "
         "does when the viewer shows no operator certificate. No operator.pem here.",
         kCa},
        {"a close after TLS, with an operator certificate",
         {Up, Server(Concat({kOk, kVeNCrypt})), TlsUp({"pc-01"}), PeerClose},
         "6 closed the connection before the session started",
         kCa | kOperator},
        {"the remote side ends a running session",
         {Up, Server(Concat({kOk, kPlain})), PeerClose},
         "9 The remote side closed the connection.",
         0,
         {"connected plain"}},
        {"a running session breaks",
         {Up, Server(Concat({kOk, kPlain})), Close("reset by peer")},
         "9 reset by peer"},
        {"the desktop sends what the core cannot decode",
         {Up, Server(Concat({kOk, kPlain, {200}}))},
         "10 unknown message (type 200)",
         0,
         {"connected plain"}},
    };
    for (const Row& row : rows) {
        for (const bool bytewise : {false, true}) {
            if (bytewise && (row.flags & kWholeOnly)) {
                continue;
            }
            SCOPED_TRACE(std::string(row.name) + (bytewise ? ", byte by byte" : ", whole"));
            const Played run = Play(row, bytewise);
            EXPECT_TRUE(run.sent.starts_with(row.sent)) << run.sent;
            auto at = run.events.begin();
            for (const std::string& want : row.expect) {
                at = std::find(at, run.events.end(), want);
                ASSERT_NE(at, run.events.end()) << "missing, or out of order: " << want;
            }
            const auto failed =
                std::count_if(run.events.begin(), run.events.end(),
                              [](const auto& e) { return e.starts_with("failed"); });
            const std::string_view end = row.end;
            ASSERT_EQ(failed, end.empty() ? 0 : 1) << run.events.back();
            if (!end.empty()) {
                const std::size_t space = std::min(end.find(' '), end.size());
                EXPECT_TRUE(run.events.back().starts_with("failed " +
                                                          std::string(end.substr(0, space)) + ": "))
                    << run.events.back();
                EXPECT_NE(run.events.back().find(end.substr(std::min(space + 1, end.size()))),
                          std::string::npos)
                    << run.events.back();
            }
        }
    }
}

// A desktop that floods resizes: of one call's resizes and updates only the last resize is
// reported, followed by the update that repaints the whole new desktop.
TEST(SessionDriver, CoalescesTheResizesOfOneCall) {
    Bytes flood = Concat({kOk, kPlain});
    for (int i = 1; i <= 50; ++i) {
        rfbtest::Append(flood, rfbtest::UpdateHeader(1));
        rfbtest::Append(flood, rfbtest::RectHeader(0, 0, 100 + i, 50 + i, -223));
    }
    const Played run = Play({"", {Up, Server(flood)}, ""}, false);
    std::vector<std::string> sizes;
    for (const std::string& e : run.events) {
        if (e.starts_with("resized") || e == "update") {
            sizes.push_back(e);
        }
    }
    EXPECT_EQ(sizes, (std::vector<std::string>{"resized 150x100", "update"}));
}

// The part of SetEncodings that tells a quality level: its encodings, JPEG quality and zlib level.
std::string EncodingsFor(viewer::Quality level) {
    const viewer::EncodingRequest r = viewer::RequestFor(level);
    Bytes b;
    for (const rfb::Encoding e : r.encodings) {
        rfbtest::Put32(b, static_cast<uint32_t>(e));
    }
    if (r.jpeg_quality) {
        rfbtest::Put32(b, static_cast<uint32_t>(-32 + *r.jpeg_quality));
    }
    if (r.compress_level) {
        rfbtest::Put32(b, static_cast<uint32_t>(-256 + *r.compress_level));
    }
    return std::string(b.begin(), b.end());
}

// Auto starts Balanced; an update of 400 kB whose bytes take 2 s (1.6 Mbit/s) moves it to Low
// bandwidth, 0.1 s (32 Mbit/s) and 0.5 s (6.4 Mbit/s) leave it, and so do 40 small
// updates of a second each (typing: their time is latency); the server is told.
TEST(SessionDriver, AutoQualityFollowsTheMeasuredThroughput) {
    const rfbtest::Image picture = rfbtest::MakeDesktop(64, 48, 1);
    auto update = [&](int rects) {
        Bytes b = rfbtest::UpdateHeader(rects);
        for (int i = 0; i < rects; ++i) {
            rfbtest::Append(b, rfbtest::EncodeRaw(picture, {0, 0, 64, 48}));
        }
        return b;
    };
    struct Case {
        int rects;  // of 12 kB
        std::chrono::milliseconds takes;
        viewer::Quality level;
    };
    using viewer::Quality;
    for (const Case& c :
         {Case{32, 100ms, Quality::kBalanced}, Case{32, 2000ms, Quality::kLowBandwidth},
          Case{32, 500ms, Quality::kBalanced}, Case{1, 1000ms, Quality::kBalanced}}) {
        const Bytes all = update(c.rects);
        const Bytes first(all.begin(), all.begin() + 100), rest(all.begin() + 100, all.end());
        SCOPED_TRACE(c.takes.count());
        const Step later = [&](Ctx& ctx) { ctx.now += c.takes; };
        std::vector<Step> script = {Up, Server(Concat({kOk, kPlain}))};
        for (int i = 0; i < (c.rects == 1 ? 40 : 1); ++i) {  // typing: many small updates
            script.insert(script.end(), {Server(first), later, Server(rest)});
        }
        const Played run = Play({"", script, ""}, false);
        // After the first request (Balanced, at the handshake): only the move, if any.
        const std::string balanced = EncodingsFor(Quality::kBalanced);
        const std::string after = run.sent.substr(run.sent.find(balanced) + balanced.size());
        for (const Quality level :
             {Quality::kLossless, Quality::kBalanced, Quality::kLowBandwidth}) {
            EXPECT_EQ(after.find(EncodingsFor(level)) != std::string::npos,
                      level == c.level && level != Quality::kBalanced)
                << static_cast<int>(level);
        }
    }
}

}  // namespace
}  // namespace talviewer
