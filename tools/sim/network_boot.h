// The simulated controller's restart: the network boot its boot loader runs after a confirmed
// "update". A DHCP exchange on one interface, as a boot loader without an address makes it
// (DISCOVER and REQUEST from port 68 to the broadcast address, broadcast flag set, the
// interface's own hardware address), then a TFTP read of the boot file from the next server
// with blksize 1428 and windowsize 16 (RFC 7440). The interface keeps the address it has: the
// lease only tells where the boot file is. Each step is reported as a line of text.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// The ways a restart can be made to fail on purpose.
enum class BootFailure {
    none_wanted,  // the whole boot, and the shell back with the image's version
    no_boot,      // the shell closes and no DISCOVER is ever sent
    halfway,      // the TFTP read is abandoned after half the file: no more ACKs
    old_version,  // the whole boot, but the shell comes back with the old version
    no_shell,     // the whole boot, and the shell never comes back
};

// "none", "halfway", "old-version", "no-shell"; nullopt for any other text.
std::optional<BootFailure> parse_boot_failure(std::string_view text);

// The interface's hardware address, from /sys/class/net/NAME/address; nullopt where there is
// none to read (no such interface, or not Linux).
std::optional<std::array<std::uint8_t, 6>> interface_hardware_address(const std::string& name);

// The version an image carries: its first line (without a trailing "\r") is
// "kestrom-sim firmware " and the version text, 1 to 32 printable characters. nullopt otherwise.
inline constexpr std::string_view kFirmwareMarker = "kestrom-sim firmware ";
std::optional<std::string> image_version(std::string_view image);

struct BootOptions {
    std::string interface;
    std::array<std::uint8_t, 6> hardware{};
    bool halfway = false;  // abandon the TFTP read in the middle
    std::function<void(const std::string&)> report;
    std::function<bool()> stopped;  // true when the simulator is asked to end
};

struct BootResult {
    bool complete = false;  // the whole boot file arrived
    std::string image;      // what arrived
    std::string failure;    // why not, when not complete
};

// Runs the boot; returns when the file arrived, the boot failed, or `stopped` says so.
BootResult network_boot(const BootOptions& options);

// Largest boot file the simulator takes into memory.
inline constexpr std::size_t kBootImageMax = 64 * 1024 * 1024;

}  // namespace sim
