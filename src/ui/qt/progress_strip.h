// The strip under the log pane: one line of text and a bar for what runs right now (TFTP
// transfers, the firmware and web jobs), read from the progress board ten times a second. When
// nothing runs it shows how the last activity ended. The board is only polled, so the threads
// doing the work never wait for the window.
#pragma once

#include <QWidget>
#include <chrono>

#include "core/progress.h"

class QLabel;
class QProgressBar;

namespace ui {

class DialogUnits;

class ProgressStrip : public QWidget {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kPollInterval{100};

    // Lays itself out with the dialog's side and bottom margins; the owner gives it its place
    // and its sizeHint() height.
    explicit ProgressStrip(const DialogUnits& units, QWidget* parent = nullptr);

    QLabel* textLine() const { return text_; }
    QProgressBar* bar() const { return bar_; }

    // A task of the window's own ("Checking..."), shown with a busy bar while nothing on the
    // board runs; an empty text ends it.
    void setTask(const QString& text);
    // What the line says while nothing runs and nothing has ended yet (the load folder).
    void setIdleText(const QString& text);

public slots:
    void poll();

private:
    core::ProgressMeter meter_;
    QString task_;
    QString idle_text_;
    QLabel* text_ = nullptr;
    QProgressBar* bar_ = nullptr;
};

}  // namespace ui
