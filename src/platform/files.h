// Files: exclusive opening of an existing file and reading it.
#pragma once

#include <cstdint>
#include <string>

class CFile {
public:
    CFile() = default;
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens an existing file for reading and writing with no sharing: fails
    // when the file is missing, cannot be written, or is open in another
    // process (on POSIX: another process holds a lock on it).
    bool OpenExclusive(const std::string& path);
    // Length in bytes, or -1.
    std::int64_t GetLength() const;
    // Reads up to `count` bytes; returns the number read, or -1.
    std::int64_t Read(void* buffer, std::int64_t count);
    void Close();

private:
    // The backend's part: one read of at most `count` bytes (0 at the end,
    // -1 on an error), and the release of the handle.
    std::int64_t ReadSome(char* buffer, std::int64_t count);
    void Release();

    static constexpr std::intptr_t kNoHandle = -1;
    std::intptr_t m_handle = kNoHandle;
};
