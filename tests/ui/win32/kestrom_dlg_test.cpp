// The native window, driven as a user would drive it: headless under Wine's null graphics
// driver, each test with a registry of its own and with the services off.
// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/kestrom_dlg.h"

#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/event_log.h"
#include "core/progress.h"
#include "core/settings.h"
#include "core/version.h"
#include "registry/settings_store.h"
#include "scratch_registry.h"
#include "test_support.h"
#include "ui/dialog_template.h"
#include "ui/win32/kestrom_app.h"
#include "ui/win32/log_pane.h"
#include "ui/win32/progress_strip.h"
#include "ui/win32/progress_strip.h"
#include "ui/win32/s_tab_ctrl.h"
// clang-format on

namespace {

using ui::CKestromDlg;
using Edit = std::pair<core::Setting, std::string>;

constexpr int kOnEveryPage[] = {ui::kTabControl, ui::kLogPane, ui::kUpdateFirmware, ui::kAbout,
                                ui::kUpdateWebPages};

// Every stored setting by name; a missing one reads as "<missing>".
std::map<std::string, std::string> stored_settings() {
    std::map<std::string, std::string> values;
    for (const core::SettingInfo& info : core::kSettings) {
        char text[core::kSettingTextSize]{};
        (void)registry::read_setting(info.name, "<missing>", text);  // always 0
        values[info.name] = text;
    }
    return values;
}

std::string text_of(HWND window) {
    return ui::window_text(window);
}

// A control's place in the dialog's client area, in pixels.
RECT client_rect_of(HWND dialog, HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

::testing::AssertionResult same_rect(const RECT& actual, const RECT& expected) {
    if (EqualRect(&actual, &expected)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "at (" << actual.left << "," << actual.top << ")-(" << actual.right << ","
           << actual.bottom << "), expected (" << expected.left << "," << expected.top << ")-("
           << expected.right << "," << expected.bottom << ")";
}

// Where the dialog manager puts a template control: its corner and its size each mapped from
// dialog units on their own (so the far edge is not the far edge mapped).
RECT template_place(HWND dialog, const ui::ControlTemplate& t) {
    RECT units{t.x, t.y, t.width, t.height};
    MapDialogRect(dialog, &units);
    return {units.left, units.top, units.left + units.right, units.top + units.bottom};
}

void pump_messages();

// A picture of the window as the screen shows it, as a 32-bit bottom-up BMP file; false when it
// could not be made or written.
bool write_picture(HWND window, const std::filesystem::path& path) {
    RECT r{};
    GetWindowRect(window, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    struct Dc {
        HDC dc = CreateCompatibleDC(nullptr);
        ~Dc() { DeleteDC(dc); }
    } memory;
    void* bits = nullptr;
    struct Bitmap {
        HBITMAP bitmap;
        ~Bitmap() {
            if (bitmap) DeleteObject(bitmap);
        }
    } picture{CreateDIBSection(memory.dc, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                               &bits, nullptr, 0)};
    if (!picture.bitmap) return false;
    const HGDIOBJ before = SelectObject(memory.dc, picture.bitmap);
    // What the window shows on the screen, frame and all, once it has painted.
    UpdateWindow(window);
    pump_messages();
    const HDC shown = GetWindowDC(window);
    const bool drawn = BitBlt(memory.dc, 0, 0, width, height, shown, 0, 0, SRCCOPY);
    ReleaseDC(window, shown);
    GdiFlush();
    SelectObject(memory.dc, before);
    if (!drawn) return false;
    const DWORD image_size = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + image_size;
    std::filesystem::create_directories(path.parent_path());
    std::FILE* out = std::fopen(path.string().c_str(), "wb");
    if (!out) return false;
    const bool written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                         std::fwrite(&header, sizeof header, 1, out) == 1 &&
                         std::fwrite(bits, image_size, 1, out) == 1;
    return std::fclose(out) == 0 && written;
}

// Handles what was posted to this thread's windows, as the message loop would.
void pump_messages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

class KestromDlgTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ui::init_common_controls(); }

    void SetUp() override {
        registry::ensure_settings_key();
        ui::KestromDlgOptions options;
        options.start_services = false;
        options.on_setting_edit = [this](core::Setting s, const std::string& text) {
            edits_.emplace_back(s, text);
        };
        options.report_file_name = [this] { return report_path_; };
        dlg_ = std::make_unique<CKestromDlg>(std::move(options));
        ASSERT_TRUE(dlg_->Create()) << "error " << GetLastError();
        ShowWindow(dlg_->hwnd(), SW_SHOWNOACTIVATE);
    }

    HWND item(int id) const { return dlg_->GetDlgItem(id); }

    void select_tab_as_a_click_does(int page) {
        const HWND tab = item(ui::kTabControl);
        SendMessageW(tab, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
        NMHDR change{tab, static_cast<UINT_PTR>(ui::kTabControl), TCN_SELCHANGE};
        SendMessageW(dlg_->hwnd(), WM_NOTIFY, ui::kTabControl, reinterpret_cast<LPARAM>(&change));
    }

    test::ScratchRegistry registry_;
    test::TempDir temp_;
    std::string report_path_;
    std::vector<Edit> edits_;
    std::unique_ptr<CKestromDlg> dlg_;
};

TEST_F(KestromDlgTest, everyControlOfTheTemplateIsThereWithItsClassTextPlaceAndTabOrder) {
    const HWND dlg = dlg_->hwnd();
    struct Native {
        ui::ControlKind kind;
        const wchar_t* window_class;
    };
    constexpr Native kClasses[] = {
        {ui::ControlKind::tab_control, WC_TABCONTROLW},
        {ui::ControlKind::log_pane, L"Edit"},
        {ui::ControlKind::push_button, L"Button"},
        {ui::ControlKind::edit, L"Edit"},
        {ui::ControlKind::label, L"Static"},
    };
    HWND child = GetWindow(dlg, GW_CHILD);
    for (const ui::ControlTemplate& t : ui::kMainDialog.controls) {
        SCOPED_TRACE("control " + std::to_string(t.id));
        const HWND control = item(t.id);
        ASSERT_NE(control, nullptr);
        // The children's order is the template's, and with it the keyboard's tab order.
        EXPECT_EQ(child, control);
        child = GetWindow(child, GW_HWNDNEXT);
        wchar_t window_class[64]{};
        GetClassNameW(control, window_class, 64);
        for (const Native& n : kClasses)
            if (n.kind == t.kind) {
                EXPECT_EQ(lstrcmpiW(window_class, n.window_class), 0);
            }
        if (!t.text.empty()) {
            EXPECT_EQ(text_of(control), t.text);
        }
        EXPECT_TRUE(same_rect(client_rect_of(dlg, control), template_place(dlg, t)));
        const LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE);
        EXPECT_EQ((style & WS_TABSTOP) != 0, (t.style & ui::kTabStop) != 0);
        if (t.kind == ui::ControlKind::push_button) {
            EXPECT_EQ((style & 0x0F) == BS_DEFPUSHBUTTON, (t.style & ui::kDefaultButton) != 0);
        }
    }
    // Then the progress strip, below the template; the window is taller by the strip alone.
    for (const int id : {CKestromDlg::kProgressText, CKestromDlg::kProgressBar}) {
        SCOPED_TRACE("strip control " + std::to_string(id));
        EXPECT_EQ(child, item(id));
        child = GetWindow(child, GW_HWNDNEXT);
        RECT template_bottom{0, 0, 1, ui::kMainDialog.height};
        MapDialogRect(dlg, &template_bottom);
        EXPECT_GE(client_rect_of(dlg, item(id)).top, template_bottom.bottom);
    }
    EXPECT_EQ(child, nullptr);
    RECT expected{0, 0, ui::kMainDialog.width, ui::kMainDialog.height + ui::ProgressStrip::kHeight};
    MapDialogRect(dlg, &expected);
    RECT client{};
    GetClientRect(dlg, &client);
    EXPECT_TRUE(same_rect(client, expected));
    EXPECT_EQ(text_of(dlg), "kestrom");
    // With a display (Xvfb) instead of the null driver: pictures of both pages, for the README
    // (BMP: Windows has no PNG writer of its own).
    if (const char* dir = std::getenv("KESTROM_SCREENSHOT_DIR")) {
        EXPECT_TRUE(write_picture(dlg, std::filesystem::path(dir) / "window.bmp"));
        select_tab_as_a_click_does(1);
        EXPECT_TRUE(write_picture(dlg, std::filesystem::path(dir) / "window-dhcp.bmp"));
    }
}

TEST_F(KestromDlgTest, aKeystrokeIsOneEditOfItsOwnSettingAndShowingTheTextsIsNone) {
    EXPECT_TRUE(edits_.empty()) << "loading the fields is not an edit";
    for (const core::SettingInfo& info : core::kSettings) {
        SCOPED_TRACE(info.name);
        edits_.clear();
        const std::map<std::string, std::string> before = stored_settings();
        const HWND field = item(info.control_id);
        const std::string typed = text_of(field) + "7";
        const int end = GetWindowTextLengthW(field);
        SendMessageW(field, EM_SETSEL, static_cast<WPARAM>(end), end);
        SendMessageW(field, WM_CHAR, L'7', 1);
        EXPECT_EQ(edits_, (std::vector<Edit>{{info.setting, typed}}));
        std::map<std::string, std::string> expected = before;
        expected[info.name] = info.setting == core::Setting::Zorva_TFTP_TCP_PORT
                                  ? std::to_string(core::decimal_value(typed))
                                  : typed;
        EXPECT_EQ(stored_settings(), expected);
    }

    // The program showing new texts: every field changes, nothing is an edit or stored.
    edits_.clear();
    const std::map<std::string, std::string> before = stored_settings();
    for (const core::SettingInfo& info : core::kSettings)
        dlg_->set_field_text(info.setting,
                             std::string("10.0.0.") + std::to_string(info.control_id));
    dlg_->show_field_texts();
    for (const core::SettingInfo& info : core::kSettings)
        EXPECT_EQ(text_of(item(info.control_id)), "10.0.0." + std::to_string(info.control_id));
    EXPECT_TRUE(edits_.empty());
    EXPECT_EQ(stored_settings(), before);
}

TEST_F(KestromDlgTest, switchingTabsShowsOnePagesControlsAndHidesTheOthers) {
    struct Case {
        const char* what;
        int page;  // -1: as the window opens
        std::span<const int> shown, hidden;
    };
    const Case cases[] = {
        {"as it opens", -1, ui::kFirmwareWebPageControls, ui::kDhcpSetupPageControls},
        {"DHCP Setup", 1, ui::kDhcpSetupPageControls, ui::kFirmwareWebPageControls},
        {"back", 0, ui::kFirmwareWebPageControls, ui::kDhcpSetupPageControls},
        {"DHCP Setup again", 1, ui::kDhcpSetupPageControls, ui::kFirmwareWebPageControls},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.page >= 0) select_tab_as_a_click_does(c.page);
        EXPECT_EQ(dlg_->tabs()->currentPage(), c.page < 0 ? 0 : c.page);
        for (const int id : c.shown) EXPECT_TRUE(IsWindowVisible(item(id))) << id;
        for (const int id : c.hidden) EXPECT_FALSE(IsWindowVisible(item(id))) << id;
        for (const int id : kOnEveryPage) EXPECT_TRUE(IsWindowVisible(item(id))) << id;
    }
    EXPECT_TRUE(edits_.empty()) << "switching pages is not an edit";
}

TEST_F(KestromDlgTest, theLogPaneGetsEveryLineOfFourThreadsInTheirOrder) {
    constexpr int kThreads = 4, kLines = 600;
    {
        std::vector<std::jthread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < kLines; ++i)
                    (void)core::log_printf("thread %d line %d\n", t, i);
            });
    }
    pump_messages();
    // The pane shows "\r\n" line ends; each thread's lines follow each other, none lost.
    const std::string pane = text_of(item(ui::kLogPane));
    int next[kThreads]{};
    int lines = 0;
    for (std::size_t at = 0; at < pane.size();) {
        const std::size_t end = pane.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "an unfinished last line";
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(pane.substr(at, end - at).c_str(), "thread %d line %d", &t, &i), 2)
            << pane.substr(at, end - at);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++) << "thread " << t;
        ++lines;
        at = end + 2;
    }
    EXPECT_EQ(lines, kThreads * kLines);

    // Emptied with what is still queued; text after that comes on its own.
    (void)core::log_printf("dropped\n");
    dlg_->clear_log();
    (void)core::log_printf("after\n");
    pump_messages();
    EXPECT_EQ(text_of(item(ui::kLogPane)), "after\r\n");
}

TEST_F(KestromDlgTest, theSystemMenuHasAboutCheckAndSaveReportAndTheReportIsSaved) {
    const HMENU menu = GetSystemMenu(dlg_->hwnd(), FALSE);
    ASSERT_NE(menu, nullptr);
    const int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 4);
    EXPECT_EQ(GetMenuState(menu, static_cast<UINT>(count - 4), MF_BYPOSITION) & MF_SEPARATOR,
              static_cast<UINT>(MF_SEPARATOR));
    const std::pair<UINT, std::wstring> entries[] = {
        {CKestromDlg::kAboutCommand, L"&About kestrom..."},
        {CKestromDlg::kCheckCommand, L"Check setup..."},
        {CKestromDlg::kSaveReportCommand, L"Save load report..."},
    };
    for (int i = 0; const auto& [id, text] : entries) {
        const int position = count - 3 + i++;
        EXPECT_EQ(GetMenuItemID(menu, position), id);
        wchar_t shown[64]{};
        GetMenuStringW(menu, static_cast<UINT>(position), shown, 64, MF_BYPOSITION);
        EXPECT_EQ(shown, text);
    }

    // "Save load report..." writes the report kept since the window opened.
    report_path_ = (temp_ / "kestrom-report.jsonl").string();
    SendMessageW(dlg_->hwnd(), WM_SYSCOMMAND, CKestromDlg::kSaveReportCommand, 0);
    EXPECT_TRUE(std::filesystem::exists(report_path_));
}

TEST_F(KestromDlgTest, theAboutBoxOpensModallyFromTheButtonAndTheSystemMenu) {
    struct Seen {
        std::string caption, version;
        bool over_the_window = false;
    };
    static Seen seen;  // the timer procedure has no context of its own
    static HWND owner;
    owner = dlg_->hwnd();
    const std::pair<const char*, std::function<void()>> ways[] = {
        {"button",
         [&] {
             SendMessageW(owner, WM_COMMAND, MAKEWPARAM(ui::kAbout, BN_CLICKED),
                          reinterpret_cast<LPARAM>(item(ui::kAbout)));
         }},
        {"system menu", [&] { SendMessageW(owner, WM_SYSCOMMAND, CKestromDlg::kAboutCommand, 0); }},
    };
    for (const auto& [what, open] : ways) {
        SCOPED_TRACE(what);
        seen = {};
        // Runs in the box's modal loop: notes what the box shows, then presses its OK.
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR, DWORD) {
            EnumThreadWindows(
                GetCurrentThreadId(),
                [](HWND w, LPARAM) -> BOOL {
                    if (w == owner || !IsWindowVisible(w)) return TRUE;
                    seen.caption = ui::window_text(w);
                    seen.version = ui::window_text(GetDlgItem(w, ui::kAboutVersion));
                    seen.over_the_window =
                        GetWindow(w, GW_OWNER) == owner && !IsWindowEnabled(owner);
                    PostMessageW(w, WM_COMMAND, IDOK, 0);
                    return FALSE;
                },
                0);
        });
        open();  // returns when the box has closed
        KillTimer(nullptr, timer);
        EXPECT_EQ(seen.caption, "About...");
        EXPECT_EQ(seen.version, "kestrom Version " KESTROM_VERSION);
        EXPECT_TRUE(seen.over_the_window);
        EXPECT_TRUE(IsWindowEnabled(owner));
    }
}

// The strip follows the board on the window's timer: a running transfer with its percentage,
// then, idle, how it ended.
TEST_F(KestromDlgTest, theStripShowsTheNewestActivityAndThenHowItEnded) {
    const auto read =
        core::progress_board().begin(core::ActivityKind::tftp_read, "192.168.1.50 zorva.bin");
    read->set_total(1000);
    read->set_done(420);
    const HWND text = dlg_->progressStrip()->text_line();
    const auto shows = [&](std::string_view wanted) {
        for (int i = 0; i < 50; ++i) {
            dlg_->progressStrip()->poll();
            if (text_of(text).rfind(wanted, 0) == 0) return true;
            Sleep(20);
        }
        return false;
    };
    EXPECT_TRUE(shows("192.168.1.50 zorva.bin 42 %")) << text_of(text);
    EXPECT_EQ(42, SendMessageW(dlg_->progressStrip()->bar(), PBM_GETPOS, 0, 0));
    read->finish(true, "served (1000 bytes)");
    EXPECT_TRUE(shows("192.168.1.50 zorva.bin: served (1000 bytes)")) << text_of(text);
}

}  // namespace
