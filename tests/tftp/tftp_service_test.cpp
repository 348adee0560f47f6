#include "tftp/tftp_service.h"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/socket.h"
#include "test_support.h"
#include "tftp_test_util.h"

namespace tftp {
namespace {

using namespace tftp::testing;
using namespace std::chrono_literals;

// A client socket on loopback that reads a whole file in lock-step, every wait bounded.
struct LoopbackClient {
    platform::UdpSocket socket = *platform::UdpSocket::open();
    platform::Endpoint server;
    std::function<void(std::uint16_t)> before_ack;

    explicit LoopbackClient(std::uint16_t port) : server{platform::kLoopbackAddress, port} {
        EXPECT_EQ(platform::BindError::none, socket.bind(platform::kLoopbackAddress, 0));
    }
    std::optional<Bytes> receive() {
        if (socket.wait_readable(2s) != platform::WaitResult::readable) return std::nullopt;
        Bytes b(kDatagramMax);
        platform::Endpoint from;
        const int n = socket.receive_from(b, &from);
        if (n < 0) return std::nullopt;
        b.resize(static_cast<std::size_t>(n));
        return b;
    }
    std::optional<std::string> read_file() {
        if (socket.send_to(rrq(), server) < 0) return std::nullopt;
        std::string content;
        for (;;) {
            auto p = receive();
            if (!p || p->size() < 4 || (*p)[1] != 3) return std::nullopt;
            content.append(p->begin() + 4, p->end());
            const auto block = static_cast<std::uint16_t>((*p)[2] << 8 | (*p)[3]);
            if (before_ack) before_ack(block);
            (void)socket.send_to(ack(block), server);
            if (p->size() < 4 + 512) return content;
        }
    }
};

TEST(TftpService, SaysReadyAndServesAReadOnLoopback) {
    test::TempDir dir;
    test::CapturedLog log;
    const std::string content = pattern(5000);
    dir.write("zorva.bin", content);
    TftpService service({0, dir.path().string() + "/"});
    ASSERT_NE(0, service.port());
    EXPECT_TRUE(log.wait_for("Ready...\n"));
    LoopbackClient client(service.port());
    EXPECT_EQ(content, client.read_file());
    const std::string key = "127.0.0.1:" + std::to_string(client.socket.local_endpoint().port);
    EXPECT_TRUE(log.wait_for(", 10 Blocks Served\n"));
    EXPECT_EQ("Ready...\n.\nClient " + key + " " + dir.path().generic_string() +
                  "/zorva.bin, 10 Blocks Served\n",
              log.text());
    service.stop();
}

TEST(TftpService, ReportsAPortInUse) {
    test::CapturedLog log;
    auto holder = platform::UdpSocket::open();
    ASSERT_TRUE(holder);
    ASSERT_EQ(platform::BindError::none, holder->bind(platform::kAnyAddress, 0));
    const std::uint16_t taken = holder->local_endpoint().port;
    TftpService service({taken, "./"});
    EXPECT_EQ(0, service.port());
    EXPECT_EQ("Error: Port " + std::to_string(taken) + " already in use.\n", log.text());
}

TEST(TftpService, SurvivesRandomDatagramsThenServesANormalRead) {
    test::TempDir dir;
    test::CapturedLog log;
    const std::string content = pattern(3000);
    dir.write("zorva.bin", content);
    TftpService service({0, dir.path().string() + "/"});
    ASSERT_NE(0, service.port());
    const platform::Endpoint server{platform::kLoopbackAddress, service.port()};

    std::mt19937 rng(20261207);
    std::vector<platform::UdpSocket> senders;
    for (int i = 0; i < 4; ++i) {
        senders.push_back(*platform::UdpSocket::open());
        ASSERT_EQ(platform::BindError::none, senders.back().bind(platform::kLoopbackAddress, 0));
    }
    Bytes datagram;
    for (int i = 0; i < 3000; ++i) {
        datagram.resize(std::uniform_int_distribution<std::size_t>(0, 5000)(rng));
        for (auto& b : datagram) b = static_cast<std::uint8_t>(rng());
        // Mostly plausible opcodes, so the datagrams reach past the first check.
        if (datagram.size() >= 2 && i % 2 == 0) {
            datagram[0] = 0;
            datagram[1] = static_cast<std::uint8_t>(1 + rng() % 6);
        }
        (void)senders[i % senders.size()].send_to(datagram, server);
    }
    // The flood may fill the service's receive buffer, and then the request is lost as any
    // datagram is (seen under Wine): the client asks again, as a real one would, from a new port.
    std::optional<std::string> got;
    for (int attempt = 0; attempt < 3 && !got; ++attempt)
        got = LoopbackClient(service.port()).read_file();
    EXPECT_EQ(content, got);
    EXPECT_EQ(content, test::read_file(dir / "zorva.bin"));  // never overwritten
}

// Linux only from here: ICMP reports (IP_RECVERR), /proc and network namespaces. Winsock gives
// no reports to take; a UDP socket there keeps working after them (tests/platform).
#if !defined(_WIN32)
// How many of this process's open files are `path`.
std::size_t handles_on(const std::filesystem::path& path) {
    std::size_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec))
        n += std::filesystem::read_symlink(e.path(), ec) == path;
    return n;
}

TEST(TftpService, GivesUpClientsWhosePortIsClosedAtOnce) {
    test::TempDir dir;
    test::CapturedLog log;
    const std::string content = pattern(5000);  // stays open after the first two blocks
    dir.write("zorva.bin", content);
    TftpService service({0, dir.path().string() + "/"});
    ASSERT_NE(0, service.port());
    // Each request leaves from a socket connected to another peer, which takes datagrams from
    // that peer only: the kernel finds no socket for the answer and reports the port
    // unreachable, however fast the answer comes (a socket closed after its send may still take
    // an answer that beat the close). Fewer clients than the kernel's burst of ICMP errors
    // (net.ipv4.icmp_msgs_burst, 50).
    std::vector<int> gone;
    for (int i = 0; i < 20; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        gone.push_back(fd);
        sockaddr_in elsewhere{};
        elsewhere.sin_family = AF_INET;
        elsewhere.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        elsewhere.sin_port = htons(9);  // discard: nothing answers from there
        ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&elsewhere), sizeof elsewhere));
        sockaddr_in to = elsewhere;
        to.sin_port = htons(service.port());
        const auto request = rrq();
        ASSERT_GT(::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                           sizeof to),
                  0);
    }
    // Well before the first retransmission (5 s), every file is closed again.
    EXPECT_TRUE(test::wait_until([&] { return handles_on(dir / "zorva.bin") == 0; }, 4s))
        << handles_on(dir / "zorva.bin") << " of the clients' files still open after 4 s";
    for (const int fd : gone) ::close(fd);
    LoopbackClient client(service.port());
    EXPECT_EQ(content, client.read_file());
    EXPECT_EQ(std::string::npos, log.text().find("error")) << log.text();
}

// On more than one processor the port is served by a socket per processor, each datagram going
// to the one of the processor that handled it. A client that moves between processors mid-way
// must still find its transfer, whichever socket its ACKs reach.
TEST(TftpService, ServesAClientThatMovesBetweenProcessors) {
    if (platform::usable_processors() < 2) GTEST_SKIP() << "one processor: one socket";
    test::TempDir dir;
    test::CapturedLog log;
    const std::string content = pattern(100 * 512 + 7);
    dir.write("zorva.bin", content);
    TftpService service({0, dir.path().string() + "/"});
    ASSERT_NE(0, service.port());
    // One socket per loop: more than one here, and never more than there are processors.
    const std::size_t sockets = platform::udp_port_holders(service.port()).size();
    EXPECT_GE(sockets, 2u) << "one socket on " << platform::usable_processors() << " processors";
    EXPECT_LE(sockets, platform::usable_processors()) << "more sockets than processors";
    std::optional<std::string> got;
    std::jthread([&] {  // its own thread, so moving it leaves the test's thread alone
        LoopbackClient client(service.port());
        client.before_ack = [](std::uint16_t block) {
            ASSERT_TRUE(platform::keep_thread_on_processor_group(block % 2, 2));
        };
        got = client.read_file();
    })
        .join();
    EXPECT_EQ(content, got);
    EXPECT_TRUE(log.wait_for(", 101 Blocks Served\n")) << log.text();
}

// A FIFO as zorva.bin is refused at once, for a read and for an upload, and holds up nobody:
// opened as a file, it would wait for a writer, and the whole service with it.
TEST(TftpService, AFifoAsTheServedFileIsRefusedAtOnceAndTheServiceGoesOn) {
    test::TempDir dir;
    const auto fifo = dir / "held.fifo";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    std::filesystem::create_hard_link(fifo, dir / "zorva.bin");
    TftpService service({0, dir.path().string() + "/"});
    ASSERT_NE(0, service.port());
    // A service caught in open() is let go by a writer that comes and goes, so that a failure
    // here ends (declared after the service: it acts first).
    struct LetGo {
        std::filesystem::path fifo;
        ~LetGo() {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
        }
    } let_go{fifo};

    struct Case {
        const char* what;
        Bytes request;
        Bytes answer;
    };
    const Case cases[] = {
        {"read", rrq(), error_packet(0, std::strerror(EINVAL))},
        {"upload", wrq(), error_packet(6, "File already exists")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LoopbackClient client(service.port());
        ASSERT_GT(client.socket.send_to(c.request, client.server), 0);
        EXPECT_EQ(c.answer, client.receive()) << "no answer within 2 s";
    }
    std::filesystem::remove(dir / "zorva.bin");
    const std::string content = pattern(700);
    dir.write("zorva.bin", content);
    EXPECT_EQ(content, LoopbackClient(service.port()).read_file());
}

// The stand-alone server, for cases that need their own network namespace.
std::string server_command(const test::TempDir& dir, const std::string& port) {
    return std::string(KESTROM_TFTP_TEST_SERVER) + " " + port + " " + dir.path().string();
}

TEST(TftpService, Port69TakenGivesTheClassicMessage) {
    KESTROM_NEEDS_NETNS();
    test::NetNs ns("tftp69");
    test::TempDir dir;
    test::ChildProcess first(ns.exec() + server_command(dir, "69"));
    ASSERT_TRUE(first.wait_for_output("Ready...\n"));
    const auto second = ns.run(server_command(dir, "69"));
    EXPECT_EQ(1, second.status);
    EXPECT_EQ("Error: Port 69 already in use.\n", second.output);
}

TEST(TftpService, Port69WithoutPrivilegeSaysWhatItNeeds) {
    KESTROM_NEEDS_NETNS();
    test::NetNs ns("tftpcap");
    test::TempDir dir;
    const auto result =
        ns.run("setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all " +
               server_command(dir, "69"));
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Error: Port 69 needs root or CAP_NET_BIND_SERVICE.\n", result.output);
}

// Sends one UDP datagram with whatever source the caller names, from the calling thread's
// namespace: a raw socket, on which the kernel checks neither the address nor the port.
bool send_spoofed(const char* from, std::uint16_t from_port, const char* to, std::uint16_t to_port,
                  const Bytes& payload) {
    const int s = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (s < 0) return false;
    Bytes packet(sizeof(iphdr) + sizeof(udphdr) + payload.size());
    iphdr ip{};
    ip.version = 4;
    ip.ihl = sizeof ip / 4;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.tot_len = htons(static_cast<std::uint16_t>(packet.size()));
    ::inet_pton(AF_INET, from, &ip.saddr);
    ::inet_pton(AF_INET, to, &ip.daddr);
    udphdr udp{};  // checksum 0: none, which IPv4 allows
    udp.source = htons(from_port);
    udp.dest = htons(to_port);
    udp.len = htons(static_cast<std::uint16_t>(sizeof udp + payload.size()));
    std::memcpy(packet.data(), &ip, sizeof ip);
    std::memcpy(packet.data() + sizeof ip, &udp, sizeof udp);
    std::copy(payload.begin(), payload.end(), packet.begin() + sizeof ip + sizeof udp);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = ip.daddr;
    const bool sent =
        ::sendto(s, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&dest),
                 sizeof dest) == static_cast<ssize_t>(packet.size());
    ::close(s);
    return sent;
}

// UDP datagrams the namespace has sent so far (its own counter in /proc/net/snmp).
long udp_datagrams_sent(const test::NetNs& ns) {
    const auto r = ns.run("awk '/^Udp:/ && ++n == 2 { print $5 }' /proc/net/snmp");
    return r.status == 0 ? std::atol(r.output.c_str()) : -1;
}

// One ERROR datagram from one service's port 69 to another's (or to its own, from 127.0.0.1:69)
// is logged once and answered by neither: answered, it would bounce between them without end.
TEST(TftpService, TwoServicesNeverAnswerAnErrorBetweenTheirPorts) {
    KESTROM_NEEDS_NETNS();
    test::NetNs a("tftpea"), b("tftpeb");
    ASSERT_TRUE(test::connect_veth(a, "10.69.0.1/24", b, "10.69.0.2/24"));
    test::TempDir dir_a, dir_b;
    test::ChildProcess service_a(a.exec() + server_command(dir_a, "69"));
    test::ChildProcess service_b(b.exec() + server_command(dir_b, "69"));
    ASSERT_TRUE(service_a.wait_for_output("Ready...\n")) << service_a.output();
    ASSERT_TRUE(service_b.wait_for_output("Ready...\n")) << service_b.output();
    const Bytes loop = error_packet(0, "loop");

    struct Case {
        const char* what;
        const char* from;
        const char* to;
        const test::ChildProcess& first_to_hear;
    };
    const Case cases[] = {
        {"from service a to service b", "10.69.0.1", "10.69.0.2", service_b},
        {"from 127.0.0.1:69 to itself", "127.0.0.1", "127.0.0.1", service_a},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const long sent_a = udp_datagrams_sent(a), sent_b = udp_datagrams_sent(b);
        const std::string line = "Client " + std::string(c.from) + ":69 , error: loop\n";
        bool spoofed = false;
        ASSERT_TRUE(a.run_inside([&] { spoofed = send_spoofed(c.from, 69, c.to, 69, loop); }));
        ASSERT_TRUE(spoofed) << "no raw socket: " << std::strerror(errno);
        ASSERT_TRUE(c.first_to_hear.wait_for_output(line)) << c.first_to_hear.output();
        std::this_thread::sleep_for(500ms);  // an answer, and its answer, would be here by now
        EXPECT_EQ(sent_a, udp_datagrams_sent(a)) << "service a answered an ERROR";
        EXPECT_EQ(sent_b, udp_datagrams_sent(b)) << "service b answered an ERROR";
        const std::string heard = c.first_to_hear.output();
        EXPECT_EQ(heard.find(line), heard.rfind(line)) << "the ERROR came back:\n" << heard;
    }
}

#endif

}  // namespace
}  // namespace tftp
