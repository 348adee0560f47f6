// Progress: what runs right now and how far it got. Each TFTP transfer, firmware job and web job
// holds an Activity and bumps its counters as it goes; front-ends read a snapshot of the board at
// their own pace (about ten times a second) and never hold up the thread doing the work: the
// byte counter is one relaxed atomic store, and texts are set only when a step changes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace core {

enum class ActivityKind : std::uint8_t { tftp_read, tftp_write, firmware, web };
enum class ActivityState : std::uint8_t { running, succeeded, failed };

struct ActivitySnapshot {
    std::uint64_t id = 0;  // unique in the process, rising
    ActivityKind kind = ActivityKind::tftp_read;
    ActivityState state = ActivityState::running;
    std::string label;        // "192.168.1.50:1234 zorva.bin", "192.168.1.50"
    std::string step;         // firmware: "login", "version check (3.20)"; TFTP: "window 16"
    std::string outcome;      // once ended: what happened, as the front-end may show it
    std::uint64_t done = 0;   // bytes (TFTP), files (web), steps (firmware)
    std::uint64_t total = 0;  // the same unit; 0 when not known
    std::uint64_t bytes = 0;  // web: bytes of the files sent so far
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point ended;  // valid once state is not running
};

// The counters of one activity. One thread does the work and writes; any thread reads.
class Activity {
public:
    Activity(std::uint64_t id, ActivityKind kind, std::string label);

    void set_done(std::uint64_t done) { done_.store(done, std::memory_order_relaxed); }
    void add_done(std::uint64_t n) { set_done(done_.load(std::memory_order_relaxed) + n); }
    void set_total(std::uint64_t total) { total_.store(total, std::memory_order_relaxed); }
    void add_bytes(std::uint64_t n) {
        bytes_.store(bytes_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    void set_step(std::string_view step);
    // The end; later calls change nothing.
    void finish(bool succeeded, std::string_view outcome);
    bool finished() const {
        return state_.load(std::memory_order_acquire) != ActivityState::running;
    }

    ActivitySnapshot snapshot() const;

private:
    const std::uint64_t id_;
    const ActivityKind kind_;
    const std::string label_;
    const std::chrono::steady_clock::time_point started_;
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> total_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<ActivityState> state_{ActivityState::running};
    mutable std::mutex text_mutex_;  // guards the two texts and `ended_`
    std::string step_;
    std::string outcome_;
    std::chrono::steady_clock::time_point ended_;
};

// Every activity that runs, and the one that ended last.
class ProgressBoard {
public:
    std::shared_ptr<Activity> begin(ActivityKind kind, std::string label);
    // The running activities, oldest first, and the last that ended (if any). Ended activities
    // leave the board here.
    struct Snapshot {
        std::vector<ActivitySnapshot> running;
        std::optional<ActivitySnapshot> last_ended;
        std::string waiting;  // see set_waiting
    };
    Snapshot snapshot();

    // What a service waits for before it can do its part ("Waiting for the controller's network
    // 192.168.1.0/24"); shown while nothing runs, after the last outcome. Empty: nothing.
    void set_waiting(std::string text);

private:
    static constexpr std::size_t kSweepAt = 64;
    // Takes ended activities off the board; collects the running ones when asked to.
    void sweep_locked(std::vector<ActivitySnapshot>* running);

    std::mutex mutex_;
    std::uint64_t next_id_ = 1;
    std::deque<std::shared_ptr<Activity>> activities_;
    std::optional<ActivitySnapshot> last_ended_;
    std::string waiting_;
};

// The process's board.
ProgressBoard& progress_board();

// What a front-end shows: one line and a bar, made from the board's snapshots. It keeps the
// last few seconds of each activity's byte counter for the rate and the time left.
struct ProgressView {
    bool active = false;  // something runs
    int percent = -1;     // the newest activity's progress, -1 when unknown
    std::string text;     // "192.168.1.50:1234 zorva.bin 42 % 1.2 MB/s 0:03 left (+2 more)"
};

class ProgressMeter {
public:
    explicit ProgressMeter(ProgressBoard& board = progress_board()) : board_(board) {}
    ProgressView poll(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

private:
    struct Sample {
        std::chrono::steady_clock::time_point at;
        std::uint64_t done;
    };
    ProgressBoard& board_;
    std::uint64_t tracked_id_ = 0;
    std::deque<Sample> samples_;
};

// The texts of the view, apart from the meter (tests). `rate` is bytes per second, negative
// while not known.
std::string describe_running(const ActivitySnapshot& a, double rate);
std::string describe_ended(const ActivitySnapshot& a);
// "1.2 MB/s", "850 kB/s", "90 B/s"; "0:03", "1:02:03".
std::string format_rate(double bytes_per_second);
std::string format_duration(std::chrono::seconds d);

}  // namespace core
