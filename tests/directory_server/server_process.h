// Runs directory-server as a child process on a free loopback port, and small blocking socket
// helpers for talking to it. Every wait is bounded so a broken server fails a test, not the run.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dirsrv_test {

using namespace std::chrono_literals;

class ServerProcess {
public:
    ServerProcess();
    ~ServerProcess();

    // Starts the server with `args` after "--listen 127.0.0.1:0" and waits until it listens.
    // False if it exited instead; its log says why.
    bool Start(const std::vector<std::string>& args);
    // Sends `signal` and returns the raw wait status (or -1 if it did not exit in time).
    int Stop(int signal);
    // Runs the server to completion with exactly `args` and returns the wait status.
    int RunToExit(const std::vector<std::string>& args);

    int port() const { return port_; }
    std::string Log() const;
    // A file in the test's own scratch directory.
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

private:
    pid_t Spawn(const std::vector<std::string>& args);

    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

void WriteFile(const std::string& path, const std::string& bytes);

int Connect(int port);
void SendAll(int fd, const std::string& bytes);
// One receive of whatever has arrived; nullopt when nothing came in time, "" at end of stream.
std::optional<std::string> ReceiveSome(int fd, std::chrono::milliseconds wait = 5s);
std::string ReceiveExactly(int fd, std::size_t count);
// True when the server closes the connection (orderly or by reset); arriving bytes are skipped.
bool WaitClosed(int fd, std::chrono::milliseconds wait = 5s);
// Connects, asks once, returns the reply as the launcher would see it (one receive).
std::string Query(int port);
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds wait = 5s);

// Closes its descriptor on scope exit.
struct Socket {
    explicit Socket(int descriptor) : fd(descriptor) {}
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd;
};

}  // namespace dirsrv_test
