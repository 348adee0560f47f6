// Helpers for the TFTP tests: packet builders and a socket fake that records what the steps send.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/net.h"
#include "tftp/tftp_transfer.h"

namespace tftp::testing {

using Bytes = std::vector<std::uint8_t>;

struct SentPacket {
    Bytes bytes;
    platform::Endpoint to;
};

class FakeSender : public PacketSender {
public:
    int send_to(std::span<const std::uint8_t> bytes, const platform::Endpoint& to) override {
        ++count;
        last = {Bytes(bytes.begin(), bytes.end()), to};
        if (record_all) sent.push_back(last);
        return static_cast<int>(bytes.size());
    }
    // Everything sent since the last call.
    std::vector<SentPacket> take() { return std::exchange(sent, {}); }

    bool record_all = true;
    std::size_t count = 0;
    SentPacket last;
    std::vector<SentPacket> sent;
};

inline void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v & 0xff));
}
inline void put_text(Bytes& b, std::string_view s) {
    for (const char c : s) b.push_back(static_cast<std::uint8_t>(c));
    b.push_back(0);
}

using OptionList = std::initializer_list<std::pair<std::string_view, std::string_view>>;

inline Bytes request(Opcode op, std::string_view name, std::string_view mode,
                     OptionList options = {}) {
    Bytes b;
    put16(b, static_cast<std::uint16_t>(op));
    put_text(b, name);
    put_text(b, mode);
    for (const auto& [n, v] : options) {
        put_text(b, n);
        put_text(b, v);
    }
    return b;
}
inline Bytes rrq(OptionList options = {}) {
    return request(Opcode::rrq, "zorva.bin", "octet", options);
}
inline Bytes wrq(OptionList options = {}) {
    return request(Opcode::wrq, "zorva.bin", "octet", options);
}

inline Bytes ack(std::uint16_t block) {
    Bytes b;
    put16(b, 4);
    put16(b, block);
    return b;
}
inline Bytes data(std::uint16_t block, std::string_view payload) {
    Bytes b(4 + payload.size());
    b[1] = 3;
    b[2] = static_cast<std::uint8_t>(block >> 8);
    b[3] = static_cast<std::uint8_t>(block & 0xff);
    std::copy(payload.begin(), payload.end(), b.begin() + 4);
    return b;
}
inline Bytes error_packet(std::uint16_t code, std::string_view text) {
    Bytes b;
    put16(b, 5);
    put16(b, code);
    put_text(b, text);
    return b;
}
inline Bytes oack(OptionList answers) {
    Bytes b;
    put16(b, 6);
    for (const auto& [n, v] : answers) {
        put_text(b, n);
        put_text(b, v);
    }
    return b;
}

inline TftpServerConfig config_in(const std::filesystem::path& dir) {
    TftpServerConfig config;
    config.homeDirectory.fill('\0');
    const std::string home = dir.string() + "/";
    home.copy(config.homeDirectory.data(), config.homeDirectory.size() - 1);
    return config;
}

// Deterministic file content of any length.
inline std::string pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 512) & 0xff);
    return s;
}

}  // namespace tftp::testing
