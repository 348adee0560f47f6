#include "ui/qt/load_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <utility>
#include <vector>

namespace ui {
namespace {

QString text_of(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

LoadDialog::LoadDialog(std::string tftp_directory, QWidget* parent,
                       std::function<bool(const std::string&)> confirm_close)
    : QDialog(parent),
      confirm_close_(std::move(confirm_close)),
      runner_(std::move(tftp_directory)) {
    setWindowTitle(tr("Load controllers"));
    setObjectName(QStringLiteral("loadDialog"));

    auto* list_label =
        new QLabel(tr("Controllers, one address or range per line (# starts a comment):"), this);
    list_ = new QPlainTextEdit(this);
    list_->setObjectName(QStringLiteral("loadList"));
    list_->setPlaceholderText(QStringLiteral("10.1.2.20-59"));
    list_label->setBuddy(list_);

    open_ = new QPushButton(tr("Open..."), this);
    open_->setObjectName(QStringLiteral("loadOpen"));
    connect(open_, &QPushButton::clicked, this, &LoadDialog::openList);
    auto* parallel_label = new QLabel(tr("Parallel"), this);
    parallel_ = new QSpinBox(this);
    parallel_->setObjectName(QStringLiteral("loadParallel"));
    parallel_->setRange(1, 256);  // as kestrom load --parallel takes it
    parallel_->setValue(4);
    parallel_label->setBuddy(parallel_);
    web_ = new QCheckBox(tr("Web pages too"), this);
    web_->setObjectName(QStringLiteral("loadWeb"));
    start_ = new QPushButton(tr("Start"), this);
    start_->setObjectName(QStringLiteral("loadStart"));
    start_->setDefault(true);
    connect(start_, &QPushButton::clicked, this, &LoadDialog::startLoad);
    stop_ = new QPushButton(tr("Stop"), this);
    stop_->setObjectName(QStringLiteral("loadStop"));
    connect(stop_, &QPushButton::clicked, this, &LoadDialog::stopLoad);
    auto* controls = new QHBoxLayout;
    controls->addWidget(open_);
    controls->addSpacing(12);
    controls->addWidget(parallel_label);
    controls->addWidget(parallel_);
    controls->addSpacing(12);
    controls->addWidget(web_);
    controls->addStretch();
    controls->addWidget(start_);
    controls->addWidget(stop_);

    rows_ = new QTableWidget(0, 4, this);
    rows_->setObjectName(QStringLiteral("loadRows"));
    rows_->setHorizontalHeaderLabels({tr("Address"), tr("Step"), tr("Progress"), tr("Verdict")});
    rows_->verticalHeader()->hide();
    rows_->setShowGrid(false);
    rows_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    rows_->setSelectionMode(QAbstractItemView::NoSelection);
    rows_->setColumnWidth(kAddressColumn, 110);
    rows_->setColumnWidth(kStepColumn, 130);
    rows_->setColumnWidth(kProgressColumn, 70);
    rows_->horizontalHeader()->setStretchLastSection(true);

    // The summary is a table of its own: in a fixed-pitch font its columns line up.
    summary_ = new QPlainTextEdit(this);
    summary_->setObjectName(QStringLiteral("loadSummary"));
    summary_->setReadOnly(true);
    summary_->setLineWrapMode(QPlainTextEdit::NoWrap);
    summary_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    summary_->setMaximumHeight(summary_->fontMetrics().lineSpacing() * 8);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_label);
    layout->addWidget(list_, 1);
    layout->addLayout(controls);
    layout->addWidget(rows_, 2);
    layout->addWidget(summary_);
    layout->addWidget(buttons);
    showRunning(false);
    resize(760, 600);
}

LoadDialog::~LoadDialog() = default;

void LoadDialog::reject() {
    if (runner_.running()) {
        const bool stop = confirm_close_
                              ? confirm_close_(kStopSiteLoadQuestion)
                              : QMessageBox::question(this, windowTitle(),
                                                      QString::fromLatin1(kStopSiteLoadQuestion),
                                                      QMessageBox::Yes | QMessageBox::No,
                                                      QMessageBox::No) == QMessageBox::Yes;
        if (!stop) return;  // the dialog and its load go on
        runner_.stop();
    }
    QDialog::reject();
}

void LoadDialog::startLoad() {
    // The load's threads queue the refresh on this dialog's thread; a call still queued when
    // the dialog goes is dropped with it.
    const std::vector<load::Refusal> refusals = runner_.start(
        list_->toPlainText().toStdString(), static_cast<std::size_t>(parallel_->value()),
        web_->isChecked(), {},
        [this] { QMetaObject::invokeMethod(this, &LoadDialog::refresh, Qt::QueuedConnection); });
    if (!refusals.empty()) {
        QString text = tr("Not started:");
        for (const load::Refusal& r : refusals) {
            text += QLatin1Char('\n') + text_of(r.problem);
            text += QLatin1Char('\n') + tr("  fix: ") + text_of(r.fix);
        }
        summary_->setPlainText(text);
        return;
    }
    summary_->clear();
    showRunning(true);
    refresh();  // the rows, before the first step ends
}

void LoadDialog::stopLoad() {
    runner_.stop();
    stop_->setEnabled(false);  // asked once; the rows show the controllers still followed
}

void LoadDialog::openList() {
    const QString path = QFileDialog::getOpenFileName(this, tr("Open controller list"), {},
                                                      tr("Text files (*.txt);;All files (*)"));
    if (path.isEmpty()) return;  // cancelled
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        QMessageBox::warning(this, tr("Open controller list"), file.errorString());
        return;
    }
    list_->setPlainText(QString::fromUtf8(file.readAll()));
}

void LoadDialog::refresh() {
    const LoadSnapshot snapshot = runner_.take();
    rows_->setRowCount(static_cast<int>(snapshot.rows.size()));
    const auto set = [this](int row, int column, const QString& text) {
        QTableWidgetItem* cell = rows_->item(row, column);
        if (!cell) {
            cell = new QTableWidgetItem;
            cell->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            rows_->setItem(row, column, cell);
        }
        if (cell->text() != text) cell->setText(text);
    };
    for (int row = 0; const LoadRow& r : snapshot.rows) {
        set(row, kAddressColumn, text_of(r.address));
        set(row, kStepColumn, text_of(r.step));
        // What the step said goes with its name, for when its verdict is not there yet.
        rows_->item(row, kStepColumn)->setToolTip(text_of(r.text));
        set(row, kProgressColumn,
            r.progress > 0 ? QStringLiteral("%1 %").arg(r.progress) : QString());
        set(row, kVerdictColumn, text_of(r.verdict));
        ++row;
    }
    if (!snapshot.ended) return;
    summary_->setPlainText(text_of(snapshot.summary).trimmed());
    showRunning(false);
}

void LoadDialog::showRunning(bool running) {
    list_->setReadOnly(running);
    open_->setEnabled(!running);
    parallel_->setEnabled(!running);
    web_->setEnabled(!running);
    start_->setEnabled(!running);
    stop_->setEnabled(running);
}

}  // namespace ui
