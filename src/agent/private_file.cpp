// Opening a secret file (an agent key, a certificate's private key) on Linux: only its owner may
// read or write it, as ssh asks of its private keys (see key.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "agent/key.h"

namespace talagent {

int OpenPrivateFile(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = path + " is not a regular file";
    } else if ((info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(info.st_mode & 0777));
        error =
            path + " is open to other users (mode " + mode + "); it holds a secret: chmod 600 it";
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

}  // namespace talagent
