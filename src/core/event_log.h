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

// printf-style checks of the log calls' formats: C99 formats (%zu) are checked as such also with
// MinGW, whose plain printf archetype is msvcrt's; clang knows only the plain one.
#if defined(__MINGW32__)
#define KESTROM_PRINTF(format_index, first_arg) \
    __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define KESTROM_PRINTF(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))
#endif

namespace core {

// Formatting capacity of one call: longer texts are cut to this many characters.
inline constexpr std::size_t kLogTextMax = 4998;

// A destination for log text. write() is called with one call's whole text, one call at a
// time and in the order of the calls; it must return quickly (queue, never wait on a busy UI or
// a stalled reader).
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(std::string_view text) = 0;
    // Waits until everything written so far has been passed on; for the end of a command.
    virtual void flush() {}
};

// Replaces the sink (nullptr drops text from now on). Safe from any thread. The old sink is
// released outside the log's lock, so a sink that drains on release never holds up a writer.
void set_log_sink(std::shared_ptr<LogSink> sink);

// Flushes the current sink (see LogSink::flush).
void flush_log();

// Takes what the calling thread logs while it lives, instead of the sink (or as well, with
// pass_on): a job that runs beside others of its kind (a site's controllers, loaded at once)
// keeps its own lines apart, to tell why a step failed. Keeps the last kLogTextMax * 4 bytes.
class ThreadLogCapture {
public:
    explicit ThreadLogCapture(bool pass_on = false);
    ~ThreadLogCapture();
    ThreadLogCapture(const ThreadLogCapture&) = delete;
    ThreadLogCapture& operator=(const ThreadLogCapture&) = delete;

    const std::string& text() const { return text_; }
    // The last line that holds more than blanks, without its line end; "" when none.
    std::string last_line() const;
    void clear() { text_.clear(); }

private:
    friend void append_captured(std::string_view text, bool* pass_on);
    std::string text_;
    bool pass_on_;
    ThreadLogCapture* outer_;
};

// Appends the formatted text to the log; always returns 0.
int log_printf(const char* format, ...) KESTROM_PRINTF(1, 2);
// The same; the stream argument is ignored (it exists for code written against streams).
int log_fprintf(std::FILE* stream, const char* format, ...) KESTROM_PRINTF(2, 3);

// Text from outside (a peer, a controller, another process) made harmless for a terminal: each
// byte below 0x20 but tab, 0x7F, and each C1 control, whether written as the code points
// U+0080..U+009F (bytes C2 80..C2 9F) or as a byte 0x80..0x9F that belongs to no valid UTF-8
// sequence, is written as "\xNN" with two upper-case hex digits per byte. Valid UTF-8 and every
// other byte stay as they are; with keep_line_feeds, so does "\n".
std::string escape_controls(std::string_view text, bool keep_line_feeds = false);

// How much text a stream sink holds for a reader that does not keep up.
inline constexpr std::size_t kLogBacklogMax = 1024 * 1024;

// Writes each text to a stream (standard output unless told otherwise), flushed after
// every batch, from a thread of its own: a reader that stalls (`kestrom serve | less`, a full
// pipe) never holds up a service or a job. What does not fit a backlog of backlog_max bytes is
// dropped; once the reader takes text again, one line in the stream says how much:
//   "\n[kestrom: %zu bytes of log dropped: the output was not read in time]\n"
// Releasing the sink passes on the backlog first. Texts carry what peers sent (a TFTP client's
// file name and error text), so each passes through escape_controls with its line feeds kept:
// the tool's own texts hold no other control byte and reach the stream unchanged. (A line feed
// inside a peer's text therefore stays a line break: it starts a line and drives nothing else.)
class StdoutLogSink : public LogSink {
public:
    // Something else that draws on the same terminal (a progress line): told about each batch
    // on the writer thread, before it is written and after.
    class Neighbour {
    public:
        virtual ~Neighbour() = default;
        virtual void before_write(std::string_view batch) = 0;
        virtual void after_write() = 0;
    };

    explicit StdoutLogSink(std::FILE* stream = stdout, std::size_t backlog_max = kLogBacklogMax,
                           std::shared_ptr<Neighbour> neighbour = nullptr);
    ~StdoutLogSink() override;
    StdoutLogSink(const StdoutLogSink&) = delete;
    StdoutLogSink& operator=(const StdoutLogSink&) = delete;

    void write(std::string_view text) override;
    void flush() override;

private:
    struct State;
    std::unique_ptr<State> state_;
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
void trace_printf(const char* format, ...) KESTROM_PRINTF(1, 2);

}  // namespace core
