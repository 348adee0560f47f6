// CKestromApp: the application object of the native window. Its start-up registers the common
// controls the window uses, makes sure the settings key exists and runs the main dialog modally
// until it closes.
#pragma once

#include "ui/win32/kestrom_dlg.h"

namespace ui {

class CKestromApp {
public:
    explicit CKestromApp(KestromDlgOptions options = {}) : options_(std::move(options)) {}

    // Returns false: the application ends with the dialog, with no message loop of its own.
    bool InitInstance();

private:
    KestromDlgOptions options_;
};

// The common controls the window's template names (tab control, progress bar).
void init_common_controls();

}  // namespace ui
