// The main dialog, the about box and the application object, driven as a user would drive them.
#include "ui/qt/kestrom_dlg.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "close_cases.h"
#include "core/event_log.h"
#include "core/progress.h"
#include "core/version.h"
#include "driver/driver.h"
#include "picture.h"
#include "platform/socket.h"
#include "silent_segment.h"
#include "temp_hive.h"
#include "ui/dialog_template.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/check_dialog.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/kestrom_app.h"
#include "ui/qt/log_pane.h"
#include "ui/qt/progress_strip.h"
#include "ui/qt/s_tab_ctrl.h"
#include "ui_test_support.h"
#include "update/firmware_update.h"

using ui::CKestromDlg;
using Edit = std::pair<core::Setting, std::string>;

// Every lease table rebuild the driver asks for is counted on its way: the test binary is linked
// with --wrap for dhcp::build_lease_table, so the driver's calls come here first.
namespace {
std::atomic<int> g_rebuilds{0};
}  // namespace
extern "C" int __real__ZN4dhcp17build_lease_tableEv();
extern "C" int __wrap__ZN4dhcp17build_lease_tableEv() {
    ++g_rebuilds;
    return __real__ZN4dhcp17build_lease_tableEv();
}

namespace {

constexpr int kFirmwareWebPage[] = {1005, 1012, 1013, 1014, 1015, 1016, 1019, 1020};
constexpr int kDhcpSetupPage[] = {1001, 1009, 1002, 1008, 1003, 1010, 1004, 1011};
constexpr int kOnEveryPage[] = {1007, 1017, 1018, 3};

QString paneText(CKestromDlg& dlg) {
    dlg.logPane()->flushAll();
    return dlg.logPane()->toPlainText();
}

QString stripText(CKestromDlg& dlg) {
    return dlg.progressStrip()->textLine()->text();
}

QString screenshotPath(const char* name) {
    const QDir dir(QStringLiteral(KESTROM_SCREENSHOT_DIR));
    return dir.mkpath(QStringLiteral(".")) ? dir.filePath(QLatin1String(name)) : QString();
}

// ---- Pictures of what the screen shows ----

// On a display (the xcb platform, under Xvfb) pictures come from the X server and are kept;
// offscreen they are the widgets' own rendering, checked the same way and not kept.
bool onTheScreen() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// A top-level widget (window, box, menu) as a user sees it, once it has painted.
QImage pictureOf(QWidget* shown) {
    if (!QTest::qWaitForWindowExposed(shown)) return {};
    shown->repaint();
    QTest::qWait(50);  // the X server shows what was flushed to it
    if (!onTheScreen()) return shown->grab().toImage();
    const QRect frame = shown->frameGeometry();
    return shown->screen()
        ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
        .toImage();
}

test::Picture toPicture(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    test::Picture picture{rgb.width(), rgb.height(), {}};
    for (int y = 0; y < rgb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) picture.pixels.push_back(line[x] & 0xFFFFFF);
    }
    return picture;
}

// A place in the picture of `top`: a rectangle of `widget` less `inset` pixels on each side (a
// control's frame is not its text).
test::TextPlace placeIn(const QWidget* top, const QWidget* widget, QRect rect, int inset,
                        const QString& what, QString text) {
    QPoint corner = widget->mapTo(top, rect.topLeft());
    if (onTheScreen()) corner += top->geometry().topLeft() - top->frameGeometry().topLeft();
    rect.moveTopLeft(corner);
    rect.adjust(inset, inset, -inset, -inset);
    text = text.section(QLatin1Char('\n'), 0, 0).remove(QLatin1Char('&'));
    test::TextPlace place;
    place.what = what.toStdString();
    place.left = rect.left();
    place.top = rect.top();
    place.right = rect.right() + 1;  // QRect's right and bottom are inside it
    place.bottom = rect.bottom() + 1;
    place.text = text.toStdString();
    return place;
}

// The text a control shows, as far as it is a text.
QString shownText(const QWidget* w) {
    if (const auto* label = qobject_cast<const QLabel*>(w)) return label->text();
    if (const auto* button = qobject_cast<const QAbstractButton*>(w)) return button->text();
    if (const auto* edit = qobject_cast<const QLineEdit*>(w)) return edit->displayText();
    if (const auto* pane = qobject_cast<const QPlainTextEdit*>(w)) return pane->toPlainText();
    return {};
}

// The window's places from the control table, mapped with the dialog's base units: the visible
// controls with their texts as shown, and the tab control's tabs.
std::vector<test::TextPlace> mainWindowPlaces(CKestromDlg& dlg) {
    std::vector<test::TextPlace> places;
    const ui::DialogUnits units(dlg.font());
    for (const ui::ControlTemplate& t : ui::kMainDialog.controls) {
        QWidget* w = dlg.GetDlgItem(t.id);
        if (!w || !w->isVisible()) continue;
        const QString what = QStringLiteral("control %1").arg(t.id);
        if (t.kind == ui::ControlKind::tab_control) {
            const QTabBar* bar = dlg.tabs()->tabBar();
            for (int i = 0; i < bar->count(); ++i)
                places.push_back(placeIn(&dlg, bar, bar->tabRect(i), 2,
                                         what + QStringLiteral(" tab %1").arg(i), bar->tabText(i)));
            continue;
        }
        const QRect r = units.toPixels(t.x, t.y, t.width, t.height);
        places.push_back(
            placeIn(&dlg, &dlg, r, t.kind == ui::ControlKind::label ? 0 : 3, what, shownText(w)));
    }
    return places;
}

// The places of another window (the about box, the check's results): its visible controls that
// show a text, and the visible cells of a table.
std::vector<test::TextPlace> childPlaces(QWidget* box) {
    std::vector<test::TextPlace> places;
    for (QWidget* w : box->findChildren<QWidget*>()) {
        if (!w->isVisible()) continue;
        const QString what =
            QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(' ') + w->objectName();
        if (auto* table = qobject_cast<QTableWidget*>(w)) {
            const QRect seen = table->viewport()->rect();
            for (int row = 0; row < table->rowCount(); ++row)
                for (int column = 0; column < table->columnCount(); ++column) {
                    const QTableWidgetItem* cell = table->item(row, column);
                    const QRect r = cell ? table->visualItemRect(cell) : QRect();
                    if (!cell || !seen.contains(r)) continue;
                    places.push_back(placeIn(box, table->viewport(), r, 1,
                                             what + QStringLiteral(" %1,%2").arg(row).arg(column),
                                             cell->text()));
                }
            continue;
        }
        const QString text = shownText(w);
        if (text.isEmpty() || !w->isVisibleTo(box)) continue;
        places.push_back(placeIn(box, w, w->rect(), qobject_cast<QLabel*>(w) ? 0 : 3, what, text));
    }
    return places;
}

std::vector<test::TextPlace> menuPlaces(QMenu* menu) {
    std::vector<test::TextPlace> places;
    for (QAction* action : menu->actions())
        if (action->isVisible() && !action->isSeparator())
            places.push_back(placeIn(menu, menu, menu->actionGeometry(action), 1,
                                     QStringLiteral("menu entry ") + action->text(),
                                     action->text()));
    return places;
}

// Takes the picture of a top-level widget, checks that it shows every place's text and, on a
// display, writes it to the screenshot folder.
void keepPicture(const char* name, QWidget* shown, const std::vector<test::TextPlace>& places) {
    const QImage image = pictureOf(shown);
    QVERIFY2(!image.isNull(), name);
    const std::string faults = test::picture_faults(toPicture(image), places);
    QVERIFY2(faults.empty(), qPrintable(QLatin1String(name) + QStringLiteral(": ") +
                                        QString::fromStdString(faults)));
    if (onTheScreen()) QVERIFY2(image.save(screenshotPath(name)), name);
}

// A fresh hive whose controller address is this machine: the check connects to it.
struct LoopbackControllerHive {
    LoopbackControllerHive() {
        registry::ensure_settings_key();
        (void)registry::write_setting("ZorvaIPAddress", "127.0.0.1");  // always 0
    }
    test::TempHive hive;
};

struct CheckRow {
    QString status, detail, fix;
};

}  // namespace

class KestromDlgTest : public QObject {
    Q_OBJECT

private:
    std::vector<Edit> edits_;

    ui::KestromDlgOptions options() {
        ui::KestromDlgOptions o;
        o.start_services = false;  // nothing binds 67 or 69 here
        o.on_setting_edit = [this](core::Setting s, const std::string& text) {
            edits_.emplace_back(s, text);
        };
        return o;
    }

    static QLineEdit* field(CKestromDlg& dlg, core::Setting s) {
        return qobject_cast<QLineEdit*>(dlg.GetDlgItem(core::setting_info(s).control_id));
    }

    // True once any setting is in the store (a store that keeps what it is given).
    void checkPage(CKestromDlg& dlg, const int (&shown)[8], const int (&hidden)[8]) {
        for (const int id : shown) {
            QVERIFY2(dlg.GetDlgItem(id), qPrintable(QString::number(id)));
            QVERIFY2(dlg.GetDlgItem(id)->isVisible(), qPrintable(QString::number(id)));
        }
        for (const int id : hidden)
            QVERIFY2(!dlg.GetDlgItem(id)->isVisible(), qPrintable(QString::number(id)));
        for (const int id : kOnEveryPage) {
            QVERIFY2(dlg.GetDlgItem(id)->isVisible(), qPrintable(QString::number(id)));
            QVERIFY2(dlg.GetDlgItem(id)->isEnabled(), qPrintable(QString::number(id)));
        }
    }

    // Visible page controls and buttons: none clipped, none overlapping, all inside the tab
    // control's page area (above the tabs along its bottom edge).
    void checkLayout(CKestromDlg& dlg) {
        const QRect tabs = dlg.tabs()->geometry();
        const QRect bar(dlg.tabs()->tabBar()->mapTo(&dlg, QPoint(0, 0)),
                        dlg.tabs()->tabBar()->size());
        std::vector<QWidget*> shown;
        for (QWidget* w : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const int id = w->property("controlId").toInt();
            if (!w->isVisible() || id == CKestromDlg::kTabControl) continue;
            shown.push_back(w);
            const QString what = QString::number(id);
            QVERIFY2(dlg.rect().contains(w->geometry()), qPrintable(what));
            if (auto* label = qobject_cast<QLabel*>(w))
                QVERIFY2(label->width() >= label->sizeHint().width() &&
                             label->height() >= label->sizeHint().height(),
                         qPrintable(what + " clipped"));
            if (auto* button = qobject_cast<QPushButton*>(w))
                QVERIFY2(button->width() >= button->minimumSizeHint().width(),
                         qPrintable(what + " clipped"));
            if (auto* edit = qobject_cast<QLineEdit*>(w))
                QVERIFY2(edit->height() >= edit->fontMetrics().height() + 4,
                         qPrintable(what + " too low"));
            // The log pane and the progress strip below the template lie outside the tabs.
            if (id != CKestromDlg::kLogPane && w != dlg.progressStrip()) {
                QVERIFY2(tabs.contains(w->geometry()), qPrintable(what + " outside the tabs"));
                QVERIFY2(!bar.intersects(w->geometry()), qPrintable(what + " on the tabs"));
            }
        }
        for (std::size_t i = 0; i < shown.size(); ++i)
            for (std::size_t j = i + 1; j < shown.size(); ++j)
                QVERIFY2(
                    !shown[i]->geometry().intersects(shown[j]->geometry()),
                    qPrintable(shown[i]->objectName() + " overlaps " + shown[j]->objectName()));
    }

    // Runs "Check setup..." and fills *rows (by item name) and *summary from the results dialog,
    // which it closes again, after a screenshot when `screenshot` names one.
    static void runCheck(CKestromDlg& dlg, std::map<QString, CheckRow>* rows, QString* summary,
                         const char* screenshot = nullptr) {
        // Nothing but this machine may be contacted.
        QCOMPARE(QByteArray(core::settings_snapshot().ZorvaIPAddress), QByteArray("127.0.0.1"));
        bool shown = false;
        test::onNextModal([&](QWidget* modal) {
            if (auto* results = qobject_cast<ui::CheckDialog*>(modal)) {
                shown = true;
                QCOMPARE(results->windowTitle(), QStringLiteral("Check setup"));
                const QTableWidget* table = results->results();
                for (int row = 0; row < table->rowCount(); ++row) {
                    const QStringList detail =
                        table->item(row, ui::CheckDialog::kDetailColumn)->text().split('\n');
                    (*rows)[table->item(row, ui::CheckDialog::kItemColumn)->text()] = {
                        table->item(row, ui::CheckDialog::kStatusColumn)->text(), detail.value(0),
                        detail.value(1)};
                }
                *summary = results->findChild<QLabel*>(QStringLiteral("checkSummary"))->text();
                if (screenshot) keepPicture(screenshot, results, childPlaces(results));
            }
            modal->close();
        });
        dlg.checkAction()->trigger();
        // The check runs on its own thread: the window goes on, showing that it waits.
        QCOMPARE(stripText(dlg), QStringLiteral("Checking..."));
        QCOMPARE(dlg.progressStrip()->bar()->maximum(), 0);
        QVERIFY(!dlg.checkAction()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(shown, 30000);
        QVERIFY(dlg.checkAction()->isEnabled());
        QTRY_VERIFY(stripText(dlg) != QStringLiteral("Checking..."));
    }

private slots:
    // As the application object does before any window: writes need the key.
    void initTestCase() { registry::ensure_settings_key(); }
    void init() { edits_.clear(); }

    // Before anything has run (so first here: the progress board is the process's), the strip
    // names the load folder, and the right-click menu's last entry shows it.
    void theStripNamesTheLoadFolderAndTheRightClickMenuOpensIt() {
        test::TempDir dir;
        const test::CurrentDir cwd(dir.path());
        std::vector<std::filesystem::path> opened;
        ui::KestromDlgOptions o = options();
        o.open_folder = [&opened](const std::filesystem::path& folder) {
            opened.push_back(folder);
        };
        CKestromDlg dlg(nullptr, std::move(o));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(stripText(dlg), QStringLiteral("Load folder: ") + QDir::currentPath());
        QCOMPARE(dlg.contextMenuPolicy(), Qt::ActionsContextMenu);
        QStringList entries;
        for (const QAction* action : dlg.actions()) entries << action->text();
        QCOMPARE(
            entries,
            QStringList({QStringLiteral("&About kestrom..."), QStringLiteral("Check setup..."),
                         QStringLiteral("Save load report..."), QStringLiteral("Open load folder"),
                         QStringLiteral("Load controllers...")}));
        dlg.openFolderAction()->trigger();
        QCOMPARE(opened, std::vector{std::filesystem::current_path()});
    }

    void theWindowOpensOnFirmwareWebUpdateWithItsFourFields() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("kestrom"));
        QCOMPARE(dlg.tabs()->count(), 2);
        QCOMPARE(dlg.tabs()->tabText(0), QStringLiteral("Firmware/Web Update"));
        QCOMPARE(dlg.tabs()->tabText(1), QStringLiteral("DHCP Setup"));
        QCOMPARE(dlg.tabs()->tabPosition(), QTabWidget::South);
        QCOMPARE(dlg.tabs()->currentIndex(), 0);
        checkPage(dlg, kFirmwareWebPage, kDhcpSetupPage);
        const std::pair<int, const char*> labels[] = {{1012, "Login"},
                                                      {1014, "Password"},
                                                      {1016, "IP Address"},
                                                      {1020, "HTTP port"},
                                                      {1009, "IP Starting Pool"},
                                                      {1008, "Size of Pool"},
                                                      {1010, "Boot File"},
                                                      {1011, "Mask"}};
        for (const auto& [id, text] : labels)
            QCOMPARE(qobject_cast<QLabel*>(dlg.GetDlgItem(id))->text(), QLatin1String(text));
        QCOMPARE(field(dlg, core::Setting::ZorvaPassword)->echoMode(), QLineEdit::Normal);
        auto* firmware = qobject_cast<QPushButton*>(dlg.GetDlgItem(1017));
        QVERIFY(firmware->isDefault());
        QCOMPARE(firmware->text(), QStringLiteral("Update Firmware"));
        QCOMPARE(qobject_cast<QPushButton*>(dlg.GetDlgItem(3))->text(),
                 QStringLiteral("Update Web Pages"));
        QCOMPARE(qobject_cast<QPushButton*>(dlg.GetDlgItem(1018))->text(),
                 QStringLiteral("About.."));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());  // fixed size
    }

    void dhcpSetupShowsThePoolFieldsAndTheButtonsStay() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QTabBar* bar = dlg.tabs()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
        checkPage(dlg, kDhcpSetupPage, kFirmwareWebPage);
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(0).center());
        checkPage(dlg, kFirmwareWebPage, kDhcpSetupPage);
    }

    void theKeyboardTabOrderIsTheTemplateOrder() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        // Page 0 shown: the DHCP fields are hidden and skipped.
        const int expected[] = {1006, 1007, 1017, 1018, 1005, 1013, 1015, 3, 1019, 1006};
        dlg.tabs()->tabBar()->setFocus();
        QTRY_VERIFY(dlg.tabs()->tabBar()->hasFocus());
        for (const int id : expected) {
            QWidget* focus = QApplication::focusWidget();
            QVERIFY(focus);
            // The tab control takes the focus through its tab bar.
            const int focused = focus == dlg.tabs()->tabBar()
                                    ? int{CKestromDlg::kTabControl}
                                    : focus->property("controlId").toInt();
            QCOMPARE(focused, id);
            QTest::keyClick(focus, Qt::Key_Tab);
        }
    }

    void loadingFillsAllEightFieldsWithoutAStoreWrite() {
        core::settings_reset();
        const auto before = test::stored_settings();
        const int rebuilds = g_rebuilds;
        CKestromDlg dlg(nullptr, options());
        QCOMPARE(g_rebuilds - rebuilds, 0);
        const core::ToolSettings record = core::settings_snapshot();
        for (const core::SettingInfo& info : core::kSettings) {
            char stored[core::kSettingTextSize]{};
            (void)registry::read_setting(info.name, info.default_text, stored);
            QCOMPARE(field(dlg, info.setting)->text(), QString::fromUtf8(stored));
            if (info.setting == core::Setting::Zorva_TFTP_TCP_PORT)
                QCOMPARE(record.Zorva_TFTP_TCP_PORT, core::decimal_value(stored));
            else
                QCOMPARE(QString::fromUtf8(record.text(info.setting)), QString::fromUtf8(stored));
        }
        QVERIFY(edits_.empty());
        QVERIFY(test::stored_settings() == before);
    }

    void eachKeystrokeIsOneEditOfItsOwnSettingOnly() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        for (const core::SettingInfo& info : core::kSettings) {
            const QByteArray what(info.name);
            (void)dlg.tabs()->SelectPage(info.control_id <= 1004 ? 1 : 0);
            QLineEdit* edit = field(dlg, info.setting);
            edit->setFocus();
            edit->setText(QStringLiteral("1"));  // programmatic: not an edit
            edit->end(false);
            const auto before = test::stored_settings();
            edits_.clear();
            const int rebuilds = g_rebuilds;

            QTest::keyClick(edit, Qt::Key_2);
            QVERIFY2(edits_.size() == 1, what);
            // The pool, the mask, the boot file and the port rebuild the lease table; the
            // controller's login, password and address do not.
            const bool rebuilds_table = info.setting != core::Setting::ZorvaLogin &&
                                        info.setting != core::Setting::ZorvaPassword &&
                                        info.setting != core::Setting::ZorvaIPAddress;
            QVERIFY2(g_rebuilds - rebuilds == (rebuilds_table ? 1 : 0), what);
            QVERIFY2(edits_[0] == Edit(info.setting, "12"), what);
            const core::ToolSettings record = core::settings_snapshot();
            if (info.setting == core::Setting::Zorva_TFTP_TCP_PORT)
                QCOMPARE(record.Zorva_TFTP_TCP_PORT, 12);
            else
                QCOMPARE(QByteArray(record.text(info.setting)), QByteArray("12"));

            // The binary's own hive keeps values: exactly this one changed in the store.
            auto after = test::stored_settings();
            QVERIFY2(after[info.name] == "12", what + " was not stored as 12, the store holds " +
                                                   QByteArray::fromStdString(after[info.name]));
            after[info.name] = before.at(info.name);
            QVERIFY2(after == before, what + ": another setting changed in the store as well");
        }
    }

    void cutAndPasteAreOneEditEach() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QLineEdit* login = field(dlg, core::Setting::ZorvaLogin);
        login->setFocus();
        login->setText(QStringLiteral("admin"));
        login->selectAll();
        QTest::keyClick(login, Qt::Key_X, Qt::ControlModifier);
        QTest::keyClick(login, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(login, Qt::Key_V, Qt::ControlModifier);
        const std::vector<Edit> expected = {{core::Setting::ZorvaLogin, ""},
                                            {core::Setting::ZorvaLogin, "admin"},
                                            {core::Setting::ZorvaLogin, "adminadmin"}};
        QVERIFY(edits_ == expected);
    }

    void thePortFieldKeepsItsTextAndTheRecordGetsTheNumber() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QLineEdit* port = field(dlg, core::Setting::Zorva_TFTP_TCP_PORT);
        port->setFocus();
        port->clear();
        QTest::keyClicks(port, QStringLiteral("8080x"));
        QCOMPARE(port->text(), QStringLiteral("8080x"));
        QCOMPARE(edits_.size(), std::size_t{5});
        QCOMPARE(core::settings_snapshot().Zorva_TFTP_TCP_PORT, 8080);
        const auto stored = test::stored_settings();
        QCOMPARE(QByteArray::fromStdString(stored.at("Zorva_TFTP_TCP_PORT")), QByteArray("8080"));
    }

    void switchingPagesWritesNothing() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const auto before = test::stored_settings();
        const core::ToolSettings record = core::settings_snapshot();
        const int rebuilds = g_rebuilds;
        QTabBar* bar = dlg.tabs()->tabBar();
        for (const int tab : {1, 0, 1, 1, 0}) {
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
            QCOMPARE(dlg.tabs()->currentPage(), tab);
        }
        QVERIFY(edits_.empty());
        QCOMPARE(g_rebuilds - rebuilds, 0);
        QVERIFY(test::stored_settings() == before);
        const core::ToolSettings now = core::settings_snapshot();
        for (const core::SettingInfo& info : core::kSettings)
            if (info.setting != core::Setting::Zorva_TFTP_TCP_PORT)
                QCOMPARE(QByteArray(now.text(info.setting)), QByteArray(record.text(info.setting)));
        QCOMPARE(now.Zorva_TFTP_TCP_PORT, record.Zorva_TFTP_TCP_PORT);
    }

    void aClickEmptiesThePaneBeforeTheStartLine() {
        struct Case {
            int button;
            const char* start_line;
        };
        const Case cases[] = {
            {CKestromDlg::kUpdateFirmware, "ZorvaController Update Firmware starting...\n"},
            {CKestromDlg::kUpdateWebPages, "ZorvaController Web Page Update Starting\n"},
        };
        for (const Case& c : cases) {
            CKestromDlg dlg(nullptr, options());
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            // Whatever a job may contact stays on this machine, at a port nobody serves.
            field(dlg, core::Setting::ZorvaIPAddress)->setText(QStringLiteral("127.0.0.1"));
            core::settings_set_text(core::Setting::ZorvaIPAddress, "127.0.0.1");
            core::settings_set_port(1);
            core::log_printf("earlier text\n");
            QTRY_VERIFY(dlg.logPane()->toPlainText().contains(QStringLiteral("earlier text")));
            core::log_printf("queued, not yet shown\n");  // the click must drop it too
            const auto before = test::stored_settings();

            QTest::mouseClick(dlg.GetDlgItem(c.button), Qt::LeftButton);
            QVERIFY(paneText(dlg).startsWith(QString::fromLatin1(c.start_line)));
            QVERIFY(!paneText(dlg).contains(QStringLiteral("queued")));
            QVERIFY(edits_.empty());
            QVERIFY(test::stored_settings() == before);
            QVERIFY(dlg.GetDlgItem(c.button)->isEnabled());
            // The job's own lines must land in this pane, not in the next test's.
            QVERIFY(driver::wait_for_web_jobs(std::chrono::seconds(60)));
            QVERIFY(update::wait_for_firmware_job(std::chrono::seconds(60)).has_value());
        }
    }

    void updateFirmwareReturnsAtOnceWhileTheControllerDoesNotAnswer() {
        if (!test::can_use_netns()) {
            if (test::netns_required()) QFAIL("KESTROM_REQUIRE_NETNS is set: no namespace");
            QSKIP("needs network namespaces (root and ip netns)");
        }
        test::SilentSegment segment;
        QVERIFY(segment.ready());
        const test::ThreadInside inside(segment);  // the silent address is only reached there
        QVERIFY(inside.joined());
        ui::KestromDlgOptions o = options();
        o.driver.firmware_connect_timeout = std::chrono::seconds(2);  // the job's end, not ours
        CKestromDlg dlg(nullptr, std::move(o));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        field(dlg, core::Setting::ZorvaIPAddress)
            ->setText(QLatin1String(test::SilentSegment::kSilentAddress));
        core::log_printf("earlier text\n");
        dlg.logPane()->flushAll();

        const auto start = std::chrono::steady_clock::now();
        QTest::mouseClick(dlg.GetDlgItem(CKestromDlg::kUpdateFirmware), Qt::LeftButton);
        const auto took = std::chrono::steady_clock::now() - start;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
        QVERIFY2(ms < 100, qPrintable(QStringLiteral("the click held the window %1 ms").arg(ms)));
        const QString started = QStringLiteral("ZorvaController Update Firmware starting...\n");
        QCOMPARE(paneText(dlg), started);
        // Meanwhile the window goes on: its strip follows the job, which still connects.
        QTRY_VERIFY_WITH_TIMEOUT(
            stripText(dlg).startsWith(QStringLiteral("Firmware update: connect")), 1000);
        QVERIFY(update::firmware_job_running());
        // Then the connect's failure, in the pane after the start line.
        QVERIFY(update::wait_for_firmware_job(std::chrono::seconds(10)).has_value());
        QTRY_COMPARE(paneText(dlg),
                     started + QStringLiteral("Error at socket(): %1\n").arg(ETIMEDOUT));
    }

    void escapeAndTheCloseBoxAskFirstWhileALoadRuns() {
        for (const test::CloseCase& c : test::kCloseCases) {
            const QByteArray what(c.what);
            std::vector<std::string> asked;
            ui::KestromDlgOptions o = options();
            o.confirm_close = [&](const std::string& question) {
                asked.push_back(question);
                return c.yes;
            };
            CKestromDlg dlg(nullptr, std::move(o));
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            std::shared_ptr<core::Activity> transfer;
            if (c.transfer)
                transfer = core::progress_board().begin(core::ActivityKind::tftp_read,
                                                        "192.168.1.50 zorva.bin");
            if (c.escape)
                QTest::keyClick(&dlg, Qt::Key_Escape);
            else
                dlg.close();  // what the close box does
            if (transfer) transfer->finish(false, "stopped");
            const bool closes = !c.transfer || c.yes;
            QVERIFY2(dlg.isVisible() != closes, what);
            const std::vector<std::string> question =
                c.transfer ? std::vector<std::string>{"A load is running. Stop it and close "
                                                      "kestrom?"}
                           : std::vector<std::string>{};
            QVERIFY2(asked == question, what);
        }
    }

    void logTextGoesAtTheEndWhateverTheCaret() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        ui::LogPane* pane = dlg.logPane();
        core::log_printf(">> Connect...");
        core::log_printf("OK!\n");
        core::log_printf("%s", "");
        core::log_printf("one\r\ntwo\n");
        QCOMPARE(paneText(dlg), QStringLiteral(">> Connect...OK!\none\ntwo\n"));
        // The user types at the start; the next text still goes after all text.
        pane->setFocus();
        pane->moveCursor(QTextCursor::Start);
        QTest::keyClicks(pane, QStringLiteral("typed "));
        core::log_printf("Assigning Dynamic IP! \n");
        QCOMPARE(paneText(dlg),
                 QStringLiteral("typed >> Connect...OK!\none\ntwo\nAssigning Dynamic IP! \n"));
        QCOMPARE(pane->textCursor().position(), pane->document()->characterCount() - 1);
    }

    void theAboutBoxOpensFromTheButtonAndTheContextMenuTwiceInARow() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.aboutAction()->text(), QStringLiteral("&About kestrom..."));
        QVERIFY(dlg.actions().contains(dlg.aboutAction()));
        QCOMPARE(dlg.contextMenuPolicy(), Qt::ActionsContextMenu);

        const std::function<void()> openers[] = {
            [&] { QTest::mouseClick(dlg.GetDlgItem(CKestromDlg::kAbout), Qt::LeftButton); },
            [&] { dlg.aboutAction()->trigger(); },
            [&] { QTest::mouseClick(dlg.GetDlgItem(CKestromDlg::kAbout), Qt::LeftButton); },
        };
        for (const auto& open : openers) {
            int shown = 0;
            test::onNextModal([&](QWidget* modal) {
                auto* about = qobject_cast<ui::CAboutDialog*>(modal);
                QVERIFY(about);
                ++shown;
                QCOMPARE(about->windowTitle(), QStringLiteral("About..."));
                QCOMPARE(about->parentWidget(), &dlg);
                QStringList texts;
                for (QLabel* label : about->findChildren<QLabel*>())
                    if (!label->text().isEmpty()) texts << label->text();
                QVERIFY(texts.contains(QStringLiteral("kestrom Version " KESTROM_VERSION)));
                QCOMPARE(texts.size(), 2);
                auto* picture = about->findChild<QLabel*>(QStringLiteral("control1019"));
                QCOMPARE(picture->pixmap().size(), QSize(32, 32));
                auto* ok = about->findChild<QPushButton*>(QStringLiteral("control1"));
                QVERIFY(ok->isDefault());
                QTest::mouseClick(ok, Qt::LeftButton);
            });
            open();
            QCOMPARE(shown, 1);
        }
    }

    void theTemplateKeepsItsPlacesAndTheProgressStripGoesBelowIt() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const ui::DialogUnits units(dlg.font());
        const QSize size = CKestromDlg::templateSize();
        const int template_height = units.toPixelsY(size.height());
        int controls = 0;
        for (QWidget* w : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const int id = w->property("controlId").toInt();
            if (id == 0) continue;
            ++controls;
            const QRect t = CKestromDlg::templateRect(id);
            const QRect expected = units.toPixels(t.x(), t.y(), t.width(), t.height());
            const QByteArray what = QByteArray::number(id);
            QVERIFY2(!t.isEmpty(), what);
            QVERIFY2(w->pos() == expected.topLeft(), what);
            QVERIFY2(w->height() == expected.height(), what);
            // Labels only ever grow to their text's width.
            if (qobject_cast<QLabel*>(w))
                QVERIFY2(w->width() >= expected.width(), what);
            else
                QVERIFY2(w->width() == expected.width(), what);
        }
        QCOMPARE(controls, 21);

        const ui::ProgressStrip* strip = dlg.progressStrip();
        QVERIFY(strip->isVisible());
        QCOMPARE(strip->geometry(),
                 QRect(0, template_height, units.toPixelsX(size.width()), strip->height()));
        QCOMPARE(dlg.size(),
                 QSize(units.toPixelsX(size.width()), template_height + strip->height()));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
        const QWidget* parts[] = {strip->textLine(), strip->bar()};
        for (const QWidget* part : parts) {
            QVERIFY(strip->rect().contains(part->geometry()));
            QVERIFY(part->height() >= part->minimumSizeHint().height());
        }
        QVERIFY(strip->textLine()->height() >= strip->textLine()->fontMetrics().height());
    }

    void theStripShowsTheNewestActivityThenHowTheLastOneEnded() {
        LoopbackControllerHive hive;  // fresh fields
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const QProgressBar* bar = dlg.progressStrip()->bar();
        core::ProgressBoard& board = core::progress_board();

        // One transfer of known size: its percentage, then (after half a second) its rate.
        const auto read = board.begin(core::ActivityKind::tftp_read, "192.168.1.50 zorva.bin");
        read->set_total(4'000'000);
        read->set_done(1'680'000);
        QTRY_VERIFY(stripText(dlg).startsWith(QStringLiteral("192.168.1.50 zorva.bin 42 %")));
        QTRY_VERIFY(stripText(dlg).endsWith(QStringLiteral(" left")));
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 42);
        core::log_printf("TFTP service started\nDHCP service started\n");
        dlg.logPane()->flushAll();

        // A second one of unknown size: it is shown, the first is counted, the bar is busy.
        const auto write =
            board.begin(core::ActivityKind::tftp_write, "192.168.1.51:2000 zorva.bin");
        write->set_done(2048);
        QTRY_VERIFY(stripText(dlg).startsWith(QStringLiteral("192.168.1.51:2000 zorva.bin 2 KiB")));
        QVERIFY(stripText(dlg).endsWith(QStringLiteral(" (+1 more)")));
        QCOMPARE(bar->maximum(), 0);

        // Idle after success: the activity that ended last, and a full bar.
        write->finish(true, "received 2048 bytes");
        read->finish(true, "sent 4000000 bytes");
        QTRY_COMPARE(stripText(dlg), QStringLiteral("192.168.1.50 zorva.bin: sent 4000000 bytes"));
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 100);
        // After a failure the bar is empty; the next success fills it again (and leaves the
        // board as later screenshots should show it).
        board.begin(core::ActivityKind::firmware, "127.0.0.1")->finish(false, "login refused");
        QTRY_COMPARE(stripText(dlg), QStringLiteral("Firmware update: login refused"));
        QCOMPARE(bar->value(), 0);
        board.begin(core::ActivityKind::web, "127.0.0.1")->finish(true, "2 files sent");
        QTRY_COMPARE(stripText(dlg), QStringLiteral("Web pages: 2 files sent"));
        QCOMPARE(bar->value(), 100);
    }

    void checkSetupListsTheFirmwareFileWithItsStatus() {
        struct Case {
            const char* what;
            bool firmware;
            const char* status;
            const char* detail;
        };
        const Case cases[] = {
            {"with zorva.bin", true, "ok", "1000 bytes, SHA-256 "},
            {"without zorva.bin", false, "fail", "./zorva.bin not found"},
        };
        for (const Case& c : cases) {
            const QByteArray what(c.what);
            LoopbackControllerHive hive;
            test::TempDir dir;
            if (c.firmware) dir.write("zorva.bin", std::string(1000, 'z'));
            test::CurrentDir cwd(dir.path());
            CKestromDlg dlg(nullptr, options());
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            QCOMPARE(dlg.actions().indexOf(dlg.checkAction()), 1);  // after the about entry

            std::map<QString, CheckRow> rows;
            QString summary;
            runCheck(dlg, &rows, &summary);
            QVERIFY2(rows.contains(QStringLiteral("zorva.bin")), what);
            const CheckRow& firmware = rows[QStringLiteral("zorva.bin")];
            QVERIFY2(firmware.status == QLatin1String(c.status), what);
            QVERIFY2(firmware.detail.contains(QLatin1String(c.detail)), what);
            QVERIFY2(firmware.fix.startsWith(QStringLiteral("fix: ")) == !c.firmware, what);
            // No kestrom.ini here, so neither case can boot a controller.
            QVERIFY2(summary.startsWith(QStringLiteral("a controller will not boot from this PC "
                                                       "until the failures are fixed: ")),
                     qPrintable(summary));
        }
    }

    void theLoadReportIsSavedWithTheCheckOrTheErrorIsShown() {
        LoopbackControllerHive hive;
        test::TempDir dir;
        dir.write("zorva.bin", std::string(1234, 'z'));
        test::CurrentDir cwd(dir.path());
        QString path;
        ui::KestromDlgOptions o = options();
        o.report_file_name = [&path] { return path.toStdString(); };
        CKestromDlg dlg(nullptr, std::move(o));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.actions().indexOf(dlg.saveReportAction()), 2);
        std::map<QString, CheckRow> rows;
        QString summary;
        runCheck(dlg, &rows, &summary);

        // Saved: one JSON object a line, the last check among them with this folder's file.
        path = QString::fromStdString((dir / "kestrom-report.jsonl").string());
        dlg.saveReportAction()->trigger();
        std::istringstream lines(test::read_file(dir / "kestrom-report.jsonl"));
        nlohmann::json last_check;
        for (std::string line; std::getline(lines, line);) {
            const auto record = nlohmann::json::parse(line, nullptr, false);
            QVERIFY2(record.is_object(), line.c_str());
            if (record["event"] == "check") last_check = record;
        }
        QVERIFY(last_check.is_object());
        QVERIFY(last_check["items"][0]["item"] == "zorva.bin");
        QVERIFY(last_check["items"][0]["detail"].get<std::string>().starts_with("1234 bytes"));

        // Not saved: a box says why.
        path = QString::fromStdString((dir / "no-such-folder" / "report.jsonl").string());
        QString said;
        test::onNextModal([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) said = box->text();
            modal->close();
        });
        dlg.saveReportAction()->trigger();
        QCOMPARE(said, QStringLiteral("can't write ") + path +
                           QStringLiteral(": No such file or directory"));
    }

    void noLabelOrFieldIsClippedOrOverlapping() {
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        checkLayout(dlg);
        (void)dlg.tabs()->SelectPage(1);
        checkLayout(dlg);

        ui::CAboutDialog about(&dlg);
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        const QList<QWidget*> parts = about.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (QWidget* w : parts) {
            QVERIFY(about.rect().contains(w->geometry()));
            if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty())
                QVERIFY(label->width() >= label->sizeHint().width());
        }
        for (qsizetype i = 0; i < parts.size(); ++i)
            for (qsizetype j = i + 1; j < parts.size(); ++j)
                QVERIFY(!parts[i]->geometry().intersects(parts[j]->geometry()));
    }

    // The pictures: both pages, the right-click menu, the about box and the check's results, each
    // showing the texts of its controls. Run on a display (ui_kestrom_dlg_pictures_test, under
    // Xvfb) they come from the X server and land in the screenshot folder.
    void picturesShowTheTextsOfEveryState() {
        LoopbackControllerHive hive;  // the check contacts this machine only
        test::TempDir dir;            // and finds no zorva.bin
        test::CurrentDir cwd(dir.path());
        CKestromDlg dlg(nullptr, options());
        dlg.show();
        dlg.activateWindow();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        core::log_printf("TFTP service started\nDHCP service started\n");
        dlg.logPane()->flushAll();
        const std::pair<int, const char*> pages[] = {{0, "firmware_web_update.png"},
                                                     {1, "dhcp_setup.png"}};
        for (const auto& [page, name] : pages) {
            (void)dlg.tabs()->SelectPage(page);
            keepPicture(name, &dlg, mainWindowPlaces(dlg));
        }
        (void)dlg.tabs()->SelectPage(0);

        // A right-click on the page, away from any control.
        bool menu = false;
        test::onNextPopup([&](QWidget* popup) {
            menu = true;
            if (auto* shown = qobject_cast<QMenu*>(popup))
                keepPicture("context_menu.png", shown, menuPlaces(shown));
            popup->close();
        });
        const QPoint click(40, 40);
        QContextMenuEvent right_click(QContextMenuEvent::Mouse, click, dlg.mapToGlobal(click));
        QApplication::sendEvent(&dlg, &right_click);
        QTRY_VERIFY2(menu, "a right-click opens no menu");

        bool about = false;
        test::onNextModal([&](QWidget* modal) {
            about = true;
            keepPicture("about.png", modal, childPlaces(modal));
            modal->close();
        });
        QTest::mouseClick(dlg.GetDlgItem(CKestromDlg::kAbout), Qt::LeftButton);
        QTRY_VERIFY(about);

        std::map<QString, CheckRow> rows;
        QString summary;
        runCheck(dlg, &rows, &summary, "check_setup.png");
    }

    void theApplicationEndsWhenTheDialogClosesAlsoWhileAJobRuns() {
        // A web server that never accepts: the job's first request waits for its status line
        // until the listener goes, so the job surely runs when the dialog closes.
        auto server = platform::TcpListener::listen(platform::kLoopbackAddress, 0);
        QVERIFY(server);
        const std::uint16_t port = server->local_endpoint().port;
        // A list whose page is there: without one the job sends nothing and ends at once.
        test::TempDir folder;
        folder.write("kestrom.ini", "[FILES]\nFILE1=a.htm\n");
        folder.write("www/a.htm", "a");
        const test::CurrentDir in_folder(folder.path());
        ui::KestromDlgOptions o = options();
        int asked = 0;
        o.confirm_close = [&asked](const std::string&) { return ++asked > 0; };  // Yes
        bool closed = false;
        test::onNextModal([&](QWidget* modal) {
            auto* dlg = qobject_cast<CKestromDlg*>(modal);
            QVERIFY(dlg);
            QVERIFY(dlg->isVisible());
            core::settings_set_text(core::Setting::ZorvaIPAddress, "127.0.0.1");
            core::settings_set_port(port);
            QTest::mouseClick(dlg->GetDlgItem(CKestromDlg::kUpdateWebPages), Qt::LeftButton);
            QTest::keyClick(dlg, Qt::Key_Escape);
            closed = true;
        });
        ui::CKestromApp app(std::move(o));
        (void)app.InitInstance();
        QVERIFY(closed);
        QCOMPARE(asked, 1);  // Escape asked first: the job ran
        // The application ended without waiting for the job.
        QVERIFY(!driver::wait_for_web_jobs(std::chrono::milliseconds(0)));
        for (QWidget* w : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<CKestromDlg*>(w));  // the dialog is gone with it
        // The job must not outlive the test: without the listener its request fails at once.
        server.reset();
        QVERIFY(driver::wait_for_web_jobs(std::chrono::seconds(60)));
    }
};

KESTROM_UI_TEST_MAIN(KestromDlgTest)
#include "kestrom_dlg_test.moc"
