// Base64 (RFC 4648 §4: standard alphabet, "=" padding, no line breaks) for the credentials of
// HTTP Basic authentication (RFC 7617).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace web {

// Characters needed for the encoding of `source_length` bytes, the NUL not counted.
constexpr std::size_t base64_encoded_length(std::size_t source_length) {
    return (source_length + 2) / 3 * 4;
}

// Encodes the NUL-terminated text `source` into `destination` and terminates it. Returns the
// number of characters written (the NUL not counted), or -1 when the destination cannot hold
// the encoding and its NUL; then nothing but a NUL in its first byte (if it has one) is written.
[[nodiscard]] int Base64Encode(const char* source, std::span<char> destination);

// The same encoding into a string, for any bytes (embedded NULs included).
std::string base64_encode(std::string_view source);

}  // namespace web
