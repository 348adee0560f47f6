// "Load controllers..." in the native window, as the Qt window has it: the list of a site's
// controllers (typed, pasted, or read from a file), how many to load at once and whether the
// web pages go too; then a list view with one row per controller (its step, the share of the
// boot file it has read, its verdict), updated as the load goes, and under it the summary table
// `kestrom load` ends with. What stops a load from starting shows in the same place, with what
// to change.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ui/load_runner.h"
#include "ui/win32/window_handle.h"

struct HFONT__;

namespace ui {

class LoadDialog {
public:
    enum ControlId : int {
        kListEdit = 100,
        kOpenButton = 101,
        kParallelEdit = 102,
        kParallelSpin = 103,
        kWebCheck = 104,
        kStartButton = 105,
        kStopButton = 106,
        kRowsList = 107,
        kSummaryEdit = 108,
        kListLabel = 109,
        kParallelLabel = 110,
    };
    enum Column : int { kAddressColumn, kStepColumn, kProgressColumn, kVerdictColumn, kColumns };

    // The boot file is read from `tftp_directory`. `confirm_close` asks kStopSiteLoadQuestion
    // when the box is to close while a load runs; true: stop it and close. Unset: a Yes/No box,
    // No as its default.
    explicit LoadDialog(std::string tftp_directory,
                        std::function<bool(const std::string& question)> confirm_close = {});
    ~LoadDialog();  // destroys the box if it is still there; a load still running is stopped
    LoadDialog(const LoadDialog&) = delete;
    LoadDialog& operator=(const LoadDialog&) = delete;

    // The box, modal over owner: returns when it closes.
    void DoModal(Hwnd owner);
    // The box, modeless and hidden (tests): false when it could not be made. The caller's
    // message loop runs it.
    bool Create(Hwnd owner);

    Hwnd hwnd() const { return hwnd_; }
    Hwnd GetDlgItem(int id) const;
    bool running() const { return runner_.running(); }

private:
    struct WindowDestroyer {
        void operator()(HWND__* window) const;
    };
    struct FontDeleter {
        void operator()(HFONT__* font) const;
    };

    static std::intptr_t dialog_procedure(HWND__* window, unsigned message, std::uintptr_t wparam,
                                          std::intptr_t lparam);
    bool on_message(unsigned message, std::uintptr_t wparam, std::intptr_t lparam);
    void on_init_dialog(Hwnd window);
    void on_command(int id, int code);
    void start_load();
    void open_list();
    void close();
    void refresh();
    void show_running(bool running);
    void set_summary(const std::string& text);

    std::function<bool(const std::string&)> confirm_close_;
    Hwnd hwnd_ = nullptr;  // from WM_INITDIALOG to WM_NCDESTROY
    bool modal_ = false;
    int rows_shown_ = 0;
    std::unique_ptr<HFONT__, FontDeleter> fixed_font_;  // the summary's, so its columns line up
    // The modeless box (Create); a modal one belongs to the dialog manager's loop.
    std::unique_ptr<HWND__, WindowDestroyer> window_;
    // Declared last, so it goes first: its load's reports are posted to the box until then.
    LoadRunner runner_;
};

}  // namespace ui
