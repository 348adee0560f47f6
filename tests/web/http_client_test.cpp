#include "web/http_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "http_peer.h"
#include "http_server.h"
#include "platform/socket.h"
#include "process_use.h"
#include "test_support.h"
#include "web/base64.h"

using namespace std::string_literals;

namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;

constexpr const char* kOk = "HTTP/1.0 200 OK\r\n\r\n";

std::string put_head(const std::string& path, const std::string& credentials_b64,
                     std::size_t length) {
    return "PUT /" + path +
           " HTTP/1.0\r\n"                                           // request line
           "User-Agent: adlib/3 ($Date: 1998/09/23 06:19:15 $)\r\n"  // fixed value
           "Authorization: Basic " +
           credentials_b64 +
           "\r\n"  // RFC 7617
           "Content-length: " +
           std::to_string(length) +
           "\r\n"   // decimal
           "\r\n";  // end of head
}

TEST(HttpPut, SendsTheExactHeadAndBodyForCredentialsOfEveryLengthModuloThree) {
    struct Case {
        const char* credentials;
        const char* encoded;
    };
    const Case cases[] = {
        {"admin:730512", "YWRtaW46NzMwNTEy"},  // 12 bytes: no padding
        {"admin:7305", "YWRtaW46NzMwNQ=="},    // 10 bytes: "=="
        {"admin:73051", "YWRtaW46NzMwNTE="},   // 11 bytes: "="
        {":", "Og=="},                         // empty login and password
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.credentials);
        test::HttpPeer peer{kOk};
        test::CapturedLog log;
        const std::string body = "<html>\r\n\0x</html>"s;
        const int rc = web::HttpPut("index.htm", body.data(), static_cast<int>(body.size()),
                                    "127.0.0.1", c.credentials, peer.port(), false, nullptr);
        EXPECT_EQ(200, rc);
        EXPECT_EQ("Sending index.htm - Success\n", log.text());
        EXPECT_EQ(put_head("index.htm", c.encoded, body.size()) + body, peer.request());
    }
}

TEST(HttpPut, FormatRequestSendsContentLengthZeroAndNoBody) {
    test::HttpPeer peer{"HTTP/1.1 201 Created\r\n"};
    test::CapturedLog log;
    EXPECT_EQ(201, web::HttpPut("format.dat", "", 0, "127.0.0.1", "admin:7305", peer.port(), false,
                                nullptr));
    EXPECT_EQ("Formatting Flash - Success\n", log.text());
    EXPECT_EQ(put_head("format.dat", "YWRtaW46NzMwNQ==", 0), peer.request());
}

TEST(HttpPut, AddsContentTypeCutAt64AndTheOverwriteLine) {
    test::HttpPeer peer{kOk};
    test::CapturedLog log;
    const std::string type(70, 't');
    EXPECT_EQ(200, web::HttpPut("a.htm", "ab", 2, "127.0.0.1", "admin:7305", peer.port(), true,
                                type.c_str()));
    EXPECT_EQ(
        "PUT /a.htm HTTP/1.0\r\n"
        "User-Agent: adlib/3 ($Date: 1998/09/23 06:19:15 $)\r\n"
        "Authorization: Basic YWRtaW46NzMwNQ==\r\n"
        "Content-length: 2\r\n"
        "Content-type: " +
            std::string(64, 't') +
            "\r\n"
            "Control: overwrite=1\r\n"
            "\r\n"
            "ab",
        peer.request());
}

TEST(HttpPut, CutsALongPathAt256InTheRequestLineButLogsItWhole) {
    test::HttpPeer peer{kOk};
    test::CapturedLog log;
    const std::string path = std::string(250, 'd') + "/12345678.htm";  // 263 characters
    EXPECT_EQ(200, web::HttpPut(path.c_str(), "x", 1, "127.0.0.1", "admin:7305", peer.port(), false,
                                nullptr));
    EXPECT_EQ("Sending " + path + " - Success\n", log.text());
    const std::optional<std::string> request = peer.request();
    ASSERT_TRUE(request);
    EXPECT_THAT(*request, StartsWith("PUT /" + path.substr(0, 256) + " HTTP/1.0\r\n"));
}

TEST(HttpPut, SendsLongCredentialsWhole) {
    test::HttpPeer peer{kOk};
    test::CapturedLog log;
    const std::string credentials = std::string(255, 'l') + ":" + std::string(255, 'p');
    const std::string path(256, 'q');
    EXPECT_EQ(200, web::HttpPut(path.c_str(), "", 0, "127.0.0.1", credentials.c_str(), peer.port(),
                                true, std::string(64, 't').c_str()));
    const std::optional<std::string> request = peer.request();
    ASSERT_TRUE(request);
    EXPECT_GT(request->size(), 1000u);  // far beyond a 512-byte head area
    EXPECT_NE(std::string::npos,
              request->find("Basic " + web::base64_encode(credentials) + "\r\n"));
    EXPECT_THAT(*request, EndsWith("Control: overwrite=1\r\n\r\n"));
}

TEST(HttpQuery, ReturnsTheStatusOrTheFailureCodeWithItsLogLine) {
    struct Case {
        const char* what;
        std::string reply;
        int rc;
        const char* outcome;
    };
    const Case cases[] = {
        {"1.0 with 200", "HTTP/1.0 200 OK\r\n\r\n<html/>", 200, "Success\n"},
        {"1.1 with 204, LF only", "HTTP/1.1 204 No Content\n", 204, "Success\n"},
        {"1.1 with 401", "HTTP/1.1 401 Unauthorized\r\n\r\n", 401, "Failed: HTTP Status 401\n"},
        {"1.0 with 500", "HTTP/1.0 500 Oops\r\n", 500, "Failed: HTTP Status 500\n"},
        {"1.1 with 302", "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", 302,
         "Failed: HTTP Status 302\n"},
        {"511 bytes kept, still parsed", "HTTP/1.1 201 " + std::string(600, 'x') + "\r\n", 201,
         "Success\n"},
        {"not a status line", "ICY 200 OK\r\n", -7, "Failed: Response Problem\n"},
        {"no code", "HTTP/1.1 OK\r\n", -7, "Failed: Response Problem\n"},
        {"empty first line", "\r\nHTTP/1.0 200 OK\r\n", -7, "Failed: Response Problem\n"},
        {"closed without line end", "HTTP/1.0 200 OK", -6, "Failed: Connect/Transfer Problem\n"},
        {"closed at once", "", -6, "Failed: Connect/Transfer Problem\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::HttpPeer peer{c.reply};
        test::CapturedLog log;
        EXPECT_EQ(c.rc, web::HttpQuery("PUT", "127.0.0.1", "admin:7305", "a.htm", peer.port(),
                                       "Content-length: 0\r\n", nullptr, 0));
        EXPECT_EQ(std::string("Sending a.htm - ") + c.outcome, log.text());
    }
}

TEST(HttpQuery, GivesUpOnAStatusLineThatDoesNotArriveInTime) {
    test::HttpPeer peer{test::HttpPeer::Silent{}};
    test::CapturedLog log;
    EXPECT_EQ(web::code(web::HttpFailure::no_status_line),
              web::HttpPut("a.htm", "x", 1, "127.0.0.1", "admin:7305", peer.port(), false, nullptr,
                           web::HttpLimits{.status_line = std::chrono::milliseconds(200)}));
    EXPECT_EQ("Sending a.htm - Failed: Connect/Transfer Problem\n", log.text());
    EXPECT_TRUE(peer.request());
}

TEST(HttpQuery, LeavesTheLineOpenWhenThePeerDropsTheBody) {
    test::HttpPeer peer{test::HttpPeer::BeforeBody{}, "HTTP/1.0 413 Too Large\r\n"};
    test::CapturedLog log;
    // Far more than the socket buffers hold, so the send is still running when the peer goes.
    const std::string body(64 << 20, 'b');
    EXPECT_EQ(web::code(web::HttpFailure::send_body),
              web::HttpPut("a.htm", body.data(), static_cast<int>(body.size()), "127.0.0.1",
                           "admin:7305", peer.port(), false, nullptr));
    EXPECT_EQ("Sending a.htm - ", log.text());
}

// Web servers that misbehave on purpose: each request ends with the described outcome within its
// bounds and leaves no thread or socket behind. (Its memory is bounded by construction: the body
// is sent from the caller's buffer and no more than the status line is read.)
TEST(HttpPut, EndsWithinItsBoundsAgainstHostileServers) {
    using namespace std::chrono_literals;
    struct Case {
        const char* what;
        void (*hostile)(sim::HttpOptions&);
        web::HttpLimits limits;
        int rc;
        const char* outcome;
    };
    const web::HttpLimits fast{.status_line = 2s, .send_stall = 300ms, .send = 10s};
    const Case cases[] = {
        {"status line without end, cut at 511 bytes", [](auto& o) { o.endless_status = true; },
         fast, 200, "Success\n"},
        {"10 MB of header lines", [](auto& o) { o.huge_header = 10 << 20; }, fast, 200,
         "Success\n"},
        {"never reads: the send stalls", [](auto& o) { o.never_read = true; }, fast,
         web::code(web::HttpFailure::send_body), ""},
        {"never reads: the send runs out of time",
         [](auto& o) { o.never_read = true; },
         {.status_line = 2s, .send_stall = 60s, .send = 300ms},
         web::code(web::HttpFailure::send_body),
         ""},
        // Bounds far off: only the reset can end this one in time.
        {"reset in the middle of the body",
         [](auto& o) { o.reset_mid_body = true; },
         {.status_line = 30s, .send_stall = 30s, .send = 30s},
         web::code(web::HttpFailure::send_body),
         ""},
    };
    // More than loopback's socket buffers take, so that a peer that stops reading stops the send.
    const std::string body(32 << 20, 'b');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const test::ProcessUse before = test::process_use();
        {
            sim::HttpOptions options;
            options.port = 0;
            c.hostile(options);
            const auto server = sim::HttpServer::start(options);
            ASSERT_TRUE(server);
            test::CapturedLog log;
            ::testing::internal::CaptureStderr();  // the status line, 511 bytes of it
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(c.rc, web::HttpPut("big.bin", body.data(), static_cast<int>(body.size()),
                                         "127.0.0.1", "admin:7305", server->port(), false, nullptr,
                                         c.limits));
            EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
            (void)::testing::internal::GetCapturedStderr();
            EXPECT_EQ(std::string("Sending big.bin - ") + c.outcome, log.text());
        }
        // The server is gone with its sockets; whatever is left would be the client's.
        const test::ProcessUse after = test::process_use_back_to(before);
        EXPECT_EQ(before.threads, after.threads);
        EXPECT_EQ(before.open_files, after.open_files);
    }
}

TEST(HttpQuery, LeavesTheLineOpenWhenNoConnectionIsMade) {
    std::uint16_t closed_port = 0;
    {
        auto listener = platform::TcpListener::listen(platform::kLoopbackAddress, 0);
        ASSERT_TRUE(listener);
        closed_port = listener->local_endpoint().port;
    }
    struct Case {
        const char* what;
        const char* host;
        int port;
        web::HttpFailure rc;
    };
    const Case cases[] = {
        {"empty host", "", 80, web::HttpFailure::resolve},
        {"nobody listening", "127.0.0.1", closed_port, web::HttpFailure::connect},
        {"port 0", "127.0.0.1", 0, web::HttpFailure::connect},
        {"port beyond 16 bits", "127.0.0.1", 65536 + closed_port, web::HttpFailure::connect},
        {"negative port", "127.0.0.1", -1, web::HttpFailure::connect},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::CapturedLog log;
        EXPECT_EQ(web::code(c.rc),
                  web::HttpPut("format.dat", "", 0, c.host, "admin:7305", c.port, false, nullptr));
        EXPECT_EQ("Formatting Flash - ", log.text());
    }
}

// The line is the peer's: its control bytes are shown as hex, never sent to the terminal.
TEST(HttpQuery, WritesEachStatusLineToStandardErrorWithItsControlBytesAsHex) {
    const struct {
        const char* what;
        const char* reply;
        const char* written;
    } cases[] = {
        {"a plain line", "HTTP/1.1 401 Unauthorized\r\n\r\n", "HTTP/1.1 401 Unauthorized\n"},
        {"controls, DEL, C1 both ways; UTF-8 and tab kept",
         "HTTP/1.0 200 \x1b]0;owned\a\x1b[2J\x7f\xc2\x9bK\x9b \xc3\xa9\tok\r\n\r\n",
         "HTTP/1.0 200 \\x1B]0;owned\\x07\\x1B[2J\\x7F\\xC2\\x9BK\\x9B \xc3\xa9\tok\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::HttpPeer peer{c.reply};
        test::CapturedLog log;
        ::testing::internal::CaptureStderr();
        (void)web::HttpPut("a.htm", "", 0, "127.0.0.1", "x:y", peer.port(), false, nullptr);
        EXPECT_EQ(c.written, ::testing::internal::GetCapturedStderr());
    }
}

// A connected pair on loopback: `client` is read by HttpReadLine, `server` writes to it.
struct Pair {
    std::optional<platform::TcpSocket> client, server;
};
Pair connected_pair() {
    Pair p;
    auto listener = platform::TcpListener::listen(platform::kLoopbackAddress, 0);
    if (!listener) return p;
    p.client =
        platform::TcpSocket::connect({platform::kLoopbackAddress, listener->local_endpoint().port});
    p.server = listener->accept();
    return p;
}

TEST(HttpReadLine, ConsumesUpToTheLineEndOrTheLimitAndTerminates) {
    struct Case {
        const char* what;
        std::string sent;
        bool close;
        int max;
        int rc;
        std::string line;
    };
    const Case cases[] = {
        {"CR LF line", "HTTP/1.0 200 OK\r\nrest", false, 511, 17, "HTTP/1.0 200 OK"},
        {"LF line", "ab\ncd", false, 511, 3, "ab"},
        {"CR inside is dropped", "a\rb\n", false, 511, 4, "ab"},
        {"limit reached", "HTTP/1.0 200 OK\r\n", false, 5, 5, "HTTP/"},
        {"CR at the limit", "abc\r\n", false, 4, 4, "abc"},
        {"limit not positive", "abc\n", false, 0, 0, ""},
        {"peer closes first", "abc", true, 511, -3, "abc"},
        {"peer closes at once", "", true, 511, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pair p = connected_pair();
        ASSERT_TRUE(p.client && p.server);
        ASSERT_TRUE(p.server->send_all(c.sent));
        if (c.close) p.server->close();
        std::array<char, 512> area;
        area.fill('#');
        EXPECT_EQ(c.rc,
                  web::HttpReadLine(area, *p.client, c.max,
                                    std::chrono::steady_clock::now() + std::chrono::seconds(5)));
        EXPECT_EQ(c.line, std::string(area.data()));
    }
}

TEST(HttpReadLine, StopsAtTheDeadlineAndNeverWritesPastTheArea) {
    Pair p = connected_pair();
    ASSERT_TRUE(p.client && p.server);
    ASSERT_TRUE(p.server->send_all("HTTP/1.0 2"));
    std::array<char, 512> area{};
    EXPECT_EQ(-10,
              web::HttpReadLine(area, *p.client, 511,
                                std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
    EXPECT_EQ("HTTP/1.0 2", std::string(area.data()));

    ASSERT_TRUE(p.server->send_all("00 OK\r\n"));
    std::array<char, 4> small;
    small.fill('#');
    // Asked for up to 511 bytes, but only three characters and the NUL fit.
    EXPECT_EQ(3, web::HttpReadLine(small, *p.client, 511,
                                   std::chrono::steady_clock::now() + std::chrono::seconds(5)));
    EXPECT_EQ("00 ", std::string(small.data()));
}

TEST(ParseStatusLine, FollowsTheStatusPattern) {
    struct Case {
        const char* line;
        std::optional<int> status;
    };
    const Case cases[] = {
        {"HTTP/1.0 200 OK", 200},
        {"HTTP/1.1 401", 401},
        {"HTTP/1.9 99", 99},
        {"HTTP/1.1  404", 404},
        {"HTTP/1.12 5", 5},
        {"HTTP/1.+1 200", 200},
        {"HTTP/1.1 2000", 200},
        {"HTTP/1.1200", std::nullopt},
        {"HTTP/2 200", std::nullopt},
        {"http/1.1 200", std::nullopt},
        {"HTTP/1.1 +200", std::nullopt},
        {"HTTP/1.x 200", std::nullopt},
        {"HTTP/1.1", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.status, web::parse_status_line(c.line));
    }
}

}  // namespace
