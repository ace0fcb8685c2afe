// Reads the hosts file off the event loop. A file at the size limit takes tens of milliseconds to
// read, check and sort, and the loop must answer requests meanwhile: one worker thread does the
// polling and parsing when asked, and tells the loop through an eventfd that a result waits. The
// worker never touches the server's state; the loop applies each result itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "directory_server/hosts_file.h"

namespace dirsrv {

class HostsReader {
public:
    struct Result {
        std::optional<HostsContent> content;  // new names, when the file changed
        std::string error;                    // why it could not be read, when that is news
        std::chrono::steady_clock::duration took{};
    };

    explicit HostsReader(std::string path);
    ~HostsReader();  // stops the worker and waits for it
    HostsReader(const HostsReader&) = delete;
    HostsReader& operator=(const HostsReader&) = delete;

    const std::string& path() const { return file_.path(); }
    // Readable when a result waits; -1 when it could not be made (the server then refuses to
    // start).
    int fd() const { return event_fd_; }

    // Checks the file on the calling thread: at start-up, so the first replies hold its names.
    Result ReadNow();
    // Asks the worker to check the file; does nothing while a check is under way or waits to be
    // taken. The worker starts on the first request, with every signal blocked.
    void Request();
    // The result waiting, if any; clears the eventfd.
    std::optional<Result> Take();

private:
    void Work();

    HostsFile file_;  // the worker's alone once it runs
    int event_fd_ = -1;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    bool busy_ = false;  // requested, or done and not taken yet
    bool stopping_ = false;
    std::optional<Result> done_;
    std::thread worker_;
};

}  // namespace dirsrv
