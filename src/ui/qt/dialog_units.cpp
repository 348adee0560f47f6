#include "ui/qt/dialog_units.h"

#include <QFont>
#include <QFontMetrics>

namespace ui {
namespace {

// Rounded a * b / c, as the dialog manager's MulDiv.
int mul_div(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    return static_cast<int>((product >= 0 ? product + c / 2 : product - c / 2) / c);
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width over the 52 Latin letters, rounded, as the dialog manager measures it.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    base_x_ = qMax(1, (letters / 26 + 1) / 2);
    base_y_ = qMax(1, metrics.height());
}

int DialogUnits::toPixelsX(int units) const {
    return mul_div(units, base_x_, 4);
}
int DialogUnits::toPixelsY(int units) const {
    return mul_div(units, base_y_, 8);
}

QRect DialogUnits::toPixels(int x, int y, int width, int height) const {
    // Map both edges, not the size, so that touching controls stay touching.
    const int left = toPixelsX(x), top = toPixelsY(y);
    return QRect(left, top, toPixelsX(x + width) - left, toPixelsY(y + height) - top);
}

}  // namespace ui
