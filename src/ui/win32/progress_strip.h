// The strip under the log pane: one line of text and a bar for what runs right now (TFTP
// transfers, the firmware and web jobs), read from the progress board ten times a second on the
// window's timer. When nothing runs it shows how the last activity ended. The board is only
// polled, so the threads doing the work never wait for the window.
#pragma once

#include <chrono>
#include <string>

#include "core/progress.h"
#include "ui/win32/window_handle.h"

namespace ui {

class ProgressStrip {
public:
    static constexpr std::chrono::milliseconds kPollInterval{100};
    // Below the template the window grows by this much (dialog units): the text line, the bar
    // and the template's bottom margin.
    static constexpr int kHeight = 26;

    // text: a static control; bar: a progress bar. Both are the dialog's children.
    ProgressStrip(Hwnd text, Hwnd bar);

    // A task of the window's own ("Checking..."), shown with a busy bar while nothing on the
    // board runs; an empty text ends it.
    void set_task(std::string text);
    // What the line says while nothing runs and nothing has ended yet (the load folder).
    void set_idle_text(std::string text);
    void poll();

    Hwnd text_line() const { return text_; }
    Hwnd bar() const { return bar_; }

private:
    core::ProgressMeter meter_;
    std::string task_;
    std::string idle_text_;
    std::string shown_;  // the text line as last set
    bool busy_ = false;  // the bar runs its marquee
    Hwnd text_;
    Hwnd bar_;
};

}  // namespace ui
