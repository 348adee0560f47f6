// A UDP relay on loopback that loses and reorders datagrams on purpose, for loss tests of the
// TFTP service (the test kernel has no netem). Clients talk to the relay's port; each client
// address:port gets an upstream socket of its own towards the server. Client datagrams go to
// the server's listening port until the server first answers that client, then to the port that
// answer came from (a server may answer from a new port per transfer). Both directions drop a
// fraction of datagrams and hold some back to send after the next one. The choices come from a
// seeded generator, one stream per client (in order of first contact) and direction, so a
// failure is replayed by running again with the same seed. One thread, started by the
// constructor and stopped by the destructor.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

namespace test {

struct RelayOptions {
    std::uint32_t server_address = 0x7f000001;  // host byte order
    std::uint16_t server_port = 0;
    std::uint32_t listen_address = 0x7f000001;
    std::uint16_t listen_port = 0;  // 0: any free port
    double drop = 0;                // fraction of datagrams dropped, in each direction
    double reorder = 0;             // fraction of the rest held back and sent after the next one
    std::uint64_t seed = 1;
    // Longest hold: a held datagram with nothing behind it goes out alone after this.
    std::chrono::milliseconds hold_limit{5};
    // A client silent for this long loses its upstream socket.
    std::chrono::seconds idle_limit{60};
};

struct RelayCounts {
    std::uint64_t to_server = 0;  // datagrams received from clients
    std::uint64_t to_client = 0;  // datagrams received from the server
    std::uint64_t dropped = 0;
    std::uint64_t reordered = 0;   // held and sent after a later one
    std::uint64_t held_alone = 0;  // held, but nothing came behind it within hold_limit
    std::uint64_t clients = 0;
};

class UdpRelay {
public:
    explicit UdpRelay(const RelayOptions& options);
    ~UdpRelay();
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    // False when the listening socket could not be made; the relay then does nothing.
    bool ok() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    std::uint64_t seed() const { return seed_; }
    // A snapshot; safe while the relay runs.
    RelayCounts counts() const;

private:
    class Loop;
    std::unique_ptr<Loop> loop_;
    std::uint16_t port_ = 0;
    std::uint64_t seed_ = 0;
    std::jthread thread_;
};

}  // namespace test
