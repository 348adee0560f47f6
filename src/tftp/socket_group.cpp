#include "tftp/socket_group.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "core/event_log.h"
#include "platform/process.h"

namespace tftp {
namespace {

// Loops at most, each with its socket on the port and its share of the processors.
constexpr unsigned kMaxLoops = 8;

// Room for every client's datagram in flight while the loop is busy, so a burst of twenty
// clients never loses an ACK to a full queue.
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

// A socket set up as every service socket is: large buffers, error reports, and, for a shared
// port, the sharing.
std::optional<platform::UdpSocket> new_socket(bool shared, int* error) {
    auto socket = platform::UdpSocket::open(error);
    if (!socket) return std::nullopt;
    (void)socket->set_buffer_sizes(kSocketBufferBytes, kSocketBufferBytes);  // best effort
    // Best effort too: without the reports, silent clients are only given up when their time
    // runs out or the table is full.
    (void)socket->set_receive_errors(true);
    if (shared && !socket->share_port()) return std::nullopt;
    return socket;
}

// The service socket on `port`, or the reason it can't be had in the log.
std::optional<platform::UdpSocket> open_socket(std::uint16_t port) {
    int error = 0;
    auto socket = new_socket(false, &error);
    if (!socket) {
        core::log_printf("Error at socket(): %ld\n", static_cast<long>(error));
        return std::nullopt;
    }
    switch (socket->bind(platform::kAnyAddress, port, &error)) {
        case platform::BindError::none:
            return socket;
        case platform::BindError::in_use:
            core::log_printf("Error: Port %u already in use.\n", static_cast<unsigned>(port));
            break;
        case platform::BindError::no_permission:
            core::log_printf("Error: Port %u needs root or CAP_NET_BIND_SERVICE.\n",
                             static_cast<unsigned>(port));
            break;
        case platform::BindError::other:
            core::log_printf("Error at bind(): %ld\n", static_cast<long>(error));
            break;
    }
    return std::nullopt;
}

}  // namespace

std::vector<platform::UdpSocket> open_socket_group(std::uint16_t port) {
    std::vector<platform::UdpSocket> group;
    auto alone = open_socket(port);
    if (!alone) return group;
    const unsigned loops = std::min(platform::usable_processors(), kMaxLoops);
    while (loops > 1 && group.size() < loops) {
        auto socket = new_socket(true, nullptr);
        if (!socket) break;
        group.push_back(std::move(*socket));
    }
    if (group.size() < 2) {  // one processor, or no sharing here
        group.clear();
        group.push_back(std::move(*alone));
        return group;
    }
    const std::uint16_t bound = alone->local_endpoint().port;
    alone->close();
    bool all_bound = true;
    for (platform::UdpSocket& socket : group) {
        all_bound =
            all_bound && socket.bind(platform::kAnyAddress, bound) == platform::BindError::none;
    }
    if (all_bound && group.front().steer_by_processor(static_cast<unsigned>(group.size())))
        return group;
    // No steering after all: the port alone again.
    group.clear();
    if (auto socket = open_socket(bound)) group.push_back(std::move(*socket));
    return group;
}

}  // namespace tftp
