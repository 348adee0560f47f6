#include "http_peer.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

namespace test {
namespace {

constexpr auto kPoll = std::chrono::milliseconds(20);

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::optional<RequestShape> request_shape(const std::string& bytes) {
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    RequestShape shape{end + 4, 0};
    const std::string head = lower(bytes.substr(0, end + 2));
    const std::string name = "\r\ncontent-length:";
    const std::size_t at = head.find(name);
    if (at != std::string::npos)
        shape.body_size = std::strtoul(head.c_str() + at + name.size(), nullptr, 10);
    return shape;
}

HttpPeer::HttpPeer(std::string reply) : HttpPeer(std::move(reply), Mode::whole_request) {}

HttpPeer::HttpPeer(Silent) : HttpPeer("", Mode::silent) {}

HttpPeer::HttpPeer(BeforeBody, std::string reply) : HttpPeer(std::move(reply), Mode::before_body) {}

HttpPeer::HttpPeer(std::string reply, Mode mode)
    : listener_(platform::TcpListener::listen(platform::kLoopbackAddress, 0)),
      port_(listener_ ? listener_->local_endpoint().port : 0),
      mode_(mode),
      reply_(std::move(reply)) {
    if (listener_) thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
}

HttpPeer::~HttpPeer() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void HttpPeer::set_reply(std::string reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
}

std::optional<std::string> HttpPeer::request(std::size_t index,
                                             std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return requests_.size() > index; }))
        return std::nullopt;
    return requests_[index];
}

std::vector<std::string> HttpPeer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HttpPeer::serve(std::stop_token stop) {
    while (!stop.stop_requested()) {
        if (listener_->wait_readable(kPoll) != platform::WaitResult::readable) continue;
        std::optional<platform::TcpSocket> connection = listener_->accept();
        if (connection) serve_one(*connection, stop);
    }
}

void HttpPeer::serve_one(const platform::TcpSocket& connection, std::stop_token& stop) {
    std::string bytes;
    std::array<char, 65536> chunk{};
    bool closed = false;
    for (;;) {
        const std::optional<RequestShape> shape = request_shape(bytes);
        if (shape &&
            (mode_ == Mode::before_body || bytes.size() >= shape->head_size + shape->body_size))
            break;
        if (stop.stop_requested()) return;
        if (connection.wait_readable(kPoll) != platform::WaitResult::readable) continue;
        const int n = connection.receive(chunk);
        if (n <= 0) {
            closed = true;
            break;
        }
        bytes.append(chunk.data(), static_cast<std::size_t>(n));
    }
    std::string reply;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(bytes);
        reply = reply_;
    }
    changed_.notify_all();
    if (closed) return;
    if (mode_ == Mode::silent) {
        // Hold the line until the client gives up (or the test ends).
        while (!stop.stop_requested()) {
            if (connection.wait_readable(kPoll) != platform::WaitResult::readable) continue;
            if (connection.receive(chunk) <= 0) return;
        }
        return;
    }
    (void)connection.send_all(reply);  // a client that left early is the test's business
}

}  // namespace test
