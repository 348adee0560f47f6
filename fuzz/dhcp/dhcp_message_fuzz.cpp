// The option walk and the reply composer over one received datagram. The first input byte
// picks whether the cookie is forced valid (so the walk and the composer see most inputs) and
// how many DISCOVERs fill the pool first; the rest is the datagram, cut or zero-filled to 304
// bytes as the service loop does. A NAK or ACK must keep every byte the reply does not own.
// The same bytes, as they came, are also read as a server's reply by a client.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/settings.h"
#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_probe.h"
#include "dhcp/dhcp_reply.h"
#include "dhcp/lease_table.h"

namespace {

core::ToolSettings settings_from(std::uint8_t selector) {
    core::ToolSettings s;
    const char* starts[] = {"192.168.1.50", "10.0.0.250", "192.", "300.1.1.1", "", "1.2.3.255"};
    const char* sizes[] = {"10", "-3", "0", "1000", "abc", "255"};
    const auto put = [](char* field, const char* text) {
        core::copy_setting_text(
            std::span<char, core::kSettingTextSize>(field, core::kSettingTextSize), text);
    };
    put(s.ZorvaIPStartAddress, starts[selector % 6]);
    put(s.PoolSize, sizes[(selector / 6) % 6]);
    put(s.netmask, "255.255.255.0");
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    ++data, --size;

    dhcp::dhcp_packet m{};
    std::memcpy(m.data(), data, std::min(size, m.size()));
    if (control & 1) std::ranges::copy(dhcp::kMagicCookie, m.begin() + dhcp::kCookie.offset);

    const auto table = dhcp::LeaseTable::from_settings(settings_from(control >> 1));
    dhcp::dhcp_options options;
    if (dhcp::parse_dhcp_options(m, options) < 0) return 0;

    const dhcp::dhcp_packet received = m;
    std::string destination;
    const dhcp::ReplyKind kind = dhcp::compose_reply(m, options, *table, 0xC0A8010A, destination);
    // Whatever the reply, these header bytes go back as received.
    for (const dhcp::Field f :
         {dhcp::kHtype, dhcp::kHlen, dhcp::kHops, dhcp::kXid, dhcp::kSecs, dhcp::kFlags,
          dhcp::kCiaddr, dhcp::kGiaddr, dhcp::kChaddr, dhcp::kCookie})
        if (!std::ranges::equal(dhcp::field(m, f), dhcp::field(received, f))) std::abort();
    if (kind == dhcp::ReplyKind::unchanged && m != received) std::abort();
    if (destination.size() > 15) std::abort();

    // A second message from the same client on the same table: the release path.
    dhcp::dhcp_options again;
    if (dhcp::parse_dhcp_options(received, again) == 0) {
        dhcp::dhcp_packet second = received;
        (void)dhcp::compose_reply(second, again, *table, 0, destination);
    }

    // The client's side, as a boot loader reads a server's reply: the datagram as it came, of
    // any length, under the xid it carries.
    dhcp::Xid xid{};
    if (size >= dhcp::kXid.offset + xid.size())
        std::copy_n(data + dhcp::kXid.offset, xid.size(), xid.begin());
    if (const auto reply = dhcp::parse_server_reply(std::span(data, size), xid))
        if (reply->boot_file.size() > 255) std::abort();
    return 0;
}
