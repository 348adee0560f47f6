#include "dhcp/lease_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/event_log.h"
#include "platform/net.h"

namespace dhcp {
namespace {

// Both texts are dotted quads of at most 15 characters; longer input is cut rather than
// allowed to overrun a 16-byte working copy.
constexpr std::size_t kWorkingTextMax = 15;

std::string_view working_copy(const char* setting) {
    return std::string_view(setting, ::strnlen(setting, kWorkingTextMax));
}

std::uint8_t octet(std::string_view text, std::size_t index) {
    std::uint8_t out = 0;
    (void)get_octet(text, out, index);  // out stays 0 for a missing field, which is wanted
    return out;
}

lease_info info_of(const lease_entry& e) {
    return lease_info{e.address, e.router, e.netmask, e.lease_time, 0};
}

// Swapped whole by build_lease_table (front-end's thread, and the service thread at its start);
// read by the service thread for every message, which keeps its copy of the pointer until the
// message is done. The table's entries are guarded by the table's own lock.
std::mutex g_table_mutex;
std::shared_ptr<LeaseTable> g_table = std::make_shared<LeaseTable>();

// Written once by the service thread when it chooses its interface; read by the reply composer.
std::mutex g_server_mutex;
std::string g_server_address;

}  // namespace

int get_octet(std::string_view text, std::uint8_t& out, std::size_t index) {
    out = 0;
    if (text.empty()) return kOctetNoText;
    std::size_t pos = 0;
    for (std::size_t dots = 0; dots < index; ++dots) {
        const std::size_t dot = text.find('.', pos);
        if (dot == std::string_view::npos) return kOctetTooFewFields;
        pos = dot + 1;
    }
    std::uint8_t value = 0;
    for (; pos < text.size() && text[pos] != '.'; ++pos)
        value = static_cast<std::uint8_t>(value * 10 + static_cast<unsigned char>(text[pos]) - 48);
    out = value;
    return kOctetOk;
}

std::shared_ptr<LeaseTable> LeaseTable::from_settings(const core::ToolSettings& settings) {
    const std::uint8_t s = octet(settings.ZorvaIPStartAddress, 3);
    const std::string_view start = working_copy(settings.ZorvaIPStartAddress);
    const std::string_view mask = working_copy(settings.netmask);
    const int n = core::decimal_value(settings.PoolSize);

    const std::uint8_t a = octet(start, 0), b = octet(start, 1), c = octet(start, 2);
    const std::uint32_t network =
        std::uint32_t{a} << 24 | std::uint32_t{b} << 16 | std::uint32_t{c} << 8;

    // e = (s + n) mod 256 would wrap a pool that passes .255 (or has a negative size) to a
    // last octet below the start, or even above it again; such a pool is cut at .255 instead.
    const long long wanted_last = static_cast<long long>(s) + n;
    unsigned last = static_cast<unsigned>(wanted_last);
    if (wanted_last < s || wanted_last > 255) {
        last = 255;
        core::log_printf("DHCP pool of %d from %u.%u.%u.%u wraps - cut at %u.%u.%u.255\n", n,
                         unsigned{a}, unsigned{b}, unsigned{c}, unsigned{s}, unsigned{a},
                         unsigned{b}, unsigned{c});
    }

    std::vector<lease_entry> entries;
    entries.reserve(last - s + 1);
    const std::uint32_t netmask = platform::inet_addr_value(mask);
    for (unsigned i = s; i <= last; ++i) {
        lease_entry e;
        e.address = network | i;
        e.router = 0;
        e.netmask = netmask;
        e.lease_time = kLeaseTimeSeconds;
        entries.push_back(e);
    }
    return std::make_shared<LeaseTable>(std::move(entries));
}

int LeaseTable::assign(lease_info* out, const Xid& xid, const HardwareAddress& hardware_address,
                       std::uint32_t server_address) {
    if (out == nullptr) return kLeaseNoRecord;
    std::lock_guard lock(mutex_);
    release_locked(hardware_address);
    const auto it = std::ranges::find(entries_, LeaseState::free, &lease_entry::state);
    if (it == entries_.end()) return kLeaseNoneFree;
    *out = info_of(*it);
    out->server_address = server_address;
    core::log_fprintf(stderr, "Assigning Dynamic IP! \n");
    it->state = LeaseState::offered;
    it->xid = xid;
    it->hardware_address = hardware_address;
    return kLeaseOk;
}

void LeaseTable::release(const HardwareAddress& hardware_address) {
    std::lock_guard lock(mutex_);
    release_locked(hardware_address);
}

void LeaseTable::release_locked(const HardwareAddress& hw) {
    for (lease_entry& e : entries_) {
        if (e.hardware_address != hw) continue;
        core::log_fprintf(stderr, "Deleting %X::%X::%X::%X::%X::%X \n", unsigned{hw[0]},
                          unsigned{hw[1]}, unsigned{hw[2]}, unsigned{hw[3]}, unsigned{hw[4]},
                          unsigned{hw[5]});
        e.state = LeaseState::free;
        e.xid = Xid{};
    }
}

int LeaseTable::find_by_xid(lease_info* out, const Xid& xid) {
    std::lock_guard lock(mutex_);
    // The xid alone decides: neither the requested address, the server identifier nor the
    // hardware address is consulted.
    const auto it = std::ranges::find(entries_, xid, &lease_entry::xid);
    if (it == entries_.end()) return kLeaseXidUnknown;
    acknowledge_locked(*it, out);
    return kLeaseOk;
}

int LeaseTable::find_held(lease_info* out, const HardwareAddress& hardware_address,
                          std::uint32_t address) {
    if (address == 0) return kLeaseXidUnknown;  // the client asked for no address
    std::lock_guard lock(mutex_);
    const auto it = std::ranges::find_if(entries_, [&](const lease_entry& e) {
        return e.address == address && e.state != LeaseState::free &&
               e.hardware_address == hardware_address;
    });
    if (it == entries_.end()) return kLeaseXidUnknown;
    acknowledge_locked(*it, out);
    return kLeaseOk;
}

void LeaseTable::acknowledge_locked(lease_entry& entry, lease_info* out) {
    if (out) {
        const std::uint32_t server = out->server_address;  // the caller's, left alone
        *out = info_of(entry);
        out->server_address = server;
    }
    entry.state = LeaseState::acknowledged;
}

std::vector<lease_entry> LeaseTable::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

int build_lease_table() {
    // Built completely before it is published, so no user ever sees a part-built table.
    std::shared_ptr<LeaseTable> table = LeaseTable::from_settings(core::settings_snapshot());
    std::lock_guard lock(g_table_mutex);
    g_table = std::move(table);
    return 0;
}

std::shared_ptr<LeaseTable> current_lease_table() {
    std::lock_guard lock(g_table_mutex);
    return g_table;
}

int assign_lease(lease_info* out, const Xid& xid, const HardwareAddress& hardware_address) {
    if (out == nullptr) return kLeaseNoRecord;
    return current_lease_table()->assign(out, xid, hardware_address, server_address_value());
}

void release_client(const HardwareAddress& hardware_address) {
    current_lease_table()->release(hardware_address);
}

int find_lease_by_xid(lease_info* out, const Xid& xid) {
    return current_lease_table()->find_by_xid(out, xid);
}

std::string server_address() {
    std::lock_guard lock(g_server_mutex);
    return g_server_address;
}

void set_server_address(std::string_view text) {
    std::lock_guard lock(g_server_mutex);
    g_server_address.assign(text.substr(0, 255));
}

std::uint32_t server_address_value() {
    const std::string text = server_address();
    return text.empty() ? platform::kAnyAddress : platform::inet_addr_value(text);
}

}  // namespace dhcp
