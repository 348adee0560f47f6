// The boots a load follows, told apart by hardware address and client address, from the
// services' records as they come from their threads.
#include "load/boot_watch.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "core/load_report.h"

namespace load {
namespace {

using namespace std::chrono_literals;
using Clock = BootWatch::Clock;

void ack(const char* hardware, const char* address) {
    core::report("lease", {{"type", "ack"}, {"hardware", hardware}, {"address", address}});
}

void read(const char* client, const char* file, const char* outcome, const char* sha256) {
    core::report("tftp", {{"client", client},
                          {"direction", "read"},
                          {"file", file},
                          {"bytes", 1428},
                          {"sha256", sha256},
                          {"outcome", outcome}});
}

TEST(BootWatch, FindsEachControllersLeaseAndWholeReadAmongOthersFromServiceThreads) {
    ASSERT_FALSE(core::report_wanted()) << "another test left the report on";
    BootWatch boots;
    EXPECT_TRUE(core::report_wanted()) << "the services would make no records for the watch";
    const Clock::time_point start = Clock::now();
    ack("02:00:00:00:00:01", "10.1.2.100");  // before the update: another boot
    std::this_thread::sleep_for(2ms);
    const Clock::time_point update = Clock::now();

    // The services' threads: a neighbour's lease and read, a lease offered only, a size probe
    // that stops early, a read of another file, then the controller's lease and whole read.
    std::thread services([] {
        core::report("lease",
                     {{"type", "offer"}, {"hardware", "02:00:00:00:00:01"}, {"address", "x"}});
        ack("02:00:00:00:00:02", "10.1.2.101");
        read("10.1.2.101:2000", "zorva.bin", "complete", "bb");
        std::this_thread::sleep_for(20ms);
        ack("02:00:00:00:00:01", "10.1.2.102");
        read("10.1.2.102:2001", "zorva.bin", "client error: tsize probe", "");
        read("10.1.2.102:2002", "other.bin", "complete", "cc");
        read("10.1.2.102:2003", "zorva.bin", "complete", "aa");
    });
    const auto lease = boots.wait_lease("02:00:00:00:00:01", update, update + 5s);
    ASSERT_TRUE(lease.has_value()) << "the controller's lease went unseen";
    EXPECT_EQ("10.1.2.102", *lease) << "a lease from before the update, or a neighbour's";
    const auto whole =
        boots.wait_read({"10.1.2.102", "10.1.2.20"}, "zorva.bin", update, update + 5s, nullptr);
    services.join();
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ("10.1.2.102:2003", whole->client) << "the probe or another file was taken";
    EXPECT_EQ("aa", whole->sha256);

    // Nothing whole before the deadline: the read that ended early comes back, to say why.
    read("10.1.2.103:2004", "zorva.bin", "timed out", "");
    const auto cut =
        boots.wait_read({"10.1.2.103"}, "zorva.bin", update, Clock::now() + 10ms, nullptr);
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ("timed out", cut->outcome);
    EXPECT_FALSE(boots.wait_lease("02:00:00:00:00:09", start, Clock::now() + 10ms).has_value());
}

TEST(BootWatch, EndsItsWatchSoRecordsCostNothingAgain) {
    { BootWatch boots; }
    EXPECT_FALSE(core::report_wanted()) << "a load that ended keeps the services digesting";
}

}  // namespace
}  // namespace load
