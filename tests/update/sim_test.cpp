// The simulated controller's web side, which the web pages job is tested against.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "http_server.h"
#include "platform/socket.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

// One request on a fresh connection; returns the whole answer (the server closes after it).
std::string exchange(std::uint16_t port, const std::string& request) {
    auto socket = platform::TcpSocket::connect({platform::kLoopbackAddress, port});
    if (!socket || !socket->send_all(request)) return "no connection";
    std::string answer;
    std::array<char, 1024> buffer{};
    while (socket->wait_readable(10s) == platform::WaitResult::readable) {
        const int n = socket->receive(buffer);
        if (n <= 0) break;
        answer.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return answer;
}

std::string put(const std::string& path, const std::string& body,
                const std::string& credentials = "YWRtaW46NzMwNQ==") {  // admin:7305
    return "PUT /" + path + " HTTP/1.0\r\nUser-Agent: test\r\nAuthorization: Basic " + credentials +
           "\r\nContent-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string status_line(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

TEST(SimulatedWebServer, StoresUploadsAndFormatsTheFlashOnFormatDat) {
    test::TempDir www;
    sim::HttpOptions options;
    options.port = 0;
    options.www = www.path();
    const auto server = sim::HttpServer::start(options);
    ASSERT_TRUE(server);

    EXPECT_EQ("HTTP/1.0 200 OK",
              status_line(exchange(server->port(), put("index.htm", "<html/>"))));
    EXPECT_EQ("HTTP/1.0 200 OK", status_line(exchange(server->port(), put("img/a.gif", "GIF"))));
    EXPECT_EQ("HTTP/1.0 200 OK", status_line(exchange(server->port(), put("empty.txt", ""))));
    EXPECT_EQ("<html/>", test::read_file(www / "index.htm"));
    EXPECT_EQ("GIF", test::read_file(www / "img/a.gif"));
    EXPECT_EQ(3u, server->files().size());

    EXPECT_EQ("HTTP/1.0 200 OK", status_line(exchange(server->port(), put("format.dat", ""))));
    EXPECT_TRUE(server->files().empty());
    EXPECT_TRUE(std::filesystem::is_empty(www.path()));
    ASSERT_EQ(4u, server->requests().size());
    EXPECT_EQ("format.dat", server->requests().back().path);
}

TEST(SimulatedWebServer, AnswersRequestsItCannotTakeWithTheirStatus) {
    sim::HttpOptions options;
    options.port = 0;
    const auto server = sim::HttpServer::start(options);
    ASSERT_TRUE(server);
    struct Case {
        const char* what;
        std::string request;
        std::string status_line;
    };
    const Case cases[] = {
        {"wrong credentials", put("a.htm", "x", "YWRtaW46MDAwMA=="), "HTTP/1.0 401 Unauthorized"},
        {"no credentials", "PUT /a.htm HTTP/1.0\r\nContent-length: 1\r\n\r\nx",
         "HTTP/1.0 401 Unauthorized"},
        {"not a PUT", "GET / HTTP/1.0\r\n\r\n", "HTTP/1.0 501 Not Implemented"},
        {"path leaves the store", put("../a.htm", "x"), "HTTP/1.0 400 Bad Request"},
        {"empty path part", put("a//b.htm", "x"), "HTTP/1.0 400 Bad Request"},
        {"not a request line", "hello\r\n\r\n", "HTTP/1.0 400 Bad Request"},
        {"bad length", "PUT /a HTTP/1.0\r\nContent-length: 1x\r\n\r\n", "HTTP/1.0 400 Bad Request"},
        {"head without end", std::string(sim::kHttpHeadMax + 10, 'a'), "HTTP/1.0 400 Bad Request"},
        {"body over the limit", "PUT /a HTTP/1.0\r\nContent-length: 99999999999\r\n\r\n",
         "HTTP/1.0 413 Payload Too Large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.status_line, status_line(exchange(server->port(), c.request)));
    }
    EXPECT_TRUE(server->files().empty());
}

TEST(SimulatedWebServer, AnswersEveryRequestWithAChosenStatusAndKeepsNothing) {
    sim::HttpOptions options;
    options.port = 0;
    options.forced_status = 503;
    const auto server = sim::HttpServer::start(options);
    ASSERT_TRUE(server);
    EXPECT_EQ("HTTP/1.0 503 Service Unavailable",
              status_line(exchange(server->port(), put("a.htm", "x"))));
    EXPECT_TRUE(server->files().empty());
    ASSERT_EQ(1u, server->requests().size());
    EXPECT_EQ("x", server->requests()[0].body);
}

TEST(Base64Encode, PadsToWholeGroupsOfFour) {
    EXPECT_EQ("", sim::base64_encode(""));
    EXPECT_EQ("YQ==", sim::base64_encode("a"));
    EXPECT_EQ("YWI=", sim::base64_encode("ab"));
    EXPECT_EQ("YWJj", sim::base64_encode("abc"));
    EXPECT_EQ("YWRtaW46NzMwNQ==", sim::base64_encode("admin:7305"));
}

}  // namespace
