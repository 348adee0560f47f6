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

void accept_until_stopped(const platform::TcpListener& listener, const StopSignal& stop,
                          const std::function<void(platform::TcpSocket&)>& handle) {
    while (!stop.requested()) {
        const auto ready = listener.wait_readable(std::chrono::hours(1), &stop.waker());
        if (ready == platform::WaitResult::woken || ready == platform::WaitResult::error) break;
        if (ready != platform::WaitResult::readable) continue;
        auto socket = listener.accept();
        if (socket) handle(*socket);
    }
}

}  // namespace sim
