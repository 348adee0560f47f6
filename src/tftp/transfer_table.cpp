#include "tftp/transfer_table.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "core/event_log.h"

namespace tftp {
namespace {

void log_error(std::string_view key, std::string_view path, std::string_view text) {
    core::log_printf("Client %.*s %.*s, error: %.*s\n", static_cast<int>(key.size()), key.data(),
                     static_cast<int>(path.size()), path.data(), static_cast<int>(text.size()),
                     text.data());
}

void send_error(PacketSender& sender, const TftpTransfer& t, const platform::Endpoint& to) {
    (void)sender.send_to(std::span(t.error_area).first(t.error_packet_length()), to);
}

}  // namespace

TransferTable::TransferTable(const TftpServerConfig& config, std::size_t max_transfers)
    : config_(config),
      max_transfers_(std::max<std::size_t>(max_transfers, 1)),
      receive_(std::make_unique<TftpTransfer>()) {}

TransferTable::~TransferTable() = default;

const TftpTransfer* TransferTable::find(std::string_view key) const {
    const auto it = table_.find(key);
    return it == table_.end() ? nullptr : it->second.get();
}

void TransferTable::copy_error_datagram(std::span<const std::uint8_t> datagram) {
    // A client's ERROR is logged as it came, cut to the error area with its last byte a NUL.
    TftpTransfer& rx = *receive_;
    std::copy_n(datagram.begin(), std::min(datagram.size(), rx.error_area.size() - 1),
                rx.error_area.begin());
}

void TransferTable::dispatch(PacketSender& sender, const platform::Endpoint& from,
                             std::span<const std::uint8_t> datagram, std::int64_t now) {
    TftpTransfer& rx = *receive_;
    rx.clear_for_receive();
    datagram = datagram.first(std::min(datagram.size(), kDatagramMax));
    if (datagram.size() < kHeaderSize) return;

    const std::size_t key_length = format_client_key(from, rx.client_key);
    const std::string_view key(rx.client_key.data(), key_length);
    const auto opcode = static_cast<Opcode>(load_be16(datagram.data()));
    if (opcode == Opcode::rrq || opcode == Opcode::wrq) {
        // A request goes into the record it starts, which reads it again for a retransmission.
        // The steps read every other datagram where it lies.
        std::copy(datagram.begin(), datagram.end(), rx.packet.begin());
        rx.request_length = static_cast<std::int32_t>(datagram.size());
        rx.last_opcode = opcode;
        rx.client = from;
    }
    StepContext ctx{sender, config_, now};
    if (opcode == Opcode::wrq) ctx.upload_running = upload_elsewhere(key);

    // Whose file operations count as "the runtime error", and whose path the error line shows.
    TftpTransfer* active = &rx;
    if (const auto it = table_.find(key); it != table_.end()) {
        active = it->second.get();
        active->runtime_error = 0;
        handle_known(*active, opcode, datagram, ctx);
    } else {
        handle_new(opcode, datagram, ctx);
    }
    if (opcode == Opcode::wrq) {
        if (const TftpTransfer* t = find(key); t != nullptr && t->upload_file.active())
            upload_key_ = key;
    }

    const int pending = active->runtime_error;
    if (pending == 0 && !rx.in_error()) return;
    rx.drop_files();  // a failed request of a new client may have left its file open
    if (pending != 0) {
        const std::string text = platform::error_text(pending);
        set_error(rx, TftpErrorCode::not_defined, text);
    }
    log_error(key, active->path_text(), rx.error_text());
    // An ERROR is never answered (RFC 1350): two services, or one and a spoofed sender, would
    // otherwise play it back and forth without end.
    if (opcode != Opcode::error) send_error(sender, rx, from);
}

void TransferTable::handle_known(TftpTransfer& t, Opcode opcode,
                                 std::span<const std::uint8_t> datagram, const StepContext& ctx) {
    TftpTransfer& rx = *receive_;
    // A progress mark for every datagram from a client whose counter is a multiple of 10.
    if (t.block_counter % 10 == 0) core::log_printf(".");

    const std::uint16_t block = load_be16(datagram.data() + 2);
    int result = 0;
    switch (opcode) {
        case Opcode::rrq:
        case Opcode::wrq:
            // A new request from the same address and port restarts the transfer in place.
            t.file.reset();
            t = std::move(rx);
            result = start_transfer(t, ctx);
            if (result != 0) {
                t.drop_files();
            }
            break;
        case Opcode::data:
            if (block != t.block_counter + 1) {
                // Duplicates and gaps are ignored; in a window, a gap is answered (once).
                if (t.options.window_size > 1 && !t.windowed_read()) answer_gap(t, ctx);
                return;
            }
            ++t.block_counter;
            t.retry_counter = 0;
            t.answered = true;
            store_be16(t.ack_area.data(), static_cast<std::uint16_t>(Opcode::ack));
            store_be16(t.ack_area.data() + 2, t.block_counter);
            t.last_opcode = opcode;
            result = receive_block(t, datagram.subspan(kHeaderSize), ctx);
            break;
        case Opcode::ack:
            // Lock-step takes the ACK of the block in flight; a window, the ACK of any block
            // sent, or of the one before it. Others are ignored.
            if (t.windowed_read() ? block < t.block_counter || block > t.window.highest_sent
                                  : block != t.block_counter)
                return;
            t.answered = true;
            t.last_opcode = opcode;
            if (t.windowed_read()) {
                result = acknowledge_window(t, block, ctx);
                break;
            }
            ++t.block_counter;
            t.retry_counter = 0;
            result = send_block(t, ctx);
            break;
        case Opcode::error:
            copy_error_datagram(datagram);
            t.retry_counter = TftpTransfer::kFinished;
            t.trace.end(false, "client error: " + std::string(rx.error_text()));
            if (t.upload_file.active()) {  // the client gave up: its partial upload goes
                t.drop_files();
            }
            return;
        default: {
            char text[40];
            std::snprintf(text, sizeof text, "Unexpected Option Code %u",
                          static_cast<unsigned>(opcode));
            set_error(rx, TftpErrorCode::not_defined, text);
            return;
        }
    }
    if (result != 0) rx.error_area = t.error_area;
}

void TransferTable::handle_new(Opcode opcode, std::span<const std::uint8_t> datagram,
                               const StepContext& ctx) {
    TftpTransfer& rx = *receive_;
    switch (opcode) {
        case Opcode::rrq:
        case Opcode::wrq: {
            if (!make_room()) return;                  // dropped unanswered; the client asks again
            if (start_transfer(rx, ctx) != 0) return;  // no transfer; the caller reports
            std::unique_ptr<TftpTransfer> record(new (std::nothrow) TftpTransfer);
            if (!record) {  // out of memory: the request is dropped, its file closed
                rx.trace.end(false, "out of memory");
                return;
            }
            *record = std::move(rx);
            TftpTransfer* t = record.get();
            table_.emplace(std::string(t->key_text()), std::move(record));
            index_.emplace(static_cast<std::int32_t>(t->expiry), t);
            return;
        }
        case Opcode::error:
            copy_error_datagram(datagram);
            return;
        default:
            return;  // nothing is sent to a client without a transfer
    }
}

bool TransferTable::make_room() {
    if (table_.size() < max_transfers_) return true;
    // The index runs from the earliest expiry, which is nearly the order the requests came in.
    for (auto it = index_.begin(); it != index_.end(); ++it) {
        TftpTransfer& r = *it->second;
        if (r.answered && r.retry_counter != TftpTransfer::kFinished) continue;
        const auto entry = table_.find(r.key_text());
        index_.erase(it);
        r.trace.end(false, "dropped for a new request");
        if (entry != table_.end()) table_.erase(entry);  // closes its file, drops its upload
        return true;
    }
    return false;
}

void TransferTable::client_unreachable(const platform::Endpoint& client) {
    std::array<char, kClientKeySize> key;
    const std::size_t length = format_client_key(client, key);
    const auto it = table_.find(std::string_view(key.data(), length));
    if (it == table_.end()) return;
    TftpTransfer& t = *it->second;
    if (t.answered || t.retry_counter == TftpTransfer::kFinished) return;
    t.retry_counter = TftpTransfer::kFinished;
    t.trace.end(false, "client unreachable");
    t.drop_files();
}

bool TransferTable::upload_elsewhere(std::string_view key) {
    if (upload_key_.empty() || upload_key_ == key) return false;
    if (const TftpTransfer* t = find(upload_key_); t != nullptr && t->upload_file.active())
        return true;
    upload_key_.clear();
    return false;
}

void TransferTable::expire(PacketSender& sender, std::int64_t now) {
    auto it = index_.begin();
    while (it != index_.end() && it->first <= now) {
        TftpTransfer& r = *it->second;
        if (r.expiry > now) {
            // The record moved on since the entry was made: file it under its expiry now.
            auto node = index_.extract(it++);
            node.key() = static_cast<std::int32_t>(r.expiry);
            index_.insert(std::move(node));
            continue;
        }
        if (r.expiry == now) {
            ++it;
            continue;
        }
        if (r.retry_counter >= 3) {
            r.drop_files();  // gone before the line that reports the end
            if (r.retry_counter != TftpTransfer::kFinished) {
                r.trace.end(false, "timed out");
                set_error(r, TftpErrorCode::not_defined, kTimeoutText);
                log_error(r.key_text(), r.path_text(), kTimeoutText);
                send_error(sender, r, r.client);
            }
            const auto entry = table_.find(r.key_text());
            it = index_.erase(it);
            if (entry != table_.end()) table_.erase(entry);  // releases r
            continue;
        }
        const StepContext ctx{sender, config_, now};
        retransmit(r, ctx);
        ++r.retry_counter;
        r.expiry = now + r.options.wait;
        ++it;
    }
}

}  // namespace tftp
