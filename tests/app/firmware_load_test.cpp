// A whole firmware load, end to end, as on the bench: kestrom serve on the technician's PC
// (192.168.1.10) and the simulated controller (192.168.1.50) in two network namespaces joined by
// a veth pair. The update command goes over the controller's shell; the controller then
// "reboots": it drops its address, asks for one with a real DHCP client and reads the boot file
// named in the reply from the next server with a real TFTP client.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "temp_hive.h"
#include "test_support.h"

namespace {

std::string binary(const char* name) { return (test::build_dir() / name).string(); }

bool wait_for_file(const std::filesystem::path& p, std::string_view needle,
                   std::chrono::seconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (test::read_file(p).find(needle) != std::string::npos) return true;
        ::usleep(50'000);
    }
    return false;
}

std::string random_bytes(std::size_t size) {
    std::mt19937_64 rng(20261207);
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    return bytes;
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
                " serve 2>" + (pc_dir_ / "stderr").string(),
            /*stdin_pipe=*/true);
        ASSERT_TRUE(kestrom_->wait_for_output("TFTP Daemon Binding to 192.168.1.10\n"))
            << kestrom_->output();
    }

    // The controller after its reboot: a DHCP lease, then the boot file from the next server.
    void reboot_controller() {
        ASSERT_EQ(0, controller_->run("ip addr flush dev " + controller_if_).status);
        const auto lease = ctl_dir_ / "lease";
        const auto script = ctl_dir_.write(
            "udhcpc.sh",
            "#!/bin/sh\n"
            "[ \"$1\" = bound ] || exit 0\n"
            "ip addr add \"$ip/$mask\" dev \"$interface\"\n"
            "echo \"ip=$ip siaddr=$siaddr boot_file=$boot_file\" > " + lease.string() + "\n");
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
    std::string controller_if_;
    std::filesystem::path overlay_;
    test::TempHive hive_;
    test::TempDir pc_dir_, ctl_dir_;
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
    ASSERT_TRUE(wait_for_file(record, "admin\r7305\r1scv\rupdate\ry")) << test::read_file(record);
    sim.reset();  // the controller restarts
    reboot_controller();
    ASSERT_TRUE(kestrom_->wait_for_output(" Blocks Served\n")) << kestrom_->output();
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
}

}  // namespace
