#include "web/web_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include <nlohmann/json.hpp>

#include "core/event_log.h"
#include "core/load_report.h"
#include "core/progress.h"
#include "core/settings.h"
#include "web/ini_file.h"

namespace web {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Bodies travel with an int length (Content-length is formatted with %d).
constexpr std::size_t kBodyMax = static_cast<std::size_t>(std::numeric_limits<int>::max());

bool is_success(int put_result) {
    return put_result >= 200 && put_result <= 299;
}

}  // namespace

std::string local_path(std::string_view name) {
    std::string path = kWebDirectory;
    path.append(name);
    std::replace(path.begin() + static_cast<std::ptrdiff_t>(std::strlen(kWebDirectory)), path.end(),
                 '\\', '/');
    return path;
}

std::optional<std::string> listed_file(long long n) {
    const std::string key = kListKeyPrefix + std::to_string(n);
    if (!IniRecordExists(key, kListSection, kListFileName)) return std::nullopt;
    return GetIniValue(key, kListSection, kListFileName);
}

int SendWebFile(const char* host, const char* name, const char* credentials, int* put_result,
                const HttpLimits& limits, std::size_t* read_size) {
    if (put_result) *put_result = 0;
    if (read_size) *read_size = 0;
    const char* listed = name ? name : "";
    const std::string path = local_path(listed);

    // A folder (the empty name gives "www/" itself) or a device opens on Linux, but is no page.
    std::error_code ec;
    File file;
    if (std::filesystem::is_regular_file(path, ec)) file.reset(std::fopen(path.c_str(), "rb"));
    if (!file) {
        core::log_printf("Can't open %s\n", listed);
        return code(SendWebFileResult::cannot_read);
    }

    std::size_t capacity = kFirstBufferSize;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[capacity]);
    if (!buffer) return code(SendWebFileResult::no_memory);
    std::size_t size = 0;
    for (;;) {
        const std::size_t n = std::fread(buffer.get() + size, 1, capacity - size, file.get());
        if (n == 0) break;
        size += n;
        if (size * 3 / 2 > capacity) {
            capacity *= 4;
            core::log_fprintf(stderr, "read to date: %9zu bytes, reallocating buffer to %9zu\n",
                              size, capacity);
            std::unique_ptr<char[]> grown(capacity <= kBodyMax ? new (std::nothrow) char[capacity]
                                                               : nullptr);
            if (!grown) return code(SendWebFileResult::cannot_read);
            std::memcpy(grown.get(), buffer.get(), size);
            buffer = std::move(grown);
        }
    }
    // A read error would otherwise upload the file cut short as if it were whole.
    if (std::ferror(file.get())) {
        core::log_printf("Can't open %s\n", listed);
        return code(SendWebFileResult::cannot_read);
    }

    const int port = core::settings_snapshot().Zorva_TFTP_TCP_PORT;
    const int rc = HttpPut(listed, buffer.get(), static_cast<int>(size), host, credentials, port,
                           false, nullptr, limits);
    if (put_result) *put_result = rc;
    if (read_size) *read_size = size;
    return code(SendWebFileResult::sent);
}

namespace {

// What one job tells the progress board and, when it ends, the load report: every file with its
// HTTP status (0 when no request was made) and bytes.
class WebJobTrace {
public:
    explicit WebJobTrace(const core::ToolSettings& at_start)
        : activity_(core::progress_board().begin(core::ActivityKind::web,
                                                 std::string(at_start.ZorvaIPAddress))),
          address_(at_start.ZorvaIPAddress),
          port_(at_start.Zorva_TFTP_TCP_PORT) {
        long long listed = 0;
        while (listed_file(listed + 1)) ++listed;
        activity_->set_total(static_cast<std::uint64_t>(listed));
    }
    // format.dat is the job's first request, before file 1 of the list.
    void file(const std::string& name, int status, std::size_t bytes, bool listed) {
        files_.push_back({{"name", name}, {"status", status}, {"bytes", bytes}});
        activity_->add_bytes(bytes);
        if (listed) activity_->add_done(1);
    }
    void end(const WebUpdateReport& r) {
        const bool ok = r.all_done();
        char text[96];
        std::snprintf(text, sizeof text, "%zu of %llu files sent, %d failed, %d not read",
                      files_.size() - 1 - static_cast<std::size_t>(r.skipped_files),
                      static_cast<unsigned long long>(activity_->snapshot().total),
                      r.failed_requests, r.skipped_files);
        activity_->finish(ok, text);
        core::report("web", {{"address", address_},
                             {"port", port_},
                             {"files", files_},
                             {"outcome", ok ? "succeeded" : "failed"}});
    }

private:
    std::shared_ptr<core::Activity> activity_;
    std::string address_;
    int port_;
    nlohmann::ordered_json files_ = nlohmann::ordered_json::array();
};

}  // namespace

WebUpdateReport run_web_update(const HttpLimits& limits) {
    WebUpdateReport report;
    WebJobTrace trace(core::settings_snapshot());
    // Login and password once per job; address and port anew for every request.
    const core::ToolSettings at_start = core::settings_snapshot();
    const std::string credentials =
        std::string(at_start.ZorvaLogin) + ":" + std::string(at_start.ZorvaPassword);

    {
        const core::ToolSettings now = core::settings_snapshot();
        // The job goes on whatever the format request returned.
        const int rc = HttpPut("format.dat", "", 0, now.ZorvaIPAddress, credentials.c_str(),
                               now.Zorva_TFTP_TCP_PORT, false, nullptr, limits);
        ++report.requests;
        if (!is_success(rc)) ++report.failed_requests;
        trace.file("format.dat", rc, 0, false);
    }

    for (long long n = 1;; ++n) {
        const std::optional<std::string> name = listed_file(n);
        if (!name) break;
        const core::ToolSettings now = core::settings_snapshot();
        int put = 0;
        std::size_t size = 0;
        const int rc = SendWebFile(now.ZorvaIPAddress, name->c_str(), credentials.c_str(), &put,
                                   limits, &size);
        trace.file(*name, put, size, true);
        if (rc != code(SendWebFileResult::sent)) {
            ++report.skipped_files;
            continue;
        }
        ++report.requests;
        if (!is_success(put)) ++report.failed_requests;
    }
    core::log_printf("UPDATE COMPLETED\n");
    trace.end(report);
    return report;
}

int WebUpdateThread() {
    (void)run_web_update();  // the dialog shows the log; the report serves the command line
    return 0;
}

}  // namespace web
