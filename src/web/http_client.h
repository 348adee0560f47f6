// A minimal synchronous HTTP/1.0 client (RFC 1945) for uploading web pages to the controller:
// one call makes one TCP connection, sends one request head with Basic authentication
// (RFC 7617) and an optional body, reads the response's status line only, reports on the event
// log, closes the connection and returns the status code or a negative failure code. Nothing
// is retried, no redirect is followed and nothing after the status line is read.
//
// Every call starts a log line ("Formatting Flash - " for the path "format.dat", otherwise
// "Sending <path> - ") and finishes it with "Success\n" (a 2xx status), "Failed: HTTP Status
// <code>\n" (any other status), or the line of -6 or -7; the codes -1 to -5 leave it open.
// Each status line read (possibly empty) is also written, with a line end, to standard error.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace platform {
class TcpSocket;
}

namespace web {

// HttpQuery and HttpPut return the status code of any HTTP status line (401 and 500 included,
// 0..999) or one of these. The log texts of -6 and -7 belong to the contract.
enum class HttpFailure : int {
    resolve = -1,          // the host name did not resolve
    socket = -2,           // no socket could be made
    connect = -3,          // the TCP connect failed (a port outside 1..65535 included)
    send_head = -4,        // the head was not sent whole
    send_body = -5,        // the body was not sent whole
    no_status_line = -6,   // logs "Failed: Connect/Transfer Problem\n"
    bad_status_line = -7,  // logs "Failed: Response Problem\n"
};
constexpr int code(HttpFailure f) {
    return static_cast<int>(f);
}
std::string_view to_string(HttpFailure f);

// How long the status line may take to arrive, counted from the end of the request. A peer
// that accepts and never answers would otherwise hold the job for ever.
inline constexpr std::chrono::milliseconds kStatusLineTimeout = std::chrono::seconds(60);
// A send fails when the peer takes no byte for this long: a peer that accepts and never reads
// would otherwise hold the job for ever once the socket buffers are full.
inline constexpr std::chrono::milliseconds kSendStallTimeout = std::chrono::seconds(60);
// Head and body together must be sent within this, counted from the connect: a peer that reads
// a trickle would otherwise hold a big upload for hours. Ten minutes carry a 10 MB page at
// 17 KB/s.
inline constexpr std::chrono::milliseconds kSendTimeout = std::chrono::minutes(10);
// How long the connect may wait for the controller to answer; past it the request fails as a
// failed connect (-3). Left to the platform, an address that drops the packets would cost
// about two minutes (Linux's unanswered SYNs) for every listed file. The name lookup waits as
// long as the platform allows.
inline constexpr std::chrono::milliseconds kConnectTimeout = std::chrono::seconds(10);

// The time bounds of one request; tests make them short.
struct HttpLimits {
    std::chrono::milliseconds connect = kConnectTimeout;
    std::chrono::milliseconds status_line = kStatusLineTimeout;
    std::chrono::milliseconds send_stall = kSendStallTimeout;
    std::chrono::milliseconds send = kSendTimeout;
};
// The status line is read into a 512-byte area: longer lines are cut to this many bytes.
inline constexpr int kStatusLineMax = 511;
// The request line carries at most this many characters of the path (the log shows it whole).
inline constexpr std::size_t kRequestPathMax = 256;
// The content type is cut to this many characters.
inline constexpr std::size_t kContentTypeMax = 64;

// The status code of a status line after the pattern "HTTP/1.%*d %03d": "HTTP/1.", a decimal
// number (skipped), optional white space, then one to three digits. nullopt when the line does
// not match. A sign before the code does not match, so a status is never negative and never
// mistaken for a failure code.
std::optional<int> parse_status_line(std::string_view line);

// Reads one line from `socket` into `destination`, one byte per receive, consuming at most
// `max_count` bytes (and no more than the destination holds besides the NUL). A carriage return
// is dropped, a line feed ends the line; the destination is always NUL-terminated.
// Returns the number of bytes consumed (line end included); 0 when max_count is not positive;
// minus the number consumed when a receive fails, the peer closes first, or `deadline` passes.
[[nodiscard]] int HttpReadLine(std::span<char> destination, const platform::TcpSocket& socket,
                               int max_count, std::chrono::steady_clock::time_point deadline);

// One request. `extra_headers` holds whole header lines, each ending in "\r\n" (may be empty);
// `body` may be null. The path is sent without its leading "/" and cut to 256 characters in the
// request line. Credentials and head are sent whole whatever their length. A send that runs
// into `limits` fails as a send that broke off (-4 or -5).
[[nodiscard]] int HttpQuery(const char* method, const char* host, const char* credentials,
                            const char* path, int port, const char* extra_headers, const char* body,
                            int body_length, const HttpLimits& limits = {});

// A PUT of `body` under `path` with "Content-length", an optional "Content-type" (cut to 64
// characters) and, when `overwrite` is set, "Control: overwrite=1".
[[nodiscard]] int HttpPut(const char* path, const char* body, int body_length, const char* host,
                          const char* credentials, int port, bool overwrite,
                          const char* content_type, const HttpLimits& limits = {});

}  // namespace web
