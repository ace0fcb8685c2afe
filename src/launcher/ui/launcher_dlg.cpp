// The dialog's handlers: each user action and network event calls into the
// subsystem that does the work (settings, net, launch) and shows the result.
#include "launcher/ui/launcher_dlg.h"

#include <string>
#include <vector>

#include "launcher/launch/viewer_launch.h"
#include "launcher/net/host_list.h"
#include "launcher/settings/settings.h"
#include "launcher/ui/launcher_template.h"
#include "launcher/ui/resource.h"
#include "platform/services.h"

namespace {
// The list entries' cell height, in logical units.
constexpr int kListFontHeight = 20;

}  // namespace

CLauncherDlg::CLauncherDlg(HWND parent) : CDialog(IDD_LAUNCHER, parent) {
    RegisterDialogTemplate(LauncherDialogTemplate());
    m_hIcon = LoadAppIcon(IDR_MAINFRAME);
}

std::span<const EventEntry> CLauncherDlg::GetEventTable() const {
    static const EventEntry table[] = {
        OnMessageEntry<&CLauncherDlg::OnServerConnect>(WM_SERVER_CONNECT),
        OnMessageEntry<&CLauncherDlg::OnServerReceive>(WM_SERVER_RECEIVE),
        OnCommandEntry<&CLauncherDlg::OnRefresh>(IDC_REFRESH, BN_CLICKED),
        OnCommandEntry<&CLauncherDlg::OnHostDoubleClick>(IDC_HOST_LIST, LBN_DBLCLK),
        OnMessageEntry<&CLauncherDlg::OnQueryDragIcon>(WM_QUERYDRAGICON),
        OnMessageEntry<&CLauncherDlg::OnDestroy>(WM_DESTROY),
        OnMessageEntry<&CLauncherDlg::OnDpiChanged>(WM_DPICHANGED),
    };
    return table;
}

BOOL CLauncherDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    LoadSettings();

    SetListFont(platform::ScaleToWindowDpi(GetSafeHwnd(), kListFontHeight));

    m_socket.Create(0, SOCK_STREAM, kAllSocketEvents, nullptr);
    ConnectToServer();
    return TRUE;
}

BOOL CLauncherDlg::PreTranslateMessage(const WindowMessage& msg) {
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN)
        return TRUE;
    return CDialog::PreTranslateMessage(msg);
}

HICON CLauncherDlg::OnQueryDragIcon() {
    return m_hIcon;
}

void CLauncherDlg::OnDestroy() {
    CDialog::OnDestroy();
    m_socket.ShutDown(SD_SEND);
    m_socket.Close();
}

LRESULT CLauncherDlg::OnDpiChanged(WPARAM wParam, LPARAM lParam) {
    // The new DPI is the message's: while it is being handled, the system
    // may still give the window the old one. The list's font is the
    // program's own, so the program rescales it.
    SetListFont(platform::ScaleToDpi(kListFontHeight, static_cast<int>(HiWord(wParam))));
    if (lParam != 0)
        MoveWindow(*reinterpret_cast<const CRect*>(lParam));
    // Then the dialog manager lays out the controls again and rescales the
    // dialog's font (Windows 10 1703 and later), all but the list's font.
    WantDefaultProcessing();
    return 0;
}

void CLauncherDlg::LoadSettings() {
    const Settings settings = ReadSettingsFile();
    m_strServerIp = settings.serverIp;
    m_strServerPort = settings.serverPort;
    m_strTitle = settings.title;
    SetWindowText(m_strTitle);
}

void CLauncherDlg::ConnectToServer() {
    m_socket.SetOwner(GetSafeHwnd());
    m_socket.ConnectTo(m_strServerIp, m_strServerPort);
}

void CLauncherDlg::SetListFont(int height) {
    // The face and style of the list's present font (the dialog's at first),
    // at this height. The list's old font is released only once the list
    // uses the new one.
    CListBox list(GetDlgItem(IDC_HOST_LIST));
    LogFont description;
    GetFontDescription(list.GetFont(), &description);
    description.lfHeight = height;
    CFont font;
    if (!font.CreateFontIndirect(description))
        return;
    list.SetFont(font.GetSafeHandle(), TRUE);
    m_listFont.Swap(font);
}

void CLauncherDlg::SendListRequest() {
    // A connection that is gone (the server restarted, or was not there) is
    // opened again first; its connect event then sends the request. On a
    // live connection the request goes out at once.
    if (!m_socket.Gone()) {
        SendHostListRequest(m_socket);
        return;
    }
    if (!m_socket.Reconnect(m_strServerIp, m_strServerPort))
        platform::ShowMessageBox(kSendFailMessage);
}

LRESULT CLauncherDlg::OnServerConnect(WPARAM, LPARAM) {
    // Sent on whatever the attempt gave, never reconnecting from here: a
    // failed attempt shows the send failure once instead of trying forever.
    SendHostListRequest(m_socket);
    return 1;
}

LRESULT CLauncherDlg::OnServerReceive(WPARAM, LPARAM) {
    // Every reply replaces the list, whatever it holds.
    const std::vector<std::string> entries = ReceiveHostList(m_socket);
    CListBox list(GetDlgItem(IDC_HOST_LIST));
    list.ResetContent();
    for (const std::string& entry : entries)
        list.AddString(entry);
    return 1;
}

void CLauncherDlg::OnRefresh() {
    SendListRequest();
}

void CLauncherDlg::OnHostDoubleClick() {
    // A double-click on blank space, or on an empty list, selects nothing
    // and so starts nothing.
    CListBox list(GetDlgItem(IDC_HOST_LIST));
    const int selection = list.GetCurSel();
    if (selection == LB_ERR || list.GetDoubleClickedItem() != selection)
        return;
    std::string name;
    list.GetText(selection, name);

    StartViewer(m_strServerIp, m_strServerPort, name);
    // Give the viewer time to register with the server before asking again.
    platform::Sleep(1000);
    SendListRequest();
}
