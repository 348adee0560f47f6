// CSTabCtrl: a tab control that owns the notion of pages. Ordinary controls of the dialog are
// attached to a tab index; the control shows the controls of the selected tab and hides all
// others. The dialog lays the controls of all pages on top of each other and never shows or
// hides them itself. Controls are referenced, not owned: they belong to the dialog.
#pragma once

#include <QList>
#include <QPointer>
#include <QTabWidget>
#include <QWidget>
#include <memory>
#include <unordered_map>

namespace ui {

// What ShowPage and ShowControls do to each control's window.
enum class ShowCommand { hide, show };

class CSTabCtrl : public QTabWidget {
    Q_OBJECT

public:
    // The page record: the controls of one tab, in the order they were attached. A control may
    // stand in several records; a control that has gone away stays in the list as a null entry.
    class CSTabPage {
    public:
        bool ShowControls(ShowCommand command);
        bool EnableControls(bool enable);
        const QList<QPointer<QWidget>>& controls() const { return controls_; }
        void append(QWidget* control) { controls_.append(QPointer<QWidget>(control)); }
        void clear() { controls_.clear(); }

    private:
        QList<QPointer<QWidget>> controls_;
    };

    // Tab index -> page record. Owns the records: one is made the first time a control is
    // attached to its index and deleted by RemoveAllPages.
    class CPageToControlsMap {
    public:
        ~CPageToControlsMap() { RemoveAllPages(); }
        // Appends control to page's record (making the record when there is none) and hides
        // the control at once. Always true.
        bool AddControl(int page, QWidget* control);
        // false when page has no record, else the record's result.
        bool ShowPage(int page, ShowCommand command);
        bool EnablePage(int page, bool enable);
        void RemoveAllPages();
        // The record of a page, or nullptr.
        const CSTabPage* page(int index) const;
        std::size_t size() const { return pages_.size(); }

    private:
        std::unordered_map<int, std::unique_ptr<CSTabPage>> pages_;
    };

    explicit CSTabCtrl(QWidget* parent = nullptr);
    ~CSTabCtrl() override;

    // Inserts a text-only tab item. Inserting is not a selection change: no page is shown or
    // hidden by it.
    int InsertItem(int index, const QString& text);
    // false (and nothing stored, the control's visibility untouched) when page is not below
    // the item count; otherwise the control is attached and hidden, and the result is true.
    bool AddControlToPage(QWidget* control, int page);
    // Selects the tab, then handles the change as a user's click would. Returns the index
    // that was selected before, or -1 when page is not an item (nothing is selected then).
    int SelectPage(int page);

    int currentPage() const { return current_page_; }
    CPageToControlsMap& pageMap() { return page_map_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    // The selection change: hide the page shown so far, then show the newly selected one.
    void onSelChange();

    int current_page_ = -1;  // the tab whose controls are shown; -1 before the first change
    CPageToControlsMap page_map_;
    // Set while this class changes the selection itself, so the change is handled only once.
    bool changing_selection_ = false;
};

}  // namespace ui
