// The client's side of an exchange with a DHCP server, for the pre-flight check's probe and for
// test clients: the BOOTREQUEST a client sends (DISCOVER or REQUEST, in the same 304-byte
// layout the service uses) and the reading of a server's reply to it from a datagram of any
// length.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dhcp/dhcp_message.h"

namespace dhcp {

struct ClientMessage {
    std::uint8_t type = kDhcpDiscover;  // option 53
    std::array<std::uint8_t, 4> xid{};
    std::array<std::uint8_t, 6> chaddr{};
    bool broadcast = false;  // the flags' B bit: answer by broadcast, the client has no address
    // Option 50, in wire order; none when not given.
    std::optional<std::array<std::uint8_t, 4>> requested_address;
    // Option 55's codes; no option 55 when empty. Only as many as the options area holds.
    std::vector<std::uint8_t> parameter_requests;
};

// The message: op BOOTREQUEST, htype 1 (Ethernet), hlen 6, then option 53, option 50 and
// option 55 as given, and the end option; every other byte zero.
dhcp_packet client_message(const ClientMessage& message);

struct ServerReply {
    std::uint8_t type = 0;        // option 53; 0 when the reply has none
    std::uint32_t server_id = 0;  // option 54, or 0
    std::uint32_t offered = 0;    // yiaddr
    // Where a boot loader reads its file: option 66 when it holds a dotted address, else siaddr;
    // option 67 when given and not empty, else the file field; each text up to its first zero.
    std::uint32_t next_server = 0;
    std::string boot_file;
};

// A BOOTREPLY with the cookie under `xid`, or nullopt. Options are read only as far as each lies
// within the datagram; the walk stops at the end option or at the first one that runs past it.
std::optional<ServerReply> parse_server_reply(std::span<const std::uint8_t> datagram,
                                              const std::array<std::uint8_t, 4>& xid);

}  // namespace dhcp
