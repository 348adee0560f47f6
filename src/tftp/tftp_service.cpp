#include "tftp/tftp_service.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/event_log.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "tftp/batch_sender.h"
#include "tftp/socket_group.h"
#include "tftp/transfer_table.h"

namespace tftp {
namespace {

// Datagrams taken per receive call. Twenty clients in lock-step have at most twenty datagrams
// queued at a time.
constexpr std::size_t kBatch = 32;

// Open files the rest of the process may hold beside the transfers' files.
constexpr std::uint64_t kFileReserve = 64;

// As many transfers as the open-file limit has room for, after raising its soft value.
std::size_t transfer_limit() {
    const std::uint64_t files = platform::raise_open_file_limit(kMaxTransfers + kFileReserve);
    if (files < 2 * kFileReserve) return static_cast<std::size_t>(files / 2);
    return static_cast<std::size_t>(std::min<std::uint64_t>(kMaxTransfers, files - kFileReserve));
}

// The one transfer table of the service, used by one loop at a time.
class SharedTable {
public:
    SharedTable(const TftpServerConfig& config, std::size_t max_transfers)
        : table_(config, max_transfers) {}

    // The table, for as long as the returned holder lives.
    class Holder {
    public:
        explicit Holder(SharedTable& shared) : lock_(shared.mutex_), table_(shared.table_) {}
        TransferTable* operator->() const { return &table_; }
        TransferTable& operator*() const { return table_; }

    private:
        std::lock_guard<std::mutex> lock_;
        TransferTable& table_;
    };
    Holder hold() { return Holder(*this); }

private:
    std::mutex mutex_;
    TransferTable table_;
};

// The receive areas of one batch.
struct ReceiveBatch {
    std::array<PacketArea, kBatch> areas;
    std::array<platform::ReceiveSlot, kBatch> slots;
    ReceiveBatch() {
        for (std::size_t i = 0; i < kBatch; ++i) slots[i].into = areas[i];
    }
};

// Ends the transfers of clients whose ports turned out to be closed. Takes every queued report,
// so the socket does not stay readable for them.
void take_unreachable(const platform::UdpSocket& socket, TransferTable& table) {
    std::array<platform::Endpoint, kBatch> clients;
    int n;
    do {
        n = socket.take_unreachable(clients);
        for (int i = 0; i < n; ++i) table.client_unreachable(clients[static_cast<std::size_t>(i)]);
    } while (n == static_cast<int>(clients.size()));
}

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

    void run() {
        // Windows Sockets version 2.2, held until the service ends.
        const platform::SocketsReference sockets(2, 2);
        if (!sockets.ok()) {
            core::log_printf("Error at WSAStartup()\n");
            publish(0);
            return;
        }
        const std::vector<platform::UdpSocket> group = open_socket_group(options.port);
        if (group.empty()) {
            publish(0);
            return;
        }
        core::log_printf("Ready...\n");
        publish(group.front().local_endpoint().port);

        const TftpServerConfig config = config_for(options);
        const std::chrono::milliseconds wait = std::chrono::seconds(config.wait());
        SharedTable shared(config, transfer_limit());
        const auto loops = static_cast<unsigned>(group.size());
        std::vector<std::jthread> others;
        // Each loop keeps to the processors whose datagrams its socket gets, so the client it
        // answers is woken where it last ran. A new thread starts on the processors of the one
        // that made it, so this one keeps to its own only after the others started.
        for (unsigned i = 1; i < loops; ++i) {
            others.emplace_back([this, &socket = group[i], &shared, wait, i, loops] {
                (void)platform::keep_thread_on_processor_group(i, loops);
                serve(socket, shared, wait);
            });
        }
        if (loops > 1) (void)platform::keep_thread_on_processor_group(0, loops);
        serve(group.front(), shared, wait);
    }

    // One loop: waits at most `wait` (the retransmission wait) for a datagram.
    void serve(const platform::UdpSocket& socket, SharedTable& shared,
               std::chrono::milliseconds wait) {
        // Large areas: on the heap, not on the thread's stack.
        const auto sender = std::make_unique<BatchSender>(socket);
        const auto batch = std::make_unique<ReceiveBatch>();
        // After a datagram, more are often queued already (several clients): take them all with
        // one call and without a wait call. Otherwise wait.
        bool maybe_queued = false;
        while (!stop_requested.load(std::memory_order_relaxed)) {
            // A failed call, or a wake-up without a datagram, may mean ICMP error reports are
            // queued (the clients whose ports are closed); they are taken after the batch.
            bool reports = false;
            int count = maybe_queued ? socket.try_receive_many(batch->slots) : 0;
            if (count <= 0) {
                reports = count < 0;
                const auto woke = socket.wait_readable(wait, &waker);
                if (woke == platform::WaitResult::woken) return;
                // A failed receive is handled like a wake-up without a datagram: only the
                // time-out scan runs.
                count = woke == platform::WaitResult::readable
                            ? socket.try_receive_many(batch->slots)
                            : 0;
                reports = reports || count <= 0;
            }
            // Each datagram is handled as if it had been received on its own: the clock read,
            // the dispatch and the time-out scan, in arrival order, each holding the table on
            // its own, so another loop waits for one datagram at most. The replies wait for the
            // end of the batch, or go once a window's worth is held.
            bool failed = false;
            for (int i = 0; i < count; ++i) {
                const platform::ReceiveSlot& slot = batch->slots[static_cast<std::size_t>(i)];
                {
                    const auto table = shared.hold();
                    const std::int64_t now = platform::now_seconds();
                    table->dispatch(
                        *sender, slot.from,
                        slot.into.first(static_cast<std::size_t>(std::max(slot.length, 0))), now);
                    table->expire(*sender, now);
                }
                if (sender->held_bytes() >= kWindowBytes) failed = sender->flush() || failed;
            }
            if (count <= 0) shared.hold()->expire(*sender, platform::now_seconds());
            failed = sender->flush() || failed;
            if (failed || reports) take_unreachable(socket, *shared.hold());
            maybe_queued = count > 0;
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
