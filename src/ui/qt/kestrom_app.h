// CKestromApp: the application object. Its start-up makes sure the settings key exists, runs
// the main dialog modally and ends the application when the dialog closes. The caller owns the
// QApplication; this object is what runs inside it.
#pragma once

#include "ui/qt/kestrom_dlg.h"

namespace ui {

class CKestromApp {
public:
    explicit CKestromApp(KestromDlgOptions options = {}) : options_(std::move(options)) {}

    // ensure_settings_key, then the main dialog, shown modally until it closes. Returns false:
    // the application ends there, with no event loop of its own after the dialog.
    bool InitInstance();

private:
    KestromDlgOptions options_;
};

}  // namespace ui
