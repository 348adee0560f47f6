// The event log: the tool's one report channel. Every subsystem, on every thread, appends text
// with log_printf; the log adds nothing (no time stamp, prefix or line end), so callers build a
// visible line from several calls and write their own "\n". Where the text goes is a sink chosen
// by the front-end: standard output for the command line, the log pane in the dialog, a capture
// buffer in tests. Before a sink is set, text is dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace core {

// Formatting capacity of one call: longer texts are cut to this many characters.
inline constexpr std::size_t kLogTextMax = 4998;

// A destination for log text. write() is called with one call's whole text, one call at a
// time and in the order of the calls; it must return quickly (queue, never wait on a busy UI).
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(std::string_view text) = 0;
};

// Replaces the sink (nullptr drops text from now on). Safe from any thread.
void set_log_sink(std::shared_ptr<LogSink> sink);

// Appends the formatted text to the log; always returns 0.
int log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same; the stream argument is ignored (it exists for code written against streams).
int log_fprintf(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes each text to standard output as it is, flushed after every call.
class StdoutLogSink : public LogSink {
public:
    void write(std::string_view text) override;
};

// Keeps everything written, for tests.
class CaptureLogSink : public LogSink {
public:
    void write(std::string_view text) override;
    std::string text() const;
    void clear();
    // Waits until the captured text contains `needle`; false on time-out.
    bool wait_for(std::string_view needle, std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string text_;
};

// The diagnostic trace: off unless the user asks for it, then written to standard error.
void set_trace_enabled(bool on);
bool trace_enabled();
void trace_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace core
