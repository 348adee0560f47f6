// TFTP wire format (RFC 1350, with the option extension of RFC 2347): opcodes, the fixed sizes
// of the service's packet areas, its constants and error texts, and the small byte helpers the
// transfers build their packets with. Nothing here sends anything.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tftp {

// RFC 1350 §5 and RFC 2347 §2.
enum class Opcode : std::uint16_t {
    rrq = 1,
    wrq = 2,
    data = 3,
    ack = 4,
    error = 5,
    oack = 6,
};

inline constexpr std::size_t kHeaderSize = 4;       // opcode + block number or error code
inline constexpr std::size_t kMaxBlockData = 4096;  // largest data part of a DATA packet
inline constexpr std::size_t kDatagramMax = kHeaderSize + kMaxBlockData;  // 4100
inline constexpr std::size_t kErrorAreaSize = 512;
inline constexpr std::size_t kAckAreaSize = 512;
inline constexpr std::size_t kErrorTextMax = kErrorAreaSize - kHeaderSize - 1;  // 507
inline constexpr std::size_t kPathSize = 259;      // path text with its NUL
inline constexpr std::size_t kClientKeySize = 32;  // "%s:%u" with its NUL
inline constexpr std::uint32_t kDefaultBlockSize = 512;
inline constexpr std::uint64_t kMaxWindowSize = 65535;    // RFC 7440
inline constexpr std::uint64_t kWindowBytes = 64 * 1024;  // data bytes per window at most
inline constexpr std::string_view kServedFileName = "zorva.bin";

// The service's constants. The home directory is the prefix of the served file's path, with its
// trailing separator; the service takes it from its options, "./" (the current directory) by
// default.
struct TftpServerConfig {
    std::uint16_t maxBlockSize = 4096;
    std::array<char, 512> homeDirectory{'.', '/'};
    std::uint16_t interval = 10;

    // The wait used everywhere: interval - interval / 2, 5 seconds.
    constexpr std::uint32_t wait() const { return interval - interval / 2u; }
};

// Error codes of RFC 1350 §5 that the service sends, with the texts it sends them with.
enum class TftpErrorCode : std::uint16_t {
    not_defined = 0,
    file_not_found = 1,
    access_violation = 2,
    disk_full = 3,
    file_exists = 6,
};

inline constexpr std::string_view kTimeoutText = "Timeout";
inline constexpr std::string_view kFileNotFoundText = "File Not Found";
inline constexpr std::string_view kAccessViolationText = "Access violation";
inline constexpr std::string_view kInvalidPathText = "Invalid Path";
inline constexpr std::string_view kFileTooLargeText = "File Too Large";
inline constexpr std::string_view kDiskFullText = "Disk full or allocation exceeded";
inline constexpr std::string_view kFileExistsText = "File already exists";

constexpr std::uint16_t load_be16(const std::uint8_t* b) {
    return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}
constexpr void store_be16(std::uint8_t* b, std::uint16_t v) {
    b[0] = static_cast<std::uint8_t>(v >> 8);
    b[1] = static_cast<std::uint8_t>(v & 0xff);
}

// Whether two texts are equal but for the letter case of ASCII letters (option names, modes).
bool tftp_names_equal(std::string_view a, std::string_view b);

// Writes the decimal digits of v at out, without a NUL; returns their count. out needs room
// for 20.
std::size_t put_decimal(char* out, std::uint64_t v);

// Reads NUL-terminated strings from a datagram without ever passing its end. A string that
// runs to the end of the datagram without a NUL ends there, which is how the zero-cleared
// receive area of the classic service read every datagram shorter than the area.
class RequestReader {
public:
    explicit RequestReader(std::span<const std::uint8_t> data, std::size_t pos = 0)
        : data_(data), pos_(pos < data.size() ? pos : data.size()) {}
    std::string_view next_string();
    std::size_t position() const { return pos_; }
    bool at_end() const { return pos_ >= data_.size(); }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_;
};

// Decimal conversions of option values, as the C library's strtoul and strtol read them from
// the text's start (leading blanks, a sign, digits; no digits give 0). Values that do not fit
// saturate; a negative text read as unsigned is a huge value.
std::uint64_t parse_unsigned(std::string_view text);
std::int64_t parse_signed(std::string_view text);

}  // namespace tftp
