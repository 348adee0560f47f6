#include "dhcp/lease_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "dhcp_test_util.h"
#include "test_support.h"

namespace dhcp {
namespace {

using test::address;
using test::hardware;

std::vector<std::uint32_t> addresses(const LeaseTable& t) {
    std::vector<std::uint32_t> out;
    for (const auto& e : t.entries()) out.push_back(e.address);
    return out;
}

std::vector<std::uint32_t> range(std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t a = first; a <= last; ++a) out.push_back(a);
    return out;
}

TEST(GetOctet, ReadsOneDottedFieldModulo256) {
    struct Case {
        const char* text;
        std::size_t index;
        int result;
        std::uint8_t out;
    };
    const Case cases[] = {
        {"192.168.1.50", 0, kOctetOk, 192},
        {"192.168.1.50", 1, kOctetOk, 168},
        {"192.168.1.50", 2, kOctetOk, 1},
        {"192.168.1.50", 3, kOctetOk, 50},
        {"300.1.1.1", 0, kOctetOk, 44},
        {"192.168", 3, kOctetTooFewFields, 0},
        {"192.", 1, kOctetOk, 0},
        {"", 0, kOctetNoText, 0},
        {"1.2.3.4.5", 4, kOctetOk, 5},
        {"a.b", 0, kOctetOk, 49},  // 'a' - 48, unchecked
        {"1.2.3.4 ", 3, kOctetOk, static_cast<std::uint8_t>(4 * 10 + ' ' - 48)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " index " + std::to_string(c.index));
        std::uint8_t out = 77;
        EXPECT_EQ(c.result, get_octet(c.text, out, c.index));
        EXPECT_EQ(c.out, out);
    }
}

TEST(LeaseTableBuild, HoldsPoolSizePlusOneAddressesFromTheStart) {
    struct Case {
        const char* start;
        const char* size;
        const char* mask;
        std::vector<std::uint32_t> addresses;
        std::uint32_t netmask;
        const char* log;
    };
    const Case cases[] = {
        {"192.168.1.50", "10", "255.255.255.0",
         range(address(192, 168, 1, 50), address(192, 168, 1, 60)), address(255, 255, 255, 0), ""},
        {"10.0.0.250", "5", "255.0.0.0", range(address(10, 0, 0, 250), address(10, 0, 0, 255)),
         address(255, 0, 0, 0), ""},
        {"192.168.1.50", "12abc", "255.255.255.0",
         range(address(192, 168, 1, 50), address(192, 168, 1, 62)), address(255, 255, 255, 0), ""},
        {"192.168.1.50",
         "",
         "255.255.255.0",
         {address(192, 168, 1, 50)},
         address(255, 255, 255, 0),
         ""},
        {"192.", "2", "255.255.255.0", range(address(192, 0, 0, 0), address(192, 0, 0, 2)),
         address(255, 255, 255, 0), ""},
        {"10.0.0.250", "10", "255.255.255.0", range(address(10, 0, 0, 250), address(10, 0, 0, 255)),
         address(255, 255, 255, 0), "DHCP pool of 10 from 10.0.0.250 wraps - cut at 10.0.0.255\n"},
        {"10.0.0.10", "300", "255.255.255.0", range(address(10, 0, 0, 10), address(10, 0, 0, 255)),
         address(255, 255, 255, 0), "DHCP pool of 300 from 10.0.0.10 wraps - cut at 10.0.0.255\n"},
        {"10.0.0.250", "-3", "255.255.255.0", range(address(10, 0, 0, 250), address(10, 0, 0, 255)),
         address(255, 255, 255, 0), "DHCP pool of -3 from 10.0.0.250 wraps - cut at 10.0.0.255\n"},
        // The mask is converted as inet_addr does it: not an address gives all ones.
        {"192.168.1.50", "1", "255.255.255.0.garbage",
         range(address(192, 168, 1, 50), address(192, 168, 1, 51)), address(255, 255, 255, 255),
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " + " + c.size);
        ::test::CapturedLog log;
        core::ToolSettings s = test::default_settings();
        test::set_text(s, core::Setting::ZorvaIPStartAddress, c.start);
        test::set_text(s, core::Setting::PoolSize, c.size);
        test::set_text(s, core::Setting::netmask, c.mask);
        const auto table = LeaseTable::from_settings(s);
        EXPECT_EQ(c.addresses, addresses(*table));
        for (const lease_entry& e : table->entries()) {
            EXPECT_EQ(LeaseState::free, e.state);
            EXPECT_EQ(Xid{}, e.xid);
            EXPECT_EQ(HardwareAddress{}, e.hardware_address);
            EXPECT_EQ(0u, e.router);
            EXPECT_EQ(c.netmask, e.netmask);
            EXPECT_EQ(30u, e.lease_time);
        }
        EXPECT_EQ(c.log, log.text());
    }
}

TEST(LeaseTable, OffersTheDefaultPoolInOrderAndRunsOutAfterElevenClients) {
    ::test::CapturedLog log;
    const auto table = LeaseTable::from_settings(test::default_settings());
    const std::uint32_t server = address(192, 168, 1, 10);
    for (std::uint8_t client = 1; client <= 11; ++client) {
        SCOPED_TRACE(int{client});
        lease_info lease;
        ASSERT_EQ(kLeaseOk, table->assign(&lease, Xid{1, 2, 3, client}, hardware(client), server));
        EXPECT_EQ(address(192, 168, 1, 49u + client), lease.address);
        EXPECT_EQ(server, lease.server_address);
        EXPECT_EQ(address(255, 255, 255, 0), lease.netmask);
        EXPECT_EQ(0u, lease.router);
        EXPECT_EQ(30u, lease.lease_time);
    }
    lease_info lease;
    EXPECT_EQ(kLeaseNoneFree, table->assign(&lease, Xid{1, 2, 3, 12}, hardware(12), server));
    EXPECT_EQ(kLeaseNoRecord, table->assign(nullptr, Xid{1, 2, 3, 13}, hardware(13), server));

    std::string eleven;
    for (int i = 0; i < 11; ++i) eleven += "Assigning Dynamic IP! \n";
    EXPECT_EQ(eleven, log.text());
    const auto entries = table->entries();
    EXPECT_EQ(LeaseState::offered, entries[10].state);
    EXPECT_EQ((Xid{1, 2, 3, 11}), entries[10].xid);
    EXPECT_EQ(hardware(11), entries[10].hardware_address);
}

TEST(LeaseTable, ASecondDiscoverFromTheSameClientFreesItsEntryAndTakesTheLowestFree) {
    ::test::CapturedLog log;
    const auto table = LeaseTable::from_settings(test::default_settings());
    HardwareAddress hw{0xA0, 0x1B, 0x02, 0xC3, 0x04, 0xD5, 9, 9};
    lease_info lease;
    ASSERT_EQ(kLeaseOk, table->assign(&lease, Xid{0, 0, 0, 1}, hardware(1), 0));
    ASSERT_EQ(kLeaseOk, table->assign(&lease, Xid{0, 0, 0, 2}, hw, 0));
    EXPECT_EQ(address(192, 168, 1, 51), lease.address);
    log.clear();

    ASSERT_EQ(kLeaseOk, table->assign(&lease, Xid{0, 0, 0, 3}, hw, 0));
    EXPECT_EQ(address(192, 168, 1, 51), lease.address);
    EXPECT_EQ("Deleting A0::1B::2::C3::4::D5 \nAssigning Dynamic IP! \n", log.text());
    EXPECT_EQ((Xid{0, 0, 0, 3}), table->entries()[1].xid);

    // Once a lower entry is free, the client moves down to it.
    table->release(hardware(1));
    const auto freed = table->entries()[0];
    EXPECT_EQ(LeaseState::free, freed.state);
    EXPECT_EQ(Xid{}, freed.xid);
    EXPECT_EQ(hardware(1), freed.hardware_address);  // kept after the release
    ASSERT_EQ(kLeaseOk, table->assign(&lease, Xid{0, 0, 0, 4}, hw, 0));
    EXPECT_EQ(address(192, 168, 1, 50), lease.address);
}

TEST(LeaseTable, AcknowledgesARequestByItsXidAlone) {
    const auto table = LeaseTable::from_settings(test::default_settings());
    lease_info lease;
    ASSERT_EQ(kLeaseOk, table->assign(&lease, Xid{9, 9, 9, 1}, hardware(1), 0));
    ASSERT_EQ(kLeaseOk, table->assign(&lease, Xid{9, 9, 9, 2}, hardware(2), 0));

    lease_info found;
    EXPECT_EQ(kLeaseOk, table->find_by_xid(&found, Xid{9, 9, 9, 2}));
    EXPECT_EQ(address(192, 168, 1, 51), found.address);
    EXPECT_EQ(LeaseState::acknowledged, table->entries()[1].state);
    EXPECT_EQ(kLeaseOk, table->find_by_xid(&found, Xid{9, 9, 9, 2}));  // acknowledged again
    EXPECT_EQ(LeaseState::acknowledged, table->entries()[1].state);
    EXPECT_EQ(kLeaseXidUnknown, table->find_by_xid(&found, Xid{9, 9, 9, 3}));
}

TEST(LeaseTable, AcknowledgesXidZeroWithTheFirstEntryOfAFreshTable) {
    const auto table = LeaseTable::from_settings(test::default_settings());
    lease_info found;
    EXPECT_EQ(kLeaseOk, table->find_by_xid(&found, Xid{}));
    EXPECT_EQ(address(192, 168, 1, 50), found.address);
    EXPECT_EQ(LeaseState::acknowledged, table->entries()[0].state);
}

class ProcessWideLeaseTable : public ::testing::Test {
protected:
    void SetUp() override {
        const core::ToolSettings d = test::default_settings();
        for (const auto& info : core::kSettings)
            if (const char* text = d.text(info.setting))
                core::settings_set_text(info.setting, text);
        set_server_address("");
    }
    void TearDown() override {
        core::settings_reset();
        set_server_address("");
        (void)build_lease_table();
    }
};

TEST_F(ProcessWideLeaseTable, ARebuildDropsEveryLease) {
    EXPECT_EQ(0, build_lease_table());
    set_server_address("192.168.1.10");
    lease_info lease;
    ASSERT_EQ(kLeaseOk, assign_lease(&lease, Xid{1, 1, 1, 1}, hardware(1)));
    EXPECT_EQ(address(192, 168, 1, 10), lease.server_address);
    ASSERT_EQ(kLeaseOk, find_lease_by_xid(&lease, Xid{1, 1, 1, 1}));

    core::settings_set_text(core::Setting::PoolSize, "3");
    EXPECT_EQ(0, build_lease_table());
    EXPECT_EQ(kLeaseXidUnknown, find_lease_by_xid(&lease, Xid{1, 1, 1, 1}));
    const auto entries = current_lease_table()->entries();
    ASSERT_EQ(4u, entries.size());
    for (const auto& e : entries) EXPECT_EQ(LeaseState::free, e.state);
}

TEST_F(ProcessWideLeaseTable, AnEmptyServerAddressReadsAsZero) {
    (void)build_lease_table();
    lease_info lease;
    lease.server_address = 1234;
    ASSERT_EQ(kLeaseOk, assign_lease(&lease, Xid{1, 1, 1, 1}, hardware(1)));
    EXPECT_EQ(0u, lease.server_address);
    EXPECT_EQ(kLeaseNoRecord, assign_lease(nullptr, Xid{1, 1, 1, 2}, hardware(2)));
}

TEST_F(ProcessWideLeaseTable, AMessageSeesTheOldTableOrTheWholeNewOneDuringRebuilds) {
    core::settings_set_text(core::Setting::PoolSize, "4");
    (void)build_lease_table();
    std::atomic<bool> done{false};
    // The front-end's thread: every keystroke of a pool size rebuilds the table.
    std::thread front_end([&] {
        for (int i = 0; !done; ++i) {
            core::settings_set_text(core::Setting::PoolSize, i % 2 ? "4" : "200");
            (void)build_lease_table();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const auto table = current_lease_table();
        const auto entries = table->entries();
        ASSERT_TRUE(entries.size() == 5 || entries.size() == 201) << entries.size();
        lease_info lease;
        ASSERT_EQ(kLeaseOk, table->assign(&lease, Xid{0, 0, 0, 1}, hardware(1), 0));
    }
    done = true;
    front_end.join();
}

}  // namespace
}  // namespace dhcp
