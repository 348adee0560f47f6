// Real TFTP clients against the service on loopback (each client takes the port on its command
// line). One case per client and size, so ctest runs them side by side.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "test_support.h"
#include "tftp/tftp_service.h"
#include "tftp_test_util.h"

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
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (upload_bytes(r) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

}  // namespace
}  // namespace tftp
