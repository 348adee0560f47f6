#include "tftp/transfer_table.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "core/load_report.h"
#include "core/progress.h"
#include "core/sha256.h"
#include "process_use.h"
#include "transfer_harness.h"

namespace tftp {
namespace {

using namespace tftp::testing;

std::string sha256_hex(std::string_view bytes) {
    core::Sha256 sha;
    sha.update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    return core::Sha256::hex(sha.finish());
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
