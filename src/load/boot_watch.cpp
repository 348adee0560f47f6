#include "load/boot_watch.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/progress.h"

namespace load {
namespace {

std::string text_of(const nlohmann::ordered_json& record, const char* key) {
    const auto found = record.find(key);
    return found != record.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// How often a read in progress is looked at for its bytes.
constexpr std::chrono::milliseconds kProgressEvery{250};

}  // namespace

BootWatch::BootWatch() : watch_([this](const nlohmann::ordered_json& record) { take(record); }) {}

void BootWatch::take(const nlohmann::ordered_json& record) {
    const std::string event = text_of(record, "event");
    const Clock::time_point now = Clock::now();
    if (event == "lease") {
        if (text_of(record, "type") != "ack") return;
        std::lock_guard lock(mutex_);
        leases_.push_back({text_of(record, "hardware"), text_of(record, "address"), now});
    } else if (event == "tftp") {
        if (text_of(record, "direction") != "read") return;
        Ended ended;
        ended.read.client = text_of(record, "client");
        ended.address = ended.read.client.substr(0, ended.read.client.rfind(':'));
        ended.file = text_of(record, "file");
        const auto bytes = record.find("bytes");
        if (bytes != record.end() && bytes->is_number_unsigned())
            ended.read.bytes = bytes->get<std::uint64_t>();
        ended.read.sha256 = text_of(record, "sha256");
        ended.read.outcome = text_of(record, "outcome");
        ended.at = now;
        std::lock_guard lock(mutex_);
        reads_.push_back(std::move(ended));
    } else {
        return;
    }
    changed_.notify_all();
}

std::optional<std::string> BootWatch::wait_lease(const std::string& hardware,
                                                 Clock::time_point since,
                                                 Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> address;
    changed_.wait_until(lock, deadline, [&] {
        for (const Lease& lease : leases_)
            if (lease.at >= since && lease.hardware == hardware) {
                address = lease.address;
                return true;
            }
        return false;
    });
    return address;
}

std::optional<BootWatch::Read> BootWatch::wait_read(
    const std::vector<std::string>& addresses, const std::string& file, Clock::time_point since,
    Clock::time_point deadline, const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
    std::optional<Read> last_failed;
    std::optional<Read> whole;
    const auto ours = [&](const std::string& address) {
        return std::ranges::find(addresses, address) != addresses.end();
    };
    std::unique_lock lock(mutex_);
    for (;;) {
        for (const Ended& ended : reads_) {
            if (ended.at < since || ended.file != file || !ours(ended.address)) continue;
            if (ended.read.complete()) {
                whole = ended.read;
                break;
            }
            last_failed = ended.read;
        }
        if (whole) return whole;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return last_failed;
        lock.unlock();
        if (progress) {
            // The board labels a read "ADDRESS FILE"; its counter is the bytes acknowledged.
            for (const core::ActivitySnapshot& a : core::progress_board().snapshot().running)
                if (a.kind == core::ActivityKind::tftp_read)
                    for (const std::string& address : addresses)
                        if (a.label == address + " " + file) progress(a.done, a.total);
        }
        lock.lock();
        changed_.wait_until(lock, std::min(deadline, Clock::now() + kProgressEvery));
    }
}

}  // namespace load
