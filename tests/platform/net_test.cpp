#include "platform/net.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/socket.h"

namespace platform {
namespace {

TEST(Dotted, ConvertsBothWays) {
    EXPECT_EQ("192.168.1.50", to_dotted(0xc0a80132));
    EXPECT_EQ("0.0.0.0", to_dotted(0));
    EXPECT_EQ(0xc0a80132u, parse_dotted("192.168.1.50"));
    EXPECT_EQ(0xffffffffu, parse_dotted("255.255.255.255"));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.256", "a.b.c.d", " 1.2.3.4",
                            "1.2.3.4x", "1..3.4", "1.2.3.0004", "1.2.3.-4"}) {
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

TEST(ErrorText, IsTheCLibraryText) {
    EXPECT_EQ("No such file or directory", error_text(ENOENT));
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
    // A datagram longer than the buffer comes back cut, not as an error.
    EXPECT_EQ(3, a->receive_from(small, &from));
    EXPECT_EQ(b->local_endpoint(), from);
    EXPECT_EQ(WaitResult::timeout, a->wait_readable(std::chrono::milliseconds(10)));
}

TEST(UdpSocket, ReportsWhyABindFailed) {
    auto a = UdpSocket::open();
    auto b = UdpSocket::open();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(BindError::none, a->bind(kLoopbackAddress, 0));
    int error = 0;
    EXPECT_EQ(BindError::in_use, b->bind(kLoopbackAddress, a->local_endpoint().port, &error));
    EXPECT_EQ(EADDRINUSE, error);
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
    EXPECT_EQ(ECONNREFUSED, error);
}

}  // namespace
}  // namespace platform
