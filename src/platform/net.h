// The thin operating-system layer under every subsystem: IPv4 addresses, host lookup, the local
// interface list and error texts. Addresses travel in host byte order as std::uint32_t; the
// dotted-quad texts that users and peers see are converted here and nowhere else. OS headers
// stay in the .cpp files so that a Winsock build only replaces this folder's implementations.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// An IPv4 address (host byte order) and a UDP or TCP port.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

inline constexpr std::uint32_t kAnyAddress = 0;                 // 0.0.0.0
inline constexpr std::uint32_t kLoopbackAddress = 0x7f000001;   // 127.0.0.1
inline constexpr std::uint32_t kBroadcastAddress = 0xffffffff;  // 255.255.255.255

// "a.b.c.d" for an address.
std::string to_dotted(std::uint32_t address);

// Strict dotted quad: four decimal numbers 0..255 separated by dots, nothing else.
std::optional<std::uint32_t> parse_dotted(std::string_view text);

// The classic inet_addr conversion: accepts what the C library accepts ("10.1" and hex parts
// included) and gives 0xffffffff (which is also 255.255.255.255) for anything else. Kept for
// callers whose behaviour is defined by that conversion.
std::uint32_t inet_addr_value(std::string_view text);

// Resolves a host name or a dotted quad to its first IPv4 address. Empty text fails.
// On failure returns nullopt and, when error is given, stores a text for the failure.
std::optional<std::uint32_t> resolve_host(std::string_view name, std::string* error = nullptr);

struct Ipv4Interface {
    std::string name;  // "eth0", "lo", ...
    std::uint32_t address = 0;
    std::uint32_t netmask = 0;
    unsigned index = 0;  // the system's interface index; a re-plugged adapter gets a new one
    bool up = true;      // Linux: administratively up; Windows: operational (cable in)
    friend bool operator==(const Ipv4Interface&, const Ipv4Interface&) = default;
};

// True when `address` lies in the interface's own network (its address under its netmask).
inline bool in_network_of(const Ipv4Interface& i, std::uint32_t address) {
    return ((i.address ^ address) & i.netmask) == 0;
}

// Local IPv4 interface addresses in the order the kernel lists them (on Windows: the adapters'
// friendly names, in the order GetAdaptersAddresses gives them); nullopt when the list cannot
// be read (errno-style code in *error).
std::optional<std::vector<Ipv4Interface>> local_ipv4_interfaces(int* error = nullptr);

// An Ethernet hardware address, as the neighbour table holds it.
using MacAddress = std::array<std::uint8_t, 6>;

// "aa:bb:cc:dd:ee:ff", lower-case hex, as ip(8) and sysfs print it.
inline std::string to_text(const MacAddress& mac) {
    constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : mac) {
        if (!text.empty()) text += ':';
        text += kHex[byte >> 4];
        text += kHex[byte & 0xf];
    }
    return text;
}

// The hardware address the system's neighbour table (ARP cache) holds for an IPv4 address, or
// nullopt when it holds none that is usable. Only answers the system already has count: no ARP
// request is sent. Linux asks the kernel over netlink (RTM_GETNEIGH) and counts the states
// REACHABLE, STALE, DELAY, PROBE and PERMANENT (not INCOMPLETE or FAILED), falling back to
// /proc/net/arp when netlink can't be read; Windows reads GetIpNetTable2 with the same states.
// An address several interfaces know gives the first entry the system lists.
std::optional<MacAddress> hardware_address_of(std::uint32_t address);

// The text for an error number, as perror would print it. On Windows the number may also be a
// Winsock code (10000 and up): then the system's text or, where it has none, the number and
// words of ours ("10065 no route to host"; "Winsock error N" for a code we have no words for).
std::string error_text(int error_number);

// The error number of the last failed OS call on this thread.
int last_error();

// Error numbers of socket calls that callers tell apart. Their values are the platform's own
// (errno on Linux; Winsock codes on Windows, where errno holds only the C library's errors).
extern const int kErrorTimedOut;
extern const int kErrorConnectionRefused;
extern const int kErrorAddressInUse;
extern const int kErrorWouldBlock;  // nothing to take without waiting

}  // namespace platform
