// Opening a secret file (the agent key, this machine's certificate and key) on Windows: it must
// be a regular file that no broad group (Everyone, Authenticated Users, Users) may read, which is
// what a file in the user's own profile is (see key.h).
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "agent/key.h"
#include "agent/win32/text.h"

namespace talagent {
namespace {

// Whether the file's access list lets a broad group read it; the group's name, else empty.
std::string OpenToGroup(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return {};
    std::string group;
    if (!dacl)
        group = "everyone (no access list)";
    const struct {
        WELL_KNOWN_SID_TYPE type;
        const char* name;
    } kBroad[] = {{WinWorldSid, "Everyone"},
                  {WinAuthenticatedUserSid, "Authenticated Users"},
                  {WinBuiltinUsersSid, "Users"}};
    constexpr ACCESS_MASK kRead = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
    for (DWORD i = 0; dacl && group.empty() && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace) ||
            static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!(allowed->Mask & kRead))
            continue;
        for (const auto& broad : kBroad) {
            if (IsWellKnownSid(const_cast<DWORD*>(&allowed->SidStart), broad.type))
                group = broad.name;
        }
    }
    LocalFree(descriptor);
    return group;
}

}  // namespace

int OpenPrivateFile(const std::string& path, std::string& error) {
    const std::wstring wide = win::Wide(path);
    const int fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct _stat64 info {};
    if (_fstat64(fd, &info) != 0 || !(info.st_mode & _S_IFREG)) {
        error = path + " is not a regular file";
    } else if (const std::string group = OpenToGroup(wide); !group.empty()) {
        error = path + " may be read by " + group +
                "; it holds a secret: keep it in your own profile, readable by you only";
    } else {
        return fd;
    }
    _close(fd);
    return -1;
}

}  // namespace talagent
