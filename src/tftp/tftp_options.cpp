// Request parsing, the path check, option negotiation (RFC 2347 OACK with the blksize, tsize and
// interval options of RFC 2348 and RFC 2349, and windowsize of RFC 7440) and the error packet.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tftp/tftp_transfer.h"

namespace tftp {
namespace {

// Appends the decimal digits of v at out; returns the count. out needs room for 20.
std::size_t put_decimal(char* out, std::uint64_t v) {
    char digits[20];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (std::size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}

std::size_t decimal_width(std::uint64_t v) {
    std::size_t n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

// The file's size by seeking to its end, as "tsize" measures it. The position is left at the
// end; the request step seeks back before reading.
std::uint64_t measure_file(TftpTransfer& t) {
    if (!t.file) return 0;
    if (std::fseek(t.file.get(), 0, SEEK_END) != 0) {
        t.runtime_error = errno;
        return 0;
    }
    const long size = std::ftell(t.file.get());
    if (size < 0) {
        t.runtime_error = errno;
        return 0;
    }
    return static_cast<std::uint64_t>(size);
}

// The block size in force after a "blksize" of `asked`: the value when it is above the default
// and within the maximum, else the one before.
std::uint32_t blksize_in_force(std::uint64_t asked, std::uint32_t before,
                               const TftpServerConfig& config) {
    return (asked > kDefaultBlockSize && asked <= config.maxBlockSize)
               ? static_cast<std::uint32_t>(asked)
               : before;
}

enum class KnownOption { blksize, tsize, interval, windowsize, other };

KnownOption classify(std::string_view name) {
    if (tftp_names_equal(name, "blksize") == 0) return KnownOption::blksize;
    if (tftp_names_equal(name, "tsize") == 0) return KnownOption::tsize;
    if (tftp_names_equal(name, "interval") == 0) return KnownOption::interval;
    if (tftp_names_equal(name, "windowsize") == 0) return KnownOption::windowsize;
    return KnownOption::other;
}

}  // namespace

bool TftpTransfer::netascii() const {
    const std::string_view mode(reinterpret_cast<const char*>(packet.data()) + mode_offset,
                                mode_length);
    return tftp_names_equal(mode, "netascii") == 0;
}

std::span<const std::uint8_t> TftpTransfer::received() const {
    const auto length = std::clamp<std::int32_t>(received_length, 0, kDatagramMax);
    return std::span(packet).first(static_cast<std::size_t>(length));
}

std::string_view TftpTransfer::error_text() const {
    const char* text = reinterpret_cast<const char*>(error_area.data() + kHeaderSize);
    return {text, strnlen(text, kErrorTextMax)};
}

void TftpTransfer::clear_for_receive() {
    client_key[0] = '\0';
    expiry = 0;
    retry_counter = 0;
    answered = false;
    path[0] = '\0';
    drop_files();
    runtime_error = 0;
    mode_offset = mode_length = 0;
    block_size = 0;
    wait = 0;
    block_counter = 0;
    received_length = 0;
    data_length_a = data_length_b = 0;
    window_size = 1;
    highest_sent = 0;
    last_block = 0;
    file_size = 0;
    window_resent = false;
    acked_block = 0;
    gap_answered = false;
    last_send_result = 0;
    client = {};
    std::fill_n(data_a.begin(), kHeaderSize, 0);
    std::fill_n(data_b.begin(), kHeaderSize, 0);
    error_area.fill(0);
    std::fill_n(ack_area.begin(), kHeaderSize, 0);
    ack_length = 0;
    std::fill_n(packet.begin(), kHeaderSize, 0);
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

std::size_t parse_request(TftpTransfer& t) {
    const auto datagram = t.received();
    RequestReader reader(datagram, 2);
    (void)reader.next_string();  // the file name: stepped over, every request means zorva.bin
    const std::size_t mode_start = reader.position();
    const std::string_view mode = reader.next_string();
    t.mode_offset = static_cast<std::uint16_t>(mode_start);
    t.mode_length = static_cast<std::uint16_t>(mode.size());
    return reader.position();
}

bool compose_path(TftpTransfer& t, const TftpServerConfig& config) {
    const std::string_view home(config.homeDirectory.data(),
                                strnlen(config.homeDirectory.data(), config.homeDirectory.size()));
    // A home directory too long for the path field is refused rather than cut to another name.
    if (home.size() + kServedFileName.size() >= t.path.size()) {
        t.path[0] = '\0';
        set_error(t, TftpErrorCode::access_violation, kInvalidPathText);
        return false;
    }
    std::memcpy(t.path.data(), home.data(), home.size());
    std::memcpy(t.path.data() + home.size(), kServedFileName.data(), kServedFileName.size());
    t.path[home.size() + kServedFileName.size()] = '\0';
    // Both separators mean the same to the client's view of the path; keep ours.
    for (char& c : t.path) {
        if (c == '\0') break;
        if (c == '\\') c = '/';
    }
    if (std::strstr(t.path.data(), "../") != nullptr) {
        set_error(t, TftpErrorCode::access_violation, kAccessViolationText);
        return false;
    }
    return true;
}

std::size_t negotiate_options(TftpTransfer& t, std::size_t first_option, const StepContext& ctx) {
    store_be16(t.ack_area.data(), static_cast<std::uint16_t>(Opcode::oack));
    std::size_t length = 2;
    // The window is bounded by bytes: a client's default socket buffer (about 208 KiB, most of
    // it overhead for large datagrams) drops a longer burst. The bound takes the largest block
    // size the request can leave in force, whatever the options' order and whichever of them
    // the acknowledgement has room for: an option cut for room must not leave a window of
    // larger blocks than the bound was made for.
    std::uint32_t block_size = t.block_size, largest_block_size = t.block_size;
    for (RequestReader scan(t.received(), first_option); !scan.at_end();) {
        const std::string_view name = scan.next_string();
        if (name.empty()) break;
        const std::string_view value = scan.next_string();
        if (classify(name) != KnownOption::blksize) continue;
        block_size = blksize_in_force(parse_unsigned(value), block_size, ctx.config);
        largest_block_size = std::max(largest_block_size, block_size);
    }
    const std::uint64_t window_limit =
        std::max<std::uint64_t>(1, kWindowBytes / largest_block_size);
    RequestReader reader(t.received(), first_option);
    while (!reader.at_end()) {
        const std::string_view name = reader.next_string();
        if (name.empty()) break;  // an empty name ends the list
        const std::string_view value = reader.next_string();
        const KnownOption kind = classify(name);
        if (kind == KnownOption::other) continue;

        std::uint64_t reply = 0;
        switch (kind) {
            case KnownOption::blksize:
                reply = blksize_in_force(parse_unsigned(value), t.block_size, ctx.config);
                break;
            case KnownOption::tsize:
                t.announced_size = parse_unsigned(value);
                reply = measure_file(t);
                break;
            case KnownOption::interval: {
                const std::int64_t asked = parse_signed(value);
                reply = (asked >= 1 && asked <= 100) ? asked - asked / 2 : t.wait;
                break;
            }
            case KnownOption::windowsize: {
                // A windowed read reads blocks at their offsets, which a text-mode stream
                // can't promise where the platform translates line ends: netascii stays in
                // lock-step, on every platform alike.
                const std::uint64_t asked = parse_unsigned(value);
                reply = (asked >= 1 && asked <= kMaxWindowSize && !t.netascii())
                            ? std::min(asked, window_limit)
                            : t.window_size;
                break;
            }
            case KnownOption::other:
                break;
        }
        // Room check first: an answer that does not fit ends the negotiation, so what the OACK
        // says is always what is in force.
        const std::size_t need = name.size() + 1 + decimal_width(reply) + 1;
        if (length + need > t.ack_area.size()) break;
        if (kind == KnownOption::blksize) t.block_size = static_cast<std::uint32_t>(reply);
        if (kind == KnownOption::tsize) t.tsize = static_cast<std::int64_t>(reply);
        if (kind == KnownOption::windowsize) t.window_size = static_cast<std::uint16_t>(reply);
        if (kind == KnownOption::interval) {
            t.wait = static_cast<std::uint32_t>(reply);
            t.expiry = ctx.now + t.wait;
        }
        char* out = reinterpret_cast<char*>(t.ack_area.data()) + length;
        std::memcpy(out, name.data(), name.size());  // echoed in the client's letter case
        out[name.size()] = '\0';
        const std::size_t digits = put_decimal(out + name.size() + 1, reply);
        out[name.size() + 1 + digits] = '\0';
        length += need;
    }
    return length;
}

void set_error(TftpTransfer& t, TftpErrorCode code, std::string_view text) {
    text = text.substr(0, kErrorTextMax);
    store_be16(t.error_area.data(), static_cast<std::uint16_t>(Opcode::error));
    store_be16(t.error_area.data() + 2, static_cast<std::uint16_t>(code));
    std::memcpy(t.error_area.data() + kHeaderSize, text.data(), text.size());
    t.error_area[kHeaderSize + text.size()] = 0;
}

}  // namespace tftp
