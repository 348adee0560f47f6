// The results of the pre-flight check in the window, as the Qt window shows them: a list view
// with one row per item (its status, name and what was found, the fix under the finding of an
// item that is not ok), the status in its colour, the finding wrapped in its column, and under
// the list the verdict line that `kestrom check` ends with.
#pragma once

#include <vector>

#include "check/check.h"
#include "ui/win32/window_handle.h"

namespace ui {

// The list view's id in the results box.
inline constexpr int kCheckResultsList = 100;

// Shows the items and check::check_summary's line modally over owner until it is closed.
void show_check_results(Hwnd owner, const std::vector<check::CheckItem>& items);

}  // namespace ui
