// The network boots the DHCP and TFTP services serve, as a load sees them: each lease
// acknowledged, by hardware address, and each read of the boot file, by client address. Built
// from the services' load-report records, so a load needs no hook of its own in either service.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/load_report.h"

namespace load {

class BootWatch {
public:
    using Clock = std::chrono::steady_clock;

    BootWatch();  // watches from now on
    BootWatch(const BootWatch&) = delete;
    BootWatch& operator=(const BootWatch&) = delete;

    // The address of the first DHCP ACK to `hardware` ("52:54:00:12:34:56") made at or after
    // `since`; nullopt when none came before `deadline`.
    std::optional<std::string> wait_lease(const std::string& hardware, Clock::time_point since,
                                          Clock::time_point deadline);

    struct Read {
        std::string client;  // "10.1.2.100:2070"
        std::uint64_t bytes = 0;
        std::string sha256;   // empty when the service had no digest of the whole file
        std::string outcome;  // "complete", or why it ended early
        bool complete() const { return outcome == "complete"; }
    };
    // The first whole read of `file` by a client at one of `addresses` that ended at or after
    // `since`. A read that ended early is skipped (a boot loader retries, and some probe the size
    // and stop); the last such one comes back when no whole read came before `deadline`.
    // `progress` is called now and then with the bytes served so far and the file's size.
    std::optional<Read> wait_read(
        const std::vector<std::string>& addresses, const std::string& file, Clock::time_point since,
        Clock::time_point deadline,
        const std::function<void(std::uint64_t, std::uint64_t)>& progress);

private:
    struct Lease {
        std::string hardware;
        std::string address;
        Clock::time_point at;
    };
    struct Ended {
        std::string address;  // the client's, without the port
        std::string file;
        Read read;
        Clock::time_point at;
    };
    void take(const nlohmann::ordered_json& record);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Lease> leases_;  // guarded by mutex_
    std::vector<Ended> reads_;   // guarded by mutex_
    core::ReportWatch watch_;    // last: records arrive once the rest is made
};

}  // namespace load
