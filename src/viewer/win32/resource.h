// Resource numbers of talviewer.exe, shared by viewer.rc and the code.
#pragma once

#define IDI_VIEWER 1
#define IDD_PASSWORD 100
#define IDC_PASSWORD_TEXT 101
#define IDC_PASSWORD 102
#define IDD_LOGIN 103
#define IDC_USER_NAME 104
