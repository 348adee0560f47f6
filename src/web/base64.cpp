#include "web/base64.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

namespace web {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(kAlphabet.size() == 64);
constexpr char kPad = '=';

// Writes the encoding of `source` to `out`, which has room for base64_encoded_length() chars.
void encode_into(std::string_view source, char* out) {
    std::size_t i = 0;
    for (; i + 3 <= source.size(); i += 3) {
        const std::uint32_t group =
            static_cast<std::uint32_t>(static_cast<unsigned char>(source[i]) << 16 |
                                       static_cast<unsigned char>(source[i + 1]) << 8 |
                                       static_cast<unsigned char>(source[i + 2]));
        *out++ = kAlphabet[group >> 18 & 0x3f];
        *out++ = kAlphabet[group >> 12 & 0x3f];
        *out++ = kAlphabet[group >> 6 & 0x3f];
        *out++ = kAlphabet[group & 0x3f];
    }
    const std::size_t rest = source.size() - i;
    if (rest == 0) return;
    // A last group of one byte gives two characters and "==", of two bytes three and "=".
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(source[i]) << 16);
    if (rest == 2)
        group |= static_cast<std::uint32_t>(static_cast<unsigned char>(source[i + 1]) << 8);
    *out++ = kAlphabet[group >> 18 & 0x3f];
    *out++ = kAlphabet[group >> 12 & 0x3f];
    *out++ = rest == 2 ? kAlphabet[group >> 6 & 0x3f] : kPad;
    *out++ = kPad;
}

}  // namespace

int Base64Encode(const char* source, std::span<char> destination) {
    const std::string_view text = source ? std::string_view(source) : std::string_view();
    const std::size_t length = base64_encoded_length(text.size());
    if (length >= destination.size() ||
        length > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        if (!destination.empty()) destination[0] = '\0';
        return -1;
    }
    encode_into(text, destination.data());
    destination[length] = '\0';
    return static_cast<int>(length);
}

std::string base64_encode(std::string_view source) {
    std::string out(base64_encoded_length(source.size()), '\0');
    encode_into(source, out.data());
    return out;
}

}  // namespace web
