#include "tftp/tftp_service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "core/event_log.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "tftp/transfer_table.h"

namespace tftp {
namespace {

// Room for every client's datagram in flight while the loop is busy, so a burst of twenty
// clients never loses an ACK to a full queue.
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

class SocketSender : public PacketSender {
public:
    explicit SocketSender(const platform::UdpSocket& socket) : socket_(socket) {}
    int send_to(std::span<const std::uint8_t> bytes, const platform::Endpoint& to) override {
        return socket_.send_to(bytes, to);
    }

private:
    const platform::UdpSocket& socket_;
};

TftpServerConfig config_for(const TftpServiceOptions& options) {
    TftpServerConfig config;
    config.homeDirectory.fill('\0');
    const std::size_t n = std::min(options.directory.size(), config.homeDirectory.size() - 1);
    std::copy_n(options.directory.begin(), n, config.homeDirectory.begin());
    return config;
}

}  // namespace

struct TftpService::Impl {
    TftpServiceOptions options;
    platform::Waker waker;
    mutable std::mutex mutex;
    mutable std::condition_variable started_changed;
    std::atomic<bool> stop_requested{false};
    bool started = false;  // written by the service thread once, read by port()
    std::uint16_t bound_port = 0;
    std::jthread thread;

    void publish(std::uint16_t port) {
        {
            std::lock_guard lock(mutex);
            started = true;
            bound_port = port;
        }
        started_changed.notify_all();
    }

    std::optional<platform::UdpSocket> open_socket() {
        int error = 0;
        auto socket = platform::UdpSocket::open(&error);
        if (!socket) {
            core::log_printf("Error at socket(): %ld\n", static_cast<long>(error));
            return std::nullopt;
        }
        (void)socket->set_buffer_sizes(kSocketBufferBytes, kSocketBufferBytes);  // best effort
        switch (socket->bind(platform::kAnyAddress, options.port, &error)) {
            case platform::BindError::none:
                return socket;
            case platform::BindError::in_use:
                core::log_printf("Error: Port %u already in use.\n",
                                 static_cast<unsigned>(options.port));
                break;
            case platform::BindError::no_permission:
                core::log_printf("Error: Port %u needs root or CAP_NET_BIND_SERVICE.\n",
                                 static_cast<unsigned>(options.port));
                break;
            case platform::BindError::other:
                core::log_printf("Error at bind(): %ld\n", static_cast<long>(error));
                break;
        }
        return std::nullopt;
    }

    void run() {
        auto socket = open_socket();
        if (!socket) {
            publish(0);
            return;
        }
        core::log_printf("Ready...\n");
        publish(socket->local_endpoint().port);

        const TftpServerConfig config = config_for(options);
        SocketSender sender(*socket);
        TransferTable table(sender, config);
        const std::chrono::milliseconds wait = std::chrono::seconds(config.wait());
        // After a datagram, the next one is often queued already (several clients): take it
        // without a wait call. Otherwise wait, at most the retransmission wait.
        bool maybe_queued = false;
        while (!stop_requested.load(std::memory_order_relaxed)) {
            platform::Endpoint from;
            int length = maybe_queued ? socket->try_receive_from(table.begin_receive(), &from) : -1;
            bool received = length >= 0;
            if (!received) {
                const auto woke = socket->wait_readable(wait, &waker);
                if (woke == platform::WaitResult::woken) return;
                if (woke == platform::WaitResult::readable) {
                    length = socket->receive_from(table.begin_receive(), &from);
                    received = true;
                }
            }
            const std::int64_t now = platform::now_seconds();  // once per wake-up
            if (received) table.dispatch(from, length, now);
            table.expire(now);
            maybe_queued = received;
        }
    }
};

TftpService::TftpService(TftpServiceOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->thread = std::jthread([impl = impl_.get()] { impl->run(); });
}

TftpService::~TftpService() {
    stop();
}

void TftpService::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->stop_requested = true;
    impl_->waker.signal();
    impl_->thread.join();
}

std::uint16_t TftpService::port() const {
    std::unique_lock lock(impl_->mutex);
    impl_->started_changed.wait(lock, [this] { return impl_->started; });
    return impl_->bound_port;
}

}  // namespace tftp
