// The service's state between datagrams: the receive record (a request until it starts a
// transfer, and the error answered to a datagram), the transfer table keyed by the client's
// "%s:%u" text, and the expiry index that the time-out scan walks. dispatch() handles
// one received datagram, expire() retransmits or ends what is overdue. Both take the time of the
// wake-up as a parameter, so tests drive whole retransmission schedules without sleeping, and
// the sender of the caller, so each of the service's loops gets its own packets. A table is not
// thread-safe: the service's loops take turns with it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/net.h"
#include "tftp/tftp_transfer.h"

namespace tftp {

// Live transfers at most: a thousand controllers booting at once is far beyond any site, and a
// thousand open files and about 20 MB fit every system's limits.
inline constexpr std::size_t kMaxTransfers = 1000;

class TransferTable {
public:
    explicit TransferTable(const TftpServerConfig& config,
                           std::size_t max_transfers = kMaxTransfers);
    ~TransferTable();
    TransferTable(const TransferTable&) = delete;
    TransferTable& operator=(const TransferTable&) = delete;

    // Handles one datagram from `from`; the packets it makes go to `sender`. Datagrams under
    // 4 bytes are ignored, longer ones than 4100 are cut to 4100.
    void dispatch(PacketSender& sender, const platform::Endpoint& from,
                  std::span<const std::uint8_t> datagram, std::int64_t now);
    // The time-out scan: retransmits overdue transfers to `sender`, ends those out of retries.
    void expire(PacketSender& sender, std::int64_t now);
    // The client's port is closed (ICMP port unreachable). A transfer that the client never
    // answered ends at once: its file is closed and it is removed, silently, at its expiry. A
    // transfer the client has answered goes on as if the datagram had been lost.
    void client_unreachable(const platform::Endpoint& client);

    std::size_t size() const { return table_.size(); }
    std::size_t index_size() const { return index_.size(); }
    // The transfer of a client key ("127.0.0.1:40000"), or nullptr.
    const TftpTransfer* find(std::string_view key) const;

private:
    void handle_known(TftpTransfer& t, Opcode opcode, std::span<const std::uint8_t> datagram,
                      const StepContext& ctx);
    void handle_new(Opcode opcode, std::span<const std::uint8_t> datagram, const StepContext& ctx);
    void copy_error_datagram(std::span<const std::uint8_t> datagram);
    // Frees a place for a new transfer when the table is full; false when every transfer in it
    // is being answered.
    bool make_room();
    // Whether a client other than `key` is uploading.
    bool upload_elsewhere(std::string_view key);

    TftpServerConfig config_;
    std::size_t max_transfers_;
    std::string upload_key_;  // the client of the last upload started, if it may still run
    std::unique_ptr<TftpTransfer> receive_;
    std::map<std::string, std::unique_ptr<TftpTransfer>, std::less<>> table_;
    std::multimap<std::int32_t, TftpTransfer*> index_;
};

}  // namespace tftp
