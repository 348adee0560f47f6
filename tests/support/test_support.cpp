#include "test_support.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

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

CapturedLog::~CapturedLog() { core::set_log_sink(nullptr); }

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

}  // namespace test
