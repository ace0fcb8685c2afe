// The operator's answer to a server's authentication (see credentials_dialog.h): IDD_PASSWORD, or
// IDD_LOGIN when the server asks for a user name too. The typed password is wiped from the
// dialog's buffers as soon as it is read.
#include "viewer/win32/credentials_dialog.h"

#include "viewer/win32/resource.h"
#include "viewer/win32/support.h"
#include "viewer/win32/tls.h"

namespace talviewer {
namespace {

constexpr int kMaxField = 256;

struct Exchange {
    std::wstring text;  // the sentence at the top
    Credentials* out = nullptr;
};

std::string ReadField(HWND dialog, int id) {
    wchar_t value[kMaxField + 1] = {};
    GetDlgItemTextW(dialog, id, value, kMaxField + 1);
    std::string utf8 = Utf8(value);
    SecureZeroMemory(value, sizeof value);
    SetDlgItemTextW(dialog, id, L"");
    return utf8;
}

INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wp, LPARAM lp) {
    switch (message) {
        case WM_INITDIALOG: {
            auto* exchange = reinterpret_cast<Exchange*>(lp);
            SetWindowLongPtrW(dialog, DWLP_USER, lp);
            SetDlgItemTextW(dialog, IDC_PASSWORD_TEXT, exchange->text.c_str());
            SendDlgItemMessageW(dialog, IDC_PASSWORD, EM_LIMITTEXT, kMaxField, 0);
            if (GetDlgItem(dialog, IDC_USER_NAME))
                SendDlgItemMessageW(dialog, IDC_USER_NAME, EM_LIMITTEXT, kMaxField, 0);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
                auto* exchange = reinterpret_cast<Exchange*>(GetWindowLongPtrW(dialog, DWLP_USER));
                if (GetDlgItem(dialog, IDC_USER_NAME))
                    exchange->out->user = ReadField(dialog, IDC_USER_NAME);
                exchange->out->password = ReadField(dialog, IDC_PASSWORD);
                EndDialog(dialog, LOWORD(wp));
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}

}  // namespace

bool AskCredentials(HWND owner, const std::string& machine, bool user_name, Credentials* out) {
    Exchange exchange{Wide(machine + (user_name ? " asks for a user name and password."
                                                : " asks for its session password.")),
                      out};
    const bool given =
        DialogBoxParamW(GetModuleHandleW(nullptr),
                        MAKEINTRESOURCEW(user_name ? IDD_LOGIN : IDD_PASSWORD), owner, Procedure,
                        reinterpret_cast<LPARAM>(&exchange)) == IDOK;
    if (!given)
        SecureZeroMemory(out->password.data(), out->password.size());
    return given;
}

}  // namespace talviewer
