// Real TFTP clients against the service on loopback (each client takes the port on its command
// line). One case per client and size, so ctest runs them side by side.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "test_support.h"
#include "tftp/tftp_service.h"
#include "tftp_test_util.h"
#include "udp_relay.h"

namespace tftp {
namespace {

using namespace tftp::testing;

constexpr std::size_t kOneMiB = 1024 * 1024;
constexpr std::size_t kSixteenMiB = 16 * kOneMiB;

bool have(const char* program) {
    return test::run_command(std::string("command -v ") + program + " >/dev/null").status == 0;
}

// The service in a fresh home directory, and a second directory for what clients fetch.
struct ClientRun {
    test::TempDir home;
    test::TempDir out;
    test::CapturedLog log;
    std::string content;
    std::unique_ptr<TftpService> service;

    explicit ClientRun(std::size_t size, bool with_file = true) : content(pattern(size)) {
        if (with_file) home.write("zorva.bin", content);
        service = std::make_unique<TftpService>(TftpServiceOptions{0, home.path().string() + "/"});
    }
    std::string port() const { return std::to_string(service->port()); }
    std::string out_file(int i = 0) const { return (out / ("got" + std::to_string(i))).string(); }
    // Runs a client command line with a deadline.
    test::CommandResult run(const std::string& command) const {
        return test::run_command("timeout 120 " + command + " 2>&1");
    }
};

std::string fetch_command(const std::string& client, const ClientRun& r, const std::string& out) {
    const std::string port = r.port();
    if (client == "curl-512")
        return "curl -sS --tftp-blksize 512 -o " + out + " tftp://127.0.0.1:" + port + "/zorva.bin";
    if (client == "curl-4096")
        return "curl -sS --tftp-blksize 4096 -o " + out + " tftp://127.0.0.1:" + port +
               "/zorva.bin";
    if (client == "atftp") return "atftp -g -r zorva.bin -l " + out + " 127.0.0.1 " + port;
    if (client == "atftp-1428")
        return "atftp --option 'blksize 1428' -g -r zorva.bin -l " + out + " 127.0.0.1 " + port;
    if (client == "tftp-hpa")
        return "tftp -m binary 127.0.0.1 " + port + " -c get zorva.bin " + out;
    if (client == "busybox") return "busybox tftp -g -r zorva.bin -l " + out + " 127.0.0.1 " + port;
    return "false";
}

const char* program_of(const std::string& client) {
    if (client.starts_with("curl")) return "curl";
    if (client.starts_with("atftp")) return "atftp";
    if (client == "tftp-hpa") return "tftp";
    return "busybox";
}

void expect_fetch(const std::string& client, std::size_t size) {
    if (!have(program_of(client))) GTEST_SKIP() << program_of(client) << " is not installed";
    ClientRun r(size);
    ASSERT_NE(0, r.service->port());
    const auto result = r.run(fetch_command(client, r, r.out_file()));
    EXPECT_EQ(0, result.status) << result.output;
    EXPECT_TRUE(test::read_file(r.out_file()) == r.content) << client << " got different bytes";
    EXPECT_TRUE(r.log.wait_for(" Blocks Served\n")) << r.log.text();
    EXPECT_EQ(std::string::npos, r.log.text().find("error")) << r.log.text();
}

TEST(TftpClients, CurlBlksize512Fetches1MiB) {
    expect_fetch("curl-512", kOneMiB);
}
TEST(TftpClients, CurlBlksize512Fetches16MiB) {
    expect_fetch("curl-512", kSixteenMiB);
}
TEST(TftpClients, CurlBlksize4096Fetches1MiB) {
    expect_fetch("curl-4096", kOneMiB);
}
TEST(TftpClients, CurlBlksize4096Fetches16MiB) {
    expect_fetch("curl-4096", kSixteenMiB);
}
TEST(TftpClients, AtftpFetches1MiB) {
    expect_fetch("atftp", kOneMiB);
}
TEST(TftpClients, AtftpFetches16MiB) {
    expect_fetch("atftp", kSixteenMiB);
}
TEST(TftpClients, AtftpBlksize1428Fetches16MiB) {
    expect_fetch("atftp-1428", kSixteenMiB);
}
TEST(TftpClients, TftpHpaFetches1MiB) {
    expect_fetch("tftp-hpa", kOneMiB);
}
TEST(TftpClients, TftpHpaFetches16MiB) {
    expect_fetch("tftp-hpa", kSixteenMiB);
}
TEST(TftpClients, BusyboxFetches1MiB) {
    expect_fetch("busybox", kOneMiB);
}
TEST(TftpClients, BusyboxFetches16MiB) {
    expect_fetch("busybox", kSixteenMiB);
}

TEST(TftpClients, AtftpUploadsWhenZorvaBinIsAbsent) {
    if (!have("atftp")) GTEST_SKIP() << "atftp is not installed";
    ClientRun r(kOneMiB + 77, /*with_file=*/false);
    const std::string source = r.out.write("upload.bin", r.content).string();
    const auto result = r.run("atftp -p -l " + source + " -r zorva.bin 127.0.0.1 " + r.port());
    EXPECT_EQ(0, result.status) << result.output;
    EXPECT_TRUE(r.log.wait_for(" Blocks Received\n")) << r.log.text();
    EXPECT_TRUE(test::read_file(r.home / "zorva.bin") == r.content);
    // A second upload is refused and leaves the first one whole.
    const auto again = r.run("atftp -p -l " + source + " -r zorva.bin 127.0.0.1 " + r.port());
    EXPECT_NE(0, again.status);
    EXPECT_TRUE(r.log.wait_for("error: File already exists\n")) << r.log.text();
    EXPECT_TRUE(test::read_file(r.home / "zorva.bin") == r.content);
}

// Files in the home directory other than zorva.bin: private files of uploads.
std::size_t upload_files(const ClientRun& r) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(r.home.path()))
        n += e.path().filename() != "zorva.bin";
    return n;
}

// Bytes received so far into private files.
std::uintmax_t upload_bytes(const ClientRun& r) {
    std::uintmax_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(r.home.path()))
        if (e.path().filename() != "zorva.bin") n += std::filesystem::file_size(e.path(), ec);
    return n;
}

// Mostly waiting for the time-out, so not counted as two processors like the cases above.
TEST(TftpClientTimeouts, AtftpKilledMidUploadLeavesNothingAndAFreshUploadWorks) {
    if (!have("atftp")) GTEST_SKIP() << "atftp is not installed";
    ClientRun r(kSixteenMiB, /*with_file=*/false);
    const std::string source = r.out.write("upload.bin", r.content).string();
    {
        test::ChildProcess upload("exec atftp -p -l " + source + " -r zorva.bin 127.0.0.1 " +
                                  r.port());
        // Cut it off as soon as the first blocks have been written.
        ASSERT_TRUE(test::wait_until([&] { return upload_bytes(r) > 0; }, std::chrono::seconds(20),
                                     std::chrono::milliseconds(1)))
            << "atftp wrote nothing within 20 s\n"
            << upload.output() << r.log.text();
        upload.signal(SIGKILL);
        ASSERT_EQ(1u, upload_files(r));
    }
    // Three retransmissions, each 5 to 11 s apart, then "Timeout".
    ASSERT_TRUE(r.log.wait_for(", error: Timeout\n", std::chrono::seconds(60))) << r.log.text();
    EXPECT_FALSE(std::filesystem::exists(r.home / "zorva.bin"));
    EXPECT_EQ(0u, upload_files(r));

    const std::string small = r.out.write("small.bin", "fresh firmware").string();
    const auto result = r.run("atftp -p -l " + small + " -r zorva.bin 127.0.0.1 " + r.port());
    EXPECT_EQ(0, result.status) << result.output;
    EXPECT_TRUE(r.log.wait_for(" Blocks Received\n")) << r.log.text();
    EXPECT_EQ("fresh firmware", test::read_file(r.home / "zorva.bin"));
}

TEST(TftpClients, TwoAtftpUploadsAtOnceLeaveOneWholeFile) {
    if (!have("atftp")) GTEST_SKIP() << "atftp is not installed";
    ClientRun r(kOneMiB, /*with_file=*/false);
    const std::string a = r.content;
    const std::string b = pattern(kOneMiB + 1000).substr(1000);
    const std::string put = "atftp -p -r zorva.bin -l ";
    const std::string at = " 127.0.0.1 " + r.port();
    const auto result = r.run("sh -c '" + put + r.out.write("a", a).string() + at + " & " + put +
                              r.out.write("b", b).string() + at + " & wait'");
    EXPECT_TRUE(r.log.wait_for(" Blocks Received\n")) << r.log.text();
    const std::string got = test::read_file(r.home / "zorva.bin");
    EXPECT_TRUE(got == a || got == b) << got.size() << " bytes, neither upload";
    EXPECT_EQ(0u, upload_files(r));
    EXPECT_NE(std::string::npos, r.log.text().find("error: File already exists\n")) << r.log.text();
}

TEST(TftpClients, TwentyClientsFetchAtOnce) {
    if (!have("atftp")) GTEST_SKIP() << "atftp is not installed";
    ClientRun r(kOneMiB);
    std::string script;
    for (int i = 0; i < 20; ++i)
        script += fetch_command(i % 2 ? "atftp" : "curl-512", r, r.out_file(i)) + " & ";
    const auto result = r.run("sh -c '" + script + "wait'");
    EXPECT_EQ(0, result.status) << result.output;
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(test::read_file(r.out_file(i)) == r.content);
    }
    const std::string log = r.log.text();
    std::size_t served = 0;
    for (auto at = log.find("Blocks Served"); at != std::string::npos;
         at = log.find("Blocks Served", at + 1))
        ++served;
    EXPECT_EQ(20u, served);
}

// ---- windowsize (RFC 7440) and loss -----------------------------------------------------------
// atftp asks for windowsize on reads and writes and, with --trace, prints the OACK it gets and
// each ACK, so a row sees what the service answered and whether it really sent a window per ACK.
// A service that leaves windowsize out of its OACK gets lock-step: one block per ACK.

struct WindowRow {
    const char* name;
    const char* client;  // "atftp", "curl" or "tftp-hpa"
    bool put;
    unsigned window;   // asked windowsize, 0 for none
    unsigned blksize;  // asked blksize, 0 for none
    std::size_t size;
};

std::ostream& operator<<(std::ostream& os, const WindowRow& r) {
    return os << r.name;
}

std::string window_row_name(const ::testing::TestParamInfo<WindowRow>& info) {
    return info.param.name;
}

std::size_t block_count(const WindowRow& row) {
    return row.size / (row.blksize ? row.blksize : 512) + 1;
}

// The command of one row; atftp with --trace, its output into `trace`.
std::string window_command(const WindowRow& row, const std::string& port, const std::string& file,
                           const std::string& trace) {
    const std::string at = " 127.0.0.1 " + port;
    const std::string client = row.client;
    if (client == "curl")
        return "curl -sS --tftp-blksize " + std::to_string(row.blksize) + " -o " + file +
               " tftp://127.0.0.1:" + port + "/zorva.bin";
    if (client == "tftp-hpa") return "tftp -m binary" + at + " -c get zorva.bin " + file;
    std::string c = "atftp --trace";
    if (row.window) c += " --option 'windowsize " + std::to_string(row.window) + "'";
    if (row.blksize) c += " --option 'blksize " + std::to_string(row.blksize) + "'";
    c += row.put ? " -p -r zorva.bin -l " + file : " -g -r zorva.bin -l " + file;
    return c + at + " >" + trace;
}

// The first and last lines of a long client trace, for failure messages.
std::string trace_summary(const std::string& trace) {
    if (trace.size() <= 4000) return trace;
    return trace.substr(0, 2000) + "\n[...]\n" + trace.substr(trace.size() - 2000);
}

std::size_t count_lines_starting(const std::string& text, std::string_view prefix) {
    std::size_t n = 0;
    for (std::size_t at = 0; at != std::string::npos && at < text.size();) {
        n += text.compare(at, prefix.size(), prefix) == 0;
        at = text.find('\n', at);
        if (at != std::string::npos) ++at;
    }
    return n;
}

struct RowResult {
    test::CommandResult command;
    std::string trace;
    bool same = false;
};

// Runs one row's transfer against `port` (the service's or a relay's) and compares the bytes.
RowResult run_row(const WindowRow& row, ClientRun& r, const std::string& port) {
    RowResult result;
    const std::string trace = (r.out / "trace").string();
    std::string file = r.out_file();
    if (row.put) file = r.out.write("upload.bin", r.content).string();
    result.command = r.run(window_command(row, port, file, trace));
    result.trace = test::read_file(trace);
    const std::string got = test::read_file(row.put ? r.home / "zorva.bin" : r.out / "got0");
    result.same = got == r.content;
    return result;
}

// Every row with window > 0 checks that the OACK carries windowsize N and, without loss, that
// the client sent (get) or got (put) one ACK per N blocks: these rows need the service's
// windowsize and fail against a lock-step service. Rows with window 0 pass on either.
class TftpWindowClients : public ::testing::TestWithParam<WindowRow> {};

// The window the service answers: what was asked, within 64 KiB of data.
std::size_t answered_window(const WindowRow& row) {
    const std::size_t blksize = row.blksize ? row.blksize : 512;
    return std::min<std::size_t>(row.window, std::max<std::size_t>(1, kWindowBytes / blksize));
}

void expect_window_answer(const WindowRow& row, const std::string& trace) {
    if (row.window == 0 || std::string_view(row.client) != "atftp") return;
    const auto oack = trace.find("received OACK <");
    ASSERT_NE(std::string::npos, oack) << trace_summary(trace);
    const std::string line = trace.substr(oack, trace.find('\n', oack) - oack);
    EXPECT_NE(std::string::npos,
              line.find("windowsize: " + std::to_string(answered_window(row)) + ","))
        << "service did not answer windowsize: " << line;
}

TEST_P(TftpWindowClients, TransferIsByteIdentical) {
    const WindowRow& row = GetParam();
    if (!have(program_of(row.client))) GTEST_SKIP() << row.client << " is not installed";
    ClientRun r(row.size, /*with_file=*/!row.put);
    ASSERT_NE(0, r.service->port());
    const RowResult result = run_row(row, r, r.port());
    EXPECT_EQ(0, result.command.status) << result.command.output << trace_summary(result.trace);
    EXPECT_TRUE(result.same) << "different bytes";
    EXPECT_TRUE(r.log.wait_for(row.put ? " Blocks Received\n" : " Blocks Served\n"))
        << r.log.text();
    EXPECT_EQ(std::string::npos, r.log.text().find("error")) << r.log.text();
    expect_window_answer(row, result.trace);
    if (row.window > 1) {
        // One ACK per full window and one for the last (plus ACK 0 after a read's OACK).
        const std::size_t window = answered_window(row);
        const std::size_t windows = (block_count(row) + window - 1) / window;
        const std::size_t acks =
            count_lines_starting(result.trace, row.put ? "received ACK" : "sent ACK");
        // A datagram the scheduler holds back on a loaded machine may draw one ACK more (the
        // gap's); a lock-step service sends one per block, far beyond that.
        const std::size_t least = windows + (row.put ? 0 : 1);
        EXPECT_TRUE(acks >= least && acks <= least + 2)
            << "not windowed: " << acks << " ACKs for " << block_count(row) << " blocks, " << least
            << " expected";
    }
}

constexpr std::size_t kKiB = 1024;
// One row per client and options; 16 MiB only where a big window and block meet. A read window
// of 64 blocks of 4096 is more than atftp's receive buffer (the default 208 KiB) takes, so it
// loses blocks even here; that read is among the loss rows.
const WindowRow kWindowRows[] = {
    {"AtftpGetW1Blk512_1MiB", "atftp", false, 1, 512, kOneMiB},
    {"AtftpGetW4Blk1428_1MiB", "atftp", false, 4, 1428, kOneMiB},
    {"AtftpGetW16Blk1428_16MiB", "atftp", false, 16, 1428, kSixteenMiB},
    {"AtftpGetW16Blk4096_1MiB", "atftp", false, 16, 4096, kOneMiB},
    {"AtftpGetW64Blk1428_16MiB", "atftp", false, 64, 1428, kSixteenMiB},
    {"AtftpGetW64Blk512_1MiB", "atftp", false, 64, 512, kOneMiB},
    {"AtftpPutW1Blk1428_1MiB", "atftp", true, 1, 1428, kOneMiB + 77},
    {"AtftpPutW4Blk4096_1MiB", "atftp", true, 4, 4096, kOneMiB},
    {"AtftpPutW16Blk512_1MiB", "atftp", true, 16, 512, kOneMiB + 77},
    {"AtftpPutW16Blk1428_1MiB", "atftp", true, 16, 1428, kOneMiB},
    {"AtftpPutW64Blk4096_16MiB", "atftp", true, 64, 4096, kSixteenMiB + 77},
};
INSTANTIATE_TEST_SUITE_P(Window, TftpWindowClients, ::testing::ValuesIn(kWindowRows),
                         window_row_name);

// The same through the loss relay: 1 % of the datagrams dropped in each direction and 1 % of
// the rest reordered. A lost datagram costs a retransmission wait (5 s in the service, about as
// long in the clients), so the files are smaller than above: in lock-step a row takes 20 to 70 s.
// Rows with a window also need the service's windowsize in the OACK, as above.
// KESTROM_RELAY_SEED=N replays a failure with the seed its message names.
class TftpLossyClients : public ::testing::TestWithParam<WindowRow> {};

std::uint64_t relay_seed() {
    const char* text = std::getenv("KESTROM_RELAY_SEED");
    return text ? std::strtoull(text, nullptr, 10) : 7440;
}

TEST_P(TftpLossyClients, TransferIsByteIdentical) {
    const WindowRow& row = GetParam();
    if (!have(program_of(row.client))) GTEST_SKIP() << row.client << " is not installed";
    ClientRun r(row.size, /*with_file=*/!row.put);
    ASSERT_NE(0, r.service->port());
    test::RelayOptions options;
    options.server_port = r.service->port();
    options.drop = 0.01;
    options.reorder = 0.01;
    options.seed = relay_seed();
    test::UdpRelay relay(options);
    ASSERT_TRUE(relay.ok());
    SCOPED_TRACE("relay seed " + std::to_string(relay.seed()));
    const auto start = std::chrono::steady_clock::now();
    const RowResult result = run_row(row, r, std::to_string(relay.port()));
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const test::RelayCounts counts = relay.counts();
    RecordProperty("seconds", std::to_string(seconds));
    // In lock-step nothing follows a held datagram, so it goes out alone, late.
    std::printf("%s: %.1f s, %llu dropped, %llu reordered, %llu held alone\n", row.name, seconds,
                static_cast<unsigned long long>(counts.dropped),
                static_cast<unsigned long long>(counts.reordered),
                static_cast<unsigned long long>(counts.held_alone));
    EXPECT_EQ(0, result.command.status) << result.command.output << trace_summary(result.trace);
    EXPECT_TRUE(result.same) << "different bytes";
    // A row that lost nothing tested nothing.
    EXPECT_LT(0u, counts.dropped);
    // The last ACK of a read may be the lost one; then the service ends with a time-out
    // instead of "Blocks Served", and the client still has every byte.
    if (row.put) {
        EXPECT_TRUE(r.log.wait_for(" Blocks Received\n")) << r.log.text();
    }
    expect_window_answer(row, result.trace);
}

const WindowRow kLossyRows[] = {
    {"AtftpGet_128KiB", "atftp", false, 0, 0, 128 * kKiB},
    {"AtftpGetW4Blk512_256KiB", "atftp", false, 4, 512, 256 * kKiB},
    {"AtftpPutW16Blk512_256KiB", "atftp", true, 16, 512, 256 * kKiB + 77},
    {"AtftpGetW16Blk1428_512KiB", "atftp", false, 16, 1428, 512 * kKiB},
    {"AtftpPutW16Blk1428_512KiB", "atftp", true, 16, 1428, 512 * kKiB + 77},
    {"AtftpGetW64Blk4096_1MiB", "atftp", false, 64, 4096, kOneMiB},
    {"AtftpPutW4Blk4096_1MiB", "atftp", true, 4, 4096, kOneMiB + 77},
    {"CurlBlk4096_1MiB", "curl", false, 0, 4096, kOneMiB},
    {"TftpHpa_128KiB", "tftp-hpa", false, 0, 0, 128 * kKiB},
};
INSTANTIATE_TEST_SUITE_P(Loss, TftpLossyClients, ::testing::ValuesIn(kLossyRows), window_row_name);

}  // namespace
}  // namespace tftp
