#include "ui/qt/s_tab_ctrl.h"

#include <QEvent>
#include <QTabBar>

namespace ui {

bool CSTabCtrl::CSTabPage::ShowControls(ShowCommand command) {
    for (const QPointer<QWidget>& control : controls_) {
        if (control) control->setVisible(command == ShowCommand::show);
    }
    return true;
}

bool CSTabCtrl::CSTabPage::EnableControls(bool enable) {
    for (const QPointer<QWidget>& control : controls_) {
        if (control) control->setEnabled(enable);
    }
    return true;
}

bool CSTabCtrl::CPageToControlsMap::AddControl(int page, QWidget* control) {
    std::unique_ptr<CSTabPage>& record = pages_[page];
    if (!record) record = std::make_unique<CSTabPage>();
    record->append(control);
    if (control) control->hide();
    return true;
}

bool CSTabCtrl::CPageToControlsMap::ShowPage(int page, ShowCommand command) {
    const auto it = pages_.find(page);
    if (it == pages_.end() || !it->second) return false;
    return it->second->ShowControls(command);
}

bool CSTabCtrl::CPageToControlsMap::EnablePage(int page, bool enable) {
    const auto it = pages_.find(page);
    if (it == pages_.end() || !it->second) return false;
    return it->second->EnableControls(enable);
}

void CSTabCtrl::CPageToControlsMap::RemoveAllPages() {
    for (auto& [index, record] : pages_) {
        if (record) record->clear();
    }
    pages_.clear();
}

const CSTabCtrl::CSTabPage* CSTabCtrl::CPageToControlsMap::page(int index) const {
    const auto it = pages_.find(index);
    return it == pages_.end() ? nullptr : it->second.get();
}

CSTabCtrl::CSTabCtrl(QWidget* parent) : QTabWidget(parent) {
    // A change the user makes (click, keyboard) arrives here; the ones this class makes itself
    // are handled where they are made.
    connect(this, &QTabWidget::currentChanged, this, [this](int) {
        if (!changing_selection_) onSelChange();
    });
}

CSTabCtrl::~CSTabCtrl() {
    page_map_.RemoveAllPages();
}

int CSTabCtrl::InsertItem(int index, const QString& text) {
    const bool was_changing = std::exchange(changing_selection_, true);
    // The tab control's client area is drawn by the tab control; the page controls are the
    // dialog's own and lie above it, so every tab gets an empty, transparent page.
    const int inserted = insertTab(index, new QWidget, text);
    changing_selection_ = was_changing;
    return inserted;
}

bool CSTabCtrl::AddControlToPage(QWidget* control, int page) {
    if (page >= count()) return false;
    return page_map_.AddControl(page, control);
}

int CSTabCtrl::SelectPage(int page) {
    int previous = -1;
    if (page >= 0 && page < count()) {
        previous = currentIndex();
        const bool was_changing = std::exchange(changing_selection_, true);
        setCurrentIndex(page);
        changing_selection_ = was_changing;
    }
    onSelChange();
    return previous;
}

void CSTabCtrl::onSelChange() {
    const int selected = currentIndex();
    // Hide first, so a control attached to both pages ends up visible.
    (void)page_map_.ShowPage(current_page_, ShowCommand::hide);  // false: no controls there
    (void)page_map_.ShowPage(selected, ShowCommand::show);
    current_page_ = selected;
}

void CSTabCtrl::changeEvent(QEvent* event) {
    QTabWidget::changeEvent(event);
    if (event->type() != QEvent::EnabledChange) return;
    // Every page follows the tab control, not only the one shown.
    const bool enable = isEnabled();
    for (int index = 0; index < count(); ++index) (void)page_map_.EnablePage(index, enable);
}

}  // namespace ui
