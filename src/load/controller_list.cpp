#include "load/controller_list.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "platform/net.h"

namespace load {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// A last octet as a range end: one to three digits, 0..255.
std::optional<std::uint32_t> last_octet(std::string_view text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > 255) return std::nullopt;
    return value;
}

// No controller answers on these: this network (0/8), loopback (127/8), multicast and the
// reserved block above it (224/3, the limited broadcast included).
bool controller_address(std::uint32_t address) {
    const std::uint32_t top = address >> 24;
    return top != 0 && top != 127 && top < 224;
}

struct Entry {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// One entry's addresses, or the reason it has none.
std::optional<Entry> parse_entry(std::string_view entry, std::string* why) {
    const std::size_t dash = entry.find('-');
    const std::optional<std::uint32_t> first =
        platform::parse_dotted(trimmed(entry.substr(0, dash)));
    std::optional<std::uint32_t> last = first;
    if (first && dash != std::string_view::npos) {
        const std::string_view end = trimmed(entry.substr(dash + 1));
        if (const auto octet = last_octet(end))
            last = (*first & 0xffffff00u) | *octet;
        else
            last = platform::parse_dotted(end);
    }
    if (!first || !last) {
        *why = "not an address (10.1.2.20) or a range (10.1.2.20-59)";
        return std::nullopt;
    }
    if (*last < *first) {
        *why = "the range ends before it starts";
        return std::nullopt;
    }
    const std::uint64_t size = std::uint64_t{*last} - *first + 1;
    if (size > kMaxRangeSize) {
        *why = "the range holds " + std::to_string(size) + " addresses, more than " +
               std::to_string(kMaxRangeSize);
        return std::nullopt;
    }
    for (std::uint64_t a = *first; a <= *last; ++a) {
        if (!controller_address(static_cast<std::uint32_t>(a))) {
            *why = platform::to_dotted(static_cast<std::uint32_t>(a)) +
                   " cannot be a controller's address";
            return std::nullopt;
        }
    }
    return Entry{*first, *last};
}

// "10.1.2.55, 10.1.2.56 and 10.1.2.57"; past five, "and N more".
std::string address_list(const std::vector<std::uint32_t>& addresses) {
    constexpr std::size_t kShown = 5;
    std::string text;
    const std::size_t shown = std::min(addresses.size(), kShown);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) text += i + 1 == shown && addresses.size() <= kShown ? " and " : ", ";
        text += platform::to_dotted(addresses[i]);
    }
    if (addresses.size() > kShown)
        text += " and " + std::to_string(addresses.size() - kShown) + " more";
    return text;
}

// The lowest start in the pool's /24, from the pool's own start upwards and then below it, whose
// run of `size` addresses stays within .1 to .254 and holds no listed controller.
std::optional<std::uint32_t> clear_start(const std::vector<std::uint32_t>& controllers,
                                         std::uint32_t pool_first, std::size_t size) {
    if (size == 0 || size > 254) return std::nullopt;
    const std::uint32_t network = pool_first & 0xffffff00u;
    const auto clear = [&](std::uint32_t start) {
        return std::none_of(controllers.begin(), controllers.end(), [&](std::uint32_t c) {
            return c >= network + start && c < network + start + size;
        });
    };
    const std::uint32_t highest = static_cast<std::uint32_t>(255 - size);  // last at .254
    const std::uint32_t own = std::max<std::uint32_t>(pool_first & 0xff, 1);
    for (std::uint32_t s = own; s <= highest; ++s)
        if (clear(s)) return network | s;
    for (std::uint32_t s = std::min(own, highest + 1); s-- > 1;)
        if (clear(s)) return network | s;
    return std::nullopt;
}

}  // namespace

ControllerList parse_controller_list(std::string_view text) {
    ControllerList list;
    std::unordered_map<std::uint32_t, std::size_t> listed_on;  // address -> its line
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        const std::string_view entry = trimmed(line.substr(0, line.find('#')));
        if (entry.empty()) continue;

        const std::string prefix = "line " + std::to_string(number) + ": " + std::string(entry);
        std::string why;
        const std::optional<Entry> range = parse_entry(entry, &why);
        if (!range) {
            list.errors.push_back(prefix + ": " + why);
            continue;
        }
        // The whole line is checked before any of its addresses counts as listed.
        bool doubled = false;
        for (std::uint32_t a = range->first; !doubled; ++a) {
            if (const auto seen = listed_on.find(a); seen != listed_on.end()) {
                list.errors.push_back(prefix + ": " + platform::to_dotted(a) +
                                      " is already listed on line " + std::to_string(seen->second));
                doubled = true;
            }
            if (a == range->last) break;
        }
        if (doubled) continue;
        for (std::uint32_t a = range->first;; ++a) {
            listed_on.emplace(a, number);
            list.addresses.push_back(a);
            if (a == range->last) break;
        }
    }
    if (list.addresses.empty() && list.errors.empty())
        list.errors.push_back("the list holds no controller address");
    return list;
}

PoolView pool_view(const std::vector<dhcp::lease_entry>& entries) {
    PoolView pool;
    if (entries.empty()) return pool;
    pool.first = entries.front().address;
    pool.last = entries.back().address;
    pool.size = entries.size();
    pool.free = static_cast<std::size_t>(std::count_if(
        entries.begin(), entries.end(),
        [](const dhcp::lease_entry& e) { return e.state == dhcp::LeaseState::free; }));
    return pool;
}

LoadPlan plan_load(const std::vector<std::uint32_t>& controllers, const PoolView& pool,
                   std::size_t parallel, std::string_view parallel_name) {
    const std::string option(parallel_name);
    LoadPlan plan;
    const std::string pool_text = "the DHCP pool " + platform::to_dotted(pool.first) + " to " +
                                  platform::to_dotted(pool.last);
    if (parallel == 0)
        plan.refusals.push_back(
            {option + " 0 loads no controller", "give " + option + " 1 or more"});

    // A controller may be handed its own address back: only a neighbour's is a conflict, so a
    // load of one controller may use a pool that holds it (the settings' defaults do).
    std::vector<std::uint32_t> inside;
    for (const std::uint32_t c : controllers)
        if (controllers.size() > 1 && pool.size > 0 && c >= pool.first && c <= pool.last)
            inside.push_back(c);
    if (!inside.empty()) {
        std::string fix;
        if (const auto start = clear_start(controllers, pool.first, pool.size))
            fix = "set ZorvaIPStartAddress to " + platform::to_dotted(*start) + " (the " +
                  std::to_string(pool.size) + " addresses from there hold no listed controller)";
        else
            fix =
                "set ZorvaIPStartAddress and PoolSize to a run of addresses no listed "
                "controller uses";
        plan.refusals.push_back(
            {pool_text + " holds " +
                 (inside.size() == 1 ? "the listed controller "
                                     : std::to_string(inside.size()) + " listed controllers: ") +
                 address_list(inside) + "; a booting controller could be handed its address",
             fix});
    }

    if (parallel > 0 && pool.size < parallel) {
        std::string fix;
        // From a.b.c.s the pool holds PoolSize + 1 addresses, but stops at .255.
        const std::size_t start_octet = pool.first & 0xff;
        if (parallel <= 254 && start_octet + parallel - 1 > 254)
            fix = "set ZorvaIPStartAddress to " +
                  platform::to_dotted((pool.first & 0xffffff00u) |
                                      static_cast<std::uint32_t>(255 - parallel)) +
                  " or lower and PoolSize to " + std::to_string(parallel - 1) + " or more, ";
        else if (parallel <= 254)
            fix = "set PoolSize to " + std::to_string(parallel - 1) +
                  " or more (the pool holds PoolSize + 1 addresses), ";
        fix += pool.size > 0 ? "or run with " + option + " " + std::to_string(pool.size)
                             : "or give the pool addresses";
        if (fix.starts_with("or ")) fix.erase(0, 3);
        plan.refusals.push_back({pool_text + " holds " + std::to_string(pool.size) +
                                     " addresses, fewer than " + option + " " +
                                     std::to_string(parallel),
                                 fix});
    }

    if (plan.refusals.empty() && pool.free == 0 && !controllers.empty())
        plan.refusals.push_back(
            {"no lease of " + pool_text + " is free: other clients hold all " +
                 std::to_string(pool.size),
             "restart kestrom (a new lease table frees every lease) or raise PoolSize"});

    plan.parallel = std::min({parallel, pool.free, controllers.size()});
    return plan;
}

}  // namespace load
