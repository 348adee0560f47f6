#include "update/exchange_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace update {

ExchangeBuffer::ExchangeBuffer(std::vector<WatchedText> watched, std::size_t keep_max)
    : keep_max_(keep_max) {
    for (const WatchedText& w : watched)
        if (!w.text.empty() && w.text.size() <= kWatchedTextMax) {
            Watch watch;
            watch.what = w;
            watches_.push_back(std::move(watch));
        }
}

void ExchangeBuffer::add(std::uint8_t byte) {
    const char c = static_cast<char>(byte);
    if (!cut_) {
        if (kept_.size() < keep_max_) {
            kept_.push_back(c);
        } else {
            cut_ = true;
            std::string().swap(kept_);  // gives the memory back, not just the size
        }
    }
    // Bytes behind a text seen earlier, up to its keep_after.
    for (Watch& w : watches_)
        if (w.seen && w.piece.size() < w.what.text.size() + w.what.keep_after) w.piece.push_back(c);

    if (recent_size_ == recent_.size()) {
        std::memmove(recent_.data(), recent_.data() + 1, recent_.size() - 1);
        --recent_size_;
    }
    recent_[recent_size_++] = c;
    const std::string_view recent(recent_.data(), recent_size_);
    for (Watch& w : watches_) {
        if (w.seen || c != w.what.text.back() || !recent.ends_with(w.what.text)) continue;
        w.seen = true;
        w.order = seen_count_++;
        w.piece.assign(w.what.text);
    }
}

void ExchangeBuffer::add(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) add(b);
}

void ExchangeBuffer::take(std::string& response) {
    if (!cut_) {
        response.append(kept_);
    } else {
        std::vector<const Watch*> seen;
        for (const Watch& w : watches_)
            if (w.seen) seen.push_back(&w);
        std::ranges::sort(seen, {}, &Watch::order);
        for (std::size_t i = 0; i < seen.size(); ++i) {
            if (i > 0) response.push_back(kPieceSeparator);
            response.append(seen[i]->piece);
        }
    }
    clear();
}

void ExchangeBuffer::clear() {
    kept_.clear();
    cut_ = false;
    seen_count_ = 0;
    recent_size_ = 0;
    for (Watch& w : watches_) {
        w.seen = false;
        w.piece.clear();
    }
}

std::size_t ExchangeBuffer::held() const {
    std::size_t n = kept_.size();
    for (const Watch& w : watches_) n += w.piece.size();
    return n;
}

std::size_t ExchangeBuffer::held_max() const {
    std::size_t n = keep_max_;
    for (const Watch& w : watches_) n += w.what.text.size() + w.what.keep_after;
    return n;
}

}  // namespace update
