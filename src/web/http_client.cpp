#include "web/http_client.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "core/event_log.h"
#include "platform/net.h"
#include "platform/socket.h"
#include "web/base64.h"

namespace web {
namespace {

constexpr std::string_view kUserAgent = "adlib/3 ($Date: 1998/09/23 06:19:15 $)";
constexpr std::string_view kFormatPath = "format.dat";
constexpr std::string_view kStatusPrefix = "HTTP/1.";

// The status line shares the 512-byte area of the request head.
constexpr std::size_t kStatusArea = 512;
static_assert(kStatusLineMax < static_cast<int>(kStatusArea));
// The PUT extra header lines are formatted into an area of this size; with the content type cut
// to 64 characters the longest possible text takes 131 bytes.
constexpr std::size_t kPutHeaderArea = 512;

const char* or_empty(const char* text) {
    return text ? text : "";
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Errors of socket() itself, as against those of connect(); the platform layer makes both in
// one call.
bool is_socket_creation_error(int error) {
    const std::error_code e(error, std::generic_category());
    return e == std::errc::too_many_files_open || e == std::errc::too_many_files_open_in_system ||
           e == std::errc::not_enough_memory || e == std::errc::address_family_not_supported ||
           e == std::errc::protocol_not_supported;
}

// "<method> /<path, cut at 256> HTTP/1.0\r\nUser-Agent: ...\r\nAuthorization: Basic ...\r\n"
// followed by the extra lines and an empty line.
std::string format_head(std::string_view method, std::string_view path,
                        std::string_view encoded_credentials, std::string_view extra_headers) {
    std::string head;
    head.reserve(method.size() + kRequestPathMax + encoded_credentials.size() +
                 extra_headers.size() + 96);
    head.append(method).append(" /").append(path.substr(0, kRequestPathMax));
    head.append(" HTTP/1.0\r\nUser-Agent: ").append(kUserAgent);
    head.append("\r\nAuthorization: Basic ").append(encoded_credentials).append("\r\n");
    head.append(extra_headers).append("\r\n");
    return head;
}

void log_outcome(int status) {
    if (status >= 200 && status <= 299)
        core::log_printf("Success\n");
    else
        core::log_printf("Failed: HTTP Status %d\n", status);
}

}  // namespace

std::string_view to_string(HttpFailure f) {
    switch (f) {
        case HttpFailure::resolve:
            return "host did not resolve";
        case HttpFailure::socket:
            return "socket creation failed";
        case HttpFailure::connect:
            return "connect failed";
        case HttpFailure::send_head:
            return "head not sent whole";
        case HttpFailure::send_body:
            return "body not sent whole";
        case HttpFailure::no_status_line:
            return "no status line";
        case HttpFailure::bad_status_line:
            return "malformed status line";
    }
    return "unknown";
}

std::optional<int> parse_status_line(std::string_view line) {
    if (!line.starts_with(kStatusPrefix)) return std::nullopt;
    std::size_t i = kStatusPrefix.size();
    // "%*d": white space, an optional sign, at least one digit.
    while (i < line.size() && is_space(line[i])) ++i;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) ++i;
    const std::size_t minor_digits = i;
    while (i < line.size() && is_digit(line[i])) ++i;
    if (i == minor_digits) return std::nullopt;
    // " " then "%03d": any white space, then at most three digits.
    while (i < line.size() && is_space(line[i])) ++i;
    int status = 0;
    std::size_t digits = 0;
    while (digits < 3 && i < line.size() && is_digit(line[i])) {
        status = status * 10 + (line[i] - '0');
        ++digits;
        ++i;
    }
    if (digits == 0) return std::nullopt;
    return status;
}

int HttpReadLine(std::span<char> destination, const platform::TcpSocket& socket, int max_count,
                 std::chrono::steady_clock::time_point deadline) {
    if (destination.empty()) return 0;
    // Room for the NUL: never consume more bytes than the area holds besides it.
    const std::size_t limit =
        max_count <= 0 ? 0 : std::min(static_cast<std::size_t>(max_count), destination.size() - 1);
    std::size_t position = 0;
    std::size_t count = 0;
    while (count < limit) {
        const auto now = std::chrono::steady_clock::now();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        char byte = 0;
        const bool ready =
            left.count() > 0 && socket.wait_readable(left) == platform::WaitResult::readable;
        if (!ready || socket.receive(std::span(&byte, 1)) != 1) {
            destination[position] = '\0';
            return -static_cast<int>(count);
        }
        ++count;
        if (byte == '\n') break;
        destination[position] = byte;
        // A carriage return is not kept: the next byte (or the NUL) overwrites it.
        if (byte != '\r') ++position;
    }
    destination[position] = '\0';
    return static_cast<int>(count);
}

int HttpQuery(const char* method, const char* host, const char* credentials, const char* path,
              int port, const char* extra_headers, const char* body, int body_length,
              const HttpLimits& limits) {
    const std::string_view path_text = or_empty(path);
    if (path_text == kFormatPath)
        core::log_printf("Formatting Flash - ");
    else
        core::log_printf("Sending %s - ", or_empty(path));

    // Windows Sockets version 2.0 for this request; a failed start is said and the steps
    // below fail by themselves.
    const platform::SocketsReference sockets(2, 0);
    if (!sockets.ok()) core::log_printf("WSA Initialization failed.");
    const std::optional<std::uint32_t> address = platform::resolve_host(or_empty(host));
    if (!address) return code(HttpFailure::resolve);
    // Deliberate: a port the 16-bit field cannot carry is refused rather than cut, so a typo
    // never reaches some other port.
    if (port <= 0 || port > 0xffff) return code(HttpFailure::connect);
    int error = 0;
    std::optional<platform::TcpSocket> socket = platform::TcpSocket::connect(
        {*address, static_cast<std::uint16_t>(port)}, &error, limits.connect);
    if (!socket)
        return code(is_socket_creation_error(error) ? HttpFailure::socket : HttpFailure::connect);
    const auto send_deadline = std::chrono::steady_clock::now() + limits.send;

    const std::string head = format_head(
        or_empty(method), path_text, base64_encode(or_empty(credentials)), or_empty(extra_headers));
    if (!socket->send_all(
            std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size()),
            limits.send_stall, send_deadline))
        return code(HttpFailure::send_head);
    if (body_length < 0) return code(HttpFailure::send_body);
    if (body_length != 0 && body &&
        !socket->send_all(std::span(reinterpret_cast<const std::uint8_t*>(body),
                                    static_cast<std::size_t>(body_length)),
                          limits.send_stall, send_deadline))
        return code(HttpFailure::send_body);

    std::array<char, kStatusArea> line{};
    const int n = HttpReadLine(line, *socket, kStatusLineMax,
                               std::chrono::steady_clock::now() + limits.status_line);
    // The peer's line, up to its first NUL, with its control bytes made visible.
    std::fprintf(stderr, "%s\n", core::escape_controls(line.data()).c_str());
    if (n <= 0) {
        core::log_printf("Failed: Connect/Transfer Problem\n");
        return code(HttpFailure::no_status_line);
    }
    const std::optional<int> status = parse_status_line(line.data());
    if (!status) {
        core::log_printf("Failed: Response Problem\n");
        return code(HttpFailure::bad_status_line);
    }
    log_outcome(*status);
    return *status;
}

int HttpPut(const char* path, const char* body, int body_length, const char* host,
            const char* credentials, int port, bool overwrite, const char* content_type,
            const HttpLimits& limits) {
    std::array<char, kPutHeaderArea> extra{};
    const char* control = overwrite ? "Control: overwrite=1\r\n" : "";
    if (content_type)
        std::snprintf(extra.data(), extra.size(), "Content-length: %d\r\nContent-type: %.64s\r\n%s",
                      body_length, content_type, control);
    else
        std::snprintf(extra.data(), extra.size(), "Content-length: %d\r\n%s", body_length, control);
    return HttpQuery("PUT", host, credentials, path, port, extra.data(), body, body_length, limits);
}

}  // namespace web
