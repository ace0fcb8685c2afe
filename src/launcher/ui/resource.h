// Resource numbers: the main dialog's template and controls, and the icon
// that the resource script embeds. Plain #defines: the resource compiler
// reads this file too.
#pragma once

#define IDD_LAUNCHER 102
#define IDR_MAINFRAME 128
#define IDC_HOST_LIST 1000
#define IDC_REFRESH 1001
