#include "ui/win32/check_dialog.h"

#include <windows.h>

#include "ui/win32/memory_template.h"

namespace ui {
namespace {

enum : int { kResultsEdit = 100, kSummaryLabel = 101 };

struct Results {
    std::wstring text;
    std::wstring summary;
};

INT_PTR CALLBACK check_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto* results = reinterpret_cast<const Results*>(lparam);
            const HWND edit = GetDlgItem(box, kResultsEdit);
            // Columns for the status and the item, in dialog units.
            const int stops[] = {28, 110};
            SendMessageW(edit, EM_SETTABSTOPS, 2, reinterpret_cast<LPARAM>(stops));
            SetWindowTextW(edit, results->text.c_str());
            SetDlgItemTextW(box, kSummaryLabel, results->summary.c_str());
            SetFocus(GetDlgItem(box, IDCANCEL));
            return FALSE;  // the focus is set
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

std::string check_results_text(const std::vector<check::CheckItem>& items) {
    std::string text;
    for (const check::CheckItem& i : items) {
        text += check::status_text(i.status);
        text += '\t' + i.item + '\t' + i.detail + "\r\n";
        if (i.status != check::CheckStatus::ok && !i.fix.empty())
            text += "\t\tfix: " + i.fix + "\r\n";
    }
    return text;
}

void show_check_results(Hwnd owner, const std::vector<check::CheckItem>& items) {
    constexpr TemplateClass kButton{0x0080, {}}, kEdit{0x0081, {}}, kStatic{0x0082, {}};
    MemoryTemplate box("Check setup",
                       WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER, 380, 250);
    box.add_control(kResultsEdit, kEdit, "",
                    WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
                        ES_AUTOVSCROLL,
                    WS_EX_CLIENTEDGE, 7, 7, 366, 200);
    box.add_control(kSummaryLabel, kStatic, "", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, 7,
                    211, 366, 16);
    box.add_control(IDCANCEL, kButton, "Close",
                    WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 323, 229, 50, 14);
    const Results results{to_wide(check_results_text(items)), to_wide(check::check_summary(items))};
    (void)DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                  static_cast<LPCDLGTEMPLATEW>(box.data()), owner, check_procedure,
                                  reinterpret_cast<LPARAM>(&results));  // the box only shows
}

}  // namespace ui
