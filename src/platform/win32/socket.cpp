// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/win32/win32_support.h"
// clang-format on

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

SOCKET sock(std::intptr_t h) {
    return static_cast<SOCKET>(h);
}

// INVALID_SOCKET is ~0, the same bits as kNone (-1).
std::intptr_t handle_of(SOCKET s) {
    return static_cast<std::intptr_t>(s);
}

void set_error(int* error, int value) {
    if (error) *error = value;
}

// A new socket that child processes do not inherit (the Winsock form of SOCK_CLOEXEC).
SOCKET new_socket(int type, int protocol, int* error) {
    if (!detail::winsock_ready(error)) return INVALID_SOCKET;
    const SOCKET s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) set_error(error, ::WSAGetLastError());
    return s;
}

// Windows reports an ICMP port unreachable, drawn by an earlier send, as WSAECONNRESET on the
// next receive of a UDP socket, which would end a service loop: it is turned off for every
// UDP socket (Linux reports nothing unless asked with IP_RECVERR).
void ignore_port_unreachable(SOCKET s) {
    BOOL report = FALSE;
    DWORD returned = 0;
    (void)::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                     nullptr);
}

int clamp_ms(std::chrono::milliseconds ms) {
    if (ms.count() < 0) return 0;
    return ms.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms.count());
}

// select() for one socket; 1 ready, 0 time-out, -1 failure.
int wait_one(SOCKET s, bool for_write, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    // A failed non-blocking connect shows in the exception set, not the write set.
    const int rc = for_write ? ::select(0, nullptr, &set, &failed, &tv)
                             : ::select(0, &set, nullptr, nullptr, &tv);
    if (rc == SOCKET_ERROR) return -1;
    return rc > 0 ? 1 : 0;
}

bool set_blocking(SOCKET s, bool blocking) {
    u_long non_blocking = blocking ? 0 : 1;
    return ::ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}

}  // namespace

// ---- Waker ---------------------------------------------------------------------------------

// No pipe works with select() on Windows: the line is a pair of loopback UDP sockets, each
// connected to the other so no stray datagram can wake the loop. The read end is non-blocking
// for clear().
Waker::Waker() {
    int error = 0;
    const SOCKET r = new_socket(SOCK_DGRAM, IPPROTO_UDP, &error);
    const SOCKET w =
        r == INVALID_SOCKET ? INVALID_SOCKET : new_socket(SOCK_DGRAM, IPPROTO_UDP, &error);
    bool ok = r != INVALID_SOCKET && w != INVALID_SOCKET;
    sockaddr_in ra = to_sockaddr({kLoopbackAddress, 0}), wa = ra;
    int len = sizeof ra;
    ok = ok && ::bind(r, reinterpret_cast<const sockaddr*>(&ra), sizeof ra) == 0 &&
         ::getsockname(r, reinterpret_cast<sockaddr*>(&ra), &len) == 0;
    len = sizeof wa;
    ok = ok && ::bind(w, reinterpret_cast<const sockaddr*>(&wa), sizeof wa) == 0 &&
         ::getsockname(w, reinterpret_cast<sockaddr*>(&wa), &len) == 0;
    ok = ok && ::connect(w, reinterpret_cast<const sockaddr*>(&ra), sizeof ra) == 0 &&
         ::connect(r, reinterpret_cast<const sockaddr*>(&wa), sizeof wa) == 0 &&
         set_blocking(r, false) && set_blocking(w, false);
    if (!ok) {
        if (r != INVALID_SOCKET) ::closesocket(r);
        if (w != INVALID_SOCKET) ::closesocket(w);
        return;
    }
    ignore_port_unreachable(r);
    ignore_port_unreachable(w);
    read_ = handle_of(r);
    write_ = handle_of(w);
}

Waker::~Waker() {
    if (read_ != kNone) ::closesocket(sock(read_));
    if (write_ != kNone) ::closesocket(sock(write_));
}

void Waker::signal() {
    if (write_ == kNone) return;
    const char byte = 1;
    // A full queue already holds a pending signal, so a failed send loses nothing.
    (void)::send(sock(write_), &byte, 1, 0);
}

void Waker::clear() {
    if (read_ == kNone) return;
    char buffer[64];
    while (::recv(sock(read_), buffer, sizeof buffer, 0) >= 0) {
    }
}

// ---- InterfaceWatch ------------------------------------------------------------------------

// NotifyIpInterfaceChange reports on a thread of the system's, not through anything select()
// waits on: callers look again every kInterfacePollWait instead, one GetAdaptersAddresses call.
// Under Wine 8 the reports never come at all: NotifyIpInterfaceChange and
// NotifyUnicastIpAddressChange return NO_ERROR with a null handle and call back for no change
// (an address set or removed, a link down or up, an adapter added or removed), while
// GetAdaptersAddresses shows each of them on the next call.
InterfaceWatch::InterfaceWatch(bool /*open*/) {}
InterfaceWatch::~InterfaceWatch() = default;
void InterfaceWatch::clear() {}

// ---- Socket --------------------------------------------------------------------------------

void Socket::reset(Handle h) noexcept {
    if (handle_ != kNone) {
        detail::forget_socket(handle_);
        ::closesocket(sock(handle_));
    }
    handle_ = h;
}

WaitResult Socket::wait_readable(std::chrono::milliseconds timeout, const Waker* waker,
                                 const InterfaceWatch* watch) const {
    return wait_readable(this, timeout, waker, watch);
}

WaitResult Socket::wait_readable(const Socket* socket, std::chrono::milliseconds timeout,
                                 const Waker* waker, const InterfaceWatch* /*watch: never valid*/) {
    const int ms = clamp_ms(timeout);
    const bool with_waker = waker && waker->valid();
    if (socket == nullptr && !with_waker) {
        // select() refuses empty sets: nothing to wait for but the time.
        ::Sleep(static_cast<DWORD>(ms));
        return WaitResult::timeout;
    }
    fd_set set;
    FD_ZERO(&set);
    if (socket) FD_SET(sock(socket->handle_), &set);
    if (with_waker) FD_SET(sock(waker->read_), &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    const int rc = ::select(0, &set, nullptr, nullptr, &tv);
    if (rc == SOCKET_ERROR) return WaitResult::error;
    if (rc == 0) return WaitResult::timeout;
    if (with_waker && FD_ISSET(sock(waker->read_), &set)) return WaitResult::woken;
    return WaitResult::readable;
}

BindError Socket::bind(std::uint32_t address, std::uint16_t port, int* error) {
    const sockaddr_in a = to_sockaddr({address, port});
    if (::bind(sock(handle_), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
        set_error(error, 0);
        int type = 0;
        int size = sizeof type;
        if (::getsockopt(sock(handle_), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                         &size) == 0 &&
            type == SOCK_DGRAM) {
            const Endpoint bound = local_endpoint();
            detail::note_udp_bound(handle_, bound.address, bound.port);
        }
        return BindError::none;
    }
    const int e = ::WSAGetLastError();
    set_error(error, e);
    // Windows has no privileged ports: WSAEACCES means a socket holds the port exclusively
    // (SO_EXCLUSIVEADDRUSE) or the port is reserved, so in use for the user.
    if (e == WSAEADDRINUSE || e == WSAEACCES) return BindError::in_use;
    return BindError::other;
}

Endpoint Socket::local_endpoint() const {
    sockaddr_in a{};
    int len = sizeof a;
    if (::getsockname(sock(handle_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    return from_sockaddr(a);
}

bool Socket::set_reuse_address(bool on) {
    // SO_REUSEADDR on Windows lets a second socket take a port that is in use, so a busy port
    // would no longer be reported. A closed listener's port is free again at once anyway.
    if (on) return true;
    const BOOL v = FALSE;
    return ::setsockopt(sock(handle_), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&v),
                        sizeof v) == 0;
}

bool Socket::set_buffer_sizes(int receive_bytes, int send_bytes) {
    return ::setsockopt(sock(handle_), SOL_SOCKET, SO_RCVBUF,
                        reinterpret_cast<const char*>(&receive_bytes), sizeof(int)) == 0 &&
           ::setsockopt(sock(handle_), SOL_SOCKET, SO_SNDBUF,
                        reinterpret_cast<const char*>(&send_bytes), sizeof(int)) == 0;
}

// ---- UdpSocket -----------------------------------------------------------------------------

std::optional<UdpSocket> UdpSocket::open(int* error) {
    const SOCKET s = new_socket(SOCK_DGRAM, IPPROTO_UDP, error);
    if (s == INVALID_SOCKET) return std::nullopt;
    ignore_port_unreachable(s);
    return UdpSocket(handle_of(s));
}

bool UdpSocket::set_broadcast(bool on, int* error) {
    const BOOL v = on ? TRUE : FALSE;
    if (::setsockopt(sock(handle_), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&v),
                     sizeof v) == 0)
        return true;
    set_error(error, ::WSAGetLastError());
    return false;
}

// Windows has no SO_BINDTODEVICE. IP_UNICAST_IF sends what the socket sends out of the chosen
// interface; bound to that interface's own address (tied_bind_address), the socket takes only
// what arrives there, broadcasts included.
bool UdpSocket::bind_to_device(std::string_view interface_name, int* error) {
    const std::optional<std::uint32_t> index = detail::interface_index(interface_name);
    if (!index) {
        set_error(error, ENODEV);
        return false;
    }
    // For IPv4 the index goes in network byte order.
    const DWORD value = htonl(*index);
    if (::setsockopt(sock(handle_), IPPROTO_IP, IP_UNICAST_IF,
                     reinterpret_cast<const char*>(&value), sizeof value) == 0)
        return true;
    set_error(error, ::WSAGetLastError());
    return false;
}

std::uint32_t tied_bind_address(const Ipv4Interface& tied) {
    return tied.address;
}

namespace {

// One recvfrom. Windows fails a datagram longer than the buffer with WSAEMSGSIZE after filling
// the buffer with its first bytes and dropping the rest: that is taken as a received datagram
// of the buffer's size, as Linux gives it. A late WSAECONNRESET (an ICMP report, should the
// ioctl above not hold) is taken as an empty datagram, which every caller ignores: never as a
// failure that ends a loop, and never as a reason to block again.
int receive_datagram(SOCKET s, std::span<std::uint8_t> into, Endpoint* from, int* error) {
    sockaddr_in a{};
    int len = sizeof a;
    const int size = into.size() > 0x7fffffff ? 0x7fffffff : static_cast<int>(into.size());
    int n = ::recvfrom(s, reinterpret_cast<char*>(into.data()), size, 0,
                       reinterpret_cast<sockaddr*>(&a), &len);
    if (n == SOCKET_ERROR) {
        const int e = ::WSAGetLastError();
        if (e == WSAEMSGSIZE) {
            n = size;
        } else if (e == WSAECONNRESET) {
            n = 0;
        } else {
            set_error(error, e);
            return -1;
        }
    }
    if (from) *from = from_sockaddr(a);
    return n;
}

// Whether a datagram (or an error report) is queued now. Winsock has no MSG_DONTWAIT; one
// reader per socket means a datagram seen here is still there for the receive that follows.
bool queued(SOCKET s) {
    return wait_one(s, false, 0) == 1;
}

}  // namespace

int UdpSocket::receive_from(std::span<std::uint8_t> into, Endpoint* from, int* error) const {
    return receive_datagram(sock(handle_), into, from, error);
}

int UdpSocket::try_receive_from(std::span<std::uint8_t> into, Endpoint* from, int* error) const {
    if (!queued(sock(handle_))) {
        set_error(error, WSAEWOULDBLOCK);
        return -1;
    }
    return receive_datagram(sock(handle_), into, from, error);
}

int UdpSocket::send_to(std::span<const std::uint8_t> bytes, const Endpoint& to, int* error) const {
    const sockaddr_in a = to_sockaddr(to);
    const int n = ::sendto(sock(handle_), reinterpret_cast<const char*>(bytes.data()),
                           static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&a),
                           sizeof a);
    if (n == SOCKET_ERROR) {
        set_error(error, ::WSAGetLastError());
        return -1;
    }
    return n;
}

// Winsock has no recvmmsg/sendmmsg: the batch forms loop over the single calls.
int UdpSocket::try_receive_many(std::span<ReceiveSlot> slots, int* error) const {
    std::size_t taken = 0;
    while (taken < slots.size() && queued(sock(handle_))) {
        ReceiveSlot& slot = slots[taken];
        int e = 0;
        const int n = receive_datagram(sock(handle_), slot.into, &slot.from, &e);
        if (n < 0) {
            if (e == WSAEWOULDBLOCK || taken > 0) break;  // the error shows again on the next call
            set_error(error, e);
            return -1;
        }
        slot.length = n;
        ++taken;
    }
    return static_cast<int>(taken);
}

int UdpSocket::send_many(std::span<const SendSlot> slots, int* error) const {
    int sent = 0;
    for (const SendSlot& slot : slots) {
        // A datagram refused twice is skipped, so it never holds back the ones after it.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (send_to(slot.bytes, slot.to, error) >= 0) {
                ++sent;
                break;
            }
        }
    }
    return sent;
}

// Winsock reports ICMP errors of UDP only as WSAECONNRESET, without the endpoint that drew
// them, so there are no reports to take: callers fall back on their time-outs.
bool UdpSocket::set_receive_errors(bool on, int* error) {
    if (!on) return true;
    set_error(error, WSAEOPNOTSUPP);
    return false;
}

// Windows has no port shared out by the handling processor: one socket serves the port.
bool UdpSocket::share_port() {
    return false;
}
bool UdpSocket::steer_by_processor(unsigned /*sockets*/) {
    return false;
}

int UdpSocket::take_unreachable(std::span<Endpoint> /*into*/) const {
    return 0;
}

// ---- TcpSocket -----------------------------------------------------------------------------

std::optional<TcpSocket> TcpSocket::connect(const Endpoint& to, int* error,
                                            std::chrono::milliseconds timeout) {
    const SOCKET s = new_socket(SOCK_STREAM, IPPROTO_TCP, error);
    if (s == INVALID_SOCKET) return std::nullopt;
    TcpSocket result(handle_of(s));
    const sockaddr_in a = to_sockaddr(to);
    if (timeout.count() <= 0) {
        if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            set_error(error, ::WSAGetLastError());
            return std::nullopt;
        }
        return result;
    }
    // Bounded wait: connect without blocking, then select for writability (success) or the
    // exception set (failure).
    if (!set_blocking(s, false)) {
        set_error(error, ::WSAGetLastError());
        return std::nullopt;
    }
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        const int e = ::WSAGetLastError();
        if (e != WSAEWOULDBLOCK) {
            set_error(error, e);
            return std::nullopt;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int rc = 0;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            rc = wait_one(s, true, clamp_ms(left));
            if (rc != 0) break;
        }
        if (rc <= 0) {
            set_error(error, rc == 0 ? WSAETIMEDOUT : ::WSAGetLastError());
            return std::nullopt;
        }
        int so_error = 0;
        int len = sizeof so_error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0)
            so_error = ::WSAGetLastError();
        if (so_error != 0) {
            set_error(error, so_error);
            return std::nullopt;
        }
    }
    if (!set_blocking(s, true)) {
        set_error(error, ::WSAGetLastError());
        return std::nullopt;
    }
    return result;
}

// No SIGPIPE on Windows: a send to a closed connection fails with an error, no flag needed.
int TcpSocket::send(std::span<const std::uint8_t> bytes, int* error) const {
    const int size = bytes.size() > 0x7fffffff ? 0x7fffffff : static_cast<int>(bytes.size());
    const int n = ::send(sock(handle_), reinterpret_cast<const char*>(bytes.data()), size, 0);
    if (n == SOCKET_ERROR) {
        set_error(error, ::WSAGetLastError());
        return -1;
    }
    return n;
}

bool TcpSocket::send_all(std::span<const std::uint8_t> bytes, std::chrono::milliseconds stall,
                         std::chrono::steady_clock::time_point deadline, int* error) const {
    // Winsock has no MSG_DONTWAIT, and switching the socket to non-blocking would fail the
    // receives another thread may make on it. Instead: wait until the socket is writable, then
    // send a piece small enough that the send buffer takes it without blocking.
    constexpr std::size_t kPiece = 8 * 1024;
    while (!bytes.empty()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto wait = std::min(left, stall);
        const int rc = wait.count() > 0 ? wait_one(sock(handle_), true, clamp_ms(wait)) : 0;
        if (rc < 0) {
            set_error(error, ::WSAGetLastError());
            return false;
        }
        if (rc == 0) {
            set_error(error, WSAETIMEDOUT);
            return false;
        }
        const int n = send(bytes.first(std::min(bytes.size(), kPiece)), error);
        if (n < 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

int TcpSocket::receive(std::span<std::uint8_t> into, int* error) const {
    const int size = into.size() > 0x7fffffff ? 0x7fffffff : static_cast<int>(into.size());
    const int n = ::recv(sock(handle_), reinterpret_cast<char*>(into.data()), size, 0);
    if (n == SOCKET_ERROR) {
        set_error(error, ::WSAGetLastError());
        return -1;
    }
    return n;
}

int TcpSocket::receive(std::span<char> into, int* error) const {
    return receive(std::span(reinterpret_cast<std::uint8_t*>(into.data()), into.size()), error);
}

void TcpSocket::shutdown() const {
    ::shutdown(sock(handle_), SD_BOTH);
}

void TcpSocket::abort() {
    if (handle_ == kNone) return;
    const linger l{1, 0};
    ::setsockopt(sock(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    close();
}

Endpoint TcpSocket::peer_endpoint() const {
    sockaddr_in a{};
    int len = sizeof a;
    if (::getpeername(sock(handle_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    return from_sockaddr(a);
}

// ---- TcpListener ---------------------------------------------------------------------------

std::optional<TcpListener> TcpListener::listen(std::uint32_t address, std::uint16_t port,
                                               BindError* bind_error, int* error) {
    const SOCKET s = new_socket(SOCK_STREAM, IPPROTO_TCP, error);
    if (s == INVALID_SOCKET) {
        if (bind_error) *bind_error = BindError::other;
        return std::nullopt;
    }
    TcpListener listener(handle_of(s));
    // Nobody else may bind the port while it listens (Windows would let a SO_REUSEADDR socket).
    const BOOL exclusive = TRUE;
    (void)::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                       reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    const BindError b = listener.bind(address, port, error);
    if (bind_error) *bind_error = b;
    if (b != BindError::none) return std::nullopt;
    if (::listen(s, 64) != 0) {
        if (bind_error) *bind_error = BindError::other;
        set_error(error, ::WSAGetLastError());
        return std::nullopt;
    }
    return listener;
}

std::optional<TcpSocket> TcpListener::accept(int* error) const {
    const SOCKET s = ::accept(sock(handle_), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        set_error(error, ::WSAGetLastError());
        return std::nullopt;
    }
    // Accepted sockets take the listener's settings; inheritance is cleared here as well.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return TcpSocket(handle_of(s));
}

void TcpListener::shutdown() const {
    // Winsock does not end a blocked accept() on shutdown (a listener is not connected):
    // callers wait with a waker before they accept.
    ::shutdown(sock(handle_), SD_BOTH);
}

SocketsReference::SocketsReference(int major, int minor) {
    WSADATA data;
    error_ = ::WSAStartup(MAKEWORD(major, minor), &data);
}

SocketsReference::~SocketsReference() {
    if (error_ == 0) ::WSACleanup();
}

namespace detail {
namespace {

struct BoundUdp {
    std::intptr_t handle;
    std::uint32_t address;
    std::uint16_t port;
};

struct BoundUdpList {
    std::mutex mutex;
    std::vector<BoundUdp> sockets;  // guarded by mutex
};

// Never destroyed: a socket may close during the static destructors at exit.
BoundUdpList& bound_udp() {
    static BoundUdpList* const list = new BoundUdpList;
    return *list;
}

}  // namespace

void note_udp_bound(std::intptr_t handle, std::uint32_t address, std::uint16_t port) {
    BoundUdpList& list = bound_udp();
    std::lock_guard lock(list.mutex);
    list.sockets.push_back({handle, address, port});
}

void forget_socket(std::intptr_t handle) {
    BoundUdpList& list = bound_udp();
    std::lock_guard lock(list.mutex);
    std::erase_if(list.sockets, [handle](const BoundUdp& b) { return b.handle == handle; });
}

std::vector<std::uint32_t> udp_bound_here(std::uint16_t port) {
    BoundUdpList& list = bound_udp();
    std::lock_guard lock(list.mutex);
    std::vector<std::uint32_t> addresses;
    for (const BoundUdp& b : list.sockets)
        if (b.port == port) addresses.push_back(b.address);
    return addresses;
}

}  // namespace detail
}  // namespace platform
