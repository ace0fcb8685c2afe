// Waiting in tests without sleeping blindly: the Qt event loop keeps running
// (socket events, posted calls, timers) while a condition is polled.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace test_support {

using namespace std::chrono_literals;

// Generous: the tests run on loaded two-core machines and under sanitizers.
inline constexpr std::chrono::milliseconds kPatience = 20s;

// Runs the event loop until `done` holds or `timeout` has passed; returns
// whether it holds.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kPatience);
// Runs the event loop for `duration`, idle in between (no polling).
void RunEventLoopFor(std::chrono::milliseconds duration);

// CPU time (user + system) of this process, in seconds.
double ProcessCpuSeconds();
// Resident set size of this process, in bytes (VmRSS).
long long ResidentBytes();

struct ChildProcess {
    int pid;
    char state;  // as /proc/<pid>/stat gives it: 'Z' for a zombie
};
// The processes whose parent is this process.
std::vector<ChildProcess> ChildProcesses();

// A fresh directory, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    void Write(const std::string& name, const std::string& content) const;

private:
    std::string m_path;
};

}  // namespace test_support
