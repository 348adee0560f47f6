#include "core/event_log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <thread>

namespace core {

// The calling thread's capture takes the text; *pass_on tells whether the sink gets it too.
void append_captured(std::string_view text, bool* pass_on);

namespace {

// One lock orders every write, so texts reach the sink whole and in the order of the calls.
std::mutex g_sink_mutex;
std::shared_ptr<LogSink> g_sink;
std::atomic<bool> g_trace{false};
thread_local ThreadLogCapture* t_capture = nullptr;

void log_vprintf(const char* format, std::va_list args) {
    char buffer[kLogTextMax + 2]{};  // 4998 characters, the terminator and one spare zero
    const int n = std::vsnprintf(buffer, kLogTextMax + 1, format, args);
    if (n < 0) return;
    const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(n), kLogTextMax);
    bool pass_on = true;
    append_captured(std::string_view(buffer, length), &pass_on);
    if (!pass_on) return;
    std::lock_guard lock(g_sink_mutex);
    if (g_sink) g_sink->write(std::string_view(buffer, length));
}

// The length of the valid UTF-8 sequence (RFC 3629) that text starts with; 0 when none does.
std::size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range, narrower after some leads
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong form
        if (lead == 0xED) high = 0x9F;  // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong form
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string escape_controls(std::string_view text, bool keep_line_feeds) {
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned char c) {
        constexpr char kHex[] = "0123456789ABCDEF";
        const char code[] = {'\\', 'x', kHex[c >> 4], kHex[c & 0x0F]};
        out.append(code, sizeof code);
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8_sequence_length(text.substr(i));
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            escape(c);  // U+0080..U+009F
            escape(static_cast<unsigned char>(text[i + 1]));
        } else if (length > 1) {
            out.append(text.substr(i, length));
        } else if (c == '\n' ? !keep_line_feeds
                             : (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F)) {
            escape(c);  // a control byte, or one 0x80..0x9F outside any UTF-8 sequence
        } else {
            out += static_cast<char>(c);
        }
        i += std::max<std::size_t>(length, 1);
    }
    return out;
}

void append_captured(std::string_view text, bool* pass_on) {
    ThreadLogCapture* capture = t_capture;
    if (capture == nullptr) return;
    constexpr std::size_t kKeep = kLogTextMax * 4;
    capture->text_.append(text);
    if (capture->text_.size() > kKeep) capture->text_.erase(0, capture->text_.size() - kKeep);
    *pass_on = capture->pass_on_;
}

ThreadLogCapture::ThreadLogCapture(bool pass_on) : pass_on_(pass_on), outer_(t_capture) {
    t_capture = this;
}

ThreadLogCapture::~ThreadLogCapture() {
    t_capture = outer_;
}

std::string ThreadLogCapture::last_line() const {
    std::string_view rest = text_;
    while (!rest.empty()) {
        while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.remove_suffix(1);
        const std::size_t start = rest.rfind('\n');
        std::string_view line = start == std::string_view::npos ? rest : rest.substr(start + 1);
        if (line.find_first_not_of(" \t\r") != std::string_view::npos) return std::string(line);
        rest.remove_suffix(line.size());
    }
    return {};
}

void set_log_sink(std::shared_ptr<LogSink> sink) {
    {
        std::lock_guard lock(g_sink_mutex);
        g_sink.swap(sink);
    }
    // `sink` now holds the old one; it is released here, outside the lock.
}

void flush_log() {
    std::shared_ptr<LogSink> sink;
    {
        std::lock_guard lock(g_sink_mutex);
        sink = g_sink;
    }
    if (sink) sink->flush();
}

int log_printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    log_vprintf(format, args);
    va_end(args);
    return 0;
}

int log_fprintf(std::FILE* /*stream*/, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    log_vprintf(format, args);
    va_end(args);
    return 0;
}

struct StdoutLogSink::State {
    std::FILE* stream;
    std::size_t backlog_max;
    std::shared_ptr<Neighbour> neighbour;

    std::mutex mutex;
    std::condition_variable changed;
    std::string backlog;      // guarded by mutex: accepted, not yet taken by the writer
    std::size_t dropped = 0;  // guarded by mutex: bytes dropped since the last report
    bool writing = false;     // guarded by mutex: the writer holds a batch
    bool ending = false;      // guarded by mutex: the sink is being released
    std::thread writer;       // last: started once the members it uses exist

    State(std::FILE* s, std::size_t max, std::shared_ptr<Neighbour> n)
        : stream(s), backlog_max(max), neighbour(std::move(n)) {}

    // The report of dropped text goes into the backlog where the gap is.
    void report_dropped() {
        char line[128];
        const int n = std::snprintf(
            line, sizeof line,
            "\n[kestrom: %zu bytes of log dropped: the output was not read in time]\n", dropped);
        backlog.append(line, static_cast<std::size_t>(std::max(n, 0)));
        dropped = 0;
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !backlog.empty() || dropped != 0 || ending; });
            // Everything was taken: the reader is back, so the gap can be reported.
            if (backlog.empty() && dropped != 0) report_dropped();
            if (backlog.empty()) return;  // ending, and nothing left to pass on
            std::string batch;
            batch.swap(backlog);
            writing = true;
            lock.unlock();
            if (neighbour) neighbour->before_write(batch);
            std::fwrite(batch.data(), 1, batch.size(), stream);  // may wait on the reader
            std::fflush(stream);
            if (neighbour) neighbour->after_write();
            lock.lock();
            writing = false;
            changed.notify_all();
        }
    }
};

StdoutLogSink::StdoutLogSink(std::FILE* stream, std::size_t backlog_max,
                             std::shared_ptr<Neighbour> neighbour)
    : state_(std::make_unique<State>(stream, backlog_max, std::move(neighbour))) {
    state_->writer = std::thread([state = state_.get()] { state->run(); });
}

StdoutLogSink::~StdoutLogSink() {
    {
        std::lock_guard lock(state_->mutex);
        state_->ending = true;
    }
    state_->changed.notify_all();
    state_->writer.join();
}

void StdoutLogSink::write(std::string_view text) {
    const std::string safe = escape_controls(text, /*keep_line_feeds=*/true);
    {
        std::lock_guard lock(state_->mutex);
        State& s = *state_;
        if (s.backlog.size() + safe.size() > s.backlog_max) {
            s.dropped += safe.size();
            return;
        }
        if (s.dropped != 0) s.report_dropped();
        s.backlog.append(safe);
    }
    state_->changed.notify_all();
}

void StdoutLogSink::flush() {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] {
        return state_->backlog.empty() && state_->dropped == 0 && !state_->writing;
    });
}

void CaptureLogSink::write(std::string_view text) {
    {
        std::lock_guard lock(mutex_);
        text_.append(text);
    }
    changed_.notify_all();
}

std::string CaptureLogSink::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

void CaptureLogSink::clear() {
    std::lock_guard lock(mutex_);
    text_.clear();
}

bool CaptureLogSink::wait_for(std::string_view needle, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return text_.find(needle) != std::string::npos; });
}

void set_trace_enabled(bool on) {
    g_trace = on;
}
bool trace_enabled() {
    return g_trace;
}

void trace_printf(const char* format, ...) {
    if (!g_trace) return;
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

}  // namespace core
