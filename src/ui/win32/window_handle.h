// What the native window's headers need of the Windows types without <windows.h>: the window
// handle (HWND is a pointer to this incomplete struct in <windows.h> too), and the conversions
// between the program's UTF-8 texts and the UTF-16 the wide window functions take.
#pragma once

#include <string>
#include <string_view>

struct HWND__;

namespace ui {

using Hwnd = HWND__*;

std::wstring to_wide(std::string_view utf8);
std::string to_utf8(std::wstring_view wide);

// The text of a window (an edit field, a label) as UTF-8.
std::string window_text(Hwnd window);

}  // namespace ui
