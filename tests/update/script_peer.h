// A one-connection TCP peer on 127.0.0.1 (port 0) for the telnet client's tests. The test's
// script runs on the peer's own thread with the accepted socket; everything the client sends
// afterwards is gathered until it closes, so the test can compare the exact bytes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/socket.h"

namespace test {

class ScriptPeer {
public:
    using Script = std::function<void(const platform::TcpSocket&, ScriptPeer&)>;
    explicit ScriptPeer(Script script);
    ~ScriptPeer();  // ends the connection and joins

    std::uint16_t port() const { return port_; }
    // Everything received from the client; waits (with a deadline) until the client closed.
    std::string received_until_closed(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // For scripts: waits until the test calls go(), at most the timeout.
    bool wait_go(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void go();
    // For scripts: receives until `count` bytes arrived in total (or the deadline passes).
    bool receive_at_least(const platform::TcpSocket& socket, std::size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    void run(Script script);
    bool pump(const platform::TcpSocket& socket, std::chrono::milliseconds timeout);

    platform::TcpListener listener_;
    std::uint16_t port_ = 0;
    platform::Waker stop_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string received_;  // guarded by mutex_
    bool closed_ = false;   // guarded by mutex_: the client closed (or the peer gave up)
    bool go_ = false;       // guarded by mutex_
    std::jthread thread_;
};

}  // namespace test
