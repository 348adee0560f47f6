// The web pages update: formats the controller's web flash by uploading "format.dat", then
// uploads every file listed in the list file "kestrom.ini" (section "FILES", keys "FILE1",
// "FILE2", ... up to the first missing number) from the folder "www/", one PUT per file. Each
// request writes its line to the event log; the job ends with "UPDATE COMPLETED\n".
//
// Before the format request the job reads the list once and opens every page it names. When the
// list can't be read, names no file, or names a page that can't be read, the job sends nothing
// (formatting would erase the controller's pages with nothing to put back), logs each fault with
// the working folder, and ends with "UPDATE NOT STARTED: ...". A page that goes away after that
// check is skipped during the upload as before.
//
// Login and password are read from the settings record once, at the start of a job; the
// controller's address and HTTP port anew for every request. Everything is relative to the
// process's current directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "web/http_client.h"

namespace web {

inline constexpr const char* kListFileName = "kestrom.ini";
inline constexpr const char* kListSection = "FILES";
inline constexpr const char* kListKeyPrefix = "FILE";
inline constexpr const char* kWebDirectory = "www/";

// The local file of a listed name: "www/" and the name, with "\" as a folder separator as the
// list was written for it.
std::string local_path(std::string_view name);

// The name listed as FILE<n> in kestrom.ini's [FILES] section, read from the file as it is now;
// nothing when that key is missing, which ends the list (a gap ends it too).
std::optional<std::string> listed_file(long long n);

// Results of SendWebFile.
enum class SendWebFileResult : int {
    sent = 0,       // the file was read whole and its PUT made, whatever the PUT returned
    no_memory = 3,  // the first buffer could not be allocated
    cannot_read =
        4,  // not a regular file, not opened, not read whole, or the buffer could not grow
};
constexpr int code(SendWebFileResult r) {
    return static_cast<int>(r);
}

// The read buffer starts at this capacity and grows fourfold once it is more than two thirds
// full, logging "read to date: ..." each time.
inline constexpr std::size_t kFirstBufferSize = 16384;

// Uploads "www/<name>" under the path <name> to `host` at the port the settings hold now. A
// backslash in the name separates folders for the local file only; the PUT path keeps the name
// as listed. A name that is not a regular file logs "Can't open <name>\n". Returns a
// SendWebFileResult code; *put_result (when given) gets HttpPut's result, or 0 when no PUT
// was made. `limits` bound the PUT's connect, sends and wait for the status line. *size (when
// given) gets the bytes of the file as read.
[[nodiscard]] int SendWebFile(const char* host, const char* name, const char* credentials,
                              int* put_result = nullptr, const HttpLimits& limits = {},
                              std::size_t* size = nullptr);

// What one job did, for the command line's exit status.
struct WebUpdateReport {
    int requests = 0;         // PUTs made, the format request included
    int failed_requests = 0;  // PUTs that got no 2xx status
    int skipped_files = 0;    // listed files not read and so not sent
    std::string not_started;  // why nothing was sent at all; empty when the job ran
    bool all_done() const {
        return not_started.empty() && failed_requests == 0 && skipped_files == 0;
    }
};

// Whether a job could send every page now: the list names at least one and each can be read.
// The fault in a few words (each also in the log), or nothing. A load checks this before it
// updates any controller, so that no controller ends up with new firmware and no pages.
std::optional<std::string> check_web_pages();

// One whole job on the calling thread; `limits` apply to each request (tests make them short).
// The controller is the one the settings name at each request, or `address` when given (a
// site's load sends each controller its pages while the setting names another).
WebUpdateReport run_web_update(const HttpLimits& limits = {}, std::string_view address = {});

// The job as the dialog's button starts it (on a thread of its own): always returns 0.
int WebUpdateThread();

}  // namespace web
