#include "ui/win32/dialog_place.h"

#include <windows.h>

#include <algorithm>

namespace ui {

void centre_on_owner(Hwnd box) {
    const HWND owner = GetWindow(box, GW_OWNER);
    RECT over{}, own{};
    if (!owner || !GetWindowRect(owner, &over) || !GetWindowRect(box, &own)) return;
    const int width = own.right - own.left, height = own.bottom - own.top;
    int x = over.left + (over.right - over.left - width) / 2;
    int y = over.top + (over.bottom - over.top - height) / 2;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const RECT& work = monitor.rcWork;
        // The caption stays reachable: the top left corner wins over the far edges.
        x = std::max(std::min(x, static_cast<int>(work.right) - width),
                     static_cast<int>(work.left));
        y = std::max(std::min(y, static_cast<int>(work.bottom) - height),
                     static_cast<int>(work.top));
    }
    SetWindowPos(box, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace ui
