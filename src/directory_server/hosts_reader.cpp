// The hosts-file worker: see hosts_reader.h. The loop and the worker share only the request flag
// and the finished result, under one mutex; the file's state (HostsFile) belongs to whichever
// thread checks it, and after start-up that is always the worker.
#include "directory_server/hosts_reader.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace dirsrv {

HostsReader::HostsReader(std::string path)
    : file_(std::move(path)), event_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

HostsReader::~HostsReader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable())
        worker_.join();
    if (event_fd_ >= 0)
        ::close(event_fd_);
}

HostsReader::Result HostsReader::ReadNow() {
    Result result;
    const auto started = std::chrono::steady_clock::now();
    result.content = file_.Poll(result.error);
    result.took = std::chrono::steady_clock::now() - started;
    return result;
}

void HostsReader::Request() {
    {
        std::lock_guard lock(mutex_);
        if (busy_)
            return;
        busy_ = requested_ = true;
    }
    if (!worker_.joinable()) {
        // Stop signals are read from a signalfd by the loop; the worker must never take one.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        worker_ = std::thread([this] { Work(); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    wake_.notify_one();
}

std::optional<HostsReader::Result> HostsReader::Take() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(event_fd_, &count, sizeof count);
    std::lock_guard lock(mutex_);
    if (!done_)
        return std::nullopt;
    busy_ = false;
    return std::exchange(done_, std::nullopt);
}

void HostsReader::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return requested_ || stopping_; });
        if (stopping_)
            return;
        requested_ = false;
        lock.unlock();
        Result result = ReadNow();
        lock.lock();
        done_ = std::move(result);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(event_fd_, &one, sizeof one);
    }
}

}  // namespace dirsrv
