// A dialog template as Windows takes it in memory: the bytes of an extended
// dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX records), laid out
// as a resource compiler lays out a DIALOGEX statement. The Win32 backend
// hands them to CreateDialogIndirectParam, so the dialog is built from the
// one table the Qt backend reads too.
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/dialog_template.h"

namespace {

// Predefined window classes, by the atoms a template names them with.
constexpr std::uint16_t kButtonAtom = 0x0080;
constexpr std::uint16_t kListBoxAtom = 0x0083;
// Every control of a resource script is a visible child.
constexpr unsigned long kControlStyle = 0x40000000 /* WS_CHILD */ | 0x10000000 /* WS_VISIBLE */;
constexpr unsigned char kDefaultCharset = 1;

class Writer {
public:
    void Word(std::uint16_t v) {
        m_bytes.push_back(static_cast<unsigned char>(v & 0xFF));
        m_bytes.push_back(static_cast<unsigned char>(v >> 8));
    }
    void Dword(unsigned long v) {
        Word(static_cast<std::uint16_t>(v & 0xFFFF));
        Word(static_cast<std::uint16_t>((v >> 16) & 0xFFFF));
    }
    void Byte(unsigned char v) { m_bytes.push_back(v); }
    // A NUL-terminated UTF-16 string from UTF-8; a malformed byte reads as
    // U+FFFD rather than ending the template early.
    void Text(std::string_view utf8) {
        for (std::size_t i = 0; i < utf8.size();) {
            const auto lead = static_cast<unsigned char>(utf8[i]);
            const int length = lead < 0x80    ? 1
                               : lead >= 0xF0 ? 4
                               : lead >= 0xE0 ? 3
                               : lead >= 0xC0 ? 2
                                              : 0;
            char32_t c = length == 1   ? lead
                         : length == 2 ? lead & 0x1F
                         : length == 3 ? lead & 0x0F
                                       : lead & 0x07;
            bool valid = length > 0 && i + std::size_t(length) <= utf8.size();
            for (int k = 1; valid && k < length; ++k) {
                const auto next = static_cast<unsigned char>(utf8[i + std::size_t(k)]);
                valid = (next & 0xC0) == 0x80;
                c = (c << 6) | (next & 0x3F);
            }
            i += valid ? std::size_t(length) : 1;
            if (!valid || c > 0x10FFFF)
                c = 0xFFFD;
            if (c >= 0x10000) {
                Word(static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
                Word(static_cast<std::uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
            } else {
                Word(static_cast<std::uint16_t>(c));
            }
        }
        Word(0);
    }
    // Item records start on a DWORD boundary.
    void AlignToDword() {
        while (m_bytes.size() % 4 != 0)
            m_bytes.push_back(0);
    }
    std::vector<unsigned char> Take() { return std::move(m_bytes); }

private:
    std::vector<unsigned char> m_bytes;
};

}  // namespace

std::vector<unsigned char> DialogTemplateBytes(const DialogTemplate& t) {
    Writer w;
    w.Word(1);       // version
    w.Word(0xFFFF);  // the extended template's signature
    w.Dword(0);      // help context
    w.Dword(t.exStyle);
    w.Dword(t.style);
    w.Word(static_cast<std::uint16_t>(t.items.size()));
    for (int v : {0, 0, t.cx, t.cy})
        w.Word(static_cast<std::uint16_t>(v));
    w.Word(0);  // no menu
    w.Word(0);  // the dialog class
    w.Text(t.caption);
    // The font, read by the dialog manager when the style has DS_SETFONT.
    w.Word(static_cast<std::uint16_t>(t.pointSize));
    w.Word(0);  // weight: the face's own
    w.Byte(0);  // not italic
    w.Byte(kDefaultCharset);
    w.Text(t.faceName);
    for (const DialogItemTemplate& item : t.items) {
        w.AlignToDword();
        w.Dword(0);  // help context
        w.Dword(0);  // extended style
        w.Dword(item.style | kControlStyle);
        for (int v : {item.x, item.y, item.cx, item.cy})
            w.Word(static_cast<std::uint16_t>(v));
        w.Dword(static_cast<unsigned long>(item.id));
        w.Word(0xFFFF);
        w.Word(item.kind == ControlKind::ListBox ? kListBoxAtom : kButtonAtom);
        w.Text(item.text);
        w.Word(0);  // no creation data
    }
    return w.Take();
}
