// The web pages update against a real web server: nginx from the distribution with WebDAV PUT
// and auth_basic, on a loopback port or inside a network namespace of the test's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "core/settings.h"
#include "nginx_dav.h"
#include "test_support.h"
#include "web/web_update.h"
#include "web_peers.h"

namespace {

using ::testing::HasSubstr;

test::NginxDav::Options nginx_options(std::string password, std::string address = "127.0.0.1",
                                      std::uint16_t port = 0, std::string prefix = "") {
    test::NginxDav::Options o;
    o.password = std::move(password);
    o.address = std::move(address);
    o.port = port;
    o.command_prefix = std::move(prefix);
    return o;
}

class WebUpdateAgainstNginx : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::NginxDav::available()) GTEST_SKIP() << "nginx with WebDAV is not installed";
        core::settings_reset();
    }
    void TearDown() override { core::settings_reset(); }
};

TEST_F(WebUpdateAgainstNginx, EveryListedFileLandsByteIdentical) {
    test::NginxDav nginx{nginx_options("7305")};
    ASSERT_TRUE(nginx.started()) << nginx.error_log();
    test::JobDir dir;
    auto pages = test::make_pages(12, 3 << 20, true);
    pages.emplace_back("img/logo.gif", std::string("GIF89a\0\1\2", 9));
    dir.site(pages);
    test::point_settings_at("127.0.0.1", nginx.port());
    test::CapturedLog log;
    const web::WebUpdateReport report = web::run_web_update();
    EXPECT_TRUE(report.all_done()) << log.text();
    EXPECT_EQ(static_cast<int>(pages.size()) + 1, report.requests);
    test::expect_pages_landed(nginx.root(), pages);
    EXPECT_TRUE(std::filesystem::is_regular_file(nginx.root() / "format.dat"));
    EXPECT_THAT(log.text(), HasSubstr("Sending img/logo.gif - Success\nUPDATE COMPLETED\n"));
}

TEST_F(WebUpdateAgainstNginx, AWrongPasswordShowsTheFailureLines) {
    test::NginxDav nginx{nginx_options("other")};
    ASSERT_TRUE(nginx.started()) << nginx.error_log();
    test::JobDir dir;
    // A large page too: nginx answers 401 before it has read the body and must still get it.
    dir.site({{"index.htm", "<html/>"}, {"big.bin", std::string(8 << 20, 'b')}});
    test::point_settings_at("127.0.0.1", nginx.port(), "admin", "7305");
    test::CapturedLog log;
    const web::WebUpdateReport report = web::run_web_update();
    EXPECT_EQ(
        "Formatting Flash - Failed: HTTP Status 401\n"
        "Sending index.htm - Failed: HTTP Status 401\n"
        "read to date:     16384 bytes, reallocating buffer to     65536\n"
        "read to date:     65536 bytes, reallocating buffer to    262144\n"
        "read to date:    262144 bytes, reallocating buffer to   1048576\n"
        "read to date:   1048576 bytes, reallocating buffer to   4194304\n"
        "read to date:   4194304 bytes, reallocating buffer to  16777216\n"
        "Sending big.bin - Failed: HTTP Status 401\n"
        "UPDATE COMPLETED\n",
        log.text());
    EXPECT_EQ(3, report.failed_requests);
    EXPECT_FALSE(std::filesystem::exists(nginx.root() / "index.htm"));
}

// `kestrom web` with the stored settings, which are the defaults in a fresh hive: controller
// 192.168.1.50, port 80. That address exists only on the loopback of a namespace made here.
class KestromWebCommand : public WebUpdateAgainstNginx {
protected:
    void SetUp() override {
        WebUpdateAgainstNginx::SetUp();
        if (IsSkipped()) return;
        KESTROM_NEEDS_NETNS();
        ns_ = std::make_unique<test::NetNs>("web");
        ASSERT_EQ(0, ns_->run("ip addr add 192.168.1.50/24 dev lo").status);
    }

    // Runs `kestrom web` in `dir` inside the namespace; standard error goes to stderr_text.
    test::CommandResult run_web(const test::JobDir& dir, std::string* stderr_text) {
        const std::filesystem::path err = dir.path() / "stderr.txt";
        const test::CommandResult r = test::run_command(
            "(cd " + dir.path().string() +
            " && KESTROM_REGISTRY=" + (hive_.path() / "hive.db").string() + " " + ns_->exec() +
            (test::build_dir() / "kestrom").string() + " web 2>" + err.string() + ")");
        *stderr_text = test::read_file(err);
        return r;
    }

    test::TempDir hive_;
    std::unique_ptr<test::NetNs> ns_;
};

TEST_F(KestromWebCommand, UploadsWithTheStoredSettingsAndExitsZero) {
    test::NginxDav nginx{nginx_options("7305", "192.168.1.50", 80, ns_->exec())};
    ASSERT_TRUE(nginx.started()) << nginx.error_log();
    test::JobDir dir;
    // Pages below 10923 bytes fit the first read buffer, so no "read to date" lines show.
    const auto pages = test::make_pages(5, 5 * 4000, true);
    dir.site(pages);
    std::string errors;
    const test::CommandResult r = run_web(dir, &errors);
    std::string expected = "ZorvaController Web Page Update Starting\nFormatting Flash - Success\n";
    for (const auto& page : pages) expected += "Sending " + page.first + " - Success\n";
    expected += "UPDATE COMPLETED\n";
    EXPECT_EQ(expected, r.output);
    EXPECT_EQ(0, r.status);
    test::expect_pages_landed(nginx.root(), pages);
    EXPECT_THAT(errors, HasSubstr("HTTP/1.1 201 Created\n"));
}

TEST_F(KestromWebCommand, AWrongPasswordShowsTheFailureLinesAndExitsOne) {
    test::NginxDav nginx{nginx_options("other", "192.168.1.50", 80, ns_->exec())};
    ASSERT_TRUE(nginx.started()) << nginx.error_log();
    test::JobDir dir;
    dir.site({{"index.htm", "<html/>"}});
    std::string errors;
    const test::CommandResult r = run_web(dir, &errors);
    EXPECT_EQ(
        "ZorvaController Web Page Update Starting\n"
        "Formatting Flash - Failed: HTTP Status 401\n"
        "Sending index.htm - Failed: HTTP Status 401\n"
        "UPDATE COMPLETED\n",
        r.output);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("HTTP/1.1 401 Unauthorized\nHTTP/1.1 401 Unauthorized\n", errors);
}

// Started where there is no list (the Start menu's shortcut starts in the user's profile): the
// controller keeps its pages, and the log says where the list was looked for.
TEST_F(KestromWebCommand, WithoutAListSendsNothingAndExitsOne) {
    test::NginxDav nginx{nginx_options("7305", "192.168.1.50", 80, ns_->exec())};
    ASSERT_TRUE(nginx.started()) << nginx.error_log();
    test::JobDir dir;
    std::string errors;
    const test::CommandResult r = run_web(dir, &errors);
    EXPECT_EQ(
        "ZorvaController Web Page Update Starting\n"
        "Can't read the list file " +
            (std::filesystem::canonical(dir.path()) / "kestrom.ini").string() +
            ": No such file or directory\n"
            "UPDATE NOT STARTED: nothing was sent, the controller's web pages are unchanged\n",
        r.output);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", errors);
    EXPECT_FALSE(std::filesystem::exists(nginx.root() / "format.dat")) << "the flash was formatted";
}

TEST(KestromWebUsage, RefusesArguments) {
    const test::CommandResult r =
        test::run_command((test::build_dir() / "kestrom").string() + " web extra");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("usage: kestrom web [--report FILE]\n", r.output);
}

}  // namespace
