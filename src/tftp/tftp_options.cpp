#include "tftp/tftp_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tftp {
namespace {

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
    if (tftp_names_equal(name, "blksize")) return KnownOption::blksize;
    if (tftp_names_equal(name, "tsize")) return KnownOption::tsize;
    if (tftp_names_equal(name, "interval")) return KnownOption::interval;
    if (tftp_names_equal(name, "windowsize")) return KnownOption::windowsize;
    return KnownOption::other;
}

}  // namespace

std::size_t parse_request(TftpTransfer& t) {
    const auto datagram = t.request();
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
    // Both separators mean the same to the client's view of the path; the path keeps one: "/",
    // or on Windows the one its home directory ends with (".\" gives ".\zorva.bin", as the
    // system writes paths).
#ifdef _WIN32
    const char separator = !home.empty() && home.back() == '\\' ? '\\' : '/';
#else
    constexpr char separator = '/';
#endif
    const char other = separator == '/' ? '\\' : '/';
    for (char& c : t.path) {
        if (c == '\0') break;
        if (c == other) c = separator;
    }
    const char parent[] = {'.', '.', separator, '\0'};
    if (std::strstr(t.path.data(), parent) != nullptr) {
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
    std::uint32_t block_size = t.options.block_size, largest_block_size = t.options.block_size;
    for (RequestReader scan(t.request(), first_option); !scan.at_end();) {
        const std::string_view name = scan.next_string();
        if (name.empty()) break;
        const std::string_view value = scan.next_string();
        if (classify(name) != KnownOption::blksize) continue;
        block_size = blksize_in_force(parse_unsigned(value), block_size, ctx.config);
        largest_block_size = std::max(largest_block_size, block_size);
    }
    const std::uint64_t window_limit =
        std::max<std::uint64_t>(1, kWindowBytes / largest_block_size);
    RequestReader reader(t.request(), first_option);
    while (!reader.at_end()) {
        const std::string_view name = reader.next_string();
        if (name.empty()) break;  // an empty name ends the list
        const std::string_view value = reader.next_string();
        const KnownOption kind = classify(name);
        if (kind == KnownOption::other) continue;

        std::uint64_t reply = 0;
        switch (kind) {
            case KnownOption::blksize:
                reply = blksize_in_force(parse_unsigned(value), t.options.block_size, ctx.config);
                break;
            case KnownOption::tsize:
                t.upload.announced_size = parse_unsigned(value);
                reply = measure_file(t);
                break;
            case KnownOption::interval: {
                const std::int64_t asked = parse_signed(value);
                reply = (asked >= 1 && asked <= 100) ? asked - asked / 2 : t.options.wait;
                break;
            }
            case KnownOption::windowsize: {
                // A windowed read reads blocks at their offsets, which a text-mode stream
                // can't promise where the platform translates line ends: netascii stays in
                // lock-step, on every platform alike.
                const std::uint64_t asked = parse_unsigned(value);
                reply = (asked >= 1 && asked <= kMaxWindowSize && !t.netascii())
                            ? std::min(asked, window_limit)
                            : t.options.window_size;
                break;
            }
            case KnownOption::other:
                break;
        }
        // Room check first: an answer that does not fit ends the negotiation, so what the OACK
        // says is always what is in force.
        const std::size_t need = name.size() + 1 + decimal_width(reply) + 1;
        if (length + need > t.ack_area.size()) break;
        if (kind == KnownOption::blksize) t.options.block_size = static_cast<std::uint32_t>(reply);
        if (kind == KnownOption::tsize) t.options.tsize = static_cast<std::int64_t>(reply);
        if (kind == KnownOption::windowsize)
            t.options.window_size = static_cast<std::uint16_t>(reply);
        if (kind == KnownOption::interval) {
            t.options.wait = static_cast<std::uint32_t>(reply);
            t.expiry = ctx.now + t.options.wait;
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

}  // namespace tftp
