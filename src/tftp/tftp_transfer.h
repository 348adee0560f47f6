// One TFTP transfer: everything the service knows about one client address and port, and the
// steps that act on it. The request step starts or restarts a transfer from an RRQ or WRQ, the
// send step serves the next (or the same) block of a read, the receive step stores a block of a
// write, and retransmit repeats whatever the client has not answered. Steps report 0 for
// success, 1 when they have prepared an error packet in the record, or the pending error number
// of the transfer's own file operations. Only the service thread touches a transfer.
#pragma once

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

// Where the steps send their packets: the service socket, or a recording fake in tests.
class PacketSender {
public:
    virtual ~PacketSender() = default;
    // Bytes sent, or a negative value on failure.
    virtual int send_to(std::span<const std::uint8_t> bytes, const platform::Endpoint& to) = 0;
};

// What a step needs besides the record: the socket, the constants and the time of this wake-up.
struct StepContext {
    PacketSender& socket;
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

// The transfer record. Fixed size; moved (not shared) between the receive record and the
// transfer table, and it owns its open file.
struct TftpTransfer {
    std::array<char, kClientKeySize> client_key{};  // "%s:%u", key of the transfer table
    std::int64_t expiry = 0;         // whole seconds after which the transfer is overdue
    std::uint8_t retry_counter = 0;  // retransmissions since the last accepted packet
    bool answered = false;           // the client has sent an accepted DATA or ACK
    std::array<char, kPathSize> path{};
    UploadFile upload;  // a write transfer's private file, while `file` is receiving into it
    FileHandle file;    // (declared after `upload`, so it is closed before the file is removed)
    // The pending runtime error: the error number of the last failed operation on `file`
    // (open, read, write, seek). Steps clear it where they clear "the runtime error"; socket
    // calls and logging never touch it.
    int runtime_error = 0;
    // The request's mode text, as offset and length in `packet`; valid while the request
    // step runs.
    std::uint16_t mode_offset = 0;
    std::uint16_t mode_length = 0;
    std::uint32_t block_size = kDefaultBlockSize;
    std::uint32_t wait = 5;
    std::int64_t tsize = -1;             // the size the OACK gave; -1 when not asked for
    std::uint64_t announced_size = 0;    // a write's size as its client announced it (tsize)
    // Read: number of the block last sent (0 while an OACK waits for its ACK).
    // Write: number of the block last acknowledged.
    std::uint16_t block_counter = 0;
    // Blocks sent before each ACK ("windowsize", RFC 7440); 1 is the lock-step above.
    std::uint16_t window_size = 1;
    // A windowed read reads each block at its offset as often as it sends it, so no window of
    // packets is kept. `block_counter` is the block last acknowledged, `highest_sent` the
    // highest sent so far, `last_block` the file's last block (0 for every other transfer).
    std::uint16_t highest_sent = 0;
    std::uint64_t last_block = 0;
    std::uint64_t file_size = 0;
    bool window_resent = false;  // sent again for an ACK that moved nothing; once per window
    // A windowed write: the block last acknowledged, and whether a gap was answered already.
    std::uint16_t acked_block = 0;
    bool gap_answered = false;
    std::int32_t received_length = 0;  // length of the datagram in `packet`
    std::int32_t data_length_a = 0;
    std::int32_t data_length_b = 0;
    std::int32_t last_send_result = 0;
    platform::Endpoint client;
    PacketArea data_a{};  // two complete DATA packets: the block in flight and the one read ahead
    PacketArea data_b{};
    std::array<std::uint8_t, kErrorAreaSize> error_area{};  // ERROR packet; empty text = no error
    std::array<std::uint8_t, kAckAreaSize> ack_area{};      // the ACK or OACK last prepared
    std::uint16_t ack_length = 0;  // bytes of ack_area to send again; 0 when none is prepared
    PacketArea packet{};  // the request; after the first accepted DATA or ACK, the last one
    TransferTrace trace;  // progress and the load report, from the start to the end

    static constexpr std::uint8_t kFinished = 255;

    Opcode stored_opcode() const { return static_cast<Opcode>(load_be16(packet.data())); }
    std::span<const std::uint8_t> received() const;
    bool in_error() const { return error_area[kHeaderSize] != 0; }
    std::string_view error_text() const;
    std::size_t error_packet_length() const { return error_text().size() + kHeaderSize + 1; }
    std::string_view path_text() const { return path.data(); }
    std::string_view key_text() const { return client_key.data(); }
    bool windowed_read() const { return last_block != 0; }
    // The request's mode is netascii (any letter case); valid while the request step runs.
    bool netascii() const;

    // Makes the record ready for the next datagram, as if cleared to zero, without clearing the
    // payload bytes that no field reaches before they are written again (the packet beyond
    // `received_length`, the data areas beyond their lengths).
    void clear_for_receive();

    // Closes the file and removes a partial upload's private file, if one is held.
    void drop_files() {
        file.reset();
        upload.discard();
    }
};

// Writes "%s:%u" for the endpoint into key; returns its length.
std::size_t format_client_key(const platform::Endpoint& from,
                              std::array<char, kClientKeySize>& key);

// --- packets and options --------------------------------------------------------------------

// Finds the mode text and the option list in the stored request. Returns the offset of the
// first option name in `packet` (equal to received_length when there is none).
std::size_t parse_request(TftpTransfer& t);

// Builds the path (home directory + "zorva.bin") and checks it; false, with error 2 "Access
// violation" prepared, when it would leave the home directory.
bool compose_path(TftpTransfer& t, const TftpServerConfig& config);

// Answers the options from first_option on into the acknowledgement area as an OACK and
// returns its length. Options are applied to the transfer as they are answered; once an
// answer would not fit the 512-byte area, that option and all after it are neither applied
// nor answered.
std::size_t negotiate_options(TftpTransfer& t, std::size_t first_option, const StepContext& ctx);

// Prepares ERROR(code, text) in the error area; the text is cut to 507 characters.
void set_error(TftpTransfer& t, TftpErrorCode code, std::string_view text);

// --- transfer steps -------------------------------------------------------------------------

int start_transfer(TftpTransfer& t, const StepContext& ctx);
int send_block(TftpTransfer& t, const StepContext& ctx);
int receive_block(TftpTransfer& t, const StepContext& ctx);
void retransmit(TftpTransfer& t, const StepContext& ctx);

// Windowed transfers. The ACK of `block` arrived for a windowed read: slides the window (or,
// for an ACK that moved nothing, sends the window again, once) and sends what is due. A DATA
// out of order arrived for a windowed write: the last block received in order is acknowledged
// again, once per gap. Results as for the steps above.
int acknowledge_window(TftpTransfer& t, std::uint16_t block, const StepContext& ctx);
void answer_gap(TftpTransfer& t, const StepContext& ctx);

}  // namespace tftp
