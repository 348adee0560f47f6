#include "ui/qt/log_pane.h"

#include <QMetaObject>
#include <QTextCursor>

namespace ui {

LogPane::LogPane(QWidget* parent)
    : QPlainTextEdit(parent),
      // Posted, not sent: the writer goes on at once.
      sink_(std::make_shared<LogQueue>([this] {
          QMetaObject::invokeMethod(
              this, [this] { flush(); }, Qt::QueuedConnection);
      })) {
    // The log is inserted without undo (nor is the user's own typing in the pane kept for it):
    // an undo stack over a log that grows for the life of the window would only cost memory.
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves the focus in the dialog, as in any dialog's edit field.
    setTabChangesFocus(true);
    pace_.setSingleShot(true);
    connect(&pace_, &QTimer::timeout, this, &LogPane::flush);
}

LogPane::~LogPane() {
    sink_->detach();
}

void LogPane::clearLog() {
    sink_->discard();
    clear();
}

void LogPane::flushAll() {
    sink_->append_all([this](std::string_view text) { append(text); });
}

void LogPane::flush() {
    switch (sink_->append_turn([this](std::string_view text) { append(text); })) {
        case LogQueue::Turn::again:  // the rest after the events that came in meanwhile
            QMetaObject::invokeMethod(this, &LogPane::flush, Qt::QueuedConnection);
            break;
        case LogQueue::Turn::paced:
            pace_.start(sink_->pace());
            break;
        case LogQueue::Turn::idle:
            break;
    }
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
