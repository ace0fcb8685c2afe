// The session driver both viewers run, against scripted servers: each row is a session (what
// the server sends, closes, the TLS layer's verdict, the clock moving on) played twice, with the
// server's bytes whole and cut into single bytes, and must give the same events and end with
// the same failure class, once.
#include "viewer/session_driver.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "rfb_stream.h"

namespace talviewer {
namespace {

using rfbtest::Bytes;
using namespace std::chrono_literals;

struct Step {
    enum Kind { kServer, kConnected, kClose, kPeerClose, kTlsUp, kTlsFail, kAdvance, kPassword };
    Kind kind;
    Bytes bytes = {};
    std::string text = {};
    std::chrono::seconds wait{0};
};

Step Server(const Bytes& bytes) {
    return {Step::kServer, bytes};
}
Step Server(std::string_view text) {
    return {Step::kServer, Bytes(text.begin(), text.end())};
}
Step Up() {
    return {Step::kConnected};
}
Step Close(std::string reason) {
    return {Step::kClose, {}, std::move(reason)};
}
Step PeerClose() {
    return {Step::kPeerClose};
}
Step TlsUp() {
    return {Step::kTlsUp};
}
Step TlsFail(std::string reason) {
    return {Step::kTlsFail, {}, std::move(reason)};
}
Step Wait(std::chrono::seconds s) {
    return {Step::kAdvance, {}, {}, s};
}
Step Password(std::string p) {
    return {Step::kPassword, {}, std::move(p)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        rfbtest::Append(out, p);
    }
    return out;
}

const Bytes kOk = {'o', 'k', '\n'};
const Bytes kV38 = {'R', 'F', 'B', ' ', '0', '0', '3', '.', '0', '0', '8', '\n'};
const Bytes kPlain = rfbtest::PlainHandshake38(64, 48);
const Bytes kInit = rfbtest::ServerInit(64, 48, "desk");
const Bytes kResultOk = {0, 0, 0, 0};
const Bytes kVncAuth = Cat({kV38, {1, 2}, Bytes(16, 7)});  // offer, then the challenge
const Bytes kVeNCrypt = Cat({kV38, {1, 19}, {0, 2}, {0, 1, 0, 0, 1, 4}, {1}});

Bytes Refused(std::string_view reason) {
    Bytes b = {0, 0, 0, 1};
    rfbtest::Put32(b, static_cast<uint32_t>(reason.size()));
    rfbtest::Append(b, reason);
    return b;
}

// What the front end saw, one line per event.
std::string Trace(const SessionEvent& event) {
    namespace se = session_event;
    return std::visit(
        [](const auto& e) -> std::string {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, se::Status>) {
                return "status " + e.text;
            } else if constexpr (std::is_same_v<T, se::Accepted>) {
                return "accepted";
            } else if constexpr (std::is_same_v<T, se::Connected>) {
                return e.encrypted ? "connected tls" : "connected plain";
            } else if constexpr (std::is_same_v<T, se::FramebufferUpdated>) {
                return "update";
            } else if constexpr (std::is_same_v<T, se::DesktopResized>) {
                return "resized " + std::to_string(e.width) + "x" + std::to_string(e.height);
            } else if constexpr (std::is_same_v<T, se::CredentialsNeeded>) {
                return "password?";
            } else if constexpr (std::is_same_v<T, se::StartTls>) {
                return "tls for " + e.peer_name;
            } else if constexpr (std::is_same_v<T, se::Failed>) {
                return "failed " + std::to_string(ExitStatus(e.failure)) + ": " + e.detail;
            } else {
                return "other";
            }
        },
        event);
}

struct Row {
    const char* name;
    bool have_ca;
    std::vector<Step> script;         // after Start
    std::vector<std::string> expect;  // in this order among the events (others may come between)
    std::optional<Failure> failure;
    std::string detail = {};  // part of the failure's detail
    bool whole_only = false;  // the case is about bytes arriving together
};

struct Played {
    std::vector<std::string> events;
    std::string sent;
};

Played Play(const Row& row, bool bytewise) {
    SessionDriver driver(SessionSetup{.address = "relay",
                                      .port = "7000",
                                      .name = "pc 01",
                                      .display_name = "pc 01",
                                      .have_ca = row.have_ca});
    auto now = SessionDriver::TimePoint{} + 1000s;
    Played run;
    const auto collect = [&] {
        for (const uint8_t b : driver.TakeOutput()) {
            run.sent += static_cast<char>(b);
        }
        while (auto e = driver.PollEvent()) {
            run.events.push_back(Trace(*e));
        }
    };
    driver.Start(now);
    collect();
    for (const Step& s : row.script) {
        switch (s.kind) {
            case Step::kServer:
                for (std::size_t at = 0; at < s.bytes.size(); at += bytewise ? 1 : s.bytes.size()) {
                    driver.Receive(std::span(s.bytes).subspan(at, bytewise ? 1 : s.bytes.size()),
                                   now);
                    collect();
                }
                break;
            case Step::kConnected:
                driver.Connected(now);
                break;
            case Step::kClose:
                driver.Closed(s.text, false);
                break;
            case Step::kPeerClose:
                driver.Closed("ignored", true);
                break;
            case Step::kTlsUp:
                driver.TlsEstablished();
                break;
            case Step::kTlsFail:
                driver.TlsFailed(s.text);
                break;
            case Step::kAdvance:
                now += s.wait;
                driver.Tick(now);
                break;
            case Step::kPassword:
                driver.SetPassword(s.text, now);
                break;
        }
        collect();
    }
    // Whatever comes after the end changes nothing.
    if (driver.done()) {
        const std::size_t events = run.events.size(), sent = run.sent.size();
        driver.Receive(kOk, now);
        driver.Closed("late", true);
        driver.SendKey(0x61, true);
        driver.Tick(now + 1h);
        collect();
        EXPECT_EQ(run.events.size(), events) << run.events.back();
        EXPECT_EQ(run.sent.size(), sent);
    }
    return run;
}

TEST(SessionDriver, ScriptedSessionsEndAsTheOperatorIsTold) {
    const Row rows[] = {
        {"a plain session without a CA, with no deadline once running",
         false,
         {Up(), Server(Cat({kOk, kPlain})), Wait(600s)},
         {"status Connecting to the server at relay:7000\xe2\x80\xa6",
          "status Asking pc 01 for a session\xe2\x80\xa6", "accepted",
          "status Starting the session\xe2\x80\xa6", "connected plain"},
         std::nullopt},
        {"not connected",
         false,
         {Up(), Server("error not-connected\n")},
         {},
         Failure::kNotConnected},
        {"the server's timeout, CRLF",
         false,
         {Up(), Server("error timeout\r\n")},
         {},
         Failure::kTimeout},
        {"busy", false, {Up(), Server("error busy\n")}, {}, Failure::kBusy},
        {"another reason",
         false,
         {Up(), Server("error disk on fire\n")},
         {},
         Failure::kConnectionFailed,
         "The server answered: disk on fire"},
        {"an answer that is not one, escapes shown",
         false,
         {Up(), Server("hi\x1b[2J\n")},
         {},
         Failure::kConnectionFailed,
         "not understood: \"hi\\x1b[2J\""},
        {"an error without a reason",
         false,
         {Up(), Server("error \n")},
         {},
         Failure::kConnectionFailed,
         "not understood: \"error \""},
        {"a word that only begins like ok",
         false,
         {Up(), Server("okay\n")},
         {},
         Failure::kConnectionFailed,
         "not understood: \"okay\""},
        {"an endless line",
         false,
         {Up(), Server(std::string(300, 'o'))},
         {},
         Failure::kConnectionFailed,
         "The server's answer was not understood."},
        {"the server closes without answering",
         false,
         {Up(), Server("err"), PeerClose()},
         {},
         Failure::kConnectionFailed,
         "closed the connection without answering"},
        {"the server cannot be reached",
         false,
         {Close("Connection refused")},
         {},
         Failure::kConnectionFailed,
         "The server at relay:7000 could not be reached: Connection"},
        {"the connect deadline",
         false,
         {Wait(14s), Wait(1s)},
         {},
         Failure::kConnectionFailed,
         "did not answer within 15 seconds"},
        {"the reply deadline",
         false,
         {Up(), Wait(44s), Wait(1s)},
         {},
         Failure::kTimeout,
         "The server did not answer within 45 seconds."},
        {"the handshake deadline",
         false,
         {Up(), Server(kOk), Wait(29s), Wait(1s)},
         {},
         Failure::kTimeout,
         "did not start within 30 seconds"},
        {"no deadline while the operator types the password, then one again",
         false,
         {Up(), Server(Cat({kOk, kVncAuth})), Wait(600s), Password("secret"), Wait(30s)},
         {"password?", "status Signing in\xe2\x80\xa6"},
         Failure::kTimeout,
         "did not start within 30 seconds"},
        {"a password that works",
         false,
         {Up(), Server(Cat({kOk, kVncAuth})), Password("secret"), Server(Cat({kResultOk, kInit}))},
         {"password?", "connected plain"},
         std::nullopt},
        {"a wrong password",
         false,
         {Up(), Server(Cat({kOk, kVncAuth})), Password("nope"), Server(Refused("bad password"))},
         {"password?"},
         Failure::kWrongPassword,
         "bad password"},
        {"refused without a password",
         false,
         {Up(), Server(Cat({kOk, kV38, {1, 1}, Refused("go away")}))},
         {},
         Failure::kConnectionFailed,
         "go away"},
        {"a plain session while a CA is there",
         true,
         {Up(), Server(Cat({kOk, kPlain}))},
         {},
         Failure::kSecurity},
        {"VeNCrypt without a CA",
         false,
         {Up(), Server(Cat({kOk, kVeNCrypt}))},
         {},
         Failure::kSecurity,
         "there is no ca.pem beside the viewer"},
        {"VeNCrypt with a CA",
         true,
         {Up(), Server(Cat({kOk, kVeNCrypt})), TlsUp(), Server(Cat({kResultOk, kInit}))},
         {"status Checking pc 01's certificate\xe2\x80\xa6", "tls for pc 01",
          "status Starting the session\xe2\x80\xa6", "connected tls"},
         std::nullopt},
        {"a server that speaks before the TLS hello",
         true,
         {Up(), Server(Cat({kOk, kVeNCrypt, {22, 3}}))},
         {},
         Failure::kSecurity,
         "sent data before the TLS handshake",
         true},
        {"a TLS handshake that fails",
         true,
         {Up(), Server(Cat({kOk, kVeNCrypt})), TlsFail("certificate expired")},
         {"tls for pc 01"},
         Failure::kSecurity,
         "The TLS handshake with pc 01 failed: certificate expired"},
        {"a close during the TLS handshake",
         true,
         {Up(), Server(Cat({kOk, kVeNCrypt})), PeerClose()},
         {},
         Failure::kSecurity,
         "failed: the remote side closed the connection."},
        {"a close before the desktop came",
         false,
         {Up(), Server(Cat({kOk, kV38})), PeerClose()},
         {},
         Failure::kConnectionFailed,
         "closed the connection before the session started"},
        {"the remote side ends a running session",
         false,
         {Up(), Server(Cat({kOk, kPlain})), PeerClose()},
         {"connected plain"},
         Failure::kEnded,
         "The remote side closed the connection."},
        {"a running session breaks",
         false,
         {Up(), Server(Cat({kOk, kPlain})), Close("Connection reset by peer")},
         {},
         Failure::kEnded,
         "Connection reset by peer"},
        {"the desktop sends what the core cannot decode",
         false,
         {Up(), Server(Cat({kOk, kPlain, {200}}))},
         {"connected plain"},
         Failure::kProtocol,
         "unknown message (type 200)"},
    };
    for (const Row& row : rows) {
        for (const bool bytewise : {false, true}) {
            if (bytewise && row.whole_only) {
                continue;
            }
            SCOPED_TRACE(std::string(row.name) + (bytewise ? ", byte by byte" : ", whole"));
            const Played run = Play(row, bytewise);
            auto at = run.events.begin();
            for (const std::string& want : row.expect) {
                at = std::find(at, run.events.end(), want);
                ASSERT_NE(at, run.events.end()) << "missing, or out of order: " << want;
            }
            const auto failed =
                std::count_if(run.events.begin(), run.events.end(),
                              [](const auto& e) { return e.starts_with("failed"); });
            if (!row.failure) {
                EXPECT_EQ(failed, 0) << run.events.back();
                continue;
            }
            ASSERT_EQ(failed, 1);
            const std::string want = "failed " + std::to_string(ExitStatus(*row.failure)) + ": ";
            EXPECT_TRUE(run.events.back().starts_with(want)) << run.events.back();
            EXPECT_NE(run.events.back().find(row.detail), std::string::npos) << run.events.back();
        }
    }
}

TEST(SessionDriver, AsksForTheMachineOnceConnectedAndSpeaksRfbAfterOk) {
    const Played run =
        Play({"", false, {Server(kOk), Up(), Server(Cat({kOk, kPlain}))}, {}, {}}, false);
    // Bytes before the connection are nobody's answer; the request goes first, then RFB.
    ASSERT_TRUE(run.sent.starts_with("view pc 01\nRFB 003.008\n")) << run.sent;
}

// A desktop that floods resizes: of one call's resizes and updates only the last resize is
// reported, followed by the update that repaints the whole new desktop.
TEST(SessionDriver, CoalescesTheResizesOfOneCall) {
    Bytes flood = Cat({kOk, kPlain});
    for (int i = 1; i <= 50; ++i) {
        rfbtest::Append(flood, rfbtest::UpdateHeader(1));
        rfbtest::Append(flood, rfbtest::RectHeader(0, 0, 100 + i, 50 + i, -223));
    }
    const Played run = Play({"", false, {Up(), Server(flood)}, {}, {}}, false);
    std::vector<std::string> sizes;
    for (const std::string& e : run.events) {
        if (e.starts_with("resized") || e == "update") {
            sizes.push_back(e);
        }
    }
    EXPECT_EQ(sizes, (std::vector<std::string>{"resized 150x100", "update"}));
}

}  // namespace
}  // namespace talviewer
