#include "platform/net.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "test_support.h"

namespace platform {
namespace {

TEST(Dotted, ConvertsBothWays) {
    EXPECT_EQ("192.168.1.50", to_dotted(0xc0a80132));
    EXPECT_EQ("0.0.0.0", to_dotted(0));
    EXPECT_EQ(0xc0a80132u, parse_dotted("192.168.1.50"));
    EXPECT_EQ(0xffffffffu, parse_dotted("255.255.255.255"));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.256", "a.b.c.d", " 1.2.3.4", "1.2.3.4x",
                            "1..3.4", "1.2.3.0004", "1.2.3.-4"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parse_dotted(bad));
    }
}

TEST(InetAddrValue, FollowsTheCLibrary) {
    EXPECT_EQ(0xc0a80132u, inet_addr_value("192.168.1.50"));
    EXPECT_EQ(0x0a000001u, inet_addr_value("10.1"));
    EXPECT_EQ(0xffffffffu, inet_addr_value("garbage"));
    EXPECT_EQ(0xffffffffu, inet_addr_value(""));
}

TEST(ResolveHost, TakesDottedQuadsAndRefusesEmptyText) {
    EXPECT_EQ(kLoopbackAddress, resolve_host("127.0.0.1"));
    std::string why;
    EXPECT_FALSE(resolve_host("", &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(resolve_host("no-such-host.invalid", &why));
}

TEST(LocalInterfaces, ListLoopback) {
    const auto list = local_ipv4_interfaces();
    ASSERT_TRUE(list);
    bool loopback = false;
    for (const auto& i : *list) loopback |= i.address == kLoopbackAddress;
    EXPECT_TRUE(loopback);
}

TEST(ErrorText, IsTheCLibraryTextAndNeverEmptyForASocketError) {
    EXPECT_EQ("No such file or directory", error_text(ENOENT));
    // Windows: Winsock codes, for several of which Wine's system has no text; then the number
    // and words of ours ("10065 no route to host"), never the number alone.
    std::vector<int> codes = {kErrorTimedOut, kErrorConnectionRefused, kErrorAddressInUse,
                              kErrorWouldBlock};
#if defined(_WIN32)
    codes.insert(codes.end(), {10040, 10051, 10054, 10065});  // too long, unreachable, reset
#endif
    for (const int code : codes) {
        const std::string text = error_text(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(std::string::npos, text.find("Winsock error")) << "no words for " << text;
    }
}

TEST(UdpSocket, SendsAndReceivesOnLoopbackWithThePeerAddress) {
    auto a = UdpSocket::open();
    auto b = UdpSocket::open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(BindError::none, a->bind(kLoopbackAddress, 0));
    ASSERT_EQ(BindError::none, b->bind(kLoopbackAddress, 0));
    const std::uint8_t data[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(5, b->send_to(data, a->local_endpoint()));
    ASSERT_EQ(WaitResult::readable, a->wait_readable(std::chrono::seconds(2)));
    std::uint8_t small[3];
    Endpoint from;
    // A datagram longer than the buffer comes back cut, not as an error (Winsock fails it with
    // WSAEMSGSIZE), and the rest of it is gone: the next receive takes the next datagram.
    int error = 0;
    EXPECT_EQ(3, a->receive_from(small, &from, &error)) << error_text(error);
    EXPECT_EQ(b->local_endpoint(), from);
    const std::uint8_t next[] = {9, 8};
    ASSERT_EQ(2, b->send_to(next, a->local_endpoint()));
    ASSERT_EQ(WaitResult::readable, a->wait_readable(std::chrono::seconds(2)));
    EXPECT_EQ(2, a->receive_from(small, &from));
    EXPECT_EQ(9, small[0]);
    EXPECT_EQ(WaitResult::timeout, a->wait_readable(std::chrono::milliseconds(10)));
}

// Windows reports the ICMP port unreachable that a send draws as a failure (WSAECONNRESET) of
// the socket's next receive unless that is turned off; the socket must go on taking datagrams.
TEST(UdpSocket, KeepsReceivingAfterASendToAClosedPort) {
    auto a = UdpSocket::open();
    auto peer = UdpSocket::open();
    ASSERT_TRUE(a && peer);
    ASSERT_EQ(BindError::none, a->bind(kLoopbackAddress, 0));
    ASSERT_EQ(BindError::none, peer->bind(kLoopbackAddress, 0));
    Endpoint closed;
    {
        auto gone = UdpSocket::open();
        ASSERT_TRUE(gone);
        ASSERT_EQ(BindError::none, gone->bind(kLoopbackAddress, 0));
        closed = gone->local_endpoint();
    }
    const std::uint8_t ping[] = {7};
    ASSERT_EQ(1, a->send_to(ping, closed));
    // A second datagram, sent after the first, reaches the peer after the report reached `a`;
    // the peer's answer comes later still.
    ASSERT_EQ(1, a->send_to(ping, peer->local_endpoint()));
    ASSERT_EQ(WaitResult::readable, peer->wait_readable(std::chrono::seconds(2)));
    std::uint8_t got[4];
    ASSERT_EQ(1, peer->receive_from(got, nullptr));
    ASSERT_EQ(1, peer->send_to(ping, a->local_endpoint()));
    ASSERT_EQ(WaitResult::readable, a->wait_readable(std::chrono::seconds(2)));
    Endpoint from;
    int error = 0;
    EXPECT_EQ(1, a->receive_from(got, &from, &error)) << error_text(error);
    EXPECT_EQ(peer->local_endpoint(), from);
}

TEST(UdpSocket, BatchCallsKeepOrderCutLongDatagramsAndSkipARefusedOne) {
    auto a = UdpSocket::open();
    auto b = UdpSocket::open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(BindError::none, a->bind(kLoopbackAddress, 0));
    ASSERT_EQ(BindError::none, b->bind(kLoopbackAddress, 0));
    std::array<ReceiveSlot, 100> slots;
    std::vector<std::array<std::uint8_t, 8>> areas(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i].into = areas[i];
    EXPECT_EQ(0, a->try_receive_many(slots));  // nothing queued: no wait, no error

    // More datagrams than one system call takes (64), datagram i of i % 12 bytes, each byte i;
    // one of them to port 0, which the kernel refuses.
    constexpr std::size_t kCount = 90, kRefused = 40;
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<SendSlot> out;
    for (std::size_t i = 0; i < kCount; ++i)
        payloads.emplace_back(i % 12, static_cast<std::uint8_t>(i));
    for (std::size_t i = 0; i < kCount; ++i)
        out.push_back(
            {payloads[i], i == kRefused ? Endpoint{kLoopbackAddress, 0} : a->local_endpoint()});
    int error = 0;
    EXPECT_EQ(static_cast<int>(kCount - 1), b->send_many(out, &error));
    EXPECT_NE(0, error);  // EINVAL on Linux; Winsock's code on Windows

    std::size_t got = 0;
    std::vector<std::size_t> expected;
    for (std::size_t i = 0; i < kCount; ++i)
        if (i != kRefused) expected.push_back(i);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got < expected.size() && std::chrono::steady_clock::now() < deadline) {
        if (a->wait_readable(std::chrono::milliseconds(100)) != WaitResult::readable) continue;
        const int n = a->try_receive_many(slots);
        ASSERT_GE(n, 0);
        for (int k = 0; k < n && got < expected.size(); ++k, ++got) {
            const std::size_t i = expected[got];
            SCOPED_TRACE(i);
            const ReceiveSlot& slot = slots[static_cast<std::size_t>(k)];
            EXPECT_EQ(b->local_endpoint(), slot.from);
            ASSERT_EQ(static_cast<int>(std::min<std::size_t>(i % 12, 8)), slot.length);
            for (int j = 0; j < slot.length; ++j)
                EXPECT_EQ(static_cast<std::uint8_t>(i), slot.into[static_cast<std::size_t>(j)]);
        }
    }
    EXPECT_EQ(expected.size(), got);
}

// The DHCP service's tie to one interface, named as the list names it (on Windows a friendly
// name that has to lead back to the adapter's index), still takes what is sent to it.
TEST(UdpSocket, TiedToTheLoopbackInterfaceStillReceives) {
    const auto list = local_ipv4_interfaces();
    ASSERT_TRUE(list);
    const auto lo = std::ranges::find(*list, kLoopbackAddress, &Ipv4Interface::address);
    ASSERT_NE(list->end(), lo);
    auto tied = UdpSocket::open();
    auto peer = UdpSocket::open();
    ASSERT_TRUE(tied && peer);
    int error = 0;
    if (!tied->bind_to_device(lo->name, &error) && error == EPERM)
        GTEST_SKIP() << "tying a socket to an interface needs CAP_NET_RAW";
    ASSERT_EQ(0, error) << error_text(error);
    ASSERT_EQ(BindError::none, tied->bind(tied_bind_address(*lo), 0));
    ASSERT_EQ(BindError::none, peer->bind(kLoopbackAddress, 0));
    const std::uint8_t ping[] = {1};
    ASSERT_EQ(1, peer->send_to(ping, {kLoopbackAddress, tied->local_endpoint().port}));
    ASSERT_EQ(WaitResult::readable, tied->wait_readable(std::chrono::seconds(2)));
    std::uint8_t got[4];
    EXPECT_EQ(1, tied->receive_from(got, nullptr));
}

TEST(UdpSocket, ReportsWhyABindFailed) {
    auto a = UdpSocket::open();
    auto b = UdpSocket::open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(BindError::none, a->bind(kLoopbackAddress, 0));
    int error = 0;
    EXPECT_EQ(BindError::in_use, b->bind(kLoopbackAddress, a->local_endpoint().port, &error));
    EXPECT_EQ(kErrorAddressInUse, error);
}

TEST(Waker, EndsAWaitEarly) {
    auto s = UdpSocket::open();
    ASSERT_TRUE(s);
    ASSERT_EQ(BindError::none, s->bind(kLoopbackAddress, 0));
    Waker waker;
    waker.signal();
    EXPECT_EQ(WaitResult::woken, s->wait_readable(std::chrono::seconds(5), &waker));
    waker.clear();
    EXPECT_EQ(WaitResult::timeout, s->wait_readable(std::chrono::milliseconds(10), &waker));
}

TEST(Tcp, ConnectsSendsAndSeesThePeerClose) {
    auto listener = TcpListener::listen(kLoopbackAddress, 0);
    ASSERT_TRUE(listener);
    auto client = TcpSocket::connect(listener->local_endpoint());
    ASSERT_TRUE(client);
    auto server = listener->accept();
    ASSERT_TRUE(server);
    EXPECT_TRUE(client->send_all("hello"));
    char buffer[16];
    int got = 0;
    while (got < 5) {
        const int n = server->receive(std::span(buffer + got, sizeof buffer - got));
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ("hello", std::string(buffer, 5));
    server->close();
    EXPECT_EQ(0, client->receive(std::span(buffer)));
}

TEST(Tcp, ReportsARefusedConnection) {
    Endpoint closed;
    {
        auto listener = TcpListener::listen(kLoopbackAddress, 0);
        ASSERT_TRUE(listener);
        closed = listener->local_endpoint();
    }
    int error = 0;
    EXPECT_FALSE(TcpSocket::connect(closed, &error));
    EXPECT_EQ(kErrorConnectionRefused, error);
}

// 192.0.2.0/24 is for documentation only: no system has talked to it. Under Wine the table may
// be empty or unreadable; either way the answer is nothing, not a crash.
TEST(HardwareAddressOf, GivesNothingForAnAddressNeverContacted) {
    EXPECT_FALSE(hardware_address_of(0xc00002fe));
}

#if !defined(_WIN32)
// The PC's namespace and a peer's, on a veth pair of the test's own. The peer's entry appears
// once a TCP connect needed it; entries put in by hand count in the states whose hardware
// address is known; an address whose ARP nobody answers, or that nobody contacted, gives nothing.
TEST(HardwareAddressOf, ReadsTheNeighbourTableInTheUsableStatesOnly) {
    KESTROM_NEEDS_NETNS();
    using namespace std::chrono_literals;
    test::NetNs pc("neigh"), peer("neighpeer");
    std::string pc_if, peer_if;
    ASSERT_TRUE(test::connect_veth(pc, "10.231.0.1/24", peer, "10.231.0.2/24", &pc_if, &peer_if));
    const auto sysfs = peer.run("cat /sys/class/net/" + peer_if + "/address");
    ASSERT_EQ(0, sysfs.status) << sysfs.output;
    const std::string peer_mac = sysfs.output.substr(0, sysfs.output.find_first_of("\r\n"));
    for (const char* command :
         {"ip neigh add 10.231.0.5 lladdr 02:4b:53:00:00:05 nud permanent dev ",
          "ip neigh add 10.231.0.6 lladdr 02:4b:53:0a:0b:06 nud stale dev "}) {
        const auto added = pc.run(command + pc_if);
        ASSERT_EQ(0, added.status) << command << ": " << added.output;
    }

    ASSERT_TRUE(pc.run_inside([&] {
        const std::uint32_t peer_address = 0x0ae70002;  // 10.231.0.2
        EXPECT_FALSE(hardware_address_of(peer_address)) << "an entry before any contact";
        int error = 0;
        // Refused (nothing listens), but the SYN needed the peer's hardware address first.
        EXPECT_FALSE(TcpSocket::connect({peer_address, 9}, &error, 2s));
        EXPECT_EQ(kErrorConnectionRefused, error) << error_text(error);
        // Nobody holds .3: its entry stays INCOMPLETE while the connect waits, then FAILED.
        EXPECT_FALSE(TcpSocket::connect({0x0ae70003, 9}, &error, 300ms));

        const struct {
            std::uint32_t address;
            const char* expected;  // "" for nothing
            const char* what;
        } cases[] = {
            {peer_address, peer_mac.c_str(), "the peer after a TCP connect (REACHABLE)"},
            {0x0ae70005, "02:4b:53:00:00:05", "a PERMANENT entry"},
            {0x0ae70006, "02:4b:53:0a:0b:06", "a STALE entry"},
            {0x0ae70003, "", "an address nobody answered (INCOMPLETE or FAILED)"},
            {0x0ae70004, "", "an address never contacted"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            const auto mac = hardware_address_of(c.address);
            EXPECT_EQ(c.expected, mac ? to_text(*mac) : std::string())
                << pc.run("ip neigh show").output;
        }
    }));
}
#endif

}  // namespace
}  // namespace platform
