// CAboutDialog: the small modal box behind "About.." and the "About kestrom..." menu entry.
// It keeps no state between showings.
#pragma once

#include <QDialog>

namespace ui {

class CAboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDialog(QWidget* parent);
};

}  // namespace ui
