// "Load controllers..." in the window, against simulated controllers that really boot (the site
// of site_bench.h): the window's thread joins the PC's namespace, so its services and the load's
// threads are all there, and the dialog is driven from its menu entry as a user drives it.
#include "ui/qt/load_dialog.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <string>
#include <utility>

#include "core/load_report.h"
#include "site_bench.h"
#include "ui/qt/kestrom_dlg.h"
#include "ui_test_support.h"

namespace {

// A pool setting typed into the window's field: the driver rebuilds the lease table.
void typeSetting(ui::CKestromDlg& dlg, const char* name, const QString& text) {
    auto* field = dlg.findChild<QLineEdit*>(QLatin1String(name));
    QVERIFY(field);
    field->setText(text);
    emit field->textEdited(text);
}

// The load report's lines that hold both texts.
std::vector<std::string> reportLinesWith(const std::string& a, const std::string& b) {
    std::vector<std::string> found;
    for (const std::string& line : core::report_lines())
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos)
            found.push_back(line);
    return found;
}

}  // namespace

class LoadDialogTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { registry::ensure_settings_key(); }

    // A pool that holds a listed controller refuses with its fix and starts nothing; with the
    // pool beside them, both controllers are loaded, each row ends "verified" and the summary
    // counts them. Closing while a load runs asks first; Yes closes at once, and the controller
    // told to update is still followed to its verdict.
    void twoControllersAreLoadedAndVerifiedAfterAPoolThatHeldThemWasRefused() {
        if (!test::can_use_netns()) {
            if (test::netns_required()) QFAIL("KESTROM_REQUIRE_NETNS is set: no namespace");
            QSKIP("needs network namespaces (root and ip netns)");
        }
        test::SiteBench bench(2, "");
        QVERIFY2(bench.ok(), bench.sims_output().c_str());
        bench.dir().write("kestrom.ini", "[FILES]\nFILE1=index.htm\n");
        bench.dir().write("www/index.htm", "<html>3.4</html>\n");
        const test::CurrentDir in_folder(bench.dir().path());
        const test::ThreadInside inside(bench.pc());
        QVERIFY(inside.joined());

        std::vector<std::string> asked;
        bool answer = false;  // No: the dialog and its load go on
        ui::KestromDlgOptions o;
        o.confirm_close = [&](const std::string& question) {
            asked.push_back(question);
            return answer;
        };
        ui::CKestromDlg dlg(nullptr, std::move(o));
        bool ran = false;
        test::onNextModal([&](QWidget* modal) {
            auto* load = qobject_cast<ui::LoadDialog*>(modal);
            // Closed however this ends, so that the window's exec returns.
            const auto close = qScopeGuard([modal] {
                if (auto* box = qobject_cast<QDialog*>(modal)) box->done(QDialog::Rejected);
            });
            QVERIFY(load);
            ran = true;
            QCOMPARE(load->parallelBox()->value(), 4);
            QVERIFY(!load->stopButton()->isEnabled());
            load->listEdit()->setPlainText(QStringLiteral("# the bench\n10.1.2.20-21\n"));

            typeSetting(dlg, "ZorvaIPStartAddress", QStringLiteral("10.1.2.20"));
            QTest::mouseClick(load->startButton(), Qt::LeftButton);
            const QString refused = load->summary()->toPlainText();
            QVERIFY2(refused.contains(QStringLiteral(
                         "the DHCP pool 10.1.2.20 to 10.1.2.60 holds 2 listed controllers")),
                     qPrintable(refused));
            QVERIFY2(refused.contains(QStringLiteral("fix: set ZorvaIPStartAddress to 10.1.2.22")),
                     qPrintable(refused));
            QVERIFY(!load->running());
            QCOMPARE(load->rows()->rowCount(), 0);

            typeSetting(dlg, "ZorvaIPStartAddress", QStringLiteral("10.1.2.100"));
            load->webBox()->setChecked(true);
            QTest::mouseClick(load->startButton(), Qt::LeftButton);
            QVERIFY2(load->running(), qPrintable(load->summary()->toPlainText()));
            QVERIFY(load->stopButton()->isEnabled() && !load->startButton()->isEnabled());
            QCOMPARE(load->rows()->rowCount(), 2);
            load->reject();
            QCOMPARE(asked, std::vector<std::string>{ui::kStopSiteLoadQuestion});
            QVERIFY(load->isVisible() && load->running());

            QTRY_VERIFY2_WITH_TIMEOUT(!load->running(), bench.sims_output().c_str(), 120000);
            const QString summary = load->summary()->toPlainText();
            QVERIFY2(summary.contains(QStringLiteral("2 controllers: 2 verified, 0 not")),
                     qPrintable(summary));
            for (int row = 0; row < 2; ++row) {
                const auto cell = [&](int column) {
                    return load->rows()->item(row, column)->text();
                };
                QCOMPARE(cell(ui::LoadDialog::kAddressColumn),
                         QString::fromStdString(test::controller_address(row)));
                QCOMPARE(cell(ui::LoadDialog::kStepColumn), QStringLiteral("verdict"));
                QCOMPARE(cell(ui::LoadDialog::kProgressColumn), QStringLiteral("100 %"));
                QCOMPARE(cell(ui::LoadDialog::kVerdictColumn), QStringLiteral("verified"));
            }
            // "Web pages too" went with the load: each controller had its web pages step.
            QCOMPARE(reportLinesWith("\"load-step\"", "\"step\":\"web pages\",\"ok\":true").size(),
                     std::size_t{2});
            QVERIFY(load->startButton()->isEnabled() && !load->stopButton()->isEnabled());
            load->reject();  // nothing runs: closes without asking
            QCOMPARE(asked.size(), std::size_t{1});
        });
        dlg.loadAction()->trigger();
        QVERIFY2(ran, "the menu entry opened no load dialog");

        // Again, closed with Yes once the first controller has been told to update: the dialog
        // goes at once, and its load still follows that controller to its verdict.
        answer = true;
        ran = false;
        const auto records = [] {
            return reportLinesWith("\"event\":\"load\",", "\"controller\":\"10.1.2.20\"");
        };
        test::onNextModal([&](QWidget* modal) {
            auto* load = qobject_cast<ui::LoadDialog*>(modal);
            const auto close = qScopeGuard([modal] {
                if (auto* box = qobject_cast<QDialog*>(modal)) box->done(QDialog::Rejected);
            });
            QVERIFY(load);
            ran = true;
            load->listEdit()->setPlainText(QStringLiteral("10.1.2.20-21\n"));
            QTest::mouseClick(load->startButton(), Qt::LeftButton);
            QVERIFY2(load->running(), qPrintable(load->summary()->toPlainText()));
            QTRY_VERIFY_WITH_TIMEOUT(
                load->rows()->item(0, ui::LoadDialog::kStepColumn)->text() != "update", 30000);
            load->reject();
            QCOMPARE(asked.size(), std::size_t{2});
            QVERIFY(!load->isVisible());
        });
        dlg.loadAction()->trigger();
        QVERIFY(ran);
        // The controller comes back seconds after its boot; the dialog did not wait for it.
        QCOMPARE(records().size(), std::size_t{1});
        QTRY_COMPARE_WITH_TIMEOUT(records().size(), std::size_t{2}, 60000);
        QVERIFY2(records().back().find("\"told_to_update\":true") != std::string::npos,
                 records().back().c_str());
    }
};

KESTROM_UI_TEST_MAIN(LoadDialogTest)
#include "load_dialog_test.moc"
