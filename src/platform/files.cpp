// The portable half of CFile: reading to the requested length, and closing.
#include "platform/files.h"

std::int64_t CFile::Read(void* buffer, std::int64_t count) {
    if (m_handle == kNoHandle || count < 0)
        return -1;
    char* p = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t n = ReadSome(p + done, count - done);
        if (n < 0)
            return done > 0 ? done : -1;
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

void CFile::Close() {
    if (m_handle == kNoHandle)
        return;
    Release();
    m_handle = kNoHandle;
}
