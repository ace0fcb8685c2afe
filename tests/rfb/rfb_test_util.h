// Helpers the RFB core's in-process tests share: draining a client's events, and a stream that
// must end the session with a reason.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rfb/client.h"
#include "rfb_stream.h"

namespace rfbtest {

inline std::vector<rfb::Event> Events(rfb::Client& c) {
    std::vector<rfb::Event> out;
    while (auto e = c.PollEvent()) {
        out.push_back(std::move(*e));
    }
    return out;
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
