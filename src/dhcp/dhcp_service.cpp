#include "dhcp/dhcp_service.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "core/event_log.h"
#include "core/settings.h"
#include "dhcp/dhcp_message.h"
#include "dhcp/dhcp_reply.h"
#include "dhcp/dhcp_service_loop.h"
#include "dhcp/lease_table.h"

namespace dhcp {
namespace {

// How long one wait for a datagram lasts before the loop looks again; stop requests wake it
// at once through the waker, so this only bounds an idle turn.
constexpr std::chrono::seconds kIdleWait{30};

void report_bind_failure(platform::BindError error, std::uint16_t port) {
    if (error == platform::BindError::no_permission) {
        // The fixed in-use text would send the user looking for a program that does not exist.
        core::log_printf(
            "DHCP Can't bind - port %u needs root or the CAP_NET_BIND_SERVICE "
            "capability\n",
            unsigned{port});
        return;
    }
    core::log_printf("DHCP Can't bind - port already in use\n");
}

}  // namespace

std::optional<platform::Ipv4Interface> choose_interface(
    const std::vector<platform::Ipv4Interface>& interfaces, std::string_view pool_start) {
    std::uint8_t want0 = 0, want1 = 0;
    (void)get_octet(pool_start, want0, 0);  // a missing field reads as 0, as it does below
    (void)get_octet(pool_start, want1, 1);
    for (const platform::Ipv4Interface& i : interfaces) {
        const std::string text = platform::to_dotted(i.address);
        std::uint8_t have0 = 0, have1 = 0;
        (void)get_octet(text, have0, 0);
        (void)get_octet(text, have1, 1);
        if (have0 == want0 && have1 == want1) return i;
    }
    return std::nullopt;
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
    // service to another interface.
    const core::ToolSettings settings = core::settings_snapshot();
    const auto chosen = choose_interface(*interfaces, settings.ZorvaIPStartAddress);
    if (chosen) {
        const std::string text = platform::to_dotted(chosen->address);
        set_server_address(text);
        core::log_printf("TFTP Daemon Binding to %s\n", text.c_str());
    }

    // A socket bound to one unicast address never sees the broadcasts of a client that has no
    // address yet. Bind every address and tie the socket to the chosen interface instead, so
    // requests are taken from it and broadcast replies leave through it.
    bool tied = false;
    if (chosen && !(tied = socket->bind_to_device(chosen->name, &error))) {
        // Refused (older kernels want CAP_NET_RAW for it): serve every interface rather than
        // none, and say so where the user looks, since replies may now leave by any interface.
        const std::string text = platform::error_text(error);
        std::fprintf(stderr, "setsockopt: %s\n", text.c_str());
        core::log_printf("DHCP Can't tie to interface %s - serving every interface: %s\n",
                         chosen->name.c_str(), text.c_str());
    }
    const platform::BindError bound = socket->bind(
        tied ? platform::tied_bind_address(*chosen) : platform::kAnyAddress, options.server_port,
        &error);
    if (bound != platform::BindError::none) {
        report_bind_failure(bound, options.server_port);
        return kLoopEnded;
    }

    if (on_serving) on_serving();
    const auto idle_wait = stop.waker.valid() ? std::chrono::milliseconds(kIdleWait) : kStopPollWait;
    while (!stop.requested.load()) {
        const platform::WaitResult ready = socket->wait_readable(idle_wait, &stop.waker);
        if (ready == platform::WaitResult::timeout) continue;
        if (ready != platform::WaitResult::readable) break;  // stop request or a failed wait

        // Cleared for every message: bytes beyond what arrived read as zero, never as the
        // previous reply. A longer datagram is taken as its first 304 bytes.
        message.fill(0);
        platform::Endpoint from;  // not used: replies are addressed by the reply composer
        if (socket->receive_from(message, &from, &error) < 0) break;
        if (parse_dhcp_options(message, parsed) >= 0)
            (void)process_dhcp_packet(&message, &parsed, *socket, options.client_port);
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
        impl->set_ended(
            dhcp_service_thread(impl->options, impl->stop_request, [impl] { impl->set_serving(); }));
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
