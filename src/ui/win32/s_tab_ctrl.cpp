// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/s_tab_ctrl.h"

#include <windows.h>
#include <commctrl.h>

#include <string>
// clang-format on

namespace ui {
namespace {

// Around a tab's text, in dialog units: either side, and above and below together.
constexpr int kTabPaddingX = 6, kTabPaddingY = 4;

// The tab control drawn into a bitmap of its client size, over the dialog's background (its
// corners beside the tabs), as a pattern brush; nullptr when it can't be made.
HBRUSH draw_tab_control(HWND tab, int width, int height) {
    const HDC screen = GetDC(tab);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    ReleaseDC(tab, screen);
    HBRUSH brush = nullptr;
    if (memory && bitmap) {
        const HGDIOBJ before = SelectObject(memory, bitmap);
        const RECT all{0, 0, width, height};
        FillRect(memory, &all, GetSysColorBrush(COLOR_BTNFACE));
        SendMessageW(tab, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
                     PRF_CLIENT | PRF_ERASEBKGND);
        SelectObject(memory, before);
        brush = CreatePatternBrush(bitmap);  // a copy: the bitmap may go
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    return brush;
}

}  // namespace

void CSTabCtrl::BrushDeleter::operator()(HBRUSH__* brush) const {
    DeleteObject(brush);
}

CSTabCtrl::CSTabCtrl(Hwnd tab) : tab_(tab) {
    // In dialog units of the window, so that the room grows with its font.
    RECT padding{0, 0, kTabPaddingX, kTabPaddingY};
    MapDialogRect(GetParent(tab_), &padding);
    SendMessageW(tab_, TCM_SETPADDING, 0, MAKELPARAM(padding.right, padding.bottom));
}

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

HBRUSH CSTabCtrl::page_brush(Hwnd control, HDC dc) {
    RECT page{};
    GetClientRect(tab_, &page);
    const int width = page.right, height = page.bottom;
    TabCtrl_AdjustRect(tab_, FALSE, &page);  // the display area, in the tab control's pixels
    RECT place{}, inside{};
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, tab_, reinterpret_cast<POINT*>(&place), 2);
    if (!IntersectRect(&inside, &place, &page) || !EqualRect(&inside, &place)) return nullptr;
    if (!page_ || width != page_width_ || height != page_height_) {
        page_.reset(draw_tab_control(tab_, width, height));
        page_width_ = width;
        page_height_ = height;
    }
    if (!page_) return nullptr;
    // The brush's pattern starts at the tab control's corner, up and left of the control.
    SetBrushOrgEx(dc, -place.left, -place.top, nullptr);
    SetBkMode(dc, TRANSPARENT);
    return page_.get();
}

void CSTabCtrl::show_page(int page, bool show) {
    const auto it = pages_.find(page);
    if (it == pages_.end()) return;
    for (const Hwnd control : it->second) {
        if (IsWindow(control)) ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    }
}

}  // namespace ui
