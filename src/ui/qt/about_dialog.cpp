#include "ui/qt/about_dialog.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

#include "ui/dialog_template.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/resources.h"

namespace ui {

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(
        QCoreApplication::translate("ui::CAboutDialog", std::string(kAboutDialog.caption).c_str()));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setObjectName(QStringLiteral("CAboutDialog"));
    const DialogUnits units(font());

    for (const ControlTemplate& t : kAboutDialog.controls) {
        const QRect rect = units.toPixels(t.x, t.y, t.width, t.height);
        const QString text =
            QCoreApplication::translate("ui::CAboutDialog", std::string(t.text).c_str());
        QWidget* widget = nullptr;
        switch (t.kind) {
            case ControlKind::push_button: {
                auto* button = new QPushButton(text, this);
                button->setDefault(t.style & kDefaultButton);
                connect(button, &QPushButton::clicked, this, &QDialog::accept);
                widget = button;
                break;
            }
            case ControlKind::picture: {
                auto* picture = new QLabel(this);
                picture->setPixmap(about_picture());
                picture->setAlignment(Qt::AlignCenter);
                if (t.style & kBorder) picture->setFrameShape(QFrame::Box);
                widget = picture;
                break;
            }
            default: {
                auto* label = new QLabel(text, this);
                label->setTextFormat(Qt::PlainText);  // ampersands shown as they are
                widget = label;
                break;
            }
        }
        QRect geometry = rect;
        if (t.kind == ControlKind::label)
            geometry.setWidth(qMax(rect.width(), widget->sizeHint().width()));
        widget->setGeometry(geometry);
        if (t.kind == ControlKind::label) {
            // The labels are found by what they say.
            widget->setObjectName(t.id == kAboutVersion ? QStringLiteral("versionLabel")
                                                        : QStringLiteral("makerLabel"));
        } else {
            widget->setObjectName(QStringLiteral("control%1").arg(t.id));
            widget->setProperty("controlId", t.id);
        }
    }
    setFixedSize(units.toPixelsX(kAboutDialog.width), units.toPixelsY(kAboutDialog.height));
}

}  // namespace ui
