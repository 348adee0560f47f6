#include "core/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

std::string digest_in_pieces(const std::string& bytes, std::size_t piece) {
    core::Sha256 sha;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t n = std::min(piece, bytes.size() - at);
        sha.update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at, n));
    }
    return core::Sha256::hex(sha.finish());
}

// Lengths around the padding's edges (55 fits the length in one block, 56 does not), fed whole
// and in pieces that do and do not line up with the 64-byte blocks; sha256sum is the reference.
TEST(Sha256, MatchesSha256sumAcrossPaddingEdgesAndPieceSizes) {
    const test::TempDir dir;
    for (const std::size_t length : {0u, 3u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u, 70000u}) {
        std::string bytes(length, '\0');
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 131 + i / 7);
        const auto path = dir.write("m" + std::to_string(length), bytes);
        const auto sum = test::run_command("sha256sum " + path.string());
        ASSERT_EQ(0, sum.status);
        const std::string want = sum.output.substr(0, 64);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64},
                                        std::size_t{100}, bytes.size() + 1}) {
            SCOPED_TRACE("length " + std::to_string(length) + " piece " + std::to_string(piece));
            EXPECT_EQ(want, digest_in_pieces(bytes, piece));
        }
    }
}

}  // namespace
