#include "tftp/tftp_service.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/event_log.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "tftp/transfer_table.h"

namespace tftp {
namespace {

// Room for every client's datagram in flight while the loop is busy, so a burst of twenty
// clients never loses an ACK to a full queue.
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

// Datagrams taken per receive call. Twenty clients in lock-step have at most twenty datagrams
// queued at a time.
constexpr std::size_t kBatch = 32;

// Loops at most, each with its socket on the port and its share of the processors.
constexpr unsigned kMaxLoops = 8;

// Open files the rest of the process may hold beside the transfers' files.
constexpr std::uint64_t kFileReserve = 64;

// As many transfers as the open-file limit has room for, after raising its soft value.
std::size_t transfer_limit() {
    const std::uint64_t files = platform::raise_open_file_limit(kMaxTransfers + kFileReserve);
    if (files < 2 * kFileReserve) return static_cast<std::size_t>(files / 2);
    return static_cast<std::size_t>(std::min<std::uint64_t>(kMaxTransfers, files - kFileReserve));
}

// Holds the packets that the steps send while one batch of datagrams is handled, and sends them
// together, in the order they were made, with as few calls as the platform allows. Each packet
// is copied, because a later step of the same batch may refill the area it came from. It holds
// a whole window or more, so with several loops nothing is sent while a loop holds the table
// (a send wakes a client, which may take the processor from the loop). A held packet counts
// as sent: on an unconnected UDP socket a send fails only for local reasons that a
// retransmission covers too.
class BatchSender : public PacketSender {
public:
    // Room for two of the largest windows with their headers (the most blocks are of 512).
    static constexpr std::size_t kWindowBlocks = kWindowBytes / kDefaultBlockSize;
    static constexpr std::size_t kBytes = 2 * (kWindowBytes + kWindowBlocks * kHeaderSize);
    static constexpr std::size_t kPackets = 2 * kWindowBlocks;

    explicit BatchSender(const platform::UdpSocket& socket)
        : socket_(socket), bytes_(kBytes), slots_(kPackets) {}

    int send_to(std::span<const std::uint8_t> bytes, const platform::Endpoint& to) override {
        if (bytes.size() > PacketArea{}.size()) {  // never made by the steps; sent as it is
            flush();
            return socket_.send_to(bytes, to);
        }
        if (count_ == slots_.size() || used_ + bytes.size() > bytes_.size()) flush();
        std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(used_));
        slots_[count_] = {std::span<const std::uint8_t>(bytes_.data() + used_, bytes.size()), to};
        used_ += bytes.size();
        ++count_;
        return static_cast<int>(bytes.size());
    }

    // Bytes held: a loop sends them once past a window's worth, not only at the batch's end.
    std::size_t held_bytes() const { return used_; }

    // Sends what is held; true when a send call failed, which may mean error reports are queued.
    bool flush() {
        if (count_ == 0) return false;
        int error = 0;
        (void)socket_.send_many(std::span(slots_.data(), count_), &error);
        count_ = 0;
        used_ = 0;
        return error != 0;
    }

private:
    const platform::UdpSocket& socket_;
    std::vector<std::uint8_t> bytes_;
    std::vector<platform::SendSlot> slots_;
    std::size_t count_ = 0;
    std::size_t used_ = 0;
};

// The one transfer table of the service, used by one loop at a time; its packets go into the
// batch of the loop that holds it.
class SharedTable {
public:
    SharedTable(const TftpServerConfig& config, std::size_t max_transfers)
        : table_(sender_, config, max_transfers) {}

    // The table, for as long as the returned holder lives.
    class Holder {
    public:
        Holder(SharedTable& shared, BatchSender& sender) : lock_(shared.mutex_), shared_(shared) {
            shared_.sender_.current = &sender;
        }
        TransferTable* operator->() const { return &shared_.table_; }
        TransferTable& operator*() const { return shared_.table_; }

    private:
        std::lock_guard<std::mutex> lock_;
        SharedTable& shared_;
    };
    Holder hold(BatchSender& sender) { return Holder(*this, sender); }

private:
    struct HolderSender : PacketSender {
        BatchSender* current = nullptr;
        int send_to(std::span<const std::uint8_t> bytes, const platform::Endpoint& to) override {
            return current->send_to(bytes, to);
        }
    };
    std::mutex mutex_;
    HolderSender sender_;
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

    // A socket set up as every service socket is: large buffers, error reports, and, for a
    // shared port, the sharing.
    static std::optional<platform::UdpSocket> new_socket(bool shared, int* error) {
        auto socket = platform::UdpSocket::open(error);
        if (!socket) return std::nullopt;
        (void)socket->set_buffer_sizes(kSocketBufferBytes, kSocketBufferBytes);  // best effort
        // Best effort too: without the reports, silent clients are only given up when their
        // time runs out or the table is full.
        (void)socket->set_receive_errors(true);
        if (shared && !socket->share_port()) return std::nullopt;
        return socket;
    }

    // The service socket on `port`, or the reason it can't be had in the log.
    std::optional<platform::UdpSocket> open_socket(std::uint16_t port) {
        int error = 0;
        auto socket = new_socket(false, &error);
        if (!socket) {
            core::log_printf("Error at socket(): %ld\n", static_cast<long>(error));
            return std::nullopt;
        }
        switch (socket->bind(platform::kAnyAddress, port, &error)) {
            case platform::BindError::none:
                return socket;
            case platform::BindError::in_use:
                core::log_printf("Error: Port %u already in use.\n", static_cast<unsigned>(port));
                break;
            case platform::BindError::no_permission:
                core::log_printf("Error: Port %u needs root or CAP_NET_BIND_SERVICE.\n",
                                 static_cast<unsigned>(port));
                break;
            case platform::BindError::other:
                core::log_printf("Error at bind(): %ld\n", static_cast<long>(error));
                break;
        }
        return std::nullopt;
    }

    // The sockets of the port, one per loop: one per processor group where the platform hands
    // each datagram to the socket of the processor that handled it, else one. The port is
    // first taken alone, so a port held by anyone else is reported as always, and then shared.
    std::vector<platform::UdpSocket> open_sockets() {
        std::vector<platform::UdpSocket> group;
        auto alone = open_socket(options.port);
        if (!alone) return group;
        const unsigned loops = std::min(platform::usable_processors(), kMaxLoops);
        while (loops > 1 && group.size() < loops) {
            auto socket = new_socket(true, nullptr);
            if (!socket) break;
            group.push_back(std::move(*socket));
        }
        if (group.size() < 2) {  // one processor, or no sharing here
            group.clear();
            group.push_back(std::move(*alone));
            return group;
        }
        const std::uint16_t port = alone->local_endpoint().port;
        alone->close();
        bool bound = true;
        for (platform::UdpSocket& socket : group)
            bound = bound && socket.bind(platform::kAnyAddress, port) == platform::BindError::none;
        if (bound && group.front().steer_by_processor(static_cast<unsigned>(group.size())))
            return group;
        // No steering after all: the port alone again.
        group.clear();
        if (auto socket = open_socket(port)) group.push_back(std::move(*socket));
        return group;
    }

    void run() {
        // Windows Sockets version 2.2, held until the service ends.
        const platform::SocketsReference sockets(2, 2);
        if (!sockets.ok()) {
            core::log_printf("Error at WSAStartup()\n");
            publish(0);
            return;
        }
        const std::vector<platform::UdpSocket> group = open_sockets();
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
                    const auto table = shared.hold(*sender);
                    const std::int64_t now = platform::now_seconds();
                    table->dispatch(
                        slot.from,
                        slot.into.first(static_cast<std::size_t>(std::max(slot.length, 0))), now);
                    table->expire(now);
                }
                if (sender->held_bytes() >= kWindowBytes) failed = sender->flush() || failed;
            }
            if (count <= 0) shared.hold(*sender)->expire(platform::now_seconds());
            failed = sender->flush() || failed;
            if (failed || reports) take_unreachable(socket, *shared.hold(*sender));
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
