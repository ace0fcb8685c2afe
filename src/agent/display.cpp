// The X server check (see display.h), over AF_UNIX sockets.
#include "agent/display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace talagent {
namespace {

// Connects to the socket at `path`, in the abstract namespace when `abstract`; 0 when a server
// accepted (or its queue is full, which means it is there), else the errno.
int TryConnect(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t at = abstract ? 1 : 0;
    if (at + path.size() >= sizeof address.sun_path)
        return ENAMETOOLONG;
    std::memcpy(address.sun_path + at, path.data(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return errno;
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + at + path.size());
    const int error =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 || errno == EAGAIN
            ? 0
            : errno;
    ::close(fd);
    return error;
}

}  // namespace

std::optional<std::string> WhyDisplayIsGone(std::string_view display) {
    const std::string number(display.substr(1, display.find('.') - 1));
    const std::string path = "/tmp/.X11-unix/X" + number;
    if (TryConnect(path, true) == 0)
        return std::nullopt;
    const int error = TryConnect(path, false);
    if (error == 0)
        return std::nullopt;
    return "no X server answers on display " + std::string(display) + " (" + path + ": " +
           std::strerror(error) + ")";
}

}  // namespace talagent
