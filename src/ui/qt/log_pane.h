// The log pane: the multi-line edit at the bottom of the main dialog and the event log's sink
// in the window. Any thread may write; a writer only appends to a queue under a short lock and
// never waits for the window. The window's thread takes the whole queue at once and appends it
// at the end of the pane in small batches, a few milliseconds per turn of the event loop, so a
// flood of log calls neither blocks the workers nor stalls the window; while text keeps coming
// it takes it at the queue's pace (LogQueue::pace(), a timer), so a stream of progress marks costs
// at most ten layouts and repaints a second.
#pragma once

#include <QPlainTextEdit>
#include <QTimer>
#include <memory>
#include <string>
#include <string_view>

#include "ui/log_queue.h"

namespace ui {

class LogPane : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit LogPane(QWidget* parent = nullptr);
    ~LogPane() override;

    std::shared_ptr<LogQueue> sink() const { return sink_; }
    // Empties the pane, together with the text still queued for it.
    void clearLog();
    // Appends everything queued so far at once (tests, and the end of a flood).
    void flushAll();

private:
    void flush();  // one turn's share; asks for another turn while text remains or may follow
    void append(std::string_view text);

    std::shared_ptr<LogQueue> sink_;
    QTimer pace_;  // the paced turn
};

}  // namespace ui
