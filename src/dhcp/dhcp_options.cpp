#include <algorithm>

#include "core/event_log.h"
#include "dhcp/dhcp_message.h"

namespace dhcp {

int parse_dhcp_options(const dhcp_packet& message, dhcp_options& options) {
    core::trace_printf("parse_dhcp_options [begin]!\n");
    options.message_type = 0;
    options.requested_address = {};

    if (!std::ranges::equal(field(message, kCookie), kMagicCookie)) {
        core::trace_printf("No magic cookie! Aborting! \n");
        return kParseNoCookie;
    }

    // RFC 2132 §2 encoding. Every step checks that what it reads lies before offset 304; an
    // option that would run past the end ends the walk as the end of the message does.
    std::size_t pos = kOptions.offset;
    while (pos < kDhcpMessageSize) {
        const std::uint8_t code = message[pos];
        if (code == kOptionEnd) {
            core::trace_printf("parse_dhcp_options: END option found! [end]!\n");
            return kParseOk;
        }
        if (code == kOptionPad) {
            pos += 1;
            continue;
        }
        if (code == kOptionMessageType) {
            // Deliberate: option 53's length byte is not read; the value is at code + 2.
            if (pos + 2 >= kDhcpMessageSize) break;
            options.message_type = message[pos + 2];
            pos += 3;
            continue;
        }
        // Any other option is stepped over by its length byte.
        if (pos + 1 >= kDhcpMessageSize) break;
        const std::size_t length = message[pos + 1];
        if (code == kOptionRequestedAddress && length == 4 && pos + 2 + 4 <= kDhcpMessageSize)
            std::ranges::copy(field(message, {pos + 2, 4}), options.requested_address.begin());
        pos += 2 + length;
    }
    core::trace_printf("parse_dhcp_options [end]!\n");
    return kParseOk;
}

}  // namespace dhcp
