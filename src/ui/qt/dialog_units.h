// Dialog units: the layout of the dialog templates is given in units of the dialog font, a
// quarter of its average character width across and an eighth of its character height down.
// DialogUnits turns them into pixels for one font, the same way for every control, so the
// templates keep their proportions whatever font the desktop uses.
#pragma once

#include <QRect>

class QFont;

namespace ui {

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    // Base units in pixels: the average character width and the character height.
    int baseX() const { return base_x_; }
    int baseY() const { return base_y_; }
    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    // A template rectangle (x, y, width, height in dialog units) in pixels.
    QRect toPixels(int x, int y, int width, int height) const;

private:
    int base_x_;
    int base_y_;
};

}  // namespace ui
