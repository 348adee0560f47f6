#include "web/base64.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

TEST(Base64Encode, MatchesTheRfc4648VectorsWithPadding) {
    struct Case {
        const char* source;
        const char* encoded;
    };
    // RFC 4648 §10, plus bytes with the high bit set.
    const Case cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xff\xfe\x80", "//6A"},
        {"admin:7305", "YWRtaW46NzMwNQ=="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        std::array<char, 128> out;
        out.fill('x');
        const int n = web::Base64Encode(c.source, out);
        EXPECT_EQ(std::string(c.encoded), std::string(out.data()));
        EXPECT_EQ(static_cast<int>(std::string(c.encoded).size()), n);
        EXPECT_EQ(std::string(c.encoded), web::base64_encode(c.source));
    }
}

TEST(Base64Encode, RefusesADestinationWithoutRoomForTheNul) {
    std::array<char, 8> exact{};  // "Zm9vYmFy" needs 8 characters and a NUL
    exact.fill('x');
    EXPECT_EQ(-1, web::Base64Encode("foobar", exact));
    EXPECT_EQ('\0', exact[0]);
    EXPECT_EQ('x', exact[1]);  // nothing else touched
    std::array<char, 9> enough{};
    EXPECT_EQ(8, web::Base64Encode("foobar", enough));
    EXPECT_EQ(-1, web::Base64Encode("", std::span<char>()));
}

}  // namespace
