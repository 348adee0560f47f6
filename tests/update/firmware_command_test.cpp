// The command line end to end: `kestrom firmware` always talks to port 23, so the simulated
// controller runs as a child process on 127.0.0.1:23 inside a throwaway network namespace.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "silent_segment.h"
#include "test_support.h"
#include "update/telnet_client.h"

namespace {

using namespace std::chrono_literals;

std::string quoted(const std::filesystem::path& p) {
    return "'" + p.string() + "'";
}

struct CommandRow {
    const char* what;
    std::string sim_options;
    std::string firmware_options;
    int status;
    std::string output;
    std::string wire;
};

void PrintTo(const CommandRow& row, std::ostream* os) {
    *os << row.what;
}

class FirmwareCommand : public testing::TestWithParam<CommandRow> {};

TEST_P(FirmwareCommand, PrintsTheLogAndExitsWithTheJobsOutcome) {
    KESTROM_NEEDS_NETNS();
    const CommandRow& row = GetParam();
    test::TempDir dir;
    test::NetNs ns("fwcmd");
    const auto record = dir / "received.bin";
    test::ChildProcess sim(ns.exec() + quoted(test::build_dir() / "kestrom-sim") +
                           " --address 127.0.0.1 --port 23 --no-http --record " + quoted(record) +
                           " " + row.sim_options);
    ASSERT_TRUE(sim.wait_for_output("telnet on 127.0.0.1:23")) << sim.output();

    // A registry file of the test's own, so no user settings are read.
    const test::CommandResult result =
        ns.run("env KESTROM_REGISTRY=" + quoted(dir / "registry.db") + " " +
               quoted(test::build_dir() / "kestrom") + " firmware " + row.firmware_options);
    EXPECT_EQ(row.status, result.status);
    EXPECT_EQ(row.output, result.output);
    EXPECT_EQ(row.wire, test::read_file(record));
}

const CommandRow kCommandRows[] = {
    {"StoredDefaultsAndAnAddressOverride", "", "--address 127.0.0.1", 0,
     "ZorvaController Update Firmware starting...\n"
     ">> Connect...OK!\n>> Sent login...OK!\n>> Sent password...OK!\n"
     ">> Check version...OK!\nVersion [3.200000]\n",
     "admin\r7305\r1scv\rupdate\ry"},
    {"OverriddenCredentialsThatTheControllerRefuses", "",
     "--address 127.0.0.1 --login root --password secret", 1,
     "ZorvaController Update Firmware starting...\n"
     ">> Connect...OK!\n>> Sent login...OK!\n>> Sent password...",
     "root\rsecret\r"},
};

INSTANTIATE_TEST_SUITE_P(InANamespace, FirmwareCommand, testing::ValuesIn(kCommandRows),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(FirmwareCommandLine, RefusesUnknownOptionsAndMissingValues) {
    for (const char* args : {"--bogus", "--address", "--login x --password"}) {
        SCOPED_TRACE(args);
        const test::CommandResult result =
            test::run_command(quoted(test::build_dir() / "kestrom") + " firmware " + args);
        EXPECT_EQ(2, result.status);
        EXPECT_NE(std::string::npos, result.output.find("usage: kestrom firmware"))
            << result.output;
    }
}

TEST(FirmwareCommandLine, ExitsWithOneWhenTheControllerCannotBeReached) {
    KESTROM_NEEDS_NETNS();
    test::TempDir dir;
    test::NetNs ns("fwnone");  // nobody listens on port 23 in here
    const test::CommandResult result =
        ns.run("env KESTROM_REGISTRY=" + quoted(dir / "registry.db") + " " +
               quoted(test::build_dir() / "kestrom") + " firmware --address 127.0.0.1");
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("ZorvaController Update Firmware starting...\nError at socket(): 111\n",
              result.output);
}

TEST(FirmwareCommandLine, GivesUpOnAControllerThatAnswersNothingAfterTheConnectBound) {
    KESTROM_NEEDS_NETNS();
    test::TempDir dir;
    test::SilentSegment segment;
    ASSERT_TRUE(segment.ready());
    const auto start = std::chrono::steady_clock::now();
    test::ChildProcess firmware(segment.exec() +
                                "env KESTROM_REGISTRY=" + quoted(dir / "registry.db") + " " +
                                quoted(test::build_dir() / "kestrom") + " firmware --address " +
                                test::SilentSegment::kSilentAddress);
    // The system's own time-out would be about two minutes: waited for no longer than the bound
    // and 5 s more.
    const int status = firmware.wait(update::kConnectTimeout + 5s);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    ASSERT_LT(took, update::kConnectTimeout + 5s)
        << "kestrom firmware was still running " << took.count()
        << " ms after its start; its connect bound is 10 s\n"
        << firmware.output();
    EXPECT_EQ(1, status);
    EXPECT_EQ("ZorvaController Update Firmware starting...\nError at socket(): " +
                  std::to_string(ETIMEDOUT) + "\n",
              firmware.output());
}

}  // namespace
