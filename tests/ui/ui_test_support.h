// Shared by the dialog's QtTest binaries: a main() that gives every binary its own registry hive
// and the offscreen platform, and a view of the settings store.
#pragma once

#include <QApplication>
#include <QtTest>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

#include "core/settings.h"
#include "registry/settings_store.h"
#include "test_support.h"

namespace test {

// What a setting missing from the store reads as.
inline constexpr const char* kMissing = "<missing>";

// Every stored setting by name; a missing one reads as kMissing.
inline std::map<std::string, std::string> stored_settings() {
    std::map<std::string, std::string> values;
    for (const core::SettingInfo& info : core::kSettings) {
        char text[core::kSettingTextSize]{};
        (void)registry::read_setting(info.name, kMissing, text);  // always 0
        values[info.name] = text;
    }
    return values;
}

// Runs `action` on the next widget `find` names (the active modal dialog, the open menu) once
// it is up: a modal dialog's exec() holds the test until then.
inline void onNextWidget(QWidget* (*find)(), std::function<void(QWidget*)> action) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, find, action = std::move(action)] {
        if (QWidget* widget = find()) {
            poll->stop();
            poll->deleteLater();
            action(widget);
        }
    });
    poll->start(10);
}

inline void onNextModal(std::function<void(QWidget*)> action) {
    onNextWidget(&QApplication::activeModalWidget, std::move(action));
}

inline void onNextPopup(std::function<void(QWidget*)> action) {
    onNextWidget(&QApplication::activePopupWidget, std::move(action));
}

}  // namespace test

// The registry is a fresh hive in a temporary directory for the binary's whole run; widgets are
// drawn offscreen unless the caller chose a platform.
#define KESTROM_UI_TEST_MAIN(TestClass)                                  \
    int main(int argc, char** argv) {                                    \
        test::TempDir hive;                                              \
        ::setenv("KESTROM_REGISTRY", (hive / "registry.db").c_str(), 1); \
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);                     \
        QApplication application(argc, argv);                            \
        TestClass test_object;                                           \
        return QTest::qExec(&test_object, argc, argv);                   \
    }
