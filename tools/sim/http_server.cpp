#include "http_server.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <system_error>

namespace sim {
namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kHttpDrainMax = 1024 * 1024;
constexpr std::chrono::milliseconds kHttpLinger{500};
constexpr std::string_view kFormatPath = "format.dat";

bool iequals(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string_view reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 411:
            return "Length Required";
        case 413:
            return "Payload Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// The end of the head: the offset just behind its empty line, or npos.
std::size_t head_end(std::string_view data) {
    const std::size_t crlf = data.find("\r\n\r\n");
    return crlf == std::string_view::npos ? crlf : crlf + 4;
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 63];
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (left == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool safe_store_path(std::string_view path) {
    if (path.empty()) return false;
    for (const char c : path)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view part = path.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

std::optional<ParsedHead> parse_http_head(std::string_view head) {
    ParsedHead parsed;
    bool first = true;
    while (!head.empty()) {
        std::size_t eol = head.find('\n');
        if (eol == std::string_view::npos) eol = head.size();
        const std::string_view raw = head.substr(0, eol);
        head.remove_prefix(std::min(head.size(), eol + 1));
        const std::string_view line =
            !raw.empty() && raw.back() == '\r' ? raw.substr(0, raw.size() - 1) : raw;
        if (first) {
            first = false;
            const std::size_t a = line.find(' ');
            const std::size_t b = a == std::string_view::npos ? a : line.find(' ', a + 1);
            if (b == std::string_view::npos || line.find(' ', b + 1) != std::string_view::npos)
                return std::nullopt;
            parsed.method = line.substr(0, a);
            parsed.target = line.substr(a + 1, b - a - 1);
            parsed.version = line.substr(b + 1);
            if (parsed.method.empty() || !parsed.version.starts_with("HTTP/")) return std::nullopt;
            continue;
        }
        if (line.empty()) break;  // the empty line ends the head
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return std::nullopt;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trim(line.substr(colon + 1));
        if (iequals(name, "Authorization")) {
            parsed.authorization = value;
        } else if (iequals(name, "Content-length")) {
            long long n = -1;
            const auto r = std::from_chars(value.data(), value.data() + value.size(), n);
            if (r.ec != std::errc{} || r.ptr != value.data() + value.size() || n < 0)
                parsed.bad_length = true;
            else
                parsed.content_length = n;
        }
    }
    if (first) return std::nullopt;
    return parsed;
}

std::unique_ptr<HttpServer> HttpServer::start(HttpOptions options, std::string* error) {
    platform::BindError bind_error = platform::BindError::none;
    int error_number = 0;
    auto listener =
        platform::TcpListener::listen(options.address, options.port, &bind_error, &error_number);
    if (!listener) {
        if (error) *error = platform::error_text(error_number);
        return nullptr;
    }
    if (!options.www.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options.www, ec);
        if (ec) {
            if (error) *error = options.www.string() + ": " + ec.message();
            return nullptr;
        }
    }
    return std::unique_ptr<HttpServer>(new HttpServer(std::move(options), std::move(*listener)));
}

HttpServer::HttpServer(HttpOptions options, platform::TcpListener listener)
    : options_(std::move(options)),
      listener_(std::move(listener)),
      port_(listener_.local_endpoint().port),
      thread_([this] { serve(); }) {}

HttpServer::~HttpServer() {
    stop_.request();
    thread_.join();
}

void HttpServer::report(const std::string& text) const {
    if (options_.report) options_.report(text);
}

void HttpServer::serve() {
    accept_until_stopped(listener_, stop_, [this](platform::TcpSocket& socket) { handle(socket); });
}

void HttpServer::stream(const platform::TcpSocket& socket, std::string_view bytes,
                        std::size_t count) {
    for (std::size_t i = 0; count == 0 || i < count; ++i)
        if (stop_.requested() || !socket.send_all(bytes)) return;
}

void HttpServer::handle(platform::TcpSocket& socket) {
    if (options_.never_read) {
        report("connection held, never read");
        (void)stop_.sleep_for(kHttpHoldMax);
        return;
    }
    std::string data;
    std::array<std::uint8_t, kReadChunk> buffer{};
    // One more chunk of the request; false when the peer closed, went idle or we stop.
    const auto read_more = [&]() {
        const auto ready = socket.wait_readable(kHttpIdleTimeout, &stop_.waker());
        if (ready != platform::WaitResult::readable) return false;
        const int n = socket.receive(buffer);
        if (n <= 0) return false;
        data.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
        return true;
    };
    const auto answer = [&](int status) {
        std::string text = "HTTP/1.0 " + std::to_string(status) + " " +
                           std::string(reason(status)) + "\r\nServer: ZorvaController\r\n";
        if (status == 401) text += "WWW-Authenticate: Basic realm=\"ZorvaController\"\r\n";
        if (options_.endless_status) {
            stream(socket, "HTTP/1.0 200 OK", 1);
            return stream(socket, std::string(kReadChunk, 'x'), 0);
        }
        if (options_.huge_header > 0) {
            (void)socket.send_all(text);
            const std::string filler = "X-Filler: " + std::string(kReadChunk - 12, 'x') + "\r\n";
            stream(socket, filler, options_.huge_header / filler.size() + 1);
            text.clear();
        }
        text += "Content-Length: 0\r\n\r\n";
        (void)socket.send_all(text);  // a peer that left early misses its answer; nothing to do
        // Lingering close: closing with unread input would reset the connection and could
        // destroy the answer before the peer read it, so take what is still coming first.
        std::size_t drained = 0;
        while (drained < kHttpDrainMax && socket.wait_readable(kHttpLinger, &stop_.waker()) ==
                                              platform::WaitResult::readable) {
            const int n = socket.receive(buffer);
            if (n <= 0) break;
            drained += static_cast<std::size_t>(n);
        }
    };

    std::size_t end = head_end(data);
    while (end == std::string::npos) {
        if (data.size() > kHttpHeadMax) return answer(400);
        if (!read_more()) return;
        end = head_end(data);
    }
    if (end > kHttpHeadMax) return answer(400);

    HttpRequestRecord request;
    request.head = data.substr(0, end);
    request.request_line = request.head.substr(0, request.head.find("\r\n"));
    const auto head = parse_http_head(request.head);
    int status = 0;
    if (!head || head->bad_length) {
        status = 400;
    } else if (head->content_length > static_cast<long long>(kHttpBodyMax)) {
        status = 413;
    } else {
        request.method = head->method;
        request.path = head->target.starts_with('/') ? head->target.substr(1) : head->target;
        request.authorization = head->authorization;
        const std::size_t length =
            head->content_length < 0 ? 0 : static_cast<std::size_t>(head->content_length);
        while (data.size() - end < length) {
            if (options_.reset_mid_body && data.size() - end >= length / 2) {
                report(request.request_line + ": reset in the middle of the body");
                return socket.abort();
            }
            if (!read_more()) return;
        }
        request.body = data.substr(end, length);
        status = respond_to(request, *head);
    }
    request.status = status;
    report(request.request_line + " (" + std::to_string(request.body.size()) + " bytes) -> " +
           std::to_string(status));
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
    }
    changed_.notify_all();
    answer(status);
}

int HttpServer::respond_to(HttpRequestRecord& request, const ParsedHead& head) {
    if (options_.forced_status != 0) return options_.forced_status;
    if (request.method != "PUT") return 501;
    if (request.authorization != "Basic " + base64_encode(options_.login + ":" + options_.password))
        return 401;
    if (head.content_length < 0) return 411;
    if (!head.target.starts_with('/')) return 400;
    if (request.path == kFormatPath) {
        erase_all();
        return 200;
    }
    if (!safe_store_path(request.path)) return 400;
    return store(request.path, request.body);
}

int HttpServer::store(const std::string& path, const std::string& body) {
    if (!options_.www.empty()) {
        const std::filesystem::path target = options_.www / path;
        std::error_code ec;
        std::filesystem::create_directories(target.parent_path(), ec);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(body.data(), static_cast<std::streamsize>(body.size()));
        if (!out) return 500;
    }
    std::lock_guard lock(mutex_);
    files_[path] = body;
    return 200;
}

void HttpServer::erase_all() {
    if (!options_.www.empty()) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(options_.www, ec))
            std::filesystem::remove_all(entry.path(), ec);
    }
    std::lock_guard lock(mutex_);
    files_.clear();
}

std::vector<HttpRequestRecord> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::map<std::string, std::string> HttpServer::files() const {
    std::lock_guard lock(mutex_);
    return files_;
}

bool HttpServer::wait_requests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

}  // namespace sim
