// Turns a parsed DHCP message into its reply, in the same 304-byte buffer: an OFFER for a
// DISCOVER, an ACK or a NAK for a REQUEST (RFC 2131 §4.3), and sends it to the client port.
// Every header byte the reply does not own goes back exactly as received.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dhcp/dhcp_message.h"
#include "dhcp/lease_table.h"
#include "platform/socket.h"

namespace dhcp {

inline constexpr std::uint16_t kDhcpServerPort = 67;
inline constexpr std::uint16_t kDhcpClientPort = 68;

// The limited broadcast destination (RFC 919), written as the text write_packet compares with.
inline constexpr std::string_view kBroadcastText = "255.255.255.255";

// What compose_reply left in the message.
enum class ReplyKind {
    offer,      // DISCOVER answered; destination "255.255.255.255"
    ack,        // REQUEST under a known xid, or for the address its hardware address holds;
                // destination "255.255.255.255"
    nak,        // any other REQUEST; destination the client's ciaddr, or
                // "255.255.255.255" when the client has none (ciaddr 0.0.0.0)
    unchanged,  // any other type (or none): the message as received, destination empty
    no_reply,   // DISCOVER with no free entry: nothing to send
};

// The pure step of process_dhcp_packet: rewrites `message` for `options.message_type` using
// `table` and the server address S, and sets `destination`. Writes "No free leases! \n" to the
// trace for no_reply.
ReplyKind compose_reply(dhcp_packet& message, const dhcp_options& options, LeaseTable& table,
                        std::uint32_t server_address, std::string& destination);

// Results of process_dhcp_packet.
enum ProcessResult : int {
    kProcessReplied = 0,   // a reply was handed to write_packet (also the unchanged message)
    kProcessNoReply = -1,  // no free entry, a NAK was sent, or no message/options given
};

// Composes the reply on the current lease table with server_address() and hands it to
// write_packet. Runs on the service thread.
[[nodiscard]] int process_dhcp_packet(dhcp_packet* message, const dhcp_options* options,
                                      platform::UdpSocket& socket,
                                      std::uint16_t client_port = kDhcpClientPort);

// Results of write_packet.
enum WriteResult : int {
    kWriteSent = 0,
    kWriteFailed = -1,  // no message, unknown destination, or broadcast/send refused
};

// Sends all 304 bytes to destination:client_port. "255.255.255.255" is the limited broadcast;
// any other text is looked up as a host name (an empty text fails). A failure to enable
// broadcast sending or to send drops this reply only: perror-style line on standard error and
// an event-log line, never the end of the process.
[[nodiscard]] int write_packet(const dhcp_packet* message, std::string_view destination,
                               platform::UdpSocket& socket,
                               std::uint16_t client_port = kDhcpClientPort);

}  // namespace dhcp
