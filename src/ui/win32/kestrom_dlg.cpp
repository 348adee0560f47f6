// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/kestrom_dlg.h"

#include <windows.h>
#include <windowsx.h>
#include <commctrl.h>
#include <commdlg.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/event_log.h"
#include "core/load_report.h"
#include "platform/desktop.h"
#include "ui/win32/about_dialog.h"
#include "ui/win32/check_dialog.h"
#include "ui/win32/load_dialog.h"
#include "ui/win32/log_pane.h"
#include "ui/win32/memory_template.h"
#include "ui/win32/progress_strip.h"
#include "ui/win32/s_tab_ctrl.h"
// clang-format on

namespace ui {
namespace {

// Posted by the check's worker when its items are ready (kLogFlushMessage is WM_APP + 1).
constexpr UINT kCheckDoneMessage = WM_APP + 2;
constexpr UINT_PTR kProgressTimer = 1;

std::size_t index_of(core::Setting s) {
    return static_cast<std::size_t>(s);
}

// The entries of the system menu (after its own) and of the right-click menu, in their order.
struct MenuEntry {
    unsigned command;
    const wchar_t* text;
};
constexpr MenuEntry kMenuEntries[] = {
    {CKestromDlg::kAboutCommand, L"&About kestrom..."},
    {CKestromDlg::kCheckCommand, L"Check setup..."},
    {CKestromDlg::kSaveReportCommand, L"Save load report..."},
    {CKestromDlg::kOpenFolderCommand, L"Open load folder"},
    {CKestromDlg::kLoadCommand, L"Load controllers..."},
};

// The load folder: the current one, where zorva.bin, kestrom.ini and www\ are read.
std::filesystem::path load_folder() {
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::current_path(ec);
    return ec ? std::filesystem::path(".") : folder;
}

// Template 102 and, below it, the progress strip; the template's controls keep their places.
MemoryTemplate main_template() {
    MemoryTemplate t(
        kMainDialog.caption,
        WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_CENTER,
        kMainDialog.width, kMainDialog.height + ProgressStrip::kHeight);
    t.add_controls(kMainDialog);
    // The template's margins: 7 units at the sides and below, as around the log pane.
    const int top = kMainDialog.height, width = kMainDialog.width - 14;
    t.add_control(CKestromDlg::kProgressText, {0x0082, {}}, "",
                  WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 0, 7, top, width,
                  8);
    t.add_control(CKestromDlg::kProgressBar, {0, PROGRESS_CLASSW}, "", WS_CHILD | WS_VISIBLE, 0, 7,
                  top + 10, width, 9);
    return t;
}

}  // namespace

void CKestromDlg::WindowDestroyer::operator()(HWND window) const {
    // The window may have gone already with its owner.
    if (IsWindow(window)) DestroyWindow(window);
}

CKestromDlg::CKestromDlg(KestromDlgOptions options) : options_(std::move(options)) {}

CKestromDlg::~CKestromDlg() {
    window_.reset();
    on_destroy();  // a window that failed half-way still leaves nothing running
}

void CKestromDlg::DoModal(Hwnd owner) {
    const MemoryTemplate t = main_template();
    modal_ = true;
    (void)DialogBoxIndirectParamW(GetModuleHandleW(nullptr), static_cast<LPCDLGTEMPLATEW>(t.data()),
                                  owner, &CKestromDlg::dialog_procedure,
                                  reinterpret_cast<LPARAM>(this));  // how it ended changes nothing
}

bool CKestromDlg::Create(Hwnd owner) {
    const MemoryTemplate t = main_template();
    modal_ = false;
    window_.reset(CreateDialogIndirectParamW(
        GetModuleHandleW(nullptr), static_cast<LPCDLGTEMPLATEW>(t.data()), owner,
        &CKestromDlg::dialog_procedure, reinterpret_cast<LPARAM>(this)));
    return window_ != nullptr;
}

HWND CKestromDlg::GetDlgItem(int id) const {
    return hwnd_ ? ::GetDlgItem(hwnd_, id) : nullptr;
}

INT_PTR CKestromDlg::dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CKestromDlg*>(lparam);
        SetWindowLongPtrW(window, DWLP_USER, lparam);
        self->on_init_dialog(window);
        return TRUE;  // the focus goes to the first control that takes it
    }
    // Nothing before WM_INITDIALOG (the font, the controls being made) is the window's concern.
    auto* self = reinterpret_cast<CKestromDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    // The labels on the tab control's page are drawn on the page, not in boxes of the dialog's
    // grey; the brush is the answer itself, not TRUE.
    if (self && self->tabs_) {
        if (message == WM_CTLCOLORSTATIC)
            if (const HBRUSH page = self->tabs_->page_brush(reinterpret_cast<HWND>(lparam),
                                                            reinterpret_cast<HDC>(wparam)))
                return reinterpret_cast<INT_PTR>(page);
        if (message == WM_THEMECHANGED || message == WM_SYSCOLORCHANGE)
            self->tabs_->forget_page_brush();
    }
    return self && self->on_message(message, wparam, lparam) ? TRUE : FALSE;
}

bool CKestromDlg::on_message(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    switch (message) {
        case WM_COMMAND:
            on_command(LOWORD(wparam), HIWORD(wparam));
            return true;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lparam);
            if (header->idFrom != kTabControl || header->code != TCN_SELCHANGE) return false;
            tabs_->OnSelChange();
            return true;
        }
        case WM_SYSCOMMAND:
            // The system's own entries go on to the system.
            return run_menu_command(static_cast<unsigned>(wparam & 0xFFF0));
        case WM_CONTEXTMENU:
            // Edit fields and the log pane show their own (cut, copy, paste); every other place
            // in the window passes the click on to here.
            show_context_menu(GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam));
            return true;
        case WM_TIMER:
            if (wparam != kProgressTimer) return false;
            progress_strip_->poll();
            return true;
        case kLogFlushMessage:
            if (log_pane_) log_pane_->flush();
            return true;
        case kCheckDoneMessage:
            on_check_done();
            return true;
        case WM_DESTROY:
            on_destroy();
            return false;
        case WM_NCDESTROY:
            hwnd_ = nullptr;
            return false;
    }
    return false;
}

void CKestromDlg::on_init_dialog(HWND window) {
    hwnd_ = window;
    // 1. The controls of the template, filled from the still empty texts.
    for (const core::SettingInfo& info : core::kSettings)
        fields_[index_of(info.setting)] = GetDlgItem(info.control_id);
    tabs_ = std::make_unique<CSTabCtrl>(GetDlgItem(kTabControl));
    log_pane_ = std::make_unique<LogPane>(window, GetDlgItem(kLogPane));
    progress_strip_ =
        std::make_unique<ProgressStrip>(GetDlgItem(kProgressText), GetDlgItem(kProgressBar));
    // While nothing has run, the strip says where the files are read.
    const std::u8string folder = load_folder().make_preferred().u8string();
    progress_strip_->set_idle_text("Load folder: " + std::string(folder.begin(), folder.end()));
    SetTimer(window, kProgressTimer, static_cast<UINT>(ProgressStrip::kPollInterval.count()),
             nullptr);
    show_field_texts();
    // 2. From here on log text reaches the pane.
    core::set_log_sink(log_pane_->sink());
    // 3. The system menu's entries and the icons.
    create_system_menu();
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (const HICON big = LoadIconW(instance, MAKEINTRESOURCEW(1)))
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    if (const auto small = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                         GetSystemMetrics(SM_CXSMICON),
                                                         GetSystemMetrics(SM_CYSMICON), LR_SHARED)))
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    // 4. The settings.
    driver_ = std::make_unique<driver::Driver>(*this, options_.driver);
    driver_->load_settings();
    // 5. The tab pages.
    set_up_tab_pages();
    // 6. Everything loaded from here on goes into the report that "Save load report..." writes.
    core::keep_report_in_memory();
    // 7. The services.
    if (options_.start_services) driver_->start_services();
}

void CKestromDlg::on_command(int id, int code) {
    if (code == EN_CHANGE) {
        // Setting a field's text sends EN_CHANGE too; only the user's changes (keystroke, cut,
        // paste, undo) are edits.
        const core::SettingInfo* info = core::find_setting_by_control(id);
        if (!info || showing_texts_ || !driver_) return;
        const std::string value = window_text(GetDlgItem(id));
        driver_->apply_setting_edit(info->setting, value);
        if (options_.on_setting_edit) options_.on_setting_edit(info->setting, value);
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
        case kUpdateFirmware:  // also Enter: the default button
            driver_->start_firmware_update();
            break;
        case kUpdateWebPages:
            driver_->start_web_pages_update();
            break;
        case kAbout:
            ShowAbout();
            break;
        case IDCANCEL:                                              // Escape and the close box
            if (driver::load_running() && !confirm_close()) break;  // the window and load go on
            if (modal_)
                EndDialog(hwnd_, IDCANCEL);
            else
                window_.reset();
            break;
    }
}

bool CKestromDlg::confirm_close() {
    if (options_.confirm_close) return options_.confirm_close(kStopLoadQuestion);
    return MessageBoxW(hwnd_, to_wide(kStopLoadQuestion).c_str(), L"kestrom",
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void CKestromDlg::on_destroy() {
    if (hwnd_) KillTimer(hwnd_, kProgressTimer);
    // Workers may still log; from now on their text is dropped, not sent to a pane that goes.
    if (log_pane_) {
        core::set_log_sink(nullptr);
        log_pane_.reset();  // detaches the sink
    }
    driver_.reset();
}

void CKestromDlg::create_system_menu() {
    const HMENU menu = GetSystemMenu(hwnd_, FALSE);
    if (!menu) return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    for (const MenuEntry& entry : kMenuEntries)
        AppendMenuW(menu, MF_STRING, entry.command, entry.text);
}

bool CKestromDlg::run_menu_command(unsigned command) {
    switch (command) {
        case kAboutCommand:
            ShowAbout();
            return true;
        case kCheckCommand:
            CheckSetup();
            return true;
        case kSaveReportCommand:
            SaveLoadReport();
            return true;
        case kOpenFolderCommand:
            OpenLoadFolder();
            return true;
        case kLoadCommand:
            LoadControllers();
            return true;
    }
    return false;
}

void CKestromDlg::show_context_menu(int x, int y) {
    if (x == -1 && y == -1) {
        POINT corner{0, 0};
        ClientToScreen(hwnd_, &corner);
        x = corner.x;
        y = corner.y;
    }
    const HMENU menu = CreatePopupMenu();
    if (!menu) return;
    for (const MenuEntry& entry : kMenuEntries) {
        // One check at a time, as in the system menu.
        const bool greyed = entry.command == kCheckCommand && check_runner_.running();
        AppendMenuW(menu, MF_STRING | (greyed ? MF_GRAYED : 0), entry.command, entry.text);
    }
    const int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, x, y, 0,
                                      hwnd_, nullptr);
    DestroyMenu(menu);
    if (chosen != 0) (void)run_menu_command(static_cast<unsigned>(chosen));  // all are ours
}

void CKestromDlg::set_up_tab_pages() {
    (void)tabs_->InsertItem(0, "Firmware/Web Update");
    (void)tabs_->InsertItem(1, "DHCP Setup");
    for (const int id : kDhcpSetupPageControls) (void)tabs_->AddControlToPage(GetDlgItem(id), 1);
    for (const int id : kFirmwareWebPageControls) (void)tabs_->AddControlToPage(GetDlgItem(id), 0);
    (void)tabs_->SelectPage(0);  // the window opens on "Firmware/Web Update"
}

void CKestromDlg::take_field_texts() {
    for (const core::SettingInfo& info : core::kSettings)
        set_field_text(info.setting, window_text(fields_[index_of(info.setting)]));
}

void CKestromDlg::show_field_texts() {
    const bool was_showing = std::exchange(showing_texts_, true);
    for (const core::SettingInfo& info : core::kSettings) {
        const std::string text = field_text(info.setting);
        const HWND field = fields_[index_of(info.setting)];
        // Leaving equal texts alone keeps the caret where the user left it.
        if (window_text(field) != text) SetWindowTextW(field, to_wide(text).c_str());
    }
    showing_texts_ = was_showing;
}

void CKestromDlg::clear_log() {
    log_pane_->clear();
    show_field_texts();
}

void CKestromDlg::ShowAbout() {
    show_about_box(hwnd_);
}

void CKestromDlg::CheckSetup() {
    // The worker posts to the window as it is now; the post fails when the window has gone.
    const bool started =
        check_runner_.start([window = hwnd_] { PostMessageW(window, kCheckDoneMessage, 0, 0); });
    if (!started) return;  // one check at a time
    EnableMenuItem(GetSystemMenu(hwnd_, FALSE), kCheckCommand, MF_BYCOMMAND | MF_GRAYED);
    progress_strip_->set_task("Checking...");
}

void CKestromDlg::on_check_done() {
    const std::optional<std::vector<check::CheckItem>> items = check_runner_.take();
    progress_strip_->set_task({});
    EnableMenuItem(GetSystemMenu(hwnd_, FALSE), kCheckCommand, MF_BYCOMMAND | MF_ENABLED);
    if (items) show_check_results(hwnd_, *items);
}

void CKestromDlg::LoadControllers() {
    LoadDialog box(options_.driver.tftp_directory, options_.confirm_close);
    box.DoModal(hwnd_);  // a load still running when it closes was stopped there
}

void CKestromDlg::OpenLoadFolder() {
    const std::filesystem::path folder = load_folder();
    if (options_.open_folder) {
        options_.open_folder(folder);
        return;
    }
    if (!platform::open_folder(folder))
        MessageBoxW(hwnd_, (L"Explorer could not be started for " + folder.wstring()).c_str(),
                    L"Open load folder", MB_OK | MB_ICONWARNING);
}

void CKestromDlg::SaveLoadReport() {
    std::string path;
    if (options_.report_file_name) {
        path = options_.report_file_name();
    } else {
        char file[MAX_PATH] = "kestrom-report.jsonl";
        OPENFILENAMEA dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = hwnd_;
        dialog.lpstrFilter = "JSON Lines (*.jsonl)\0*.jsonl\0All files (*.*)\0*.*\0";
        dialog.lpstrFile = file;
        dialog.nMaxFile = MAX_PATH;
        dialog.lpstrTitle = "Save load report";
        dialog.lpstrDefExt = "jsonl";
        dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
        if (GetSaveFileNameA(&dialog)) path = file;
    }
    if (path.empty()) return;  // cancelled
    std::string error;
    if (!core::save_report(path, &error))
        MessageBoxW(hwnd_, to_wide(error).c_str(), L"Save load report", MB_OK | MB_ICONWARNING);
}

}  // namespace ui
