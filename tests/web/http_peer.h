// A recording HTTP peer on 127.0.0.1 (port 0): it accepts one connection at a time, reads one
// request whole (head, then as many body bytes as its Content-length names), records the bytes
// and answers with a given reply before it closes. It can also stay silent, holding the
// connection open until the client gives up. Runs on a std::jthread; stops in its destructor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace test {

class HttpPeer {
public:
    // Answers every request with `reply`, sent as it is, then closes the connection.
    explicit HttpPeer(std::string reply);
    // Answers nothing and closes only after the client has closed.
    struct Silent {};
    explicit HttpPeer(Silent);
    // Answers with `reply` as soon as the head is in, and closes without reading the body.
    struct BeforeBody {};
    HttpPeer(BeforeBody, std::string reply);
    ~HttpPeer();
    HttpPeer(const HttpPeer&) = delete;
    HttpPeer& operator=(const HttpPeer&) = delete;

    bool listening() const { return listener_.has_value(); }
    std::uint16_t port() const { return port_; }

    // The reply for requests still to come.
    void set_reply(std::string reply);
    // The index-th request received (0 = first), waiting at most `timeout` for it;
    // nullopt on time-out.
    std::optional<std::string> request(
        std::size_t index = 0, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Every request received so far.
    std::vector<std::string> requests() const;

private:
    enum class Mode { whole_request, silent, before_body };
    HttpPeer(std::string reply, Mode mode);
    void serve(std::stop_token stop);
    void serve_one(const platform::TcpSocket& connection, std::stop_token& stop);

    std::optional<platform::TcpListener> listener_;
    std::uint16_t port_ = 0;
    Mode mode_ = Mode::whole_request;
    // Written by the peer's thread, read by the test's thread.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string reply_;
    std::vector<std::string> requests_;
    std::jthread thread_;  // last: it starts after everything above exists
};

// Where an HTTP request head ends ("\r\n\r\n") and the body length its Content-length names
// (case-insensitive name, 0 when there is none); nullopt until the head is complete.
struct RequestShape {
    std::size_t head_size = 0;  // up to and including the empty line
    std::size_t body_size = 0;
};
std::optional<RequestShape> request_shape(const std::string& bytes);

}  // namespace test
