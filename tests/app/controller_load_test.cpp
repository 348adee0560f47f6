// kestrom load against simulated controllers that really boot: the PC's namespace holds a bridge
// (10.1.2.10/24) and kestrom; each controller (10.1.2.20 and up) has a namespace of its own,
// cabled to the bridge by a veth pair whose end has its own hardware address, and runs
// kestrom-sim --boot on it. The verdict, the exit status, the summary and the load report are
// read back.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "site_bench.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using test::controller_address;
using test::SiteBench;

struct OneController {
    const char* name;
    const char* sim_options;
    const char* load_options;
    int exit_status;
    const char* verdict;                // the start of the verdict line's text
    std::vector<std::string> steps_ok;  // the steps whose line says "ok"
};

void PrintTo(const OneController& row, std::ostream* os) {
    *os << row.name;
}

class LoadOneController : public ::testing::TestWithParam<OneController> {};

TEST_P(LoadOneController, GivesTheVerdictOfTheStepThatFailed) {
    KESTROM_NEEDS_NETNS();
    const OneController& row = GetParam();
    SiteBench bench(1, row.sim_options);
    ASSERT_TRUE(bench.ok()) << bench.sims_output();
    bench.dir().write("kestrom.ini", "[FILES]\nFILE1=index.htm\n");
    bench.dir().write("www/index.htm", "<html>3.4</html>\n");

    const test::CommandResult load =
        bench.kestrom("load --report report.jsonl " + std::string(row.load_options));
    const std::string& out = load.output;
    EXPECT_EQ(row.exit_status, load.status) << out;
    const std::string verdict_head = "10.1.2.20        verdict           ";
    const auto verdict = out.find(verdict_head);
    ASSERT_NE(std::string::npos, verdict) << "no verdict line\n" << out;
    EXPECT_NE(std::string::npos, out.find(row.verdict, verdict)) << out;
    for (const std::string& step : row.steps_ok) {
        std::string head = "10.1.2.20        " + step;
        head.resize(35, ' ');
        EXPECT_NE(std::string::npos, out.find(head + "ok")) << "no ok line for " << step << "\n"
                                                            << out;
    }

    const auto loads = bench.records("load");
    ASSERT_EQ(1u, loads.size()) << out;
    EXPECT_TRUE(loads[0].value("verdict", "").starts_with(row.verdict)) << loads[0].dump();
    // The verdict is the load's own record; a step that failed has one of its own.
    const bool step_failed =
        row.exit_status != 0 && !std::string_view(row.verdict).starts_with("failed at verdict");
    EXPECT_EQ(row.steps_ok.size() + (step_failed ? 1 : 0), bench.records("load-step").size())
        << "one record per step that ended";
    if (row.exit_status == 0) {
        EXPECT_EQ(bench.hardware(0), loads[0].value("hardware", ""));
        EXPECT_EQ("3.4", loads[0].value("version_after", ""));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, LoadOneController,
    ::testing::Values(
        OneController{"Verified",
                      "",
                      "--web --expect-version 3.4",
                      0,
                      "verified",
                      {"update", "hardware address", "network boot", "back", "web pages"}},
        OneController{"NoBoot",
                      "--boot-fail none",
                      "--boot-within 4",
                      1,
                      "failed at network boot: no network boot within 4 s (no DHCP lease",
                      {"update", "hardware address"}},
        OneController{"Halfway",
                      "--boot-fail halfway",
                      "--image-within 6",
                      1,
                      "failed at network boot: lease 10.1.2.100, but ",
                      {"update", "hardware address"}},
        OneController{"OldVersion",
                      "--boot-fail old-version",
                      "",
                      1,
                      "failed at verdict: controller still runs 3.2",
                      {"update", "hardware address", "network boot", "back"}},
        OneController{"NoShell",
                      "--boot-fail no-shell",
                      "--back-within 5",
                      1,
                      "failed at back: controller not back within 5 s",
                      {"update", "hardware address", "network boot"}},
        OneController{"OtherVersion",
                      "",
                      "--expect-version 3.5",
                      1,
                      "failed at verdict: controller runs 3.4, not 3.5",
                      {"update", "hardware address", "network boot", "back"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Twice as many controllers as the pool has leases: each controller back on its own address
// gives its boot loader's lease back for the next.
TEST(LoadSite, TwentyControllersTenAtOnceFromAPoolOfTenAreEachVerifiedWithTheirOwnBoot) {
    KESTROM_NEEDS_NETNS();
    constexpr std::size_t kControllers = 20;
    SiteBench bench(kControllers, "");
    ASSERT_TRUE(bench.ok()) << bench.sims_output();
    ASSERT_EQ(0, bench.kestrom("config set PoolSize 9").status);
    bench.dir().write("site.txt", "# the hall\n10.1.2.20-39  # all of it\n");

    const test::CommandResult load =
        bench.kestrom("load --controllers site.txt --parallel 10 --report report.jsonl");
    EXPECT_EQ(0, load.status) << load.output;
    EXPECT_NE(std::string::npos, load.output.find("20 controllers: 20 verified, 0 not"))
        << load.output;
    const auto loads = bench.records("load");
    ASSERT_EQ(kControllers, loads.size()) << load.output;
    for (std::size_t i = 0; i < kControllers; ++i) {
        // The summary's row, and the report's record of the same controller.
        std::string row = controller_address(i);
        row.resize(17, ' ');
        row += bench.hardware(i) + "  3.2 -> 3.4";
        EXPECT_NE(std::string::npos, load.output.find(row)) << "no row \"" << row << "\"\n"
                                                            << load.output;
        const auto record = std::find_if(loads.begin(), loads.end(), [&](const auto& r) {
            return r.value("controller", "") == controller_address(i);
        });
        ASSERT_NE(loads.end(), record);
        EXPECT_EQ("verified", record->value("verdict", ""));
        EXPECT_EQ(bench.hardware(i), record->value("hardware", ""));
    }
}

TEST(LoadSite, RefusesBeforeAnyControllerIsToldToUpdate) {
    KESTROM_NEEDS_NETNS();
    SiteBench bench(0, "");  // no controller: nothing must be reached
    ASSERT_TRUE(bench.ok());
    bench.dir().write("site.txt", "10.1.2.95-110\n");
    bench.dir().write("backwards.txt", "10.1.2.20\n10.1.2.60-59\n");
    bench.dir().write("hall.txt", "10.1.2.20-39\n");
    struct {
        const char* args;
        int status;
        const char* says;
    } const cases[] = {
        {"--controllers site.txt", 1,
         "the DHCP pool 10.1.2.100 to 10.1.2.140 holds 11 listed controllers"},
        {"--controllers site.txt", 1, "fix: set ZorvaIPStartAddress to 10.1.2.111"},
        {"--controllers backwards.txt", 1, "line 2: 10.1.2.60-59"},
        {"--controllers hall.txt --parallel 50", 1, "holds 41 addresses, fewer than --parallel 50"},
        {"--controllers hall.txt --parallel 0", 2, "--parallel takes a number from 1 to 256"},
        {"--controller 10.1.2", 2, "'10.1.2' is not an IPv4 address"},
        {"--parallel 2", 2, "--parallel goes with --controllers"},
        {"--boot-within soon", 2, "--boot-within takes seconds"},
        {"--web", 1, "kestrom.ini: No such file or directory; no controller was told to update"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const test::CommandResult load = bench.kestrom("load " + std::string(c.args));
        EXPECT_EQ(c.status, load.status) << load.output;
        EXPECT_NE(std::string::npos, load.output.find(c.says)) << load.output;
        EXPECT_EQ(std::string::npos, load.output.find("Loading")) << "the load started";
    }
    // A pool on no network of this PC: its DHCP service waits for one, and nothing is updated.
    ASSERT_EQ(0, bench.kestrom("config set ZorvaIPStartAddress 10.9.9.100").status);
    const test::CommandResult unserved = bench.kestrom("load --controller 10.1.2.20");
    EXPECT_EQ(1, unserved.status);
    EXPECT_NE(std::string::npos,
              unserved.output.find("the DHCP service does not serve, so no controller could boot "
                                   "from this PC; none was told to update"))
        << unserved.output;
    EXPECT_NE(std::string::npos, unserved.output.find("10.9.9.0/24")) << "its log says why";

    std::filesystem::remove(bench.dir() / "zorva.bin");
    const test::CommandResult load = bench.kestrom("load");
    EXPECT_EQ(1, load.status);
    EXPECT_NE(std::string::npos,
              load.output.find("can't read the boot file ./zorva.bin: No such file or directory"))
        << load.output;
}

TEST(LoadSite, CtrlCStartsNoMoreButFollowsTheControllerToldToUpdate) {
    KESTROM_NEEDS_NETNS();
    SiteBench bench(3, "--boot-fail none");
    ASSERT_TRUE(bench.ok()) << bench.sims_output();
    bench.dir().write("site.txt", "10.1.2.20-22\n");
    test::ChildProcess load("cd " + bench.dir().path().string() + " && exec " +
                            bench.command("load --controllers site.txt --parallel 1 "
                                          "--boot-within 4 --report report.jsonl"));
    ASSERT_TRUE(load.wait_for_output("10.1.2.20        hardware address  ok", 20s))
        << load.output();
    load.signal(SIGINT);
    EXPECT_EQ(1, load.wait(20s)) << load.output();
    const std::string out = load.output();
    EXPECT_NE(std::string::npos, out.find("failed at network boot: no network boot within 4 s"))
        << "the controller told to update was not followed to its bound\n"
        << out;
    for (const char* never : {"10.1.2.21 ", "10.1.2.22 "}) {
        const auto row = out.find(std::string(never), out.find("address          hardware"));
        ASSERT_NE(std::string::npos, row) << out;
        EXPECT_NE(std::string::npos, out.find("not started: the load was stopped first", row))
            << out;
    }
    EXPECT_NE(std::string::npos,
              out.find("stopped: 2 never started; 1 told to update before the stop was served"))
        << out;
    EXPECT_EQ(3u, bench.records("load").size());
}

}  // namespace
