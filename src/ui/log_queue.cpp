#include "ui/log_queue.h"

#include <algorithm>

namespace ui {
namespace {

// True when byte c continues a UTF-8 sequence.
bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

void LogQueue::write(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (!post_ || text.empty()) return;
    pending_.append(text);
    if (request_posted_) return;
    request_posted_ = true;
    // Posting under the lock keeps detach() from letting the pane go while the request is on
    // its way in.
    post_();
}

void LogQueue::take_all(std::string* into) {
    std::lock_guard lock(mutex_);
    into->swap(pending_);
}

bool LogQueue::finish() {
    std::lock_guard lock(mutex_);
    if (!pending_.empty()) return false;
    request_posted_ = false;
    return true;
}

void LogQueue::discard() {
    {
        std::lock_guard lock(mutex_);
        pending_.clear();
        // A request or paced turn still on its way finds nothing and ends quietly; the text
        // after the emptying must not wait for it.
        request_posted_ = false;
    }
    backlog_.clear();
    backlog_done_ = 0;
}

LogQueue::Turn LogQueue::append_turn(const std::function<void(std::string_view)>& append) {
    const auto start = std::chrono::steady_clock::now();
    bool appended = false;
    for (;;) {
        if (backlog_done_ == backlog_.size()) {
            backlog_.clear();
            backlog_done_ = 0;
            take_all(&backlog_);
            if (backlog_.empty()) {
                // More may follow what was just appended: look again after the pace, and
                // meanwhile let the writers queue without posting.
                if (appended) {
                    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start);
                    pace_ = std::clamp(took * kPaceFactor, kPaceInterval, kPaceMax);
                    return Turn::paced;
                }
                if (finish()) return Turn::idle;
                continue;  // written between the take and the finish
            }
        }
        // Text is left: the turn goes on while it has time (a single append that overran it
        // still ends the turn as caught up, above, when nothing more came).
        if (appended && std::chrono::steady_clock::now() - start >= kTurnBudget) return Turn::again;
        const std::string_view rest = std::string_view(backlog_).substr(backlog_done_);
        const std::size_t length = batch_length(rest, kBatchBytes);
        append(rest.substr(0, length));
        appended = true;
        backlog_done_ += length;
    }
}

void LogQueue::append_all(const std::function<void(std::string_view)>& append) {
    std::string more;
    take_all(&more);
    append(std::string_view(backlog_).substr(backlog_done_));
    backlog_.clear();
    backlog_done_ = 0;
    append(more);
}

void LogQueue::detach() {
    std::lock_guard lock(mutex_);
    post_ = nullptr;
    pending_.clear();
}

std::size_t LogQueue::batch_length(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text.size();
    if (max_bytes == 0) return 0;
    const std::size_t line_end = text.rfind('\n', max_bytes - 1);
    if (line_end != std::string_view::npos) return line_end + 1;
    std::size_t cut = max_bytes;
    while (cut > 0 && is_continuation(text[cut])) --cut;
    return cut > 0 ? cut : max_bytes;  // not UTF-8 after all: any cut will do
}

}  // namespace ui
