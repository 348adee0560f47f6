// The log pane of the native window: the multi-line edit at the bottom of the window and the
// event log's sink there. Any thread may write; a writer only appends to the queue
// (ui/log_queue.h), whose first text posts kLogFlushMessage to the window. The window's thread
// then takes the whole queue and appends it at the end of the edit in batches, a few
// milliseconds per message, posting itself another message while text remains, so a flood of
// log calls neither blocks the workers nor stalls the window. While text keeps coming, a timer
// of the window brings the message at the queue's pace (LogQueue::pace()) instead, so a
// stream of progress marks costs at most ten appends and repaints a second.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ui/log_queue.h"
#include "ui/win32/window_handle.h"

namespace ui {

// Posted to the window that holds the pane (WM_APP + 1); the window calls flush().
inline constexpr unsigned kLogFlushMessage = 0x8000 + 1;

class LogPane {
public:
    // window: where kLogFlushMessage is posted; edit: the pane itself.
    LogPane(Hwnd window, Hwnd edit);
    ~LogPane();  // detaches the sink: later text is dropped
    LogPane(const LogPane&) = delete;
    LogPane& operator=(const LogPane&) = delete;

    std::shared_ptr<LogQueue> sink() const { return sink_; }
    Hwnd hwnd() const { return edit_; }
    // One message's share of the queue; posts another message while text remains, or has the
    // timer post one when more may follow.
    void flush();
    // Appends everything queued so far at once.
    void flush_all();
    // Empties the pane, together with the text still queued for it.
    void clear();

private:
    void append(std::string_view text);

    Hwnd window_;
    Hwnd edit_;
    std::shared_ptr<LogQueue> sink_;
};

}  // namespace ui
