#include "core/event_log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>

namespace core {
namespace {

// One lock orders every write, so texts reach the sink whole and in the order of the calls.
std::mutex g_sink_mutex;
std::shared_ptr<LogSink> g_sink;
std::atomic<bool> g_trace{false};

void log_vprintf(const char* format, std::va_list args) {
    char buffer[kLogTextMax + 2]{};  // 4998 characters, the terminator and one spare zero
    const int n = std::vsnprintf(buffer, kLogTextMax + 1, format, args);
    if (n < 0) return;
    const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(n), kLogTextMax);
    std::lock_guard lock(g_sink_mutex);
    if (g_sink) g_sink->write(std::string_view(buffer, length));
}

}  // namespace

void set_log_sink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(g_sink_mutex);
    g_sink = std::move(sink);
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

void StdoutLogSink::write(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
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

void set_trace_enabled(bool on) { g_trace = on; }
bool trace_enabled() { return g_trace; }

void trace_printf(const char* format, ...) {
    if (!g_trace) return;
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

}  // namespace core
