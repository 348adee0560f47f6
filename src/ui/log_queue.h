// The queue between the event log and a window's log pane. Any thread may write; a writer only
// appends under a short lock and never waits for the window. The first text after a quiet spell
// asks the window (through `post`, which must only post, never run the pane) to come and take the
// whole queue; the pane appends it in batches on its own thread, then comes back by itself at its
// pace (pace(), a tenth of a second or more) for as long as text keeps coming. A service that
// logs a progress mark every few datagrams therefore costs the window at most ten appends a
// second, not one append (with its wake-up, layout and repaint) per mark, and its writers never
// post meanwhile. (An append costs the native edit under Wine some 15 ms with its repaint: one per
// mark made a load take two to three times as long with the window open as without.) Both
// front-ends' panes use it.
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
    // The pane's thread: drops what is queued and not yet appended (the pane is being emptied);
    // the next text is posted at once, as after a quiet spell.
    void discard();

    // Most text a pane appends in one go, and the time one turn may spend on it.
    static constexpr std::size_t kBatchBytes = 8 * 1024;
    static constexpr std::chrono::milliseconds kTurnBudget{8};
    // While text keeps coming, the pane takes it once per this interval (as often as the
    // progress strip changes), or less often when appending is dear: the interval is at least
    // kPaceFactor times the last turn, so appending keeps to a small share of the window's
    // thread. (The native edit under Wine takes some 10 ms for an append, whatever its length,
    // and as much again to repaint.) Never longer than kPaceMax.
    static constexpr std::chrono::milliseconds kPaceInterval{100};
    static constexpr int kPaceFactor = 20;
    static constexpr std::chrono::milliseconds kPaceMax{1000};
    // How a turn ended, and what the pane does next.
    enum class Turn {
        again,  // the turn's time was up with text left: another turn at once, after the events
                // that came in meanwhile
        paced,  // all appended: another turn after pace(), for what comes meanwhile (writers
                // don't post until then)
        idle,   // nothing had come since the last turn: the next write posts a new request
    };
    // The pane's thread, when its request or its paced turn comes: appends what is queued in
    // batches until nothing is left or the turn's time is up.
    Turn append_turn(const std::function<void(std::string_view)>& append);
    // The pane's thread: the wait before the paced turn, after the turn that asked for it.
    std::chrono::milliseconds pace() const { return pace_; }
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
    bool request_posted_ = false;  // guarded by mutex_: posted (or a paced turn due), not finished
    std::function<void()> post_;   // guarded by mutex_: empty once detached
    // The pane's thread only: taken from the queue and not yet appended.
    std::string backlog_;
    std::size_t backlog_done_ = 0;
    std::chrono::milliseconds pace_ = kPaceInterval;
};

}  // namespace ui
