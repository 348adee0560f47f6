// The window's "Load controllers...": a site load (load/site_load.h) driven from the window's
// thread. The load's own threads report each step; their reports are gathered here and the
// window's thread is woken to take a snapshot of every controller's row. Each front-end says
// how the wake-up reaches its thread (a posted message, a queued call); the rest is here.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "load/controller_list.h"

namespace load {
class SiteLoad;
}

namespace ui {

// What closing the load's dialog asks while a load runs (Yes stops it and closes).
inline constexpr const char* kStopSiteLoadQuestion =
    "A load is running. Stop it and close this window?";

// One controller as the dialog shows it.
struct LoadRow {
    std::string address;  // "10.1.2.20"
    std::string step;     // the step under way or the last one ended; empty before the first
    int progress = 0;     // percent of the boot file served to it
    std::string text;     // what the last step that ended said
    std::string verdict;  // empty until its load has ended
};

struct LoadSnapshot {
    std::vector<LoadRow> rows;  // in the list's order
    bool ended = false;         // every controller has its verdict
    std::string summary;        // load::summary_table once ended
};

class LoadRunner {
public:
    // The boot file is read from `tftp_directory` + the bootFile setting, as the TFTP service
    // reads it.
    explicit LoadRunner(std::string tftp_directory);
    // Stops a load still running without waiting for it: the controllers told to update are
    // followed to the end of their boot on a thread of their own.
    ~LoadRunner();
    LoadRunner(const LoadRunner&) = delete;
    LoadRunner& operator=(const LoadRunner&) = delete;

    // The window's thread. Starts loading the controllers of `list` (load/controller_list.h),
    // with the login, password and boot file of the settings as they are now, up to `parallel`
    // at once; an empty `expect_version` takes any version other than the one before. Nothing
    // starts when the list, the boot file or the DHCP pool stands in the way: the reasons come
    // back, each with what to change. `wake` is called from the load's threads when there is
    // something new; it must only get the window's thread to call take(), and is not called
    // again once it has been until take() has.
    [[nodiscard]] std::vector<load::Refusal> start(std::string_view list, std::size_t parallel,
                                                   bool web, std::string expect_version,
                                                   std::function<void()> wake);
    // The window's thread: every controller's row as it is now. The snapshot that says `ended`
    // ends the load: from then on running() is false and the next load may start.
    LoadSnapshot take();
    // The window's thread: no controller starts from now on, none still in its dialogue is told
    // to update, and the ones told already are followed until their boot ends.
    void stop();
    // The window's thread: a load started and its end has not been taken.
    bool running() const { return site_ != nullptr; }

private:
    class Tracker;

    std::string tftp_directory_;
    bool stopped_ = false;  // the load was stopped: its summary says what that left
    // Shared with the thread that waits for a load stopped when the runner goes.
    std::shared_ptr<Tracker> tracker_;
    std::unique_ptr<load::SiteLoad> site_;
};

}  // namespace ui
