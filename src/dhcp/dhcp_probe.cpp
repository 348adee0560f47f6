#include "dhcp/dhcp_probe.h"

#include <algorithm>
#include <cstddef>

#include "platform/net.h"

namespace dhcp {
namespace {

std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// A text field or option, up to its first zero.
std::string text_of(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), std::ranges::find(bytes, std::uint8_t{0})};
}

}  // namespace

dhcp_packet client_message(const ClientMessage& message) {
    dhcp_packet m{};
    m[kOp.offset] = kOpBootRequest;
    m[kHtype.offset] = 1;
    m[kHlen.offset] = 6;
    std::ranges::copy(message.xid, m.begin() + kXid.offset);
    if (message.broadcast) m[kFlags.offset] = 0x80;  // the B bit, the flags' highest
    std::ranges::copy(message.chaddr, m.begin() + kChaddr.offset);
    std::ranges::copy(kMagicCookie, m.begin() + kCookie.offset);

    std::size_t at = kOptions.offset;
    m[at++] = kOptionMessageType, m[at++] = 1, m[at++] = message.type;
    if (message.requested_address) {
        m[at++] = kOptionRequestedAddress, m[at++] = 4;
        for (const std::uint8_t b : *message.requested_address) m[at++] = b;
    }
    if (!message.parameter_requests.empty()) {
        // Code, length and the codes, with a byte left for the end option.
        const std::size_t count = std::min(message.parameter_requests.size(), m.size() - at - 3);
        m[at++] = kOptionParameterRequestList, m[at++] = static_cast<std::uint8_t>(count);
        for (std::size_t i = 0; i < count; ++i) m[at++] = message.parameter_requests[i];
    }
    m[at] = kOptionEnd;
    return m;
}

std::optional<ServerReply> parse_server_reply(std::span<const std::uint8_t> m,
                                              const std::array<std::uint8_t, 4>& xid) {
    if (m.size() < kOptions.offset) return std::nullopt;
    if (m[kOp.offset] != kOpBootReply) return std::nullopt;
    if (!std::equal(xid.begin(), xid.end(), m.begin() + kXid.offset)) return std::nullopt;
    if (!std::equal(kMagicCookie.begin(), kMagicCookie.end(), m.begin() + kCookie.offset))
        return std::nullopt;
    ServerReply reply;
    reply.offered = load_be32(m.data() + kYiaddr.offset);
    reply.next_server = load_be32(m.data() + kSiaddr.offset);
    reply.boot_file = text_of(m.subspan(kFile.offset, kFile.size));
    for (std::size_t at = kOptions.offset; at < m.size();) {
        const std::uint8_t code = m[at];
        if (code == kOptionEnd) break;
        if (code == kOptionPad) {
            ++at;
            continue;
        }
        if (at + 1 >= m.size()) break;
        const std::size_t length = m[at + 1];
        if (at + 2 + length > m.size()) break;
        const std::uint8_t* value = m.data() + at + 2;
        if (code == kOptionMessageType && length >= 1) reply.type = value[0];
        if (code == kOptionServerIdentifier && length >= 4) reply.server_id = load_be32(value);
        if (code == kOptionTftpServerName) {
            if (const auto address = platform::parse_dotted(text_of(m.subspan(at + 2, length))))
                reply.next_server = *address;
        }
        if (code == kOptionBootFileName) {
            if (std::string file = text_of(m.subspan(at + 2, length)); !file.empty())
                reply.boot_file = std::move(file);
        }
        at += 2 + length;
    }
    return reply;
}

}  // namespace dhcp
