// The transfer record's own members, the request, send and receive steps and the retransmission
// (RFC 1350 lock-step: one DATA in flight, answered by its ACK), and the windowed steps.
#include "tftp/tftp_transfer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/event_log.h"
#include "platform/file.h"
#include "platform/net.h"
#include "tftp/tftp_options.h"

namespace tftp {
namespace {

constexpr std::uint16_t kLastBlockNumber = 65535;  // block numbers never wrap

int send_area(const StepContext& ctx, const TftpTransfer& t, const std::uint8_t* bytes,
              std::size_t length) {
    return ctx.sender.send_to(std::span(bytes, length), t.client);
}

// File operations record their failure in the transfer's own pending error; nothing else does.
// Only a regular file is served, opened without ever waiting (a FIFO would hold up every
// transfer), and as root never through a link whose owner doesn't own the file it leads to (a
// user's link to /etc/shadow). *refused: something is there, but it is not served.
bool open_file(TftpTransfer& t, bool text, bool* refused = nullptr) {
    int error = 0;
    platform::Distrust why = platform::Distrust::none;
    std::FILE* f = platform::open_regular_file(
        t.path.data(), platform::LinkTrust::owner_owns_target, text, &error, &why);
    if (refused) *refused = why != platform::Distrust::none;
    if (f == nullptr) {
        t.runtime_error = error != 0 ? error : EIO;
        return false;
    }
    t.file.reset(f);
    return true;
}

// Reads up to block-size bytes into the DATA area after its header.
std::int32_t read_block(TftpTransfer& t, PacketArea& area) {
    const std::size_t got =
        std::fread(area.data() + kHeaderSize, 1, t.options.block_size, t.file.get());
    if (got < t.options.block_size && std::ferror(t.file.get()))
        t.runtime_error = errno != 0 ? errno : EIO;
    return static_cast<std::int32_t>(got);
}

void fill_packet(TftpTransfer& t, DataPacket& packet, std::uint16_t block) {
    store_be16(packet.bytes.data(), static_cast<std::uint16_t>(Opcode::data));
    store_be16(packet.bytes.data() + 2, block);
    packet.length = read_block(t, packet.bytes);
    t.trace.add(
        std::span(packet.bytes).subspan(kHeaderSize, static_cast<std::size_t>(packet.length)));
    // The last block is the first short one; the file is done as soon as it has been read.
    if (static_cast<std::uint32_t>(packet.length) < t.options.block_size) t.file.reset();
}

int send_packet(const StepContext& ctx, const TftpTransfer& t, const DataPacket& packet) {
    return send_area(ctx, t, packet.bytes.data(),
                     kHeaderSize + static_cast<std::size_t>(packet.length));
}

// Creates the private file that a write request is received into: next to the served file, named
// after it with a leading "." and a unique ending, so nothing else ever has that name.
bool create_upload(TftpTransfer& t, bool text) {
    const std::string_view path = t.path_text();
    const std::size_t name_at = path.find_last_of("/\\") + 1;  // 0 without a separator
    std::string prefix(path.substr(0, name_at));
    prefix += '.';
    prefix += path.substr(name_at);
    prefix += '.';
    std::string name;
    int error = 0;
    std::FILE* f = platform::create_unique_file(prefix, text, &name, &error);
    if (f == nullptr) {
        t.runtime_error = error != 0 ? error : EIO;
        return false;
    }
    t.file.reset(f);
    t.upload_file.hold(std::move(name));
    return true;
}

// A write that failed ends the upload: its private file goes. A full disk is answered as such
// (error 3); other failures carry the C library's text, as every pending error does.
int fail_upload(TftpTransfer& t, int error) {
    t.trace.end(false,
                error == ENOSPC || error == EFBIG ? "disk full" : platform::error_text(error));
    if (t.upload_file.active()) {
        t.drop_files();
    }
    if (error != ENOSPC && error != EFBIG) t.runtime_error = error != 0 ? error : EIO;
    set_error(t, TftpErrorCode::disk_full, kDiskFullText);
    return 1;
}

// Sends `packet` (the block the counter names) and reads the next block into `other` when the
// file still has data and `other` holds an older block.
int send_and_read_ahead(TftpTransfer& t, const StepContext& ctx, const DataPacket& packet,
                        DataPacket& other) {
    t.last_send_result = send_packet(ctx, t, packet);
    const int result = t.runtime_error;
    if (t.file && other.block() < packet.block())
        fill_packet(t, other, static_cast<std::uint16_t>(t.block_counter + 1));
    return result;
}

// The transfer is under way: the board shows it from now on (a restart starts it over).
void begin_trace(TftpTransfer& t, bool read) {
    std::uint64_t total = t.upload.announced_size;
    if (read) {
        std::error_code ec;
        total = std::filesystem::file_size(t.path.data(), ec);
        if (ec) total = 0;
    }
    const std::string_view path = t.path_text();
    const TftpTransfer::Options& o = t.options;
    t.trace.begin(t.key_text(), path.substr(path.find_last_of("/\\") + 1), read,
                  {o.block_size, o.wait, o.tsize, o.window_size}, total);
}

// The blocks of a windowed read from `first` to the window's end, each read at its offset into
// packet A (the sender copies what it holds) and sent. Blocks stop at 65534, as in lock-step. A
// block's bytes count for the trace the first time it goes out.
int send_window(TftpTransfer& t, const StepContext& ctx, std::uint16_t first,
                std::uint16_t blocks) {
    TftpTransfer::Window& w = t.window;
    PacketArea& area = t.read_ahead.a.bytes;
    const std::uint64_t end = std::min<std::uint64_t>(
        {std::uint64_t{first} + blocks - 1, w.last_block, kLastBlockNumber - 1u});
    for (std::uint64_t block = first; block <= end; ++block) {
        const std::uint64_t offset = (block - 1) * t.options.block_size;
        const std::uint64_t expected = std::min<std::uint64_t>(
            t.options.block_size, w.file_size - std::min(offset, w.file_size));
        int error = 0;
        const long got = platform::read_at(
            t.file.get(), offset,
            std::span(area).subspan(kHeaderSize, static_cast<std::size_t>(expected)), &error);
        if (got < 0) {
            t.runtime_error = error != 0 ? error : EIO;
            return t.runtime_error;
        }
        // A file cut short meanwhile ends where it ends now; one that grew is served at the
        // size it had when the transfer started.
        if (static_cast<std::uint64_t>(got) < expected) w.last_block = block;
        store_be16(area.data(), static_cast<std::uint16_t>(Opcode::data));
        store_be16(area.data() + 2, static_cast<std::uint16_t>(block));
        const auto length = static_cast<std::size_t>(got);
        if (block > w.highest_sent) {
            t.trace.add(std::span(area).subspan(kHeaderSize, length));
            w.highest_sent = static_cast<std::uint16_t>(block);
        }
        t.last_send_result = send_area(ctx, t, area.data(), kHeaderSize + length);
        if (block == w.last_block) break;
    }
    return 0;
}

// Sends an ACK of `block` from a packet of its own (the acknowledgement area may still hold the
// OACK).
void send_ack(TftpTransfer& t, const StepContext& ctx, std::uint16_t block) {
    std::array<std::uint8_t, kHeaderSize> ack{};
    store_be16(ack.data(), static_cast<std::uint16_t>(Opcode::ack));
    store_be16(ack.data() + 2, block);
    t.last_send_result = send_area(ctx, t, ack.data(), ack.size());
}

}  // namespace

void UploadFile::discard() {
    if (path_.empty()) return;
    (void)std::remove(path_.c_str());
    path_.clear();
}

bool TftpTransfer::netascii() const {
    const std::string_view mode(reinterpret_cast<const char*>(packet.data()) + mode_offset,
                                mode_length);
    return tftp_names_equal(mode, "netascii");
}

std::span<const std::uint8_t> TftpTransfer::request() const {
    const auto length = std::clamp<std::int32_t>(request_length, 0, kDatagramMax);
    return std::span(packet).first(static_cast<std::size_t>(length));
}

std::string_view TftpTransfer::error_text() const {
    const char* text = reinterpret_cast<const char*>(error_area.data() + kHeaderSize);
    return {text, strnlen(text, kErrorTextMax)};
}

void TftpTransfer::clear_for_receive() {
    client = {};
    client_key[0] = '\0';
    path[0] = '\0';
    expiry = 0;
    retry_counter = 0;
    answered = false;
    block_counter = 0;
    drop_files();
    runtime_error = 0;
    last_send_result = 0;
    options = {};
    read_ahead.a.clear();
    read_ahead.b.clear();
    window = {};
    upload = {};
    mode_offset = mode_length = 0;
    last_opcode = Opcode{};
    request_length = 0;
    std::fill_n(packet.begin(), kHeaderSize, 0);
    error_area.fill(0);
    std::fill_n(ack_area.begin(), kHeaderSize, 0);
    ack_length = 0;
}

std::size_t format_client_key(const platform::Endpoint& from,
                              std::array<char, kClientKeySize>& key) {
    // "255.255.255.255:65535" is 21 characters; the buffer holds 31.
    std::size_t n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        n += put_decimal(key.data() + n, (from.address >> shift) & 0xff);
        key[n++] = shift == 0 ? ':' : '.';
    }
    n += put_decimal(key.data() + n, from.port);
    key[n] = '\0';
    return n;
}

void set_error(TftpTransfer& t, TftpErrorCode code, std::string_view text) {
    text = text.substr(0, kErrorTextMax);
    store_be16(t.error_area.data(), static_cast<std::uint16_t>(Opcode::error));
    store_be16(t.error_area.data() + 2, static_cast<std::uint16_t>(code));
    std::memcpy(t.error_area.data() + kHeaderSize, text.data(), text.size());
    t.error_area[kHeaderSize + text.size()] = 0;
}

int start_transfer(TftpTransfer& t, const StepContext& ctx) {
    t.options = {};
    t.options.wait = ctx.config.wait();
    t.window = {};
    t.upload = {};
    t.block_counter = 0;
    t.last_send_result = 0;
    t.expiry = ctx.now + t.options.wait;
    t.ack_length = 0;

    const std::size_t first_option = parse_request(t);
    if (!compose_path(t, ctx.config)) return 1;

    const bool text = t.netascii();
    const bool read = t.request_opcode() == Opcode::rrq;
    if (read) {
        t.runtime_error = 0;
        if (!open_file(t, text) || t.runtime_error != 0) {
            set_error(t, TftpErrorCode::file_not_found, kFileNotFoundText);
            return 1;
        }
    } else {
        // The handle of a successful existence test stays in the record; the table closes it.
        // While another client's upload runs, the file counts as existing, and so does one that
        // is there but would not be served (a FIFO, a link refused).
        bool refused = false;
        if (ctx.upload_running || open_file(t, false, &refused) || refused) {
            t.runtime_error = 0;
            set_error(t, TftpErrorCode::file_exists, kFileExistsText);
            return 1;
        }
        t.runtime_error = 0;
        // The upload goes to a private file; the served file gets its name only when complete.
        if (!create_upload(t, text) || t.runtime_error != 0) {
            set_error(t, TftpErrorCode::access_violation, kInvalidPathText);
            return 1;
        }
    }

    const auto datagram = t.request();
    if (first_option < datagram.size() && datagram[first_option] != 0) {
        t.ack_length = static_cast<std::uint16_t>(negotiate_options(t, first_option, ctx));
        t.last_send_result = send_area(ctx, t, t.ack_area.data(), t.ack_length);
    } else if (!read) {
        store_be16(t.ack_area.data(), static_cast<std::uint16_t>(Opcode::ack));
        store_be16(t.ack_area.data() + 2, 0);
        t.ack_length = kHeaderSize;
        t.last_send_result = send_area(ctx, t, t.ack_area.data(), kHeaderSize);
    }
    if (t.runtime_error != 0) return t.runtime_error;
    begin_trace(t, read);
    if (!read) return 0;

    if (t.options.window_size > 1) {
        // The OACK went out; the window starts on its ACK. The size is taken once: the blocks
        // are read at their offsets from it.
        std::error_code ec;
        t.window.file_size = std::filesystem::file_size(t.path.data(), ec);
        if (ec) {
            t.runtime_error = ec.value();
            return t.runtime_error;
        }
        t.window.last_block = t.window.file_size / t.options.block_size + 1;
        return 0;
    }

    // "tsize" left the position at the end.
    if (std::ftell(t.file.get()) != 0 && std::fseek(t.file.get(), 0, SEEK_SET) != 0)
        t.runtime_error = errno;
    fill_packet(t, t.read_ahead.a, 1);
    if (t.runtime_error != 0) return t.runtime_error;
    if (t.file) fill_packet(t, t.read_ahead.b, 2);

    if (t.last_send_result == 0) {  // no OACK went out: block 1 goes now
        t.last_send_result = send_packet(ctx, t, t.read_ahead.a);
        t.block_counter = 1;
    }
    return 0;
}

int send_block(TftpTransfer& t, const StepContext& ctx) {
    t.runtime_error = 0;
    t.expiry = ctx.now + t.options.wait;
    const std::uint16_t counter = t.block_counter;
    DataPacket& a = t.read_ahead.a;
    DataPacket& b = t.read_ahead.b;
    const std::uint16_t block_a = a.block();
    const std::uint16_t block_b = b.block();
    const bool all_acknowledged = block_a < counter && block_b < counter;

    // Block numbers never wrap. A file whose last block is 65534 is complete when that block
    // is acknowledged; only a file with more data is too large.
    if (counter == kLastBlockNumber && !all_acknowledged) {
        t.retry_counter = TftpTransfer::kFinished;
        t.trace.end(false, "file too large");
        set_error(t, TftpErrorCode::disk_full, kFileTooLargeText);
        return 1;
    }
    if (block_a == counter) return send_and_read_ahead(t, ctx, a, b);
    if (block_b == counter) return send_and_read_ahead(t, ctx, b, a);
    if (all_acknowledged) {
        t.retry_counter = TftpTransfer::kFinished;
        if (t.runtime_error == 0 && !t.in_error()) {
            core::log_printf("\nClient %s %s, %u Blocks Served\n", t.client_key.data(),
                             t.path.data(), static_cast<unsigned>(counter - 1));
            t.trace.end(true, "complete");
        }
    }
    return 0;
}

int receive_block(TftpTransfer& t, std::span<const std::uint8_t> data, const StepContext& ctx) {
    t.runtime_error = 0;
    t.expiry = ctx.now + t.options.wait;
    if (t.block_counter == kLastBlockNumber) {
        t.retry_counter = TftpTransfer::kFinished;
        t.trace.end(false, "file too large");
        set_error(t, TftpErrorCode::disk_full, kFileTooLargeText);
        return 1;
    }
    if (!t.file) return 0;  // the last block has been stored already

    // A block that is not the last is acknowledged before it is written; in a window, only the
    // window's last. The last block's ACK is the verdict: a client that stops at it must never
    // believe a refused upload. So that data goes to the disk, and the file takes the served name
    // (only if nobody took it meanwhile; a controller is never served a file that a crash could
    // still cut short), before its ACK goes out.
    const bool last = data.size() < t.options.block_size;
    t.upload.gap_answered = false;
    if (!last && (t.options.window_size == 1 ||
                  static_cast<std::uint16_t>(t.block_counter - t.upload.acked_block) >=
                      t.options.window_size)) {
        (void)send_area(ctx, t, t.ack_area.data(), kHeaderSize);
        t.upload.acked_block = t.block_counter;
        if (t.runtime_error != 0) return t.runtime_error;
    }
    if (!data.empty() && std::fwrite(data.data(), data.size(), 1, t.file.get()) != 1)
        return fail_upload(t, errno);
    t.trace.add(data);
    if (!last) return 0;  // more blocks follow

    int error = 0;
    if (!platform::sync_file(t.file.get(), &error)) return fail_upload(t, error);
    t.file.reset();
    if (t.upload_file.active()) {
        if (!platform::rename_no_replace(t.upload_file.path(), t.path.data(), &error)) {
            if (error != EEXIST) return fail_upload(t, error);
            t.upload_file.discard();
            t.trace.end(false, "file exists");
            set_error(t, TftpErrorCode::file_exists, kFileExistsText);
            return 1;
        }
        t.upload_file.release();
    }
    (void)send_area(ctx, t, t.ack_area.data(), kHeaderSize);
    t.upload.acked_block = t.block_counter;
    if (t.runtime_error != 0) {
        t.retry_counter = TftpTransfer::kFinished;
        return t.runtime_error;
    }
    if (!t.in_error()) {
        core::log_printf("Client %s %s, %u Blocks Received\n", t.client_key.data(), t.path.data(),
                         static_cast<unsigned>(t.block_counter));
        t.trace.end(true, "complete");
    }
    t.retry_counter = TftpTransfer::kFinished;
    return 0;
}

void retransmit(TftpTransfer& t, const StepContext& ctx) {
    switch (t.last_opcode) {
        case Opcode::rrq:
            // Block 0 or 1 unanswered: the request step reopens the file and sends the OACK or
            // DATA 1 again. Its result is not reported.
            t.file.reset();
            t.last_send_result = 0;
            (void)start_transfer(t, ctx);
            break;
        case Opcode::wrq:
            // Nothing is prepared after a failed restart; only well-formed packets go out.
            if (t.ack_length != 0)
                t.last_send_result = send_area(ctx, t, t.ack_area.data(), t.ack_length);
            break;
        case Opcode::data:
            t.last_send_result = send_area(ctx, t, t.ack_area.data(), kHeaderSize);
            t.upload.acked_block = t.block_counter;  // a windowed sender starts its window after it
            break;
        case Opcode::ack:
            if (t.windowed_read()) {
                // From the first block not acknowledged. A client that has acknowledged no
                // DATA yet gets its first block only: every packet leaves from port 69, so the
                // request may be a spoofed one that would reflect whole windows at its victim.
                (void)send_window(t, ctx, static_cast<std::uint16_t>(t.block_counter + 1),
                                  t.block_counter == 0 ? 1 : t.options.window_size);
                break;
            }
            (void)send_block(t, ctx);  // sends the block in flight again, unchanged
            break;
        default:
            break;
    }
}

int acknowledge_window(TftpTransfer& t, std::uint16_t block, const StepContext& ctx) {
    if (t.retry_counter == TftpTransfer::kFinished) return 0;  // a late copy of the last ACK
    t.runtime_error = 0;
    t.expiry = ctx.now + t.options.wait;
    if (block > t.block_counter) {
        // An ACK short of the highest block sent means the client missed the next one: what
        // follows goes out again now, and the copies of this ACK that the rest of the old
        // window still draws from the client must not send it a third time.
        t.window.resent = block < t.window.highest_sent;
        t.block_counter = block;
        t.retry_counter = 0;
    } else if (t.window.highest_sent > t.block_counter) {
        // Nothing moved: the client saw a gap before the window's first block, or waited in
        // vain. The window goes again, once (before any DATA was acknowledged, its first
        // block only, as at a time-out); the time-out covers the rest.
        if (t.window.resent) return 0;
        t.window.resent = true;
        if (t.block_counter == 0) return send_window(t, ctx, 1, 1);
    }  // else the ACK of the OACK: the first window goes

    if (t.block_counter == t.window.last_block) {
        t.retry_counter = TftpTransfer::kFinished;
        t.file.reset();
        core::log_printf("\nClient %s %s, %u Blocks Served\n", t.client_key.data(), t.path.data(),
                         static_cast<unsigned>(t.block_counter));
        t.trace.end(true, "complete");
        return 0;
    }
    // Block numbers never wrap: as in lock-step, a file with data beyond block 65534 is too
    // large once that block is acknowledged.
    if (t.block_counter >= kLastBlockNumber - 1) {
        t.retry_counter = TftpTransfer::kFinished;
        t.trace.end(false, "file too large");
        set_error(t, TftpErrorCode::disk_full, kFileTooLargeText);
        return 1;
    }
    return send_window(t, ctx, static_cast<std::uint16_t>(t.block_counter + 1),
                       t.options.window_size);
}

void answer_gap(TftpTransfer& t, const StepContext& ctx) {
    if (t.upload.gap_answered || !t.file) return;
    t.upload.gap_answered = true;
    send_ack(t, ctx, t.block_counter);
    t.upload.acked_block = t.block_counter;  // the sender starts its window again after it
}

}  // namespace tftp
