// The simulated controller's web server: HTTP/1.0, one request per connection, PUT only, with
// Basic authentication. A PUT of "format.dat" erases every stored file (the controller formats
// its web page flash); a PUT of any other path stores the body under that name. Files are kept
// in memory and, when a directory is given, written below it. The answer is a status line and
// an empty head; a chosen status can replace every answer. Switches make it a hostile server.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "stop_signal.h"

namespace sim {

struct HttpOptions {
    std::uint32_t address = platform::kLoopbackAddress;
    std::uint16_t port = 80;  // 0 picks a free port
    std::string login = "admin";
    std::string password = "7305";
    std::filesystem::path www;  // stored files go below it (empty: memory only)
    int forced_status = 0;      // when set, every request is answered with it and changes nothing
    // Hostile servers, for the client's bounds:
    bool endless_status = false;  // the status line never ends: "HTTP/1.0 200 OK" and then 'x's
    bool never_read = false;      // accepts and never reads; holds each connection kHttpHoldMax
    std::size_t huge_header = 0;  // header lines of this many bytes behind the status line
    bool reset_mid_body = false;  // takes half the body, then resets the connection
    std::function<void(const std::string&)> report;
};

// Limits that keep a wrong or hostile peer from growing the server without bound.
inline constexpr std::size_t kHttpHeadMax = 16 * 1024;
inline constexpr std::size_t kHttpBodyMax = 64 * 1024 * 1024;
inline constexpr std::chrono::seconds kHttpIdleTimeout{10};
inline constexpr std::chrono::minutes kHttpHoldMax{5};

struct HttpRequestRecord {
    std::string request_line;  // as received, without its line end
    std::string method;
    std::string path;           // without the leading "/"
    std::string authorization;  // the header's value, as received
    std::string head;           // the whole head, up to and including the empty line
    std::string body;
    int status = 0;  // what was answered
};

// Parses one request head (without the body). nullopt when it is not a request line followed by
// header lines. Header names compare without case; `content_length` is -1 when absent.
struct ParsedHead {
    std::string method, target, version;
    std::string authorization;
    long long content_length = -1;
    bool bad_length = false;
};
std::optional<ParsedHead> parse_http_head(std::string_view head);

// Standard Base64 (RFC 4648 §4) with "=" padding, for checking Basic credentials.
std::string base64_encode(std::string_view bytes);

// A path below the store: no empty, "." or ".." parts, no leading "/", no control bytes.
bool safe_store_path(std::string_view path);

class HttpServer {
public:
    static std::unique_ptr<HttpServer> start(HttpOptions options, std::string* error = nullptr);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::vector<HttpRequestRecord> requests() const;
    // The stored files by name.
    std::map<std::string, std::string> files() const;
    bool wait_requests(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    HttpServer(HttpOptions options, platform::TcpListener listener);
    void serve();
    void handle(platform::TcpSocket& socket);
    // Sends `bytes` `count` times over (a stream without end when count is 0), until the peer
    // goes or a stop is requested.
    void stream(const platform::TcpSocket& socket, std::string_view bytes, std::size_t count);
    int respond_to(HttpRequestRecord& request, const ParsedHead& head);
    int store(const std::string& path, const std::string& body);
    void erase_all();
    void report(const std::string& text) const;

    HttpOptions options_;
    platform::TcpListener listener_;
    std::uint16_t port_ = 0;
    StopSignal stop_;

    // Written by the serving thread; read by any thread.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<HttpRequestRecord> requests_;
    std::map<std::string, std::string> files_;

    std::jthread thread_;  // last member: starts after everything it uses exists
};

}  // namespace sim
