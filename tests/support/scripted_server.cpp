#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace test_support {

namespace {

constexpr char kRequest[] = "server";
constexpr std::size_t kRequestLength = 6;

}  // namespace

ServerScript ReplyToEveryRequest(std::string reply) {
    ServerScript script;
    script.onRequest = [reply = std::move(reply)](Peer& peer, int) { peer.Send(reply); };
    return script;
}

bool Peer::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        int fd;
        {
            std::lock_guard lock(m_mutex);
            fd = m_fd;
        }
        if (fd < 0)
            return false;
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Peer::Flood(const std::string& pattern, std::size_t total) {
    std::string chunk;
    while (chunk.size() < 64 * 1024)
        chunk += pattern;
    while (m_floodSent.load() < total) {
        const std::size_t n = std::min(chunk.size(), total - m_floodSent.load());
        if (!Send(chunk.substr(0, n)))
            return false;
        m_floodSent += n;
    }
    return true;
}

void Peer::Close() {
    CloseWith(false);
}
void Peer::Reset() {
    CloseWith(true);
}

void Peer::CloseWith(bool reset) {
    {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0 || m_closedByServer)
            return;
        m_closedByServer = true;
        if (reset) {
            // Closing with a zero linger time sends RST instead of FIN. The
            // serving thread closes the descriptor once its read returns.
            linger l{1, 0};
            ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::shutdown(m_fd, SHUT_RD);
        } else {
            ::shutdown(m_fd, SHUT_RDWR);
        }
    }
    m_server.Record(ScriptedServer::Kind::ClosedByServer, m_id);
}

void Peer::Pause(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

ScriptedServer::ScriptedServer(ServerScript script) : m_script(std::move(script)) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0 || ::pipe2(m_wakeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("scripted server: no socket");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(m_listenFd, 16) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        throw std::runtime_error("scripted server: cannot listen");
    m_port = ntohs(sa.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    m_stopping = true;
    char wake = 1;
    (void)!::write(m_wakeFds[1], &wake, 1);
    m_acceptThread.join();
    {
        std::lock_guard lock(m_mutex);
        for (auto& peer : m_peers) {
            std::lock_guard peerLock(peer->m_mutex);
            if (peer->m_fd >= 0)
                ::shutdown(peer->m_fd, SHUT_RDWR);
        }
    }
    for (std::thread& t : m_threads)
        t.join();
    ::close(m_listenFd);
    ::close(m_wakeFds[0]);
    ::close(m_wakeFds[1]);
}

void ScriptedServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (m_stopping)
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(m_mutex);
        const int id = static_cast<int>(m_peers.size());
        m_peers.push_back(std::unique_ptr<Peer>(new Peer(*this, id, fd)));
        Peer* peer = m_peers.back().get();
        m_events.push_back({Kind::Open, id, {}, std::chrono::steady_clock::now()});
        m_threads.emplace_back([this, peer] { Serve(peer); });
    }
}

void ScriptedServer::Serve(Peer* peer) {
    if (m_script.onAccept)
        m_script.onAccept(*peer);
    std::string stream;  // what is left after the last complete request
    int requests = 0;
    char buffer[4096];
    for (;;) {
        int fd;
        {
            std::lock_guard lock(peer->m_mutex);
            fd = peer->m_fd;
        }
        if (fd < 0)
            break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!peer->m_closedByServer && !m_stopping)
                Record(Kind::ClosedByClient, peer->m_id);
            break;
        }
        Record(Kind::Data, peer->m_id, std::string(buffer, static_cast<std::size_t>(n)));
        stream.append(buffer, static_cast<std::size_t>(n));
        std::size_t at;
        while ((at = stream.find(kRequest)) != std::string::npos) {
            stream.erase(0, at + kRequestLength);
            {
                std::lock_guard lock(m_mutex);
                ++m_requests;
            }
            if (m_script.onRequest)
                m_script.onRequest(*peer, requests);
            ++requests;
        }
    }
    std::lock_guard lock(peer->m_mutex);
    ::close(peer->m_fd);
    peer->m_fd = -1;
}

void ScriptedServer::Record(Kind kind, int connection, std::string bytes) {
    std::lock_guard lock(m_mutex);
    if (kind == Kind::Data)
        m_received[connection] += bytes;
    m_events.push_back({kind, connection, std::move(bytes), std::chrono::steady_clock::now()});
}

std::vector<ScriptedServer::Event> ScriptedServer::Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

int ScriptedServer::Connections() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_peers.size());
}

int ScriptedServer::ConnectionsClosedByClient() const {
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (const Event& e : m_events)
        n += e.kind == Kind::ClosedByClient ? 1 : 0;
    return n;
}

int ScriptedServer::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::string ScriptedServer::Received(int id) const {
    std::lock_guard lock(m_mutex);
    auto it = m_received.find(id);
    return it == m_received.end() ? std::string() : it->second;
}

Peer* ScriptedServer::Connection(int id) {
    std::lock_guard lock(m_mutex);
    return id >= 0 && id < static_cast<int>(m_peers.size()) ? m_peers[size_t(id)].get() : nullptr;
}

}  // namespace test_support
