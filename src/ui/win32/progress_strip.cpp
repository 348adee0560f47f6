// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/progress_strip.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
// clang-format on

namespace ui {

ProgressStrip::ProgressStrip(Hwnd text, Hwnd bar) : text_(text), bar_(bar) {
    SendMessageW(bar_, PBM_SETRANGE32, 0, 100);
    poll();  // shown from the start, not a tick later
}

void ProgressStrip::set_task(std::string text) {
    task_ = std::move(text);
    poll();
}

void ProgressStrip::set_idle_text(std::string text) {
    idle_text_ = std::move(text);
    poll();
}

void ProgressStrip::poll() {
    const core::ProgressView view = meter_.poll();
    // The window's own task shows only while nothing on the board runs.
    const bool own_task = !view.active && !task_.empty();
    const std::string& text = own_task                            ? task_
                              : !view.active && view.text.empty() ? idle_text_
                                                                  : view.text;
    const bool busy = own_task || (view.active && view.percent < 0);
    if (busy != busy_) {
        // A marquee is the bar's "busy, end unknown" look.
        const LONG_PTR style = GetWindowLongPtrW(bar_, GWL_STYLE);
        SetWindowLongPtrW(bar_, GWL_STYLE,
                          busy ? style | PBS_MARQUEE : style & ~LONG_PTR{PBS_MARQUEE});
        SendMessageW(bar_, PBM_SETMARQUEE, busy ? TRUE : FALSE, 30);
        // Neither the style nor the stopped marquee repaints the bar, nor does a position it
        // already had: without this its last marquee block stays on the screen.
        if (!busy) InvalidateRect(bar_, nullptr, TRUE);
        busy_ = busy;
    }
    // Idle without a percentage (the last activity failed), the bar is empty.
    if (!busy) SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(std::max(view.percent, 0)), 0);
    if (text != shown_) {
        shown_ = text;
        SetWindowTextW(text_, to_wide(shown_).c_str());
    }
}

}  // namespace ui
