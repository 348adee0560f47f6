#include <gtest/gtest.h>

#include <cerrno>

#include "tftp/transfer_table.h"
#include "transfer_harness.h"

namespace tftp {
namespace {

using namespace tftp::testing;

TEST(TftpOptions, AnswersWithTheValuesInForce) {
    struct Case {
        const char* what;
        Bytes request;
        Bytes answer;
        std::uint32_t block_size;
        std::uint32_t wait;
        std::uint16_t window = 1;
    };
    const Case cases[] = {
        {"blksize 512", rrq({{"blksize", "512"}}), oack({{"blksize", "512"}}), 512, 5},
        {"blksize 513", rrq({{"blksize", "513"}}), oack({{"blksize", "513"}}), 513, 5},
        {"blksize 4096", rrq({{"blksize", "4096"}}), oack({{"blksize", "4096"}}), 4096, 5},
        {"blksize 4097", rrq({{"blksize", "4097"}}), oack({{"blksize", "512"}}), 512, 5},
        {"blksize -1", rrq({{"blksize", "-1"}}), oack({{"blksize", "512"}}), 512, 5},
        {"second blksize", rrq({{"blksize", "1024"}, {"blksize", "9000"}}),
         oack({{"blksize", "1024"}, {"blksize", "1024"}}), 1024, 5},
        {"interval 1", rrq({{"interval", "1"}}), oack({{"interval", "1"}}), 512, 1},
        {"interval 7", rrq({{"interval", "7"}}), oack({{"interval", "4"}}), 512, 4},
        {"interval 10", rrq({{"interval", "10"}}), oack({{"interval", "5"}}), 512, 5},
        {"interval 100", rrq({{"interval", "100"}}), oack({{"interval", "50"}}), 512, 50},
        {"interval 101", rrq({{"interval", "101"}}), oack({{"interval", "5"}}), 512, 5},
        {"interval 0", rrq({{"interval", "0"}}), oack({{"interval", "5"}}), 512, 5},
        {"tsize on read", rrq({{"tsize", "0"}}), oack({{"tsize", "1234"}}), 512, 5},
        {"tsize on write", wrq({{"tsize", "1234"}}), oack({{"tsize", "0"}}), 512, 5},
        {"unknown only", rrq({{"timeout", "8"}}), oack({}), 512, 5},
        {"windowsize 16", rrq({{"windowsize", "16"}}), oack({{"windowsize", "16"}}), 512, 5, 16},
        {"windowsize 65535 on write: 64 KiB", wrq({{"windowsize", "65535"}}),
         oack({{"windowsize", "128"}}), 512, 5, 128},
        {"64 KiB at the last blksize",
         rrq({{"windowsize", "64"}, {"blksize", "1024"}, {"blksize", "4096"}}),
         oack({{"windowsize", "16"}, {"blksize", "1024"}, {"blksize", "4096"}}), 4096, 5, 16},
        {"windowsize 0", rrq({{"windowsize", "0"}}), oack({{"windowsize", "1"}}), 512, 5},
        {"windowsize 65536", rrq({{"windowsize", "65536"}}), oack({{"windowsize", "1"}}), 512, 5},
        {"netascii stays in lock-step",
         request(Opcode::rrq, "zorva.bin", "netascii", {{"windowsize", "8"}}),
         oack({{"windowsize", "1"}}), 512, 5},
        {"client's case", rrq({{"BlkSize", "1024"}, {"TSIZE", "0"}}),
         oack({{"BlkSize", "1024"}, {"TSIZE", "1234"}}), 1024, 5},
        {"unknown skipped", rrq({{"x", "1"}, {"interval", "2"}}), oack({{"interval", "1"}}), 512,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        if (c.request[1] == 1) h.dir.write("zorva.bin", pattern(1234));
        h.send(c.request);
        ASSERT_EQ(1u, h.sender.sent.size());  // the OACK only: DATA 1 waits for ACK 0
        EXPECT_EQ(c.answer, h.sender.sent[0].bytes);
        const TftpTransfer* t = h.table.find(kKey);
        ASSERT_NE(nullptr, t);
        EXPECT_EQ(c.block_size, t->options.block_size);
        EXPECT_EQ(c.wait, t->options.wait);
        EXPECT_EQ(h.now + c.wait, t->expiry);
        EXPECT_EQ(c.window, t->options.window_size);
    }
}

TEST(TftpOptions, RepeatedOptionsNeverOverrunTheAcknowledgementArea) {
    Harness h;
    h.dir.write("zorva.bin", "x");
    Bytes req = request(Opcode::rrq, "zorva.bin", "octet");
    for (int i = 0; i < 300; ++i) {
        put_text(req, "interval");
        put_text(req, "3");
    }
    h.send(req);
    const Bytes& answer = h.sender.sent.at(0).bytes;
    EXPECT_LE(answer.size(), 512u);
    // Whole answers only: "interval\0" "2\0" is 11 bytes.
    EXPECT_EQ(2u + 46 * 11, answer.size());
}

// A blksize that no longer fits the acknowledgement is not in force, so it can't shrink the
// window's bound either: the window stays within 64 KiB of the blocks that are in force.
TEST(TftpOptions, TheWindowBoundHoldsForTheBlockSizeInForce) {
    Harness h;
    h.dir.write("zorva.bin", "x");
    Bytes req = request(Opcode::rrq, "zorva.bin", "octet");
    put_text(req, "windowsize");
    put_text(req, "64");
    for (int i = 0; i < 39; ++i) {
        put_text(req, "blksize");
        put_text(req, "4096");
    }
    put_text(req, "blksize");
    put_text(req, "1024");
    h.send(req);
    const TftpTransfer* t = h.table.find(kKey);
    ASSERT_NE(nullptr, t);
    EXPECT_LE(std::uint64_t{t->options.window_size} * t->options.block_size, 65536u)
        << t->options.window_size << " blocks of " << t->options.block_size << " bytes";
    const Bytes& answer = h.sender.sent.at(0).bytes;
    const Bytes said = oack({{"windowsize", std::to_string(t->options.window_size)}});
    EXPECT_TRUE(std::equal(said.begin(), said.end(), answer.begin()))
        << "the OACK must say the window in force";
}

TEST(TftpRequest, StringsWithoutTheirNulEndAtTheDatagram) {
    struct Case {
        const char* what;
        Bytes request;
        Bytes first_answer;
    };
    Bytes no_mode_nul = {0, 1, 'a', 0, 'o', 'c', 't'};
    Bytes no_name_nul = {0, 1, 'z', 'o', 'r', 'v', 'a'};
    Bytes value_cut = request(Opcode::rrq, "a", "octet");
    put_text(value_cut, "blksize");
    value_cut.insert(value_cut.end(), {'1', '0', '2', '4'});
    Bytes name_cut = request(Opcode::rrq, "a", "octet");
    name_cut.insert(name_cut.end(), {'t', 's', 'i', 'z', 'e'});
    const Case cases[] = {
        {"mode cut", no_mode_nul, data(1, "abc")},
        {"name cut", no_name_nul, data(1, "abc")},
        {"option value cut", value_cut, oack({{"blksize", "1024"}})},
        {"option name cut", name_cut, oack({{"tsize", "3"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        h.dir.write("zorva.bin", "abc");
        h.send(c.request);
        ASSERT_EQ(1u, h.sender.sent.size());
        EXPECT_EQ(c.first_answer, h.sender.sent[0].bytes);
    }
}

TEST(TftpRequest, HomeDirectoryThatClimbsOutIsAnAccessViolation) {
    Harness h;
    h.config = config_in(h.dir.path() / ".." / "x");
    TransferTable table(h.config);
    table.dispatch(h.sender, kClient, rrq(), h.now);
    ASSERT_EQ(1u, h.sender.sent.size());
    EXPECT_EQ(error_packet(2, "Access violation"), h.sender.sent[0].bytes);
    EXPECT_EQ(0u, table.size());
}

}  // namespace
}  // namespace tftp
