// A directory server for the tests: it listens on 127.0.0.1 at a port the
// system picks, records everything that happens on its connections, and
// answers as the test scripts it.
//
// Each accepted connection is served by its own thread. Bytes received are
// recorded as they arrive; every complete 6-byte request "server" in a
// connection's byte stream is handed to the script's onRequest, which may
// reply, pause, flood, close or reset. The test thread can also act on a
// connection directly (Send, Close, Reset) and waits on the record with the
// Qt-pumping helpers of event_wait.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

class ScriptedServer;

// One accepted connection, as a script sees it. Its operations may be called
// from the script (on the connection's thread) or from the test thread.
class Peer {
public:
    int Id() const { return m_id; }
    // Sends all of `bytes`, waiting while the client's buffers are full.
    // False when the connection is gone.
    bool Send(const std::string& bytes);
    // Sends `total` bytes made by repeating `pattern`, counting progress in
    // FloodSent(); used to push far more than the client's buffers hold.
    bool Flood(const std::string& pattern, std::size_t total);
    std::size_t FloodSent() const { return m_floodSent.load(); }
    // An orderly close (FIN), or a reset (RST: SO_LINGER with time-out 0).
    void Close();
    void Reset();
    // Blocks the connection's thread (scripts only).
    static void Pause(std::chrono::milliseconds duration);

private:
    friend class ScriptedServer;
    Peer(ScriptedServer& server, int id, int fd) : m_server(server), m_id(id), m_fd(fd) {}
    void CloseWith(bool reset);

    ScriptedServer& m_server;
    const int m_id;
    std::mutex m_mutex;  // guards m_fd against a close while another thread sends
    int m_fd;
    std::atomic<std::size_t> m_floodSent{0};
    std::atomic<bool> m_closedByServer{false};
};

struct ServerScript {
    // Called when a connection has been accepted, before anything is read.
    std::function<void(Peer&)> onAccept;
    // Called for each complete request "server"; `index` counts the
    // connection's requests from 0.
    std::function<void(Peer&, int index)> onRequest;
};

// A script that answers every request with `reply`.
ServerScript ReplyToEveryRequest(std::string reply);

class ScriptedServer {
public:
    enum class Kind { Open, Data, ClosedByClient, ClosedByServer };
    struct Event {
        Kind kind;
        int connection;
        std::string bytes;  // Data only
        std::chrono::steady_clock::time_point time;
    };

    explicit ScriptedServer(ServerScript script = {});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t Port() const { return m_port; }

    // Snapshots of the record, safe to call from the test thread.
    std::vector<Event> Events() const;
    int Connections() const;
    int ConnectionsClosedByClient() const;
    // Complete requests "server" received, over all connections.
    int Requests() const;
    // Every byte received on connection `id`, in order.
    std::string Received(int id) const;
    // The connection with the given id (0 = the first one accepted), or null.
    Peer* Connection(int id);

private:
    friend class Peer;
    void AcceptLoop();
    void Serve(Peer* peer);
    void Record(Kind kind, int connection, std::string bytes = {});

    ServerScript m_script;
    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;

    mutable std::mutex m_mutex;
    std::vector<Event> m_events;
    std::map<int, std::string> m_received;
    int m_requests = 0;
    std::vector<std::unique_ptr<Peer>> m_peers;
    std::vector<std::thread> m_threads;
};

}  // namespace test_support
