// Message builders for the DHCP tests: every header byte carries a distinct value so that a
// reply that touches a byte it does not own shows up in a whole-message comparison.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "core/settings.h"
#include "dhcp/dhcp_message.h"
#include "dhcp/lease_table.h"

namespace dhcp::test {

// A message with a recognisable pattern in every header byte (sname and file included), a valid
// cookie, and `options` at 240 followed by 0xEE filler up to 303.
inline dhcp_packet message_with_options(std::initializer_list<std::uint8_t> options) {
    dhcp_packet m{};
    for (std::size_t i = 0; i < kCookie.offset; ++i) m[i] = static_cast<std::uint8_t>(i * 7 + 3);
    std::ranges::copy(kMagicCookie, m.begin() + kCookie.offset);
    std::fill(m.begin() + kOptions.offset, m.end(), std::uint8_t{0xEE});
    std::ranges::copy(options, m.begin() + kOptions.offset);
    return m;
}

inline dhcp_packet message_with_options(const std::vector<std::uint8_t>& options) {
    dhcp_packet m = message_with_options({});
    std::copy_n(options.begin(), std::min(options.size(), kOptions.size),
                m.begin() + kOptions.offset);
    return m;
}

// A DISCOVER or REQUEST from hardware address 02:00:00:00:00:`client` under `xid`.
inline dhcp_packet client_message(std::uint8_t type, std::uint8_t client, Xid xid) {
    dhcp_packet m = message_with_options({kOptionMessageType, 1, type, kOptionEnd});
    std::ranges::copy(xid, m.begin() + kXid.offset);
    HardwareAddress hw{0x02, 0, 0, 0, 0, client};
    std::ranges::copy(hw, m.begin() + kChaddr.offset);
    return m;
}

inline HardwareAddress hardware(std::uint8_t client) {
    return {0x02, 0, 0, 0, 0, client};
}

inline std::vector<std::uint8_t> bytes(const dhcp_packet& m) {
    return {m.begin(), m.end()};
}

// The settings record with every default, as load_settings leaves it on a fresh machine.
inline core::ToolSettings default_settings() {
    core::ToolSettings s;
    for (const auto& info : core::kSettings) {
        if (char* text = s.text(info.setting))
            core::copy_setting_text(
                std::span<char, core::kSettingTextSize>(text, core::kSettingTextSize),
                info.default_text);
    }
    return s;
}

inline void set_text(core::ToolSettings& s, core::Setting which, std::string_view text) {
    core::copy_setting_text(
        std::span<char, core::kSettingTextSize>(s.text(which), core::kSettingTextSize), text);
}

constexpr std::uint32_t address(unsigned a, unsigned b, unsigned c, unsigned d) {
    return a << 24 | b << 16 | c << 8 | d;
}

}  // namespace dhcp::test
