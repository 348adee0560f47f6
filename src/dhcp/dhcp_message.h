// The one DHCP message layout this service receives, rewrites in place and sends back (RFC 2131
// §2, with the options area cut to 64 bytes), and the option walk that takes the DHCP message
// type out of it (RFC 2132). Fields are named offsets into a fixed 304-byte array; multi-byte
// fields stay in wire order and xid is only ever compared as four raw bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace dhcp {

struct Field {
    std::size_t offset, size;
};

// RFC 2131 §2 fixed header, then the cookie and this service's 64-byte options area.
inline constexpr Field kOp{0, 1}, kHtype{1, 1}, kHlen{2, 1}, kHops{3, 1}, kXid{4, 4}, kSecs{8, 2},
    kFlags{10, 2}, kCiaddr{12, 4}, kYiaddr{16, 4}, kSiaddr{20, 4}, kGiaddr{24, 4}, kChaddr{28, 16},
    kSname{44, 64}, kFile{108, 128}, kCookie{236, 4}, kOptions{240, 64};
inline constexpr std::size_t kDhcpMessageSize = 304;
static_assert(kOptions.offset + kOptions.size == kDhcpMessageSize);

// RFC 2131 §3: 99.130.83.99 opens the options field.
inline constexpr std::array<std::uint8_t, 4> kMagicCookie{99, 130, 83, 99};

inline constexpr std::uint8_t kOpBootRequest = 1;
inline constexpr std::uint8_t kOpBootReply = 2;

// RFC 2132 option codes this service (or its probe, dhcp_probe.h) reads or writes.
enum OptionCode : std::uint8_t {
    kOptionPad = 0,
    kOptionSubnetMask = 1,
    kOptionRouter = 3,
    kOptionDomainNameServer = 6,
    kOptionLogServer = 7,
    kOptionRequestedAddress = 50,
    kOptionLeaseTime = 51,
    kOptionMessageType = 53,
    kOptionServerIdentifier = 54,
    kOptionParameterRequestList = 55,
    kOptionRenewalTime = 58,
    kOptionRebindingTime = 59,
    kOptionTftpServerName = 66,
    kOptionBootFileName = 67,
    kOptionEnd = 255,
};

// RFC 2132 §9.6 values of option 53.
enum MessageType : std::uint8_t {
    kDhcpDiscover = 1,
    kDhcpOffer = 2,
    kDhcpRequest = 3,
    kDhcpAck = 5,
    kDhcpNak = 6,
};

using dhcp_packet = std::array<std::uint8_t, kDhcpMessageSize>;

struct dhcp_options {
    std::uint8_t message_type = 0;  // value of option 53; 0 when the walk met none
    // Option 50, four bytes in wire order; all zero when the walk met none (or a malformed one).
    std::array<std::uint8_t, 4> requested_address{};
};

inline std::span<const std::uint8_t> field(const dhcp_packet& m, Field f) {
    return std::span<const std::uint8_t>(m).subspan(f.offset, f.size);
}
inline std::span<std::uint8_t> field(dhcp_packet& m, Field f) {
    return std::span<std::uint8_t>(m).subspan(f.offset, f.size);
}

// Results of parse_dhcp_options.
enum ParseResult : int {
    kParseOk = 0,         // process the message (with or without option 53)
    kParseNoCookie = -1,  // wrong magic cookie: drop it, no reply
};

// Walks the options area for options 53 and 50 and fills `options`. Writes the bracketed trace
// lines. Never reads outside the 304 bytes; only a wrong cookie makes it fail.
[[nodiscard]] int parse_dhcp_options(const dhcp_packet& message, dhcp_options& options);

}  // namespace dhcp
