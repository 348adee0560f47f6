#include "app/progress_line.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "core/progress.h"
#include "platform/file.h"

namespace app {

struct ProgressLine::State : core::StdoutLogSink::Neighbour {
    std::FILE* out;
    LineClearing clearing;
    bool shares_terminal;
    core::ProgressMeter meter;

    std::mutex mutex;
    std::unique_lock<std::mutex> writing{mutex, std::defer_lock};  // held by the log's writer
    std::condition_variable wake;
    bool stopping = false;        // guarded by mutex
    std::string tail;             // guarded by mutex: the end of the log's unfinished line
    std::size_t tail_length = 0;  // guarded by mutex: that line's whole length
    std::string drawn;            // guarded by mutex: what the line shows now, tail included
    std::thread drawer;

    State(std::FILE* stream, LineClearing how)
        : out(stream), clearing(how), shares_terminal(platform::same_terminal(stdout, stream)) {}

    // The part of the unfinished log line on the terminal's last row.
    std::string visible_tail(std::size_t columns) const {
        const std::size_t n = std::min(tail_length % columns, tail.size());
        return tail.substr(tail.size() - n);
    }

    void erase() {
        if (drawn.empty()) return;
        const std::string restore =
            clearing == LineClearing::sequence
                ? "\r\x1b[K" + visible_tail(columns())
                : "\r" + std::string(drawn.size(), ' ') + "\r" + visible_tail(columns());
        std::fputs(restore.c_str(), out);
        std::fflush(out);
        drawn.clear();
    }

    std::size_t columns() const {
        const int c = platform::terminal_columns(out);
        return c > 0 ? static_cast<std::size_t>(c) : 80;
    }

    void draw() {
        const core::ProgressView view = meter.poll();
        const std::size_t width = columns();
        std::string line = visible_tail(width);
        if (!line.empty()) line += "  ";
        // One column stays free, so the line never wraps.
        if (view.text.empty() || line.size() + 10 >= width) {
            erase();
            return;
        }
        line += core::escape_controls(view.text).substr(0, width - 1 - line.size());
        if (line == drawn) return;
        if (clearing == LineClearing::sequence) {
            std::fputs(("\r\x1b[K" + line).c_str(), out);
        } else {
            // Blanks over the rest of the longer line drawn before, then back to the text's end.
            const std::size_t rest = drawn.size() > line.size() ? drawn.size() - line.size() : 0;
            std::fputs(("\r" + line + std::string(rest, ' ') + std::string(rest, '\b')).c_str(),
                       out);
        }
        std::fflush(out);
        drawn = std::move(line);
    }

    void run() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            draw();
            wake.wait_for(lock, std::chrono::milliseconds(100));
        }
        erase();
    }

    void before_write(std::string_view batch) override {
        writing.lock();
        erase();
        const std::size_t line_end = batch.rfind('\n');
        if (line_end != std::string_view::npos) {
            tail.clear();
            tail_length = 0;
            batch.remove_prefix(line_end + 1);
        }
        tail.append(batch);
        tail_length += batch.size();
        constexpr std::size_t kTailKept = 1024;  // wider than any terminal row
        if (tail.size() > kTailKept) tail.erase(0, tail.size() - kTailKept);
    }

    void after_write() override { writing.unlock(); }
};

ProgressLine::ProgressLine(std::FILE* out)
    : ProgressLine(out, platform::is_terminal(out) && !platform::enable_terminal_sequences(out)
                            ? LineClearing::blanks
                            : LineClearing::sequence) {}

ProgressLine::ProgressLine(std::FILE* out, LineClearing clearing)
    : state_(std::make_shared<State>(out, clearing)) {
    if (!platform::is_terminal(out)) return;
    state_->drawer = std::thread([state = state_.get()] { state->run(); });
}

void ProgressLine::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (state_->drawer.joinable()) state_->drawer.join();
}

std::shared_ptr<core::LogSink> ProgressLine::log_sink() const {
    if (!state_->drawer.joinable() || !state_->shares_terminal)
        return std::make_shared<core::StdoutLogSink>();
    return std::make_shared<core::StdoutLogSink>(stdout, core::kLogBacklogMax, state_);
}

}  // namespace app
