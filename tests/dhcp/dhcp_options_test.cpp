#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/event_log.h"
#include "dhcp/dhcp_message.h"
#include "dhcp_test_util.h"

namespace dhcp {
namespace {

// Runs the walk with the trace switched on and returns what it wrote to standard error.
std::string traced_walk(const dhcp_packet& m, dhcp_options& out, int& result) {
    core::set_trace_enabled(true);
    ::testing::internal::CaptureStderr();
    result = parse_dhcp_options(m, out);
    std::string trace = ::testing::internal::GetCapturedStderr();
    core::set_trace_enabled(false);
    return trace;
}

TEST(ParseDhcpOptions, TakesTheMessageTypeFromTheOptionsAreaOnly) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> options;
        std::uint8_t type;
        const char* last_trace_line;
    };
    const std::vector<std::uint8_t> only_pad(64, 0);
    std::vector<std::uint8_t> type_in_last_option(64, 0);
    type_in_last_option[61] = 53, type_in_last_option[62] = 1, type_in_last_option[63] = 3;
    std::vector<std::uint8_t> type_cut_by_the_end(64, 0);
    type_cut_by_the_end[62] = 53, type_cut_by_the_end[63] = 1;
    std::vector<std::uint8_t> option_filling_the_area = {12, 62};
    option_filling_the_area.resize(64, 53);  // value bytes that look like option 53
    std::vector<std::uint8_t> code_in_the_last_byte(64, 0);
    code_in_the_last_byte[63] = 61;

    const Case cases[] = {
        {"discover", {53, 1, 1, 255}, 1, "parse_dhcp_options: END option found! [end]!\n"},
        {"request", {53, 1, 3, 255}, 3, "parse_dhcp_options: END option found! [end]!\n"},
        {"length byte of 53 not consulted",
         {53, 4, 3, 0, 0, 0, 255},
         3,
         "parse_dhcp_options: END option found! [end]!\n"},
        {"later 53 wins",
         {53, 1, 1, 53, 1, 3, 255},
         3,
         "parse_dhcp_options: END option found! [end]!\n"},
        {"other options stepped over by length",
         {61, 7, 1, 2, 3, 4, 5, 6, 7, 53, 1, 3, 255},
         3,
         "parse_dhcp_options: END option found! [end]!\n"},
        {"value bytes of another option are not codes",
         {12, 3, 53, 1, 5, 255},
         0,
         "parse_dhcp_options: END option found! [end]!\n"},
        {"end comes first", {255, 53, 1, 1}, 0, "parse_dhcp_options: END option found! [end]!\n"},
        {"only pad", only_pad, 0, "parse_dhcp_options [end]!\n"},
        {"type as the very last option", type_in_last_option, 3, "parse_dhcp_options [end]!\n"},
        {"53 whose value lies past 303", type_cut_by_the_end, 0, "parse_dhcp_options [end]!\n"},
        {"length runs past 303", {12, 200, 'x', 53, 1, 1}, 0, "parse_dhcp_options [end]!\n"},
        {"option ends exactly at 303", option_filling_the_area, 0, "parse_dhcp_options [end]!\n"},
        {"code without its length byte", code_in_the_last_byte, 0, "parse_dhcp_options [end]!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const dhcp_packet m = test::message_with_options(c.options);
        dhcp_options out{};
        out.message_type = 99;
        int result = -5;
        const std::string trace = traced_walk(m, out, result);
        EXPECT_EQ(kParseOk, result);
        EXPECT_EQ(c.type, out.message_type);
        EXPECT_EQ("parse_dhcp_options [begin]!\n" + std::string(c.last_trace_line), trace);
    }
}

TEST(ParseDhcpOptions, TakesTheRequestedAddressOnlyWhenItsFourBytesLieInTheMessage) {
    using Address = std::array<std::uint8_t, 4>;
    std::vector<std::uint8_t> cut_by_the_end(64, 0);
    cut_by_the_end[59] = 50, cut_by_the_end[60] = 4, cut_by_the_end[61] = 10;
    const struct {
        const char* what;
        std::vector<std::uint8_t> options;
        Address want;
    } cases[] = {
        {"after the type", {53, 1, 3, 50, 4, 192, 168, 1, 50, 255}, {192, 168, 1, 50}},
        {"a length other than 4", {53, 1, 3, 50, 3, 192, 168, 1, 255}, {}},
        {"value past 303", cut_by_the_end, {}},
        {"none", {53, 1, 3, 255}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dhcp_options out{};
        out.requested_address = {9, 9, 9, 9};  // what the previous message left
        ASSERT_EQ(kParseOk, parse_dhcp_options(test::message_with_options(c.options), out));
        EXPECT_EQ(c.want, out.requested_address);
    }
}

TEST(ParseDhcpOptions, RejectsAMessageWhoseCookieIsOneByteWrong) {
    for (std::size_t i = 0; i < kCookie.size; ++i) {
        SCOPED_TRACE(i);
        dhcp_packet m = test::message_with_options({53, 1, 1, 255});
        m[kCookie.offset + i] ^= 1;
        dhcp_options out{};
        out.message_type = 7;
        int result = 0;
        const std::string trace = traced_walk(m, out, result);
        EXPECT_EQ(kParseNoCookie, result);
        EXPECT_EQ(0, out.message_type);
        EXPECT_EQ("parse_dhcp_options [begin]!\nNo magic cookie! Aborting! \n", trace);
    }
}

TEST(ParseDhcpOptions, WritesNoTraceUnlessAskedTo) {
    const dhcp_packet m = test::message_with_options({53, 1, 1, 255});
    dhcp_options out{};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(kParseOk, parse_dhcp_options(m, out));
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
}

}  // namespace
}  // namespace dhcp
