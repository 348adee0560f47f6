// The queue between the event log and a window's log pane. Any thread may write; a writer only
// appends under a short lock and never waits for the window. The first text after the pane has
// caught up asks the window (through `post`, which must only post, never run the pane) to come
// and take the whole queue; the pane appends it in batches on its own thread. Both front-ends'
// panes use it.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "core/event_log.h"

namespace ui {

class LogQueue : public core::LogSink {
public:
    explicit LogQueue(std::function<void()> post) : post_(std::move(post)) {}

    // Any thread: queues the text and, when no request is on its way, posts one.
    void write(std::string_view text) override;
    // The pane's thread: moves everything queued into *into (which must be empty).
    void take_all(std::string* into);
    // The pane's thread, when it has appended all it took: true when nothing is queued, and
    // then the next write posts a new request; false when the pane must go on.
    bool finish();
    // The pane's thread: drops what is queued and not yet appended (the pane is being emptied).
    void discard();

    // Most text a pane appends in one go, and the time one turn may spend on it.
    static constexpr std::size_t kBatchBytes = 8 * 1024;
    static constexpr std::chrono::milliseconds kTurnBudget{8};
    // The pane's thread, when its request comes: appends what is queued in batches until nothing
    // is left (true: the next write posts a new request) or the turn's time is up (false: the
    // pane asks itself for another turn, after the events that came in meanwhile).
    bool append_turn(const std::function<void(std::string_view)>& append);
    // The pane's thread: appends everything queued at once (tests, and the end of a flood).
    void append_all(const std::function<void(std::string_view)>& append);
    // The pane's thread, before the pane goes: later text is dropped, nothing more is posted.
    void detach();

    // Length of the next batch of text: all of it when it fits in max_bytes, else up to the
    // last line end in reach, else max_bytes moved back to the start of a UTF-8 character.
    static std::size_t batch_length(std::string_view text, std::size_t max_bytes);

private:
    std::mutex mutex_;
    std::string pending_;          // guarded by mutex_
    bool request_posted_ = false;  // guarded by mutex_: posted and not yet finished
    std::function<void()> post_;   // guarded by mutex_: empty once detached
    // The pane's thread only: taken from the queue and not yet appended.
    std::string backlog_;
    std::size_t backlog_done_ = 0;
};

}  // namespace ui
