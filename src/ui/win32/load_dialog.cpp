// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/load_dialog.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ui/win32/dialog_place.h"
#include "ui/win32/memory_template.h"
// clang-format on

namespace ui {
namespace {

// Posted by the load's threads when a row has changed.
constexpr UINT kLoadChangedMessage = WM_APP + 3;

constexpr TemplateClass kButton{0x0080, {}}, kEdit{0x0081, {}}, kStatic{0x0082, {}},
    kList{0, WC_LISTVIEWW}, kSpin{0, UPDOWN_CLASSW};

// An edit control breaks lines at CR LF only.
std::string with_crlf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\r') continue;
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

MemoryTemplate load_template() {
    // About the size of the Qt box.
    MemoryTemplate t("Load controllers", WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, 420,
                     300);
    constexpr std::uint32_t kChild = WS_CHILD | WS_VISIBLE, kTab = kChild | WS_TABSTOP;
    t.add_control(LoadDialog::kListLabel, kStatic,
                  "Controllers, one address or range per line (# starts a comment):",
                  kChild | SS_LEFT | SS_NOPREFIX, 0, 7, 7, 406, 8);
    t.add_control(LoadDialog::kListEdit, kEdit, "",
                  kTab | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL,
                  WS_EX_CLIENTEDGE, 7, 17, 406, 70);
    t.add_control(LoadDialog::kOpenButton, kButton, "Open...", kTab | BS_PUSHBUTTON, 0, 7, 92, 50,
                  14);
    t.add_control(LoadDialog::kParallelLabel, kStatic, "Parallel", kChild | SS_LEFT, 0, 66, 95, 30,
                  8);
    t.add_control(LoadDialog::kParallelEdit, kEdit, "4", kTab | ES_NUMBER | ES_LEFT,
                  WS_EX_CLIENTEDGE, 98, 92, 34, 14);
    // Made right after its edit, which it takes as its buddy.
    t.add_control(
        LoadDialog::kParallelSpin, kSpin, "",
        kChild | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_NOTHOUSANDS,
        0, 0, 0, 0, 0);
    t.add_control(LoadDialog::kWebCheck, kButton, "Web pages too", kTab | BS_AUTOCHECKBOX, 0, 142,
                  94, 80, 10);
    t.add_control(LoadDialog::kStartButton, kButton, "Start", kTab | BS_DEFPUSHBUTTON, 0, 309, 92,
                  50, 14);
    t.add_control(LoadDialog::kStopButton, kButton, "Stop", kTab | BS_PUSHBUTTON, 0, 363, 92, 50,
                  14);
    t.add_control(LoadDialog::kRowsList, kList, "",
                  kTab | LVS_REPORT | LVS_NOSORTHEADER | LVS_SINGLESEL, WS_EX_CLIENTEDGE, 7, 112,
                  406, 110);
    t.add_control(LoadDialog::kSummaryEdit, kEdit, "",
                  kTab | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_HSCROLL,
                  WS_EX_CLIENTEDGE, 7, 226, 406, 48);
    t.add_control(IDCANCEL, kButton, "Close", kTab | BS_PUSHBUTTON, 0, 363, 279, 50, 14);
    return t;
}

}  // namespace

void LoadDialog::WindowDestroyer::operator()(HWND window) const {
    // The box may have gone already with its owner.
    if (IsWindow(window)) DestroyWindow(window);
}

void LoadDialog::FontDeleter::operator()(HFONT font) const {
    DeleteObject(font);
}

LoadDialog::LoadDialog(std::string tftp_directory,
                       std::function<bool(const std::string&)> confirm_close)
    : confirm_close_(std::move(confirm_close)), runner_(std::move(tftp_directory)) {}

LoadDialog::~LoadDialog() {
    window_.reset();
}

void LoadDialog::DoModal(Hwnd owner) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES | ICC_UPDOWN_CLASS};
    (void)InitCommonControlsEx(&classes);  // without it the box can't be made and shows nothing
    const MemoryTemplate t = load_template();
    modal_ = true;
    (void)DialogBoxIndirectParamW(GetModuleHandleW(nullptr), static_cast<LPCDLGTEMPLATEW>(t.data()),
                                  owner, &LoadDialog::dialog_procedure,
                                  reinterpret_cast<LPARAM>(this));  // how it ended changes nothing
}

bool LoadDialog::Create(Hwnd owner) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES | ICC_UPDOWN_CLASS};
    (void)InitCommonControlsEx(&classes);
    const MemoryTemplate t = load_template();
    modal_ = false;
    window_.reset(CreateDialogIndirectParamW(
        GetModuleHandleW(nullptr), static_cast<LPCDLGTEMPLATEW>(t.data()), owner,
        &LoadDialog::dialog_procedure, reinterpret_cast<LPARAM>(this)));
    return window_ != nullptr;
}

HWND LoadDialog::GetDlgItem(int id) const {
    return hwnd_ ? ::GetDlgItem(hwnd_, id) : nullptr;
}

INT_PTR LoadDialog::dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<LoadDialog*>(lparam);
        SetWindowLongPtrW(window, DWLP_USER, lparam);
        self->on_init_dialog(window);
        return FALSE;  // the focus is set
    }
    auto* self = reinterpret_cast<LoadDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    return self && self->on_message(message, wparam, lparam) ? TRUE : FALSE;
}

bool LoadDialog::on_message(unsigned message, std::uintptr_t wparam, std::intptr_t) {
    switch (message) {
        case WM_COMMAND:
            on_command(LOWORD(wparam), HIWORD(wparam));
            return true;
        case kLoadChangedMessage:
            refresh();
            return true;
        case WM_NCDESTROY:
            hwnd_ = nullptr;
            return false;
    }
    return false;
}

void LoadDialog::on_init_dialog(HWND window) {
    hwnd_ = window;
    SendMessageW(GetDlgItem(kParallelSpin), UDM_SETRANGE32, 1, 256);  // as --parallel takes it
    SendMessageW(GetDlgItem(kParallelSpin), UDM_SETPOS32, 0, 4);

    const HWND list = GetDlgItem(kRowsList);
    constexpr const wchar_t* kTitles[kColumns] = {L"Address", L"Step", L"Progress", L"Verdict"};
    RECT widths{70, 80, 40, 0};  // dialog units; the verdict takes the rest
    MapDialogRect(window, &widths);
    RECT client{};
    GetClientRect(list, &client);
    const int column_widths[kColumns] = {
        static_cast<int>(widths.left), static_cast<int>(widths.top), static_cast<int>(widths.right),
        static_cast<int>(client.right - widths.left - widths.top - widths.right) -
            GetSystemMetrics(SM_CXVSCROLL)};
    for (int c = 0; c < kColumns; ++c) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_SUBITEM | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(kTitles[c]);
        column.iSubItem = c;
        column.cx = column_widths[c];
        (void)ListView_InsertColumn(list, c, &column);
    }

    // The summary in a fixed-pitch font of the box's height.
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)), sizeof font, &font);
    font.lfWeight = FW_NORMAL;
    font.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    lstrcpynW(font.lfFaceName, L"Courier New", LF_FACESIZE);
    fixed_font_.reset(CreateFontIndirectW(&font));
    if (fixed_font_)
        SendMessageW(GetDlgItem(kSummaryEdit), WM_SETFONT,
                     reinterpret_cast<WPARAM>(fixed_font_.get()), FALSE);

    show_running(false);
    centre_on_owner(window);
    SetFocus(GetDlgItem(kListEdit));
}

void LoadDialog::on_command(int id, int code) {
    if (code != BN_CLICKED) return;
    switch (id) {
        case kStartButton:  // also Enter: the default button
            start_load();
            break;
        case kStopButton:
            runner_.stop();
            // Asked once; the rows show the controllers still followed.
            EnableWindow(GetDlgItem(kStopButton), FALSE);
            break;
        case kOpenButton:
            open_list();
            break;
        case IDCANCEL:  // Escape, Close and the close box
            close();
            break;
    }
}

void LoadDialog::close() {
    if (runner_.running()) {
        const bool stop =
            confirm_close_
                ? confirm_close_(kStopSiteLoadQuestion)
                : MessageBoxW(hwnd_, to_wide(kStopSiteLoadQuestion).c_str(), L"Load controllers",
                              MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
        if (!stop) return;  // the box and its load go on
        runner_.stop();
    }
    if (modal_)
        EndDialog(hwnd_, IDCANCEL);
    else
        window_.reset();
}

void LoadDialog::start_load() {
    BOOL number = FALSE;
    const UINT parallel = GetDlgItemInt(hwnd_, kParallelEdit, &number, FALSE);
    // The load's threads post to the box as it is now; the post fails when it has gone.
    const std::vector<load::Refusal> refusals =
        runner_.start(window_text(GetDlgItem(kListEdit)), number ? parallel : 0,
                      IsDlgButtonChecked(hwnd_, kWebCheck) == BST_CHECKED, {},
                      [window = hwnd_] { PostMessageW(window, kLoadChangedMessage, 0, 0); });
    if (!refusals.empty()) {
        std::string text = "Not started:";
        for (const load::Refusal& r : refusals) text += "\n" + r.problem + "\n  fix: " + r.fix;
        set_summary(text);
        return;
    }
    set_summary({});
    show_running(true);
    refresh();  // the rows, before the first step ends
}

void LoadDialog::open_list() {
    wchar_t file[MAX_PATH] = L"";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = hwnd_;
    dialog.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = L"Open controller list";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&dialog)) return;  // cancelled
    std::ifstream in(std::filesystem::path(file), std::ios::binary);
    if (!in) {
        MessageBoxW(hwnd_, (std::wstring(L"Can't read ") + file).c_str(), L"Open controller list",
                    MB_OK | MB_ICONWARNING);
        return;
    }
    std::ostringstream text;
    text << in.rdbuf();
    SetDlgItemTextW(hwnd_, kListEdit, to_wide(with_crlf(text.str())).c_str());
}

void LoadDialog::refresh() {
    const LoadSnapshot snapshot = runner_.take();
    const HWND list = GetDlgItem(kRowsList);
    const int rows = static_cast<int>(snapshot.rows.size());
    if (rows != rows_shown_) {
        (void)ListView_DeleteAllItems(list);
        for (int row = 0; row < rows; ++row) {
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.iItem = row;
            item.pszText = const_cast<wchar_t*>(L"");
            (void)ListView_InsertItem(list, &item);
        }
        rows_shown_ = rows;
    }
    for (int row = 0; const LoadRow& r : snapshot.rows) {
        const std::string progress = r.progress > 0 ? std::to_string(r.progress) + " %" : "";
        const std::string* cells[kColumns] = {&r.address, &r.step, &progress, &r.verdict};
        for (int c = 0; c < kColumns; ++c) {
            std::wstring text = to_wide(*cells[c]);
            wchar_t shown[512]{};
            ListView_GetItemText(list, row, c, shown, 512);
            if (text != shown) ListView_SetItemText(list, row, c, text.data());
        }
        ++row;
    }
    if (!snapshot.ended) return;
    set_summary(snapshot.summary);
    show_running(false);
}

void LoadDialog::show_running(bool running) {
    SendMessageW(GetDlgItem(kListEdit), EM_SETREADONLY, running ? TRUE : FALSE, 0);
    for (const int id : {kOpenButton, kParallelEdit, kParallelSpin, kWebCheck, kStartButton})
        EnableWindow(GetDlgItem(id), running ? FALSE : TRUE);
    EnableWindow(GetDlgItem(kStopButton), running ? TRUE : FALSE);
}

void LoadDialog::set_summary(const std::string& text) {
    SetDlgItemTextW(hwnd_, kSummaryEdit, to_wide(with_crlf(text)).c_str());
}

}  // namespace ui
