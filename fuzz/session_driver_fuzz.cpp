// The viewers' session driver under any order of what the network, the TLS layer and the clock
// can do: the input is a script of steps (server bytes, closes, TLS verdicts, clock advances, a
// password, a key). Whatever happens, the session fails at most once, with its Failed event
// last, and sends and reports nothing afterwards.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "viewer/session_driver.h"

namespace {

using talviewer::SessionDriver;
using talviewer::SessionEvent;

bool IsFailed(const SessionEvent& e) {
    return std::holds_alternative<talviewer::session_event::Failed>(e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    rfb::Options options;
    options.max_width = 1024;
    options.max_height = 1024;
    options.max_pixels = 256 * 1024;
    options.max_cursor_size = 64;
    options.max_clipboard_bytes = 4096;
    SessionDriver driver(
        {.address = "relay",
         .port = "7000",
         .name = "pc",
         .display_name = "pc",
         .have_ca = (data[0] & 1) != 0,
         .allow_plain = (data[0] & 4) != 0,
         .answer_challenge = [&](std::string_view, std::string_view) -> std::optional<std::string> {
             if ((data[0] & 2) == 0) {
                 return std::nullopt;
             }
             return std::string("operator Q0VSVA== U0lH\n");
         },
         .no_credentials = "none"},
        options);
    auto now = SessionDriver::TimePoint{} + std::chrono::hours(1);
    driver.Start(now);
    bool failed = false;
    std::span<const uint8_t> rest(data + 1, size - 1);
    while (!rest.empty()) {
        const uint8_t step = rest[0];
        rest = rest.subspan(1);
        const std::size_t n = std::min<std::size_t>(1 + step / 16, rest.size());
        switch (step % 16) {
            case 0:
                driver.Connected(now);
                break;
            case 1:
                driver.Closed("reset", false);
                break;
            case 2:
                driver.Closed("", true);
                break;
            case 3:
                driver.TlsEstablished({(step & 32) ? "pc" : "PC"});
                break;
            case 4:
                driver.TlsFailed("bad certificate", (step & 16) != 0);
                break;
            case 5:
                now += std::chrono::seconds(step);
                driver.Tick(now);
                break;
            case 6:
                driver.SetCredentials("user", "password", now);
                break;
            case 7:
                driver.SendKey(0x61, (step & 16) != 0);
                break;
            default:
                driver.Receive(rest.first(n), now);
                rest = rest.subspan(n);
                break;
        }
        driver.TakeOutput();
        while (auto e = driver.PollEvent()) {
            if (failed) {
                __builtin_trap();  // an event after the session ended
            }
            failed = IsFailed(*e);
        }
        if (failed != driver.done() || (failed && driver.HasOutput())) {
            __builtin_trap();
        }
    }
    return 0;
}
