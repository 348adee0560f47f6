#include "ui/win32/log_pane.h"

#include <windows.h>

namespace ui {

static_assert(kLogFlushMessage == WM_APP + 1);

namespace {

// The paced turn's timer, on the window that holds the pane; the window's own timers count
// from 1.
constexpr UINT_PTR kPaceTimer = 0x4C50;  // "LP"

// Runs on the window's thread: the paced turn comes as the usual flush message, which the
// window hands to its pane as long as it has one.
void CALLBACK paced_turn(HWND window, UINT, UINT_PTR timer, DWORD) {
    KillTimer(window, timer);  // one turn per start
    PostMessageW(window, kLogFlushMessage, 0, 0);
}

}  // namespace

LogPane::LogPane(Hwnd window, Hwnd edit)
    : window_(window),
      edit_(edit),
      // Posted, not sent: the writer goes on at once.
      sink_(
          std::make_shared<LogQueue>([window] { PostMessageW(window, kLogFlushMessage, 0, 0); })) {
    // An edit holds 30000 characters unless told otherwise; the log grows for the life of the
    // window.
    SendMessageW(edit_, EM_SETLIMITTEXT, 0, 0);
}

LogPane::~LogPane() {
    sink_->detach();
    KillTimer(window_, kPaceTimer);  // fails harmlessly when the window went first
}

void LogPane::clear() {
    sink_->discard();
    SetWindowTextW(edit_, L"");
}

void LogPane::flush_all() {
    sink_->append_all([this](std::string_view text) { append(text); });
}

void LogPane::flush() {
    switch (sink_->append_turn([this](std::string_view text) { append(text); })) {
        case LogQueue::Turn::again:  // the rest after the input that came in meanwhile
            PostMessageW(window_, kLogFlushMessage, 0, 0);
            break;
        case LogQueue::Turn::paced:
            SetTimer(window_, kPaceTimer, static_cast<UINT>(sink_->pace().count()), &paced_turn);
            break;
        case LogQueue::Turn::idle:
            break;
    }
}

void LogPane::append(std::string_view text) {
    if (text.empty()) return;
    // A multi-line edit breaks lines at "\r\n" only; the log's lines end in "\n".
    std::string shown;
    shown.reserve(text.size() + text.size() / 32);
    for (const char c : text) {
        if (c == '\r') continue;
        if (c == '\n') shown.push_back('\r');
        shown.push_back(c);
    }
    const std::wstring wide = to_wide(shown);
    // Always at the end of all text, wherever the user left the caret; the caret then stands
    // after the new text, scrolled into view. No undo: the log is not the user's typing.
    const int end = GetWindowTextLengthW(edit_);
    SendMessageW(edit_, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(edit_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
    SendMessageW(edit_, EM_SCROLLCARET, 0, 0);
}

}  // namespace ui
