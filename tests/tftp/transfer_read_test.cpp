#include <gtest/gtest.h>

#include "tftp/transfer_table.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "transfer_harness.h"

namespace tftp {
namespace {

using namespace tftp::testing;

TEST(TftpRead, ServesEveryBlockOnceAndCountsTheLastOne) {
    struct Case {
        std::size_t size;
        unsigned blocks;
    };
    const Case cases[] = {{0, 1}, {100, 1}, {512, 2}, {513, 2}, {1024, 3}, {5000, 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        Harness h;
        const std::string content = pattern(c.size);
        h.dir.write("zorva.bin", content);
        h.send(rrq());
        std::size_t packets = 0;
        EXPECT_EQ(content, h.read_to_end(&packets));
        EXPECT_EQ(c.blocks, packets);
        // One progress mark per ACK that arrives while the counter is a multiple of 10.
        EXPECT_EQ(std::string(c.blocks / 10, '.') + h.served_line(c.blocks), h.log.text());
        ASSERT_NE(nullptr, h.table.find(kKey));
        EXPECT_EQ(TftpTransfer::kFinished, h.table.find(kKey)->retry_counter);
    }
}

TEST(TftpRead, AnyRequestedNameAndModeReadsZorvaBin) {
    struct Case {
        const char* name;
        const char* mode;
    };
    const Case cases[] = {{"boot.img", "octet"},
                          {"", "netascii"},
                          {"ZORVA.BIN", "NetAscii"},
                          {"x", "mail"},
                          {"zorva.bin", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "/" + c.mode);
        Harness h;
        h.dir.write("zorva.bin", "firmware");
        h.send(request(Opcode::rrq, c.name, c.mode));
        ASSERT_EQ(1u, h.sender.sent.size());
        EXPECT_EQ(data(1, "firmware"), h.sender.sent[0].bytes);
        EXPECT_EQ(kClient, h.sender.sent[0].to);
    }
}

TEST(TftpRead, IgnoresDuplicateAndEarlyAcks) {
    Harness h;
    const std::string content = pattern(2000);
    h.dir.write("zorva.bin", content);
    h.send(rrq());
    EXPECT_EQ(1u, h.sender.take().size());
    h.send(ack(0));  // duplicate of the block before the one in flight
    h.send(ack(2));  // a block not sent yet
    h.send(ack(7));
    EXPECT_TRUE(h.sender.take().empty());
    h.send(ack(1));
    const auto sent = h.sender.take();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(data(2, content.substr(512, 512)), sent[0].bytes);
    h.send(ack(1));  // duplicate of the block just acknowledged
    EXPECT_TRUE(h.sender.take().empty());
    EXPECT_EQ("", h.log.text());
}

TEST(TftpRead, ResendsTheBlockInFlightThreeTimesThenTimesOut) {
    Harness h;
    const std::string content = pattern(1500);
    h.dir.write("zorva.bin", content);
    h.send(rrq());
    h.send(ack(1));
    const Bytes in_flight = h.sender.take().back().bytes;
    ASSERT_EQ(data(2, content.substr(512, 512)), in_flight);
    // The file changes under the transfer: the resent block must be the one read before.
    h.dir.write("zorva.bin", std::string(1500, 'z'));

    h.expire(h.now + 5);  // due, not yet overdue
    EXPECT_TRUE(h.sender.take().empty());
    for (int i = 1; i <= 3; ++i) {
        SCOPED_TRACE(i);
        h.now += 6;
        h.expire(h.now);
        const auto sent = h.sender.take();
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ(in_flight, sent[0].bytes);
        EXPECT_EQ(i, h.table.find(kKey)->retry_counter);
    }
    h.now += 6;
    h.expire(h.now);
    const auto sent = h.sender.take();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(error_packet(0, "Timeout"), sent[0].bytes);
    EXPECT_EQ(h.error_line("Timeout"), h.log.text());
    EXPECT_EQ(0u, h.table.size());
    EXPECT_EQ(0u, h.table.index_size());
}

TEST(TftpRead, FinishedTransferIsRemovedSilentlyAfterItsExpiry) {
    Harness h;
    h.dir.write("zorva.bin", "abc");
    h.send(rrq());
    h.send(ack(1));
    h.log.clear();
    h.sender.take();
    h.expire(h.now + 5);
    EXPECT_EQ(1u, h.table.size());
    h.expire(h.now + 6);
    EXPECT_EQ(0u, h.table.size());
    EXPECT_TRUE(h.sender.take().empty());
    EXPECT_EQ("", h.log.text());
}

TEST(TftpRead, NewRequestFromTheSamePortRestartsAFinishedTransfer) {
    Harness h;
    h.dir.write("zorva.bin", "abc");
    h.send(rrq());
    h.send(ack(1));
    ASSERT_EQ(TftpTransfer::kFinished, h.table.find(kKey)->retry_counter);
    h.sender.take();
    h.send(rrq());
    const auto sent = h.sender.take();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(data(1, "abc"), sent[0].bytes);
    EXPECT_EQ(1u, h.table.size());
    EXPECT_EQ(1u, h.table.index_size());
    EXPECT_EQ(0, h.table.find(kKey)->retry_counter);
}

TEST(TftpRead, TwoPortsOfOneAddressHaveIndependentTransfers) {
    Harness h;
    const std::string content = pattern(1200);
    h.dir.write("zorva.bin", content);
    const platform::Endpoint other{kClient.address, 40001};
    h.send(rrq());
    h.send(rrq(), other);
    h.send(ack(1), other);
    const auto sent = h.sender.take();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ(other, sent[2].to);
    EXPECT_EQ(data(2, content.substr(512, 512)), sent[2].bytes);
    EXPECT_EQ(1, h.table.find(kKey)->block_counter);
    EXPECT_EQ(2u, h.table.size());
}

TEST(TftpRead, MissingFileIsAnsweredWithTheCLibraryText) {
    Harness h;
    h.send(rrq());
    const std::string text = std::strerror(ENOENT);
    ASSERT_EQ(1u, h.sender.sent.size());
    EXPECT_EQ(error_packet(0, text), h.sender.sent[0].bytes);
    EXPECT_EQ(h.error_line(text), h.log.text());
    EXPECT_EQ(0u, h.table.size());
}

#if !defined(_WIN32)
// Running as root, zorva.bin is followed as a link only when the link's owner owns the file it
// leads to: a user's link to /etc/shadow must not send root's file to the network. Refused, it
// fails as any file that can't be opened does.
TEST(TftpRead, AsRootALinkIsServedOnlyWhenItsOwnerOwnsTheFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "links and files of other users need root";
    constexpr uid_t kRoot = 0, kUser = 65534, kOther = 65533;
    struct Case {
        const char* what;
        uid_t link_owner;
        uid_t file_owner;
        bool served;
    };
    const Case cases[] = {
        {"a user's link to root's file", kUser, kRoot, false},
        {"a user's link to another user's file", kUser, kOther, false},
        {"root's link to a user's file", kRoot, kUser, false},
        {"a user's link to the user's file", kUser, kUser, true},
        {"root's link to root's file", kRoot, kRoot, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        const auto file = h.dir.write("secret", "not for the network");
        ASSERT_EQ(0, ::chown(file.c_str(), c.file_owner, c.file_owner));
        const auto link = h.dir / "zorva.bin";
        std::filesystem::create_symlink(file, link);
        ASSERT_EQ(0, ::lchown(link.c_str(), c.link_owner, c.link_owner));
        h.send(rrq());
        const auto sent = h.sender.take();
        ASSERT_EQ(1u, sent.size());
        if (c.served) {
            EXPECT_EQ(data(1, "not for the network"), sent[0].bytes);
            continue;
        }
        const std::string text = std::strerror(EACCES);
        EXPECT_EQ(error_packet(0, text), sent[0].bytes);
        EXPECT_EQ(h.error_line(text), h.log.text());
    }
}
#endif

TEST(TftpRead, ProgressMarksFollowTheBlockCounter) {
    Harness h;
    h.dir.write("zorva.bin", pattern(25 * 512));
    h.send(rrq());
    h.read_to_end();
    // ACKs arrive while the counter is 1..26; the marks come at 10 and 20.
    EXPECT_EQ(".." + h.served_line(26), h.log.text());
}

TEST(TftpRead, LastBlock65534CompletesAndABlockBeyondIsTooLarge) {
    struct Case {
        std::uintmax_t size;
        const char* window;  // "1": lock-step
        const char* log_tail;
        Bytes last;
    };
    const Case cases[] = {
        {65533u * 512 + 100, "1", ", 65534 Blocks Served\n", {}},
        {65534u * 512, "1", ", error: File Too Large\n", error_packet(3, "File Too Large")},
        {65533u * 512 + 100, "16", ", 65534 Blocks Served\n", {}},
        {65534u * 512, "16", ", error: File Too Large\n", error_packet(3, "File Too Large")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " window " + c.window);
        Harness h;
        h.sender.record_all = false;
        h.dir.write("zorva.bin", "");
        std::filesystem::resize_file(h.dir / "zorva.bin", c.size);  // sparse
        if (std::string_view(c.window) == "1") {
            h.send(rrq());
        } else {
            h.send(rrq({{"windowsize", c.window}}));
            h.send(ack(0));
        }
        for (std::uint32_t block = 1; block <= 65534; ++block)
            h.send(ack(static_cast<std::uint16_t>(block)));
        const std::string log = h.log.text();
        EXPECT_EQ(c.log_tail, log.substr(log.size() - std::strlen(c.log_tail)));
        if (!c.last.empty()) {
            EXPECT_EQ(c.last, h.sender.last.bytes);
        }
        EXPECT_EQ(TftpTransfer::kFinished, h.table.find(kKey)->retry_counter);
    }
}

TEST(TftpRead, BlksizeWaitsForAckZeroAndTheOackIsResent) {
    Harness h;
    const std::string content = pattern(3000);
    h.dir.write("zorva.bin", content);
    h.send(rrq({{"blksize", "1024"}}));
    const Bytes expected_oack = oack({{"blksize", "1024"}});
    EXPECT_EQ(expected_oack, h.sender.take().at(0).bytes);
    h.now += 6;
    h.expire(h.now);
    EXPECT_EQ(expected_oack, h.sender.take().at(0).bytes);
    h.send(ack(0));
    EXPECT_EQ(data(1, content.substr(0, 1024)), h.sender.take().at(0).bytes);
    h.send(ack(1));
    EXPECT_EQ(data(2, content.substr(1024, 1024)), h.sender.take().at(0).bytes);
}

// A request and its ACK 0 are all that a spoofed sender needs: until the client acknowledges
// DATA, what it draws is one window plus the first block at each time-out and the first block
// once for a repeated ACK 0, never whole windows again; once it has, windows go again as usual.
TEST(TftpWindow, AClientThatAcknowledgedNoDataDrawsOneWindowAndThenSingleBlocks) {
    Harness h;
    const std::string content = pattern(100 * 512);
    h.dir.write("zorva.bin", content);
    h.send(rrq({{"windowsize", "16"}}));
    h.sender.take();
    h.send(ack(0));
    EXPECT_EQ(blocks_of(content, 1, 16), packets_of(h.sender.take()));
    for (int i = 0; i < 5; ++i) h.send(ack(0));
    EXPECT_EQ(blocks_of(content, 1, 1), packets_of(h.sender.take()));
    std::size_t drawn = 0;
    for (int i = 0; i < 10; ++i) {  // until the transfer gives up
        h.expire(h.now += 6);
        for (const auto& p : h.sender.take()) {
            if (p.bytes.at(1) == 3) {
                EXPECT_EQ(data(1, content.substr(0, 512)), p.bytes);
            }
            drawn += p.bytes.size();
        }
    }
    EXPECT_LE(drawn, 4u * (4 + 512)) << "time-outs sent more than the first block each";

    Harness acked;  // one acknowledged block later, a time-out sends the window again
    acked.dir.write("zorva.bin", content);
    acked.send(rrq({{"windowsize", "16"}}));
    acked.send(ack(0));
    acked.send(ack(1));
    acked.sender.take();
    acked.expire(acked.now += 6);
    EXPECT_EQ(blocks_of(content, 2, 17), packets_of(acked.sender.take()));
}

TEST(TftpWindow, ReadSlidesOnTheHighestAckAndSendsAgainFromTheFirstUnacknowledged) {
    Harness h;
    const std::string content = pattern(9 * 512 + 100);  // 10 blocks
    h.dir.write("zorva.bin", content);
    h.send(rrq({{"windowsize", "4"}}));
    EXPECT_EQ(oack({{"windowsize", "4"}}), h.sender.take().at(0).bytes);
    h.send(ack(0));
    EXPECT_EQ(blocks_of(content, 1, 4), packets_of(h.sender.take()));
    h.send(ack(4));
    EXPECT_EQ(blocks_of(content, 5, 8), packets_of(h.sender.take()));
    h.send(ack(9));  // never sent: ignored
    h.send(ack(3));  // before the window: ignored
    EXPECT_TRUE(h.sender.take().empty());
    h.send(ack(4));  // nothing moved (block 5 lost): the window goes again, once
    EXPECT_EQ(blocks_of(content, 5, 8), packets_of(h.sender.take()));
    h.send(ack(4));
    EXPECT_TRUE(h.sender.take().empty());
    h.send(ack(6));  // the client lost block 7: from there, and its copies send nothing more
    EXPECT_EQ(blocks_of(content, 7, 10), packets_of(h.sender.take()));
    h.send(ack(6));
    EXPECT_TRUE(h.sender.take().empty());
    h.now += 6;  // silence: from the first block not acknowledged
    h.expire(h.now);
    EXPECT_EQ(blocks_of(content, 7, 10), packets_of(h.sender.take()));
    h.send(ack(10));
    h.send(ack(10));  // a late copy ends nothing twice
    EXPECT_TRUE(h.sender.take().empty());
    // Progress marks for the ACKs that came while the counter was 0 or 10.
    EXPECT_EQ(".." + h.served_line(10) + ".", h.log.text());
    EXPECT_EQ(TftpTransfer::kFinished, h.table.find(kKey)->retry_counter);
}

}  // namespace
}  // namespace tftp
