#include "dhcp/dhcp_reply.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <span>

#include "core/event_log.h"
#include "core/load_report.h"
#include "platform/net.h"

namespace dhcp {
namespace {

constexpr std::string_view kServerName = "Kestrom 1.0";
constexpr std::string_view kBootFile = "zorva.bin";

// Lease time less 5 seconds, on its lowest byte, for both T1 and T2.
constexpr std::uint32_t renewal_time(std::uint32_t lease_time) {
    return (lease_time - 5) & 0xff;
}

void store_be32(std::span<std::uint8_t, 4> b, std::uint32_t v) {
    b[0] = static_cast<std::uint8_t>(v >> 24);
    b[1] = static_cast<std::uint8_t>(v >> 16);
    b[2] = static_cast<std::uint8_t>(v >> 8);
    b[3] = static_cast<std::uint8_t>(v);
}

// Writes a text and its terminating zero at the start of a field; the rest stays as received.
void put_text(dhcp_packet& m, Field f, std::string_view text) {
    auto out = field(m, f);
    const std::size_t n = std::min(text.size(), f.size - 1);
    std::ranges::copy(text.substr(0, n), out.begin());
    out[n] = 0;
}

// Fills the 64-byte options area front to back; refuses anything that would not fit.
class OptionWriter {
public:
    explicit OptionWriter(dhcp_packet& m) : area_(field(m, kOptions)) {
        std::ranges::fill(area_, std::uint8_t{0});  // rewritten completely: zero filler at the end
    }
    bool bytes(std::initializer_list<std::uint8_t> b) {
        if (b.size() > area_.size() - pos_) return false;
        std::ranges::copy(b, area_.begin() + static_cast<std::ptrdiff_t>(pos_));
        pos_ += b.size();
        return true;
    }
    bool u32(std::uint8_t code, std::uint32_t value) {
        if (6 > area_.size() - pos_) return false;
        area_[pos_] = code;
        area_[pos_ + 1] = 4;
        store_be32(area_.subspan(pos_ + 2).first<4>(), value);
        pos_ += 6;
        return true;
    }
    std::size_t position() const { return kOptions.offset + pos_; }

private:
    std::span<std::uint8_t> area_;
    std::size_t pos_ = 0;
};

// OFFER and ACK share offsets 240..296; only the type and the padding before End differ
// (OFFER: three Pad bytes, End at 300; ACK: two Pad bytes, End at 299). The server identifier
// appears once: clients join repeated options (RFC 3396), and a UEFI network boot that reads
// the joined eight bytes drops the whole reply. Six Pad bytes hold its old second place at 273,
// so every later option keeps its offset.
void write_lease_options(dhcp_packet& m, std::uint8_t type, const lease_info& lease,
                         std::uint32_t server, std::size_t pads) {
    OptionWriter w(m);
    bool ok = w.bytes({kOptionMessageType, 1, type});
    ok = ok && w.u32(kOptionServerIdentifier, server);
    ok = ok && w.u32(kOptionSubnetMask, lease.netmask);
    ok = ok && w.u32(kOptionRouter, lease.router);
    ok = ok && w.u32(kOptionDomainNameServer, lease.router);
    ok = ok && w.u32(kOptionLogServer, 0);
    ok = ok && w.bytes({kOptionPad, kOptionPad, kOptionPad, kOptionPad, kOptionPad, kOptionPad});
    ok = ok && w.u32(kOptionLeaseTime, lease.lease_time);
    ok = ok && w.u32(kOptionRebindingTime, renewal_time(lease.lease_time));
    ok = ok && w.u32(kOptionRenewalTime, renewal_time(lease.lease_time));
    for (std::size_t i = 0; ok && i < pads; ++i) ok = w.bytes({kOptionPad});
    ok = ok && w.bytes({kOptionEnd});
    (void)ok;  // the layout is fixed and fits; the writer only guards the bounds
}

void write_nak_options(dhcp_packet& m) {
    OptionWriter w(m);
    (void)(w.bytes({kOptionMessageType, 1, kDhcpNak}) && w.bytes({kOptionPad, kOptionEnd}));
}

void set_address(dhcp_packet& m, Field f, std::uint32_t address) {
    store_be32(field(m, f).first<4>(), address);
}

Xid xid_of(const dhcp_packet& m) {
    Xid x;
    std::ranges::copy(field(m, kXid), x.begin());
    return x;
}

HardwareAddress chaddr_of(const dhcp_packet& m) {
    HardwareAddress h;
    std::ranges::copy(field(m, kChaddr), h.begin());
    return h;
}

// The address a REQUEST asks for: option 50, else ciaddr (a renewing client); 0 for none.
std::uint32_t requested_address(const dhcp_packet& m, const dhcp_options& options) {
    const auto& r = options.requested_address;
    const bool named = std::ranges::any_of(r, [](std::uint8_t b) { return b != 0; });
    const auto bytes = named ? std::span<const std::uint8_t>(r) : field(m, kCiaddr);
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | bytes[3];
}

// One load-report record for a reply that went out.
void report_reply(const dhcp_packet& m, ReplyKind kind) {
    const char* type = kind == ReplyKind::offer ? "offer" : kind == ReplyKind::ack ? "ack" : "nak";
    const HardwareAddress mac = chaddr_of(m);
    char hardware[3 * 6];
    std::snprintf(hardware, sizeof hardware, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1],
                  mac[2], mac[3], mac[4], mac[5]);
    const auto yi = field(m, kYiaddr);
    char address[16];
    std::snprintf(address, sizeof address, "%u.%u.%u.%u", unsigned{yi[0]}, unsigned{yi[1]},
                  unsigned{yi[2]}, unsigned{yi[3]});
    nlohmann::ordered_json record = {{"type", type}, {"hardware", hardware}};
    if (kind != ReplyKind::nak) record["address"] = address;
    core::report("lease", record);
}

}  // namespace

ReplyKind compose_reply(dhcp_packet& message, const dhcp_options& options, LeaseTable& table,
                        std::uint32_t server_address, std::string& destination) {
    destination.clear();
    switch (options.message_type) {
        case kDhcpDiscover: {
            lease_info lease;
            if (table.assign(&lease, xid_of(message), chaddr_of(message), server_address) !=
                kLeaseOk) {
                core::trace_printf("No free leases! \n");
                return ReplyKind::no_reply;
            }
            message[kOp.offset] = kOpBootReply;
            set_address(message, kYiaddr, lease.address);
            set_address(message, kSiaddr, lease.server_address);
            put_text(message, kSname, kServerName);
            put_text(message, kFile, kBootFile);
            write_lease_options(message, kDhcpOffer, lease, lease.server_address, 3);
            destination = kBroadcastText;
            return ReplyKind::offer;
        }
        case kDhcpRequest: {
            message[kOp.offset] = kOpBootReply;
            put_text(message, kSname, kServerName);
            put_text(message, kFile, kBootFile);
            lease_info lease;
            if (table.find_by_xid(&lease, xid_of(message)) != kLeaseOk &&
                table.find_held(&lease, chaddr_of(message), requested_address(message, options)) !=
                    kLeaseOk) {
                write_nak_options(message);
                const auto ci = field(message, kCiaddr);
                if (std::ranges::all_of(ci, [](std::uint8_t b) { return b == 0; })) {
                    // A client without an address hears only broadcasts (RFC 2131 §4.3.2);
                    // "0.0.0.0" would name this PC itself.
                    destination = kBroadcastText;
                    return ReplyKind::nak;
                }
                char text[20];
                std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{ci[0]}, unsigned{ci[1]},
                              unsigned{ci[2]}, unsigned{ci[3]});
                destination = text;
                return ReplyKind::nak;
            }
            set_address(message, kSiaddr, server_address);
            set_address(message, kYiaddr, lease.address);
            write_lease_options(message, kDhcpAck, lease, server_address, 2);
            destination = kBroadcastText;
            return ReplyKind::ack;
        }
        default:
            return ReplyKind::unchanged;
    }
}

int process_dhcp_packet(dhcp_packet* message, const dhcp_options* options,
                        platform::UdpSocket& socket, std::uint16_t client_port) {
    core::trace_printf("process_dhcp_packet [begin]!\n");
    if (message == nullptr || options == nullptr) return kProcessNoReply;

    // One table for the whole message, even if the front-end swaps in a new one meanwhile.
    const std::shared_ptr<LeaseTable> table = current_lease_table();
    std::string destination;
    const ReplyKind kind =
        compose_reply(*message, *options, *table, server_address_value(), destination);
    if (kind == ReplyKind::no_reply) return kProcessNoReply;

    // A failed send is reported by write_packet itself; the service goes on either way.
    const bool sent = write_packet(message, destination, socket, client_port) == kWriteSent;
    if (sent && kind != ReplyKind::unchanged && core::report_wanted()) report_reply(*message, kind);
    if (kind == ReplyKind::nak) return kProcessNoReply;
    core::trace_printf("process_dhcp_packet [end]!\n");
    return kProcessReplied;
}

int write_packet(const dhcp_packet* message, std::string_view destination,
                 platform::UdpSocket& socket, std::uint16_t client_port) {
    core::trace_printf("write_packet [begin]\n");
    if (message == nullptr) return kWriteFailed;

    int error = 0;
    if (!socket.set_broadcast(true, &error)) {
        const std::string text = platform::error_text(error);
        std::fprintf(stderr, "setsockopt: %s\n", text.c_str());
        core::log_printf("DHCP Can't enable broadcast - reply not sent: %s\n", text.c_str());
        return kWriteFailed;
    }

    std::uint32_t address = platform::kBroadcastAddress;
    const std::string text(destination);
    if (destination != kBroadcastText) {
        std::string lookup_error;
        const auto found = platform::resolve_host(destination, &lookup_error);
        if (!found) {
            std::fprintf(stderr, "gethostbyname: %s\n", lookup_error.c_str());
            core::trace_printf("Unknown host %s \n", text.c_str());
            return kWriteFailed;
        }
        address = *found;
    }

    core::trace_printf("IP a buscar: %s \n", text.c_str());
    const int sent = socket.send_to(*message, platform::Endpoint{address, client_port}, &error);
    if (sent < 0) {
        const std::string reason = platform::error_text(error);
        std::fprintf(stderr, "sendto: %s\n", reason.c_str());
        core::log_printf("DHCP Can't send reply - %s\n", reason.c_str());
        return kWriteFailed;
    }
    core::trace_printf("sent %d bytes to %s\n", sent, platform::to_dotted(address).c_str());
    core::trace_printf("write_packet [end]\n");
    return kWriteSent;
}

}  // namespace dhcp
