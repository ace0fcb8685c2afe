// The launcher's only window: the host list and the Refresh button. It owns
// the settings values and the connection to the directory server, and its
// event table is the switchboard for every user action and network event.
#pragma once

#include <span>
#include <string>

#include "launcher/net/server_socket.h"
#include "platform/controls.h"
#include "platform/dialog.h"

class CLauncherDlg : public CDialog {
public:
    explicit CLauncherDlg(HWND parent = nullptr);

    BOOL OnInitDialog() override;
    // Return never reaches the dialog: it neither closes it nor presses a
    // button.
    BOOL PreTranslateMessage(const WindowMessage& msg) override;

    // Event handlers.
    LRESULT OnServerConnect(WPARAM wParam, LPARAM lParam);
    LRESULT OnServerReceive(WPARAM wParam, LPARAM lParam);
    void OnRefresh();
    void OnHostDoubleClick();
    HICON OnQueryDragIcon();
    void OnDestroy();
    // The window was moved to a monitor of another DPI (Windows only).
    LRESULT OnDpiChanged(WPARAM wParam, LPARAM lParam);

    // Reads set.xml beside the executable into the three settings and the
    // caption; ends the process when the file cannot be opened.
    void LoadSettings();
    void ConnectToServer();
    void SendListRequest();

    CServerSocket& Socket() { return m_socket; }

protected:
    std::span<const EventEntry> GetEventTable() const override;

private:
    // Gives the host list a font `height` pixels high.
    void SetListFont(int height);

    CServerSocket m_socket;
    std::string m_strServerIp;
    std::string m_strServerPort;
    std::string m_strTitle;
    HICON m_hIcon;
    CFont m_listFont;
};
