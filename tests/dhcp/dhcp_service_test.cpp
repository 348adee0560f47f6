#include "dhcp/dhcp_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "dhcp/dhcp_service_loop.h"
#include "dhcp/lease_table.h"
#include "dhcp_test_util.h"
#include "test_support.h"

namespace dhcp {
namespace {

using test::address;

TEST(ChooseInterface, TakesTheFirstInterfaceUpWhoseOwnNetworkHoldsThePoolStart) {
    constexpr std::uint32_t k24 = 0xffffff00, k16 = 0xffff0000, k8 = 0xff000000;
    const platform::Ipv4Interface lo{"lo", address(127, 0, 0, 1), k8};
    const platform::Ipv4Interface office{"lan0", address(10, 0, 0, 5), k24};
    const platform::Ipv4Interface home{"lan0", address(192, 168, 178, 5), k24};
    const platform::Ipv4Interface lab{"v0", address(192, 168, 1, 10), k24};
    const platform::Ipv4Interface wide{"v1", address(192, 168, 0, 10), k16};
    platform::Ipv4Interface lab_down = lab;
    lab_down.name = "v2";
    lab_down.up = false;
    const platform::Ipv4Interface no_mask{"ppp0", address(192, 168, 1, 1), 0};
    struct Case {
        const char* what;
        std::vector<platform::Ipv4Interface> interfaces;
        const char* pool_start;
        const char* chosen;  // nullptr: none
    };
    const Case cases[] = {
        {"the controller's network after the office's", {lo, office, lab}, "192.168.1.50", "v0"},
        {"a home network alike in two fields is not it", {lo, home}, "192.168.1.50", nullptr},
        {"a wider mask holds it", {lo, home, wide}, "192.168.1.50", "v1"},
        {"the first of two that hold it", {wide, lab}, "192.168.1.50", "v1"},
        {"an interface that is down is passed over", {lab_down, lab}, "192.168.1.50", "v0"},
        {"only down", {lab_down}, "192.168.1.50", nullptr},
        {"a netmask of 0.0.0.0 holds nothing", {no_mask}, "192.168.1.50", nullptr},
        {"no addresses", {}, "192.168.1.50", nullptr},
        {"a short pool start reads missing fields as 0", {lo, office, lab}, "10", "lan0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto chosen = choose_interface(c.interfaces, c.pool_start);
        if (c.chosen == nullptr) {
            EXPECT_FALSE(chosen) << chosen->name;
        } else {
            ASSERT_TRUE(chosen);
            EXPECT_EQ(c.chosen, chosen->name);
        }
    }
}

TEST(PoolNetworkText, IsThePoolStartUnderTheNetmaskSetting) {
    EXPECT_EQ("192.168.1.0/24", pool_network_text("192.168.1.50", "255.255.255.0"));
    EXPECT_EQ("10.9.0.0/16", pool_network_text("10.9.1.50", "255.255.0.0"));
    // A setting that is no mask says what the service compares with instead.
    EXPECT_EQ("the network of 192.168.1.50", pool_network_text("192.168.1.50", "255.0.255.0"));
    EXPECT_EQ("the network of 192.168.1.50", pool_network_text("192.168.1.50", ""));
}

TEST(DhcpService, StartsServingAndStopsWhenAsked) {
    ::test::CapturedLog log;
    // Port 0: an ephemeral port, so nothing else on this host is disturbed and no reply is sent.
    DhcpService service(DhcpServiceOptions{0, 0});
    EXPECT_TRUE(service.wait_serving(std::chrono::seconds(5)));
    service.stop();
    service.stop();  // a second stop is harmless
    EXPECT_EQ(std::string::npos, log.text().find("Can't"));
}

// With every descriptor in use the stop request's wake-up line cannot be made; the request
// must end the loop all the same. Runs in a child process, which alone runs out of descriptors.
TEST(DhcpService, StopsWhenItsWakeUpLineCouldNotBeMade) {
    EXPECT_EXIT(
        {
            ::alarm(10);  // a loop that never ends fails the test instead of hanging it
            std::vector<int> taken;
            for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
            StopRequest stop;
            if (stop.waker.valid()) std::_Exit(3);
            for (int i = 0; i < 8 && !taken.empty(); ++i, taken.pop_back()) ::close(taken.back());

            std::atomic<bool> serving{false};
            std::thread loop([&] {
                (void)dhcp_service_loop(DhcpServiceOptions{0, 0}, stop, [&] { serving = true; });
            });
            if (!::test::wait_until([&] { return serving.load(); }, std::chrono::seconds(5))) {
                std::fputs("the loop did not start serving within 5 s\n", stderr);
                std::_Exit(4);
            }
            stop.request();
            loop.join();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- the service inside network namespaces, against real clients ----

std::string peer_path() {
    return (::test::build_dir() / "dhcp_service_peer").string();
}
std::string probe_path() {
    return (::test::build_dir() / "dhcp_probe").string();
}

// A server namespace (192.168.1.10/24) and a client namespace joined by a veth pair. The client
// namespace gets its own /etc/netns overlay so a client never writes the host's resolv.conf.
class ServiceNetwork : public ::testing::Test {
protected:
    void SetUp() override { KESTROM_NEEDS_NETNS(); }
    void TearDown() override {
        peers_.clear();
        if (!overlay_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(overlay_, ec);
        }
    }

    // client_address empty: the client side has no address, as a booting controller.
    void make_network(const std::string& client_address = "") {
        server_ = std::make_unique<::test::NetNs>("dsrv");
        client_ = std::make_unique<::test::NetNs>("dcli");
        ASSERT_TRUE(::test::connect_veth(*server_, "192.168.1.10/24", *client_, client_address,
                                         &server_if_, &client_if_));
        overlay_ = std::filesystem::path("/etc/netns") / client_->name();
        std::filesystem::create_directories(overlay_);
        std::ofstream(overlay_ / "resolv.conf").flush();
    }

    // Starts the service in the server namespace and waits for the end of its start.
    ::test::ChildProcess& start_peer(const std::string& args = "", bool expect_serving = true) {
        peers_.push_back(std::make_unique<::test::ChildProcess>(
            server_->exec() + peer_path() + " " + args, true));
        ::test::ChildProcess& peer = *peers_.back();
        EXPECT_TRUE(peer.wait_for_output("serving\n")) << peer.output();
        if (expect_serving) {
            EXPECT_EQ(std::string::npos, peer.output().find("not serving")) << peer.output();
        }
        return peer;
    }

    ::test::CommandResult probe(const std::string& args,
                                const std::string& server = "192.168.1.10") const {
        return ::test::run_command(client_->exec() + probe_path() + " --server " + server + " " +
                                   args);
    }

    std::unique_ptr<::test::NetNs> server_, client_;
    std::string server_if_, client_if_;
    std::filesystem::path overlay_;
    std::vector<std::unique_ptr<::test::ChildProcess>> peers_;
    ::test::TempDir dir_;
};

TEST_F(ServiceNetwork, BusyboxUdhcpcObtainsTheFirstPoolAddressAndTheBootFile) {
    make_network();
    ::test::ChildProcess& peer = start_peer();
    const auto events = dir_ / "events";
    const auto script =
        dir_.write("udhcpc.sh",
                   "#!/bin/sh\necho \"$1 ip=$ip siaddr=$siaddr boot_file=$boot_file "
                   "subnet=$subnet lease=$lease\" >> " +
                       events.string() + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);

    const auto result =
        ::test::run_command(client_->exec() + "busybox udhcpc -f -q -n -t 3 -T 2 -i " + client_if_ +
                            " -s " + script.string());
    EXPECT_EQ(0, result.status) << result.output;
    EXPECT_NE(std::string::npos,
              ::test::read_file(events).find("bound ip=192.168.1.50 siaddr=192.168.1.10 "
                                             "boot_file=zorva.bin subnet=255.255.255.0 lease=30"))
        << ::test::read_file(events) << result.output;

    const std::string log = peer.output();
    EXPECT_NE(std::string::npos, log.find("TFTP Daemon Binding to 192.168.1.10\n")) << log;
    EXPECT_NE(std::string::npos, log.find("Assigning Dynamic IP! \n")) << log;
}

TEST_F(ServiceNetwork, IscDhclientObtainsTheFirstPoolAddressAndTheBootFile) {
    make_network();
    ::test::ChildProcess& peer = start_peer();
    const auto events = dir_ / "events";
    const auto script =
        dir_.write("dhclient.sh",
                   "#!/bin/sh\necho \"$reason ip=$new_ip_address next=$new_next_server "
                   "file=$new_filename\" >> " +
                       events.string() + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    const auto config = dir_.write("dhclient.conf", "");

    ::test::ChildProcess client(client_->exec() + "dhclient -d -1 -sf " + script.string() +
                                " -lf " + (dir_ / "leases").string() + " -pf " +
                                (dir_ / "pid").string() + " -cf " + config.string() + " " +
                                client_if_);
    EXPECT_TRUE(::test::wait_for_text(
        events, "BOUND ip=192.168.1.50 next=192.168.1.10 file=zorva.bin", std::chrono::seconds(20)))
        << "dhclient bound no lease within 20 s\n"
        << ::test::read_file(events) << client.output();

    const std::string log = peer.output();
    EXPECT_NE(std::string::npos, log.find("TFTP Daemon Binding to 192.168.1.10\n")) << log;
    EXPECT_NE(std::string::npos, log.find("Assigning Dynamic IP! \n")) << log;
}

// A client that holds its address renews by unicast from it, under an xid that no entry of a
// restarted service carries: the NAK goes to its ciaddr, port 68, where the client must hear it
// (a NAK sent anywhere else leaves it holding an address the server no longer knows).
TEST_F(ServiceNetwork, ARenewingClientHearsItsNakAtItsAddress) {
    make_network();
    ::test::ChildProcess* peer = &start_peer();
    const auto events = dir_ / "events";
    // The client takes the address it was given, so that it can renew from it.
    const auto script = dir_.write(
        "dhclient.sh", "#!/bin/sh\necho \"$reason ip=$new_ip_address\" >> " + events.string() +
                           "\n[ \"$reason\" = BOUND ] && ip addr replace \"$new_ip_address/24\" "
                           "dev \"$interface\"\nexit 0\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    // Renewing 2 s after each binding instead of half-way through the 30 s lease.
    const auto config = dir_.write("dhclient.conf", "supersede dhcp-renewal-time 2;\n");
    ::test::ChildProcess client(client_->exec() + "dhclient -d -1 -sf " + script.string() +
                                " -lf " + (dir_ / "leases").string() + " -pf " +
                                (dir_ / "pid").string() + " -cf " + config.string() + " " +
                                client_if_);
    ASSERT_TRUE(::test::wait_for_text(events, "BOUND ip=192.168.1.50\n", std::chrono::seconds(20)))
        << "dhclient bound no address within 20 s\n"
        << ::test::read_file(events) << client.output();

    // The restarted service holds a fresh table: the next renewal is refused.
    peer->close_stdin();
    ASSERT_EQ(0, peer->wait()) << peer->output();
    peer = &start_peer();
    EXPECT_TRUE(client.wait_for_output("DHCPNAK from 192.168.1.10", std::chrono::seconds(8)))
        << "the renewing client heard no NAK within 8 s of the restart\n"
        << ::test::read_file(events) << client.output() << peer->output();
}

TEST_F(ServiceNetwork, AnswersADiscoverNormallyAfterRandomDatagrams) {
    make_network("192.168.1.20/24");
    // A pool far larger than the DISCOVERs that random bytes may hold.
    ::test::ChildProcess& peer = start_peer("--set PoolSize=200");
    const auto result = probe("--noise 400 --seed 4242");
    ASSERT_EQ(0, result.status) << result.output << peer.output();
    EXPECT_NE(std::string::npos, result.output.find("siaddr=192.168.1.10 sname=Kestrom 1.0 "
                                                    "file=zorva.bin"))
        << result.output;
    EXPECT_NE(std::string::npos, result.output.find("OFFER yiaddr=192.168.1."));
    EXPECT_EQ(std::string::npos, peer.output().find("Can't")) << peer.output();
}

TEST_F(ServiceNetwork, ReadsTheMissingTailOfAShortDatagramAsZeros) {
    make_network("192.168.1.20/24");
    ::test::ChildProcess& peer = start_peer("--trace");
    const auto result = probe("--short");
    ASSERT_EQ(0, result.status) << result.output << peer.output();
    EXPECT_NE(std::string::npos,
              result.output.find("OFFER yiaddr=192.168.1.50 siaddr=192.168.1.10 sname=Kestrom 1.0 "
                                 "file=zorva.bin"))
        << result.output;
    // The 100 bytes that came end before the cookie: the previous OFFER's cookie and options
    // must not stand in for it.
    const std::string tail =
        "write_packet [end]\nprocess_dhcp_packet [end]!\n"
        "parse_dhcp_options [begin]!\nNo magic cookie! Aborting! \n";
    EXPECT_TRUE(peer.wait_for_output(tail)) << peer.output();
}

TEST_F(ServiceNetwork, ABootLoaderThatRequestsUnderAnEarlierXidGetsItsOfferButNoOtherAddress) {
    make_network("192.168.1.20/24");
    ::test::ChildProcess& peer = start_peer();
    const auto result = probe("--boot-retry");
    ASSERT_EQ(0, result.status) << result.output << peer.output();
    EXPECT_NE(std::string::npos, result.output.find("ACK yiaddr=192.168.1.50\nNAK\n"))
        << result.output;
}

// No interface in the pool's network: one waiting line, nothing answered. The address that
// appears later is served within a second, and its leaving puts the service back to waiting;
// with the kernel's reports and with the half-second look that Windows has, which a steady
// stream of datagrams to port 67 must not hold off.
TEST_F(ServiceNetwork, WaitsForThePoolsNetworkAndFollowsItsAddress) {
    make_network("10.20.0.30/24");
    ASSERT_EQ(0, client_->run("ip addr add 192.168.1.20/24 dev " + client_if_).status);
    // Refusals while no service holds the port fail a write or two, never the stream.
    ::test::ChildProcess stream(client_->exec() +
                                "bash -c 'exec 3>/dev/udp/192.168.1.10/67; "
                                "while :; do printf x >&3; sleep 0.02; done 2>/dev/null'");
    const std::string waiting = "DHCP Waiting for an interface in 10.20.0.0/24\n";
    for (const char* mode : {"", "--poll "}) {
        SCOPED_TRACE(*mode ? "looking every half second" : "woken by the kernel's reports");
        ::test::ChildProcess& peer =
            start_peer(std::string(mode) + "--set ZorvaIPStartAddress=10.20.0.50");
        ASSERT_TRUE(peer.wait_for_output(waiting)) << peer.output();
        EXPECT_EQ(std::string::npos, peer.output().find("TFTP Daemon Binding")) << peer.output();

        ASSERT_EQ(0, server_->run("ip addr add 10.20.0.1/24 dev " + server_if_).status);
        ASSERT_TRUE(peer.wait_for_output("TFTP Daemon Binding to 10.20.0.1\n",
                                         std::chrono::milliseconds(1000)))
            << "the new address was not taken within 1 s\n"
            << peer.output();
        const auto result = probe("", "10.20.0.1");
        ASSERT_EQ(0, result.status) << result.output << peer.output();
        EXPECT_NE(std::string::npos, result.output.find("OFFER yiaddr=10.20.0.50 siaddr=10.20.0.1"))
            << result.output;

        ASSERT_EQ(0, server_->run("ip addr del 10.20.0.1/24 dev " + server_if_).status);
        std::string out;
        EXPECT_TRUE(::test::wait_until(
            [&] { return (out = peer.output()).find(waiting) != out.rfind(waiting); },
            std::chrono::seconds(1), std::chrono::milliseconds(20)))
            << "no second waiting line within 1 s of the address's leaving\n"
            << out;
        peer.close_stdin();
        EXPECT_EQ(0, peer.wait());
    }
}

TEST_F(ServiceNetwork, ReportsAPortHeldByAnotherProgramAndEndsOnlyTheService) {
    make_network();
    ::test::ChildProcess& first = start_peer();
    ::test::ChildProcess& second = start_peer("", false);
    EXPECT_TRUE(second.wait_for_output("DHCP Can't bind - port already in use\nnot serving\n"))
        << second.output();
    // The process goes on (the rest of the tool would keep running) until told to end.
    second.close_stdin();
    EXPECT_EQ(0, second.wait());
    first.close_stdin();
    EXPECT_EQ(0, first.wait());
}

TEST_F(ServiceNetwork, SaysWhenPort67NeedsPrivilegeRatherThanThatItIsInUse) {
    make_network();
    peers_.push_back(std::make_unique<::test::ChildProcess>(
        server_->exec() + "setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all " +
            peer_path(),
        true));
    ::test::ChildProcess& peer = *peers_.back();
    EXPECT_TRUE(peer.wait_for_output(
        "DHCP Can't bind - port 67 needs root or the CAP_NET_BIND_SERVICE capability\n"))
        << peer.output();
    EXPECT_EQ(std::string::npos, peer.output().find("already in use"));
}

TEST_F(ServiceNetwork, ReportsASocketThatCannotBeMadeAndEndsOnlyTheService) {
    make_network();
    ::test::ChildProcess& peer = start_peer("--leave-two-descriptors", false);
    EXPECT_TRUE(peer.wait_for_output("not serving\n")) << peer.output();
    const std::string out = peer.output();
    EXPECT_NE(std::string::npos, out.find("socket: Too many open files\n")) << out;
    EXPECT_NE(std::string::npos, out.find("DHCP Can't create socket - Too many open files\n"))
        << out;
    // The process lives on; it ends when told to, with status 0.
    peer.close_stdin();
    EXPECT_EQ(0, peer.wait());
}

}  // namespace
}  // namespace dhcp
