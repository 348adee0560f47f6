// The load report: what was loaded onto which controller, as JSON Lines (one object per line),
// written as things happen. Each lease offered and acknowledged, each TFTP transfer with the
// SHA-256 of its bytes, each firmware job, each web job with every file, each check. Every
// record starts with "time" (UTC, ISO 8601) and "event". Secrets (the password) never go in.
//
// Records go to a file given on the command line (appended, one write per line, so a crash
// loses at most the line being written), and, for the window, to a copy in memory that it saves
// on request. Without either, recording costs nothing: the services ask report_wanted() before
// they compute anything for it.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace core {

// Appends every record from now on to the file; false, with the error's text in *error, when
// it cannot be opened. A symbolic link there is followed only when the user or root made it.
// Records already made are not written to it.
bool report_to_file(const std::string& path, std::string* error);
// Keeps every record from now on in memory too (the window's "everything since it opened").
void keep_report_in_memory();
// Stops both (tests).
void stop_report();

// Reads every record as it is made, for as long as it lives: a load follows each controller's
// lease and boot file this way. While one lives, the services make their records (and the
// digests in them) even when neither a file nor the memory copy wants them. The handler runs
// on the thread that made the record, outside the report's lock; it must return quickly.
class ReportWatch {
public:
    using Handler = std::function<void(const nlohmann::ordered_json& record)>;
    explicit ReportWatch(Handler handler);
    ~ReportWatch();  // once it returns, the handler is never called again
    ReportWatch(const ReportWatch&) = delete;
    ReportWatch& operator=(const ReportWatch&) = delete;

private:
    std::uint64_t id_;
};

// Whether records go anywhere.
bool report_wanted();

// Adds "time" and "event" in front of the object's own members and records it. Texts that are
// not UTF-8 (from a controller or a file name) have their bad bytes replaced.
void report(const char* event, const nlohmann::ordered_json& members);

// The records kept in memory, one line each without the line end.
std::vector<std::string> report_lines();
// Writes the records kept in memory to a file (replacing it); false with the error's text.
bool save_report(const std::string& path, std::string* error);

// "2026-12-07T13:45:01.123Z" for the current time.
std::string report_time_now();

}  // namespace core
