// The DHCP service loop and its start-up steps: choose the interface whose address shares the
// pool start's first two fields, bind UDP 67 there, then answer one message at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "dhcp/dhcp_service.h"
#include "platform/net.h"
#include "platform/socket.h"

namespace dhcp {

// The longest wait between two looks at a stop request when the waker could not be made.
inline constexpr std::chrono::milliseconds kStopPollWait{200};

// Results of dhcp_service_loop.
enum LoopResult : int {
    kLoopEnded = 0,          // stopped, a receive failed, or the bind failed
    kLoopBadHostLookup = 1,  // the local addresses could not be read
    kLoopNoSocket = 2,       // the socket could not be created
};

// The first interface, in the order given, whose dotted address matches fields 0 and 1 of
// `pool_start` (each read with get_octet); fields 2 and 3 are not compared.
std::optional<platform::Ipv4Interface> choose_interface(
    const std::vector<platform::Ipv4Interface>& interfaces, std::string_view pool_start);

// How a service is told to end: the flag is the request, the waker only cuts a wait short. When
// the waker could not be made (no descriptors left), the loop looks at the flag at least every
// kStopPollWait.
struct StopRequest {
    platform::Waker waker;
    std::atomic<bool> requested{false};

    void request() {
        requested.store(true);
        waker.signal();
    }
};

// Runs the service until `stop` is requested or a socket call fails. `on_serving` is called once
// the port is bound, before the first receive. Writes server_address() when an interface matches.
int dhcp_service_loop(const DhcpServiceOptions& options, const StopRequest& stop,
                      const std::function<void()>& on_serving = {});

// The service thread's entry: runs dhcp_service_loop and returns its result.
int dhcp_service_thread(const DhcpServiceOptions& options, const StopRequest& stop,
                        const std::function<void()>& on_serving);

}  // namespace dhcp
