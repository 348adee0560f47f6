#include "tftp/tftp_packet.h"

#include <gtest/gtest.h>

#include "tftp/tftp_transfer.h"
#include "tftp_test_util.h"

namespace tftp {
namespace {

using namespace tftp::testing;

TEST(TftpNamesEqual, ComparesWithoutLetterCase) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    const Case cases[] = {
        {"blksize", "BLKSIZE", true},
        {"BlkSize", "blksize", true},
        {"", "", true},
        {"a", "b", false},
        {"b", "A", false},
        {"blk", "blksize", false},
        {"tsizex", "tsize", false},
        // Just past 'Z' and just before 'A': 32 apart as the letters' cases are, but not letters.
        {"[", "{", false},
        {"@", "`", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(c.equal, tftp_names_equal(c.a, c.b));
    }
}

TEST(TftpDecimal, ReadsLikeTheCLibrary) {
    struct Case {
        const char* text;
        std::uint64_t as_unsigned;
        std::int64_t as_signed;
    };
    const Case cases[] = {
        {"1024", 1024, 1024},
        {"  42", 42, 42},
        {"+7", 7, 7},
        {"12ab", 12, 12},
        {"", 0, 0},
        {"x", 0, 0},
        {"-1", UINT64_MAX, -1},
        {"-0", 0, 0},
        {"99999999999999999999999", UINT64_MAX, INT64_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.as_unsigned, parse_unsigned(c.text));
        EXPECT_EQ(c.as_signed, parse_signed(c.text));
    }
}

TEST(TftpClientKey, IsTheDottedAddressAndThePort) {
    std::array<char, kClientKeySize> key{};
    EXPECT_EQ(21u, format_client_key({0xffffffff, 65535}, key));
    EXPECT_STREQ("255.255.255.255:65535", key.data());
    format_client_key({0x0a000102, 0}, key);
    EXPECT_STREQ("10.0.1.2:0", key.data());
}

TEST(TftpSetError, BuildsTheErrorPacketAndCutsLongTexts) {
    auto t = std::make_unique<TftpTransfer>();
    set_error(*t, TftpErrorCode::file_exists, "File already exists");
    EXPECT_EQ(error_packet(6, "File already exists"),
              Bytes(t->error_area.begin(), t->error_area.begin() + t->error_packet_length()));
    EXPECT_TRUE(t->in_error());
    set_error(*t, TftpErrorCode::not_defined, std::string(600, 'x'));
    EXPECT_EQ(512u, t->error_packet_length());
    EXPECT_EQ(0, t->error_area[511]);
}

}  // namespace
}  // namespace tftp
