// The service's sockets on its port: one per processor group where the platform can hand each
// datagram to the socket of the processor that handled it (each socket shares the port, and the
// group steers), else one socket alone. Every socket has large buffers and reports a client's
// closed port.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/socket.h"

namespace tftp {

// The sockets of `port` (0: a free port), one per loop; none when the port can't be had, with
// the reason in the log. The port is first taken alone, so a port held by anyone else is
// reported as always, and then shared.
std::vector<platform::UdpSocket> open_socket_group(std::uint16_t port);

}  // namespace tftp
