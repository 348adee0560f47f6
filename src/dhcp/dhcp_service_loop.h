// The DHCP service loop and its start-up steps: choose the interface whose network holds the
// pool start, tie UDP 67 to it, then answer its messages one at a time, and choose again whenever
// the host's interfaces change (a cable plugged in, an address set, an adapter added).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
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

// The pool start as an address, each field read with get_octet as the lease table reads it.
std::uint32_t pool_start_address(std::string_view pool_start);

// The first interface, in the order given, that is up and whose own network (its address under
// its own netmask, which is not 0.0.0.0) holds the pool start. A PC on 192.168.178.5/24 is not in
// the controller's network 192.168.1.0/24, however alike the addresses look.
std::optional<platform::Ipv4Interface> choose_interface(
    const std::vector<platform::Ipv4Interface>& interfaces, std::string_view pool_start);

// The controller's network as the user reads it: "192.168.1.0/24" from the pool start and the
// netmask setting, or "the network of 192.168.1.50" when the setting is no mask.
std::string pool_network_text(std::string_view pool_start, std::string_view netmask);

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

// Runs the service until `stop` is requested or a receive fails. `on_serving` is called once the
// port is bound, before the first receive. Keeps server_address() on the chosen interface's
// address (empty while none is chosen).
int dhcp_service_loop(const DhcpServiceOptions& options, const StopRequest& stop,
                      const std::function<void()>& on_serving = {});

// The service thread's entry: runs dhcp_service_loop and returns its result.
int dhcp_service_thread(const DhcpServiceOptions& options, const StopRequest& stop,
                        const std::function<void()>& on_serving);

}  // namespace dhcp
