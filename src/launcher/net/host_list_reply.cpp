#include "launcher/net/host_list_reply.h"

#include <cstring>

#include "platform/code_page.h"

std::vector<std::string> HostListEntries(const char* received, int receivedLength) {
    std::vector<std::string> entries;
    if (received == nullptr || receivedLength <= 0)
        return entries;
    const char* zero =
        static_cast<const char*>(std::memchr(received, '\0', size_t(receivedLength)));
    const std::size_t length = zero != nullptr ? size_t(zero - received) : size_t(receivedLength);
    if (length < 5)
        return entries;
    if (received[2] != 'o' || received[3] != 'k')
        return entries;

    const char* piece = received + 5;
    const char* end = received + length;
    for (;;) {
        const char* bar = FindChar(piece, end, '|');
        entries.emplace_back(piece, bar);
        if (bar == end)
            break;
        piece = bar + 1;
    }
    return entries;
}
