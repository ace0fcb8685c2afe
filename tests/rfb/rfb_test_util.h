// Helpers the RFB core's tests (and the server core's) share: a client past the handshake,
// draining its events, reading back what it sends, comparing what it shows, and a stream that must
// end the session with a reason.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rfb/client.h"
#include "rfb_stream.h"

namespace rfbtest {

// The events a core (the client's, or the server's) has for us, drained.
template <typename Core>
auto Events(Core& core) {
    std::vector<typename decltype(core.PollEvent())::value_type> out;
    while (auto e = core.PollEvent()) {
        out.push_back(std::move(*e));
    }
    return out;
}

// A client past a 3.8 handshake with security None, its set-up output and events discarded.
inline std::unique_ptr<rfb::Client> Connected(int width, int height, rfb::Options options = {}) {
    options.allow_insecure = true;
    auto client = std::make_unique<rfb::Client>(std::move(options));
    client->Receive(PlainHandshake38(width, height));
    client->TakeOutput();
    Events(*client);
    return client;
}

// The client's messages as a server reads them: "inc WxH" and "full WxH" update requests,
// "cu WxH" and "cu off WxH" continuous updates, "fence FLAGS DATA", the others by name; a message
// cut short ends the list.
inline std::vector<std::string> Messages(const Bytes& out) {
    static const std::map<uint8_t, std::string> kNames = {
        {0, "format"},  {2, "encodings"}, {3, ""},     {4, "key"},
        {5, "pointer"}, {6, "cut"},       {150, "cu"}, {248, "fence "}};
    std::vector<std::string> messages;
    auto u16 = [&](std::size_t at) { return std::size_t{out[at]} << 8 | out[at + 1]; };
    auto size = [&](std::size_t at) {
        return std::to_string(u16(at)) + "x" + std::to_string(u16(at + 2));
    };
    for (std::size_t at = 0, length = 0; at < out.size(); at += length) {
        const std::size_t left = out.size() - at;
        const auto name = kNames.find(out[at]);
        if (name == kNames.end()) {
            messages.push_back("unexpected byte " + std::to_string(out[at]));
            break;
        }
        length = name->first == 0                         ? 20
                 : name->first == 5                       ? 6
                 : name->first == 3 || name->first == 150 ? 10
                                                          : 8;
        if (name->first == 2 && left >= 4) {
            length = 4 + 4 * u16(at + 2);
        } else if (name->first == 6 && left >= 8) {  // a negative length: Extended Clipboard
            const auto n = static_cast<int32_t>(u16(at + 4) << 16 | u16(at + 6));
            length = 8 + static_cast<std::size_t>(n < 0 ? -int64_t{n} : n);
        } else if (name->first == 248 && left >= 9) {
            length = 9 + std::size_t{out[at + 8]};
        }
        if (left < length) {
            break;
        }
        messages.push_back(name->second);
        if (name->first == 3) {
            messages.back() = (out[at + 1] ? "inc " : "full ") + size(at + 6);
        } else if (name->first == 150) {
            messages.back() = (out[at + 1] ? "cu " : "cu off ") + size(at + 6);
        } else if (name->first == 248) {
            messages.back() += std::to_string(u16(at + 4) << 16 | u16(at + 6)) + " " +
                               std::string(out.begin() + at + 9, out.begin() + at + length);
        }
    }
    return messages;
}

// The first pixel where the client's framebuffer differs from `image` (its top byte aside: the
// client shows every pixel opaque), or "" if none.
inline std::string Mismatch(const rfb::Client& client, const Image& image) {
    const rfb::Framebuffer& fb = client.framebuffer();
    if (fb.width != image.width || fb.height != image.height) {
        return "size " + std::to_string(fb.width) + "x" + std::to_string(fb.height);
    }
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (fb.At(x, y) != (image.At(x, y) | 0xff000000u)) {
                return "pixel " + std::to_string(x) + "," + std::to_string(y);
            }
        }
    }
    return "";
}

// The failure reason, or "" if the client has not failed.
inline std::string FailureOf(const std::vector<rfb::Event>& events) {
    for (const auto& e : events) {
        if (const auto* f = std::get_if<rfb::event::Failed>(&e)) {
            return f->reason;
        }
    }
    return "";
}

// Feeds `stream` to a fresh client from `make`, whole and then a byte at a time (a stream must
// end the same however it is cut): the only event is a failure naming `reason`, and input after
// it is ignored.
inline void ExpectFailure(const std::function<std::unique_ptr<rfb::Client>()>& make,
                          const Bytes& stream, const std::string& reason) {
    for (bool bytewise : {false, true}) {
        auto client = make();
        std::vector<rfb::Event> events;
        for (std::size_t at = 0; at < stream.size(); at += bytewise ? 1 : stream.size()) {
            client->Receive(std::span(stream).subspan(at, bytewise ? 1 : stream.size()));
            for (auto& e : Events(*client)) {
                events.push_back(std::move(e));
            }
        }
        ASSERT_EQ(events.size(), 1u) << (bytewise ? "byte by byte" : "whole");
        EXPECT_NE(FailureOf(events).find(reason), std::string::npos) << FailureOf(events);
        EXPECT_TRUE(client->failed());
        EXPECT_FALSE(client->connected());
        client->Receive(UpdateHeader(0));
        EXPECT_TRUE(Events(*client).empty());
    }
}

}  // namespace rfbtest
