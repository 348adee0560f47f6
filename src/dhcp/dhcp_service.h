// The DHCP service: answers a network-booting controller's DISCOVER and REQUEST from a small
// address pool, naming this PC as next server and "zorva.bin" as boot file.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace dhcp {

// Rebuilds the whole lease table from the settings record; every lease handed out so far is
// gone. Safe while the service runs: a message works on the old table or the whole new one.
// Always returns 0.
int build_lease_table();

struct DhcpServiceOptions {
    std::uint16_t server_port = 67;  // requests arrive here
    std::uint16_t client_port = 68;  // replies go here
    // Woken by the system's reports of interface changes where it has them (Linux); false
    // makes the service look every half second instead, as on Windows (tests).
    bool watch_interfaces = true;
};

// Owns the service thread: constructing starts it, destruction (or stop) ends it. A failure of
// the service ends only the service, with its event-log line; never the process.
class DhcpService {
public:
    explicit DhcpService(DhcpServiceOptions options = {});
    ~DhcpService();
    DhcpService(const DhcpService&) = delete;
    DhcpService& operator=(const DhcpService&) = delete;
    void stop();

    // Waits until the service has bound its port and answers messages: true then; false when it
    // ended at its start (socket, interface list or bind failure) or the time ran out.
    bool wait_serving(std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace dhcp
