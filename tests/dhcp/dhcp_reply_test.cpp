#include "dhcp/dhcp_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dhcp/dhcp_probe.h"
#include "dhcp_test_util.h"
#include "test_support.h"

namespace dhcp {
namespace {

using test::address;

constexpr std::uint32_t kServer = address(192, 168, 1, 10);

// The expected reply: the received message with the composer's edits laid over it by hand.
struct Expected {
    dhcp_packet m;
    explicit Expected(const dhcp_packet& received) : m(received) {}
    Expected& at(std::size_t offset, std::vector<std::uint8_t> b) {
        std::copy(b.begin(), b.end(), m.begin() + static_cast<std::ptrdiff_t>(offset));
        return *this;
    }
    // op 2; "Kestrom 1.0" and "zorva.bin" with their zero bytes; the rest of sname/file untouched.
    Expected& reply_header() {
        return at(0, {2})
            .at(44, {'K', 'e', 's', 't', 'r', 'o', 'm', ' ', '1', '.', '0', 0})
            .at(108, {'z', 'o', 'r', 'v', 'a', '.', 'b', 'i', 'n', 0});
    }
};

const std::vector<std::uint8_t> kOfferOptions = {
    53,  1, 2,                  // 240 DHCP Message Type: DHCPOFFER
    54,  4, 192, 168, 1,   10,  // 243 Server Identifier
    1,   4, 255, 255, 255, 0,   // 249 Subnet Mask
    3,   4, 0,   0,   0,   0,   // 255 Router
    6,   4, 0,   0,   0,   0,   // 261 Domain Name Server
    7,   4, 0,   0,   0,   0,   // 267 Log Server
    0,   0, 0,   0,   0,   0,   // 273 Pad (one Server Identifier only)
    51,  4, 0,   0,   0,   30,  // 279 IP Address Lease Time
    59,  4, 0,   0,   0,   25,  // 285 Rebinding (T2) Time
    58,  4, 0,   0,   0,   25,  // 291 Renewal (T1) Time
    0,   0, 0,                  // 297 Pad
    255,                        // 300 End
    0,   0, 0,                  // 301 zero filler
};

const std::vector<std::uint8_t> kAckOptions = {
    53,  1, 5,                  // 240 DHCP Message Type: DHCPACK
    54,  4, 192, 168, 1,   10,  // 243 Server Identifier
    1,   4, 255, 255, 255, 0,   // 249 Subnet Mask
    3,   4, 0,   0,   0,   0,   // 255 Router
    6,   4, 0,   0,   0,   0,   // 261 Domain Name Server
    7,   4, 0,   0,   0,   0,   // 267 Log Server
    0,   0, 0,   0,   0,   0,   // 273 Pad (one Server Identifier only)
    51,  4, 0,   0,   0,   30,  // 279 IP Address Lease Time
    59,  4, 0,   0,   0,   25,  // 285 Rebinding (T2) Time
    58,  4, 0,   0,   0,   25,  // 291 Renewal (T1) Time
    0,   0,                     // 297 Pad
    255,                        // 299 End
    0,   0, 0,   0,             // 300 zero filler
};

std::vector<std::uint8_t> nak_options() {
    std::vector<std::uint8_t> o = {53, 1, 6, 0, 255};  // 240 DHCPNAK, 243 Pad, 244 End
    o.resize(64, 0);                                   // 245 zero filler
    return o;
}

class ComposeReply : public ::testing::Test {
protected:
    ::test::CapturedLog log;
    std::shared_ptr<LeaseTable> table = LeaseTable::from_settings(test::default_settings());
    std::string destination = "junk";

    ReplyKind compose(dhcp_packet& m, std::uint32_t server = kServer) {
        dhcp_options o{};
        EXPECT_EQ(kParseOk, parse_dhcp_options(m, o));
        return compose_reply(m, o, *table, server, destination);
    }
};

TEST_F(ComposeReply, AnswersADiscoverWithTheOfferLaidDownByteForByte) {
    dhcp_packet m = test::client_message(kDhcpDiscover, 1, Xid{0xDE, 0xAD, 0xBE, 0xEF});
    const dhcp_packet received = m;
    ASSERT_EQ(ReplyKind::offer, compose(m));

    Expected want(received);
    want.reply_header()
        .at(16, {192, 168, 1, 50})  // yiaddr: the lowest free address
        .at(20, {192, 168, 1, 10})  // siaddr: next server, this PC
        .at(240, kOfferOptions);
    EXPECT_EQ(test::bytes(want.m), test::bytes(m));
    EXPECT_EQ("255.255.255.255", destination);
    EXPECT_EQ("Assigning Dynamic IP! \n", log.text());
}

TEST_F(ComposeReply, AcknowledgesARequestUnderTheOfferXidWithEndAt299) {
    dhcp_packet discover = test::client_message(kDhcpDiscover, 1, Xid{1, 2, 3, 4});
    ASSERT_EQ(ReplyKind::offer, compose(discover));

    // Asks for another address and names another server: only the xid counts.
    dhcp_packet m = test::client_message(kDhcpRequest, 1, Xid{1, 2, 3, 4});
    const std::vector<std::uint8_t> request_options = {53, 1,  3, 50, 4, 10, 9, 9,
                                                       9,  54, 4, 10, 9, 9,  1, 255};
    std::copy(request_options.begin(), request_options.end(), m.begin() + 240);
    const dhcp_packet received = m;
    ASSERT_EQ(ReplyKind::ack, compose(m));

    Expected want(received);
    want.reply_header().at(16, {192, 168, 1, 50}).at(20, {192, 168, 1, 10}).at(240, kAckOptions);
    EXPECT_EQ(test::bytes(want.m), test::bytes(m));
    EXPECT_EQ(255, m[299]);
    EXPECT_EQ("255.255.255.255", destination);
}

TEST_F(ComposeReply, RefusesARequestUnderAnUnknownXidWithANakToItsCiaddrOrBroadcast) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> ciaddr;
        const char* destination;
    };
    const Case cases[] = {
        {"renewing client", {192, 168, 1, 55}, "192.168.1.55"},
        {"client without an address", {0, 0, 0, 0}, "255.255.255.255"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dhcp_packet m = test::client_message(kDhcpRequest, 3, Xid{7, 7, 7, 7});
        std::copy(c.ciaddr.begin(), c.ciaddr.end(), m.begin() + 12);
        const dhcp_packet received = m;
        ASSERT_EQ(ReplyKind::nak, compose(m));

        // yiaddr and siaddr stay as received.
        Expected want(received);
        want.reply_header().at(240, nak_options());
        EXPECT_EQ(test::bytes(want.m), test::bytes(m));
        EXPECT_EQ(255, m[244]);
        EXPECT_EQ(c.destination, destination);
    }
}

// A boot loader's DISCOVERs under new xids, then its REQUEST under the first: the hardware
// address that holds the address asked for (option 50, else ciaddr) is acknowledged with the
// same bytes as under the stored xid; anything else still hears the NAK.
TEST_F(ComposeReply, AcknowledgesARequestUnderAnEarlierXidForTheAddressItsHardwareHolds) {
    struct Case {
        const char* what;
        std::uint8_t client;                  // 1 holds 192.168.1.50 (offered or acknowledged)
        std::vector<std::uint8_t> option_50;  // empty: none
        std::vector<std::uint8_t> ciaddr;
        bool acknowledge_first;  // the entry was acknowledged before
        ReplyKind want;
    };
    const Case cases[] = {
        {"option 50 names the offer", 1, {192, 168, 1, 50}, {0, 0, 0, 0}, false, ReplyKind::ack},
        {"the offer was acknowledged already",
         1,
         {192, 168, 1, 50},
         {0, 0, 0, 0},
         true,
         ReplyKind::ack},
        {"ciaddr names it (renewal)", 1, {}, {192, 168, 1, 50}, true, ReplyKind::ack},
        {"another client asks for it", 2, {192, 168, 1, 50}, {0, 0, 0, 0}, false, ReplyKind::nak},
        {"an address it does not hold", 1, {192, 168, 1, 51}, {0, 0, 0, 0}, false, ReplyKind::nak},
        {"no address asked for", 1, {}, {0, 0, 0, 0}, false, ReplyKind::nak},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        table = LeaseTable::from_settings(test::default_settings());
        dhcp_packet first = test::client_message(kDhcpDiscover, 1, Xid{1, 1, 1, 1});
        ASSERT_EQ(ReplyKind::offer, compose(first));
        dhcp_packet again = test::client_message(kDhcpDiscover, 1, Xid{2, 2, 2, 2});
        ASSERT_EQ(ReplyKind::offer, compose(again));
        if (c.acknowledge_first) {
            dhcp_packet request = test::client_message(kDhcpRequest, 1, Xid{2, 2, 2, 2});
            ASSERT_EQ(ReplyKind::ack, compose(request));
        }

        dhcp_packet m = test::client_message(kDhcpRequest, c.client, Xid{1, 1, 1, 1});
        std::ranges::copy(std::initializer_list<std::uint8_t>{53, 1, 3, 255}, m.begin() + 240);
        if (!c.option_50.empty()) {
            m[243] = 50, m[244] = 4, m[249] = 255;
            std::ranges::copy(c.option_50, m.begin() + 245);
        }
        std::ranges::copy(c.ciaddr, m.begin() + 12);
        const dhcp_packet received = m;
        ASSERT_EQ(c.want, compose(m));
        if (c.want == ReplyKind::ack) {
            Expected want(received);
            want.reply_header()
                .at(16, {192, 168, 1, 50})
                .at(20, {192, 168, 1, 10})
                .at(240, kAckOptions);
            EXPECT_EQ(test::bytes(want.m), test::bytes(m));
            EXPECT_EQ(LeaseState::acknowledged, table->entries()[0].state);
        }
    }
}

TEST_F(ComposeReply, SendsOtherMessageTypesBackUnchangedTowardsAnEmptyDestination) {
    const std::uint8_t types[] = {0, 2, 4, 5, 6, 7, 8, 200};
    for (const std::uint8_t type : types) {
        SCOPED_TRACE(int{type});
        dhcp_packet m = test::client_message(type, 4, Xid{4, 4, 4, 4});
        const dhcp_packet received = m;
        ASSERT_EQ(ReplyKind::unchanged, compose(m));
        EXPECT_EQ(test::bytes(received), test::bytes(m));
        EXPECT_EQ("", destination);
    }
    for (const auto& e : table->entries()) EXPECT_EQ(LeaseState::free, e.state);
}

TEST_F(ComposeReply, LeavesAnExhaustedPoolUnanswered) {
    for (std::uint8_t client = 1; client <= 11; ++client) {
        dhcp_packet m = test::client_message(kDhcpDiscover, client, Xid{0, 0, 1, client});
        ASSERT_EQ(ReplyKind::offer, compose(m));
        EXPECT_EQ(49u + client, m[19]);
    }
    dhcp_packet m = test::client_message(kDhcpDiscover, 12, Xid{0, 0, 1, 12});
    const dhcp_packet received = m;
    ::testing::internal::CaptureStderr();
    core::set_trace_enabled(true);
    EXPECT_EQ(ReplyKind::no_reply, compose(m));
    core::set_trace_enabled(false);
    EXPECT_NE(std::string::npos,
              ::testing::internal::GetCapturedStderr().find("No free leases! \n"));
    EXPECT_EQ(test::bytes(received), test::bytes(m));
}

TEST_F(ComposeReply, NamesServerZeroWhenNoInterfaceWasChosen) {
    dhcp_packet m = test::client_message(kDhcpDiscover, 1, Xid{1, 1, 1, 1});
    ASSERT_EQ(ReplyKind::offer, compose(m, 0));
    EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 0, 0}),
              std::vector<std::uint8_t>(m.begin() + 20, m.begin() + 24));
    EXPECT_EQ((std::vector<std::uint8_t>{54, 4, 0, 0, 0, 0}),
              std::vector<std::uint8_t>(m.begin() + 243, m.begin() + 249));
}

// A boot loader's reading of an ACK: options 66 and 67 before siaddr and file, and nothing read
// past the datagram's end.
TEST(ParseServerReply, TakesTheBootServerAndFileAsABootLoaderDoes) {
    const struct {
        const char* what;
        std::vector<std::uint8_t> options;  // behind the cookie
        std::size_t cut;                    // the datagram's length; 0: whole
        const char* next_server;
        const char* boot_file;
    } cases[] = {
        {"the fields alone", {255}, 0, "192.168.1.10", "zorva.bin"},
        {"options 66 and 67 first",
         {66, 8, '1', '0', '.', '0', '.', '0', '.', '9', 67, 3, 'n', 'e', 'w', 255},
         0,
         "10.0.0.9",
         "new"},
        {"an option 66 that names no address, an empty 67",
         {66, 2, 'x', 0, 67, 0, 255},
         0,
         "192.168.1.10",
         "zorva.bin"},
        {"an option 67 cut by the datagram's end",
         {67, 9, 'l', 'o', 'n', 'g'},
         244 + 6,
         "192.168.1.10",
         "zorva.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dhcp_packet m{};
        m[kOp.offset] = kOpBootReply;
        const Xid xid{9, 8, 7, 6};
        std::ranges::copy(xid, m.begin() + kXid.offset);
        std::ranges::copy(std::array<std::uint8_t, 4>{192, 168, 1, 10}, m.begin() + kSiaddr.offset);
        std::ranges::copy(std::string_view("zorva.bin"), m.begin() + kFile.offset);
        std::ranges::copy(kMagicCookie, m.begin() + kCookie.offset);
        std::ranges::copy(c.options, m.begin() + kOptions.offset);
        const auto reply =
            parse_server_reply(std::span(m).first(c.cut != 0 ? c.cut : m.size()), xid);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(c.next_server, platform::to_dotted(reply->next_server));
        EXPECT_EQ(c.boot_file, reply->boot_file);
    }
}

TEST(ProcessDhcpPacket, RefusesAMissingMessageOrOptions) {
    auto socket = platform::UdpSocket::open();
    ASSERT_TRUE(socket);
    dhcp_packet m{};
    dhcp_options o{};
    EXPECT_EQ(kProcessNoReply, process_dhcp_packet(nullptr, &o, *socket));
    EXPECT_EQ(kProcessNoReply, process_dhcp_packet(&m, nullptr, *socket));
    EXPECT_EQ(kWriteFailed, write_packet(nullptr, "127.0.0.1", *socket));
}

TEST(WritePacket, SendsAll304BytesToTheClientPortAndDropsAnUnknownHost) {
    auto client = platform::UdpSocket::open();
    auto server = platform::UdpSocket::open();
    ASSERT_TRUE(client && server);
    ASSERT_EQ(platform::BindError::none, client->bind(platform::kLoopbackAddress, 0));
    ASSERT_EQ(platform::BindError::none, server->bind(platform::kLoopbackAddress, 0));
    const std::uint16_t port = client->local_endpoint().port;

    const dhcp_packet m = test::message_with_options({53, 1, 2, 255});
    ASSERT_EQ(kWriteSent, write_packet(&m, "127.0.0.1", *server, port));
    ASSERT_EQ(platform::WaitResult::readable, client->wait_readable(std::chrono::seconds(5)));
    std::vector<std::uint8_t> got(600);
    platform::Endpoint from;
    const int n = client->receive_from(got, &from);
    ASSERT_EQ(304, n);
    got.resize(304);
    EXPECT_EQ(test::bytes(m), got);
    EXPECT_EQ(server->local_endpoint().port, from.port);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(kWriteFailed, write_packet(&m, "", *server, port));
    EXPECT_NE(std::string::npos, ::testing::internal::GetCapturedStderr().find("gethostbyname: "));
}

TEST(WritePacket, DropsTheReplyAndGoesOnWhenTheSocketRefuses) {
    // The error texts are the platform's (Linux: "Bad file descriptor", "Invalid argument"):
    // each case learns its error from the same call made directly.
    struct Case {
        const char* what;
        bool closed;
        std::uint16_t port;
        const char* stderr_head;
        const char* log_head;
    };
    const Case cases[] = {
        {"broadcast refused", true, 9,
         "setsockopt: ", "DHCP Can't enable broadcast - reply not sent: "},
        {"send refused", false, 0, "sendto: ", "DHCP Can't send reply - "},
    };
    const dhcp_packet m = test::message_with_options({53, 1, 2, 255});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::test::CapturedLog log;
        auto socket = platform::UdpSocket::open();
        ASSERT_TRUE(socket);
        if (c.closed) socket->close();  // every socket call now fails
        int error = 0;
        if (c.closed)
            EXPECT_FALSE(socket->set_broadcast(true, &error));
        else
            EXPECT_GT(0, socket->send_to(m, {platform::kLoopbackAddress, c.port}, &error));
        const std::string text = platform::error_text(error);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(kWriteFailed, write_packet(&m, "127.0.0.1", *socket, c.port));
        EXPECT_EQ(c.stderr_head + text + "\n", ::testing::internal::GetCapturedStderr());
        EXPECT_EQ(c.log_head + text + "\n", log.text());
    }
}

}  // namespace
}  // namespace dhcp
