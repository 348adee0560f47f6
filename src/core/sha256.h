// SHA-256 (FIPS 180-4) over bytes fed in pieces, for the digests the technician compares
// against a firmware release's published sum.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace core {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void update(std::span<const std::uint8_t> bytes);
    // Ends the message; the object must not be fed again afterwards.
    Digest finish();

    // Lower-case hexadecimal of a digest, 64 characters.
    static std::string hex(const Digest& digest);

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;  // bytes fed so far
};

}  // namespace core
