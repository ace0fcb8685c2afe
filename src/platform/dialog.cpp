// The portable half of the dialog: the event table lookup and the default
// handling of OK and Cancel. Window creation and the modal loop are the
// backend's.
#include "platform/dialog.h"

#include "platform/dialog_template.h"

#include <vector>

CDialog::CDialog(UINT templateId, HWND parent) : m_templateId(templateId), m_parent(parent) {}

BOOL CDialog::OnInitDialog() {
    return TRUE;
}

BOOL CDialog::PreTranslateMessage(const WindowMessage&) {
    return FALSE;
}

void CDialog::OnOK() {
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

LRESULT CDialog::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return SendWindowMessage(m_hWnd, message, wParam, lParam);
}

bool CDialog::DispatchEvent(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    const UINT id = LoWord(wParam);
    const UINT code = HiWord(wParam);
    for (const EventEntry& entry : GetEventTable()) {
        if (entry.message != message)
            continue;
        if (message == WM_COMMAND && (entry.id != id || entry.code != code))
            continue;
        result = entry.handler(*this, wParam, lParam);
        return true;
    }
    // The dialog manager turns Return and Escape (and the close box) into
    // these two commands; without a row of their own they end the dialog.
    if (message == WM_COMMAND && code == BN_CLICKED && (id == IDOK || id == IDCANCEL)) {
        if (id == IDOK)
            OnOK();
        else
            OnCancel();
        result = 0;
        return true;
    }
    return false;
}

namespace {
std::vector<const DialogTemplate*>& Templates() {
    static std::vector<const DialogTemplate*> templates;
    return templates;
}
}  // namespace

void RegisterDialogTemplate(const DialogTemplate& t) {
    for (const DialogTemplate* known : Templates())
        if (known == &t)
            return;
    Templates().push_back(&t);
}

const DialogTemplate* FindDialogTemplate(UINT id) {
    for (const DialogTemplate* t : Templates())
        if (t->id == id)
            return t;
    return nullptr;
}
