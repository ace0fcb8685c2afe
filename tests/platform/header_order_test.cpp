// The platform layer's constants first, the operating system's headers
// after them: this file compiles only if the layer's constants leave the
// system's names alone, and its checks fail if a constant the layer shares
// with the system disagrees.
#include "platform/async_socket.h"
#include "platform/types.h"

#ifdef _WIN32
#include <windows.h>
#include <winsock.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

TEST(HeaderOrder, SharedConstantsAgreeWithTheSystem) {
    EXPECT_EQ(SOCK_STREAM, 1);
#ifdef _WIN32
    EXPECT_EQ(FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE, kAllSocketEvents);
    EXPECT_EQ(SD_SEND, 1);
    EXPECT_EQ(WM_USER, 0x0400u);
    EXPECT_EQ(WSAEWOULDBLOCK, 10035);
    EXPECT_EQ(INVALID_SOCKET, ~SOCKET(0));
#endif
}
