// Helpers the RFB core's in-process tests share: draining a client's events and output.
#pragma once

#include <gtest/gtest.h>

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

inline void Feed(rfb::Client& c, const Bytes& b) {
    c.Receive(b);
}

// Feeds `b` whole or a byte at a time and gives every event raised on the way: a stream must
// end the same however it is cut.
inline std::vector<rfb::Event> EventsFed(rfb::Client& c, const Bytes& b, bool bytewise) {
    if (!bytewise) {
        Feed(c, b);
        return Events(c);
    }
    std::vector<rfb::Event> events;
    for (uint8_t byte : b) {
        c.Receive(std::span<const uint8_t>(&byte, 1));
        for (auto& e : Events(c)) {
            events.push_back(std::move(e));
        }
    }
    return events;
}

template <typename T>
const T* Find(const std::vector<rfb::Event>& events) {
    for (const auto& e : events) {
        if (const T* t = std::get_if<T>(&e)) {
            return t;
        }
    }
    return nullptr;
}

// The failure reason, or "" if the client has not failed.
inline std::string FailureOf(const std::vector<rfb::Event>& events) {
    const auto* f = Find<rfb::event::Failed>(events);
    return f ? f->reason : std::string();
}

}  // namespace rfbtest
