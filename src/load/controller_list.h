// The controllers of a site: the list a technician writes or pastes, and the checks made on it
// and the DHCP pool before any controller is told to update.
//
// The list holds one entry per line: an address (10.1.2.20), a range of last octets
// (10.1.2.20-59) or a range of whole addresses (10.1.2.250-10.1.3.5, for a site that spans more
// than one /24). `#` starts a comment, on a line of its own or after an entry; blank lines and
// blanks around an entry or its dash are ignored, and so is a CR before the line end. An
// address listed twice, alone or in a range, is an error that names both lines: a doubled
// address is most often a typing slip for another controller, which would then go unloaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dhcp/lease_table.h"

namespace load {

// Most addresses one range may hold: a slip such as 10.1.2.1-10.9.2.1 is refused, not expanded.
inline constexpr std::size_t kMaxRangeSize = 1024;

struct ControllerList {
    std::vector<std::uint32_t> addresses;  // host byte order, in the list's order, each once
    // "line 4: 10.1.2.60-59: the range ends before it starts", one per faulty line, in order;
    // the list is usable only when there is none.
    std::vector<std::string> errors;
};

ControllerList parse_controller_list(std::string_view text);

// The DHCP pool as the load sees it: the addresses the lease table hands out, first to last,
// and how many of them no client holds now.
struct PoolView {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::size_t size = 0;  // 0: an empty table
    std::size_t free = 0;
};

PoolView pool_view(const std::vector<dhcp::lease_entry>& entries);

// A reason not to start, with what to change.
struct Refusal {
    std::string problem;
    std::string fix;
};

struct LoadPlan {
    // Controllers loaded at once: the --parallel asked for, but never more than the pool has
    // free leases (each booting controller holds one) nor than there are controllers.
    std::size_t parallel = 0;
    std::vector<Refusal> refusals;  // the load may start only when there is none
};

// The checks made before the first controller is told to update: the pool must hold none of
// the listed addresses (a booting controller could be handed a neighbour's address) and at
// least `parallel` addresses.
// `parallel_name` is how the refusals name the setting of `parallel`: the command line's option
// or the window's field.
LoadPlan plan_load(const std::vector<std::uint32_t>& controllers, const PoolView& pool,
                   std::size_t parallel, std::string_view parallel_name = "--parallel");

}  // namespace load
