// The system headers in the order Windows needs them (winsock2.h before windows.h,
// windows.h before the headers that build on it).
// clang-format off
#include "platform/process.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "platform/win32/win32_support.h"
// clang-format on

namespace platform {
namespace {

// The image name of a process without its folder and ".exe", as Linux names it; empty when
// this user can't see the process.
std::string process_name(DWORD pid) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return {};
    char path[MAX_PATH];
    DWORD size = sizeof path;
    const bool ok = ::QueryFullProcessImageNameA(process, 0, path, &size) != 0;
    ::CloseHandle(process);
    if (!ok) return {};
    std::string name(path, size);
    name.erase(0, name.find_last_of("\\/") + 1);
    if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0)
        name.resize(name.size() - 4);
    return name;
}

// The one waiter of the console's end events.
struct EndEvents {
    std::mutex mutex;
    std::condition_variable changed;
    bool requested = false;
};

EndEvents& end_events() {
    static EndEvents events;
    return events;
}

BOOL WINAPI on_console_event(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT &&
        type != CTRL_SHUTDOWN_EVENT)
        return FALSE;
    EndEvents& e = end_events();
    {
        std::lock_guard lock(e.mutex);
        e.requested = true;
    }
    e.changed.notify_all();
    // Closing the console ends the process once this returns: give the main thread its time.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_SHUTDOWN_EVENT) ::Sleep(2000);
    return TRUE;
}

}  // namespace

std::vector<PortHolder> udp_port_holders(std::uint16_t port) {
    std::vector<PortHolder> holders;
    ULONG size = 0;
    std::vector<unsigned char> table;
    DWORD rc = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between the two calls.
    for (int attempt = 0; attempt < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        table.resize(size);
        rc = ::GetExtendedUdpTable(table.empty() ? nullptr : table.data(), &size, FALSE, AF_INET,
                                   UDP_TABLE_OWNER_PID, 0);
    }
    if (rc != NO_ERROR || table.size() < sizeof(MIB_UDPTABLE_OWNER_PID)) return holders;
    const auto* rows = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(table.data());
    const std::size_t room =
        (table.size() - offsetof(MIB_UDPTABLE_OWNER_PID, table)) / sizeof(MIB_UDPROW_OWNER_PID);
    const std::size_t count = std::min<std::size_t>(rows->dwNumEntries, room);
    // This process's own sockets on the port, for rows whose owner the table does not name.
    std::vector<std::uint32_t> mine = detail::udp_bound_here(port);
    const DWORD me = ::GetCurrentProcessId();
    for (std::size_t i = 0; i < count; ++i) {
        const MIB_UDPROW_OWNER_PID& row = rows->table[i];
        if (::ntohs(static_cast<u_short>(row.dwLocalPort)) != port) continue;
        std::string name = process_name(row.dwOwningPid);
        const auto own = std::find(mine.begin(), mine.end(), ::ntohl(row.dwLocalAddr));
        if (name.empty() && own != mine.end()) {
            mine.erase(own);  // one row per socket
            holders.push_back({static_cast<long>(me), process_name(me)});
        } else if (name.empty()) {
            holders.push_back(
                {0, "a process this user can't see (PID " + std::to_string(row.dwOwningPid) + ")"});
        } else {
            holders.push_back({static_cast<long>(row.dwOwningPid), std::move(name)});
        }
    }
    return holders;
}

long current_process_id() {
    return static_cast<long>(::GetCurrentProcessId());
}

BindPermission may_bind_privileged_ports() {
    return {true, {}};  // Windows reserves no port numbers for administrators
}

std::string tie_permission_fix() {
    return "check that the interface is up";  // IP_UNICAST_IF needs no privilege
}

struct EndRequest::State {};

EndRequest::EndRequest() : state_(std::make_unique<State>()) {
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

EndRequest::~EndRequest() {
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
}

void EndRequest::wait() {
    EndEvents& e = end_events();
    std::unique_lock lock(e.mutex);
    e.changed.wait(lock, [&] { return e.requested; });
}

unsigned usable_processors() {
    DWORD_PTR process = 0, system = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return 1;
    unsigned n = 0;
    for (; process != 0; process &= process - 1) ++n;
    return n == 0 ? 1 : n;
}

bool keep_thread_on_processor_group(unsigned /*group*/, unsigned /*groups*/) {
    return false;
}

}  // namespace platform
