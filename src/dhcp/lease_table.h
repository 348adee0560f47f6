// The DHCP lease pool: one short run of addresses a.b.c.s .. a.b.c.e inside the network of the
// pool start address, each handed to one client hardware address at a time and bound to the
// transaction id of the DISCOVER it was offered under. Leases never expire; an entry becomes
// free again only when its client sends a new DISCOVER or the whole table is rebuilt.
//
// The process-wide table is replaced whole by build_lease_table (on the front-end's thread, on
// every edit of a pool setting) while the service thread uses it: each operation takes the
// current table once and works on it under that table's own lock, so a message sees either the
// old table or the whole new one, and an old table lives on until its last user lets go.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.h"

namespace dhcp {

using HardwareAddress = std::array<std::uint8_t, 16>;  // chaddr, all 16 bytes whatever hlen says
using Xid = std::array<std::uint8_t, 4>;               // raw wire bytes, never converted

enum class LeaseState : std::uint8_t {
    acknowledged = 0,
    free = 1,
    offered = 2,
};

// Addresses are held in host byte order (as platform/net.h does) and written big-endian.
struct lease_entry {
    LeaseState state = LeaseState::free;
    Xid xid{};                           // xid of the DISCOVER it was offered under; 0 when free
    HardwareAddress hardware_address{};  // holder or last holder; all zero in a new table
    std::uint32_t address = 0;
    std::uint32_t router = 0;  // Router and Domain Name Server value: no router, 0.0.0.0
    std::uint32_t netmask = 0;
    std::uint32_t lease_time = 0;  // seconds
    friend bool operator==(const lease_entry&, const lease_entry&) = default;
};

inline constexpr std::uint32_t kLeaseTimeSeconds = 30;

// What a lookup hands to the reply composer.
struct lease_info {
    std::uint32_t address = 0;
    std::uint32_t router = 0;
    std::uint32_t netmask = 0;
    std::uint32_t lease_time = 0;
    std::uint32_t server_address = 0;
};

// Results of assign_lease and find_lease_by_xid.
enum LeaseResult : int {
    kLeaseOk = 0,
    kLeaseNoRecord = -1,    // assign_lease: no output record given
    kLeaseNoneFree = -2,    // assign_lease: every entry is offered or acknowledged
    kLeaseXidUnknown = -1,  // find_lease_by_xid: no entry carries that xid
};

// Results of get_octet.
enum OctetResult : int {
    kOctetOk = 0,
    kOctetNoText = -1,        // missing or empty text
    kOctetTooFewFields = -2,  // fewer dot-separated fields than asked for
};

// Field `index` (0 = first) of a dotted text, accumulated as (out * 10 + c - '0') mod 256 over
// its characters. Deliberate: characters are not checked to be digits ("300" gives 44).
// out is 0 whenever the result is not kOctetOk.
[[nodiscard]] int get_octet(std::string_view text, std::uint8_t& out, std::size_t index);

class LeaseTable {
public:
    LeaseTable() = default;
    explicit LeaseTable(std::vector<lease_entry> entries) : entries_(std::move(entries)) {}
    LeaseTable(const LeaseTable&) = delete;
    LeaseTable& operator=(const LeaseTable&) = delete;

    // The table that the settings describe: entries a.b.c.s to a.b.c.e in ascending order,
    // e = s + PoolSize (so PoolSize + 1 entries). A pool that would leave .s..255 (a negative
    // size, or one that passes .255) is cut at .255 and the event log says so.
    static std::shared_ptr<LeaseTable> from_settings(const core::ToolSettings& settings);

    // DISCOVER: frees what `hardware_address` holds ("Deleting ..." per entry), then offers the
    // lowest free entry under `xid` and logs "Assigning Dynamic IP! \n". kLeaseOk, kLeaseNoRecord
    // or kLeaseNoneFree. `server_address` is copied into the record.
    [[nodiscard]] int assign(lease_info* out, const Xid& xid,
                             const HardwareAddress& hardware_address, std::uint32_t server_address);
    // Frees every entry that carries this hardware address; each keeps the address.
    void release(const HardwareAddress& hardware_address);
    // REQUEST: the first entry whose xid matches, whatever its state, becomes acknowledged.
    // kLeaseOk or kLeaseXidUnknown; the record's server address is left alone.
    [[nodiscard]] int find_by_xid(lease_info* out, const Xid& xid);
    // REQUEST under an xid no entry carries: a boot loader that sent several DISCOVERs requests
    // the first offer under the first xid. RFC 2131 names a client by its hardware address, so
    // the entry of `address` is found when `hardware_address` holds it (offered or acknowledged)
    // and becomes acknowledged; its xid stays. kLeaseOk or kLeaseXidUnknown.
    [[nodiscard]] int find_held(lease_info* out, const HardwareAddress& hardware_address,
                                std::uint32_t address);

    std::vector<lease_entry> entries() const;

private:
    void release_locked(const HardwareAddress& hardware_address);
    void acknowledge_locked(lease_entry& entry, lease_info* out);

    mutable std::mutex mutex_;
    std::vector<lease_entry> entries_;
};

// ---- the process-wide table ----
// Replaced by the front-end's thread (build_lease_table) and at the service's start; used by
// the service thread for every DISCOVER and REQUEST.

// Rebuilds the table from core::settings_snapshot(); every earlier lease is forgotten. Returns 0.
int build_lease_table();
// The table in use now (an empty table before the first build).
std::shared_ptr<LeaseTable> current_lease_table();

// The LeaseTable operations on the current table; assign_lease takes the server address from
// server_address().
[[nodiscard]] int assign_lease(lease_info* out, const Xid& xid,
                               const HardwareAddress& hardware_address);
void release_client(const HardwareAddress& hardware_address);
[[nodiscard]] int find_lease_by_xid(lease_info* out, const Xid& xid);

// ---- server_address ----
// The dotted-quad text of the interface the service chose (empty until then, and when none
// matched). Written once by the service thread at its start; read by the reply composer.
std::string server_address();
void set_server_address(std::string_view text);
// server_address() as an address; an empty text gives 0.0.0.0.
std::uint32_t server_address_value();

}  // namespace dhcp
