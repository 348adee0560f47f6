#include "ui/qt/log_pane.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QTextCursor>

namespace ui {
namespace {

// True when byte c continues a UTF-8 sequence.
bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

void LogPaneSink::write(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (!pane_ || text.empty()) return;
    pending_.append(text);
    if (flush_posted_) return;
    flush_posted_ = true;
    // Posted, not sent: the writer goes on at once. Posting under the lock keeps detach()
    // from letting the pane go while the request is on its way in.
    LogPane* pane = pane_;
    QMetaObject::invokeMethod(
        pane, [pane] { pane->flush(); }, Qt::QueuedConnection);
}

void LogPaneSink::take_all(std::string* into) {
    std::lock_guard lock(mutex_);
    into->swap(pending_);
}

bool LogPaneSink::finish() {
    std::lock_guard lock(mutex_);
    if (!pending_.empty()) return false;
    flush_posted_ = false;
    return true;
}

void LogPaneSink::discard() {
    std::lock_guard lock(mutex_);
    pending_.clear();
}

void LogPaneSink::detach() {
    std::lock_guard lock(mutex_);
    pane_ = nullptr;
    pending_.clear();
}

LogPane::LogPane(QWidget* parent)
    : QPlainTextEdit(parent), sink_(std::make_shared<LogPaneSink>(this)) {
    // The log is inserted without undo (nor is the user's own typing in the pane kept for it):
    // an undo stack over a log that grows for the life of the window would only cost memory.
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves the focus in the dialog, as in any dialog's edit field.
    setTabChangesFocus(true);
}

LogPane::~LogPane() {
    sink_->detach();
}

std::size_t LogPane::batchLength(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text.size();
    if (max_bytes == 0) return 0;
    const std::size_t line_end = text.rfind('\n', max_bytes - 1);
    if (line_end != std::string_view::npos) return line_end + 1;
    std::size_t cut = max_bytes;
    while (cut > 0 && is_continuation(text[cut])) --cut;
    return cut > 0 ? cut : max_bytes;  // not UTF-8 after all: any cut will do
}

void LogPane::clearLog() {
    sink_->discard();
    backlog_.clear();
    backlog_done_ = 0;
    clear();
}

void LogPane::flushAll() {
    std::string more;
    sink_->take_all(&more);
    append(std::string_view(backlog_).substr(backlog_done_));
    backlog_.clear();
    backlog_done_ = 0;
    append(more);
}

void LogPane::flush() {
    QElapsedTimer turn;
    turn.start();
    for (;;) {
        if (backlog_done_ == backlog_.size()) {
            backlog_.clear();
            backlog_done_ = 0;
            sink_->take_all(&backlog_);
            if (backlog_.empty() && sink_->finish()) return;
        }
        const std::string_view rest = std::string_view(backlog_).substr(backlog_done_);
        const std::size_t length = batchLength(rest, kBatchBytes);
        append(rest.substr(0, length));
        backlog_done_ += length;
        if (turn.elapsed() >= kTurnBudget.count()) break;
    }
    // The rest in the next turn, after the events that came in meanwhile.
    QMetaObject::invokeMethod(this, &LogPane::flush, Qt::QueuedConnection);
}

void LogPane::append(std::string_view text) {
    if (text.empty()) return;
    // The pane breaks lines at "\n" by itself; a carriage return would only show as a glyph.
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        if (c != '\r') shown.push_back(c);
    }
    // Always at the end of all text, wherever the user left the caret; then the caret goes
    // after the new text and is scrolled into view.
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.beginEditBlock();  // one layout update for the whole batch
    end.insertText(QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size())));
    end.endEditBlock();
    QTextCursor caret = textCursor();
    caret.movePosition(QTextCursor::End);
    setTextCursor(caret);
    ensureCursorVisible();
}

}  // namespace ui
