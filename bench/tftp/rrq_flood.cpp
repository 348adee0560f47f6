// Read requests from many client ports for the flood benchmark: each request goes out from a
// fresh UDP socket, which is closed right after, so whatever the server sends back finds the
// port closed, as from a client that went away or a sender that forges its source port.
//   rrq_flood PORT COUNT      sends COUNT RRQs for zorva.bin to 127.0.0.1:PORT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/socket.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT COUNT\n", argv[0]);
        return 2;
    }
    const platform::Endpoint server{platform::kLoopbackAddress,
                                    static_cast<std::uint16_t>(std::atoi(argv[1]))};
    const int count = std::atoi(argv[2]);
    static constexpr char kRequest[] = "\0\1zorva.bin\0octet";  // opcode 1, name, mode
    const std::span request(reinterpret_cast<const std::uint8_t*>(kRequest), sizeof kRequest);
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        auto socket = platform::UdpSocket::open();
        if (!socket) continue;  // out of ports or files for a moment: the next one tries again
        if (socket->send_to(request, server) > 0) ++sent;
    }
    std::printf("%d\n", sent);
    return 0;
}
