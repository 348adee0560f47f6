#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "process_use.h"

namespace test {
namespace {

std::string unique_suffix() {
    static std::atomic<unsigned> counter{0};
    // Random enough that test processes running side by side never meet.
    std::random_device rd;
    return std::to_string(rd()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(rd() % 100000);
}

}  // namespace

CapturedLog::CapturedLog() : sink_(std::make_shared<core::CaptureLogSink>()) {
    core::set_log_sink(sink_);
}

CapturedLog::~CapturedLog() {
    core::set_log_sink(nullptr);
}

TempDir::TempDir() {
    path_ = std::filesystem::temp_directory_path() / ("kestrom-test-" + unique_suffix());
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(std::string_view name, std::string_view content) const {
    const auto p = path_ / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return p;
}

CurrentDir::CurrentDir(const std::filesystem::path& dir)
    : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

CurrentDir::~CurrentDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const bool late = std::chrono::steady_clock::now() >= deadline;
        if (done()) return true;
        if (late) return false;
        std::this_thread::sleep_for(step);
    }
}

bool wait_for_text(const std::filesystem::path& file, std::string_view needle,
                   std::chrono::milliseconds timeout) {
    return wait_until([&] { return read_file(file).find(needle) != std::string::npos; }, timeout,
                      std::chrono::milliseconds(50));
}

std::chrono::steady_clock::duration run_within(std::chrono::milliseconds limit,
                                               std::string_view what,
                                               const std::function<void()>& body) {
    const auto start = std::chrono::steady_clock::now();
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (changed.wait_until(lock, start + limit, [&] { return finished; })) return;
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        ADD_FAILURE() << what << ": still running " << waited.count()
                      << " ms after it began (limit " << limit.count()
                      << " ms); the test ends here";
#if !defined(_WIN32)
        delete_network_namespaces();
#endif
        std::fflush(nullptr);
        std::_Exit(1);
    });
    body();
    const auto took = std::chrono::steady_clock::now() - start;
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    changed.notify_one();
    watchdog.join();
    return took;
}

// The platform's own counts, taken until they are back (one function for both platforms).
ProcessUse process_use_back_to(const ProcessUse& before, std::chrono::milliseconds timeout) {
    ProcessUse now;
    (void)wait_until(
        [&] {
            now = process_use();
            return now.threads <= before.threads && now.open_files <= before.open_files;
        },
        timeout);
    return now;
}

}  // namespace test
