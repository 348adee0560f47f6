// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/kestrom_app.h"

#include <windows.h>
#include <commctrl.h>

#include "registry/settings_store.h"
// clang-format on

namespace ui {

void init_common_controls() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_TAB_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    (void)InitCommonControlsEx(&controls);  // a failure shows as a window that can't be made
}

bool CKestromApp::InitInstance() {
    // Started from the desktop, a console program gets a console of its own that only stands
    // behind the window: let it go. Started from a console, the window leaves it alone.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1) (void)FreeConsole();
    init_common_controls();
    registry::ensure_settings_key();
    {
        CKestromDlg dialog(options_);
        dialog.DoModal();
    }  // the dialog goes here: the log sink is released and the services are stopped
    return false;
}

}  // namespace ui
