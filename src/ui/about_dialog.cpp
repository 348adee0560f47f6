#include "ui/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "ui/dialog_units.h"
#include "ui/resources.h"

namespace ui {
namespace {

// Dialog template 103: 186 x 36 dialog units.
constexpr int kWidth = 186;
constexpr int kHeight = 36;

QLabel* add_label(QWidget* parent, const QString& text, const QRect& rect) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);  // ampersands shown as they are
    QRect geometry = rect;
    geometry.setWidth(qMax(rect.width(), label->sizeHint().width()));
    label->setGeometry(geometry);
    return label;
}

}  // namespace

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("About..."));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setObjectName(QStringLiteral("CAboutDialog"));
    const DialogUnits units(font());

    QLabel* version = add_label(this, tr("kestrom Version 1.1"), units.toPixels(44, 7, 75, 8));
    version->setObjectName(QStringLiteral("versionLabel"));
    QLabel* maker = add_label(this, tr("Zorva update tool"), units.toPixels(43, 15, 81, 8));
    maker->setObjectName(QStringLiteral("makerLabel"));

    auto* ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("control1"));
    ok->setProperty("controlId", int{kOk});
    ok->setDefault(true);
    ok->setGeometry(units.toPixels(129, 9, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("control1019"));
    picture->setProperty("controlId", int{kPicture});
    picture->setPixmap(about_picture());
    picture->setAlignment(Qt::AlignCenter);
    picture->setFrameShape(QFrame::Box);
    picture->setGeometry(units.toPixels(7, 4, 26, 25));

    setFixedSize(units.toPixelsX(kWidth), units.toPixelsY(kHeight));
}

}  // namespace ui
