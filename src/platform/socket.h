// RAII UDP and TCP sockets and a waker that interrupts a blocking wait. Every call reports
// failure through its result and an error number (see net.h for texts); none throws.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/net.h"

namespace platform {

// Why a bind failed, as the user needs to hear it.
enum class BindError {
    none,
    in_use,         // another socket holds the address and port
    no_permission,  // a privileged port without root or CAP_NET_BIND_SERVICE
    other,
};

enum class WaitResult {
    readable,
    timeout,
    woken,    // the waker was signalled
    changed,  // the interface watch reports a change
    error,
};

class Socket;

// One reference to the system's sockets layer, held for as long as the object lives and asking
// for the given version: the services, each telnet connection and each HTTP request hold their
// own (Windows Sockets counts them; WSAStartup/WSACleanup). Linux has nothing to start: ok()
// is always true there.
class SocketsReference {
public:
    SocketsReference(int major, int minor);
    ~SocketsReference();
    SocketsReference(const SocketsReference&) = delete;
    SocketsReference& operator=(const SocketsReference&) = delete;
    bool ok() const { return error_ == 0; }
    int error() const { return error_; }  // the start-up's error number when not ok()

private:
    int error_ = 0;
};

// A wake-up line for a service loop: stop requests signal it, the loop's wait returns `woken`.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    void signal();  // safe from any thread, any number of times
    void clear();   // drains pending signals
    bool valid() const { return read_ != kNone; }

private:
    friend class Socket;
    using Handle = std::intptr_t;
    static constexpr Handle kNone = -1;
    Handle read_ = kNone;
    Handle write_ = kNone;
};

// Tells a waiting loop that the host's interfaces or their IPv4 addresses changed: an address
// added or removed, a link up or down, an adapter plugged in or out. Linux: the kernel's route
// netlink (links and IPv4 addresses), reported at once. Windows has no such report that select()
// waits on: valid() is false there, and the caller looks again on its own (kInterfacePollWait).
class InterfaceWatch {
public:
    explicit InterfaceWatch(bool open = true);  // false: never valid
    ~InterfaceWatch();
    InterfaceWatch(const InterfaceWatch&) = delete;
    InterfaceWatch& operator=(const InterfaceWatch&) = delete;
    bool valid() const { return handle_ != kNone; }
    void clear();  // takes the pending reports

private:
    friend class Socket;
    using Handle = std::intptr_t;
    static constexpr Handle kNone = -1;
    Handle handle_ = kNone;
};

// How often a caller without a valid InterfaceWatch looks at the interfaces itself.
inline constexpr std::chrono::milliseconds kInterfacePollWait{500};

// Common handle ownership for both socket kinds.
class Socket {
public:
    Socket(Socket&& o) noexcept : handle_(std::exchange(o.handle_, kNone)) {}
    Socket& operator=(Socket&& o) noexcept {
        reset(std::exchange(o.handle_, kNone));
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { reset(kNone); }

    bool is_open() const { return handle_ != kNone; }
    void close() { reset(kNone); }

    // Waits until a read would not block. With a waker, its signal ends the wait early; with a
    // watch, so does a change of the interfaces.
    WaitResult wait_readable(std::chrono::milliseconds timeout, const Waker* waker = nullptr,
                             const InterfaceWatch* watch = nullptr) const;
    // The same without a socket of one's own (nullptr): waits for the waker or the watch.
    static WaitResult wait_readable(const Socket* socket, std::chrono::milliseconds timeout,
                                    const Waker* waker, const InterfaceWatch* watch);

    // Binds to address:port (address 0 = every interface); *error gets the OS error number.
    [[nodiscard]] BindError bind(std::uint32_t address, std::uint16_t port, int* error = nullptr);
    // The locally bound address and port (after bind or connect).
    Endpoint local_endpoint() const;

    [[nodiscard]] bool set_reuse_address(bool on);
    // Receive and send buffer sizes in bytes; the kernel may clamp them.
    [[nodiscard]] bool set_buffer_sizes(int receive_bytes, int send_bytes);

protected:
    using Handle = std::intptr_t;
    static constexpr Handle kNone = -1;
    explicit Socket(Handle h) : handle_(h) {}
    Handle handle() const { return static_cast<Handle>(handle_); }
    void reset(Handle h) noexcept;
    Handle handle_;
};

// One datagram of a batch receive: the caller's area, and what the receive filled in. A datagram
// longer than `into` is cut to its size.
struct ReceiveSlot {
    std::span<std::uint8_t> into;
    Endpoint from;
    int length = 0;
};

// One datagram of a batch send. The bytes stay the caller's until the call returns.
struct SendSlot {
    std::span<const std::uint8_t> bytes;
    Endpoint to;
};

class UdpSocket : public Socket {
public:
    // A new unbound IPv4 datagram socket; nullopt with *error set on failure.
    static std::optional<UdpSocket> open(int* error = nullptr);

    [[nodiscard]] bool set_broadcast(bool on, int* error = nullptr);
    // Ties the socket to one interface: datagrams arrive only from it and broadcasts leave
    // through it. Linux: SO_BINDTODEVICE, needs CAP_NET_RAW. Windows: IP_UNICAST_IF, and the
    // socket must then be bound to tied_bind_address. The name is one local_ipv4_interfaces gives.
    [[nodiscard]] bool bind_to_device(std::string_view interface_name, int* error = nullptr);

    // Received byte count (a datagram longer than `into` is cut to its size, never an error),
    // or -1 with *error set.
    [[nodiscard]] int receive_from(std::span<std::uint8_t> into, Endpoint* from,
                                   int* error = nullptr) const;
    // As receive_from, but never waits: -1 with *error set (kErrorWouldBlock) when nothing is
    // queued.
    // Lets a busy loop take a queued datagram without a wait call first.
    [[nodiscard]] int try_receive_from(std::span<std::uint8_t> into, Endpoint* from,
                                       int* error = nullptr) const;
    // Sent byte count, or -1 with *error set.
    [[nodiscard]] int send_to(std::span<const std::uint8_t> bytes, const Endpoint& to,
                              int* error = nullptr) const;

    // Batch forms for a busy service loop: one system call for many datagrams (Linux recvmmsg
    // and sendmmsg). try_receive_many never waits: it takes the datagrams already queued, in
    // arrival order, into the first slots and returns how many; 0 when nothing is queued, -1
    // with *error set when the receive failed.
    [[nodiscard]] int try_receive_many(std::span<ReceiveSlot> slots, int* error = nullptr) const;
    // Sends the slots in order; returns how many went out. A datagram the kernel refuses twice
    // is skipped, so one failure never holds back the ones after it. *error gets the last
    // failure seen, also one that a second try got past (see set_receive_errors).
    int send_many(std::span<const SendSlot> slots, int* error = nullptr) const;

    // Asks for the ICMP errors that datagrams sent from this socket draw (Linux IP_RECVERR).
    // Each one queues a report and makes the next receive or send call fail once; the caller
    // then takes the reports with take_unreachable. Unanswered reports keep the socket
    // readable, so a caller that enables this must take them.
    [[nodiscard]] bool set_receive_errors(bool on, int* error = nullptr);

    // One port served by several sockets, one per processor group (Linux SO_REUSEPORT): call
    // share_port on each before its bind; steer_by_processor on any of them once they are all
    // bound, in the order 0 to `sockets` - 1. A datagram then goes to the socket numbered like
    // the processor that handles its arrival, modulo `sockets` (on loopback that is the
    // sender's processor). false where the platform can't (Windows).
    [[nodiscard]] bool share_port();
    [[nodiscard]] bool steer_by_processor(unsigned sockets);
    // Takes the queued error reports without waiting. Each "port unreachable" puts the endpoint
    // that the refused datagram went to into `into`; other reports are dropped. Returns how many
    // endpoints were stored; when that is into.size(), more may be queued.
    int take_unreachable(std::span<Endpoint> into) const;

private:
    using Socket::Socket;
};

// The address a socket tied to `tied` (bind_to_device) binds, so that it still takes the
// broadcasts of clients that have no address yet: every address (0) on Linux, where the tie
// filters; the interface's own address on Windows, where a socket bound to it takes that
// interface's broadcasts and nothing else.
std::uint32_t tied_bind_address(const Ipv4Interface& tied);

class TcpSocket : public Socket {
public:
    // Connects to `to`; nullopt with *error set when the socket cannot be made or the peer
    // refuses. A timeout of zero waits as long as the OS does; otherwise a connect still
    // unanswered after `timeout` fails with kErrorTimedOut.
    static std::optional<TcpSocket> connect(const Endpoint& to, int* error = nullptr,
                                            std::chrono::milliseconds timeout = {});

    // Bytes sent (possibly fewer than asked), or -1 with *error set.
    [[nodiscard]] int send(std::span<const std::uint8_t> bytes, int* error = nullptr) const;
    [[nodiscard]] int send(std::string_view text, int* error = nullptr) const;
    // Sends everything or fails: true when every byte went out.
    [[nodiscard]] bool send_all(std::span<const std::uint8_t> bytes, int* error = nullptr) const;
    [[nodiscard]] bool send_all(std::string_view text, int* error = nullptr) const;
    // The same, but gives up (false, *error = kErrorTimedOut) when the peer takes no byte for
    // `stall`, or when `deadline` passes before the last byte went out.
    [[nodiscard]] bool send_all(std::span<const std::uint8_t> bytes,
                                std::chrono::milliseconds stall,
                                std::chrono::steady_clock::time_point deadline,
                                int* error = nullptr) const;
    // Bytes received, 0 when the peer closed, -1 with *error set.
    [[nodiscard]] int receive(std::span<std::uint8_t> into, int* error = nullptr) const;
    [[nodiscard]] int receive(std::span<char> into, int* error = nullptr) const;
    // Ends both directions; a thread blocked in receive() on this socket returns.
    void shutdown() const;
    // Closes with a reset (RST) instead of an orderly end, as a crashing peer would.
    void abort();
    Endpoint peer_endpoint() const;

private:
    friend class TcpListener;
    using Socket::Socket;
};

class TcpListener : public Socket {
public:
    // Listens on address:port (port 0 picks a free one); nullopt with *bind_error/*error set.
    static std::optional<TcpListener> listen(std::uint32_t address, std::uint16_t port,
                                             BindError* bind_error = nullptr, int* error = nullptr);
    // The next connection, or nullopt when accept fails (also after shutdown()).
    std::optional<TcpSocket> accept(int* error = nullptr) const;
    // Makes a blocked accept() return on Linux; Winsock does not, so portable callers wait
    // with a waker before they accept.
    void shutdown() const;

private:
    using Socket::Socket;
};

}  // namespace platform
