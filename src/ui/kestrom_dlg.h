// CKestromDlg: the tool's one window. A fixed-size dialog with a tab control of two pages that
// hold the eight setting fields, the three buttons and the log pane. It is the driver's
// front-end: every user change of a setting field becomes an apply_setting_edit, the two
// update buttons become the driver's triggers, and its log pane is the event log's sink.
#pragma once

#include <QDialog>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "core/driver.h"
#include "core/settings.h"

class QAction;
class QLineEdit;

namespace ui {

class CSTabCtrl;
class LogPane;

struct KestromDlgOptions {
    core::DriverOptions driver;
    // The product starts the TFTP and DHCP services at the end of the initialisation; tests
    // that only look at the window leave them off.
    bool start_services = true;
    // Called after each field edit has been applied, with the setting and the field's text
    // (tests count edits with it).
    std::function<void(core::Setting, const std::string&)> on_setting_edit;
};

class CKestromDlg : public QDialog, public core::FrontEnd {
    Q_OBJECT

public:
    // Control ids of the dialog template.
    enum ControlId : int {
        kUpdateWebPages = 3,
        kIPStartAddressEdit = 1001,
        kPoolSizeEdit = 1002,
        kBootFileEdit = 1003,
        kNetmaskEdit = 1004,
        kLoginEdit = 1005,
        kTabControl = 1006,
        kLogPane = 1007,
        kPoolSizeLabel = 1008,
        kIPStartAddressLabel = 1009,
        kBootFileLabel = 1010,
        kNetmaskLabel = 1011,
        kLoginLabel = 1012,
        kPasswordEdit = 1013,
        kPasswordLabel = 1014,
        kIPAddressEdit = 1015,
        kIPAddressLabel = 1016,
        kUpdateFirmware = 1017,
        kAbout = 1018,
        kHttpPortEdit = 1019,
        kHttpPortLabel = 1020,
    };

    // Builds the window and runs the initialisation: log sink, about entry and icon, settings
    // load, tab pages, and (unless options say otherwise) the services.
    explicit CKestromDlg(QWidget* parent = nullptr, KestromDlgOptions options = {});
    ~CKestromDlg() override;

    // The control with a template id, or nullptr.
    QWidget* GetDlgItem(int id) const;
    CSTabCtrl* tabs() const { return tabs_; }
    LogPane* logPane() const { return log_pane_; }
    QAction* aboutAction() const { return about_action_; }

    // core::FrontEnd; the driver calls these on the dialog's thread.
    void take_field_texts() override;
    std::string field_text(core::Setting s) const override;
    void set_field_text(core::Setting s, std::string_view text) override;
    void show_field_texts() override;
    void clear_log() override;

public slots:
    // The about box, modal, with this dialog as its parent.
    void showAbout();

private:
    void createControls();
    void setUpTabPages();
    QLineEdit* settingField(core::Setting s) const;

    KestromDlgOptions options_;
    // The front-end's copy of the setting fields, indexed by core::Setting.
    std::array<std::string, core::kSettings.size()> texts_;
    std::array<QLineEdit*, core::kSettings.size()> fields_{};
    CSTabCtrl* tabs_ = nullptr;
    LogPane* log_pane_ = nullptr;
    QAction* about_action_ = nullptr;
    std::unique_ptr<core::Driver> driver_;
};

}  // namespace ui
