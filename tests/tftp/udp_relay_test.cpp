// The loss relay that the lossy client rows stand on: where it sends, and that a seed replays.
#include "udp_relay.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace {

using platform::Endpoint;
using platform::UdpSocket;

UdpSocket loopback_socket() {
    auto s = UdpSocket::open();
    EXPECT_TRUE(s.has_value());
    EXPECT_EQ(platform::BindError::none, s->bind(platform::kLoopbackAddress, 0));
    return std::move(*s);
}

void send_text(const UdpSocket& s, const std::string& text, Endpoint to) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    ASSERT_EQ(static_cast<int>(text.size()), s.send_to({bytes, text.size()}, to));
}
void send_text(const UdpSocket& s, const std::string& text, std::uint16_t port) {
    send_text(s, text, Endpoint{platform::kLoopbackAddress, port});
}

// The next datagram within `wait`, with its sender.
std::optional<std::string> receive_text(const UdpSocket& s, Endpoint* from = nullptr,
                                        std::chrono::milliseconds wait = std::chrono::seconds(2)) {
    if (s.wait_readable(wait) != platform::WaitResult::readable) return std::nullopt;
    std::uint8_t buffer[256];
    Endpoint sender;
    const int n = s.receive_from(buffer, &sender);
    if (n < 0) return std::nullopt;
    if (from) *from = sender;
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

TEST(UdpRelay, FollowsTheServersAnswerPortAndBringsTheAnswerBack) {
    const UdpSocket listening = loopback_socket();  // the server's request port
    const UdpSocket transfer = loopback_socket();   // the port it answers from
    const UdpSocket client = loopback_socket();
    test::RelayOptions options;
    options.server_port = listening.local_endpoint().port;
    test::UdpRelay relay(options);
    ASSERT_TRUE(relay.ok());

    send_text(client, "request", relay.port());
    Endpoint upstream;
    EXPECT_EQ("request", receive_text(listening, &upstream));
    send_text(transfer, "answer", upstream);
    Endpoint from;
    EXPECT_EQ("answer", receive_text(client, &from));
    EXPECT_EQ(relay.port(), from.port);
    send_text(client, "ack", relay.port());
    EXPECT_EQ("ack", receive_text(transfer));
    EXPECT_EQ(std::nullopt, receive_text(listening, nullptr, std::chrono::milliseconds(100)));
}

// What one client's 60 numbered datagrams look like at the server.
std::vector<std::string> arrivals(double drop, double reorder, std::uint64_t seed) {
    const UdpSocket server = loopback_socket();
    const UdpSocket client = loopback_socket();
    test::RelayOptions options;
    options.server_port = server.local_endpoint().port;
    options.drop = drop;
    options.reorder = reorder;
    options.seed = seed;
    options.hold_limit = std::chrono::milliseconds(50);
    test::UdpRelay relay(options);
    EXPECT_TRUE(relay.ok());
    for (int i = 0; i < 60; ++i) send_text(client, std::to_string(i), relay.port());
    std::vector<std::string> got;
    while (auto text = receive_text(server, nullptr, std::chrono::milliseconds(300)))
        got.push_back(*text);
    const test::RelayCounts c = relay.counts();
    EXPECT_EQ(60u, c.to_server);
    EXPECT_EQ(60u, got.size() + c.dropped);
    return got;
}

TEST(UdpRelay, DropsAndReordersTheSameDatagramsForTheSameSeed) {
    const auto first = arrivals(0.3, 0.3, 42);
    EXPECT_EQ(first, arrivals(0.3, 0.3, 42));
    EXPECT_NE(first, arrivals(0.3, 0.3, 43));
    EXPECT_GT(first.size(), 20u);
    EXPECT_LT(first.size(), 60u);
    // Everything held goes out after the next one; the last goes out alone after the hold.
    const std::vector<std::string> swapped = arrivals(0, 1, 1);
    ASSERT_EQ(60u, swapped.size());
    EXPECT_EQ((std::vector<std::string>{"1", "0", "3", "2"}),
              std::vector<std::string>(swapped.begin(), swapped.begin() + 4));
}

}  // namespace
