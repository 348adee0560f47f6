#include "web/web_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/load_report.h"
#include "core/progress.h"
#include "core/settings.h"
#include "platform/file.h"
#include "platform/net.h"
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

// Opens a regular file for reading as raw bytes, without ever waiting on it (a FIFO would) and,
// as root, never through a user's link to another's file; otherwise nothing, with the system's
// words for why in *why. The served file is opened the same way.
File open_regular(const std::string& path, std::string* why) {
    int error = 0;
    File file(
        platform::open_regular_file(path, platform::LinkTrust::owner_owns_target, false, &error));
    if (!file) *why = platform::error_text(error);
    return file;
}

// Where the job looks for the list and the pages, for messages that must say so.
std::filesystem::path working_folder() {
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::current_path(ec);
    return ec ? std::filesystem::path(".") : folder;
}

// The pages of the list, FILE1, FILE2, ... up to the first missing number, from one reading.
std::vector<std::string> listed_files(const std::vector<IniRecord>& records) {
    std::vector<std::string> names;
    for (long long n = 1;; ++n) {
        const std::string key = kListKeyPrefix + std::to_string(n);
        const auto it = std::ranges::find_if(
            records, [&](const IniRecord& r) { return r.section == kListSection && r.key == key; });
        if (it == records.end()) return names;
        names.push_back(it->value);
    }
}

// Reads the list and opens every page it names, before anything is sent: the format request
// erases the controller's pages, so a job that could not put all of them back must not start.
// The pages are only opened here, not kept open: a list may name hundreds, more than a process
// may hold open beside its sockets. Logs each fault; returns them in a few words, or nothing
// with *names filled when every listed page can be read.
std::optional<std::string> check_list(std::vector<std::string>* names) {
    const std::filesystem::path folder = working_folder();
    const std::string list_path = (folder / kListFileName).string();
    std::string why;
    std::vector<IniRecord> records;
    if (!open_regular(kListFileName, &why)) {
        core::log_printf("Can't read the list file %s: %s\n", list_path.c_str(), why.c_str());
        return list_path + ": " + why;
    }
    if (!LoadIniFile(kListFileName, records)) {
        core::log_printf("Can't read the list file %s\n", list_path.c_str());
        return "can't read " + list_path;
    }
    *names = listed_files(records);
    if (names->empty()) {
        core::log_printf("The list file %s names no file (no %s1 in section [%s])\n",
                         list_path.c_str(), kListKeyPrefix, kListSection);
        return list_path + " names no file";
    }

    std::size_t unreadable = 0;
    std::string first;
    for (std::size_t i = 0; i < names->size(); ++i) {
        const std::string& name = (*names)[i];
        const std::string entry = kListKeyPrefix + std::to_string(i + 1) + "=" + name;
        if (name.empty()) {
            core::log_printf("Can't read %s: no file name\n", entry.c_str());
        } else if (!open_regular(local_path(name), &why)) {
            std::filesystem::path page = folder / local_path(name);
            core::log_printf("Can't read %s as %s: %s\n", entry.c_str(),
                             page.make_preferred().string().c_str(), why.c_str());
        } else {
            continue;
        }
        if (unreadable++ == 0) first = entry;
    }
    if (unreadable == 0) return std::nullopt;
    if (unreadable == 1) return "can't read " + first;
    return "can't read " + std::to_string(unreadable) + " of " + std::to_string(names->size()) +
           " listed files, " + first + " first";
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

    // The empty name gives "www/" itself, a folder.
    std::string why;
    const File file = open_regular(path, &why);
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
    WebJobTrace(const core::ToolSettings& at_start, std::string_view address)
        : activity_(core::progress_board().begin(core::ActivityKind::web, std::string(address))),
          address_(address),
          port_(at_start.Zorva_TFTP_TCP_PORT) {}
    void listed(std::size_t files) { activity_->set_total(files); }
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
    // The job sent nothing; the strip shows why ("Web pages: not started: ...").
    void not_started(const std::string& reason) {
        const std::string text = "not started: " + reason;
        activity_->finish(false, text);
        core::report("web", {{"address", address_},
                             {"port", port_},
                             {"files", files_},
                             {"outcome", "failed"},
                             {"reason", text}});
    }

private:
    std::shared_ptr<core::Activity> activity_;
    std::string address_;
    int port_;
    nlohmann::ordered_json files_ = nlohmann::ordered_json::array();
};

}  // namespace

std::optional<std::string> check_web_pages() {
    std::vector<std::string> names;
    return check_list(&names);
}

WebUpdateReport run_web_update(const HttpLimits& limits, std::string_view address) {
    WebUpdateReport report;
    const std::string fixed_host(address);
    // The controller of one request: the fixed one, or the one the settings name now.
    const auto host_of = [&fixed_host](const core::ToolSettings& now) {
        return fixed_host.empty() ? std::string(now.ZorvaIPAddress) : fixed_host;
    };
    WebJobTrace trace(core::settings_snapshot(), host_of(core::settings_snapshot()));
    std::vector<std::string> names;
    if (std::optional<std::string> fault = check_list(&names)) {
        core::log_printf(
            "UPDATE NOT STARTED: nothing was sent, the controller's web pages are unchanged\n");
        report.not_started = std::move(*fault);
        trace.not_started(report.not_started);
        return report;
    }
    trace.listed(names.size());
    // Login and password once per job; address and port anew for every request.
    const core::ToolSettings at_start = core::settings_snapshot();
    const std::string credentials =
        std::string(at_start.ZorvaLogin) + ":" + std::string(at_start.ZorvaPassword);

    {
        const core::ToolSettings now = core::settings_snapshot();
        // The job goes on whatever the format request returned.
        const int rc = HttpPut("format.dat", "", 0, host_of(now).c_str(), credentials.c_str(),
                               now.Zorva_TFTP_TCP_PORT, false, nullptr, limits);
        ++report.requests;
        if (!is_success(rc)) ++report.failed_requests;
        trace.file("format.dat", rc, 0, false);
    }

    // The pages as checked: a page gone since is skipped with "Can't open ...".
    for (const std::string& name : names) {
        const core::ToolSettings now = core::settings_snapshot();
        int put = 0;
        std::size_t size = 0;
        const int rc = SendWebFile(host_of(now).c_str(), name.c_str(), credentials.c_str(), &put,
                                   limits, &size);
        trace.file(name, put, size, true);
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
