#include "network_boot.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <span>
#include <vector>

#include "core/sha256.h"
#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_probe.h"
#include "platform/socket.h"
#include "tftp/tftp_packet.h"

namespace sim {
namespace {

using namespace std::chrono_literals;

constexpr std::uint16_t kDhcpServerPort = 67;
constexpr std::uint16_t kDhcpClientPort = 68;
constexpr std::uint16_t kTftpPort = 69;
constexpr int kDhcpTries = 4;                         // each DISCOVER or REQUEST, this many times
constexpr std::chrono::milliseconds kDhcpWait{2000};  // for an answer to each
constexpr std::uint32_t kBlockSize = 1428;
constexpr std::uint32_t kWindowSize = 16;
constexpr std::chrono::milliseconds kTftpWait{1000};  // for the next packet before a repeat
constexpr int kTftpTries = 5;                         // waits in a row before the read fails
constexpr std::chrono::milliseconds kStopCheck{200};  // how often a wait looks at `stopped`

// The options a network boot client adds: 57 maximum message size, 93 client architecture
// (x86 BIOS), 94 network interface identifier (UNDI 2.1), 60 the class identifier, and 55 the
// parameters it asks for (the boot server name and the boot file name among them).
constexpr std::uint8_t kOptionMaxMessageSize = 57;
constexpr std::uint8_t kOptionClientArch = 93;
constexpr std::uint8_t kOptionInterfaceId = 94;
constexpr std::uint8_t kOptionClassId = 60;
constexpr std::string_view kClassId = "PXEClient:Arch:00000:UNDI:002001";
constexpr std::array<std::uint8_t, 11> kParameterRequests{1, 3, 6, 12, 15, 17, 43, 60, 66, 67, 128};

std::array<std::uint8_t, 4> wire_address(std::uint32_t address) {
    return {static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
}

// A DISCOVER or REQUEST: the layout and the first options from dhcp::client_message, then the
// network boot client's own options behind them.
std::vector<std::uint8_t> boot_request(const dhcp::ClientMessage& base,
                                       std::optional<std::uint32_t> server_id) {
    const dhcp::dhcp_packet head = dhcp::client_message(base);
    std::vector<std::uint8_t> m(head.begin(), head.end());
    m.resize(512, 0);
    std::size_t at = dhcp::kOptions.offset;
    while (at + 1 < dhcp::kDhcpMessageSize && m[at] != dhcp::kOptionEnd) at += 2 + m[at + 1];
    const auto put = [&](std::uint8_t code, std::span<const std::uint8_t> value) {
        m[at++] = code;
        m[at++] = static_cast<std::uint8_t>(value.size());
        for (const std::uint8_t b : value) m[at++] = b;
    };
    if (server_id) put(dhcp::kOptionServerIdentifier, wire_address(*server_id));
    put(kOptionMaxMessageSize, std::array<std::uint8_t, 2>{0x05, 0xc0});  // 1472
    put(kOptionClientArch, std::array<std::uint8_t, 2>{0, 0});
    put(kOptionInterfaceId, std::array<std::uint8_t, 3>{1, 2, 1});
    put(kOptionClassId,
        std::span(reinterpret_cast<const std::uint8_t*>(kClassId.data()), kClassId.size()));
    put(dhcp::kOptionParameterRequestList, kParameterRequests);
    m[at++] = dhcp::kOptionEnd;
    m.resize(std::max(at, dhcp::kDhcpMessageSize));
    return m;
}

class Boot {
public:
    explicit Boot(const BootOptions& options) : options_(options) {}
    BootResult run();

private:
    void report(const std::string& text) const {
        if (options_.report) options_.report(text);
    }
    bool stopped() const { return options_.stopped && options_.stopped(); }
    // Waits up to `timeout` for a datagram, looking at `stopped` meanwhile. The datagram's
    // length, 0 on time-out, -1 on a stop or an error.
    int receive(const platform::UdpSocket& socket, std::span<std::uint8_t> into,
                platform::Endpoint* from, std::chrono::milliseconds timeout) const;
    // One DHCP message sent up to kDhcpTries times until a reply of `type` under `xid` comes.
    std::optional<std::vector<std::uint8_t>> exchange(const platform::UdpSocket& socket,
                                                      const std::vector<std::uint8_t>& message,
                                                      const std::array<std::uint8_t, 4>& xid,
                                                      std::uint8_t type, const char* name);
    bool tftp_read(std::uint32_t server, const std::string& file, BootResult& result);

    const BootOptions& options_;
};

int Boot::receive(const platform::UdpSocket& socket, std::span<std::uint8_t> into,
                  platform::Endpoint* from, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (stopped()) return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) return 0;
        const auto ready = socket.wait_readable(std::min(left, kStopCheck));
        if (ready == platform::WaitResult::error) return -1;
        if (ready != platform::WaitResult::readable) continue;
        const int n = socket.receive_from(into, from);
        if (n > 0) return n;
    }
}

std::optional<std::vector<std::uint8_t>> Boot::exchange(const platform::UdpSocket& socket,
                                                        const std::vector<std::uint8_t>& message,
                                                        const std::array<std::uint8_t, 4>& xid,
                                                        std::uint8_t type, const char* name) {
    std::array<std::uint8_t, 1500> buffer{};
    for (int attempt = 0; attempt < kDhcpTries; ++attempt) {
        if (type == dhcp::kDhcpOffer) report("boot DISCOVER on " + options_.interface);
        int error = 0;
        if (socket.send_to(message, {platform::kBroadcastAddress, kDhcpServerPort}, &error) < 0) {
            report(std::string("boot: cannot send the ") + name + ": " +
                   platform::error_text(error));
            return std::nullopt;
        }
        const auto deadline = std::chrono::steady_clock::now() + kDhcpWait;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms) break;
            platform::Endpoint from;
            const int n = receive(socket, buffer, &from, left);
            if (n < 0) return std::nullopt;
            if (n == 0) break;
            const auto datagram =
                std::span<const std::uint8_t>(buffer).first(static_cast<std::size_t>(n));
            const auto reply = dhcp::parse_server_reply(datagram, xid);
            if (!reply) continue;
            if (reply->type == dhcp::kDhcpNak && type == dhcp::kDhcpAck) {
                report("boot NAK from " + platform::to_dotted(reply->server_id));
                return std::nullopt;
            }
            if (reply->type == type)
                return std::vector<std::uint8_t>(datagram.begin(), datagram.end());
        }
    }
    return std::nullopt;
}

BootResult Boot::run() {
    BootResult result;
    auto socket = platform::UdpSocket::open();
    int error = 0;
    if (!socket || !socket->set_reuse_address(true) || !socket->set_broadcast(true, &error) ||
        !socket->bind_to_device(options_.interface, &error) ||
        socket->bind(platform::kAnyAddress, kDhcpClientPort, &error) != platform::BindError::none) {
        result.failure =
            "no DHCP client port on " + options_.interface + ": " + platform::error_text(error);
        return result;
    }
    std::array<std::uint8_t, 4> xid{};
    std::random_device random;
    for (auto& b : xid) b = static_cast<std::uint8_t>(random());

    dhcp::ClientMessage discover;
    discover.type = dhcp::kDhcpDiscover;
    discover.xid = xid;
    discover.chaddr = options_.hardware;
    discover.broadcast = true;
    const auto offer =
        exchange(*socket, boot_request(discover, std::nullopt), xid, dhcp::kDhcpOffer, "DISCOVER");
    if (!offer) {
        result.failure = stopped() ? "stopped" : "no DHCP offer";
        return result;
    }
    const auto offered = dhcp::parse_server_reply(*offer, xid);
    report("boot OFFER " + platform::to_dotted(offered->offered) + " from " +
           platform::to_dotted(offered->server_id));

    dhcp::ClientMessage request = discover;
    request.type = dhcp::kDhcpRequest;
    request.requested_address = wire_address(offered->offered);
    report("boot REQUEST " + platform::to_dotted(offered->offered));
    const auto ack = exchange(*socket, boot_request(request, offered->server_id), xid,
                              dhcp::kDhcpAck, "REQUEST");
    if (!ack) {
        result.failure = stopped() ? "stopped" : "no DHCP ACK";
        return result;
    }
    const auto acked = dhcp::parse_server_reply(*ack, xid);
    const std::uint32_t next_server =
        acked->next_server != 0 ? acked->next_server : acked->server_id;
    report("boot ACK " + platform::to_dotted(acked->offered) + ", next server " +
           platform::to_dotted(next_server) + ", file " + acked->boot_file);
    if (acked->boot_file.empty() || next_server == 0) {
        result.failure = "the ACK names no boot file or no next server";
        return result;
    }
    socket->close();

    if (!tftp_read(next_server, acked->boot_file, result)) return result;
    core::Sha256 sha;
    sha.update(
        std::span(reinterpret_cast<const std::uint8_t*>(result.image.data()), result.image.size()));
    report("boot TFTP " + std::to_string(result.image.size()) + " bytes sha256 " +
           core::Sha256::hex(sha.finish()));
    result.complete = true;
    return result;
}

bool Boot::tftp_read(std::uint32_t server, const std::string& file, BootResult& result) {
    auto socket = platform::UdpSocket::open();
    int error = 0;
    if (!socket || !socket->bind_to_device(options_.interface, &error) ||
        socket->bind(platform::kAnyAddress, 0, &error) != platform::BindError::none) {
        result.failure = "no TFTP client port: " + platform::error_text(error);
        return false;
    }
    // The read request with octet mode and the options a boot loader asks for.
    std::vector<std::uint8_t> rrq(2);
    tftp::store_be16(rrq.data(), static_cast<std::uint16_t>(tftp::Opcode::rrq));
    for (const std::string& part :
         {file, std::string("octet"), std::string("blksize"), std::to_string(kBlockSize),
          std::string("windowsize"), std::to_string(kWindowSize), std::string("tsize"),
          std::string("0")}) {
        rrq.insert(rrq.end(), part.begin(), part.end());
        rrq.push_back(0);
    }
    report("boot TFTP read " + file + " from " + platform::to_dotted(server) + " blksize " +
           std::to_string(kBlockSize) + " windowsize " + std::to_string(kWindowSize));

    std::uint32_t block_size = tftp::kDefaultBlockSize;
    std::uint32_t window = 1;
    std::uint64_t size = 0;                  // from the OACK's tsize; 0 when unknown
    std::optional<platform::Endpoint> peer;  // the server's transfer port, once it answered
    std::uint64_t next = 1;                  // the next block in order (not wrapped)
    std::uint32_t in_window = 0;             // blocks taken since the last ACK
    std::array<std::uint8_t, 4> last_ack{};  // repeated on a time-out
    bool resent = false;                     // acknowledged a block out of order since
    std::array<std::uint8_t, tftp::kDatagramMax> buffer{};

    const auto send_ack = [&](std::uint64_t block) {
        tftp::store_be16(last_ack.data(), static_cast<std::uint16_t>(tftp::Opcode::ack));
        tftp::store_be16(last_ack.data() + 2, static_cast<std::uint16_t>(block & 0xffff));
        (void)socket->send_to(last_ack, *peer);
        in_window = 0;
    };
    (void)socket->send_to(rrq, {server, kTftpPort});
    for (int quiet = 0;;) {
        platform::Endpoint from;
        const int n = receive(*socket, buffer, &from, kTftpWait);
        if (n < 0) {
            result.failure = stopped() ? "stopped" : "TFTP receive failed";
            return false;
        }
        if (n == 0) {
            if (++quiet >= kTftpTries) {
                result.failure = "TFTP: nothing from the server for " +
                                 std::to_string(kTftpTries * kTftpWait.count() / 1000) + " s at " +
                                 std::to_string(result.image.size()) + " bytes";
                return false;
            }
            if (!peer)
                (void)socket->send_to(rrq, {server, kTftpPort});
            else
                (void)socket->send_to(last_ack, *peer);
            continue;
        }
        if (n < 4 || from.address != server || (peer && from != *peer)) continue;
        quiet = 0;
        const auto datagram =
            std::span<const std::uint8_t>(buffer).first(static_cast<std::size_t>(n));
        const auto opcode = static_cast<tftp::Opcode>(tftp::load_be16(datagram.data()));
        if (opcode == tftp::Opcode::error) {
            tftp::RequestReader reader(datagram, 4);
            result.failure = "TFTP error " + std::to_string(tftp::load_be16(datagram.data() + 2)) +
                             " from the server: " + std::string(reader.next_string());
            return false;
        }
        if (opcode == tftp::Opcode::oack && !peer) {
            peer = from;
            tftp::RequestReader reader(datagram, 2);
            while (!reader.at_end()) {
                const std::string_view name = reader.next_string();
                const std::uint64_t value = tftp::parse_unsigned(reader.next_string());
                if (tftp::tftp_names_equal(name, "blksize") && value >= 8 && value <= kBlockSize)
                    block_size = static_cast<std::uint32_t>(value);
                if (tftp::tftp_names_equal(name, "windowsize") && value >= 1 &&
                    value <= kWindowSize)
                    window = static_cast<std::uint32_t>(value);
                if (tftp::tftp_names_equal(name, "tsize")) size = value;
            }
            if (size > kBootImageMax) {
                result.failure =
                    "TFTP: the boot file is too large (" + std::to_string(size) + " bytes)";
                return false;
            }
            send_ack(0);
            continue;
        }
        if (opcode == tftp::Opcode::oack && next == 1) {
            send_ack(0);  // our first ACK went astray and the server asks again
            continue;
        }
        if (opcode != tftp::Opcode::data) continue;
        if (!peer) peer = from;  // a server without options: 512-byte blocks, one at a time
        const std::uint16_t block = tftp::load_be16(datagram.data() + 2);
        if (block != (next & 0xffff)) {
            // Out of order (RFC 7440 §4): the last block taken in order is acknowledged, and
            // the server starts its window again from there. Once until the next block in order
            // comes, so that the rest of a window gone astray draws no ACK storm.
            if (!resent) send_ack(next - 1);
            resent = true;
            continue;
        }
        const std::size_t length = datagram.size() - 4;
        if (length > block_size || result.image.size() + length > kBootImageMax) {
            result.failure = "TFTP: a block larger than agreed, or the file past its bound";
            return false;
        }
        result.image.append(reinterpret_cast<const char*>(datagram.data() + 4), length);
        resent = false;
        ++next;
        ++in_window;
        const std::uint64_t half = size > 0 ? size / 2 : std::uint64_t{block_size} * window;
        if (options_.halfway && result.image.size() >= half && length == block_size) {
            result.failure =
                "TFTP read abandoned halfway at " + std::to_string(result.image.size()) + " bytes";
            return false;
        }
        if (length < block_size) {
            send_ack(next - 1);
            return true;
        }
        if (in_window >= window) send_ack(next - 1);
    }
}

}  // namespace

std::optional<BootFailure> parse_boot_failure(std::string_view text) {
    if (text == "none") return BootFailure::no_boot;
    if (text == "halfway") return BootFailure::halfway;
    if (text == "old-version") return BootFailure::old_version;
    if (text == "no-shell") return BootFailure::no_shell;
    return std::nullopt;
}

std::optional<std::array<std::uint8_t, 6>> interface_hardware_address(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return std::nullopt;
    std::ifstream in("/sys/class/net/" + name + "/address");
    std::string text;
    if (!std::getline(in, text) || text.size() != 17) return std::nullopt;
    std::array<std::uint8_t, 6> address{};
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i > 0 && text[i * 3 - 1] != ':') return std::nullopt;
        unsigned value = 0;
        for (std::size_t k = 0; k < 2; ++k) {
            const char c = text[i * 3 + k];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) return std::nullopt;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        address[i] = static_cast<std::uint8_t>(value);
    }
    return address;
}

std::optional<std::string> image_version(std::string_view image) {
    std::string_view line = image.substr(0, image.find('\n'));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!line.starts_with(kFirmwareMarker)) return std::nullopt;
    const std::string_view version = line.substr(kFirmwareMarker.size());
    if (version.empty() || version.size() > 32) return std::nullopt;
    for (const char c : version)
        if (c < 0x21 || c > 0x7e) return std::nullopt;
    return std::string(version);
}

BootResult network_boot(const BootOptions& options) {
    return Boot(options).run();
}

}  // namespace sim
