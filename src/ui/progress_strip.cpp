#include "ui/progress_strip.h"

#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/dialog_units.h"

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

    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &ProgressStrip::poll);
    timer_->start(kPollInterval);
}

void ProgressStrip::setTask(const QString& text) {
    task_ = text;
    poll();
}

void ProgressStrip::poll() {
    const core::ProgressView view = meter_.poll();
    QString text = QString::fromStdString(view.text);
    bool busy = view.active && view.percent < 0;
    const int value = view.percent < 0 ? 0 : view.percent;
    if (!view.active && !task_.isEmpty()) {
        text = task_;
        busy = true;
    }
    // A range of 0 to 0 is the bar's "busy, end unknown" look.
    bar_->setRange(0, busy ? 0 : 100);
    if (!busy) bar_->setValue(value);
    if (text_->text() != text) text_->setText(text);
}

}  // namespace ui
