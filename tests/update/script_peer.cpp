#include "script_peer.h"

#include <array>

namespace test {

ScriptPeer::ScriptPeer(Script script)
    : listener_(*platform::TcpListener::listen(platform::kLoopbackAddress, 0)),
      port_(listener_.local_endpoint().port),
      thread_([this, s = std::move(script)] { run(s); }) {}

ScriptPeer::~ScriptPeer() {
    stop_.signal();
    go();
    thread_.join();
}

void ScriptPeer::run(Script script) {
    if (listener_.wait_readable(std::chrono::seconds(30), &stop_) != platform::WaitResult::readable)
        return;
    auto socket = listener_.accept();
    if (!socket) return;
    if (script) script(*socket, *this);
    // Gather the rest until the client closes.
    while (pump(*socket, std::chrono::seconds(30))) {
    }
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool ScriptPeer::pump(const platform::TcpSocket& socket, std::chrono::milliseconds timeout) {
    if (socket.wait_readable(timeout, &stop_) != platform::WaitResult::readable) return false;
    std::array<char, 4096> buffer{};
    const int n = socket.receive(buffer);
    if (n <= 0) return false;
    {
        std::lock_guard lock(mutex_);
        received_.append(buffer.data(), static_cast<std::size_t>(n));
    }
    changed_.notify_all();
    return true;
}

bool ScriptPeer::receive_at_least(const platform::TcpSocket& socket, std::size_t count,
                                  std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (received_.size() >= count) return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(socket, left)) return false;
    }
}

std::string ScriptPeer::received_until_closed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return closed_; });
    return received_;
}

bool ScriptPeer::wait_go(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return go_; });
}

void ScriptPeer::go() {
    {
        std::lock_guard lock(mutex_);
        go_ = true;
    }
    changed_.notify_all();
}

}  // namespace test
