// What the RFB core's tests against real servers (x11vnc, TigerVNC's Xvnc) share: a free loopback
// port for the server to take, a connection once it listens, and a driver that plays the core over
// that blocking socket as a front end does.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "rfb/client.h"
#include "support/loopback.h"

namespace rfbtest {

inline int FreePort() {
    const auto [listener, port] = wire_test::Listener();
    close(listener);
    return port;
}

// A socket to the server on `port` once it listens, -1 if it never does. Reads wait 20 ms at
// most, so that a driver's turns go on while the server is quiet.
inline int ConnectWhenListening(int port) {
    int s = -1;
    wire_test::Eventually([&] {
        s = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a{
            AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            return true;
        }
        close(std::exchange(s, -1));
        return false;
    });
    const timeval timeout{0, 20 * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return s;
}

// Plays `client` over `fd` turn by turn (its output sent, one read fed to it, each event handed to
// `seen`) until `done` holds; returns "" then, or the core's failure, or why the session stopped
// (closed, or 20 s without `done`). `sent` collects what the client sends once connected.
inline std::string Drive(rfb::Client& client, int fd, const std::function<bool()>& done,
                         const std::function<void(const rfb::Event&)>& seen = {},
                         std::vector<uint8_t>* sent = nullptr) {
    std::vector<uint8_t> buffer(65536);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > give_up) {
            return "20 s passed";
        }
        const auto out = client.TakeOutput();
        if (sent && client.connected()) {  // the batch it connects in starts with the set-up
            sent->insert(sent->end(), out.begin(), out.end());
        }
        if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
            return "sending failed";
        }
        const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
        if (got == 0) {
            return "the server closed the connection";
        }
        if (got > 0) {
            client.Receive(std::span(buffer.data(), static_cast<std::size_t>(got)));
        }
        while (auto e = client.PollEvent()) {
            if (const auto* failed = std::get_if<rfb::event::Failed>(&*e)) {
                return failed->reason;
            }
            if (seen) {
                seen(*e);
            }
        }
    }
    return "";
}

}  // namespace rfbtest
