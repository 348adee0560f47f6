#include "tftp/transfer_trace.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/load_report.h"

namespace tftp {

TransferTrace& TransferTrace::operator=(TransferTrace&& o) noexcept {
    if (this != &o) {
        end(false, "restarted");
        activity_ = std::move(o.activity_);
        digest_ = std::move(o.digest_);
        client_ = std::move(o.client_);
        file_ = std::move(o.file_);
        read_ = o.read_;
        options_ = o.options_;
        bytes_ = o.bytes_;
        blocks_ = o.blocks_;
        started_ = o.started_;
    }
    return *this;
}

void TransferTrace::begin(std::string_view client_key, std::string_view file, bool read,
                          const TraceOptions& options, std::uint64_t total) {
    if (!activity_) {
        client_ = client_key;
        file_ = file;
        read_ = read;
        // The board shows the client's address; the report keeps the port too.
        std::string label(client_key.substr(0, client_key.rfind(':')));
        label += read ? " " : " upload ";
        label += file;
        activity_ = core::progress_board().begin(
            read ? core::ActivityKind::tftp_read : core::ActivityKind::tftp_write,
            std::move(label));
    }
    options_ = options;
    bytes_ = 0;
    blocks_ = 0;
    started_ = std::chrono::steady_clock::now();
    activity_->set_done(0);
    activity_->set_total(total);
    activity_->set_step(options.windowsize > 1 ? "window " + std::to_string(options.windowsize)
                                               : std::string());
    digest_ = core::report_wanted() ? std::make_unique<core::Sha256>() : nullptr;
}

void TransferTrace::end(bool complete, std::string_view outcome) {
    if (!activity_) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double mbps = seconds > 0 ? static_cast<double>(bytes_) / seconds / 1e6 : 0.0;

    std::string shown(outcome);
    if (complete) {
        char text[96];
        std::snprintf(text, sizeof text, " (%llu bytes, %.1f s, %.2f MB/s)",
                      static_cast<unsigned long long>(bytes_), seconds, mbps);
        shown = (read_ ? "served" : "received") + std::string(text);
    }
    activity_->finish(complete, shown);
    activity_.reset();

    if (!core::report_wanted()) return;
    nlohmann::ordered_json options = {{"blksize", options_.blksize},
                                      {"interval", options_.interval}};
    if (options_.tsize >= 0) options["tsize"] = options_.tsize;
    options["windowsize"] = options_.windowsize;
    nlohmann::ordered_json record = {{"client", client_},  {"direction", read_ ? "read" : "write"},
                                     {"file", file_},      {"options", options},
                                     {"blocks", blocks_},  {"bytes", bytes_},
                                     {"seconds", seconds}, {"mb_per_s", mbps}};
    // A digest covers the bytes only when it saw all of them, from the first block on.
    record["sha256"] = digest_ ? nlohmann::ordered_json(core::Sha256::hex(digest_->finish()))
                               : nlohmann::ordered_json(nullptr);
    record["outcome"] = outcome;
    digest_.reset();
    core::report("tftp", record);
}

}  // namespace tftp
