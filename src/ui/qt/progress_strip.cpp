#include "ui/qt/progress_strip.h"

#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/qt/dialog_units.h"

namespace ui {

ProgressStrip::ProgressStrip(const DialogUnits& units, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("progressStrip"));
    text_ = new QLabel(this);
    text_->setObjectName(QStringLiteral("progressText"));
    text_->setTextFormat(Qt::PlainText);
    // An empty line keeps its height; a long one is cut at the strip's edge, not widened.
    text_->setMinimumHeight(text_->fontMetrics().height());
    text_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->setTextVisible(false);  // the percentage is in the text line
    bar_->setRange(0, 100);
    bar_->setValue(0);

    // The template's margins: 7 units at the sides and below, as around the log pane.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(units.toPixelsX(7), 0, units.toPixelsX(7), units.toPixelsY(7));
    layout->setSpacing(units.toPixelsY(2));
    layout->addWidget(text_);
    layout->addWidget(bar_);

    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &ProgressStrip::poll);
    timer->start(kPollInterval);
    poll();  // shown from the start, not a tick later
}

void ProgressStrip::setTask(const QString& text) {
    task_ = text;
    poll();
}

void ProgressStrip::setIdleText(const QString& text) {
    idle_text_ = text;
    poll();
}

void ProgressStrip::poll() {
    const core::ProgressView view = meter_.poll();
    // The window's own task shows only while nothing on the board runs.
    const bool own_task = !view.active && !task_.isEmpty();
    const QString text = own_task                            ? task_
                         : !view.active && view.text.empty() ? idle_text_
                                                             : QString::fromStdString(view.text);
    const bool busy = own_task || (view.active && view.percent < 0);
    // A range of 0 to 0 is the bar's "busy, end unknown" look; idle without a percentage (the
    // last activity failed), the bar is empty.
    bar_->setRange(0, busy ? 0 : 100);
    if (!busy) bar_->setValue(std::max(view.percent, 0));
    if (text_->text() != text) text_->setText(text);
}

}  // namespace ui
