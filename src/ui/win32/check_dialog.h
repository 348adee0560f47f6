// The results of the pre-flight check in the window: one line per item with its status, name
// and what was found, the fix under each item that is not ok, and the verdict line: the same as
// `kestrom check` prints.
#pragma once

#include <string>
#include <vector>

#include "check/check.h"
#include "ui/win32/window_handle.h"

namespace ui {

// The results box's text: "status<TAB>item<TAB>detail" per item, "<TAB><TAB>fix: ..." under
// a problem that has a fix; lines end in "\r\n", as the box's edit needs.
std::string check_results_text(const std::vector<check::CheckItem>& items);

// Shows the items and check::check_summary's line modally over owner until it is closed.
void show_check_results(Hwnd owner, const std::vector<check::CheckItem>& items);

}  // namespace ui
