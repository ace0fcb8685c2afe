// The encrypted session's handshake (agent/session_gate.h) as bytes: what the viewer and x11vnc
// are told for each thing they may say. The whole session, TLS included, is sessions_test.cpp's.
#include <gtest/gtest.h>

#include "agent/protocol.h"
#include "agent/session_gate.h"

namespace talagent {
namespace {

using namespace std::string_literals;
using Step = SessionGate::Step;

// Each row plays the viewer's bytes one at a time (every split of a message is met), then, once
// TLS is up, x11vnc's bytes in one piece, and `held` (the viewer's words before x11vnc is
// answered). The viewer's bytes must start with `to_viewer`; refusals may add a reason.
TEST(SessionGate, OffersTheViewerOneSubtypeAndAsksX11vncForTheMatchingType) {
    const std::string v38 = "RFB 003.008\n", greeting = IdBlock("7") + v38;
    const std::string offer = greeting + "\x01\x13\0\x02\0\x01\0\0\x01"s;
    const std::string to_none = v38 + "\x13\0\x02\0\0\x01\x04"s,
                      to_vnc = v38 + "\x13\0\x02\0\0\x01\x05"s;
    const struct {
        const char* name;
        bool password;
        std::string viewer, x11vnc, held;
        Step step;
        std::string to_viewer, to_x11vnc;
    } rows[] = {
        {"a 3.3 viewer is told why in place of the type", false, "RFB 003.003\n", "", "",
         Step::kFailed, greeting + "\0\0\0\0\0\0\0"s, ""},
        {"not RFB", false, "GET / HTTP/1.1\n", "", "", Step::kFailed, greeting, ""},
        {"security None is refused", false, v38 + "\x01", "", "", Step::kFailed,
         greeting + "\x01\x13\0\0\0\x01"s, ""},
        {"VeNCrypt 0.1", false, v38 + "\x13\0\x01"s, "", "", Step::kFailed,
         greeting + "\x01\x13\0\x02\xff"s, ""},
        {"X509None where X509Vnc is offered", true, to_none, "", "", Step::kFailed,
         offer + "\x05\0"s, ""},
        {"None: x11vnc's result and later bytes pass through", false, to_none,
         v38 + "\x02\x01\x02\0\0\0\0"s, "\x03", Step::kSplice, offer + "\x04\x01\0\0\0\0"s,
         v38 + "\x01\x03"},
        {"a password: VNC authentication", true, to_vnc, v38 + "\x02\x01\x02" + "challenge", "",
         Step::kSplice, offer + "\x05\x01" + "challenge", v38 + "\x02"},
        {"x11vnc lacks the type: the viewer gets a failed result", false, to_none, v38 + "\x01\x02",
         "", Step::kFailed, offer + "\x04\x01\0\0\0\x01"s, v38},
        {"x11vnc's reason reaches the viewer", false, to_none, v38 + "\0\0\0\0\x03why"s, "",
         Step::kFailed, offer + "\x04\x01\0\0\0\x01\0\0\0\x03why"s, v38},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SessionGate gate("7", row.password, SessionGate::Clock::now());
        std::string to_viewer, to_x11vnc;
        for (std::size_t i = 0; i < row.viewer.size() && gate.step() == Step::kViewer; ++i) {
            ASSERT_GT(gate.ViewerWants(), 0u);
            to_viewer += gate.TakeToViewer();
            gate.FromViewer(row.viewer.substr(i, 1));
        }
        if (gate.step() == Step::kTls) {
            EXPECT_EQ(gate.ViewerWants(), 0u);  // the rest is the viewer's TLS hello
            gate.TlsDone();
            gate.FromViewer(row.held);
            gate.FromX11vnc(row.x11vnc);
        }
        to_viewer += gate.TakeToViewer();
        to_x11vnc += gate.TakeToX11vnc();
        EXPECT_EQ(gate.step(), row.step) << gate.error();
        EXPECT_EQ(to_viewer.substr(0, row.to_viewer.size()), row.to_viewer);
        if (row.step == Step::kSplice) {
            EXPECT_EQ(to_viewer, row.to_viewer);
        }
        EXPECT_EQ(to_x11vnc, row.to_x11vnc);
        EXPECT_EQ(gate.deadline().has_value(), false);
    }
}

}  // namespace
}  // namespace talagent
