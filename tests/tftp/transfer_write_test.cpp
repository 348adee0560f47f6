#include <gtest/gtest.h>

#include "tftp/transfer_table.h"

#if !defined(_WIN32)
#include <sys/mount.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "transfer_harness.h"

namespace tftp {
namespace {

using namespace tftp::testing;

TEST(TftpWindow, WriteAcksEachWindowAndTheLastBlockAndAnswersAGapOnce) {
    Harness h;
    const std::string content = pattern(8 * 512 + 7);  // 9 blocks
    const auto block = [&](unsigned b) { return blocks_of(content, b, b)[0]; };
    h.send(wrq({{"windowsize", "4"}}));
    EXPECT_EQ(oack({{"windowsize", "4"}}), h.sender.take().at(0).bytes);
    for (unsigned b = 1; b <= 3; ++b) h.send(block(b));
    EXPECT_TRUE(h.sender.take().empty());
    h.send(block(4));
    EXPECT_EQ(std::vector<Bytes>{ack(4)}, packets_of(h.sender.take()));
    h.send(block(6));  // block 5 lost: the last good block again, once
    h.send(block(7));
    EXPECT_EQ(std::vector<Bytes>{ack(4)}, packets_of(h.sender.take()));
    for (unsigned b = 5; b <= 8; ++b) h.send(block(b));  // the sender's next window
    EXPECT_EQ(std::vector<Bytes>{ack(8)}, packets_of(h.sender.take()));
    h.send(block(5));  // an old block after the window: answered once
    h.send(block(6));
    EXPECT_EQ(std::vector<Bytes>{ack(8)}, packets_of(h.sender.take()));
    h.send(block(9));
    EXPECT_EQ(std::vector<Bytes>{ack(9)}, packets_of(h.sender.take()));
    EXPECT_EQ(content, test::read_file(h.dir / "zorva.bin"));
}

TEST(TftpWrite, StoresBlocksInOrderAndIgnoresOthers) {
    Harness h;
    const std::string content = pattern(700);
    h.send(wrq());
    EXPECT_EQ(ack(0), h.sender.take().at(0).bytes);
    h.send(data(2, "early"));
    EXPECT_TRUE(h.sender.take().empty());
    h.send(data(1, content.substr(0, 512)));
    EXPECT_EQ(ack(1), h.sender.take().at(0).bytes);
    // The upload goes to a private file; zorva.bin appears only when it is complete.
    EXPECT_FALSE(std::filesystem::exists(h.dir / "zorva.bin"));
    EXPECT_EQ(1u, h.files().size());
    h.send(data(1, content.substr(0, 512)));  // duplicate: its ACK comes only from the scan
    EXPECT_TRUE(h.sender.take().empty());
    h.now += 6;
    h.expire(h.now);
    EXPECT_EQ(ack(1), h.sender.take().at(0).bytes);
    h.send(data(2, content.substr(512)));
    EXPECT_EQ(ack(2), h.sender.take().at(0).bytes);
    EXPECT_EQ(content, test::read_file(h.dir / "zorva.bin"));
    EXPECT_EQ(std::vector<std::string>{"zorva.bin"}, h.files());
    // Marks for the two datagrams that came while the counter was 0.
    EXPECT_EQ("..Client 127.0.0.1:40000 " + h.path() + ", 2 Blocks Received\n", h.log.text());
}

TEST(TftpWrite, BlockMultipleEndsWithTheEmptyData) {
    Harness h;
    const std::string content = pattern(1024);
    h.send(wrq({{"blksize", "1024"}}));
    EXPECT_EQ(oack({{"blksize", "1024"}}), h.sender.take().at(0).bytes);
    h.send(data(1, content));
    h.send(data(2, ""));
    EXPECT_EQ(content, test::read_file(h.dir / "zorva.bin"));
    EXPECT_EQ(".Client 127.0.0.1:40000 " + h.path() + ", 2 Blocks Received\n", h.log.text());
}

TEST(TftpWrite, IsRefusedWhenTheFileExistsAndLeavesItUntouched) {
    Harness h;
    h.dir.write("zorva.bin", "old firmware");
    h.send(wrq());
    ASSERT_EQ(1u, h.sender.sent.size());
    EXPECT_EQ(error_packet(6, "File already exists"), h.sender.sent[0].bytes);
    EXPECT_EQ(h.error_line("File already exists"), h.log.text());
    EXPECT_EQ(0u, h.table.size());
    h.send(data(1, "new"));
    EXPECT_EQ("old firmware", test::read_file(h.dir / "zorva.bin"));
}

TEST(TftpWrite, UploadThatDoesNotCompleteLeavesNoFile) {
    const std::string block = pattern(512);
    const platform::Endpoint other{kClient.address, 40001};
    struct Case {
        const char* what;
        std::function<void(Harness&)> cut;
        Bytes last_sent;  // what the client hears last; empty: nothing
    };
    const Case cases[] = {
        {"time-out",
         [](Harness& h) {
             for (int i = 0; i < 4; ++i) h.expire(h.now += 6);
         },
         error_packet(0, "Timeout")},
        {"error from the client", [](Harness& h) { h.send(error_packet(0, "cancelled")); }, {}},
        {"new upload from the same port", [](Harness& h) { h.send(wrq()); }, ack(0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        h.send(wrq());
        h.send(data(1, block));
        // Meanwhile another client's upload is refused as if the file existed.
        h.send(wrq(), other);
        EXPECT_EQ(error_packet(6, "File already exists"), h.sender.take().back().bytes);
        c.cut(h);
        const auto sent = h.sender.take();
        if (c.last_sent.empty()) {
            EXPECT_TRUE(sent.empty());
        } else {
            ASSERT_FALSE(sent.empty());
            EXPECT_EQ(c.last_sent, sent.back().bytes);
        }
        const auto left = h.files();
        if (std::string_view(c.what) == "new upload from the same port") {
            // The restarted upload has its own fresh private file and completes.
            ASSERT_EQ(1u, left.size());
            h.send(data(1, "short"));
            EXPECT_EQ("short", test::read_file(h.dir / "zorva.bin"));
        } else {
            EXPECT_TRUE(left.empty()) << left.front();
            // Then a new upload from another client is accepted.
            h.send(wrq(), other);
            EXPECT_EQ(ack(0), h.sender.take().back().bytes);
        }
    }
}

#if !defined(_WIN32)  // a small tmpfs as the full disk
TEST(TftpWrite, UploadIntoAFullFileSystemFailsAndLeavesNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    Harness h;
    ASSERT_EQ(0, ::mount("tmpfs", h.dir.path().c_str(), "tmpfs", 0, "size=64k"));
    struct Unmount {
        const char* at;
        ~Unmount() { ::umount2(at, MNT_DETACH); }
    } unmount{h.dir.path().c_str()};
    h.send(wrq());
    Bytes last;
    for (std::uint16_t block = 1; block < 1000; ++block) {
        h.send(data(block, pattern(512)));
        last = h.sender.take().back().bytes;
        if (last[1] == 5) break;
    }
    EXPECT_EQ(error_packet(3, "Disk full or allocation exceeded"), last);
    EXPECT_NE(std::string::npos, h.log.text().find(", error: Disk full or allocation exceeded\n"));
    EXPECT_TRUE(h.files().empty());
}
#endif

// The name taken meanwhile, or held from the start by a link to nothing (which the existence
// test can't open): the upload is refused, and the client never hears the last block's ACK
// first, so it can't believe the file arrived.
TEST(TftpWrite, ZorvaBinThatAppearsDuringTheUploadIsKeptAndTheLastAckIsNeverSent) {
#ifdef _WIN32
    const bool cases[] = {false};  // a user's link to nothing is a POSIX matter
#else
    const bool cases[] = {false, true};
#endif
    for (const bool dangling : cases) {
        SCOPED_TRACE(dangling ? "a dangling link" : "a file placed by hand");
        Harness h;
        if (dangling) std::filesystem::create_symlink(h.dir / "nowhere", h.dir / "zorva.bin");
        h.send(wrq());
        EXPECT_EQ(ack(0), h.sender.take().at(0).bytes);
        if (!dangling) h.dir.write("zorva.bin", "placed by hand");
        h.send(data(1, "upload"));
        const auto sent = h.sender.take();
        ASSERT_EQ(1u, sent.size()) << "the last block's ACK went out before the verdict";
        EXPECT_EQ(error_packet(6, "File already exists"), sent[0].bytes);
        EXPECT_EQ(std::vector<std::string>{"zorva.bin"}, h.files());
        if (!dangling) {
            EXPECT_EQ("placed by hand", test::read_file(h.dir / "zorva.bin"));
        }
    }
}

}  // namespace
}  // namespace tftp
