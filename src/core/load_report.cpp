#include "core/load_report.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <shared_mutex>
#include <utility>

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
    bool failed = false;                         // a write to the file failed; said once in the log
    std::atomic<bool> wanted{false};

    // The watches, apart from the file's lock: a handler may take locks of its own. A record
    // is handed to a copy of the list; removing a watch waits for the calls under way.
    std::shared_mutex watch_mutex;
    std::vector<std::pair<std::uint64_t, ReportWatch::Handler>> watches;  // guarded by watch_mutex
    std::uint64_t next_watch = 1;                                         // guarded by watch_mutex

    void update_wanted() {  // with mutex held
        std::shared_lock watching(watch_mutex);
        wanted = file != nullptr || keep || !watches.empty();
    }
};

Report& the_report() {
    static Report r;
    return r;
}

}  // namespace

std::string report_time_now() {
    // Calendar arithmetic of <chrono>: UTC without gmtime_r, which Windows lacks.
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

bool report_to_file(const std::string& path, std::string* error) {
    auto file = std::make_unique<platform::AppendFile>();
    int code = 0;
    platform::Distrust why = platform::Distrust::none;
    if (!file->open(path, &code, &why)) {
        if (error) {
            // Another user's link may lead anywhere that user can't write to; say so, not only
            // "Permission denied".
            *error = why == platform::Distrust::foreign_link
                         ? "it is another user's symbolic link, which kestrom does not follow; "
                           "remove it or name another file"
                         : platform::error_text(code);
        }
        return false;
    }
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    r.file = std::move(file);
    r.failed = false;
    r.update_wanted();
    return true;
}

void keep_report_in_memory() {
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    r.keep = true;
    r.update_wanted();
}

void stop_report() {
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    r.file.reset();
    r.keep = false;
    r.lines.clear();
    r.update_wanted();
}

bool report_wanted() {
    return the_report().wanted.load(std::memory_order_relaxed);
}

void report(const char* event, const nlohmann::ordered_json& members) {
    Report& r = the_report();
    if (!report_wanted()) return;
    nlohmann::ordered_json record = {{"time", report_time_now()}, {"event", event}};
    for (const auto& [key, value] : members.items()) record[key] = value;
    {
        // Shared: records of several threads reach the watches at once; a watch's end waits.
        std::shared_lock watching(r.watch_mutex);
        for (const auto& watch : r.watches) watch.second(record);
    }
    std::string line =
        record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);

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

ReportWatch::ReportWatch(Handler handler) {
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    {
        std::unique_lock watching(r.watch_mutex);
        id_ = r.next_watch++;
        r.watches.emplace_back(id_, std::move(handler));
    }
    r.update_wanted();
}

ReportWatch::~ReportWatch() {
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    {
        std::unique_lock watching(r.watch_mutex);
        std::erase_if(r.watches, [this](const auto& watch) { return watch.first == id_; });
    }
    r.update_wanted();
}

std::vector<std::string> report_lines() {
    Report& r = the_report();
    std::lock_guard lock(r.mutex);
    return r.lines;
}

bool save_report(const std::string& path, std::string* error) {
    const std::vector<std::string> lines = report_lines();
    errno = 0;  // the stream keeps no error number: the C library's last one says why
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
    out.flush();
    if (out) return true;
    const int code = errno;
    if (error)
        *error = "can't write " + path + (code != 0 ? ": " + platform::error_text(code) : "");
    return false;
}

}  // namespace core
