// The parts of the platform layer that are the same on every system: address texts and the
// whole-buffer sends built on TcpSocket::send.
#include <charconv>

#include "platform/net.h"
#include "platform/socket.h"

namespace platform {

std::string to_dotted(std::uint32_t address) {
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xff) + '.' +
           std::to_string((address >> 8) & 0xff) + '.' + std::to_string(address & 0xff);
}

std::optional<std::uint32_t> parse_dotted(std::string_view text) {
    std::uint32_t result = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (p == end || *p != '.') return std::nullopt;
            ++p;
        }
        if (p == end || *p < '0' || *p > '9') return std::nullopt;
        unsigned value = 0;
        const auto [next, ec] = std::from_chars(p, end, value);
        if (ec != std::errc{} || value > 255 || next - p > 3) return std::nullopt;
        p = next;
        result = result << 8 | value;
    }
    if (p != end) return std::nullopt;
    return result;
}

int TcpSocket::send(std::string_view text, int* error) const {
    return send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), error);
}

bool TcpSocket::send_all(std::span<const std::uint8_t> bytes, int* error) const {
    while (!bytes.empty()) {
        const int n = send(bytes, error);
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

bool TcpSocket::send_all(std::string_view text, int* error) const {
    return send_all(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                    error);
}

}  // namespace platform
