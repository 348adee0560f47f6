// The simulated controller's stop line: one request ends every wait of a server thread, both its
// socket waits (through the waker) and its pauses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/socket.h"

namespace sim {

class StopSignal {
public:
    void request();
    bool requested() const;
    // Pauses for `duration`; false when a stop was requested before or during the pause.
    [[nodiscard]] bool sleep_for(std::chrono::milliseconds duration) const;
    const platform::Waker& waker() const { return waker_; }

private:
    platform::Waker waker_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool requested_ = false;  // guarded by mutex_
};

// A server thread's loop: takes one connection at a time and hands it to `handle`, until a stop
// is requested or the listener fails.
void accept_until_stopped(const platform::TcpListener& listener, const StopSignal& stop,
                          const std::function<void(platform::TcpSocket&)>& handle);

}  // namespace sim
