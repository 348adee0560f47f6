// CKestromDlg: the tool's one window. A fixed-size dialog with a tab control of two pages that
// hold the eight setting fields, the three buttons and the log pane, and below that template a
// progress strip. It is the driver's front-end: every user change of a setting field becomes an
// apply_setting_edit, the two update buttons become the driver's triggers, and its log pane is
// the event log's sink. Its context menu also runs the pre-flight check, saves the load report,
// opens the load folder, which the progress strip names while nothing runs, and loads a site's
// controllers.
#pragma once

#include <QDialog>
#include <array>
#include <memory>

#include "core/settings.h"
#include "driver/driver.h"
#include "ui/check_runner.h"
#include "ui/dialog_template.h"
#include "ui/kestrom_dlg_options.h"

class QAction;
class QLineEdit;

namespace ui {

class CSTabCtrl;
class LogPane;
class ProgressStrip;

class CKestromDlg : public QDialog, public driver::TextFrontEnd {
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
    QAction* openFolderAction() const { return open_folder_action_; }
    QAction* loadAction() const { return load_action_; }

    // driver::FrontEnd: what touches the fields and the log pane (TextFrontEnd keeps the copy of
    // the texts); the driver calls these on the dialog's thread.
    void take_field_texts() override;
    void show_field_texts() override;
    void clear_log() override;

public slots:
    // Escape, and the close box through QDialog::closeEvent: while a load runs (driver::
    // load_running) the user is asked first, and No keeps the window; idle, it closes at once.
    void reject() override;
    // The about box, modal, with this dialog as its parent.
    void showAbout();
    // Starts the pre-flight check on a worker thread; its results open in a modal dialog.
    void checkSetup();
    // Asks for a file name and writes the load report kept since the window opened.
    void saveLoadReport();
    // Shows the load folder (the current folder, where zorva.bin, kestrom.ini and www/ are
    // read) in the desktop's file manager.
    void openLoadFolder();
    // The "Load controllers" dialog, modal, loading with this window's services.
    void loadControllers();

private:
    void createControls();
    void createContextMenu();
    void showCheckResults();
    void setUpTabPages();
    QLineEdit* settingField(core::Setting s) const;

    KestromDlgOptions options_;
    std::array<QLineEdit*, core::kSettings.size()> fields_{};
    CSTabCtrl* tabs_ = nullptr;
    LogPane* log_pane_ = nullptr;
    ProgressStrip* progress_strip_ = nullptr;
    QAction* about_action_ = nullptr;
    QAction* check_action_ = nullptr;
    QAction* save_report_action_ = nullptr;
    QAction* open_folder_action_ = nullptr;
    QAction* load_action_ = nullptr;
    std::unique_ptr<driver::Driver> driver_;
    // Declared last, so it is joined first: a check still running ends within its connect
    // time-outs, and its results are then dropped with the window.
    CheckRunner check_runner_;
};

}  // namespace ui
