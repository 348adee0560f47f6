// Shared by the native window's tests: running this thread's message loop by hand, and reading
// the texts of a list view's cells.
#pragma once

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <chrono>
#include <functional>
#include <string>

#include "test_support.h"

namespace test {

// Handles what was posted to this thread's windows, as the message loop would.
inline void pump_messages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Handles this thread's messages until `done` returns true after a round of them, or `timeout`
// has passed; the rounds `step` apart, so that the windows' timers get their turn. True when
// `done` returned true.
inline bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                       std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
    return wait_until(
        [&] {
            pump_messages();
            return done();
        },
        timeout, step);
}

// Handles this thread's messages for `spell`, `step` apart: time for timers (a marquee, the
// display catching up) that no condition tells the end of.
inline void pump_for(std::chrono::milliseconds spell, std::chrono::milliseconds step) {
    (void)pump_until([] { return false; }, spell, step);
}

// The text of a list view's cell; column 0 is the item's own text.
inline std::wstring list_view_text(HWND list, int row, int column) {
    wchar_t text[512]{};
    LVITEMW cell{};
    cell.iSubItem = column;
    cell.pszText = text;
    cell.cchTextMax = 512;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&cell));
    return text;
}

}  // namespace test
