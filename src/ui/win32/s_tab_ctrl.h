// CSTabCtrl: the pages of the window's tab control. Ordinary controls of the dialog are attached
// to a tab index; the selected tab's controls are shown and all others hidden. The dialog lays
// the controls of all pages on top of each other and never shows or hides them itself. Controls
// are referenced, not owned: they are the dialog's children and go with it. The labels on a page
// are painted on the page as the tab control draws it (page_brush), not on the dialog's grey.
#pragma once

#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ui/win32/window_handle.h"

struct HBRUSH__;
struct HDC__;

namespace ui {

class CSTabCtrl {
public:
    // tab: the tab control of the dialog's template. Its tabs get room around their texts, as
    // the Qt window's have.
    explicit CSTabCtrl(Hwnd tab);

    // Inserts a text-only tab item; returns its index, or -1. Inserting is not a selection
    // change: no page is shown or hidden by it.
    int InsertItem(int index, std::string_view text);
    // false (and nothing stored, the control's visibility untouched) when page is not below
    // the item count; otherwise the control is attached and hidden, and the result is true.
    bool AddControlToPage(Hwnd control, int page);
    // Selects the tab, then handles the change as a user's click would. Returns the index
    // that was selected before, or -1 when page is not an item (nothing is selected then).
    int SelectPage(int page);
    // The selection changed (TCN_SELCHANGE: a click or a key): hide the page shown so far,
    // then show the newly selected one.
    void OnSelChange();

    // For the dialog's WM_CTLCOLORSTATIC of control: when it lies on the page (the tab control's
    // display area), a brush that paints the page under it as the tab control draws the page (a
    // visual style's page is lighter than the dialog, or textured), with the text's background
    // made transparent in dc; nullptr for a control elsewhere. The brush stays this object's.
    HBRUSH__* page_brush(Hwnd control, HDC__* dc);
    // The page's look changed (theme, system colours): the next page_brush draws it anew.
    void forget_page_brush() { page_.reset(); }

    Hwnd hwnd() const { return tab_; }
    int currentPage() const { return current_page_; }

private:
    void show_page(int page, bool show);

    struct BrushDeleter {
        void operator()(HBRUSH__* brush) const;
    };

    Hwnd tab_;
    int current_page_ = -1;  // the tab whose controls are shown; -1 before the first change
    std::unordered_map<int, std::vector<Hwnd>> pages_;
    std::unique_ptr<HBRUSH__, BrushDeleter> page_;  // the tab control as drawn at page_size_
    int page_width_ = 0, page_height_ = 0;
};

}  // namespace ui
