#include "ui/qt/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used at global scope; the resources live in a static library, so the
// linker would drop their initialiser without this call.
static void init_kestrom_resources() {
    Q_INIT_RESOURCE(kestrom);
}

namespace ui {

void init_resources() {
    static const bool done = (init_kestrom_resources(), true);
    (void)done;
}

QIcon application_icon() {
    init_resources();
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/kestrom/kestrom-%1.png").arg(size), QSize(size, size));
    return icon;
}

QPixmap about_picture() {
    init_resources();
    return QPixmap(QStringLiteral(":/kestrom/about.png"));
}

}  // namespace ui
