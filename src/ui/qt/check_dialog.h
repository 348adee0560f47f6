// The results of the pre-flight check in the window: one row per item with its status, name and
// what was found, the fix under what was found for each item that is not ok, and the verdict
// line: the same as `kestrom check` prints.
#pragma once

#include <QDialog>
#include <vector>

#include "check/check.h"

class QTableWidget;

namespace ui {

class CheckDialog : public QDialog {
    Q_OBJECT

public:
    enum Column { kStatusColumn, kItemColumn, kDetailColumn };

    explicit CheckDialog(const std::vector<check::CheckItem>& items, QWidget* parent = nullptr);

    // One row per item, in the check's order; a fix is the detail's second line.
    QTableWidget* results() const { return results_; }

private:
    QTableWidget* results_ = nullptr;
};

}  // namespace ui
