// CKestromDlg: the tool's one window on Windows, a native dialog made from the shared control
// table. A fixed-size dialog with a tab control of two pages that hold the eight setting fields,
// the three buttons and the log pane, and below that template a progress strip. It is the
// driver's front-end: every user change of a setting field becomes an apply_setting_edit, the
// two update buttons become the driver's triggers, and its log pane is the event log's sink. Its
// system menu, and its right-click menu, also have the about box, the pre-flight check, the load
// report, the load folder, which the progress strip names while nothing runs, and the load of a
// site's controllers. Everything runs on the thread that made the window, except the check and
// the load, which have workers of their own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/settings.h"
#include "driver/driver.h"
#include "ui/check_runner.h"
#include "ui/dialog_template.h"
#include "ui/kestrom_dlg_options.h"
#include "ui/win32/window_handle.h"

namespace ui {

class CSTabCtrl;
class LogPane;
class ProgressStrip;

class CKestromDlg : public driver::TextFrontEnd {
public:
    // The control ids of the window's template (ui/dialog_template.h), and the strip's two.
    using enum ControlId;
    enum StripId : int { kProgressText = 1200, kProgressBar = 1201 };
    // The system menu's entries after the system's own; multiples of 16 below 0xF000, since
    // the low four bits of WM_SYSCOMMAND belong to the system.
    enum SystemCommand : unsigned {
        kAboutCommand = 0x0010,
        kCheckCommand = 0x0020,
        kSaveReportCommand = 0x0030,
        kOpenFolderCommand = 0x0040,
        kLoadCommand = 0x0050,
    };

    explicit CKestromDlg(KestromDlgOptions options = {});
    ~CKestromDlg() override;  // destroys the window if it is still there
    CKestromDlg(const CKestromDlg&) = delete;
    CKestromDlg& operator=(const CKestromDlg&) = delete;

    // The window, modal: returns when it closes (Escape, the close box).
    void DoModal(Hwnd owner = nullptr);
    // The window, modeless and hidden (tests): false when it could not be made. The caller's
    // message loop runs it; it is destroyed with this object or when it is closed.
    bool Create(Hwnd owner = nullptr);

    Hwnd hwnd() const { return hwnd_; }
    Hwnd GetDlgItem(int id) const;
    CSTabCtrl* tabs() const { return tabs_.get(); }
    LogPane* logPane() const { return log_pane_.get(); }  // nullptr once the window has gone
    ProgressStrip* progressStrip() const { return progress_strip_.get(); }

    // driver::FrontEnd: what touches the fields and the log pane (TextFrontEnd keeps the copy of
    // the texts); the driver calls these on the window's thread.
    void take_field_texts() override;
    void show_field_texts() override;
    void clear_log() override;

    // The about box, modal, over this window.
    void ShowAbout();
    // Starts the pre-flight check on a worker thread; its results open in a modal box.
    void CheckSetup();
    // Asks for a file name and writes the load report kept since the window opened.
    void SaveLoadReport();
    // Shows the load folder (the current folder, where zorva.bin, kestrom.ini and www\ are read)
    // in Explorer.
    void OpenLoadFolder();
    // The "Load controllers" box, modal over this window, loading with its services.
    void LoadControllers();

private:
    struct WindowDestroyer {
        void operator()(HWND__* window) const;
    };

    static std::intptr_t dialog_procedure(HWND__* window, unsigned message, std::uintptr_t wparam,
                                          std::intptr_t lparam);
    bool on_message(unsigned message, std::uintptr_t wparam, std::intptr_t lparam);
    void on_init_dialog(Hwnd window);
    void on_command(int id, int code);
    // Asks whether to stop the running load and close (kStopLoadQuestion); true: close.
    bool confirm_close();
    void on_destroy();
    void create_system_menu();
    // The system menu's and the right-click menu's own entries; false for another command.
    bool run_menu_command(unsigned command);
    // The right-click menu at a screen point (-1, -1: from the keyboard, under the window's
    // top left corner); what was chosen runs.
    void show_context_menu(int x, int y);
    void set_up_tab_pages();
    void on_check_done();

    KestromDlgOptions options_;
    Hwnd hwnd_ = nullptr;  // from WM_INITDIALOG to WM_NCDESTROY
    bool modal_ = false;
    // Set while show_field_texts sets the fields: the EN_CHANGE that setting a text sends is
    // not the user's edit.
    bool showing_texts_ = false;
    std::array<Hwnd, core::kSettings.size()> fields_{};
    std::unique_ptr<CSTabCtrl> tabs_;
    std::unique_ptr<LogPane> log_pane_;
    std::unique_ptr<ProgressStrip> progress_strip_;
    std::unique_ptr<driver::Driver> driver_;
    // The modeless window (Create); a modal one belongs to the dialog manager's loop.
    std::unique_ptr<HWND__, WindowDestroyer> window_;
    // Declared last, so it is joined first: a check still running ends within its connect
    // time-outs, and its results are then dropped with the window.
    CheckRunner check_runner_;
};

}  // namespace ui
