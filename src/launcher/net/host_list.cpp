// The host-list request and one reply, on the dialog's connection. The reply's
// layout is read by HostListEntries (host_list_reply.cpp).
#include "launcher/net/host_list.h"

#include "launcher/net/host_list_reply.h"
#include "platform/async_socket.h"
#include "platform/services.h"

void SendHostListRequest(CAsyncSocket& socket) {
    if (socket.Send(kListRequest, kListRequestLength, 0) < 0)
        platform::ShowMessageBox(kSendFailMessage);
}

std::vector<std::string> ReceiveHostList(CAsyncSocket& socket) {
    char buffer[kReplyBufferSize] = {};
    const int received = socket.Receive(buffer, kReplyBufferSize, 0);
    return HostListEntries(buffer, received);
}
