#include "update/telnet_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/net.h"
#include "script_peer.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::ScriptPeer;
using update::CTelnetClient;

// A port on 127.0.0.1 where nobody listens: taken from the system, then given back.
std::uint16_t closed_port() {
    auto listener = platform::TcpListener::listen(platform::kLoopbackAddress, 0);
    return listener->local_endpoint().port;
}

bool send_text(const platform::TcpSocket& s, std::string_view text) {
    return s.send_all(text);
}

// Waits until the client's buffer holds `count` bytes; every wait in these tests has a deadline.
::testing::AssertionResult wait_pending(const CTelnetClient& client, std::size_t count) {
    if (test::wait_until([&] { return client.pending_bytes() >= count; }, 5s, 5ms))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the client's buffer held " << client.pending_bytes()
                                         << " of " << count << " bytes after 5 s";
}

TEST(TelnetClient, AnEmptyCommandSendsNothingAndReturnsTheGreeting) {
    ScriptPeer peer(
        [](const platform::TcpSocket& s, ScriptPeer&) { (void)send_text(s, "Zorva\r\nlogin: "); });
    CTelnetClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    std::string response = "kept:";
    const auto start = Clock::now();
    EXPECT_TRUE(client.SendCommand("", response, true));
    EXPECT_GE(Clock::now() - start, 1s);           // at least one quiet second
    EXPECT_EQ("kept:Zorva\r\nlogin: ", response);  // appended to, not replaced
    client.Close();
    EXPECT_EQ("", peer.received_until_closed());
}

TEST(TelnetClient, ASilentPeerGivesAnEmptyResponseAfterOneQuietSecond) {
    ScriptPeer peer(nullptr);
    CTelnetClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    std::string response;
    const auto start = Clock::now();
    client.SendCommand("1scv", response, true);
    EXPECT_GE(Clock::now() - start, 1s);
    EXPECT_EQ("", response);
    client.Close();
    EXPECT_EQ("1scv\r", peer.received_until_closed());
}

TEST(TelnetClient, SendsTheCarriageReturnOnlyWhenAsked) {
    ScriptPeer peer(nullptr);
    CTelnetClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    std::string response;
    client.SendCommand("update", response, true);
    client.SendCommand("", response, true);  // nothing, not even the carriage return
    client.SendCommand("y", response, false);
    client.Close();
    EXPECT_EQ("update\ry", peer.received_until_closed());
}

TEST(TelnetClient, GathersAChunkLongerThan999BytesWholeAndInOrder) {
    std::string big;
    for (int i = 0; i < 5000; ++i) big += static_cast<char>('!' + i % 90);
    big += std::string("\0\xff\x80 end", 8);  // any byte value passes through
    ScriptPeer peer([&big](const platform::TcpSocket& s, ScriptPeer&) { (void)send_text(s, big); });
    CTelnetClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    ASSERT_TRUE(wait_pending(client, big.size()));
    std::string response;
    client.SendCommand("", response, true);
    EXPECT_EQ(big, response);
    client.Close();
}

TEST(AutoResetEvent, KeepsOneSignalUntilAWaitConsumesIt) {
    platform::AutoResetEvent event;
    EXPECT_FALSE(event.wait_for(0ms));  // starts not signalled
    event.set();
    event.set();  // two sets before a wait count as one
    EXPECT_TRUE(event.wait_for(0ms));
    EXPECT_FALSE(event.wait_for(0ms));
    std::jthread setter([&event] { event.set(); });
    EXPECT_TRUE(event.wait_for(10s));  // a set during the wait ends it
}

TEST(TelnetClient, TextThatCameBetweenExchangesOpensTheNextResponse) {
    ScriptPeer peer([](const platform::TcpSocket& s, ScriptPeer& p) {
        (void)send_text(s, "first");
        if (!p.wait_go()) return;
        (void)send_text(s, "between");
        if (!p.receive_at_least(s, 5)) return;  // "next\r"
        (void)send_text(s, " answer");
    });
    CTelnetClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    std::string response;
    client.SendCommand("", response, true);
    EXPECT_EQ("first", response);

    // The text arrives after one exchange ended and before the next one begins.
    peer.go();
    ASSERT_TRUE(wait_pending(client, 7));
    response.clear();
    const auto start = Clock::now();
    client.SendCommand("next", response, true);
    EXPECT_GE(Clock::now() - start, 1s);
    EXPECT_EQ("between answer", response);
    client.Close();
    EXPECT_EQ("next\r", peer.received_until_closed());
}

TEST(TelnetClient, KeepsWhatCameBeforeThePeerClosedAndThenAnswersEmpty) {
    ScriptPeer peer([](const platform::TcpSocket& s, ScriptPeer&) {
        (void)send_text(s, "Restarting...");
        s.shutdown();
    });
    CTelnetClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    std::string response;
    client.SendCommand("", response, true);
    EXPECT_EQ("Restarting...", response);
    response.clear();
    client.SendCommand("y", response, false);  // the send fails unseen
    EXPECT_EQ("", response);
    EXPECT_TRUE(client.Close());
}

TEST(TelnetClient, CloseEndsTheReceiverWhileDataStillStreams) {
    ScriptPeer peer([](const platform::TcpSocket& s, ScriptPeer& p) {
        const std::string chunk(512, 'x');
        while (!p.wait_go(1ms))
            if (!s.send_all(chunk)) return;
    });
    CTelnetClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    ASSERT_TRUE(wait_pending(client, 4096));
    EXPECT_TRUE(client.Close());  // must wait for the receiver before the event and lock go
    EXPECT_TRUE(client.Close());  // a second Close is harmless
    peer.go();
}

TEST(TelnetClient, ReportsEachConnectFailureWithItsLine) {
    struct Case {
        const char* what;
        std::string host;
        std::uint16_t port;
        std::string log;
    };
    const Case cases[] = {
        {"empty host", "", 23, "Error. Bad host lookup.\n"},
        {"host text over 255 characters", std::string(256, 'a'), 23, "Error. Bad host lookup.\n"},
        // ECONNREFUSED (111) on Linux, WSAECONNREFUSED on Windows.
        {"connect refused", "127.0.0.1", closed_port(),
         "Error at socket(): " + std::to_string(platform::kErrorConnectionRefused) + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::CapturedLog log;
        CTelnetClient client;
        EXPECT_FALSE(client.Connect(c.host, c.port));
        EXPECT_FALSE(client.connected);
        EXPECT_EQ(c.log, log.text());
        // Exchanges on a client that never connected still return after the quiet rule.
        std::string response;
        EXPECT_TRUE(client.SendCommand("", response, true));
        EXPECT_EQ("", response);
    }
}

TEST(TelnetClient, ConnectsByNameAfterAFailedConnectAndCanBeReusedAfterClose) {
    CTelnetClient client;
    {
        test::CapturedLog log;
        EXPECT_FALSE(client.Connect("127.0.0.1", closed_port()));
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ScriptPeer peer(
            [](const platform::TcpSocket& s, ScriptPeer&) { (void)send_text(s, "login:"); });
        ASSERT_TRUE(client.Connect("localhost", peer.port()));  // a name: looked up twice
        EXPECT_TRUE(client.connected);
        std::string response;
        client.SendCommand("", response, true);
        EXPECT_EQ("login:", response);
        client.Close();
        EXPECT_TRUE(client.connected);  // Close leaves it as it is
    }
}

TEST(TelnetClient, ANewConnectionDoesNotHandOutTheLastConnectionsLeftovers) {
    CTelnetClient client;
    {
        ScriptPeer peer(
            [](const platform::TcpSocket& s, ScriptPeer&) { (void)send_text(s, "old login:"); });
        ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
        ASSERT_TRUE(wait_pending(client, 10));
        client.Close();  // the bytes were never handed out
    }
    ScriptPeer peer([](const platform::TcpSocket& s, ScriptPeer&) { (void)send_text(s, "new"); });
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    std::string response;
    client.SendCommand("", response, true);
    EXPECT_EQ("new", response);
    client.Close();
}

}  // namespace
