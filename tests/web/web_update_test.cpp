#include "web/web_update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/load_report.h"
#include "core/progress.h"
#include "core/settings.h"
#include "http_peer.h"
#if !defined(_WIN32)
#include "silent_segment.h"
#endif
#include "test_support.h"
#include "web_peers.h"

using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

constexpr const char* kOk = "HTTP/1.0 200 OK\r\n\r\n";

// The request line of each request the peer recorded.
std::vector<std::string> request_lines(const test::HttpPeer& peer) {
    std::vector<std::string> lines;
    for (const std::string& r : peer.requests()) lines.push_back(r.substr(0, r.find("\r\n")));
    return lines;
}

std::string body_of(const std::string& request) {
    const auto shape = test::request_shape(request);
    return shape ? request.substr(shape->head_size) : std::string();
}

constexpr const char* kNotStarted =
    "UPDATE NOT STARTED: nothing was sent, the controller's web pages are unchanged\n";

// `text` with each "@" replaced by the working folder, and folder separators as the system
// writes them in paths.
std::string in_folder(std::string text) {
    const std::string folder = std::filesystem::current_path().string();
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at))
        text.replace(at, 1, folder), at += folder.size();
    if constexpr (std::filesystem::path::preferred_separator != '/')
        std::ranges::replace(text, '/',
                             static_cast<char>(std::filesystem::path::preferred_separator));
    return text;
}

class WebUpdateJob : public ::testing::Test {
protected:
    void SetUp() override { core::settings_reset(); }
    void TearDown() override { core::settings_reset(); }
};

TEST_F(WebUpdateJob, UploadsTheListedFilesUpToTheFirstMissingNumber) {
    using V = std::vector<std::string>;
    // A list that names no page stops the job before the format request, which would erase the
    // controller's pages with nothing to put back.
    constexpr const char* kNamesNoFile =
        "The list file @/kestrom.ini names no file (no FILE1 in section [FILES])\n";
    struct Case {
        const char* what;
        const char* list;
        V paths;
        const char* refusal = nullptr;  // the log of a job that sends nothing
    };
    const Case cases[] = {
        {"no list file", nullptr, V{},
         "Can't read the list file @/kestrom.ini: No such file or directory\n"},
        {"no FILES section", "[OTHER]\nFILE1=a.htm\n", V{}, kNamesNoFile},
        {"no FILE1", "[FILES]\nFILE2=a.htm\n", V{}, kNamesNoFile},
        {"gap ends the list", "[FILES]\nFILE1=a.htm\nFILE2=b.htm\nFILE4=c.htm\n",
         V{"/a.htm", "/b.htm"}},
        {"commented-out keys still count", "[FILES]\n#FILE1=a.htm\n; FILE2=b.htm\n",
         V{"/a.htm", "/b.htm"}},
        {"keys are case-sensitive", "[FILES]\nfile1=a.htm\n", V{}, kNamesNoFile},
        {"blanks around = end the list", "[FILES]\nFILE1=a.htm\nFILE2 = b.htm\nFILE3=c.htm\n",
         V{"/a.htm"}},
        {"[ in a value ends the section", "[FILES]\nFILE1=a.htm\nFILE2=b[1].htm\nFILE3=c.htm\n",
         V{"/a.htm"}},
        {"listed twice, sent twice", "[FILES]\r\nFILE1=a.htm\r\nFILE2=a.htm\r\n",
         V{"/a.htm", "/a.htm"}},
        {"last line without line feed", "[FILES]\nFILE1=a.htm\nFILE2=b.htm", V{"/a.htm", "/b.htm"}},
        {"first duplicate key wins", "[FILES]\nFILE1=b.htm\nFILE1=a.htm\n", V{"/b.htm"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::JobDir dir;
        for (const char* name : {"a.htm", "b.htm", "c.htm"}) dir.page(name, name);
        if (c.list) dir.list(c.list);
        test::HttpPeer peer{kOk};
        test::point_settings_at("127.0.0.1", peer.port());
        test::CapturedLog log;
        const web::WebUpdateReport report = web::run_web_update();
        if (c.refusal) {
            EXPECT_EQ(in_folder(c.refusal) + kNotStarted, log.text());
            EXPECT_EQ(V{}, request_lines(peer)) << "a request reached the controller";
            EXPECT_EQ(0, report.requests);
            EXPECT_FALSE(report.all_done());
            continue;
        }

        V expected{"PUT /format.dat HTTP/1.0"};
        std::string expected_log = "Formatting Flash - Success\n";
        for (const std::string& p : c.paths) {
            expected.push_back("PUT " + p + " HTTP/1.0");
            expected_log += "Sending " + p.substr(1) + " - Success\n";
        }
        expected_log += "UPDATE COMPLETED\n";
        EXPECT_EQ(expected_log, log.text());
        EXPECT_EQ(expected, request_lines(peer));
        EXPECT_EQ(static_cast<int>(c.paths.size()) + 1, report.requests);
        EXPECT_TRUE(report.all_done());
    }
}

TEST_F(WebUpdateJob, SendsEachFileByteForByteWithItsLength) {
    test::JobDir dir;
    const std::string binary = "\0\r\n\x1a\xff text\r\n"s;
    dir.page("bin.dat", binary);
    dir.page("empty.htm", "");
    dir.page("sub/page.htm", "<p/>");
    dir.list("[FILES]\nFILE1=bin.dat\nFILE2=empty.htm\nFILE3=sub\\page.htm\n");
    test::HttpPeer peer{"HTTP/1.1 201 Created\r\n"};
    test::point_settings_at("127.0.0.1", peer.port(), "admin", "7305");
    test::CapturedLog log;
    EXPECT_TRUE(web::run_web_update().all_done());
    const std::vector<std::string> requests = peer.requests();
    ASSERT_EQ(4u, requests.size());
    const std::string head_tail =
        " HTTP/1.0\r\n"
        "User-Agent: adlib/3 ($Date: 1998/09/23 06:19:15 $)\r\n"
        "Authorization: Basic YWRtaW46NzMwNQ==\r\n";
    EXPECT_EQ("PUT /format.dat" + head_tail + "Content-length: 0\r\n\r\n", requests[0]);
    EXPECT_EQ("PUT /bin.dat" + head_tail + "Content-length: 12\r\n\r\n" + binary, requests[1]);
    EXPECT_EQ("PUT /empty.htm" + head_tail + "Content-length: 0\r\n\r\n", requests[2]);
    // The backslash opens www/sub/page.htm; the path on the wire keeps it.
    EXPECT_EQ("PUT /sub\\page.htm" + head_tail + "Content-length: 4\r\n\r\n<p/>", requests[3]);
}

TEST_F(WebUpdateJob, LogsEachBufferGrowthAtExactWidths) {
    struct Case {
        const char* what;
        std::size_t size;
        std::string growths;
    };
    const Case cases[] = {
        {"fits the first buffer", 10922, ""},
        {"12000 bytes grow it once", 12000,
         "read to date:     12000 bytes, reallocating buffer to     65536\n"},
        {"200000 bytes grow it three times", 200000,
         "read to date:     16384 bytes, reallocating buffer to     65536\n"
         "read to date:     65536 bytes, reallocating buffer to    262144\n"
         "read to date:    200000 bytes, reallocating buffer to   1048576\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::JobDir dir;
        std::string content(c.size, '\0');
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
        dir.page("big.bin", content);
        dir.list("[FILES]\nFILE1=big.bin\n");
        test::HttpPeer peer{kOk};
        test::point_settings_at("127.0.0.1", peer.port());
        test::CapturedLog log;
        (void)web::run_web_update();
        EXPECT_EQ("Formatting Flash - Success\n" + c.growths +
                      "Sending big.bin - Success\nUPDATE COMPLETED\n",
                  log.text());
        const std::optional<std::string> request = peer.request(1);
        ASSERT_TRUE(request);
        EXPECT_TRUE(body_of(*request) == content);
    }
}

TEST_F(WebUpdateJob, SendsNothingWhenAListedPageCantBeReadAndNamesEach) {
    test::JobDir dir;
    dir.page("a.htm", "a");
    dir.page("folder/inner.htm", "x");
    dir.list("[FILES]\nFILE1=missing.htm\nFILE2=\nFILE3=folder\nFILE4=a.htm\n");
    test::HttpPeer peer{kOk};
    test::point_settings_at("127.0.0.1", peer.port());
    test::CapturedLog log;
    core::keep_report_in_memory();
    const web::WebUpdateReport report = web::run_web_update();
    const std::vector<std::string> records = core::report_lines();
    core::stop_report();
    EXPECT_EQ(in_folder("Can't read FILE1=missing.htm as @/www/missing.htm: "
                        "No such file or directory\n"
                        "Can't read FILE2=: no file name\n"
                        "Can't read FILE3=folder as @/www/folder: Is a directory\n") +
                  kNotStarted,
              log.text());
    EXPECT_TRUE(peer.requests().empty()) << "a request reached the controller";
    EXPECT_EQ(0, report.requests);
    EXPECT_FALSE(report.all_done());

    // The window's strip and the load report say why.
    const std::string why = "not started: can't read 3 of 4 listed files, FILE1=missing.htm first";
    const auto ended = core::progress_board().snapshot().last_ended;
    ASSERT_TRUE(ended);
    EXPECT_EQ("Web pages: " + why, core::describe_ended(*ended));
    ASSERT_EQ(1u, records.size());
    const auto record = nlohmann::json::parse(records[0]);
    EXPECT_EQ("failed", record["outcome"]);
    EXPECT_EQ(why, record["reason"]);
    EXPECT_EQ(nlohmann::json::array(), record["files"]);
}

TEST_F(WebUpdateJob, SkipsAPageThatGoesAwayAfterTheFormatRequest) {
    test::JobDir dir;
    dir.site({{"gone.htm", "g"}, {"a.htm", "a"}});
    // A silent peer holds each request until its status wait runs out, long enough to take
    // the page away while the format request waits.
    test::HttpPeer peer{test::HttpPeer::Silent{}};
    test::point_settings_at("127.0.0.1", peer.port());
    web::HttpLimits limits;
    limits.status_line = 500ms;
    test::CapturedLog log;
    std::future<web::WebUpdateReport> job =
        std::async(std::launch::async, [&] { return web::run_web_update(limits); });
    ASSERT_TRUE(peer.request(0)) << log.text();
    std::filesystem::remove(dir.path() / "www" / "gone.htm");
    const web::WebUpdateReport report = job.get();
    EXPECT_THAT(log.text(), ::testing::HasSubstr("Can't open gone.htm\nSending a.htm - "));
    EXPECT_THAT(log.text(), ::testing::EndsWith("UPDATE COMPLETED\n"));
    EXPECT_EQ(1, report.skipped_files);
    EXPECT_EQ(2, report.requests);
}

TEST_F(WebUpdateJob, GoesOnAfterRejectedRequestsAndCountsThem) {
    test::JobDir dir;
    dir.page("a.htm", "a");
    dir.page("b.htm", "b");
    dir.list("[FILES]\nFILE1=a.htm\nFILE2=b.htm\n");
    test::HttpPeer peer{"HTTP/1.1 401 Unauthorized\r\n\r\n"};
    test::point_settings_at("127.0.0.1", peer.port(), "admin", "wrong");
    test::CapturedLog log;
    const web::WebUpdateReport report = web::run_web_update();
    EXPECT_EQ(
        "Formatting Flash - Failed: HTTP Status 401\n"
        "Sending a.htm - Failed: HTTP Status 401\n"
        "Sending b.htm - Failed: HTTP Status 401\n"
        "UPDATE COMPLETED\n",
        log.text());
    EXPECT_EQ(3, report.failed_requests);
    EXPECT_FALSE(report.all_done());
}

TEST_F(WebUpdateJob, LeavesLinesOpenWhenTheControllerIsUnreachable) {
    test::JobDir dir;
    dir.page("a.htm", "a");
    dir.list("[FILES]\nFILE1=a.htm\n");
    test::point_settings_at("", 80);  // resolves to nothing: no packet leaves the host
    test::CapturedLog log;
    const web::WebUpdateReport report = web::run_web_update();
    EXPECT_EQ("Formatting Flash - Sending a.htm - UPDATE COMPLETED\n", log.text());
    EXPECT_EQ(2, report.failed_requests);
}

#if !defined(_WIN32)  // a silent address in a network namespace
TEST_F(WebUpdateJob, EachRequestToAnAddressThatDropsEverythingCostsAtMostTheConnectBound) {
    KESTROM_NEEDS_NETNS();
    test::SilentSegment segment;
    ASSERT_TRUE(segment.ready());
    test::JobDir dir;
    dir.site({{"a.htm", "a"}, {"b.htm", "b"}, {"c.htm", "c"}});
    test::point_settings_at(test::SilentSegment::kSilentAddress, 80);
    web::HttpLimits limits;
    limits.connect = 500ms;
    test::CapturedLog log;
    web::WebUpdateReport report;
    std::chrono::steady_clock::duration took{};
    const auto job = [&] {
        const auto start = std::chrono::steady_clock::now();
        report = web::run_web_update(limits);
        took = std::chrono::steady_clock::now() - start;
    };
    // A job that outlasts its four bounds by 3 s fails the test there and then.
    bool joined = false;
    test::run_within(4 * limits.connect + 3s,
                     "the web job's four connects to a silent address (bound 500 ms each)",
                     [&] { joined = segment.run_inside(job); });
    ASSERT_TRUE(joined);
    // A failed connect leaves each line open; the job still goes through the whole list.
    EXPECT_EQ(
        "Formatting Flash - Sending a.htm - Sending b.htm - Sending c.htm - "
        "UPDATE COMPLETED\n",
        log.text());
    EXPECT_EQ(4, report.requests);
    EXPECT_EQ(4, report.failed_requests);
    // Each of the four connects waited out its bound, and none waited longer.
    EXPECT_GE(took, 4 * limits.connect - 100ms);
    EXPECT_LT(took, 4 * limits.connect + 3s);
}
#endif

TEST_F(WebUpdateJob, WebUpdateThreadRunsTheJobAndReturnsZero) {
    test::JobDir dir;
    dir.site({{"a.htm", "a"}});
    test::HttpPeer peer{"HTTP/1.1 500 Oops\r\n"};
    test::point_settings_at("127.0.0.1", peer.port());
    test::CapturedLog log;
    EXPECT_EQ(0, web::WebUpdateThread());
    EXPECT_EQ(
        "Formatting Flash - Failed: HTTP Status 500\n"
        "Sending a.htm - Failed: HTTP Status 500\n"
        "UPDATE COMPLETED\n",
        log.text());
}

}  // namespace
