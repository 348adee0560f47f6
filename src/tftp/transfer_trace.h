// What one transfer tells the world beyond its log lines: its progress on the board, and one
// load-report record when it ends, with the options in force, the blocks and bytes, the time
// taken and the SHA-256 of the bytes served or received. Per block it costs one relaxed store;
// the digest is computed only while a report is being recorded.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/progress.h"
#include "core/sha256.h"

namespace tftp {

// The options a transfer runs with, as the report shows them.
struct TraceOptions {
    std::uint32_t blksize = 512;
    std::uint32_t interval = 5;
    std::int64_t tsize = -1;  // the size in the OACK; -1 when not asked for
    std::uint32_t windowsize = 1;
};

class TransferTrace {
public:
    TransferTrace() = default;
    // A trace still running when it goes ends as cut off.
    ~TransferTrace() { end(false, "stopped"); }
    TransferTrace(TransferTrace&& o) noexcept = default;
    // Taking another trace's place ends this one's transfer first: a client restarted it.
    TransferTrace& operator=(TransferTrace&& o) noexcept;

    // Starts tracing (or, for a transfer that starts over, starts again from nothing).
    // `client_key` is "address:port"; `total` is the expected size, 0 when not known.
    void begin(std::string_view client_key, std::string_view file, bool read,
               const TraceOptions& options, std::uint64_t total);
    bool active() const { return activity_ != nullptr; }

    // One block's bytes, read for sending or received and written, in file order.
    void add(std::span<const std::uint8_t> bytes) {
        if (!activity_) return;
        ++blocks_;
        bytes_ += bytes.size();
        activity_->set_done(bytes_);
        if (digest_) digest_->update(bytes);
    }

    // The end: `outcome` is "complete" for success, else what went wrong. Ends once.
    void end(bool complete, std::string_view outcome);

private:
    std::shared_ptr<core::Activity> activity_;
    std::unique_ptr<core::Sha256> digest_;
    std::string client_;
    std::string file_;
    bool read_ = true;
    TraceOptions options_;
    std::uint64_t bytes_ = 0;
    std::uint32_t blocks_ = 0;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace tftp
