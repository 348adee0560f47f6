// One TFTP transfer: everything the service knows about one client address and port, and the
// steps that act on it. The request step starts or restarts a transfer from an RRQ or WRQ, the
// send step serves the next (or the same) block of a read, the receive step stores a block of a
// write, and retransmit repeats whatever the client has not answered. Steps report 0 for
// success, 1 when they have prepared an error packet in the record, or the pending error number
// of the transfer's own file operations. A transfer lives in the transfer table and is touched
// only by whoever holds the table.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/net.h"
#include "tftp/tftp_packet.h"
#include "tftp/transfer_trace.h"

namespace tftp {

// Where the steps send their packets: the batch of the service loop that handles the datagram,
// or a recording fake in tests.
class PacketSender {
public:
    virtual ~PacketSender() = default;
    // Bytes sent, or a negative value on failure.
    virtual int send_to(std::span<const std::uint8_t> bytes, const platform::Endpoint& to) = 0;
};

// What a step needs besides the record: the sender, the constants and the time of this wake-up.
struct StepContext {
    PacketSender& sender;
    const TftpServerConfig& config;
    std::int64_t now = 0;
    // Another client's upload is running: a write request is refused as if the file existed.
    bool upload_running = false;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

using PacketArea = std::array<std::uint8_t, kDatagramMax>;

// The private file an upload is received into, by name, until it becomes the served file. A name
// still held when it is dropped (the upload was cut off, failed or restarted) takes its file
// with it, so a partial upload never stays behind.
class UploadFile {
public:
    UploadFile() = default;
    ~UploadFile() { discard(); }
    UploadFile(UploadFile&& o) noexcept : path_(std::exchange(o.path_, {})) {}
    UploadFile& operator=(UploadFile&& o) noexcept {
        if (this != &o) {
            discard();
            path_ = std::exchange(o.path_, {});
        }
        return *this;
    }

    bool active() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    void hold(std::string path) {
        discard();
        path_ = std::move(path);
    }
    // The file became the served file: nothing to remove any more.
    void release() { path_.clear(); }
    // Removes the file, if one is held.
    void discard();

private:
    std::string path_;
};

// A DATA packet as read from the file: header and block, and the block's length.
struct DataPacket {
    PacketArea bytes{};
    std::int32_t length = 0;  // data bytes after the header

    std::uint16_t block() const { return load_be16(bytes.data() + 2); }
    // As a new packet, without clearing the data bytes: block 0, no data.
    void clear() {
        std::fill_n(bytes.begin(), kHeaderSize, 0);
        length = 0;
    }
};

// The transfer record. Fixed size; moved (not shared) between the receive record and the
// transfer table, and it owns its open file. The fields of one part of a transfer are grouped;
// the request step resets the options, the window and the upload each as a whole.
struct TftpTransfer {
    // The options in force: the defaults, or what the OACK answered.
    struct Options {
        std::uint32_t block_size = kDefaultBlockSize;
        std::uint32_t wait = 5;
        std::int64_t tsize = -1;  // the size the OACK gave; -1 when not asked for
        // Blocks sent before each ACK ("windowsize", RFC 7440); 1 is the lock-step.
        std::uint16_t window_size = 1;
    };
    // A lock-step read: two complete DATA packets, the block in flight and the one read ahead.
    // A windowed read reads each block into `a` before it sends it.
    struct ReadAhead {
        DataPacket a;
        DataPacket b;
    };
    // A windowed read reads each block at its offset as often as it sends it, so no window of
    // packets is kept. `block_counter` is the block last acknowledged, `highest_sent` the
    // highest sent so far, `last_block` the file's last block (0 for every other transfer).
    struct Window {
        std::uint16_t highest_sent = 0;
        std::uint64_t last_block = 0;
        std::uint64_t file_size = 0;
        bool resent = false;  // sent again for an ACK that moved nothing; once per window
    };
    // A write: the size its client announced (tsize), the block last acknowledged, and, in a
    // window, whether a gap was answered already.
    struct Upload {
        std::uint64_t announced_size = 0;
        std::uint16_t acked_block = 0;
        bool gap_answered = false;
    };

    platform::Endpoint client;
    std::array<char, kClientKeySize> client_key{};  // "%s:%u", key of the transfer table
    std::array<char, kPathSize> path{};
    std::int64_t expiry = 0;         // whole seconds after which the transfer is overdue
    std::uint8_t retry_counter = 0;  // retransmissions since the last accepted packet
    bool answered = false;           // the client has sent an accepted DATA or ACK
    // Read: number of the block last sent (0 while an OACK waits for its ACK).
    // Write: number of the block last acknowledged.
    std::uint16_t block_counter = 0;
    UploadFile upload_file;  // a write's private file, while `file` is receiving into it
    FileHandle file;  // (declared after `upload_file`, so it is closed before the file is removed)
    // The pending runtime error: the error number of the last failed operation on `file`
    // (open, read, write, seek). Steps clear it where they clear "the runtime error"; socket
    // calls and logging never touch it.
    int runtime_error = 0;
    std::int32_t last_send_result = 0;
    Options options;
    ReadAhead read_ahead;
    Window window;
    Upload upload;
    // The request's mode text, as offset and length in `packet`; valid while the request
    // step runs.
    std::uint16_t mode_offset = 0;
    std::uint16_t mode_length = 0;
    // The opcode of the packet last accepted from the client: the request's, then DATA's or
    // ACK's. It tells the retransmission what to repeat.
    Opcode last_opcode{};
    std::int32_t request_length = 0;  // length of the request in `packet`
    PacketArea packet{};              // the request (RRQ or WRQ) that started the transfer
    std::array<std::uint8_t, kErrorAreaSize> error_area{};  // ERROR packet; empty text = no error
    std::array<std::uint8_t, kAckAreaSize> ack_area{};      // the ACK or OACK last prepared
    std::uint16_t ack_length = 0;  // bytes of ack_area to send again; 0 when none is prepared
    TransferTrace trace;           // progress and the load report, from the start to the end

    static constexpr std::uint8_t kFinished = 255;

    Opcode request_opcode() const { return static_cast<Opcode>(load_be16(packet.data())); }
    std::span<const std::uint8_t> request() const;
    bool in_error() const { return error_area[kHeaderSize] != 0; }
    std::string_view error_text() const;
    std::size_t error_packet_length() const { return error_text().size() + kHeaderSize + 1; }
    std::string_view path_text() const { return path.data(); }
    std::string_view key_text() const { return client_key.data(); }
    bool windowed_read() const { return window.last_block != 0; }
    // The request's mode is netascii (any letter case); valid while the request step runs.
    bool netascii() const;

    // Makes the record ready for the next datagram, as a new record is, without clearing the
    // payload bytes that no field reaches before they are written again (the packet beyond
    // `request_length`, the data packets beyond their lengths).
    void clear_for_receive();

    // Closes the file and removes a partial upload's private file, if one is held.
    void drop_files() {
        file.reset();
        upload_file.discard();
    }
};

// Writes "%s:%u" for the endpoint into key; returns its length.
std::size_t format_client_key(const platform::Endpoint& from,
                              std::array<char, kClientKeySize>& key);

// Prepares ERROR(code, text) in the error area; the text is cut to 507 characters.
void set_error(TftpTransfer& t, TftpErrorCode code, std::string_view text);

// --- transfer steps -------------------------------------------------------------------------

int start_transfer(TftpTransfer& t, const StepContext& ctx);
int send_block(TftpTransfer& t, const StepContext& ctx);
// `data`: the received DATA's bytes after its header, read where the datagram lies.
int receive_block(TftpTransfer& t, std::span<const std::uint8_t> data, const StepContext& ctx);
void retransmit(TftpTransfer& t, const StepContext& ctx);

// Windowed transfers. The ACK of `block` arrived for a windowed read: slides the window (or,
// for an ACK that moved nothing, sends the window again, once) and sends what is due. A DATA
// out of order arrived for a windowed write: the last block received in order is acknowledged
// again, once per gap. Results as for the steps above.
int acknowledge_window(TftpTransfer& t, std::uint16_t block, const StepContext& ctx);
void answer_gap(TftpTransfer& t, const StepContext& ctx);

}  // namespace tftp
