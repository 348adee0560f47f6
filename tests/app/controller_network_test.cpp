// A technician's laptop loading a controller: `kestrom serve` in a "pc" namespace whose lan0 is
// on the office network and holds the default route, and whose v0 (192.168.1.10/24) is the
// cable to the controller. The controller boots as on the bench: busybox udhcpc takes a lease
// through a script of the test's own, then busybox tftp fetches zorva.bin from the server the
// lease names, and the copy must be the file. An office PC on lan0 asks for an address too and
// must never hear an offer: the pool belongs to v0's network only. The cases pull and put back
// the cable, add v0's address or the whole adapter after kestrom started, and flap the link in
// the middle of a transfer; kestrom is never restarted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "temp_hive.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kBinding = "TFTP Daemon Binding to 192.168.1.10\n";
constexpr const char* kWaiting = "DHCP Waiting for an interface in 192.168.1.0/24\n";
// What the controller's script writes for the first lease of the pool.
constexpr const char* kLease = "ip=192.168.1.50 siaddr=192.168.1.10\n";

struct OfficeNetwork {
    const char* name;
    const char* pc_address;  // lan0's
    const char* gateway;     // the office PC's address, and the default route
};

void PrintTo(const OfficeNetwork& n, std::ostream* os) {
    *os << n.name;
}

constexpr OfficeNetwork kOffice{"Office", "10.0.0.5/24", "10.0.0.1"};
// Numbered as home routers do: 192.168 as the pool, but another network.
constexpr OfficeNetwork kHomeRouter{"HomeRouter", "192.168.178.5/24", "192.168.178.1"};

std::size_t count(const std::string& text, std::string_view needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class ControllerNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        KESTROM_NEEDS_NETNS();
        pc_ = std::make_unique<test::NetNs>("pc");
        office_ = std::make_unique<test::NetNs>("office");
        controller_ = std::make_unique<test::NetNs>("ctl");
        // The DHCP clients run only the test's scripts; the overlays keep anything else they
        // might write to /etc inside their namespaces.
        for (const test::NetNs* ns : {office_.get(), controller_.get()}) {
            overlays_.push_back(std::filesystem::path("/etc/netns") / ns->name());
            std::filesystem::create_directories(overlays_.back());
            std::ofstream(overlays_.back() / "resolv.conf").flush();
        }
        // Random bytes: a block served twice, skipped or out of place changes the copy.
        firmware_.resize(1024 * 1024);
        std::mt19937 random(20240611);
        for (char& c : firmware_) c = static_cast<char>(random());
        pc_dir_.write("zorva.bin", firmware_);
    }

    void TearDown() override {
        clients_.clear();
        kestrom_.reset();
        for (const auto& overlay : overlays_) {
            std::error_code ec;
            std::filesystem::remove_all(overlay, ec);
        }
    }

    // A veth pair from `pc_if` in the pc namespace to eth0 in `peer`, both ends up; an empty
    // address leaves that end without one.
    void cable(const std::string& pc_if, const std::string& pc_address, const test::NetNs& peer,
               const std::string& peer_address = "") {
        std::vector<std::string> steps = {"ip link add " + pc_if + " netns " + pc_->name() +
                                              " type veth peer name eth0 netns " + peer.name(),
                                          pc_->exec() + "ip link set " + pc_if + " up",
                                          peer.exec() + "ip link set eth0 up"};
        if (!pc_address.empty())
            steps.push_back(pc_->exec() + "ip addr add " + pc_address + " dev " + pc_if);
        if (!peer_address.empty())
            steps.push_back(peer.exec() + "ip addr add " + peer_address + " dev eth0");
        for (const std::string& step : steps) {
            const auto r = test::run_command(step);
            ASSERT_EQ(0, r.status) << step << "\n" << r.output;
        }
    }

    // lan0 on the office network, with the office PC at its gateway.
    void cable_office(const OfficeNetwork& network) {
        ASSERT_NO_FATAL_FAILURE(
            cable("lan0", network.pc_address, *office_, network.gateway + std::string("/24")));
        pc("ip route add default via " + std::string(network.gateway) + " dev lan0");
    }

    // A command in the pc namespace that must succeed.
    void pc(const std::string& command) {
        const auto r = pc_->run(command);
        ASSERT_EQ(0, r.status) << command << "\n" << r.output;
    }

    void start_kestrom() {
        kestrom_ = std::make_unique<test::ChildProcess>(
            "cd " + pc_dir_.path().string() + " && exec " + pc_->exec() +
                (test::build_dir() / "kestrom").string() + " serve",
            /*stdin_pipe=*/true);
        ASSERT_TRUE(kestrom_->wait_for_output("Ready...\n")) << outputs();
    }

    std::string log() const { return kestrom_ ? kestrom_->output() : std::string(); }

    // kestrom's log and every client's output, for the failure messages.
    std::string outputs() const {
        std::string text = "\n--- kestrom serve:\n" + log();
        for (const auto& [label, client] : clients_)
            text += "--- " + label + ":\n" + client->output();
        return text;
    }

    test::ChildProcess& start_client(const std::string& label, const std::string& command) {
        clients_.emplace_back(label, std::make_unique<test::ChildProcess>(command));
        return *clients_.back().second;
    }

    std::filesystem::path script(const std::string& name, const std::string& text) {
        const auto path = client_dir_.write(name, "#!/bin/sh\n" + text);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }

    // The controller's DHCP client: ten discovers a second apart, so it outlasts a server that
    // begins to answer a few seconds late. Its script gives eth0 the leased address and writes
    // the lease down.
    test::ChildProcess& start_controller_dhcp() {
        const auto lease = (client_dir_ / "lease").string();
        const auto path = script("controller.sh",
                                 "[ \"$1\" = bound ] || exit 0\n"
                                 "ip addr add \"$ip/$mask\" dev \"$interface\"\n"
                                 "echo \"ip=$ip siaddr=$siaddr\" > " +
                                     lease + "\n");
        return start_client("controller udhcpc", controller_->exec() +
                                                     "busybox udhcpc -f -q -n -t 10 -T 1 -i eth0 "
                                                     "-s " +
                                                     path.string());
    }

    // The office PC asks for an address on lan0's network: three discovers a second apart.
    test::ChildProcess& start_office_dhcp() {
        const auto path = script("office.sh", "echo \"$1 ip=$ip siaddr=$siaddr\"\n");
        return start_client(
            "office udhcpc",
            office_->exec() + "busybox udhcpc -f -q -n -t 3 -T 1 -i eth0 -s " + path.string());
    }

    // The office PC's client must have run to its end without hearing an offer ("select" is the
    // request that follows one, also when no acknowledgement came).
    void expect_no_offer(test::ChildProcess& office) {
        const int status = office.wait(10s);
        const std::string said = office.output();
        EXPECT_TRUE(status == 1 && said.find("no lease, failing") != std::string::npos &&
                    said.find("select") == std::string::npos)
            << "the office PC was offered an address" << outputs();
    }

    void expect_lease(test::ChildProcess& dhcp) {
        ASSERT_EQ(0, dhcp.wait(15s)) << "the controller got no lease" << outputs();
        ASSERT_EQ(kLease, test::read_file(client_dir_ / "lease")) << outputs();
    }

    // The controller fetches the boot file from the server its lease named.
    void expect_fetch() {
        const auto copy = client_dir_ / "zorva.bin";
        std::filesystem::remove(copy);
        const auto r =
            test::run_command(controller_->exec() + "timeout 40 busybox tftp -g -r zorva.bin -l " +
                              copy.string() + " 192.168.1.10");
        ASSERT_EQ(0, r.status) << "the fetch failed: " << r.output << outputs();
        expect_firmware(test::read_file(copy));
    }

    void expect_boot(test::ChildProcess& dhcp) {
        ASSERT_NO_FATAL_FAILURE(expect_lease(dhcp));
        ASSERT_NO_FATAL_FAILURE(expect_fetch());
    }

    void expect_firmware(const std::string& copy) {
        if (copy == firmware_) return;
        std::size_t at = 0;
        while (at < copy.size() && at < firmware_.size() && copy[at] == firmware_[at]) ++at;
        ADD_FAILURE() << "the copy has " << copy.size() << " bytes, the file " << firmware_.size()
                      << "; they differ from byte " << at << outputs();
    }

    test::TempHive hive_;
    test::TempDir pc_dir_;      // kestrom's current folder, with zorva.bin
    test::TempDir client_dir_;  // the clients' scripts, the lease and the copies
    std::string firmware_;
    std::vector<std::filesystem::path> overlays_;
    // Declared before the processes: the processes end first.
    std::unique_ptr<test::NetNs> pc_, office_, controller_, other_;
    std::unique_ptr<test::ChildProcess> kestrom_;
    std::vector<std::pair<std::string, std::unique_ptr<test::ChildProcess>>> clients_;
};

// ---- the cases that run on either office network ----

class ControllerNetworkOffices : public ControllerNetwork,
                                 public ::testing::WithParamInterface<OfficeNetwork> {};

TEST_P(ControllerNetworkOffices, SteadyLinkBootsTheControllerAndOffersTheOfficeNothing) {
    ASSERT_NO_FATAL_FAILURE(cable_office(GetParam()));
    ASSERT_NO_FATAL_FAILURE(cable("v0", "192.168.1.10/24", *controller_));
    ASSERT_NO_FATAL_FAILURE(start_kestrom());

    // Both ask at once; the office PC's answer is judged first, as a failed boot ends the test.
    test::ChildProcess& controller = start_controller_dhcp();
    expect_no_offer(start_office_dhcp());
    ASSERT_NO_FATAL_FAILURE(expect_boot(controller));
    EXPECT_EQ(1u, count(log(), kBinding)) << outputs();
}

// kestrom started while v0 is cabled but has no address yet, as when the technician starts it
// before the adapter's address is set: the office PC is not answered meanwhile, and the
// controller, asking all along, leases soon after the address appears.
TEST_P(ControllerNetworkOffices, AddressAddedAfterTheStartIsServedWithoutARestart) {
    ASSERT_NO_FATAL_FAILURE(cable_office(GetParam()));
    ASSERT_NO_FATAL_FAILURE(cable("v0", "", *controller_));
    ASSERT_NO_FATAL_FAILURE(start_kestrom());
    const auto started = Clock::now();

    test::ChildProcess& controller = start_controller_dhcp();
    expect_no_offer(start_office_dhcp());

    std::this_thread::sleep_until(started + 3s);
    ASSERT_NO_FATAL_FAILURE(pc("ip addr add 192.168.1.10/24 dev v0"));
    const auto added = Clock::now();
    ASSERT_NO_FATAL_FAILURE(expect_lease(controller));
    EXPECT_LT(seconds_since(added), 5.0) << "the lease came late" << outputs();
    ASSERT_NO_FATAL_FAILURE(expect_fetch());

    EXPECT_EQ(1u, count(log(), kWaiting))
        << "one waiting line while v0 had no address" << outputs();
    EXPECT_EQ(1u, count(log(), kBinding)) << "one binding line once it had" << outputs();
}

INSTANTIATE_TEST_SUITE_P(Networks, ControllerNetworkOffices,
                         ::testing::Values(kOffice, kHomeRouter),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the office network of 10.0.0.0/24, where nothing else shares the pool's first fields ----

TEST_F(ControllerNetwork, CablePulledAndPutBackBootsTheControllerAfterwards) {
    ASSERT_NO_FATAL_FAILURE(cable_office(kOffice));
    ASSERT_NO_FATAL_FAILURE(cable("v0", "192.168.1.10/24", *controller_));
    ASSERT_NO_FATAL_FAILURE(start_kestrom());
    ASSERT_TRUE(kestrom_->wait_for_output(kBinding)) << outputs();

    // As a desktop's network manager does when the cable goes: the link down, the address gone.
    ASSERT_NO_FATAL_FAILURE(pc("ip link set v0 down"));
    ASSERT_NO_FATAL_FAILURE(pc("ip addr del 192.168.1.10/24 dev v0"));
    std::this_thread::sleep_for(2s);
    ASSERT_NO_FATAL_FAILURE(pc("ip link set v0 up"));
    ASSERT_NO_FATAL_FAILURE(pc("ip addr add 192.168.1.10/24 dev v0"));

    ASSERT_NO_FATAL_FAILURE(expect_boot(start_controller_dhcp()));
    EXPECT_EQ(2u, count(log(), kBinding))
        << "the binding line is written at the start and again when the address comes back"
        << outputs();
}

// A USB adapter plugged in while kestrom runs.
TEST_F(ControllerNetwork, AdapterPluggedInAfterTheStartBootsTheController) {
    ASSERT_NO_FATAL_FAILURE(cable_office(kOffice));
    ASSERT_NO_FATAL_FAILURE(start_kestrom());
    EXPECT_TRUE(kestrom_->wait_for_output(kWaiting, 5s))
        << "no waiting line while no interface served" << outputs();

    ASSERT_NO_FATAL_FAILURE(cable("v0", "192.168.1.10/24", *controller_));
    ASSERT_NO_FATAL_FAILURE(expect_boot(start_controller_dhcp()));
    EXPECT_EQ(1u, count(log(), kBinding)) << "one binding line once v0 came" << outputs();
}

// The link goes down and up while the controller's fetch is under way (v0 keeps its address).
// The transfer goes on to the end: the TFTP socket is bound to every address, so it does not
// follow the DHCP service's choice; the kernel gives v0 its routes back when the link comes up;
// and a lost datagram costs only a retransmission, while each side bears far longer silences than
// the 2 s outage (busybox tftp gives up after about 13 s, the service after 20 s).
TEST_F(ControllerNetwork, LinkFlapDuringATransferLeavesTheCopyWhole) {
    ASSERT_NO_FATAL_FAILURE(cable_office(kOffice));
    ASSERT_NO_FATAL_FAILURE(cable("v0", "192.168.1.10/24", *controller_));
    ASSERT_NO_FATAL_FAILURE(start_kestrom());
    ASSERT_NO_FATAL_FAILURE(expect_lease(start_controller_dhcp()));

    // The client writes the copy into a pipe that is read only after the link went down: once
    // the pipe is full, the client stops before its next ACK, with the transfer under way.
    const auto fifo = client_dir_ / "copy";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600)) << std::strerror(errno);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0) << std::strerror(errno);
    const int capacity = ::fcntl(reader, F_GETPIPE_SZ);
    test::ChildProcess& fetch =
        start_client("controller tftp", "exec " + controller_->exec() +
                                            "timeout 60 busybox tftp -g -r zorva.bin -l - "
                                            "192.168.1.10 >" +
                                            fifo.string());
    int queued = 0;
    (void)test::wait_until(
        [&] { return ::ioctl(reader, FIONREAD, &queued) != 0 || queued >= capacity; }, 10s, 5ms);
    EXPECT_EQ(capacity, queued) << "the pipe did not fill within 10 s" << outputs();

    pc("ip link set v0 down");
    const auto down = Clock::now();
    bool up = false;
    std::string copy;
    char buffer[65536];
    // Read until the client ends; the link comes back 2 s after it went.
    for (const auto end = Clock::now() + 60s; Clock::now() < end;) {
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0) {
            copy.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0 || errno != EAGAIN) break;  // the end of the copy, or a failed read
        if (!up && Clock::now() >= down + 2s) {
            pc("ip link set v0 up");
            up = true;
        }
        std::this_thread::sleep_for(5ms);
    }
    ::close(reader);
    EXPECT_TRUE(up) << "the copy ended while the link was down: the outage missed the transfer"
                    << outputs();
    EXPECT_EQ(0, fetch.wait(5s)) << "the fetch failed" << outputs();
    expect_firmware(copy);
    EXPECT_TRUE(kestrom_->wait_for_output(" Blocks Served\n", 2s)) << outputs();
}

// Of the laptop's three interfaces only the last serves the pool: lan0 on a home router's
// 192.168.178.0/24 and v1 on 172.16.0.0/24 come first in the kernel's order.
TEST_F(ControllerNetwork, OnlyTheInterfaceOnThePoolsNetworkServes) {
    other_ = std::make_unique<test::NetNs>("other");
    ASSERT_NO_FATAL_FAILURE(cable_office(kHomeRouter));
    ASSERT_NO_FATAL_FAILURE(cable("v1", "172.16.0.10/24", *other_, "172.16.0.20/24"));
    ASSERT_NO_FATAL_FAILURE(cable("v0", "192.168.1.10/24", *controller_));
    ASSERT_NO_FATAL_FAILURE(start_kestrom());

    ASSERT_NO_FATAL_FAILURE(expect_boot(start_controller_dhcp()));
    EXPECT_TRUE(count(log(), "TFTP Daemon Binding to ") == 1 && count(log(), kBinding) == 1)
        << "the service bound another address than v0's, or more than one" << outputs();
}

}  // namespace
