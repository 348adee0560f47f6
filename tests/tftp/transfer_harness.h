// A transfer table in a temporary home directory, driven datagram by datagram with a fake
// socket and a clock of the test's own; shared by the tests of the table's steps.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"
#include "tftp/transfer_table.h"
#include "tftp_test_util.h"

namespace tftp::testing {

inline constexpr platform::Endpoint kClient{0x7f000001, 40000};
inline constexpr std::string_view kKey = "127.0.0.1:40000";

// One service's state in a temporary home directory, with a fake socket and its own clock.
struct Harness {
    test::TempDir dir;
    test::CapturedLog log;
    FakeSender sender;
    TftpServerConfig config = config_in(dir.path());
    TransferTable table{config};
    std::int64_t now = 1000;

    void send(const Bytes& datagram, platform::Endpoint from = kClient) {
        table.dispatch(sender, from, datagram, now);
    }
    void expire(std::int64_t at) { table.expire(sender, at); }
    // The service logs paths with '/' only, also on Windows.
    std::string path() const { return (dir.path() / "zorva.bin").generic_string(); }
    // The names in the home directory, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string served_line(unsigned blocks) const {
        return "\nClient " + std::string(kKey) + " " + path() + ", " + std::to_string(blocks) +
               " Blocks Served\n";
    }
    std::string error_line(std::string_view text) const {
        return "Client " + std::string(kKey) + " " + path() + ", error: " + std::string(text) +
               "\n";
    }
    // Acknowledges every DATA until the transfer stops sending; returns the data received.
    std::string read_to_end(std::size_t* packets = nullptr) {
        std::string received;
        std::size_t n = 0;
        for (;;) {
            auto sent = sender.take();
            if (sent.empty()) break;
            const Bytes& p = sent.back().bytes;
            if (p.size() < 4 || p[1] != 3) break;
            ++n;
            received.append(p.begin() + 4, p.end());
            send(ack(static_cast<std::uint16_t>(p[2] << 8 | p[3])));
        }
        if (packets) *packets = n;
        return received;
    }
};

// The DATA packets of blocks first..last of `content` in 512-byte blocks.
inline std::vector<Bytes> blocks_of(const std::string& content, unsigned first, unsigned last) {
    std::vector<Bytes> packets;
    for (unsigned b = first; b <= last; ++b)
        packets.push_back(data(static_cast<std::uint16_t>(b),
                               std::string_view(content).substr(
                                   std::min<std::size_t>((b - 1) * 512, content.size()), 512)));
    return packets;
}

inline std::vector<Bytes> packets_of(std::vector<SentPacket> sent) {
    std::vector<Bytes> packets;
    for (auto& p : sent) packets.push_back(std::move(p.bytes));
    return packets;
}

}  // namespace tftp::testing
