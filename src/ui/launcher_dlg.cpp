#include "ui/launcher_dlg.h"

#include "platform/services.h"
#include "ui/launcher_template.h"
#include "ui/resource.h"

namespace {
// The list entries' cell height, in logical units.
constexpr int kListFontHeight = 20;

}  // namespace

CLauncherDlg::CLauncherDlg(HWND parent) : CDialog(IDD_LAUNCHER, parent) {
    RegisterDialogTemplate(LauncherDialogTemplate());
    m_hIcon = LoadAppIcon(IDR_MAINFRAME);
}

CLauncherDlg::~CLauncherDlg() = default;

std::span<const EventEntry> CLauncherDlg::GetEventTable() const {
    static const EventEntry table[] = {
        OnMessageEntry<&CLauncherDlg::OnServerConnect>(WM_SERVER_CONNECT),
        OnMessageEntry<&CLauncherDlg::OnServerReceive>(WM_SERVER_RECEIVE),
        OnCommandEntry<&CLauncherDlg::OnRefresh>(IDC_REFRESH, BN_CLICKED),
        OnCommandEntry<&CLauncherDlg::OnHostDoubleClick>(IDC_HOST_LIST, LBN_DBLCLK),
        OnMessageEntry<&CLauncherDlg::OnPaint>(WM_PAINT),
        OnMessageEntry<&CLauncherDlg::OnQueryDragIcon>(WM_QUERYDRAGICON),
        OnMessageEntry<&CLauncherDlg::OnDestroy>(WM_DESTROY),
    };
    return table;
}

BOOL CLauncherDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    LoadSettings();

    // A larger font for the host list, kept as long as the list uses it.
    CListBox list(GetDlgItem(IDC_HOST_LIST));
    LogFont description;
    GetFontDescription(list.GetFont(), &description);
    description.lfHeight = platform::ScaleToWindowDpi(GetSafeHwnd(), kListFontHeight);
    m_listFont.CreateFontIndirect(description);
    list.SetFont(m_listFont.GetSafeHandle(), TRUE);

    m_socket.Create(0, SOCK_STREAM, kAllSocketEvents, nullptr);
    ConnectToServer();
    return TRUE;
}

BOOL CLauncherDlg::PreTranslateMessage(const WindowMessage& msg) {
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN)
        return TRUE;
    return CDialog::PreTranslateMessage(msg);
}

void CLauncherDlg::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(*this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    CRect rect;
    GetClientRect(&rect);
    const int x = (rect.Width() - cxIcon + 1) / 2;
    const int y = (rect.Height() - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HICON CLauncherDlg::OnQueryDragIcon() {
    return m_hIcon;
}

void CLauncherDlg::OnDestroy() {
    CDialog::OnDestroy();
    m_socket.ShutDown(SD_SEND);
    m_socket.Close();
}
