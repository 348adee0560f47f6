#include "ui/qt/kestrom_dlg.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "check/check.h"
#include "core/event_log.h"
#include "core/load_report.h"
#include "platform/desktop.h"
#include "ui/dialog_template.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/check_dialog.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/load_dialog.h"
#include "ui/qt/log_pane.h"
#include "ui/qt/progress_strip.h"
#include "ui/qt/resources.h"
#include "ui/qt/s_tab_ctrl.h"

namespace ui {
namespace {

// The template's text in the window's language (the table holds the English texts).
QString text_of(const ControlTemplate& t) {
    return QCoreApplication::translate("ui::CKestromDlg", std::string(t.text).c_str());
}

std::size_t index_of(core::Setting s) {
    return static_cast<std::size_t>(s);
}

}  // namespace

CKestromDlg::CKestromDlg(QWidget* parent, KestromDlgOptions options)
    : QDialog(parent), options_(std::move(options)) {
    init_resources();
    setWindowTitle(QStringLiteral("kestrom"));
    // Caption, system menu, minimise box and close box; no maximise box, no resizing.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setObjectName(QStringLiteral("CKestromDlg"));

    // 1. The controls, filled from the still empty texts.
    createControls();
    show_field_texts();
    // 2. From here on log text reaches the pane.
    core::set_log_sink(log_pane_->sink());
    // 3. The context menu (window managers own the system menu, so the about entry goes there)
    //    and the icons.
    createContextMenu();
    setWindowIcon(application_icon());
    // 4. The settings.
    driver_ = std::make_unique<driver::Driver>(*this, options_.driver);
    driver_->load_settings();
    // 5. The tab pages.
    setUpTabPages();
    // 6. Everything loaded from here on goes into the report that "Save load report..." writes.
    core::keep_report_in_memory();
    // 7. The services.
    if (options_.start_services) driver_->start_services();
}

CKestromDlg::~CKestromDlg() {
    // Workers may still log; from now on their text is dropped, not sent to a pane that goes.
    core::set_log_sink(nullptr);
    log_pane_->sink()->detach();
    driver_.reset();
}

void CKestromDlg::createControls() {
    const DialogUnits units(font());
    QWidget* previous_in_tab_order = nullptr;
    for (const ControlTemplate& t : kMainDialog.controls) {
        const QRect rect = units.toPixels(t.x, t.y, t.width, t.height);
        QWidget* widget = nullptr;
        switch (t.kind) {
            case ControlKind::tab_control: {
                tabs_ = new CSTabCtrl(this);
                tabs_->setTabPosition(QTabWidget::South);
                tabs_->setUsesScrollButtons(false);
                widget = tabs_;
                break;
            }
            case ControlKind::log_pane:
                log_pane_ = new LogPane(this);
                widget = log_pane_;
                break;
            case ControlKind::push_button: {
                auto* button = new QPushButton(text_of(t), this);
                if (t.style & kDefaultButton) button->setDefault(true);
                widget = button;
                break;
            }
            case ControlKind::edit: {
                auto* edit = new QLineEdit(this);
                const core::SettingInfo* info = core::find_setting_by_control(t.id);
                Q_ASSERT(info);
                const core::Setting setting = info->setting;
                edit->setObjectName(QLatin1String(info->name));  // tests find fields by name
                fields_[index_of(setting)] = edit;
                // textEdited fires on the user's changes only (keystroke, cut, paste, undo),
                // never when the program sets the text, so loading the fields is not an edit.
                connect(edit, &QLineEdit::textEdited, this, [this, setting](const QString& text) {
                    const std::string value = text.toStdString();
                    driver_->apply_setting_edit(setting, value);
                    if (options_.on_setting_edit) options_.on_setting_edit(setting, value);
                });
                widget = edit;
                break;
            }
            case ControlKind::picture:  // only the about box has one
            case ControlKind::label: {
                auto* label = new QLabel(text_of(t), this);
                label->setTextFormat(Qt::PlainText);
                widget = label;
                break;
            }
        }
        widget->setProperty("controlId", t.id);
        if (widget->objectName().isEmpty())
            widget->setObjectName(QStringLiteral("control%1").arg(t.id));
        QRect geometry = rect;
        // The template sized its labels for its own font; a wider desktop font gets the width
        // the text needs (the labels end well before their fields).
        if (t.kind == ControlKind::label)
            geometry.setWidth(qMax(rect.width(), widget->sizeHint().width()));
        widget->setGeometry(geometry);
        if (widget->focusPolicy() & Qt::TabFocus) {
            if (previous_in_tab_order) setTabOrder(previous_in_tab_order, widget);
            previous_in_tab_order = widget;
        }
    }
    // The progress strip goes below the template, which keeps its size: the dialog grows by
    // the strip's height.
    const int template_height = units.toPixelsY(kMainDialog.height);
    progress_strip_ = new ProgressStrip(units, this);
    progress_strip_->setGeometry(0, template_height, units.toPixelsX(kMainDialog.width),
                                 progress_strip_->sizeHint().height());
    setFixedSize(units.toPixelsX(kMainDialog.width), template_height + progress_strip_->height());
    // While nothing has run, the strip says where the files are read.
    progress_strip_->setIdleText(
        tr("Load folder: %1").arg(QDir::toNativeSeparators(QDir::currentPath())));

    connect(static_cast<QPushButton*>(GetDlgItem(kUpdateWebPages)), &QPushButton::clicked, this,
            [this] { driver_->start_web_pages_update(); });
    connect(static_cast<QPushButton*>(GetDlgItem(kUpdateFirmware)), &QPushButton::clicked, this,
            [this] { driver_->start_firmware_update(); });
    connect(static_cast<QPushButton*>(GetDlgItem(kAbout)), &QPushButton::clicked, this,
            &CKestromDlg::showAbout);
}

void CKestromDlg::createContextMenu() {
    about_action_ = new QAction(tr("&About kestrom..."), this);
    about_action_->setObjectName(QStringLiteral("aboutAction"));
    connect(about_action_, &QAction::triggered, this, &CKestromDlg::showAbout);
    check_action_ = new QAction(tr("Check setup..."), this);
    check_action_->setObjectName(QStringLiteral("checkAction"));
    connect(check_action_, &QAction::triggered, this, &CKestromDlg::checkSetup);
    save_report_action_ = new QAction(tr("Save load report..."), this);
    save_report_action_->setObjectName(QStringLiteral("saveReportAction"));
    connect(save_report_action_, &QAction::triggered, this, &CKestromDlg::saveLoadReport);
    open_folder_action_ = new QAction(tr("Open load folder"), this);
    open_folder_action_->setObjectName(QStringLiteral("openFolderAction"));
    connect(open_folder_action_, &QAction::triggered, this, &CKestromDlg::openLoadFolder);
    load_action_ = new QAction(tr("Load controllers..."), this);
    load_action_->setObjectName(QStringLiteral("loadAction"));
    connect(load_action_, &QAction::triggered, this, &CKestromDlg::loadControllers);
    addActions(
        {about_action_, check_action_, save_report_action_, open_folder_action_, load_action_});
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void CKestromDlg::setUpTabPages() {
    tabs_->InsertItem(0, tr("Firmware/Web Update"));
    tabs_->InsertItem(1, tr("DHCP Setup"));
    for (const int id : kDhcpSetupPageControls) (void)tabs_->AddControlToPage(GetDlgItem(id), 1);
    for (const int id : kFirmwareWebPageControls) (void)tabs_->AddControlToPage(GetDlgItem(id), 0);
    (void)tabs_->SelectPage(0);  // the dialog opens on "Firmware/Web Update"
}

QSize CKestromDlg::templateSize() {
    return {kMainDialog.width, kMainDialog.height};
}

QRect CKestromDlg::templateRect(int id) {
    const ControlTemplate* t = find_control(kMainDialog, id);
    return t ? QRect(t->x, t->y, t->width, t->height) : QRect();
}

QWidget* CKestromDlg::GetDlgItem(int id) const {
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->property("controlId").toInt() == id) return child;
    }
    return nullptr;
}

QLineEdit* CKestromDlg::settingField(core::Setting s) const {
    return fields_[index_of(s)];
}

void CKestromDlg::take_field_texts() {
    for (const core::SettingInfo& info : core::kSettings)
        set_field_text(info.setting, settingField(info.setting)->text().toStdString());
}

void CKestromDlg::show_field_texts() {
    for (const core::SettingInfo& info : core::kSettings) {
        const std::string text = field_text(info.setting);
        const QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        QLineEdit* edit = settingField(info.setting);
        // setText is not an edit (no textEdited); leaving equal texts alone keeps the caret.
        if (edit->text() != shown) edit->setText(shown);
    }
}

void CKestromDlg::clear_log() {
    log_pane_->clearLog();
    show_field_texts();
}

void CKestromDlg::reject() {
    if (driver::load_running()) {
        const bool stop = options_.confirm_close
                              ? options_.confirm_close(kStopLoadQuestion)
                              : QMessageBox::question(this, QStringLiteral("kestrom"),
                                                      QString::fromLatin1(kStopLoadQuestion),
                                                      QMessageBox::Yes | QMessageBox::No,
                                                      QMessageBox::No) == QMessageBox::Yes;
        if (!stop) return;  // the window and the load go on
    }
    QDialog::reject();
}

void CKestromDlg::showAbout() {
    CAboutDialog about(this);
    (void)about.exec();  // the box has nothing to report
}

void CKestromDlg::checkSetup() {
    // The worker queues the results' showing on this dialog's thread; a call still queued when
    // the dialog goes is dropped with it.
    const bool started = check_runner_.start([this] {
        QMetaObject::invokeMethod(this, &CKestromDlg::showCheckResults, Qt::QueuedConnection);
    });
    if (!started) return;              // one check at a time
    check_action_->setEnabled(false);  // and its entry says so
    progress_strip_->setTask(tr("Checking..."));
}

void CKestromDlg::showCheckResults() {
    const std::optional<std::vector<check::CheckItem>> items = check_runner_.take();
    progress_strip_->setTask({});
    check_action_->setEnabled(true);
    if (!items) return;
    CheckDialog results(*items, this);
    (void)results.exec();  // the dialog only shows
}

void CKestromDlg::loadControllers() {
    LoadDialog dialog(options_.driver.tftp_directory, this, options_.confirm_close);
    (void)dialog.exec();  // a load still running when it closes was stopped there
}

void CKestromDlg::openLoadFolder() {
    const QString folder = QDir::currentPath();
    const std::filesystem::path path(QFile::encodeName(folder).toStdString());
    if (options_.open_folder) {
        options_.open_folder(path);
        return;
    }
    if (!platform::open_folder(path))
        QMessageBox::warning(
            this, tr("Open load folder"),
            tr("No file manager could be started for %1 (with xdg-open)").arg(folder));
}

void CKestromDlg::saveLoadReport() {
    const std::string path =
        options_.report_file_name
            ? options_.report_file_name()
            : QFile::encodeName(QFileDialog::getSaveFileName(this, tr("Save load report"),
                                                             QStringLiteral("kestrom-report.jsonl"),
                                                             tr("JSON Lines (*.jsonl)")))
                  .toStdString();
    if (path.empty()) return;  // cancelled
    std::string error;
    if (!core::save_report(path, &error))
        QMessageBox::warning(this, tr("Save load report"), QString::fromStdString(error));
}

}  // namespace ui
