// The native "Load controllers" box, headless under Wine: only what can't start a load. Under
// Wine no load may start (it would connect to the listed addresses), so every case here is
// refused before any controller is reached.
// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "ui/win32/load_dialog.h"

#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "core/settings.h"
#include "test_support.h"
#include "win32_test_support.h"
// clang-format on

namespace {

using ui::LoadDialog;

// A list refused for itself, and one refused for the boot file that is not in the folder:
// each shows why and the fix in the box, and leaves it as it was, nothing started.
TEST(LoadDialogTest, aRefusedStartShowsWhyWithItsFixAndStartsNothing) {
    test::TempDir folder;  // no zorva.bin
    const test::CurrentDir in_folder(folder.path());
    core::settings_set_text(core::Setting::bootFile, "zorva.bin");
    LoadDialog box(".\\");
    ASSERT_TRUE(box.Create(nullptr)) << "error " << GetLastError();
    const auto item = [&](int id) { return box.GetDlgItem(id); };
    EXPECT_EQ(ui::window_text(item(LoadDialog::kParallelEdit)), "4");
    EXPECT_FALSE(IsWindowEnabled(item(LoadDialog::kStopButton)));

    struct Case {
        const char* list;
        const char* says;
    } const cases[] = {
        {"10.1.2.20\r\n10.1.2.60-59\r\n", "line 2: 10.1.2.60-59"},
        {"# the hall\r\n10.1.2.20\r\n", "can't read the boot file .\\zorva.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        SetWindowTextW(item(LoadDialog::kListEdit), ui::to_wide(c.list).c_str());
        SendMessageW(box.hwnd(), WM_COMMAND, MAKEWPARAM(LoadDialog::kStartButton, BN_CLICKED),
                     reinterpret_cast<LPARAM>(item(LoadDialog::kStartButton)));
        test::pump_messages();
        const std::string shown = ui::window_text(item(LoadDialog::kSummaryEdit));
        EXPECT_EQ(shown.rfind("Not started:\r\n", 0), 0u) << shown;
        EXPECT_NE(shown.find(c.says), std::string::npos) << shown;
        EXPECT_NE(shown.find("\r\n  fix: "), std::string::npos) << shown;
        EXPECT_FALSE(box.running());
        EXPECT_EQ(ListView_GetItemCount(item(LoadDialog::kRowsList)), 0);
        EXPECT_TRUE(IsWindowEnabled(item(LoadDialog::kStartButton)));
        EXPECT_FALSE(IsWindowEnabled(item(LoadDialog::kStopButton)));
    }
}

}  // namespace
