// What the server core's tests share: picking events, and the server core and the client
// core wired together in memory for the round trips. Every byte one side emits is fed to the
// other until both fall silent; StartTls on both sides stands for a TLS handshake (the "TLS"
// then passes plaintext through).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rfb/client.h"
#include "rfb_test_util.h"
#include "rfbserver/server.h"

namespace rfbserver_test {

using rfbtest::Events;
using rfbtest::Image;
using rfbtest::Mismatch;

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

inline rfbserver::Options WithSecurity(rfbserver::Options::Security security) {
    rfbserver::Options options;
    options.security = security;
    return options;
}

inline rfbserver::Frame FrameOf(const Image& image) {
    return {image.width, image.height, image.width, image.pixels.data()};
}

struct SessionPair {
    rfbserver::Server server;
    rfb::Client client;
    std::vector<rfbserver::Event> server_events;
    std::vector<rfb::Event> client_events;

    SessionPair(rfbserver::Options server_options, rfb::Options client_options)
        : server(std::move(server_options)), client(std::move(client_options)) {}

    // Moves bytes both ways until neither side has more.
    void Pump() {
        bool tls_server = false, tls_client = false;
        while (server.HasOutput() || client.HasOutput()) {
            if (server.HasOutput()) {
                client.Receive(server.TakeOutput());
            }
            while (auto e = client.PollEvent()) {
                tls_client = tls_client || std::holds_alternative<rfb::event::StartTls>(*e);
                client_events.push_back(std::move(*e));
            }
            if (client.HasOutput()) {
                server.Receive(client.TakeOutput());
            }
            for (auto& e : Events(server)) {
                tls_server = tls_server || std::holds_alternative<rfbserver::event::StartTls>(e);
                server_events.push_back(std::move(e));
            }
            if (tls_server && tls_client) {
                server.TlsEstablished();
                client.TlsEstablished();
                tls_server = tls_client = false;
            }
        }
    }

    // Hands `image` to the server if it wants a frame; returns whether it did.
    bool Offer(const Image& image) {
        if (!server.WantsFrame()) {
            return false;
        }
        server.SetFrame(FrameOf(image));
        Pump();
        return true;
    }

    // The parts of the screen the client's last update redrew.
    std::vector<rfb::Rect> LastUpdate() const {
        for (auto it = client_events.rbegin(); it != client_events.rend(); ++it) {
            if (const auto* u = std::get_if<rfb::event::FramebufferUpdated>(&*it)) {
                return u->rects;
            }
        }
        return {};
    }
};

}  // namespace rfbserver_test
