// CKestromDlg: the tool's one window. A fixed-size dialog with a tab control of two pages that
// hold the eight setting fields, the three buttons and the log pane, and below that template a
// progress strip. It is the driver's front-end: every user change of a setting field becomes an
// apply_setting_edit, the two update buttons become the driver's triggers, and its log pane is
// the event log's sink. Its context menu also runs the pre-flight check and saves the load
// report.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "driver/driver.h"
#include "ui/dialog_template.h"

class QAction;
class QLineEdit;

namespace check {
struct CheckItem;
}

namespace ui {

class CSTabCtrl;
class LogPane;
class ProgressStrip;

struct KestromDlgOptions {
    core::DriverOptions driver;
    // The product starts the TFTP and DHCP services at the end of the initialisation; tests
    // that only look at the window leave them off.
    bool start_services = true;
    // Called after each field edit has been applied, with the setting and the field's text
    // (tests count edits with it).
    std::function<void(core::Setting, const std::string&)> on_setting_edit;
    // Asks where "Save load report..." writes; an empty name cancels. Unset: a file dialog.
    std::function<QString()> report_file_name;
};

class CKestromDlg : public QDialog, public core::FrontEnd {
    Q_OBJECT

public:
    // The control ids of the window's template (ui/dialog_template.h).
    using enum ControlId;

    // Builds the window and runs the initialisation: log sink, context menu and icon, settings
    // load, tab pages, the load report kept in memory, and (unless options say otherwise) the
    // services.
    explicit CKestromDlg(QWidget* parent = nullptr, KestromDlgOptions options = {});
    ~CKestromDlg() override;

    // The template's client area and one control's rectangle (empty for an unknown id), in
    // dialog units.
    static QSize templateSize();
    static QRect templateRect(int id);

    // The control with a template id, or nullptr.
    QWidget* GetDlgItem(int id) const;
    CSTabCtrl* tabs() const { return tabs_; }
    LogPane* logPane() const { return log_pane_; }
    ProgressStrip* progressStrip() const { return progress_strip_; }
    QAction* aboutAction() const { return about_action_; }
    QAction* checkAction() const { return check_action_; }
    QAction* saveReportAction() const { return save_report_action_; }

    // core::FrontEnd; the driver calls these on the dialog's thread.
    void take_field_texts() override;
    std::string field_text(core::Setting s) const override;
    void set_field_text(core::Setting s, std::string_view text) override;
    void show_field_texts() override;
    void clear_log() override;

public slots:
    // The about box, modal, with this dialog as its parent.
    void showAbout();
    // Starts the pre-flight check on a worker thread; its results open in a modal dialog.
    void checkSetup();
    // Asks for a file name and writes the load report kept since the window opened.
    void saveLoadReport();

private:
    void createControls();
    void createContextMenu();
    void showCheckResults(const std::vector<check::CheckItem>& items);
    void setUpTabPages();
    QLineEdit* settingField(core::Setting s) const;

    KestromDlgOptions options_;
    // The front-end's copy of the setting fields, indexed by core::Setting.
    std::array<std::string, core::kSettings.size()> texts_;
    std::array<QLineEdit*, core::kSettings.size()> fields_{};
    CSTabCtrl* tabs_ = nullptr;
    LogPane* log_pane_ = nullptr;
    ProgressStrip* progress_strip_ = nullptr;
    QAction* about_action_ = nullptr;
    QAction* check_action_ = nullptr;
    QAction* save_report_action_ = nullptr;
    std::unique_ptr<core::Driver> driver_;
    // The check's worker. Declared last, so it is joined first: a check still running ends
    // within its connect time-outs, and its results are then dropped with the window.
    std::jthread check_thread_;
};

}  // namespace ui
