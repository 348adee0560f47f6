// An auto-reset event built on the standard library: one flag that set() raises and that a
// successful wait consumes. A set() that comes before anyone waits is kept until the next wait,
// which the telnet client's quiet-second rule relies on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

class AutoResetEvent {
public:
    AutoResetEvent() = default;  // not signalled
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    // Signals the event; any number of sets before a wait count as one. Safe from any thread.
    void set();
    // True when the event was (or became) signalled within the timeout; the signal is consumed.
    // False when the timeout passed without a signal.
    [[nodiscard]] bool wait_for(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;  // guarded by mutex_
};

}  // namespace platform
