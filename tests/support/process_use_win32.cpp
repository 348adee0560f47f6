// The Windows counterpart of process_use.cpp: threads from a Toolhelp snapshot, open handles
// (files, sockets, events...) from the process's handle count, memory from its working set.
#include "process_use.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <thread>

namespace test {
namespace {

std::size_t thread_count() {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    const DWORD self = ::GetCurrentProcessId();
    std::size_t n = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == self;
    ::CloseHandle(snapshot);
    return n;
}

PROCESS_MEMORY_COUNTERS memory() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    (void)::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return counters;
}

}  // namespace

ProcessUse process_use() {
    DWORD handles = 0;
    (void)::GetProcessHandleCount(::GetCurrentProcess(), &handles);
    return {thread_count(), handles};
}

ProcessUse process_use_back_to(const ProcessUse& before, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const ProcessUse now = process_use();
        if ((now.threads <= before.threads && now.open_files <= before.open_files) ||
            std::chrono::steady_clock::now() > deadline)
            return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::size_t resident_kib() {
    return memory().WorkingSetSize / 1024;
}
std::size_t peak_resident_kib() {
    return memory().PeakWorkingSetSize / 1024;
}

}  // namespace test
