// Exclusive opening of the settings file on POSIX. Windows refuses a file
// that is read-only or open elsewhere; here a file without any write
// permission bit counts as read-only (root could otherwise write it), and a
// lock that another process holds counts as "open elsewhere".
#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool CFile::OpenExclusive(const std::string& path) {
    Close();
    // O_NONBLOCK: a FIFO in the file's place must not hang the open.
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0 ||
        flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_handle = fd;
    return true;
}

std::int64_t CFile::GetLength() const {
    struct stat st {};
    if (m_handle == kNoHandle || fstat(static_cast<int>(m_handle), &st) != 0)
        return -1;
    return st.st_size;
}

std::int64_t CFile::ReadSome(char* buffer, std::int64_t count) {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(m_handle), buffer, size_t(count));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

void CFile::Release() {
    ::close(static_cast<int>(m_handle));
}
