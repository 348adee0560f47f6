// The ids of the window's own resources (ui/win32/kestrom_ui.rc), read by the resource compiler
// and the code alike: so plain macros, the one thing both understand.
#pragma once

// The about box's picture: the Qt about box's about.png, as a 24-bit bitmap (about.bmp).
#define KESTROM_ABOUT_PICTURE 2
