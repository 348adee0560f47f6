// The about box: template 103, with the Qt about box's picture, centred on the window.
#pragma once

#include "ui/win32/window_handle.h"

namespace ui {

// Shows the box modally over owner until OK (or Escape, or its close box) ends it.
void show_about_box(Hwnd owner);

}  // namespace ui
