// Shared test helpers: a captured event log, temporary directories, and (on Linux) child
// processes and throwaway network namespaces. Everything cleans up in its destructor.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_log.h"

namespace test {

// Installs a capture sink for the test's lifetime and drops log text again afterwards.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;
    std::string text() const { return sink_->text(); }
    void clear() { sink_->clear(); }
    bool wait_for(std::string_view needle,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return sink_->wait_for(needle, timeout);
    }

private:
    std::shared_ptr<core::CaptureLogSink> sink_;
};

// A fresh directory below the system's temp directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }
    // Writes a file below the directory (creating parent folders) and returns its path.
    std::filesystem::path write(std::string_view name, std::string_view content) const;

private:
    std::filesystem::path path_;
};

// Makes a directory the process's current one for the guard's lifetime; the one before comes
// back in the destructor, also when the test ends early on a failed assertion.
class CurrentDir {
public:
    explicit CurrentDir(const std::filesystem::path& dir);
    ~CurrentDir();
    CurrentDir(const CurrentDir&) = delete;
    CurrentDir& operator=(const CurrentDir&) = delete;

private:
    std::filesystem::path previous_;
};

std::string read_file(const std::filesystem::path& path);

// Calls `done` until it returns true or `timeout` has passed, pausing `step` between calls; true
// when it returned true. The last call comes after the deadline, so a condition met during the
// final pause still counts. The caller's failure says what was awaited:
//     ASSERT_TRUE(test::wait_until([&] { return ...; }, 5s)) << "no second waiting line";
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(10));

// Waits until the file holds `needle` (a file not there yet reads as empty).
bool wait_for_text(const std::filesystem::path& file, std::string_view needle,
                   std::chrono::milliseconds timeout);

// Runs `body` on the calling thread and returns the time it took. A body still running `limit`
// after it began is given up on: the test fails, naming `what` and the time waited, and the
// process ends there (on Linux after deleting the network namespaces it made). A call caught in
// the kernel can't be called back, and would otherwise hold the test until ctest's time-out.
std::chrono::steady_clock::duration run_within(std::chrono::milliseconds limit,
                                               std::string_view what,
                                               const std::function<void()>& body);

}  // namespace test

// Child processes, network namespaces and the built executables: Linux only.
#if !defined(_WIN32)
#include "linux_support.h"
#endif
