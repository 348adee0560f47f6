#include "tftp/tftp_packet.h"

#include <algorithm>
#include <limits>

namespace tftp {
namespace {

constexpr unsigned char lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Sign and magnitude of a decimal text read from its start; the magnitude saturates.
struct Decimal {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

Decimal read_decimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && is_blank(text[i])) ++i;
    Decimal d;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative = text[i++] == '-';
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (d.magnitude > (kMax - digit) / 10) {
            d.magnitude = kMax;
            continue;
        }
        d.magnitude = d.magnitude * 10 + digit;
    }
    return d;
}

}  // namespace

bool tftp_names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

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

std::string_view RequestReader::next_string() {
    if (pos_ >= data_.size()) return {};
    const auto rest = data_.subspan(pos_);
    const auto nul = std::find(rest.begin(), rest.end(), std::uint8_t{0});
    const auto length = static_cast<std::size_t>(nul - rest.begin());
    pos_ += length + (nul == rest.end() ? 0 : 1);
    return {reinterpret_cast<const char*>(rest.data()), length};
}

std::uint64_t parse_unsigned(std::string_view text) {
    const Decimal d = read_decimal(text);
    // strtoul negates a negative text in unsigned arithmetic: "-1" is the largest value.
    if (d.negative && d.magnitude != 0) return std::numeric_limits<std::uint64_t>::max();
    return d.magnitude;
}

std::int64_t parse_signed(std::string_view text) {
    const Decimal d = read_decimal(text);
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::int64_t magnitude = static_cast<std::int64_t>(std::min(d.magnitude, kMax));
    return d.negative ? -magnitude : magnitude;
}

}  // namespace tftp
