// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/check_dialog.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "ui/check_colours.h"
#include "ui/win32/dialog_place.h"
#include "ui/win32/memory_template.h"
// clang-format on

namespace ui {
namespace {

enum : int { kSummaryLabel = 101 };
enum Column : int { kStatusColumn, kItemColumn, kDetailColumn, kColumns };

// A cell's text from its top left corner, broken between words (and inside a word longer than
// the column, such as a path) to the column's width.
constexpr UINT kCellText = DT_LEFT | DT_TOP | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX;

// The statuses in the colours both windows use.
COLORREF colour_of(check::CheckStatus status) {
    const std::optional<Rgb> c = status_colour(status);
    return c ? RGB(c->red, c->green, c->blue) : GetSysColor(COLOR_WINDOWTEXT);
}

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};
using Font = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// A width and a height in pixels.
struct Extent {
    int width = 0, height = 0;
};

struct Results {
    const std::vector<check::CheckItem>& items;
    std::vector<std::array<std::wstring, kColumns>> cells;  // per item, as shown
    std::wstring summary;
    Font bold;       // the status of an item that is not ok, as in the Qt window
    Extent padding;  // around a cell's text
};

std::vector<std::array<std::wstring, kColumns>> cells_of(
    const std::vector<check::CheckItem>& items) {
    std::vector<std::array<std::wstring, kColumns>> cells;
    for (const check::CheckItem& i : items) {
        std::string detail = i.detail;
        if (i.status != check::CheckStatus::ok && !i.fix.empty()) detail += "\nfix: " + i.fix;
        cells.push_back({to_wide(check::status_text(i.status)), to_wide(i.item), to_wide(detail)});
    }
    return cells;
}

bool bold_status(const check::CheckItem& item, int column) {
    return column == kStatusColumn && item.status != check::CheckStatus::ok;
}

// How much room a cell's text takes in a column of the given width, padding included.
Extent text_size(HDC dc, const std::wstring& text, int width, Extent padding) {
    RECT r{0, 0, std::max(width - 2 * padding.width, 1), 0};
    DrawTextW(dc, text.c_str(), -1, &r, kCellText | DT_CALCRECT);
    return {static_cast<int>(r.right) + 2 * padding.width,
            static_cast<int>(r.bottom) + 2 * padding.height};
}

// Columns, rows and their texts. The status and item columns fit their widest text; the detail
// column takes the rest of the width (a scroll bar's width kept free), and every row is as
// tall as the tallest wrapped detail needs: a list view's rows all have one height.
void fill_list(HWND list, Results& results) {
    constexpr const wchar_t* kTitles[kColumns] = {L"Status", L"Item", L"Detail"};
    for (int c = 0; c < kColumns; ++c) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(kTitles[c]);
        column.iSubItem = c;
        (void)ListView_InsertColumn(list, c, &column);
    }
    for (int row = 0; auto& texts : results.cells) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.pszText = texts[kStatusColumn].data();
        (void)ListView_InsertItem(list, &item);
        for (const int c : {kItemColumn, kDetailColumn})
            ListView_SetItemText(list, row, c, texts[static_cast<std::size_t>(c)].data());
        ++row;
    }

    const HDC dc = GetDC(list);
    const auto list_font = reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0));
    const HGDIOBJ before = SelectObject(dc, list_font);
    int widths[kColumns]{};
    for (const int c : {kStatusColumn, kItemColumn}) {
        // The title with the header's margins (three edges on either side).
        widths[c] = text_size(dc, kTitles[c], 0x7FFF, {}).width + 6 * GetSystemMetrics(SM_CXEDGE) +
                    2 * results.padding.width;
        for (std::size_t row = 0; row < results.cells.size(); ++row) {
            const bool bold = bold_status(results.items[row], c);
            if (bold) SelectObject(dc, results.bold.get());
            widths[c] =
                std::max(widths[c], text_size(dc, results.cells[row][static_cast<std::size_t>(c)],
                                              0x7FFF, results.padding)
                                        .width);
            if (bold) SelectObject(dc, list_font);
        }
        (void)ListView_SetColumnWidth(list, c, widths[c]);
    }
    RECT client{};
    GetClientRect(list, &client);
    widths[kDetailColumn] = std::max(static_cast<int>(client.right) - widths[kStatusColumn] -
                                         widths[kItemColumn] - GetSystemMetrics(SM_CXVSCROLL),
                                     8 * results.padding.width);
    (void)ListView_SetColumnWidth(list, kDetailColumn, widths[kDetailColumn]);
    int height = text_size(dc, L"Ag", 0x7FFF, results.padding).height;
    for (const auto& texts : results.cells)
        for (int c = 0; c < kColumns; ++c)
            height = std::max(height, text_size(dc, texts[static_cast<std::size_t>(c)], widths[c],
                                                results.padding)
                                          .height);
    SelectObject(dc, before);
    ReleaseDC(list, dc);
    // A row is as tall as the list's small images: an image list of empty 1-pixel-wide images
    // sets the height. The list view destroys it with itself.
    (void)ListView_SetImageList(list, ImageList_Create(1, height, ILC_COLOR32, 0, 1), LVSIL_SMALL);
}

// Every cell is drawn here: text from the top, wrapped, the status in its colour. The rows are
// read, not picked: no selection or focus is shown.
LRESULT custom_draw(const Results& results, NMLVCUSTOMDRAW& draw) {
    switch (draw.nmcd.dwDrawStage) {
        case CDDS_PREPAINT:
            return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT:
            draw.nmcd.uItemState &= ~static_cast<UINT>(CDIS_SELECTED | CDIS_FOCUS);
            return CDRF_NOTIFYSUBITEMDRAW;
        case CDDS_ITEMPREPAINT | CDDS_SUBITEM:
            break;
        default:
            return CDRF_DODEFAULT;
    }
    const HWND list = draw.nmcd.hdr.hwndFrom;
    const auto row = static_cast<std::size_t>(draw.nmcd.dwItemSpec);
    const int column = draw.iSubItem;
    if (row >= results.items.size() || column < 0 || column >= kColumns) return CDRF_DODEFAULT;
    // The cell from the row's bounds and the column widths (the columns keep their order).
    RECT cell{};
    (void)ListView_GetItemRect(list, static_cast<int>(row), &cell, LVIR_BOUNDS);
    for (int c = 0; c < column; ++c) cell.left += ListView_GetColumnWidth(list, c);
    cell.right = cell.left + ListView_GetColumnWidth(list, column);

    const HDC dc = draw.nmcd.hdc;
    SetDCBrushColor(dc, ListView_GetBkColor(list));
    FillRect(dc, &cell, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
    const check::CheckItem& item = results.items[row];
    SetTextColor(dc,
                 column == kStatusColumn ? colour_of(item.status) : GetSysColor(COLOR_WINDOWTEXT));
    SetBkMode(dc, TRANSPARENT);
    const HGDIOBJ before =
        bold_status(item, column) ? SelectObject(dc, results.bold.get()) : nullptr;
    InflateRect(&cell, -results.padding.width, -results.padding.height);
    DrawTextW(dc, results.cells[row][static_cast<std::size_t>(column)].c_str(), -1, &cell,
              kCellText);
    if (before) SelectObject(dc, before);
    return CDRF_SKIPDEFAULT;
}

INT_PTR CALLBACK check_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: {
            auto& results = *reinterpret_cast<Results*>(lparam);
            SetWindowLongPtrW(box, DWLP_USER, lparam);
            const HWND list = GetDlgItem(box, kCheckResultsList);
            LOGFONTW font{};
            GetObjectW(reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)), sizeof font,
                       &font);
            font.lfWeight = FW_BOLD;
            results.bold.reset(CreateFontIndirectW(&font));
            RECT padding{0, 0, 3, 2};  // dialog units
            MapDialogRect(box, &padding);
            results.padding = {static_cast<int>(padding.right), static_cast<int>(padding.bottom)};
            fill_list(list, results);
            SetDlgItemTextW(box, kSummaryLabel, results.summary.c_str());
            centre_on_owner(box);
            SetFocus(GetDlgItem(box, IDCANCEL));
            return FALSE;  // the focus is set
        }
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lparam);
            const auto* results =
                reinterpret_cast<const Results*>(GetWindowLongPtrW(box, DWLP_USER));
            if (header->idFrom != kCheckResultsList || header->code != NM_CUSTOMDRAW || !results)
                break;
            SetWindowLongPtrW(box, DWLP_MSGRESULT,
                              custom_draw(*results, *reinterpret_cast<NMLVCUSTOMDRAW*>(lparam)));
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                EndDialog(box, IDCANCEL);
                return TRUE;
            }
            break;
    }
    return FALSE;
}

}  // namespace

void show_check_results(Hwnd owner, const std::vector<check::CheckItem>& items) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES};
    (void)InitCommonControlsEx(&classes);  // without it the box can't be made and shows nothing
    constexpr TemplateClass kButton{0x0080, {}}, kStatic{0x0082, {}}, kList{0, WC_LISTVIEWW};
    // About the size of the Qt box.
    MemoryTemplate box("Check setup", WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, 480, 300);
    box.add_control(
        kCheckResultsList, kList, "",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_NOSORTHEADER | LVS_SINGLESEL,
        WS_EX_CLIENTEDGE, 7, 7, 466, 245);
    box.add_control(kSummaryLabel, kStatic, "", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, 7,
                    257, 466, 18);
    box.add_control(IDCANCEL, kButton, "Close",
                    WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 423, 279, 50, 14);
    Results results{items, cells_of(items), to_wide(check::check_summary(items)), {}, {}};
    (void)DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                  static_cast<LPCDLGTEMPLATEW>(box.data()), owner, check_procedure,
                                  reinterpret_cast<LPARAM>(&results));  // the box only shows
}

}  // namespace ui
