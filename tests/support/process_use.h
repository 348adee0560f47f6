// What this test process holds, read from /proc/self: threads, open files and resident memory.
// On Windows: threads, open handles of every kind, and the working set.
// Tests of hostile peers use it to check that a job leaves nothing behind and stays bounded.
#pragma once

#include <chrono>
#include <cstddef>

namespace test {

struct ProcessUse {
    std::size_t threads = 0;     // entries of /proc/self/task
    std::size_t open_files = 0;  // entries of /proc/self/fd
};

ProcessUse process_use();
// Waits until the process holds no more threads and files than `before` (threads of a finished
// job may take a moment to go); returns what it holds at the end.
ProcessUse process_use_back_to(const ProcessUse& before,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5));

// VmRSS and VmHWM (the peak so far) in KiB.
std::size_t resident_kib();
std::size_t peak_resident_kib();

}  // namespace test
