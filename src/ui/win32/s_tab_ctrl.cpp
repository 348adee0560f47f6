// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/s_tab_ctrl.h"

#include <windows.h>
#include <commctrl.h>

#include <string>
// clang-format on

namespace ui {

int CSTabCtrl::InsertItem(int index, std::string_view text) {
    std::wstring label = to_wide(text);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = label.data();
    return static_cast<int>(SendMessageW(tab_, TCM_INSERTITEMW, static_cast<WPARAM>(index),
                                         reinterpret_cast<LPARAM>(&item)));
}

bool CSTabCtrl::AddControlToPage(Hwnd control, int page) {
    if (page >= static_cast<int>(SendMessageW(tab_, TCM_GETITEMCOUNT, 0, 0))) return false;
    pages_[page].push_back(control);
    if (control) ShowWindow(control, SW_HIDE);
    return true;
}

int CSTabCtrl::SelectPage(int page) {
    int previous = -1;
    if (page >= 0 && page < static_cast<int>(SendMessageW(tab_, TCM_GETITEMCOUNT, 0, 0)))
        previous =
            static_cast<int>(SendMessageW(tab_, TCM_SETCURSEL, static_cast<WPARAM>(page), 0));
    // TCM_SETCURSEL sends no TCN_SELCHANGE: the change is handled here.
    OnSelChange();
    return previous;
}

void CSTabCtrl::OnSelChange() {
    const int selected = static_cast<int>(SendMessageW(tab_, TCM_GETCURSEL, 0, 0));
    // Hide first, so a control attached to both pages ends up visible.
    show_page(current_page_, false);
    show_page(selected, true);
    current_page_ = selected;
}

void CSTabCtrl::show_page(int page, bool show) {
    const auto it = pages_.find(page);
    if (it == pages_.end()) return;
    for (const Hwnd control : it->second) {
        if (IsWindow(control)) ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    }
}

}  // namespace ui
