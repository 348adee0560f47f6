#include "ui/qt/check_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <optional>

#include "ui/check_colours.h"

namespace ui {
namespace {

QString text_of(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QColor colour_of(check::CheckStatus status) {
    const std::optional<Rgb> c = status_colour(status);
    return c ? QColor(c->red, c->green, c->blue) : QColor();
}

}  // namespace

CheckDialog::CheckDialog(const std::vector<check::CheckItem>& items, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("Check setup"));
    setObjectName(QStringLiteral("checkDialog"));

    results_ = new QTableWidget(static_cast<int>(items.size()), 3, this);
    results_->setObjectName(QStringLiteral("checkResults"));
    results_->setHorizontalHeaderLabels({tr("Status"), tr("Item"), tr("Detail")});
    results_->verticalHeader()->hide();
    results_->setShowGrid(false);
    results_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    results_->setSelectionMode(QAbstractItemView::NoSelection);
    // Details and fixes are sentences: wrapped in their column, each row as high as it needs.
    results_->setWordWrap(true);
    results_->setTextElideMode(Qt::ElideNone);
    results_->horizontalHeader()->setStretchLastSection(true);
    results_->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);

    QFont bold = results_->font();
    bold.setBold(true);
    // Cells read from their top line, beside a detail with its fix under it.
    const auto cell = [](const QString& text) {
        auto* c = new QTableWidgetItem(text);
        c->setTextAlignment(Qt::AlignLeft | Qt::AlignTop);
        return c;
    };
    for (int row = 0; const check::CheckItem& i : items) {
        // The check's own words for the status, as the command prints them.
        QTableWidgetItem* status = cell(QString::fromLatin1(check::status_text(i.status)));
        status->setForeground(colour_of(i.status));
        QString detail = text_of(i.detail);
        if (i.status != check::CheckStatus::ok) {
            status->setFont(bold);
            if (!i.fix.empty()) detail += QLatin1Char('\n') + tr("fix: ") + text_of(i.fix);
        }
        results_->setItem(row, kStatusColumn, status);
        results_->setItem(row, kItemColumn, cell(text_of(i.item)));
        results_->setItem(row, kDetailColumn, cell(detail));
        ++row;
    }
    for (const int column : {kStatusColumn, kItemColumn}) results_->resizeColumnToContents(column);

    auto* summary = new QLabel(text_of(check::check_summary(items)), this);
    summary->setObjectName(QStringLiteral("checkSummary"));
    summary->setTextFormat(Qt::PlainText);
    summary->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    buttons->button(QDialogButtonBox::Close)->setFocus();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(results_);
    layout->addWidget(summary);
    layout->addWidget(buttons);
    resize(760, 520);
}

}  // namespace ui
