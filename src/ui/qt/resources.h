// The dialog resources compiled into the program: the application icon and the about picture.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace ui {

// Registers the compiled-in resources; safe to call more than once.
void init_resources();
// The application icon in all its sizes.
QIcon application_icon();
// The about box's picture, 32 x 32.
QPixmap about_picture();

}  // namespace ui
