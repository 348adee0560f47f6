// `kestrom` with no sub-command where no window can be opened.
#include <QtTest>

#include "ui_test_support.h"

class WindowCommandTest : public QObject {
    Q_OBJECT

private slots:
    void withoutADisplayItSaysSoAndPointsToServe() {
        const std::string kestrom = (test::build_dir() / "kestrom").string();
        struct Case {
            const char* what;
            std::string environment;
        };
        const Case cases[] = {
            {"no display at all", "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "},
            {"a display nobody serves",
             "env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4711 XAUTHORITY=/dev/null "},
        };
        for (const Case& c : cases) {
            const test::CommandResult result =
                test::run_command(c.environment + kestrom + " </dev/null");
            QVERIFY2(result.status != 0 && result.status != -1, c.what);
            QVERIFY2(result.output.find("kestrom serve") != std::string::npos,
                     (std::string(c.what) + ": " + result.output).c_str());
        }
    }
};

KESTROM_UI_TEST_MAIN(WindowCommandTest)
#include "window_command_test.moc"
