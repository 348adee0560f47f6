// How the native window looks where a Windows user expects the system's own ways: the check's
// results in a list view with coloured statuses and wrapped findings, labels on the tab page
// without boxes of the dialog's grey, the boxes centred on the window, the about picture, and a
// progress bar left clean after a busy spell. Headless under Wine's null graphics driver: what
// the controls draw is read back from bitmaps they are asked to paint into.
// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/kestrom_dlg.h"

#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "check/check.h"
#include "registry/settings_store.h"
#include "scratch_registry.h"
#include "ui/dialog_template.h"
#include "ui/win32/check_dialog.h"
#include "ui/win32/kestrom_app.h"
#include "ui/win32/progress_strip.h"
#include "win32_test_support.h"
// clang-format on

namespace {

using ui::CKestromDlg;

std::string hex(std::uint32_t rgb) {
    char text[16];
    std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(rgb));
    return text;
}

std::uint32_t rgb_of(COLORREF c) {
    return static_cast<std::uint32_t>(GetRValue(c)) << 16 | GetGValue(c) << 8 | GetBValue(c);
}

// What a control paints of its client area (WM_PRINTCLIENT), as 0xRRGGBB pixels row by row.
struct Painted {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;
    std::uint32_t at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
    // The colour most pixels of the rectangle have.
    std::uint32_t most_common(const RECT& r) const {
        std::map<std::uint32_t, int> count;
        for (int y = std::max(0, int(r.top)); y < std::min(height, int(r.bottom)); ++y)
            for (int x = std::max(0, int(r.left)); x < std::min(width, int(r.right)); ++x)
                ++count[at(x, y)];
        std::uint32_t best = 0;
        int most = -1;
        for (const auto& [colour, n] : count)
            if (n > most) best = colour, most = n;
        return best;
    }
    int count(const RECT& r, std::uint32_t colour) const {
        int n = 0;
        for (int y = std::max(0, int(r.top)); y < std::min(height, int(r.bottom)); ++y)
            for (int x = std::max(0, int(r.left)); x < std::min(width, int(r.right)); ++x)
                n += at(x, y) == colour;
        return n;
    }
};

Painted paint(HWND control) {
    RECT client{};
    GetClientRect(control, &client);
    Painted p{client.right, client.bottom, {}};
    BITMAPINFO info{};
    info.bmiHeader = {sizeof info.bmiHeader, p.width, -p.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    const HDC dc = CreateCompatibleDC(nullptr);
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) {
        DeleteDC(dc);
        return {};
    }
    const HGDIOBJ before = SelectObject(dc, bitmap);
    SendMessageW(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc),
                 PRF_CLIENT | PRF_ERASEBKGND);
    GdiFlush();
    const auto* pixels = static_cast<const std::uint32_t*>(bits);
    p.pixels.assign(pixels, pixels + std::size_t(p.width) * std::size_t(p.height));
    for (std::uint32_t& pixel : p.pixels) pixel &= 0xFFFFFF;
    SelectObject(dc, before);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return p;
}

// Opens a modal box with open() and, in the box's own message loop, hands the box to look(),
// then closes it. false when no box showed over owner.
bool look_at_box(HWND owner, const std::function<void()>& open,
                 const std::function<void(HWND box)>& look) {
    struct Context {
        HWND owner;
        const std::function<void(HWND)>* look;
        bool seen;
    };
    static Context context;  // the timer procedure has no context of its own
    context = {owner, &look, false};
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR, DWORD) {
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND w, LPARAM) -> BOOL {
                if (context.seen || GetWindow(w, GW_OWNER) != context.owner || !IsWindowVisible(w))
                    return TRUE;
                context.seen = true;
                (*context.look)(w);
                PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
                return FALSE;
            },
            0);
    });
    open();  // returns when the box has closed
    KillTimer(nullptr, timer);
    return context.seen;
}

class NativeLookTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ui::init_common_controls(); }

    void SetUp() override {
        registry::ensure_settings_key();
        ui::KestromDlgOptions options;
        options.start_services = false;
        dlg_ = std::make_unique<CKestromDlg>(std::move(options));
        ASSERT_TRUE(dlg_->Create()) << "error " << GetLastError();
        ShowWindow(dlg_->hwnd(), SW_SHOWNOACTIVATE);
        UpdateWindow(dlg_->hwnd());
        test::pump_messages();
    }

    HWND item(int id) const { return dlg_->GetDlgItem(id); }

    test::ScratchRegistry registry_;
    std::unique_ptr<CKestromDlg> dlg_;
};

// Items as the check makes them; the last two need more than their column's width.
const std::vector<check::CheckItem> kItems = {
    {"zorva.bin", check::CheckStatus::ok, "3145728 bytes; fits clients without blksize", ""},
    {"UDP 69", check::CheckStatus::warn, "held by another TFTP server (PID 4711)",
     "stop that server, or let it serve zorva.bin"},
    {"192.168.1.50:23", check::CheckStatus::fail,
     "10060 the connect timed out: nothing answered at this address within the two seconds the "
     "check waits, so the controller is off, on another network, or behind a cable that is not "
     "plugged in",
     "connect the controller to this PC's network card and switch it on"},
    {"www", check::CheckStatus::fail,
     "C:\\Users\\technician\\Documents\\kestrom\\www\\pages\\settings\\network\\"
     "interfaces-and-routes.htm: not found",
     ""},
};

// Both boxes open over the window's middle, as the Qt boxes do over their parent.
TEST_F(NativeLookTest, theAboutAndCheckBoxesOpenCentredOnTheWindow) {
    const HWND owner = dlg_->hwnd();
    const std::pair<const char*, std::function<void()>> boxes[] = {
        {"About", [&] { dlg_->ShowAbout(); }},
        {"Check setup", [&] { ui::show_check_results(owner, kItems); }},
    };
    // The window away from the screen's middle, where a box centred on the screen would be.
    RECT window{};
    GetWindowRect(owner, &window);
    const int width = window.right - window.left, height = window.bottom - window.top;
    SetWindowPos(owner, nullptr, GetSystemMetrics(SM_CXSCREEN) / 2 - 40 - width / 2,
                 GetSystemMetrics(SM_CYSCREEN) / 2 - 30 - height / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    GetWindowRect(owner, &window);
    for (const auto& [what, open] : boxes) {
        SCOPED_TRACE(what);
        RECT box{};
        ASSERT_TRUE(look_at_box(owner, open, [&](HWND b) { GetWindowRect(b, &box); }));
        EXPECT_NEAR((box.left + box.right) / 2, (window.left + window.right) / 2, 1)
            << "box from " << box.left << " to " << box.right << ", window from " << window.left
            << " to " << window.right;
        EXPECT_NEAR((box.top + box.bottom) / 2, (window.top + window.bottom) / 2, 1)
            << "box from " << box.top << " to " << box.bottom << ", window from " << window.top
            << " to " << window.bottom;
    }
}

// The about box shows the Qt about box's 32 x 32 picture, from the program's resources.
TEST_F(NativeLookTest, theAboutBoxShowsTheAboutPicture) {
    BITMAP picture{};
    ASSERT_TRUE(look_at_box(
        dlg_->hwnd(), [&] { dlg_->ShowAbout(); },
        [&](HWND box) {
            const auto shown = reinterpret_cast<HBITMAP>(
                SendDlgItemMessageW(box, ui::kAboutPicture, STM_GETIMAGE, IMAGE_BITMAP, 0));
            if (shown) GetObjectW(shown, sizeof picture, &picture);
        }));
    EXPECT_EQ(picture.bmWidth, 32) << "no picture, or not the about picture";
    EXPECT_EQ(picture.bmHeight, 32);
}

// One row per item with the check's words, the status in the Qt window's colour, and a long
// finding wrapped inside its own column instead of running out of it or back to the left edge.
TEST_F(NativeLookTest, theCheckResultsAreAListWithColouredStatusesAndWrappedFindings) {
    const std::map<check::CheckStatus, std::uint32_t> colours = {
        {check::CheckStatus::ok, 0x1b7a2e},
        {check::CheckStatus::warn, 0xa86200},
        {check::CheckStatus::fail, 0xc01c28},
    };
    bool looked = false;
    ASSERT_TRUE(look_at_box(
        dlg_->hwnd(), [&] { ui::show_check_results(dlg_->hwnd(), kItems); },
        [&](HWND box) {
            looked = true;
            const HWND list = GetDlgItem(box, ui::kCheckResultsList);
            wchar_t window_class[64]{};
            GetClassNameW(list, window_class, 64);
            ASSERT_STREQ(window_class, WC_LISTVIEWW) << "the results are no list view";
            const wchar_t* titles[] = {L"Status", L"Item", L"Detail"};
            ASSERT_EQ(Header_GetItemCount(ListView_GetHeader(list)), 3);
            for (int c = 0; c < 3; ++c) {
                wchar_t title[32]{};
                LVCOLUMNW column{};
                column.mask = LVCF_TEXT;
                column.pszText = title;
                column.cchTextMax = 32;
                ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(c),
                                         reinterpret_cast<LPARAM>(&column)));
                EXPECT_STREQ(title, titles[c]);
            }
            ASSERT_EQ(ListView_GetItemCount(list), static_cast<int>(kItems.size()));
            for (int row = 0; const check::CheckItem& i : kItems) {
                const std::string detail = i.fix.empty() ? i.detail : i.detail + "\nfix: " + i.fix;
                const std::string expected[] = {check::status_text(i.status), i.item, detail};
                for (int c = 0; c < 3; ++c) {
                    const std::wstring text = test::list_view_text(list, row, c);
                    EXPECT_EQ(ui::to_utf8(text), expected[c]) << "row " << row << " column " << c;
                }
                ++row;
            }

            const Painted shown = paint(list);
            ASSERT_GT(shown.width, 0);
            const std::uint32_t background = rgb_of(ListView_GetBkColor(list));
            TEXTMETRICW metrics{};
            const HDC dc = GetDC(list);
            const HGDIOBJ before =
                SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
            GetTextMetricsW(dc, &metrics);
            SelectObject(dc, before);
            ReleaseDC(list, dc);
            const int status_width = ListView_GetColumnWidth(list, 0);
            const int detail_left = status_width + ListView_GetColumnWidth(list, 1);
            for (int row = 0; const check::CheckItem& i : kItems) {
                SCOPED_TRACE("row " + std::to_string(row) + " " + i.item);
                RECT cell{};
                ASSERT_TRUE(ListView_GetItemRect(list, row, &cell, LVIR_BOUNDS));
                RECT status = cell;
                status.right = cell.left + status_width;
                for (const auto& [s, colour] : colours)
                    if (s == i.status)
                        EXPECT_GT(shown.count(status, colour), 0)
                            << "the status is not drawn in " << hex(colour);
                    else
                        EXPECT_EQ(shown.count(status, colour), 0)
                            << "the status is drawn in " << hex(colour);
                // The finding's lines, one under the other in its column: ink on as many text
                // lines as the long findings need (the path breaks inside its one word).
                RECT detail = cell;
                detail.left = cell.left + detail_left;
                int inked_lines = 0;
                for (int top = detail.top; top + metrics.tmHeight <= detail.bottom;
                     top += metrics.tmHeight) {
                    const RECT line{detail.left, top, detail.right, top + metrics.tmHeight};
                    const int area = (line.right - line.left) * (line.bottom - line.top);
                    inked_lines += shown.count(line, background) < area;
                }
                // The fix on a line of its own; the long finding on two lines or more.
                const int wanted = (i.fix.empty() ? 1 : 2) + (row >= 2 ? 1 : 0);
                EXPECT_GE(inked_lines, wanted) << "the finding is not wrapped in its column";
                ++row;
            }
        }));
    EXPECT_TRUE(looked);
}

// The labels of both pages lie on the tab control's page and show it behind their text, not a
// box of the dialog's grey.
TEST_F(NativeLookTest, theLabelsOnTheTabPageShowThePageBehindTheirText) {
    const HWND tab = item(ui::kTabControl);
    const Painted page = paint(tab);
    ASSERT_GT(page.width, 0);
    for (const ui::ControlTemplate& t : ui::kMainDialog.controls) {
        if (t.kind != ui::ControlKind::label) continue;
        SCOPED_TRACE(std::string(t.text));
        const HWND label = item(t.id);
        RECT place{};
        GetWindowRect(label, &place);
        MapWindowPoints(nullptr, tab, reinterpret_cast<POINT*>(&place), 2);
        const Painted shown = paint(label);
        const RECT all{0, 0, shown.width, shown.height};
        EXPECT_EQ(hex(shown.most_common(all)), hex(page.most_common(place)))
            << "the label's background is not the page's";
    }
}

// After a busy spell (the check's "Checking...") the bar is empty, without its marquee, and
// repainted: neither the style nor the stopped marquee repaints it, so its last marquee block
// would stay on the screen.
TEST_F(NativeLookTest, theProgressBarIsRepaintedEmptyAfterABusySpell) {
    ui::ProgressStrip& strip = *dlg_->progressStrip();
    const HWND bar = strip.bar();
    strip.set_task("Checking...");
    EXPECT_NE(GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE, 0);
    // The marquee moves (and paints) a few times.
    test::pump_for(std::chrono::milliseconds(200), std::chrono::milliseconds(40));
    UpdateWindow(dlg_->hwnd());
    static int paints;
    paints = 0;
    const auto count_paints = [](HWND w, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                 DWORD_PTR) -> LRESULT {
        if (message == WM_PAINT) ++paints;
        return DefSubclassProc(w, message, wparam, lparam);
    };
    ASSERT_TRUE(SetWindowSubclass(bar, count_paints, 1, 0));
    strip.set_task({});
    test::pump_messages();
    RemoveWindowSubclass(bar, count_paints, 1);
    EXPECT_EQ(GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE, 0);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
    EXPECT_GT(paints, 0) << "the bar was not repainted: its last marquee block stays";
}

}  // namespace
