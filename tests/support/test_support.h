// Shared test helpers: a captured event log, temporary directories, and (on Linux) child
// processes and throwaway network namespaces. Everything cleans up in its destructor.
#pragma once

#include <chrono>
#include <filesystem>
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

}  // namespace test

// Child processes, network namespaces and the built executables: Linux only.
#if !defined(_WIN32)
#include "linux_support.h"
#endif
