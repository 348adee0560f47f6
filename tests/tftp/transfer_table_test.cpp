#include "tftp/transfer_table.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/mount.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "core/load_report.h"
#include "core/progress.h"
#include "core/sha256.h"
#include "process_use.h"
#include "test_support.h"
#include "tftp_test_util.h"

namespace tftp {
namespace {

using namespace tftp::testing;

constexpr platform::Endpoint kClient{0x7f000001, 40000};
constexpr std::string_view kKey = "127.0.0.1:40000";

std::string sha256_hex(std::string_view bytes) {
    core::Sha256 sha;
    sha.update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    return core::Sha256::hex(sha.finish());
}

// One service's state in a temporary home directory, with a fake socket and its own clock.
struct Harness {
    test::TempDir dir;
    test::CapturedLog log;
    FakeSender sender;
    TftpServerConfig config = config_in(dir.path());
    TransferTable table{config};
    std::int64_t now = 1000;

    void send(const Bytes& datagram, platform::Endpoint from = kClient) {
        table.dispatch(sender, from, datagram, now);
    }
    void expire(std::int64_t at) { table.expire(sender, at); }
    // The service logs paths with '/' only, also on Windows.
    std::string path() const { return (dir.path() / "zorva.bin").generic_string(); }
    // The names in the home directory, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string served_line(unsigned blocks) const {
        return "\nClient " + std::string(kKey) + " " + path() + ", " + std::to_string(blocks) +
               " Blocks Served\n";
    }
    std::string error_line(std::string_view text) const {
        return "Client " + std::string(kKey) + " " + path() + ", error: " + std::string(text) +
               "\n";
    }
    // Acknowledges every DATA until the transfer stops sending; returns the data received.
    std::string read_to_end(std::size_t* packets = nullptr) {
        std::string received;
        std::size_t n = 0;
        for (;;) {
            auto sent = sender.take();
            if (sent.empty()) break;
            const Bytes& p = sent.back().bytes;
            if (p.size() < 4 || p[1] != 3) break;
            ++n;
            received.append(p.begin() + 4, p.end());
            send(ack(static_cast<std::uint16_t>(p[2] << 8 | p[3])));
        }
        if (packets) *packets = n;
        return received;
    }
};

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

// The DATA packets of blocks first..last of `content` in 512-byte blocks.
std::vector<Bytes> blocks_of(const std::string& content, unsigned first, unsigned last) {
    std::vector<Bytes> packets;
    for (unsigned b = first; b <= last; ++b)
        packets.push_back(data(static_cast<std::uint16_t>(b),
                               std::string_view(content).substr(
                                   std::min<std::size_t>((b - 1) * 512, content.size()), 512)));
    return packets;
}

std::vector<Bytes> packets_of(std::vector<SentPacket> sent) {
    std::vector<Bytes> packets;
    for (auto& p : sent) packets.push_back(std::move(p.bytes));
    return packets;
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

TEST(TftpTable, SilentClientsNeverCrowdOutAnAnsweringOne) {
    constexpr std::size_t kCap = 16;
    const auto open_files = [] { return test::process_use().open_files; };
    Harness h;
    TransferTable table(h.config, kCap);
    const std::string content = pattern(40 * 512);
    h.dir.write("zorva.bin", content);
    const std::size_t files_before = open_files();
    table.dispatch(h.sender, {kClient.address, 49999}, wrq(), h.now);  // a silent upload goes too
    table.dispatch(h.sender, kClient, rrq(), h.now);
    std::string received;
    for (std::uint16_t port = 50000; port < 52000; ++port) {
        table.dispatch(h.sender, {kClient.address, port}, rrq(), h.now);  // never acknowledged
        if (port % 40 != 0) continue;
        // Now and then the real client's ACK comes through.
        for (const auto& p : h.sender.take()) {
            if (p.to != kClient) continue;
            received.append(p.bytes.begin() + 4, p.bytes.end());
            table.dispatch(h.sender, kClient, ack(load_be16(p.bytes.data() + 2)), h.now);
        }
        EXPECT_LE(table.size(), kCap);
        EXPECT_LE(open_files(), files_before + kCap);
    }
    EXPECT_EQ(content, received);
    EXPECT_NE(std::string::npos, h.log.text().find(", 41 Blocks Served\n"));
    EXPECT_EQ(std::vector<std::string>{"zorva.bin"}, h.files());
}

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

TEST(TftpDispatch, AnswersOnlyWhatTheTableKnows) {
    Harness h;
    h.send(ack(1));
    h.send(data(1, "x"));
    h.send(Bytes{0, 9, 0, 0});
    h.send(Bytes{0, 4, 0});  // shorter than a header
    EXPECT_TRUE(h.sender.sent.empty());
    EXPECT_EQ("", h.log.text());

    h.dir.write("zorva.bin", "abc");
    h.send(rrq());
    h.sender.take();
    h.send(Bytes{0, 9, 0, 0});
    EXPECT_EQ(error_packet(0, "Unexpected Option Code 9"), h.sender.take().at(0).bytes);
    EXPECT_EQ(h.error_line("Unexpected Option Code 9"), h.log.text());
}

TEST(TftpDispatch, ClientErrorsEndTheTransferAndAreNeverAnswered) {
    Harness h;
    h.dir.write("zorva.bin", pattern(2000));
    h.send(rrq());
    h.sender.take();
    h.log.clear();
    h.send(error_packet(0, "cancelled"));
    EXPECT_TRUE(h.sender.take().empty()) << "an ERROR answered with an ERROR loops without end";
    EXPECT_EQ(TftpTransfer::kFinished, h.table.find(kKey)->retry_counter);
    EXPECT_EQ(h.error_line("cancelled"), h.log.text());

    h.send(error_packet(1, ""));  // an empty text is not even written
    EXPECT_TRUE(h.sender.take().empty());

    // Without a transfer the path is empty; an overlong text is cut inside the error area. It is
    // written once per datagram, and dropped.
    const platform::Endpoint other{0x7f000001, 50000};
    h.log.clear();
    h.send(error_packet(2, std::string(3000, 'e')), other);
    EXPECT_TRUE(h.sender.take().empty());
    EXPECT_EQ("Client 127.0.0.1:50000 , error: " + std::string(507, 'e') + "\n", h.log.text());
}

TEST(TftpDispatch, AckForAWriteTransferGoesToTheSendStep) {
    Harness h;
    h.send(wrq());
    h.sender.take();
    h.log.clear();
    h.send(ack(0));
    // Neither DATA area holds a block, so the send step finds everything acknowledged.
    EXPECT_TRUE(h.sender.take().empty());
    EXPECT_EQ("." + h.served_line(0), h.log.text());
}

// Every transfer's end is one load-report record, with what happened and the digest of exactly
// the bytes that went over; the progress board shows it while it runs.
TEST(TftpTrace, EachTransferEndsInOneRecordWithItsOutcome) {
    struct Case {
        const char* name;
        std::function<void(Harness&)> run;
        std::vector<std::string> outcomes;
        bool digest_of_file;
        int window = 1;
    };
    const std::string content = pattern(1300);
    const Case cases[] = {
        {"read to the end",
         [](Harness& h) {
             h.send(rrq());
             h.read_to_end();
         },
         {"complete"},
         true},
        {"client gives up",
         [](Harness& h) {
             h.send(rrq());
             h.send(error_packet(0, "cancelled"));
         },
         {"client error: cancelled"},
         false},
        {"silent client",
         [](Harness& h) {
             h.send(rrq());
             for (int i = 0; i < 4; ++i) h.expire(h.now += 6);
         },
         {"timed out"},
         false},
        {"restarted from the same port",
         [](Harness& h) {
             h.send(rrq());
             h.send(rrq());
             h.read_to_end();
         },
         {"restarted", "complete"},
         true},
        {"windowed read, a window sent twice",
         [](Harness& h) {
             h.send(rrq({{"windowsize", "2"}}));
             h.send(ack(0));
             h.send(ack(0));
             h.read_to_end();
         },
         {"complete"},
         true,
         2},
        {"upload",
         [&](Harness& h) {
             std::filesystem::remove(h.dir.path() / "zorva.bin");
             h.send(wrq());
             h.send(data(1, content.substr(0, 512)));
             h.send(data(2, content.substr(512, 512)));
             h.send(data(3, content.substr(1024)));
         },
         {"complete"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        core::keep_report_in_memory();
        {
            Harness h;
            h.dir.write("zorva.bin", content);
            c.run(h);
        }
        std::vector<std::string> outcomes;
        for (const std::string& line : core::report_lines()) {
            const auto record = nlohmann::json::parse(line);
            ASSERT_EQ("tftp", record["event"]);
            outcomes.push_back(record["outcome"]);
            EXPECT_EQ(c.window, record["options"]["windowsize"]);
            if (record["outcome"] != "complete") continue;
            EXPECT_EQ(content.size(), record["bytes"]);
            EXPECT_EQ(3, record["blocks"]);
            if (c.digest_of_file) {
                EXPECT_EQ(sha256_hex(content), record["sha256"]);
            }
        }
        EXPECT_EQ(c.outcomes, outcomes);
        core::stop_report();
    }
}

TEST(TftpTrace, TheBoardShowsARunningReadWithItsSize) {
    Harness h;
    h.dir.write("zorva.bin", pattern(5000));
    h.send(rrq());
    h.send(ack(1));
    const auto board = core::progress_board().snapshot();
    ASSERT_EQ(1u, board.running.size());
    EXPECT_EQ("127.0.0.1 zorva.bin", board.running[0].label);
    EXPECT_EQ(5000u, board.running[0].total);
    EXPECT_EQ(1536u, board.running[0].done);  // block 2 is in flight, block 3 read ahead
}

}  // namespace
}  // namespace tftp
