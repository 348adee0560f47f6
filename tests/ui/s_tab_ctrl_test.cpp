// The page tab control: which controls show for which tab, and its refusals.
#include "ui/qt/s_tab_ctrl.h"

#include <QTabBar>
#include <QtTest>
#include <memory>

#include "ui_test_support.h"

using ui::CSTabCtrl;
using ui::ShowCommand;

class STabCtrlTest : public QObject {
    Q_OBJECT

private:
    // A shown dialog stand-in with a tab control of `items` tabs and sibling controls.
    struct Fixture {
        explicit Fixture(int items) {
            tabs = new CSTabCtrl(&dialog);
            for (int i = 0; i < items; ++i) tabs->InsertItem(i, QStringLiteral("page %1").arg(i));
            for (auto& control : controls) control = new QWidget(&dialog);
            dialog.resize(300, 200);
            dialog.show();
        }
        QWidget dialog;
        CSTabCtrl* tabs = nullptr;
        QWidget* controls[4]{};
    };

private slots:
    void attachingBeyondTheItemCountIsRefusedAndTheControlStaysVisible() {
        struct Case {
            const char* what;
            int items;
            int page;
        };
        const Case cases[] = {
            {"page 2 of two items", 2, 2},
            {"far beyond", 2, 100},
            {"page 0 of no items", 0, 0},
        };
        for (const Case& c : cases) {
            Fixture f(c.items);
            QVERIFY2(!f.tabs->AddControlToPage(f.controls[0], c.page), c.what);
            QVERIFY2(f.controls[0]->isVisible(), c.what);
            QCOMPARE(f.tabs->pageMap().size(), std::size_t{0});
        }
    }

    void attachingHidesTheControlAtOnceBeforeAnySelection() {
        Fixture f(2);
        QVERIFY(f.controls[0]->isVisible());
        QVERIFY(f.tabs->AddControlToPage(f.controls[0], 1));
        QVERIFY(!f.controls[0]->isVisible());
        QCOMPARE(f.tabs->currentPage(), -1);
    }

    void theFirstSelectionHidesNothingAndShowsTheSelectedPage() {
        Fixture f(2);
        QVERIFY(f.tabs->AddControlToPage(f.controls[0], 0));
        QVERIFY(f.tabs->AddControlToPage(f.controls[1], 1));
        // Shown by hand: the first selection has no current page to hide, so it stays.
        f.controls[0]->show();
        QCOMPARE(f.tabs->SelectPage(1), 0);  // inserting the first item selected it
        QVERIFY(f.controls[0]->isVisible());
        QVERIFY(f.controls[1]->isVisible());
        QCOMPARE(f.tabs->currentPage(), 1);
    }

    void selectingAnotherPageHidesTheOldOneBeforeShowingTheNew() {
        Fixture f(3);
        QVERIFY(f.tabs->AddControlToPage(f.controls[0], 0));
        QVERIFY(f.tabs->AddControlToPage(f.controls[1], 0));
        QVERIFY(f.tabs->AddControlToPage(f.controls[2], 1));
        QVERIFY(f.tabs->AddControlToPage(f.controls[3], 0));
        QVERIFY(f.tabs->AddControlToPage(f.controls[3], 1));  // on two pages
        (void)f.tabs->SelectPage(0);

        struct Step {
            int page;
            int returned;
            bool visible[4];
        };
        const Step steps[] = {
            {1, 0, {false, false, true, true}},
            {0, 1, {true, true, false, true}},
            {0, 0, {true, true, false, true}},     // the current page again: hidden, shown
            {2, 0, {false, false, false, false}},  // a page with no controls
            {1, 2, {false, false, true, true}},
            {5, -1, {false, false, true, true}},  // not an item: the selection stays
        };
        for (const Step& s : steps) {
            const QByteArray what = QByteArray("select ") + QByteArray::number(s.page);
            QCOMPARE(f.tabs->SelectPage(s.page), s.returned);
            for (int i = 0; i < 4; ++i)
                QVERIFY2(f.controls[i]->isVisible() == s.visible[i],
                         (what + " control " + QByteArray::number(i)).constData());
        }
    }

    void aClickOnATabSwitchesThePage() {
        Fixture f(2);
        QVERIFY(f.tabs->AddControlToPage(f.controls[0], 0));
        QVERIFY(f.tabs->AddControlToPage(f.controls[1], 1));
        (void)f.tabs->SelectPage(0);
        QTabBar* bar = f.tabs->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
        QCOMPARE(f.tabs->currentPage(), 1);
        QVERIFY(!f.controls[0]->isVisible());
        QVERIFY(f.controls[1]->isVisible());
    }

    void disablingTheTabControlDisablesEveryPageAndEnablingEnablesThemAll() {
        Fixture f(2);
        QVERIFY(f.tabs->AddControlToPage(f.controls[0], 0));
        QVERIFY(f.tabs->AddControlToPage(f.controls[1], 1));
        QVERIFY(f.tabs->AddControlToPage(f.controls[2], 1));
        (void)f.tabs->SelectPage(0);
        f.controls[2]->setEnabled(false);  // one by one, before

        f.tabs->setEnabled(false);
        for (int i = 0; i < 3; ++i) QVERIFY(!f.controls[i]->isEnabled());
        QVERIFY(f.controls[3]->isEnabled());  // not attached: not the tab control's

        f.tabs->setEnabled(true);
        for (int i = 0; i < 3; ++i) QVERIFY(f.controls[i]->isEnabled());
    }

    void missingAndDeletedControlsStayInTheListHarmlessly() {
        Fixture f(2);
        QVERIFY(f.tabs->AddControlToPage(nullptr, 0));
        QVERIFY(f.tabs->AddControlToPage(f.controls[0], 0));
        QVERIFY(f.tabs->AddControlToPage(f.controls[1], 0));
        delete f.controls[0];
        f.controls[0] = nullptr;
        const CSTabCtrl::CSTabPage* page = f.tabs->pageMap().page(0);
        QVERIFY(page);
        QCOMPARE(page->controls().size(), 3);
        (void)f.tabs->SelectPage(1);
        (void)f.tabs->SelectPage(0);
        QVERIFY(f.controls[1]->isVisible());
        f.tabs->setEnabled(false);
        QVERIFY(!f.controls[1]->isEnabled());
    }

    void afterRemoveAllPagesShowingAnyPageDoesNothing() {
        Fixture f(2);
        QVERIFY(f.tabs->AddControlToPage(f.controls[0], 0));
        QVERIFY(f.tabs->AddControlToPage(f.controls[1], 1));
        f.tabs->pageMap().RemoveAllPages();
        QCOMPARE(f.tabs->pageMap().size(), std::size_t{0});
        QVERIFY(!f.tabs->pageMap().ShowPage(0, ShowCommand::show));
        QVERIFY(!f.tabs->pageMap().EnablePage(1, false));
        (void)f.tabs->SelectPage(1);
        QVERIFY(!f.controls[0]->isVisible());
        QVERIFY(!f.controls[1]->isVisible());
    }
};

KESTROM_UI_TEST_MAIN(STabCtrlTest)
#include "s_tab_ctrl_test.moc"
