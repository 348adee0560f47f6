// The window's "Check setup...": the pre-flight check on a worker thread, its items handed back
// to the window's thread. The connects to the controller take up to two seconds each, and the
// window must go on meanwhile. Each front-end says how the worker wakes its thread (a posted
// message, a queued call); the rest is here.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "check/check.h"

namespace ui {

class CheckRunner {
public:
    CheckRunner() = default;
    ~CheckRunner() = default;  // joins a check still running: it ends within its time-outs
    CheckRunner(const CheckRunner&) = delete;
    CheckRunner& operator=(const CheckRunner&) = delete;

    // The window's thread. Starts the check with the settings as they are now; once its items
    // are ready the worker calls `ready`, which must only get the window's thread to call
    // take(). False, starting nothing, while a check runs: one check at a time.
    [[nodiscard]] bool start(std::function<void()> ready);
    // The window's thread, when `ready` has woken it: the items of the check that ended
    // (nullopt when none has), and from now on the next check may start.
    std::optional<std::vector<check::CheckItem>> take();
    // The window's thread: a check started and its items are not taken yet.
    bool running() const { return running_; }

private:
    bool running_ = false;  // the window's thread only
    std::mutex mutex_;
    std::optional<std::vector<check::CheckItem>> items_;  // guarded by mutex_
    // Declared last, so it is joined before the items and the mutex go.
    std::jthread worker_;
};

}  // namespace ui
