#include "ui/win32/about_dialog.h"

#include <windows.h>

#include "ui/dialog_template.h"
#include "ui/win32/memory_template.h"

namespace ui {
namespace {

INT_PTR CALLBACK about_procedure(HWND box, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            // Icon 1 of the executable's resources; a program without it (a test) shows none.
            const HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1));
            if (icon)
                SendDlgItemMessageW(box, kAboutPicture, STM_SETICON, reinterpret_cast<WPARAM>(icon),
                                    0);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                EndDialog(box, LOWORD(wparam));
                return TRUE;
            }
            break;
    }
    return FALSE;
}

}  // namespace

void show_about_box(Hwnd owner) {
    MemoryTemplate box(kAboutDialog.caption, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
                       kAboutDialog.width, kAboutDialog.height);
    box.add_controls(kAboutDialog);
    (void)DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                  static_cast<LPCDLGTEMPLATEW>(box.data()), owner, about_procedure,
                                  0);  // the box has nothing to report
}

}  // namespace ui
