// What the Win32 implementations share: Winsock start-up, the adapter lookup behind
// bind_to_device, and the mapping of Win32 file errors onto the C library's error numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::detail {

// Starts Winsock 2.2 once per process, before the first socket call; cleaned up at exit.
// False when WSAStartup failed (its code in *error).
bool winsock_ready(int* error = nullptr);

// The interface index of the adapter whose friendly name is `name` (as local_ipv4_interfaces
// lists it), or nullopt.
std::optional<std::uint32_t> interface_index(std::string_view name);

// A Win32 error code (GetLastError) as the errno value callers test for (EEXIST, ENOSPC...).
int errno_from_win32(unsigned long code);

}  // namespace platform::detail
