// Exclusive opening of the settings file with CreateFileA: read and write
// access, no sharing, an existing file only. A read-only file, or one open
// in another process, fails like a missing one.
// The SDK first, before any header of the layer (see win_includes.h).
#include "platform/win32/win_includes.h"

#include "platform/files.h"

namespace {

// CreateFileA's own limit on an ANSI path.
constexpr std::size_t kMaxPath = MAX_PATH;

HANDLE AsHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

bool CFile::OpenExclusive(const std::string& path) {
    Close();
    if (path.size() >= kMaxPath)
        return false;
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    // Windows itself refuses write access to a read-only file. Wine running
    // as root does not, since root may write any file; the attribute it
    // reports still says read-only, and that is what counts here.
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        CloseHandle(h);
        return false;
    }
    m_handle = reinterpret_cast<std::intptr_t>(h);
    return true;
}

std::int64_t CFile::GetLength() const {
    LARGE_INTEGER size;
    if (m_handle == kNoHandle || !GetFileSizeEx(AsHandle(m_handle), &size))
        return -1;
    return size.QuadPart;
}

std::int64_t CFile::ReadSome(char* buffer, std::int64_t count) {
    // ReadFile takes a 32-bit count: larger reads go in pieces.
    const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    DWORD n = 0;
    if (!ReadFile(AsHandle(m_handle), buffer, chunk, &n, nullptr))
        return -1;
    return n;
}

void CFile::Release() {
    CloseHandle(AsHandle(m_handle));
}
