#include "dhcp/dhcp_service.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "core/event_log.h"
#include "core/progress.h"
#include "core/settings.h"
#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_reply.h"
#include "dhcp/dhcp_service_loop.h"
#include "dhcp/lease_table.h"

namespace dhcp {
namespace {

// How long one wait for a datagram lasts before the loop looks again; stop requests and
// interface changes wake it at once, so this only bounds an idle turn.
constexpr std::chrono::seconds kIdleWait{30};

// The event-log line for a failed bind of the server port.
std::string bind_failure_text(platform::BindError error, std::uint16_t port) {
    // The fixed in-use text would send the user looking for a program that does not exist.
    if (error == platform::BindError::no_permission)
        return "DHCP Can't bind - port " + std::to_string(port) +
               " needs root or the CAP_NET_BIND_SERVICE capability";
    return "DHCP Can't bind - port already in use";
}

// The socket on the server port and the interface it serves. Tied to that interface, it takes
// only the messages that arrive by it (a PC on the office network is never answered) and its
// broadcasts leave through it. With no interface it holds the port and answers nothing.
class ServicePort {
public:
    enum class Settled { serving, refused, port_taken };

    explicit ServicePort(const DhcpServiceOptions& options) : options_(options) {}

    platform::UdpSocket* socket() { return socket_ ? &*socket_ : nullptr; }
    // False while the port is only held (no interface is in the network), or not even that.
    bool serving() const { return socket_ && tied_; }
    bool settled_on(const std::optional<platform::Ipv4Interface>& chosen) const {
        return socket_ && tied_ == chosen;
    }

    // As settle below, on a socket of its own.
    Settled settle(const std::optional<platform::Ipv4Interface>& chosen) {
        int error = 0;
        std::optional<platform::UdpSocket> fresh = platform::UdpSocket::open(&error);
        if (!fresh) {
            socket_.reset();
            tied_ = chosen;
            return failed("DHCP Can't create socket - " + platform::error_text(error),
                          Settled::refused);
        }
        return settle(chosen, std::move(*fresh));
    }

    // Ties `fresh` (a socket never bound) to `chosen`, or to nothing, and binds the port with
    // it in place of the socket held so far. A bound socket is neither bound nor tied again
    // (Linux wants CAP_NET_RAW to re-tie); the old one goes first so the two never hold the
    // port together. A failure is logged once until the next success.
    Settled settle(const std::optional<platform::Ipv4Interface>& chosen,
                   platform::UdpSocket fresh) {
        socket_.reset();
        tied_ = chosen;
        int error = 0;
        if (chosen && !fresh.bind_to_device(chosen->name, &error)) {
            // Answering every interface would make this PC a DHCP server on the office network:
            // the interface stays unserved until the next change, and `check` names the fix.
            return failed(
                "DHCP Can't tie to interface " + chosen->name + " - " + platform::error_text(error),
                Settled::refused);
        }
        const platform::BindError bound =
            fresh.bind(chosen ? platform::tied_bind_address(*chosen) : platform::kAnyAddress,
                       options_.server_port, &error);
        if (bound != platform::BindError::none)
            return failed(bind_failure_text(bound, options_.server_port), Settled::port_taken);
        socket_ = std::move(fresh);
        last_failure_.clear();
        return Settled::serving;
    }

private:
    Settled failed(const std::string& line, Settled result) {
        if (line != last_failure_) core::log_printf("%s\n", line.c_str());
        last_failure_ = line;
        return result;
    }

    const DhcpServiceOptions& options_;
    std::optional<platform::UdpSocket> socket_;    // bound; nullopt after a failed settle
    std::optional<platform::Ipv4Interface> tied_;  // what the last settle aimed at
    std::string last_failure_;                     // the line logged last, "" after a success
};

// Says where the service stands whenever its choice moves: "TFTP Daemon Binding to %s\n" for a
// new address, one waiting line (event log, and the progress line while nothing runs) when there
// is none. The reply composer takes server_address() for siaddr and the server identifier.
class ChoiceAnnouncer {
public:
    explicit ChoiceAnnouncer(std::string network) : network_(std::move(network)) {}
    ~ChoiceAnnouncer() { core::progress_board().set_waiting({}); }
    ChoiceAnnouncer(const ChoiceAnnouncer&) = delete;
    ChoiceAnnouncer& operator=(const ChoiceAnnouncer&) = delete;

    void announce(const std::optional<platform::Ipv4Interface>& chosen) {
        const std::string text = chosen ? platform::to_dotted(chosen->address) : std::string();
        if (said_ && text == *said_) return;
        said_ = text;
        set_server_address(text);
        if (chosen) {
            core::progress_board().set_waiting({});
            core::log_printf("TFTP Daemon Binding to %s\n", text.c_str());
        } else {
            core::progress_board().set_waiting("Waiting for the controller's network " + network_);
            core::log_printf("DHCP Waiting for an interface in %s\n", network_.c_str());
        }
    }

private:
    const std::string network_;
    std::optional<std::string> said_;  // the address announced last; "" for none
};

std::uint32_t prefix_mask(unsigned bits) {
    return bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
}

}  // namespace

std::uint32_t pool_start_address(std::string_view pool_start) {
    std::uint32_t address = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        std::uint8_t field = 0;
        (void)get_octet(pool_start, field, i);  // a missing field reads as 0, as in the table
        address = address << 8 | field;
    }
    return address;
}

std::optional<platform::Ipv4Interface> choose_interface(
    const std::vector<platform::Ipv4Interface>& interfaces, std::string_view pool_start) {
    const std::uint32_t start = pool_start_address(pool_start);
    for (const platform::Ipv4Interface& i : interfaces)
        if (i.up && i.netmask != 0 && platform::in_network_of(i, start)) return i;
    return std::nullopt;
}

std::string pool_network_text(std::string_view pool_start, std::string_view netmask) {
    const std::uint32_t start = pool_start_address(pool_start);
    if (const auto mask = platform::parse_dotted(netmask)) {
        const auto bits = static_cast<unsigned>(std::popcount(*mask));
        if (*mask == prefix_mask(bits))
            return platform::to_dotted(start & *mask) + "/" + std::to_string(bits);
    }
    return "the network of " + platform::to_dotted(start);
}

int dhcp_service_loop(const DhcpServiceOptions& options, const StopRequest& stop,
                      const std::function<void()>& on_serving) {
    dhcp_packet message{};
    dhcp_options parsed{};

    // Windows Sockets version 1.1, held until the service ends.
    const platform::SocketsReference sockets(1, 1);
    if (!sockets.ok()) {
        std::fprintf(stderr, "WSAStartup: %s\n", platform::error_text(sockets.error()).c_str());
        return kLoopNoSocket;
    }
    int error = 0;
    std::optional<platform::UdpSocket> socket = platform::UdpSocket::open(&error);
    if (!socket) {
        // Ends the DHCP service only: TFTP and the update jobs go on without it.
        const std::string text = platform::error_text(error);
        std::fprintf(stderr, "socket: %s\n", text.c_str());
        core::log_printf("DHCP Can't create socket - %s\n", text.c_str());
        return kLoopNoSocket;
    }

    (void)build_lease_table();  // always 0

    // A host-name lookup does not list the local addresses on Linux; the kernel's interface
    // list, in its order, stands in for it.
    const auto interfaces = platform::local_ipv4_interfaces(&error);
    if (!interfaces) {
        core::log_printf("Yow! Bad host lookup.\n");
        return kLoopBadHostLookup;
    }

    // The pool start is read here once; a later edit rebuilds the table but does not move the
    // service to another network.
    const core::ToolSettings settings = core::settings_snapshot();
    const std::string pool_start = settings.ZorvaIPStartAddress;
    ChoiceAnnouncer announcer(pool_network_text(pool_start, settings.netmask));
    // Opened before the first look, so no change is missed.
    platform::InterfaceWatch watch(options.watch_interfaces);

    std::optional<platform::Ipv4Interface> chosen = choose_interface(*interfaces, pool_start);
    announcer.announce(chosen);
    ServicePort port(options);
    if (port.settle(chosen, std::move(*socket)) == ServicePort::Settled::port_taken)
        return kLoopEnded;  // the port is another program's (or privileged): nothing to serve

    if (on_serving) on_serving();
    using Clock = std::chrono::steady_clock;
    auto next_look = Clock::now() + platform::kInterfacePollWait;
    while (!stop.requested.load()) {
        // Without the kernel's reports, or after a failed settle, the loop looks on its own at
        // least every kInterfacePollWait, however many datagrams arrive meanwhile.
        const bool polling = !watch.valid() || !port.socket();
        std::chrono::milliseconds wait = kIdleWait;
        if (polling)
            wait = std::max(std::chrono::milliseconds(0),
                            std::chrono::ceil<std::chrono::milliseconds>(next_look - Clock::now()));
        if (!stop.waker.valid()) wait = std::min(wait, kStopPollWait);
        const platform::WaitResult ready =
            platform::Socket::wait_readable(port.socket(), wait, &stop.waker, &watch);
        if (ready == platform::WaitResult::woken || ready == platform::WaitResult::error) break;

        if (ready != platform::WaitResult::readable || (polling && Clock::now() >= next_look)) {
            // A change, a turn without one, or the poll's time: look at the interfaces again.
            watch.clear();
            next_look = Clock::now() + platform::kInterfacePollWait;
            bool moved = false;
            if (const auto now = platform::local_ipv4_interfaces(&error)) {
                chosen = choose_interface(*now, pool_start);
                if ((moved = !port.settled_on(chosen))) {
                    announcer.announce(chosen);
                    (void)port.settle(chosen);
                }
            }
            // A datagram seen on a socket that settle replaced is gone with it.
            if (ready != platform::WaitResult::readable || moved) continue;
        }

        // Cleared for every message: bytes beyond what arrived read as zero, never as the
        // previous reply. A longer datagram is taken as its first 304 bytes.
        message.fill(0);
        platform::Endpoint from;  // not used: replies are addressed by the reply composer
        if (port.socket()->receive_from(message, &from, &error) < 0) break;
        if (!port.serving()) continue;  // held, not served: no interface is in the network
        if (parse_dhcp_options(message, parsed) >= 0)
            (void)process_dhcp_packet(&message, &parsed, *port.socket(), options.client_port);
    }
    return kLoopEnded;
}

// The thread entry: the loop's result is the thread's result.
int dhcp_service_thread(const DhcpServiceOptions& options, const StopRequest& stop,
                        const std::function<void()>& on_serving) {
    return dhcp_service_loop(options, stop, on_serving);
}

struct DhcpService::Impl {
    DhcpServiceOptions options;
    StopRequest stop_request;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool serving = false;
    bool ended = false;
    int result = kLoopEnded;

    std::jthread thread;  // last: joined before the members it uses go away

    void set_serving() {
        {
            std::lock_guard lock(mutex);
            serving = true;
        }
        changed.notify_all();
    }
    void set_ended(int r) {
        {
            std::lock_guard lock(mutex);
            ended = true;
            result = r;
        }
        changed.notify_all();
    }
};

DhcpService::DhcpService(DhcpServiceOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = options;
    Impl* impl = impl_.get();
    impl_->thread = std::jthread([impl] {
        impl->set_ended(dhcp_service_thread(impl->options, impl->stop_request,
                                            [impl] { impl->set_serving(); }));
    });
}

DhcpService::~DhcpService() {
    stop();
}

void DhcpService::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->stop_request.request();
    impl_->thread.join();
}

bool DhcpService::wait_serving(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout, [this] { return impl_->serving || impl_->ended; });
    return impl_->serving && !impl_->ended;
}

}  // namespace dhcp
