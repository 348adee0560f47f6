// Test-only DHCP client for the hostile-input and short-datagram cases, run inside the client's
// network namespace. Binds port 68, optionally sends --noise N random datagrams of 0 to 1500
// bytes to the server (half of them with a valid cookie), then a DISCOVER, and prints the OFFER
// that answers it as "OFFER yiaddr=A siaddr=S sname=T file=F". With --short it then sends the
// first 100 bytes of that DISCOVER. With --boot-retry it then acts as a boot loader that
// discovers again under a new xid and requests the first offer under the first xid ("ACK
// yiaddr=A"), then, under the same xid, an address it was not offered ("NAK").
// With --flood N it then sends N DISCOVERs and N REQUESTs from random hardware addresses under
// random xids, as fast as it can, and finally requests under the first xid: it prints
// "flood N pairs in S s, ACK after M ms" when the service still answers.
// Exit status 0 when every awaited reply came, 1 otherwise.
#include "dhcp/dhcp_probe.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_reply.h"
#include "platform/net.h"
#include "platform/socket.h"

namespace {

using namespace dhcp;

using Xid = std::array<std::uint8_t, 4>;

std::string text_at(const dhcp_packet& m, Field f) {
    std::string s;
    for (std::size_t i = f.offset; i < f.offset + f.size && m[i] != 0; ++i)
        s += static_cast<char>(m[i]);
    return s;
}

std::string address_at(const dhcp_packet& m, Field f) {
    return std::to_string(m[f.offset]) + "." + std::to_string(m[f.offset + 1]) + "." +
           std::to_string(m[f.offset + 2]) + "." + std::to_string(m[f.offset + 3]);
}

// A minimal client message from 02:00:00:00:00:77 (RFC 2131 §4.4.1), asking for `requested`
// (option 50, wire order) when it is given.
dhcp_packet probe_message(std::uint8_t type, const Xid& xid,
                          std::optional<std::array<std::uint8_t, 4>> requested = std::nullopt) {
    ClientMessage message;
    message.type = type;
    message.xid = xid;
    message.chaddr = {0x02, 0, 0, 0, 0, 0x77};
    message.requested_address = requested;
    return dhcp::client_message(message);
}

std::array<std::uint8_t, 4> yiaddr_of(const dhcp_packet& m) {
    std::array<std::uint8_t, 4> address;
    std::ranges::copy(field(m, kYiaddr), address.begin());
    return address;
}

// Sends `message` again each `resend` (by default each second, as real clients do: a burst of
// noise may fill the server's receive queue and drop the first copy) until a reply of type
// `want` under its xid arrives or ten seconds pass.
std::optional<dhcp_packet> exchange(platform::UdpSocket& socket, const platform::Endpoint& to,
                                    const dhcp_packet& message, std::uint8_t want,
                                    std::chrono::milliseconds resend = std::chrono::seconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto next_send = std::chrono::steady_clock::now();
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return std::nullopt;
        if (now >= next_send) {
            if (socket.send_to(message, to) < 0) return std::nullopt;
            next_send = now + resend;
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::min(next_send, deadline) - now);
        if (socket.wait_readable(wait) != platform::WaitResult::readable) continue;
        std::vector<std::uint8_t> datagram(1500);
        const int n = socket.receive_from(datagram, nullptr);
        if (n != static_cast<int>(kDhcpMessageSize)) continue;
        Xid xid;
        std::ranges::copy(field(message, kXid), xid.begin());
        const auto parsed = parse_server_reply(std::span(datagram).first(kDhcpMessageSize), xid);
        if (!parsed || parsed->type != want) continue;
        dhcp_packet reply;
        std::copy_n(datagram.begin(), reply.size(), reply.begin());
        return reply;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string server;
    int noise = 0;
    unsigned seed = 1;
    bool short_datagram = false;
    bool boot_retry = false;
    long flood = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--server" && i + 1 < argc)
            server = argv[++i];
        else if (arg == "--noise" && i + 1 < argc)
            noise = std::atoi(argv[++i]);
        else if (arg == "--seed" && i + 1 < argc)
            seed = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (arg == "--short")
            short_datagram = true;
        else if (arg == "--boot-retry")
            boot_retry = true;
        else if (arg == "--flood" && i + 1 < argc)
            flood = std::atol(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: %s --server ADDR [--noise N] [--seed S] [--short] [--boot-retry] "
                         "[--flood N]\n",
                         argv[0]);
            return 2;
        }
    }
    const auto server_address = platform::parse_dotted(server);
    if (!server_address) return 2;
    const platform::Endpoint to{*server_address, kDhcpServerPort};

    int error = 0;
    auto socket = platform::UdpSocket::open(&error);
    if (!socket ||
        socket->bind(platform::kAnyAddress, kDhcpClientPort, &error) != platform::BindError::none) {
        std::fprintf(stderr, "probe: %s\n", platform::error_text(error).c_str());
        return 2;
    }

    std::mt19937 random(seed);
    const std::size_t edge_lengths[] = {0, 1, 239, 240, 241, 242, 243, 303, 304, 305, 1500};
    for (int i = 0; i < noise; ++i) {
        const std::size_t length =
            i < static_cast<int>(std::size(edge_lengths))
                ? edge_lengths[i]
                : std::uniform_int_distribution<std::size_t>(0, 1500)(random);
        std::vector<std::uint8_t> datagram(length);
        for (auto& b : datagram) b = static_cast<std::uint8_t>(random());
        if (i % 2 == 0 && length >= kCookie.offset + kCookie.size)
            std::memcpy(datagram.data() + kCookie.offset, kMagicCookie.data(), kCookie.size);
        if (socket->send_to(datagram, to, &error) < 0) {
            std::fprintf(stderr, "probe send: %s\n", platform::error_text(error).c_str());
            return 2;
        }
    }

    const Xid xid = {0x5A, 0x17, static_cast<std::uint8_t>(random()), 0x01};
    const dhcp_packet discover = probe_message(kDhcpDiscover, xid);
    const auto offer = exchange(*socket, to, discover, kDhcpOffer);
    if (!offer) {
        std::printf("no OFFER\n");
        return 1;
    }
    std::printf("OFFER yiaddr=%s siaddr=%s sname=%s file=%s\n", address_at(*offer, kYiaddr).c_str(),
                address_at(*offer, kSiaddr).c_str(), text_at(*offer, kSname).c_str(),
                text_at(*offer, kFile).c_str());
    if (short_datagram) {
        (void)socket->send_to(std::span(discover).first(100), to);
        std::printf("short sent\n");
    }
    if (boot_retry) {
        // The second DISCOVER offers the same address under a new xid; the REQUEST under the
        // first xid names the hardware address that holds it, and is acknowledged.
        const Xid second = {0x5A, 0x17, xid[2], 0x02};
        if (!exchange(*socket, to, probe_message(kDhcpDiscover, second), kDhcpOffer)) return 1;
        const auto ack =
            exchange(*socket, to, probe_message(kDhcpRequest, xid, yiaddr_of(*offer)), kDhcpAck);
        if (!ack) {
            std::printf("no ACK\n");
            return 1;
        }
        std::printf("ACK yiaddr=%s\n", address_at(*ack, kYiaddr).c_str());
        const std::array<std::uint8_t, 4> elsewhere = {192, 168, 1, 99};
        if (!exchange(*socket, to, probe_message(kDhcpRequest, xid, elsewhere), kDhcpNak)) {
            std::printf("no NAK\n");
            return 1;
        }
        std::printf("NAK\n");
    }
    if (flood > 0) {
        const auto started = std::chrono::steady_clock::now();
        std::vector<std::uint8_t> drain(1500);
        for (long i = 0; i < flood; ++i) {
            for (const std::uint8_t type : {kDhcpDiscover, kDhcpRequest}) {
                Xid random_xid;
                for (auto& b : random_xid) b = static_cast<std::uint8_t>(random());
                dhcp_packet m = probe_message(type, random_xid);
                for (std::size_t b = 0; b < 6; ++b)
                    m[kChaddr.offset + b] = static_cast<std::uint8_t>(random());
                m[kChaddr.offset] &= 0xfe;  // a unicast hardware address
                (void)socket->send_to(m, to);
            }
            while (socket->try_receive_from(drain, nullptr) >= 0) {
            }
        }
        const auto flooded = std::chrono::steady_clock::now();
        // Asked again every 20 ms: the delay shows how long the service takes to work off
        // what the flood left queued, not how long a client waits to ask again.
        const auto ack = exchange(*socket, to, probe_message(kDhcpRequest, xid), kDhcpAck,
                                  std::chrono::milliseconds(20));
        const auto answered = std::chrono::steady_clock::now();
        if (!ack) {
            std::printf("no ACK after the flood\n");
            return 1;
        }
        std::printf(
            "flood %ld pairs in %.2f s, ACK after %lld ms\n", flood,
            std::chrono::duration<double>(flooded - started).count(),
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(answered - flooded).count()));
    }
    std::fflush(stdout);
    return 0;
}
