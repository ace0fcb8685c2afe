// The host-list request and the handling of each reply.
#include <cstring>

#include "net/host_list_reply.h"
#include "platform/controls.h"
#include "platform/services.h"
#include "ui/launcher_dlg.h"
#include "ui/resource.h"

void CLauncherDlg::SendListRequest() {
    // One send of the six bytes; a short send is not continued, an error is
    // shown and nothing else happens (no retry, the list stays as it is).
    if (m_socket.Send(kListRequest, kListRequestLength, 0) < 0)
        platform::ShowMessageBox("Server Data Send Fail!");
}

LRESULT CLauncherDlg::OnServerReceive(WPARAM, LPARAM) {
    char buffer[kReplyBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    const int received = m_socket.Receive(buffer, kReplyBufferSize, 0);

    // Every reply replaces the list, whatever it holds.
    CListBox list(GetDlgItem(IDC_HOST_LIST));
    list.ResetContent();
    for (const std::string& entry : HostListEntries(buffer, received))
        list.AddString(entry);
    return 1;
}

LRESULT CLauncherDlg::OnServerConnect(WPARAM, LPARAM) {
    SendListRequest();
    return 1;
}

void CLauncherDlg::OnRefresh() {
    SendListRequest();
}
