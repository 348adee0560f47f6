// "Load controllers..." in the window: the list of a site's controllers (pasted, or read from a
// file), how many to load at once and whether the web pages go too; then one row per controller
// with its step, the share of the boot file it has read and its verdict, updated as the load
// goes, and the summary table `kestrom load` ends with. What stops a load from starting shows
// in the same place, with what to change.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "ui/load_runner.h"

class QCheckBox;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace ui {

class LoadDialog : public QDialog {
    Q_OBJECT

public:
    enum Column { kAddressColumn, kStepColumn, kProgressColumn, kVerdictColumn };

    // The boot file is read from `tftp_directory`. `confirm_close` asks kStopSiteLoadQuestion
    // when the dialog is to close while a load runs; true: stop it and close. Unset: a Yes/No
    // box, No as its default.
    explicit LoadDialog(std::string tftp_directory, QWidget* parent = nullptr,
                        std::function<bool(const std::string& question)> confirm_close = {});
    // A load still running is stopped, not waited for (LoadRunner).
    ~LoadDialog() override;

    QPlainTextEdit* listEdit() const { return list_; }
    QSpinBox* parallelBox() const { return parallel_; }
    QCheckBox* webBox() const { return web_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* stopButton() const { return stop_; }
    QTableWidget* rows() const { return rows_; }
    // The refusals before a start, the summary table after the end.
    QPlainTextEdit* summary() const { return summary_; }
    bool running() const { return runner_.running(); }

public slots:
    // Escape, Close and the close box: while a load runs the user is asked first.
    void reject() override;
    void startLoad();
    void stopLoad();
    // Asks for a list file and puts its text in the list.
    void openList();

private:
    void refresh();
    void showRunning(bool running);

    std::function<bool(const std::string&)> confirm_close_;
    QPlainTextEdit* list_ = nullptr;
    QPushButton* open_ = nullptr;
    QSpinBox* parallel_ = nullptr;
    QCheckBox* web_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QTableWidget* rows_ = nullptr;
    QPlainTextEdit* summary_ = nullptr;
    // Declared last, so it goes first: its load's reports wake this dialog until then.
    LoadRunner runner_;
};

}  // namespace ui
