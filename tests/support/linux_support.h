// The Linux-only test helpers: shell commands, child processes, throwaway network namespaces
// and the directory of the built executables. Included through test_support.h.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "test_support.h"

namespace test {

struct CommandResult {
    int status = -1;     // exit status, or -1 when it did not exit normally
    std::string output;  // standard output and standard error together
};

// Runs a shell command to its end.
CommandResult run_command(const std::string& command);

// A shell command running in the background; its output goes to a file. The destructor
// sends SIGTERM, then SIGKILL if needed, and reaps it.
class ChildProcess {
public:
    // stdin_pipe: keep a pipe to the child's standard input open (see write_stdin).
    explicit ChildProcess(const std::string& command, bool stdin_pipe = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const;  // everything written so far
    bool wait_for_output(std::string_view needle,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool write_stdin(std::string_view text);
    void close_stdin();
    void signal(int sig);
    // Waits for the end; the exit status, or -1 on time-out or abnormal end.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    TempDir dir_;
};

// True when the process may create network namespaces (root with ip(8) available).
bool can_use_netns();
// Why it may not ("" when it may), for the skip message.
std::string netns_unavailable_reason();
// True when KESTROM_REQUIRE_NETNS=1 is set (CI): a namespace test that can't run fails.
bool netns_required();

// First line of every test (or fixture SetUp) that makes network namespaces: skips the test,
// saying why, where namespaces can't be made, and fails it instead where they are required.
#define KESTROM_NEEDS_NETNS()                                                              \
    do {                                                                                   \
        const std::string kestrom_netns_reason = ::test::netns_unavailable_reason();       \
        if (!kestrom_netns_reason.empty()) {                                               \
            if (::test::netns_required())                                                  \
                FAIL() << "KESTROM_REQUIRE_NETNS is set, but no network namespace can be " \
                          "made: "                                                         \
                       << kestrom_netns_reason;                                            \
            GTEST_SKIP() << "not run, it needs network namespaces (root and ip netns): "   \
                         << kestrom_netns_reason;                                          \
        }                                                                                  \
    } while (false)

// A network namespace named with a unique prefix; deleted with its interfaces on destruction.
class NetNs {
public:
    explicit NetNs(std::string_view hint);
    ~NetNs();
    NetNs(const NetNs&) = delete;
    NetNs& operator=(const NetNs&) = delete;
    const std::string& name() const { return name_; }
    // "ip netns exec NAME " for prefixing commands.
    std::string exec() const { return "ip netns exec " + name_ + " "; }
    // Runs a command inside the namespace.
    CommandResult run(const std::string& command) const;
    // Runs `body` on a thread of its own that has joined the namespace, and waits for it. False,
    // without running `body`, when the thread could not join.
    bool run_inside(const std::function<void()>& body) const;

private:
    std::string name_;
};

// Moves the calling thread into the network namespace where `run_inside` runs its body (a
// NetNs, a SilentSegment) for its own lifetime; the threads it starts meanwhile are born there.
// A window's thread joins so that the services and jobs it starts run inside.
class ThreadInside {
public:
    explicit ThreadInside(const std::function<bool(const std::function<void()>&)>& run_inside);
    template <class Place>
    requires requires(const Place& p) { p.run_inside(std::function<void()>()); }
    explicit ThreadInside(const Place& place)
        : ThreadInside(
              [&place](const std::function<void()>& body) { return place.run_inside(body); }) {}
    ~ThreadInside();  // back where it was; aborts rather than stay inside
    ThreadInside(const ThreadInside&) = delete;
    ThreadInside& operator=(const ThreadInside&) = delete;
    bool joined() const { return joined_; }

private:
    int own_;
    bool joined_ = false;
};

// Deletes every namespace this process made that is still there, with what runs inside: for a
// test that ends the process at once, skipping the destructors.
void delete_network_namespaces();

// Joins two namespaces with a veth pair and brings both ends and loopback up. An empty address
// leaves that end without one. Addresses are given with their prefix ("192.168.1.10/24").
// The interface names are returned through a_if / b_if.
bool connect_veth(const NetNs& a, const std::string& a_address, const NetNs& b,
                  const std::string& b_address, std::string* a_if = nullptr,
                  std::string* b_if = nullptr);

// The directory that holds the built executables (kestrom, kestrom-sim).
std::filesystem::path build_dir();

}  // namespace test
