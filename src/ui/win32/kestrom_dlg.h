// CKestromDlg: the tool's one window on Windows, a native dialog made from the shared control
// table. A fixed-size dialog with a tab control of two pages that hold the eight setting fields,
// the three buttons and the log pane, and below that template a progress strip. It is the
// driver's front-end: every user change of a setting field becomes an apply_setting_edit, the
// two update buttons become the driver's triggers, and its log pane is the event log's sink. Its
// system menu also has the about box, the pre-flight check and the load report. Everything runs
// on the thread that made the window, except the check, which has a worker of its own.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check/check.h"
#include "core/settings.h"
#include "driver/driver.h"
#include "ui/dialog_template.h"
#include "ui/win32/window_handle.h"

namespace ui {

class CSTabCtrl;
class LogPane;
class ProgressStrip;

struct KestromDlgOptions {
    core::DriverOptions driver;
    // The product starts the TFTP and DHCP services at the end of the initialisation; tests
    // that only look at the window leave them off.
    bool start_services = true;
    // Called after each field edit has been applied, with the setting and the field's text
    // (tests count edits with it).
    std::function<void(core::Setting, const std::string&)> on_setting_edit;
    // Asks where "Save load report..." writes; an empty name cancels. Unset: the save dialog.
    std::function<std::string()> report_file_name;
};

class CKestromDlg : public core::FrontEnd {
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

    // core::FrontEnd; the driver calls these on the window's thread.
    void take_field_texts() override;
    std::string field_text(core::Setting s) const override;
    void set_field_text(core::Setting s, std::string_view text) override;
    void show_field_texts() override;
    void clear_log() override;

    // The about box, modal, over this window.
    void ShowAbout();
    // Starts the pre-flight check on a worker thread; its results open in a modal box.
    void CheckSetup();
    // Asks for a file name and writes the load report kept since the window opened.
    void SaveLoadReport();

private:
    struct WindowDestroyer {
        void operator()(HWND__* window) const;
    };

    static std::intptr_t dialog_procedure(HWND__* window, unsigned message, std::uintptr_t wparam,
                                          std::intptr_t lparam);
    bool on_message(unsigned message, std::uintptr_t wparam, std::intptr_t lparam);
    void on_init_dialog(Hwnd window);
    void on_command(int id, int code);
    void on_destroy();
    void create_system_menu();
    void set_up_tab_pages();
    void on_check_done();

    KestromDlgOptions options_;
    Hwnd hwnd_ = nullptr;  // from WM_INITDIALOG to WM_NCDESTROY
    bool modal_ = false;
    // Set while show_field_texts sets the fields: the EN_CHANGE that setting a text sends is
    // not the user's edit.
    bool showing_texts_ = false;
    bool checking_ = false;  // a check runs (the window's thread only)
    // The front-end's copy of the setting fields, indexed by core::Setting.
    std::array<std::string, core::kSettings.size()> texts_;
    std::array<Hwnd, core::kSettings.size()> fields_{};
    std::unique_ptr<CSTabCtrl> tabs_;
    std::unique_ptr<LogPane> log_pane_;
    std::unique_ptr<ProgressStrip> progress_strip_;
    std::unique_ptr<core::Driver> driver_;
    // Written by the check's worker, taken by the window's thread when the worker's message
    // arrives.
    std::mutex check_mutex_;
    std::optional<std::vector<check::CheckItem>> check_results_;
    // The modeless window (Create); a modal one belongs to the dialog manager's loop.
    std::unique_ptr<HWND__, WindowDestroyer> window_;
    // The check's worker. Declared last, so it is joined first: a check still running ends
    // within its connect time-outs, and its results are then dropped with the window.
    std::jthread check_thread_;
};

}  // namespace ui
