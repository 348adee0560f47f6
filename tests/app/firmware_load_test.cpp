// A whole firmware load, end to end, as on the bench: kestrom serve on the technician's PC
// (192.168.1.10) and the simulated controller (192.168.1.50) in two network namespaces joined by
// a veth pair. The update command goes over the controller's shell; the controller then
// "reboots": it drops its address, asks for one with a real DHCP client and reads the boot file
// named in the reply from the next server with a real TFTP client. kestrom keeps a load report
// of it all, which the tests read back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "temp_hive.h"
#include "test_support.h"

namespace {

std::string binary(const char* name) {
    return (test::build_dir() / name).string();
}

std::string random_bytes(std::size_t size) {
    std::mt19937_64 rng(20261207);
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    return bytes;
}

std::string sha256_hex(const std::string& bytes) {
    core::Sha256 sha;
    sha.update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    return core::Sha256::hex(sha.finish());
}

// The report's records of one event, in order.
std::vector<nlohmann::json> records(const std::string& report, std::string_view event) {
    std::vector<nlohmann::json> found;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json record = nlohmann::json::parse(line);  // every line is one object
        EXPECT_TRUE(record.contains("time")) << line;
        if (record["event"] == event) found.push_back(std::move(record));
    }
    return found;
}

class BenchNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        KESTROM_NEEDS_NETNS();
        pc_ = std::make_unique<test::NetNs>("pc");
        controller_ = std::make_unique<test::NetNs>("ctl");
        ASSERT_TRUE(test::connect_veth(*pc_, "192.168.1.10/24", *controller_, "192.168.1.50/24",
                                       nullptr, &controller_if_));
        // The DHCP client runs our own script, and this overlay keeps even a stray write to
        // resolv.conf inside the namespace.
        const auto mac = controller_->run("cat /sys/class/net/" + controller_if_ + "/address");
        ASSERT_EQ(0, mac.status);
        controller_mac_ = mac.output.substr(0, mac.output.find('\n'));
        overlay_ = std::filesystem::path("/etc/netns") / controller_->name();
        std::filesystem::create_directories(overlay_);
        std::ofstream(overlay_ / "resolv.conf").flush();

        firmware_ = random_bytes(3 * 1024 * 1024 + 777);
        pc_dir_.write("zorva.bin", firmware_);
    }
    void TearDown() override {
        kestrom_.reset();
        std::error_code ec;
        std::filesystem::remove_all(overlay_, ec);
    }

    void start_kestrom() {
        kestrom_ = std::make_unique<test::ChildProcess>(
            "cd " + pc_dir_.path().string() + " && exec " + pc_->exec() + binary("kestrom") +
                " serve --report " + report_.string() + " 2>" + (pc_dir_ / "stderr").string(),
            /*stdin_pipe=*/true);
        ASSERT_TRUE(kestrom_->wait_for_output("TFTP Daemon Binding to 192.168.1.10\n"))
            << kestrom_->output();
    }

    // The controller after its reboot: a DHCP lease, then the boot file from the next server.
    void reboot_controller() {
        ASSERT_EQ(0, controller_->run("ip addr flush dev " + controller_if_).status);
        const auto lease = ctl_dir_ / "lease";
        const auto script =
            ctl_dir_.write("udhcpc.sh",
                           "#!/bin/sh\n"
                           "[ \"$1\" = bound ] || exit 0\n"
                           "ip addr add \"$ip/$mask\" dev \"$interface\"\n"
                           "echo \"ip=$ip siaddr=$siaddr boot_file=$boot_file\" > " +
                               lease.string() + "\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        const auto dhcp = controller_->run("busybox udhcpc -f -q -n -t 5 -T 2 -i " +
                                           controller_if_ + " -s " + script.string());
        ASSERT_EQ(0, dhcp.status) << dhcp.output;
        const std::string got = test::read_file(lease);
        ASSERT_EQ("ip=192.168.1.50 siaddr=192.168.1.10 boot_file=zorva.bin\n", got);

        const auto received = ctl_dir_ / "zorva.bin";
        const auto tftp = controller_->run("busybox tftp -g -b 1428 -r zorva.bin -l " +
                                           received.string() + " 192.168.1.10");
        ASSERT_EQ(0, tftp.status) << tftp.output;
        EXPECT_TRUE(test::read_file(received) == firmware_) << "boot file differs";
    }

    std::unique_ptr<test::NetNs> pc_, controller_;
    std::string controller_if_, controller_mac_;
    std::filesystem::path overlay_;
    test::TempHive hive_;
    test::TempDir pc_dir_, ctl_dir_;
    std::filesystem::path report_ = pc_dir_ / "load.jsonl";
    std::string firmware_;
    std::unique_ptr<test::ChildProcess> kestrom_;
};

TEST_F(BenchNetwork, AFirmwareLoadRunsFromTheUpdateCommandToTheServedBootFile) {
    const auto record = ctl_dir_ / "shell-record";
    auto sim = std::make_unique<test::ChildProcess>(controller_->exec() + binary("kestrom-sim") +
                                                    " --address 192.168.1.50 --no-http --record " +
                                                    record.string());
    ASSERT_TRUE(sim->wait_for_output("kestrom-sim: telnet on")) << sim->output();
    start_kestrom();

    ASSERT_TRUE(kestrom_->write_stdin("firmware\n"));
    ASSERT_TRUE(
        test::wait_for_text(record, "admin\r7305\r1scv\rupdate\ry", std::chrono::seconds(30)))
        << "the controller's shell did not hear the whole update dialogue within 30 s\n"
        << test::read_file(record);
    sim.reset();  // the controller restarts
    reboot_controller();
    ASSERT_TRUE(kestrom_->wait_for_output(" Blocks Served\n")) << kestrom_->output();
    // The job ends a little after its last words to the controller.
    ASSERT_TRUE(test::wait_for_text(report_, "\"event\":\"firmware\"", std::chrono::seconds(30)))
        << "no firmware record in the load report within 30 s\n"
        << test::read_file(report_);
    ASSERT_TRUE(kestrom_->write_stdin("quit\n"));
    EXPECT_EQ(0, kestrom_->wait());

    // The whole load in order in kestrom's log.
    const std::string log = kestrom_->output();
    const std::string steps[] = {
        "ZorvaController Update Firmware starting...\n",
        ">> Connect...OK!\n>> Sent login...OK!\n>> Sent password...OK!\n"
        ">> Check version...OK!\nVersion [3.200000]\n",
        "Assigning Dynamic IP! \n",
        "..........",
        "Client 192.168.1.50:",
        " Blocks Served\n",
    };
    std::size_t at = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step);
        const auto found = log.find(step, at);
        ASSERT_NE(std::string::npos, found) << log;
        at = found + step.size();
    }
    // 3 MiB and 777 bytes at 1428 bytes a block: 2203 full blocks and a short last one.
    EXPECT_NE(std::string::npos, log.find(", 2204 Blocks Served\n")) << log;

    // The report tells the same story: the firmware job, the lease, the whole file served.
    const std::string report = test::read_file(report_);
    EXPECT_EQ(std::string::npos, report.find("7305")) << "the password is in the report";
    const auto firmware = records(report, "firmware");
    ASSERT_EQ(1u, firmware.size()) << report;
    EXPECT_EQ("192.168.1.50", firmware[0]["address"]);
    EXPECT_EQ("3.2", firmware[0]["version"]);
    EXPECT_EQ(nlohmann::json({"connect", "login", "version check", "update"}),
              firmware[0]["steps"]);
    EXPECT_EQ("succeeded", firmware[0]["outcome"]);

    const auto leases = records(report, "lease");
    ASSERT_EQ(2u, leases.size()) << report;
    EXPECT_EQ("offer", leases[0]["type"]);
    EXPECT_EQ("ack", leases[1]["type"]);
    for (const auto& lease : leases) {
        EXPECT_EQ("192.168.1.50", lease["address"]);
        EXPECT_EQ(controller_mac_, lease["hardware"]);
    }

    const auto tftp = records(report, "tftp");
    ASSERT_EQ(1u, tftp.size()) << report;
    EXPECT_EQ("read", tftp[0]["direction"]);
    EXPECT_EQ(1428, tftp[0]["options"]["blksize"]);
    EXPECT_EQ(2204, tftp[0]["blocks"]);
    EXPECT_EQ(firmware_.size(), tftp[0]["bytes"]);
    EXPECT_EQ(sha256_hex(firmware_), tftp[0]["sha256"]);
    EXPECT_EQ("complete", tftp[0]["outcome"]);
}

TEST_F(BenchNetwork, TheWebJobCompletesWhileATftpTransferRuns) {
    const auto www = ctl_dir_ / "www";
    std::filesystem::create_directories(www);
    auto sim = std::make_unique<test::ChildProcess>(controller_->exec() + binary("kestrom-sim") +
                                                    " --address 192.168.1.50 --port 2323 --www " +
                                                    www.string());
    ASSERT_TRUE(sim->wait_for_output("kestrom-sim: http on")) << sim->output();
    pc_dir_.write("kestrom.ini", "[FILES]\nFILE1=index.htm\nFILE2=img\\logo.png\n");
    const std::string index = "<html>zorva</html>\n", logo = random_bytes(200'000);
    pc_dir_.write("www/index.htm", index);
    pc_dir_.write("www/img/logo.png", logo);
    start_kestrom();

    // A slow reader: small blocks, so the transfer is still running when the web job starts.
    const auto received = ctl_dir_ / "zorva.bin";
    test::ChildProcess tftp(controller_->exec() + "busybox tftp -g -b 512 -r zorva.bin -l " +
                            received.string() + " 192.168.1.10");
    ASSERT_TRUE(kestrom_->wait_for_output("..........")) << kestrom_->output();
    ASSERT_TRUE(kestrom_->write_stdin("web\n"));

    ASSERT_TRUE(kestrom_->wait_for_output("UPDATE COMPLETED\n", std::chrono::seconds(30)))
        << kestrom_->output();
    ASSERT_EQ(0, tftp.wait(std::chrono::seconds(60))) << tftp.output();
    ASSERT_TRUE(kestrom_->wait_for_output(" Blocks Served\n")) << kestrom_->output();
    EXPECT_TRUE(test::read_file(received) == firmware_) << "boot file differs";
    // The list names img\logo.png; the controller stores what the request path says.
    EXPECT_EQ(index, test::read_file(www / "index.htm"));
    EXPECT_TRUE(test::read_file(www / "img\\logo.png") == logo ||
                test::read_file(www / "img" / "logo.png") == logo);
    const std::string log = kestrom_->output();
    EXPECT_NE(std::string::npos, log.find("ZorvaController Web Page Update Starting\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("Failed")) << log;
    ASSERT_TRUE(kestrom_->write_stdin("quit\n"));
    EXPECT_EQ(0, kestrom_->wait());

    const auto web = records(test::read_file(report_), "web");
    ASSERT_EQ(1u, web.size());
    EXPECT_EQ("succeeded", web[0]["outcome"]);
    const nlohmann::json files = {
        {{"name", "format.dat"}, {"status", 200}, {"bytes", 0}},
        {{"name", "index.htm"}, {"status", 200}, {"bytes", index.size()}},
        {{"name", "img\\logo.png"}, {"status", 200}, {"bytes", logo.size()}}};
    EXPECT_EQ(files, web[0]["files"]);
}

}  // namespace
