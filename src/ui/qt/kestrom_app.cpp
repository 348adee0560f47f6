#include "ui/qt/kestrom_app.h"

#include "registry/settings_store.h"

namespace ui {

bool CKestromApp::InitInstance() {
    registry::ensure_settings_key();
    {
        CKestromDlg dialog(nullptr, options_);
        (void)dialog.exec();  // how the dialog ended changes nothing
    }  // the dialog goes here: the log sink is released and the services are stopped
    return false;
}

}  // namespace ui
