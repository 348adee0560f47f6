#include "platform/process.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr int kCapNetBindService = 10;  // bit numbers in the capability sets
constexpr int kCapNetRaw = 13;

// Inodes of the sockets in /proc/net/udp whose local port is `port` (any local address).
std::vector<unsigned long> udp_inodes(std::uint16_t port) {
    std::vector<unsigned long> inodes;
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode))
            continue;
        const std::size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) inodes.push_back(inode);
    }
    return inodes;
}

// The processes that hold the socket with this inode, found by their descriptors.
std::vector<PortHolder> socket_holders(unsigned long inode) {
    std::vector<PortHolder> holders;
    const std::string want = "socket:[" + std::to_string(inode) + "]";
    std::error_code ec;
    for (const auto& proc : fs::directory_iterator("/proc", ec)) {
        const std::string pid_text = proc.path().filename().string();
        if (pid_text.empty() || !std::all_of(pid_text.begin(), pid_text.end(),
                                             [](unsigned char c) { return c >= '0' && c <= '9'; }))
            continue;
        std::error_code fd_ec;
        for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
            std::error_code link_ec;
            if (fs::read_symlink(fd.path(), link_ec).string() != want) continue;
            PortHolder h{std::stol(pid_text), {}};
            std::ifstream comm(proc.path() / "comm");
            std::getline(comm, h.name);
            holders.push_back(std::move(h));
            break;
        }
    }
    return holders;
}

bool has_capability(int bit) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("CapEff:", 0) == 0)
            return (std::strtoull(line.c_str() + 7, nullptr, 16) >> bit) & 1u;
    return false;
}

sigset_t end_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

std::vector<PortHolder> udp_port_holders(std::uint16_t port) {
    std::vector<PortHolder> all;
    for (const unsigned long inode : udp_inodes(port)) {
        std::vector<PortHolder> holders = socket_holders(inode);
        if (holders.empty())
            all.push_back(
                {0, "a process this user can't see (socket " + std::to_string(inode) + ")"});
        all.insert(all.end(), holders.begin(), holders.end());
    }
    return all;
}

long current_process_id() {
    return static_cast<long>(::getpid());
}

BindPermission may_bind_privileged_ports() {
    int unprivileged_start = 1024;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> unprivileged_start;
    BindPermission p;
    p.allowed = ::geteuid() == 0 || has_capability(kCapNetBindService) || unprivileged_start <= 67;
    if (!p.allowed)
        p.fix =
            "run kestrom as root, or give it the capability: "
            "setcap cap_net_bind_service+ep kestrom";
    return p;
}

std::string tie_permission_fix() {
    // Linux 5.7 and later let anyone tie a socket to an interface; older ones want CAP_NET_RAW.
    return std::string("give kestrom the CAP_NET_RAW capability") +
           (has_capability(kCapNetRaw) ? "" : " (setcap cap_net_raw+ep kestrom)");
}

struct EndRequest::State {
    sigset_t signals = end_signals();
};

EndRequest::EndRequest() : state_(std::make_unique<State>()) {
    pthread_sigmask(SIG_BLOCK, &state_->signals, nullptr);
}

EndRequest::~EndRequest() = default;

void EndRequest::wait() {
    int signal_number = 0;
    sigwait(&state_->signals, &signal_number);
}

namespace {

// The processors of the main thread, which no one pins; false when they can't be read.
bool process_processors(cpu_set_t& set) {
    CPU_ZERO(&set);
    return ::sched_getaffinity(::getpid(), sizeof set, &set) == 0;
}

}  // namespace

unsigned usable_processors() {
    cpu_set_t set;
    if (!process_processors(set)) return 1;
    return static_cast<unsigned>(std::max(CPU_COUNT(&set), 1));
}

bool keep_thread_on_processor_group(unsigned group, unsigned groups) {
    cpu_set_t usable, chosen;
    CPU_ZERO(&chosen);
    if (groups == 0 || !process_processors(usable)) return false;
    for (unsigned cpu = group; cpu < CPU_SETSIZE; cpu += groups)
        if (CPU_ISSET(cpu, &usable)) CPU_SET(cpu, &chosen);
    return CPU_COUNT(&chosen) > 0 &&
           ::pthread_setaffinity_np(::pthread_self(), sizeof chosen, &chosen) == 0;
}

}  // namespace platform
