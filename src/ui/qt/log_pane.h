// The log pane: the multi-line edit at the bottom of the main dialog and the event log's sink
// in the window. Any thread may write; a writer only appends to a queue under a short lock and
// never waits for the window. The window's thread takes the whole queue at once and appends it
// at the end of the pane in small batches, a few milliseconds per turn of the event loop, so a
// flood of log calls neither blocks the workers nor stalls the window.
#pragma once

#include <QPlainTextEdit>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/event_log.h"

namespace ui {

class LogPane;

class LogPaneSink : public core::LogSink {
public:
    explicit LogPaneSink(LogPane* pane) : pane_(pane) {}
    // Any thread: queues the text and, when none is on its way, posts the pane a request to
    // append it.
    void write(std::string_view text) override;
    // The pane's thread: moves everything queued into *into (which must be empty).
    void take_all(std::string* into);
    // The pane's thread, when it has appended all it took: true when nothing is queued, and
    // then the next write posts a new request; false when the pane must go on.
    bool finish();
    // The pane's thread: drops what is queued (the pane is being emptied).
    void discard();
    // The pane's thread, before the pane goes: later text is dropped.
    void detach();

private:
    std::mutex mutex_;
    // Guarded by mutex_: appended by any writing thread, taken by the pane's thread.
    std::string pending_;
    bool flush_posted_ = false;  // the pane has been asked to append and has not finished
    LogPane* pane_;              // null once detached
};

class LogPane : public QPlainTextEdit {
    Q_OBJECT

public:
    // Most text appended in one go, and the time one turn of the event loop may spend on it.
    static constexpr std::size_t kBatchBytes = 8 * 1024;
    static constexpr std::chrono::milliseconds kTurnBudget{8};

    explicit LogPane(QWidget* parent = nullptr);
    ~LogPane() override;

    std::shared_ptr<LogPaneSink> sink() const { return sink_; }
    // Empties the pane, together with the text still queued for it.
    void clearLog();
    // Appends everything queued so far at once (tests, and the end of a flood).
    void flushAll();

    // Length of the next batch of text: all of it when it fits in max_bytes, else up to the
    // last line end in reach, else max_bytes moved back to the start of a UTF-8 character.
    static std::size_t batchLength(std::string_view text, std::size_t max_bytes);

private:
    friend class LogPaneSink;
    void flush();  // one turn's share; asks for another turn while text remains
    void append(std::string_view text);

    std::shared_ptr<LogPaneSink> sink_;
    // Taken from the sink and not yet appended (the pane's thread only).
    std::string backlog_;
    std::size_t backlog_done_ = 0;
};

}  // namespace ui
