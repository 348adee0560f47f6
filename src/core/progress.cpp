#include "core/progress.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace core {
namespace {

using Clock = std::chrono::steady_clock;

// The rate is taken over the last few seconds, so a stall shows within them.
constexpr std::chrono::seconds kRateWindow{3};

std::string firmware_text(const ActivitySnapshot& a) {
    return "Firmware update: " + (a.step.empty() ? std::string("connect") : a.step);
}

}  // namespace

Activity::Activity(std::uint64_t id, ActivityKind kind, std::string label)
    : id_(id), kind_(kind), label_(std::move(label)), started_(Clock::now()) {}

void Activity::set_step(std::string_view step) {
    std::lock_guard lock(text_mutex_);
    step_ = step;
}

void Activity::finish(bool succeeded, std::string_view outcome) {
    std::lock_guard lock(text_mutex_);
    if (state_.load(std::memory_order_relaxed) != ActivityState::running) return;
    outcome_ = outcome;
    ended_ = Clock::now();
    state_.store(succeeded ? ActivityState::succeeded : ActivityState::failed,
                 std::memory_order_release);
}

ActivitySnapshot Activity::snapshot() const {
    ActivitySnapshot s;
    s.id = id_;
    s.kind = kind_;
    s.label = label_;
    s.started = started_;
    s.done = done_.load(std::memory_order_relaxed);
    s.total = total_.load(std::memory_order_relaxed);
    s.bytes = bytes_.load(std::memory_order_relaxed);
    std::lock_guard lock(text_mutex_);
    s.state = state_.load(std::memory_order_relaxed);
    s.step = step_;
    s.outcome = outcome_;
    s.ended = ended_;
    return s;
}

std::shared_ptr<Activity> ProgressBoard::begin(ActivityKind kind, std::string label) {
    std::lock_guard lock(mutex_);
    // Nobody may be reading the board (the command line without a terminal): ended activities
    // leave it here too, so it never holds more than the running ones and a few.
    if (activities_.size() >= kSweepAt) sweep_locked(nullptr);
    auto a = std::make_shared<Activity>(next_id_++, kind, std::move(label));
    activities_.push_back(a);
    return a;
}

ProgressBoard::Snapshot ProgressBoard::snapshot() {
    Snapshot result;
    std::lock_guard lock(mutex_);
    sweep_locked(&result.running);
    result.last_ended = last_ended_;
    result.waiting = waiting_;
    return result;
}

void ProgressBoard::set_waiting(std::string text) {
    std::lock_guard lock(mutex_);
    waiting_ = std::move(text);
}

void ProgressBoard::sweep_locked(std::vector<ActivitySnapshot>* running) {
    if (running) running->reserve(activities_.size());
    for (auto it = activities_.begin(); it != activities_.end();) {
        const bool owned = it->use_count() > 1;
        if (!running && owned && !(*it)->finished()) {
            ++it;
            continue;
        }
        ActivitySnapshot s = (*it)->snapshot();
        if (s.state == ActivityState::running && owned) {
            running->push_back(std::move(s));
            ++it;
            continue;
        }
        // Ended, or its owner let it go without a word (a transfer dropped with its table).
        if (s.state == ActivityState::running) {
            s.state = ActivityState::failed;
            s.outcome = "stopped";
            s.ended = Clock::now();
        }
        if (!last_ended_ || s.ended >= last_ended_->ended) last_ended_ = std::move(s);
        it = activities_.erase(it);
    }
}

ProgressBoard& progress_board() {
    static ProgressBoard board;
    return board;
}

std::string format_rate(double bytes_per_second) {
    char text[32];
    if (bytes_per_second >= 1e6)
        std::snprintf(text, sizeof text, "%.1f MB/s", bytes_per_second / 1e6);
    else if (bytes_per_second >= 1e3)
        std::snprintf(text, sizeof text, "%.0f kB/s", bytes_per_second / 1e3);
    else
        std::snprintf(text, sizeof text, "%.0f B/s", bytes_per_second);
    return text;
}

std::string format_duration(std::chrono::seconds d) {
    const long long s = std::max<long long>(d.count(), 0);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

std::string describe_running(const ActivitySnapshot& a, double rate) {
    switch (a.kind) {
        case ActivityKind::firmware:
            return firmware_text(a);
        case ActivityKind::web: {
            std::string text = "Web pages: " + std::to_string(a.done);
            if (a.total != 0) text += " of " + std::to_string(a.total);
            return text;
        }
        case ActivityKind::tftp_read:
        case ActivityKind::tftp_write:
            break;
    }
    std::string text = a.label;
    if (!a.step.empty()) text += " (" + a.step + ")";  // a TFTP transfer's window
    if (a.total != 0) {
        text += ' ';
        text += std::to_string(std::min<std::uint64_t>(a.done * 100 / a.total, 100));
        text += " %";
    } else {
        text += ' ';
        text += std::to_string(a.done / 1024);
        text += " KiB";
    }
    if (rate >= 0) {
        text += ' ';
        text += format_rate(rate);
        if (a.total > a.done && rate > 0) {
            const auto left =
                static_cast<long long>(static_cast<double>(a.total - a.done) / rate + 0.5);
            text += ' ';
            text += format_duration(std::chrono::seconds(left));
            text += " left";
        }
    }
    return text;
}

std::string describe_ended(const ActivitySnapshot& a) {
    switch (a.kind) {
        case ActivityKind::firmware:
            return "Firmware update: " + a.outcome;
        case ActivityKind::web:
            return "Web pages: " + a.outcome;
        case ActivityKind::tftp_read:
        case ActivityKind::tftp_write:
            break;
    }
    return a.label + ": " + a.outcome;
}

ProgressView ProgressMeter::poll(Clock::time_point now) {
    const ProgressBoard::Snapshot board = board_.snapshot();
    ProgressView view;
    if (board.running.empty()) {
        samples_.clear();
        tracked_id_ = 0;
        if (board.last_ended) {
            view.text = describe_ended(*board.last_ended);
            view.percent = board.last_ended->state == ActivityState::succeeded ? 100 : -1;
        }
        if (!board.waiting.empty()) view.text += (view.text.empty() ? "" : "; ") + board.waiting;
        return view;
    }

    const ActivitySnapshot& newest = board.running.back();
    if (newest.id != tracked_id_) {
        tracked_id_ = newest.id;
        samples_.clear();
        samples_.push_back({newest.started, 0});
    }
    samples_.push_back({now, newest.done});
    while (samples_.size() > 2 && now - samples_[1].at >= kRateWindow) samples_.pop_front();

    double rate = -1;
    const Sample& first = samples_.front();
    const auto span = std::chrono::duration<double>(now - first.at).count();
    if (span >= 0.5 && newest.done >= first.done)
        rate = static_cast<double>(newest.done - first.done) / span;

    view.active = true;
    if (newest.total != 0)
        view.percent =
            static_cast<int>(std::min<std::uint64_t>(newest.done * 100 / newest.total, 100));
    const bool counts_bytes =
        newest.kind == ActivityKind::tftp_read || newest.kind == ActivityKind::tftp_write;
    view.text = describe_running(newest, counts_bytes ? rate : -1);
    if (board.running.size() > 1)
        view.text += " (+" + std::to_string(board.running.size() - 1) + " more)";
    return view;
}

}  // namespace core
