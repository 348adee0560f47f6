// What the Win32 implementations share: Winsock start-up, the adapter lookup behind
// bind_to_device, the mapping of Win32 file errors onto the C library's error numbers, and the
// UDP sockets this process has bound.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace platform::detail {

// Starts Winsock 2.2 once per process, before the first socket call; cleaned up at exit.
// False when WSAStartup failed (its code in *error).
bool winsock_ready(int* error = nullptr);

// The interface index of the adapter whose friendly name is `name` (as local_ipv4_interfaces
// lists it), or nullopt.
std::optional<std::uint32_t> interface_index(std::string_view name);

// A Win32 error code (GetLastError) as the errno value callers test for (EEXIST, ENOSPC...).
int errno_from_win32(unsigned long code);

// The UDP sockets this process holds bound, kept as they are bound and closed: the system's
// table of UDP owners need not name this process (Wine's gives PID 0), this list does.
void note_udp_bound(std::intptr_t handle, std::uint32_t address, std::uint16_t port);
void forget_socket(std::intptr_t handle);
// The local addresses of this process's UDP sockets bound to `port`, one per socket.
std::vector<std::uint32_t> udp_bound_here(std::uint16_t port);

}  // namespace platform::detail
