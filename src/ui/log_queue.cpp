#include "ui/log_queue.h"

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
    }
    backlog_.clear();
    backlog_done_ = 0;
}

bool LogQueue::append_turn(const std::function<void(std::string_view)>& append) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (backlog_done_ == backlog_.size()) {
            backlog_.clear();
            backlog_done_ = 0;
            take_all(&backlog_);
            if (backlog_.empty() && finish()) return true;
        }
        const std::string_view rest = std::string_view(backlog_).substr(backlog_done_);
        const std::size_t length = batch_length(rest, kBatchBytes);
        append(rest.substr(0, length));
        backlog_done_ += length;
        if (std::chrono::steady_clock::now() - start >= kTurnBudget) return false;
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
