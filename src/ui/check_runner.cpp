#include "ui/check_runner.h"

#include <utility>

#include "core/settings.h"

namespace ui {

bool CheckRunner::start(std::function<void()> ready) {
    if (running_) return false;
    running_ = true;
    // The last check's worker has called `ready` by now and ends at once: joining it is short.
    worker_ = std::jthread([this, ready = std::move(ready), settings = core::settings_snapshot()] {
        std::vector<check::CheckItem> items =
            check::run_and_report_checks(settings, check::CheckOptions{});
        {
            std::lock_guard lock(mutex_);
            items_ = std::move(items);
        }
        ready();
    });
    return true;
}

std::optional<std::vector<check::CheckItem>> CheckRunner::take() {
    std::optional<std::vector<check::CheckItem>> items;
    {
        std::lock_guard lock(mutex_);
        items.swap(items_);
    }
    running_ = false;
    return items;
}

}  // namespace ui
