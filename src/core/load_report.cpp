#include "core/load_report.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "core/event_log.h"
#include "platform/file.h"
#include "platform/net.h"  // error_text

namespace core {
namespace {

// Far more than any bench day makes; a window left open for weeks stops keeping, not growing.
constexpr std::size_t kKeptLinesMax = 1'000'000;

struct Report {
    std::mutex mutex;
    std::unique_ptr<platform::AppendFile> file;  // guarded by mutex
    bool keep = false;                           // guarded by mutex
    std::vector<std::string> lines;              // guarded by mutex
    bool failed = false;  // a write to the file failed; said once in the log
    std::atomic<bool> wanted{false};
};

Report& the_report() {
    static Report r;
    return r;
}

}  // namespace

std::string report_time_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms.count()));
    return text;
}

bool report_to_file(const std::string& path, std::string* error) {
    auto file = std::make_unique<platform::AppendFile>();
    int code = 0;
    if (!file->open(path, &code)) {
        if (error) *error = platform::error_text(code);
        return false;
    }
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    r.file = std::move(file);
    r.failed = false;
    r.wanted = true;
    return true;
}

void keep_report_in_memory() {
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    r.keep = true;
    r.wanted = true;
}

void stop_report() {
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    r.file.reset();
    r.keep = false;
    r.lines.clear();
    r.wanted = false;
}

bool report_wanted() {
    return the_report().wanted.load(std::memory_order_relaxed);
}

void report(const char* event, const nlohmann::ordered_json& members) {
    Report& r = the_report();
    if (!report_wanted()) return;
    nlohmann::ordered_json record = {{"time", report_time_now()}, {"event", event}};
    for (const auto& [key, value] : members.items()) record[key] = value;
    std::string line = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);

    std::lock_guard lock(r.mutex);
    if (r.keep && r.lines.size() < kKeptLinesMax) r.lines.push_back(line);
    if (!r.file) return;
    line += '\n';
    int code = 0;
    if (!r.file->append(line, &code) && !r.failed) {
        r.failed = true;
        log_printf("Load report: can't write - %s\n", platform::error_text(code).c_str());
    }
}

std::vector<std::string> report_lines() {
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    return r.lines;
}

bool save_report(const std::string& path, std::string* error) {
    const std::vector<std::string> lines = report_lines();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
    out.flush();
    if (out) return true;
    if (error) *error = "can't write " + path;
    return false;
}

}  // namespace core
