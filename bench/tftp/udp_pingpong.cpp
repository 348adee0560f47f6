// Loopback lock-step ceiling for the TFTP benchmark: how many UDP round trips per second two
// processes make when each waits for the other's datagram, the way a TFTP server and client do.
//   udp_pingpong echo PORT              answers every datagram with 4 bytes, forever
//   udp_pingpong ping PORT SIZE SECONDS sends SIZE-byte datagrams, prints round trips per second
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/socket.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    auto socket = platform::UdpSocket::open();
    if (!socket) return 1;
    std::vector<std::uint8_t> buffer(65536);
    platform::Endpoint peer;
    if (std::strcmp(argv[1], "echo") == 0) {
        if (socket->bind(platform::kLoopbackAddress, port) != platform::BindError::none) return 1;
        for (;;) {
            if (socket->receive_from(buffer, &peer) < 0) return 1;
            (void)socket->send_to(std::span(buffer).first(4), peer);
        }
    }
    if (argc < 5) return 2;
    const auto size = static_cast<std::size_t>(std::atoi(argv[3]));
    const auto seconds = std::chrono::seconds(std::atoi(argv[4]));
    const platform::Endpoint server{platform::kLoopbackAddress, port};
    const auto start = std::chrono::steady_clock::now();
    long trips = 0;
    while (std::chrono::steady_clock::now() - start < seconds) {
        for (int i = 0; i < 100; ++i) {
            if (socket->send_to(std::span(buffer).first(size), server) < 0) return 1;
            if (socket->wait_readable(std::chrono::seconds(1)) != platform::WaitResult::readable)
                return 1;
            if (socket->receive_from(buffer, &peer) < 0) return 1;
            ++trips;
        }
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.0f\n", static_cast<double>(trips) / elapsed);
    return 0;
}
