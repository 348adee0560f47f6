// Where the window's boxes (about, check results) open: centred on the window that owns them,
// as the Qt boxes open over their parent, and kept inside the work area of the owner's monitor.
#pragma once

#include "ui/win32/window_handle.h"

namespace ui {

// Moves box so that its centre is its owner's, as far as the owner's monitor allows; a box
// without an owner stays where it is. Called from WM_INITDIALOG, before the box shows.
void centre_on_owner(Hwnd box);

}  // namespace ui
