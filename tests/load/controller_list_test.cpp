#include "load/controller_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/net.h"

namespace load {
namespace {

std::vector<std::string> dotted(const std::vector<std::uint32_t>& addresses) {
    std::vector<std::string> out;
    for (const std::uint32_t a : addresses) out.push_back(platform::to_dotted(a));
    return out;
}

std::vector<std::uint32_t> addresses(const std::vector<std::string>& texts) {
    std::vector<std::uint32_t> out;
    for (const auto& t : texts) out.push_back(*platform::parse_dotted(t));
    return out;
}

TEST(ControllerList, ParsesAddressesRangesAndCommentsOrRefusesWithLineAndText) {
    const struct {
        const char* what;
        const char* text;
        std::vector<std::string> expected;  // the addresses, when there is no error
        std::vector<std::string> errors;
    } cases[] = {
        {"comments, blanks, CRLF, a last-octet range, no final newline",
         "# site A\r\n\r\n  10.1.2.7  # the gate\r\n10.1.2.20-22\n\t\n10.1.2.9",
         {"10.1.2.7", "10.1.2.20", "10.1.2.21", "10.1.2.22", "10.1.2.9"},
         {}},
        {"a range across a /24, blanks round the dash, a one-address range",
         "10.1.2.254 - 10.1.3.1\n10.1.4.5-5\n",
         {"10.1.2.254", "10.1.2.255", "10.1.3.0", "10.1.3.1", "10.1.4.5"},
         {}},
        {"every faulty line named, the good ones kept out of the way",
         "10.1.2.20\n10.1.2\n10.1.2.60-59\n10.1.2.30-300\n10.1.2.1-10.1.6.1 # slip\n"
         "10.1.3.1-10.1.2.9\n127.0.0.1\n10.1.2.x-4\n",
         {},
         {"line 2: 10.1.2: not an address (10.1.2.20) or a range (10.1.2.20-59)",
          "line 3: 10.1.2.60-59: the range ends before it starts",
          "line 4: 10.1.2.30-300: not an address (10.1.2.20) or a range (10.1.2.20-59)",
          "line 5: 10.1.2.1-10.1.6.1: the range holds 1025 addresses, more than 1024",
          "line 6: 10.1.3.1-10.1.2.9: the range ends before it starts",
          "line 7: 127.0.0.1: 127.0.0.1 cannot be a controller's address",
          "line 8: 10.1.2.x-4: not an address (10.1.2.20) or a range (10.1.2.20-59)"}},
        {"a doubled address names both lines, also inside a range",
         "10.1.2.25\n# between\n10.1.2.20-30\n10.1.2.40\n10.1.2.40\n",
         {},
         {"line 3: 10.1.2.20-30: 10.1.2.25 is already listed on line 1",
          "line 5: 10.1.2.40: 10.1.2.40 is already listed on line 4"}},
        {"a range reaching 224.0.0.0",
         "223.255.255.254-224.0.0.1",
         {},
         {"line 1: 223.255.255.254-224.0.0.1: 224.0.0.0 cannot be a controller's address"}},
        {"only comments",
         "# nothing yet\n\n   # still nothing\n",
         {},
         {"the list holds no controller address"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ControllerList list = parse_controller_list(c.text);
        EXPECT_EQ(c.errors, list.errors);
        if (c.errors.empty()) {
            EXPECT_EQ(c.expected, dotted(list.addresses));
        }
    }
}

TEST(ControllerList, PoolViewCountsTheFreeLeases) {
    std::vector<dhcp::lease_entry> entries(4);
    for (std::size_t i = 0; i < entries.size(); ++i)
        entries[i].address = 0x0a010232 + static_cast<std::uint32_t>(i);
    entries[1].state = dhcp::LeaseState::offered;
    entries[2].state = dhcp::LeaseState::acknowledged;
    const PoolView pool = pool_view(entries);
    EXPECT_EQ("10.1.2.50", platform::to_dotted(pool.first));
    EXPECT_EQ("10.1.2.53", platform::to_dotted(pool.last));
    EXPECT_EQ(4u, pool.size);
    EXPECT_EQ(2u, pool.free);
}

TEST(LoadPlan, RefusesAnOverlappingOrSmallPoolWithTheFixAndCapsTheParallelism) {
    const auto pool = [](const char* first, const char* last, std::size_t free) {
        const std::uint32_t a = *platform::parse_dotted(first), b = *platform::parse_dotted(last);
        return PoolView{a, b, b - a + 1, free};
    };
    const struct {
        const char* what;
        std::vector<std::string> controllers;
        PoolView pool;
        std::size_t parallel;
        std::size_t expected_parallel;
        std::vector<std::string> refusals;  // "problem | fix"
    } cases[] = {
        {"the defaults' pool beside the site",
         {"10.1.2.20", "10.1.2.21", "10.1.2.22"},
         pool("10.1.2.50", "10.1.2.60", 11),
         4,
         3,
         {}},
        {"fewer free leases than asked for",
         {"10.1.2.20", "10.1.2.21", "10.1.2.22", "10.1.2.23"},
         pool("10.1.2.50", "10.1.2.60", 2),
         4,
         2,
         {}},
        {"a controller in the pool",
         {"10.1.2.20", "10.1.2.55"},
         pool("10.1.2.50", "10.1.2.60", 11),
         4,
         2,
         {"the DHCP pool 10.1.2.50 to 10.1.2.60 holds the listed controller 10.1.2.55; a "
          "booting controller could be handed its address | set ZorvaIPStartAddress to "
          "10.1.2.56 (the 11 addresses from there hold no listed controller)"}},
        {"one controller, handed its own address back at worst",
         {"10.1.2.55"},
         pool("10.1.2.50", "10.1.2.60", 11),
         1,
         1,
         {}},
        {"many controllers in the pool, the clear run below it",
         {"10.1.2.200", "10.1.2.201", "10.1.2.202", "10.1.2.203", "10.1.2.204", "10.1.2.205",
          "10.1.2.250"},
         pool("10.1.2.200", "10.1.2.250", 51),
         4,
         4,
         {"the DHCP pool 10.1.2.200 to 10.1.2.250 holds 7 listed controllers: 10.1.2.200, "
          "10.1.2.201, 10.1.2.202, 10.1.2.203, 10.1.2.204 and 2 more; a booting controller "
          "could be handed its address | set ZorvaIPStartAddress to 10.1.2.149 (the 51 "
          "addresses from there hold no listed controller)"}},
        {"a pool smaller than --parallel",
         {"10.1.3.1", "10.1.3.2", "10.1.3.3", "10.1.3.4"},
         pool("10.1.2.50", "10.1.2.52", 3),
         4,
         3,
         {"the DHCP pool 10.1.2.50 to 10.1.2.52 holds 3 addresses, fewer than --parallel 4 | "
          "set PoolSize to 3 or more (the pool holds PoolSize + 1 addresses), or run with "
          "--parallel 3"}},
        {"a pool cut at .255",
         {"10.1.3.1", "10.1.3.2", "10.1.3.3", "10.1.3.4", "10.1.3.5"},
         pool("10.1.2.253", "10.1.2.255", 3),
         5,
         3,
         {"the DHCP pool 10.1.2.253 to 10.1.2.255 holds 3 addresses, fewer than --parallel 5 | "
          "set ZorvaIPStartAddress to 10.1.2.250 or lower and PoolSize to 4 or more, or run "
          "with --parallel 3"}},
        {"every lease held",
         {"10.1.3.1"},
         pool("10.1.2.50", "10.1.2.60", 0),
         4,
         0,
         {"no lease of the DHCP pool 10.1.2.50 to 10.1.2.60 is free: other clients hold all "
          "11 | restart kestrom (a new lease table frees every lease) or raise PoolSize"}},
        {"--parallel 0",
         {"10.1.3.1"},
         pool("10.1.2.50", "10.1.2.60", 11),
         0,
         0,
         {"--parallel 0 loads no controller | give --parallel 1 or more"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const LoadPlan plan = plan_load(addresses(c.controllers), c.pool, c.parallel);
        std::vector<std::string> refusals;
        for (const Refusal& r : plan.refusals) refusals.push_back(r.problem + " | " + r.fix);
        EXPECT_EQ(c.refusals, refusals);
        EXPECT_EQ(c.expected_parallel, plan.parallel);
    }
}

}  // namespace
}  // namespace load
