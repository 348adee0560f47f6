#include "udp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace test {
namespace {

using Clock = std::chrono::steady_clock;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
};

struct Address {
    std::uint32_t ip = 0;  // host byte order
    std::uint16_t port = 0;
    auto operator<=>(const Address&) const = default;
};

sockaddr_in to_sockaddr(Address a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(a.ip);
    sa.sin_port = htons(a.port);
    return sa;
}

Fd bound_socket(Address at) {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return fd;
    // Room for a whole window of 4 KiB blocks from each side.
    const int size = 1 << 20;
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);  // best effort
    const sockaddr_in sa = to_sockaddr(at);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fd();
    return fd;
}

std::uint16_t local_port(const Fd& fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

// SplitMix64: small, and the same sequence on every platform and library.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    double next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53;  // [0, 1)
    }

private:
    std::uint64_t state_;
};

// UDP's largest payload; one byte more tells a cut datagram apart.
constexpr std::size_t kMaxDatagram = 65507;

}  // namespace

class UdpRelay::Loop {
public:
    explicit Loop(const RelayOptions& o) : options_(o) {
        listen_ = bound_socket({o.listen_address, o.listen_port});
        wake_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (listen_.valid() && wake_.valid()) port_ = local_port(listen_);
    }
    std::uint16_t port() const { return port_; }

    void wake() {
        const std::uint64_t one = 1;
        (void)!::write(wake_.get(), &one, sizeof one);  // a full counter still wakes
    }

    RelayCounts counts() const {
        RelayCounts c;
        c.to_server = to_server_.load();
        c.to_client = to_client_.load();
        c.dropped = dropped_.load();
        c.reordered = reordered_.load();
        c.held_alone = held_alone_.load();
        c.clients = clients_.load();
        return c;
    }

    void run(std::stop_token stop) {
        std::vector<pollfd> fds;
        std::vector<Address> owners;  // the client of each upstream entry in fds
        while (!stop.stop_requested()) {
            fds.assign({{listen_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}});
            owners.clear();
            for (const auto& [client, flow] : flows_) {
                fds.push_back({flow.upstream.get(), POLLIN, 0});
                owners.push_back(client);
            }
            const int rc = ::poll(fds.data(), fds.size(), poll_timeout_ms());
            const auto now = Clock::now();
            if (rc > 0) {
                // POLLERR too: a pending ICMP report keeps poll returning until it is taken.
                const short ready = POLLIN | POLLERR;
                if (fds[0].revents & ready) from_clients(now);
                for (std::size_t i = 2; i < fds.size(); ++i)
                    if (fds[i].revents & ready) from_server(owners[i - 2], now);
            }
            release_due(now);
            forget_idle(now);
        }
    }

private:
    struct Held {
        std::vector<std::uint8_t> bytes;
        Clock::time_point until;
    };
    // One direction of one client: its own choice stream and at most one held datagram.
    struct Direction {
        Rng rng;
        std::optional<Held> held;
    };
    struct Flow {
        Fd upstream;
        std::uint16_t server_port;
        bool server_answered = false;
        Clock::time_point last_seen;
        Direction up, down;  // towards the server, towards the client
    };

    void from_clients(Clock::time_point now) {
        for (;;) {
            Address from;
            const auto n = receive(listen_, from);
            if (!n) return;
            ++to_server_;
            auto it = flows_.find(from);
            if (it == flows_.end()) {
                Fd up = bound_socket({0, 0});
                if (!up.valid()) continue;  // out of descriptors: as if lost
                const std::uint64_t index = clients_++;
                const std::uint64_t base = options_.seed ^ (index * 0x100000001b3ULL);
                it = flows_
                         .emplace(from, Flow{std::move(up), options_.server_port, false, now,
                                             Direction{Rng(base * 2 + 1), {}},
                                             Direction{Rng(base * 2 + 2), {}}})
                         .first;
            }
            Flow& f = it->second;
            f.last_seen = now;
            pass(f.up, *n, now, f.upstream, {options_.server_address, f.server_port});
        }
    }

    void from_server(Address client, Clock::time_point now) {
        const auto it = flows_.find(client);
        if (it == flows_.end()) return;
        Flow& f = it->second;
        for (;;) {
            Address from;
            const auto n = receive(f.upstream, from);
            if (!n) return;
            ++to_client_;
            if (!f.server_answered) {
                f.server_answered = true;
                f.server_port = from.port;
            }
            f.last_seen = now;
            pass(f.down, *n, now, listen_, client);
        }
    }

    // Drops, holds or sends one datagram (in buffer_); a held one goes out after it.
    void pass(Direction& d, std::size_t length, Clock::time_point now, const Fd& via, Address to) {
        if (d.rng.next() < options_.drop) {
            ++dropped_;
            return;
        }
        const std::span<const std::uint8_t> bytes(buffer_.data(), length);
        if (d.held) {
            send(via, bytes, to);
            send(via, d.held->bytes, to);
            d.held.reset();
            ++reordered_;
            return;
        }
        if (d.rng.next() < options_.reorder) {
            d.held = Held{{bytes.begin(), bytes.end()}, now + options_.hold_limit};
            return;
        }
        send(via, bytes, to);
    }

    void release_due(Clock::time_point now) {
        for (auto& [client, f] : flows_) {
            for (Direction* d : {&f.up, &f.down}) {
                if (!d->held || d->held->until > now) continue;
                if (d == &f.up)
                    send(f.upstream, d->held->bytes, {options_.server_address, f.server_port});
                else
                    send(listen_, d->held->bytes, client);
                d->held.reset();
                ++held_alone_;
            }
        }
    }

    void forget_idle(Clock::time_point now) {
        std::erase_if(flows_, [&](const auto& entry) {
            const Flow& f = entry.second;
            return !f.up.held && !f.down.held && now - f.last_seen > options_.idle_limit;
        });
    }

    int poll_timeout_ms() const {
        // Wake for the earliest held datagram, and now and then for the idle scan.
        auto wait = std::chrono::milliseconds(1000);
        const auto now = Clock::now();
        for (const auto& [client, f] : flows_)
            for (const Direction* d : {&f.up, &f.down})
                if (d->held) {
                    const auto left =
                        std::chrono::ceil<std::chrono::milliseconds>(d->held->until - now);
                    wait = std::min(wait, std::max(left, std::chrono::milliseconds(0)));
                }
        return static_cast<int>(wait.count());
    }

    // One datagram into buffer_; nullopt when none is queued. Cut or empty datagrams and
    // other address families are skipped.
    std::optional<std::size_t> receive(const Fd& fd, Address& from) {
        for (;;) {
            sockaddr_in sa{};
            socklen_t len = sizeof sa;
            const ssize_t n = ::recvfrom(fd.get(), buffer_.data(), buffer_.size(), MSG_TRUNC,
                                         reinterpret_cast<sockaddr*>(&sa), &len);
            // An ICMP report (a client gone, say) fails one call and is gone with it.
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
                continue;
            }
            if (len != sizeof sa || sa.sin_family != AF_INET || n == 0 ||
                static_cast<std::size_t>(n) > kMaxDatagram)
                continue;
            from = {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
            return static_cast<std::size_t>(n);
        }
    }

    static void send(const Fd& via, std::span<const std::uint8_t> bytes, Address to) {
        const sockaddr_in sa = to_sockaddr(to);
        // A full socket buffer loses the datagram, as a busy link would.
        (void)::sendto(via.get(), bytes.data(), bytes.size(), 0,
                       reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    }

    RelayOptions options_;
    Fd listen_;
    Fd wake_;
    std::uint16_t port_ = 0;
    std::map<Address, Flow> flows_;
    std::array<std::uint8_t, kMaxDatagram + 1> buffer_{};
    // Written by the relay thread, read by counts() from any thread.
    std::atomic<std::uint64_t> to_server_{0}, to_client_{0}, dropped_{0}, reordered_{0},
        held_alone_{0}, clients_{0};
};

UdpRelay::UdpRelay(const RelayOptions& options)
    : loop_(std::make_unique<Loop>(options)), port_(loop_->port()), seed_(options.seed) {
    if (port_ == 0) return;
    thread_ = std::jthread([this](std::stop_token stop) {
        std::stop_callback wake(stop, [this] { loop_->wake(); });
        loop_->run(stop);
    });
}

UdpRelay::~UdpRelay() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

RelayCounts UdpRelay::counts() const {
    return loop_->counts();
}

}  // namespace test
