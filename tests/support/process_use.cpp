#include "process_use.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "test_support.h"

namespace test {
namespace {

std::size_t entries(const char* dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

std::size_t status_kib(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with(field + ":")) return std::stoul(line.substr(field.size() + 1));
    return 0;
}

}  // namespace

ProcessUse process_use() {
    // The iterator of /proc/self/fd holds one descriptor of its own while it counts.
    return {entries("/proc/self/task"), entries("/proc/self/fd")};
}

std::size_t resident_kib() {
    return status_kib("VmRSS");
}
std::size_t peak_resident_kib() {
    return status_kib("VmHWM");
}

}  // namespace test
