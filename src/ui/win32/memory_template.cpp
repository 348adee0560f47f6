// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/memory_template.h"

#include <windows.h>
#include <commctrl.h>

#include "ui/win32/window_handle.h"
// clang-format on

namespace ui {
namespace {

constexpr TemplateClass kButton{0x0080, {}};
constexpr TemplateClass kEdit{0x0081, {}};
constexpr TemplateClass kStatic{0x0082, {}};
constexpr TemplateClass kTabs{0, WC_TABCONTROLW};

struct NativeControl {
    TemplateClass window_class;
    DWORD style;
    DWORD ex_style;
};

NativeControl native_control(const ControlTemplate& t) {
    const bool border = t.style & kBorder;
    NativeControl c{kStatic, WS_CHILD | WS_VISIBLE, 0};
    switch (t.kind) {
        case ControlKind::tab_control:
            // The tabs sit below the pages, as in the Qt window. The page controls lie above the
            // tab control's client area; it hands clicks there on to them.
            c = {kTabs, WS_CHILD | WS_VISIBLE | TCS_BOTTOM, 0};
            break;
        case ControlKind::log_pane:
            // Enter is a line break here, never the default button. The user may type in the
            // pane; the log always goes at its end.
            c = {kEdit,
                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
                 0};
            break;
        case ControlKind::push_button:
            c = {kButton,
                 WS_CHILD | WS_VISIBLE |
                     static_cast<DWORD>((t.style & kDefaultButton) ? BS_DEFPUSHBUTTON
                                                                   : BS_PUSHBUTTON),
                 0};
            break;
        case ControlKind::edit:
            c = {kEdit, WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 0};
            break;
        case ControlKind::label:
            // Plain text: an ampersand is shown, not taken as a mnemonic.
            c = {kStatic, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0};
            break;
        case ControlKind::picture:
            // A bitmap (the about picture), centred in the frame at its own size.
            c = {kStatic, WS_CHILD | WS_VISIBLE | SS_BITMAP | SS_CENTERIMAGE, 0};
            break;
    }
    if (t.style & kTabStop) c.style |= WS_TABSTOP;
    if (border) {
        if (t.kind == ControlKind::edit || t.kind == ControlKind::log_pane)
            c.ex_style |= WS_EX_CLIENTEDGE;
        else
            c.style |= WS_BORDER;
    }
    return c;
}

}  // namespace

MemoryTemplate::MemoryTemplate(std::string_view caption, std::uint32_t style, int width,
                               int height) {
    put(1);       // dlgVer
    put(0xFFFF);  // signature: the extended template
    put32(0);     // helpID
    put32(0);     // exStyle
    put32(style | DS_SETFONT | DS_SHELLFONT);
    item_count_at_ = words_.size();
    put(0);  // cDlgItems, counted by add_control
    for (const int v : {0, 0, width, height}) put(static_cast<std::uint16_t>(v));
    put(0);  // no menu
    put(0);  // the dialog class
    put_text(caption);
    put(8);  // point size
    put(FW_NORMAL);
    put(0);  // italic, charset
    put_text("MS Shell Dlg");
}

void MemoryTemplate::add_control(int id, TemplateClass window_class, std::string_view text,
                                 std::uint32_t style, std::uint32_t ex_style, int x, int y,
                                 int width, int height) {
    align();
    put32(0);  // helpID
    put32(ex_style);
    put32(style);
    for (const int v : {x, y, width, height}) put(static_cast<std::uint16_t>(v));
    put32(static_cast<std::uint32_t>(id));
    if (window_class.atom) {
        put(0xFFFF);
        put(window_class.atom);
    } else {
        for (const wchar_t c : window_class.name) put(static_cast<std::uint16_t>(c));
        put(0);
    }
    put_text(text);
    put(0);  // no creation data
    ++words_[item_count_at_];
}

void MemoryTemplate::add_controls(const DialogTemplate& dialog) {
    for (const ControlTemplate& t : dialog.controls) {
        const NativeControl c = native_control(t);
        add_control(t.id, c.window_class, t.text, c.style, c.ex_style, t.x, t.y, t.width, t.height);
    }
}

void MemoryTemplate::put32(std::uint32_t value) {
    put(static_cast<std::uint16_t>(value & 0xFFFF));
    put(static_cast<std::uint16_t>(value >> 16));
}

void MemoryTemplate::put_text(std::string_view utf8) {
    for (const wchar_t c : to_wide(utf8)) put(static_cast<std::uint16_t>(c));
    put(0);
}

void MemoryTemplate::align() {
    // The vector's storage is aligned for far more than a DWORD, so counting words suffices.
    if (words_.size() % 2) put(0);
}

}  // namespace ui
