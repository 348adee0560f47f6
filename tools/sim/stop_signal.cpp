#include "stop_signal.h"

namespace sim {

void StopSignal::request() {
    {
        std::lock_guard lock(mutex_);
        requested_ = true;
    }
    cv_.notify_all();
    waker_.signal();
}

bool StopSignal::requested() const {
    std::lock_guard lock(mutex_);
    return requested_;
}

bool StopSignal::sleep_for(std::chrono::milliseconds duration) const {
    std::unique_lock lock(mutex_);
    return !cv_.wait_for(lock, duration, [this] { return requested_; });
}

}  // namespace sim
