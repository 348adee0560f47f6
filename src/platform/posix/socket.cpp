#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

sockaddr_in to_sockaddr(const Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.address);
    a.sin_port = htons(e.port);
    return a;
}

Endpoint from_sockaddr(const sockaddr_in& a) {
    return {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
}

int fd(std::intptr_t h) {
    return static_cast<int>(h);
}

void set_error(int* error, int value) {
    if (error) *error = value;
}

}  // namespace

// ---- Waker ---------------------------------------------------------------------------------

Waker::Waker() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        read_ = fds[0];
        write_ = fds[1];
    }
}

Waker::~Waker() {
    if (read_ != kNone) ::close(fd(read_));
    if (write_ != kNone) ::close(fd(write_));
}

void Waker::signal() {
    if (write_ == kNone) return;
    const char byte = 1;
    // A full pipe already holds a pending signal, so a failed write loses nothing.
    (void)!::write(fd(write_), &byte, 1);
}

void Waker::clear() {
    if (read_ == kNone) return;
    char buffer[64];
    while (::read(fd(read_), buffer, sizeof buffer) > 0) {
    }
}

// ---- InterfaceWatch ------------------------------------------------------------------------

InterfaceWatch::InterfaceWatch(bool open) {
    if (!open) return;
    const int s = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (s < 0) return;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(s);
        return;
    }
    handle_ = s;
}

InterfaceWatch::~InterfaceWatch() {
    if (handle_ != kNone) ::close(fd(handle_));
}

void InterfaceWatch::clear() {
    if (handle_ == kNone) return;
    // Only the fact of a change matters: the caller reads the whole list again. A report lost to
    // a full buffer (ENOBUFS) still leaves the caller looking again.
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::recv(fd(handle_), buffer, sizeof buffer, 0);
        if (n > 0 || (n < 0 && (errno == EINTR || errno == ENOBUFS))) continue;
        return;
    }
}

// ---- Socket --------------------------------------------------------------------------------

void Socket::reset(Handle h) noexcept {
    if (handle_ != kNone) ::close(fd(handle_));
    handle_ = h;
}

WaitResult Socket::wait_readable(std::chrono::milliseconds timeout, const Waker* waker,
                                 const InterfaceWatch* watch) const {
    return wait_readable(this, timeout, waker, watch);
}

WaitResult Socket::wait_readable(const Socket* socket, std::chrono::milliseconds timeout,
                                 const Waker* waker, const InterfaceWatch* watch) {
    // Unused slots hold -1, which poll skips.
    pollfd fds[3] = {{socket ? fd(socket->handle_) : -1, POLLIN, 0},
                     {waker && waker->valid() ? fd(waker->read_) : -1, POLLIN, 0},
                     {watch && watch->valid() ? fd(watch->handle_) : -1, POLLIN, 0}};
    const int ms = timeout.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(timeout.count());
    for (;;) {
        const int rc = ::poll(fds, 3, ms < 0 ? 0 : ms);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return WaitResult::error;
        if (rc == 0) return WaitResult::timeout;
        if (fds[1].revents & POLLIN) return WaitResult::woken;
        if (fds[2].revents & POLLIN) return WaitResult::changed;
        return WaitResult::readable;
    }
}

BindError Socket::bind(std::uint32_t address, std::uint16_t port, int* error) {
    const sockaddr_in a = to_sockaddr({address, port});
    if (::bind(fd(handle_), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
        set_error(error, 0);
        return BindError::none;
    }
    const int e = errno;
    set_error(error, e);
    if (e == EADDRINUSE) return BindError::in_use;
    if (e == EACCES || e == EPERM) return BindError::no_permission;
    return BindError::other;
}

Endpoint Socket::local_endpoint() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd(handle_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    return from_sockaddr(a);
}

bool Socket::set_reuse_address(bool on) {
    const int v = on ? 1 : 0;
    return ::setsockopt(fd(handle_), SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) == 0;
}

bool Socket::set_buffer_sizes(int receive_bytes, int send_bytes) {
    return ::setsockopt(fd(handle_), SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof(int)) == 0 &&
           ::setsockopt(fd(handle_), SOL_SOCKET, SO_SNDBUF, &send_bytes, sizeof(int)) == 0;
}

// ---- UdpSocket -----------------------------------------------------------------------------

std::optional<UdpSocket> UdpSocket::open(int* error) {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        set_error(error, errno);
        return std::nullopt;
    }
    return UdpSocket(s);
}

bool UdpSocket::set_broadcast(bool on, int* error) {
    const int v = on ? 1 : 0;
    if (::setsockopt(fd(handle_), SOL_SOCKET, SO_BROADCAST, &v, sizeof v) == 0) return true;
    set_error(error, errno);
    return false;
}

bool UdpSocket::bind_to_device(std::string_view interface_name, int* error) {
    const std::string name(interface_name);
    if (::setsockopt(fd(handle_), SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                     static_cast<socklen_t>(name.size())) == 0)
        return true;
    set_error(error, errno);
    return false;
}

std::uint32_t tied_bind_address(const Ipv4Interface& /*tied*/) {
    return kAnyAddress;
}

namespace {

int receive_datagram(int socket, std::span<std::uint8_t> into, Endpoint* from, int* error,
                     int flags) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t n;
    do {
        n = ::recvfrom(socket, into.data(), into.size(), flags, reinterpret_cast<sockaddr*>(&a),
                       &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        set_error(error, errno);
        return -1;
    }
    if (from) *from = from_sockaddr(a);
    return static_cast<int>(n);
}

}  // namespace

int UdpSocket::receive_from(std::span<std::uint8_t> into, Endpoint* from, int* error) const {
    return receive_datagram(fd(handle_), into, from, error, 0);
}

int UdpSocket::try_receive_from(std::span<std::uint8_t> into, Endpoint* from, int* error) const {
    return receive_datagram(fd(handle_), into, from, error, MSG_DONTWAIT);
}

int UdpSocket::send_to(std::span<const std::uint8_t> bytes, const Endpoint& to, int* error) const {
    const sockaddr_in a = to_sockaddr(to);
    ssize_t n;
    do {
        n = ::sendto(fd(handle_), bytes.data(), bytes.size(), 0,
                     reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        set_error(error, errno);
        return -1;
    }
    return static_cast<int>(n);
}

namespace {

// recvmmsg/sendmmsg headers for one chunk of a batch, on the stack.
constexpr std::size_t kChunk = 64;

struct MessageChunk {
    mmsghdr headers[kChunk];
    iovec vectors[kChunk];
    sockaddr_in addresses[kChunk];

    // Entry i: one buffer and the peer address slot; only the entries in use are filled.
    void set(std::size_t i, void* data, std::size_t size) {
        headers[i] = {};
        vectors[i] = {data, size};
        headers[i].msg_hdr.msg_name = &addresses[i];
        headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
};

}  // namespace

int UdpSocket::try_receive_many(std::span<ReceiveSlot> slots, int* error) const {
    std::size_t taken = 0;
    while (taken < slots.size()) {
        const std::size_t count = std::min(kChunk, slots.size() - taken);
        MessageChunk chunk;
        for (std::size_t i = 0; i < count; ++i) {
            const auto into = slots[taken + i].into;
            chunk.set(i, into.data(), into.size());
        }
        int n;
        do {
            n = ::recvmmsg(fd(handle_), chunk.headers, static_cast<unsigned>(count), MSG_DONTWAIT,
                           nullptr);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (taken > 0) break;  // the error shows again on the next call
            set_error(error, errno);
            return -1;
        }
        for (int i = 0; i < n; ++i) {
            ReceiveSlot& slot = slots[taken + static_cast<std::size_t>(i)];
            slot.from = from_sockaddr(chunk.addresses[i]);
            // Without MSG_TRUNC the count is what was stored: a longer datagram is cut.
            slot.length = static_cast<int>(chunk.headers[i].msg_len);
        }
        taken += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < count) break;  // the queue is empty
    }
    return static_cast<int>(taken);
}

int UdpSocket::send_many(std::span<const SendSlot> slots, int* error) const {
    std::size_t done = 0;
    int sent = 0;
    bool retried = false;
    while (done < slots.size()) {
        const std::size_t count = std::min(kChunk, slots.size() - done);
        MessageChunk chunk;
        for (std::size_t i = 0; i < count; ++i) {
            const SendSlot& slot = slots[done + i];
            // sendmmsg does not write through the vector; iovec only lacks a const member.
            chunk.set(i, const_cast<std::uint8_t*>(slot.bytes.data()), slot.bytes.size());
            chunk.addresses[i] = to_sockaddr(slot.to);
        }
        int n;
        do {
            n = ::sendmmsg(fd(handle_), chunk.headers, static_cast<unsigned>(count), 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            set_error(error, errno);
            // The failure may be an earlier datagram's ICMP error reported late (IP_RECVERR),
            // which the failed call has taken: the same datagram goes again once.
            if (!retried) {
                retried = true;
                continue;
            }
            n = 0;
            ++done;  // the first datagram was refused: skip it, go on with the rest
        } else {
            sent += n;
            done += static_cast<std::size_t>(n);
        }
        retried = false;
    }
    return sent;
}

bool UdpSocket::set_receive_errors(bool on, int* error) {
    const int v = on ? 1 : 0;
    if (::setsockopt(fd(handle_), IPPROTO_IP, IP_RECVERR, &v, sizeof v) == 0) return true;
    set_error(error, errno);
    return false;
}

bool UdpSocket::share_port() {
    const int v = 1;
    return ::setsockopt(fd(handle_), SOL_SOCKET, SO_REUSEPORT, &v, sizeof v) == 0;
}

bool UdpSocket::steer_by_processor(unsigned sockets) {
    // The socket's number in the group: the handling processor's number modulo `sockets` (the
    // kernel refuses a modulo 0, so 0 sockets fails here).
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF + SKF_AD_CPU)),
        BPF_STMT(BPF_ALU | BPF_MOD | BPF_K, sockets),
        BPF_STMT(BPF_RET | BPF_A, 0),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return ::setsockopt(fd(handle_), SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program,
                        sizeof program) == 0;
}

int UdpSocket::take_unreachable(std::span<Endpoint> into) const {
    std::size_t taken = 0;
    while (taken < into.size()) {
        sockaddr_in to{};
        std::uint8_t data[64];  // the start of the refused datagram; not needed
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in))];
        iovec vector{data, sizeof data};
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof to;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(fd(handle_), &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            if (errno == EINTR) continue;
            break;  // EAGAIN: nothing more queued
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR ||
                c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err)))
                continue;
            sock_extended_err report;
            std::memcpy(&report, CMSG_DATA(c), sizeof report);
            // The name is that of the datagram's destination: the client whose port is closed.
            if (report.ee_origin == SO_EE_ORIGIN_ICMP && report.ee_type == 3 &&
                report.ee_code == 3 && message.msg_namelen >= sizeof to)
                into[taken++] = from_sockaddr(to);
            break;
        }
    }
    return static_cast<int>(taken);
}

// ---- TcpSocket -----------------------------------------------------------------------------

std::optional<TcpSocket> TcpSocket::connect(const Endpoint& to, int* error,
                                            std::chrono::milliseconds timeout) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        set_error(error, errno);
        return std::nullopt;
    }
    TcpSocket sock(s);
    const sockaddr_in a = to_sockaddr(to);
    if (timeout.count() <= 0) {
        int rc;
        do {
            rc = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        } while (rc < 0 && errno == EINTR);
        if (rc != 0) {
            set_error(error, errno);
            return std::nullopt;
        }
        return sock;
    }
    // Bounded wait: connect without blocking, then poll for writability.
    const int flags = ::fcntl(s, F_GETFL);
    ::fcntl(s, F_SETFL, flags | O_NONBLOCK);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS) {
            set_error(error, errno);
            return std::nullopt;
        }
        // A signal ends poll early; the wait goes on for what is left of the bound.
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        pollfd p{s, POLLOUT, 0};
        int rc;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                rc = 0;
                break;
            }
            const int ms = left.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(left.count());
            rc = ::poll(&p, 1, ms);
            if (rc >= 0 || errno != EINTR) break;
        }
        if (rc <= 0) {
            set_error(error, rc == 0 ? ETIMEDOUT : errno);
            return std::nullopt;
        }
        // Writable means the attempt has ended; SO_ERROR tells how (refused, unreachable...).
        int so_error = 0;
        socklen_t len = sizeof so_error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) so_error = errno;
        if (so_error != 0) {
            set_error(error, so_error);
            return std::nullopt;
        }
    }
    ::fcntl(s, F_SETFL, flags);
    return sock;
}

int TcpSocket::send(std::span<const std::uint8_t> bytes, int* error) const {
    ssize_t n;
    do {
        n = ::send(fd(handle_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        set_error(error, errno);
        return -1;
    }
    return static_cast<int>(n);
}

bool TcpSocket::send_all(std::span<const std::uint8_t> bytes, std::chrono::milliseconds stall,
                         std::chrono::steady_clock::time_point deadline, int* error) const {
    while (!bytes.empty()) {
        // Never blocks: takes what fits into the send buffer now.
        ssize_t n;
        do {
            n = ::send(fd(handle_), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            set_error(error, errno);
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto wait = std::min(left, stall);
        pollfd p{fd(handle_), POLLOUT, 0};
        int rc = 0;
        if (wait.count() > 0) {
            const int ms = wait.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(wait.count());
            do {
                rc = ::poll(&p, 1, ms);
            } while (rc < 0 && errno == EINTR);
        }
        if (rc < 0) {
            set_error(error, errno);
            return false;
        }
        if (rc == 0) {
            set_error(error, ETIMEDOUT);
            return false;
        }
    }
    return true;
}

int TcpSocket::receive(std::span<std::uint8_t> into, int* error) const {
    ssize_t n;
    do {
        n = ::recv(fd(handle_), into.data(), into.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        set_error(error, errno);
        return -1;
    }
    return static_cast<int>(n);
}

int TcpSocket::receive(std::span<char> into, int* error) const {
    return receive(std::span(reinterpret_cast<std::uint8_t*>(into.data()), into.size()), error);
}

void TcpSocket::shutdown() const {
    ::shutdown(fd(handle_), SHUT_RDWR);
}

void TcpSocket::abort() {
    if (handle_ == kNone) return;
    const linger l{1, 0};
    ::setsockopt(fd(handle_), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

Endpoint TcpSocket::peer_endpoint() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getpeername(fd(handle_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    return from_sockaddr(a);
}

// ---- TcpListener ---------------------------------------------------------------------------

std::optional<TcpListener> TcpListener::listen(std::uint32_t address, std::uint16_t port,
                                               BindError* bind_error, int* error) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        if (bind_error) *bind_error = BindError::other;
        set_error(error, errno);
        return std::nullopt;
    }
    TcpListener listener(s);
    (void)listener.set_reuse_address(true);  // quick restarts of test peers
    const BindError b = listener.bind(address, port, error);
    if (bind_error) *bind_error = b;
    if (b != BindError::none) return std::nullopt;
    if (::listen(s, 64) != 0) {
        if (bind_error) *bind_error = BindError::other;
        set_error(error, errno);
        return std::nullopt;
    }
    return listener;
}

std::optional<TcpSocket> TcpListener::accept(int* error) const {
    int s;
    do {
        s = ::accept4(fd(handle_), nullptr, nullptr, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s < 0) {
        set_error(error, errno);
        return std::nullopt;
    }
    return TcpSocket(s);
}

void TcpListener::shutdown() const {
    ::shutdown(fd(handle_), SHUT_RDWR);
}

SocketsReference::SocketsReference(int, int) {}
SocketsReference::~SocketsReference() = default;

}  // namespace platform
