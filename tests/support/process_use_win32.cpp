// The Windows counterpart of process_use.cpp: threads from a Toolhelp snapshot, open handles
// (files, sockets, events...) from the process's handle count, memory from its working set.
// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "process_use.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "test_support.h"
// clang-format on

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

std::size_t resident_kib() {
    return memory().WorkingSetSize / 1024;
}
std::size_t peak_resident_kib() {
    return memory().PeakWorkingSetSize / 1024;
}

}  // namespace test
