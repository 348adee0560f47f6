#include "linux_support.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

namespace test {

CommandResult run_command(const std::string& command) {
    CommandResult result;
    std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return result;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) result.output.append(buffer, n);
    const int status = ::pclose(p);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

ChildProcess::ChildProcess(const std::string& command, bool stdin_pipe) {
    const auto out_path = dir_ / "output";
    int in_pipe[2] = {-1, -1};
    if (stdin_pipe && ::pipe2(in_pipe, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (stdin_pipe) {
            ::dup2(in_pipe[0], 0);
        } else {
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, 0);
        }
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (stdin_pipe) {
        ::close(in_pipe[0]);
        stdin_fd_ = in_pipe[1];
    }
}

ChildProcess::~ChildProcess() {
    close_stdin();
    if (pid_ > 0 && !reaped_) {
        ::kill(-pid_, SIGTERM);
        if (wait(std::chrono::seconds(3)) < 0 && !reaped_) {
            ::kill(-pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
    }
}

std::string ChildProcess::output() const {
    return read_file(dir_ / "output");
}

bool ChildProcess::wait_for_output(std::string_view needle,
                                   std::chrono::milliseconds timeout) const {
    return wait_until([&] { return output().find(needle) != std::string::npos; }, timeout,
                      std::chrono::milliseconds(20));
}

bool ChildProcess::write_stdin(std::string_view text) {
    if (stdin_fd_ < 0) return false;
    while (!text.empty()) {
        const ssize_t n = ::write(stdin_fd_, text.data(), text.size());
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void ChildProcess::close_stdin() {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    stdin_fd_ = -1;
}

void ChildProcess::signal(int sig) {
    // The whole group: the shell and the program it runs.
    if (pid_ > 0 && !reaped_) ::kill(-pid_, sig);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (reaped_) return status_;
    if (pid_ <= 0) return -1;
    int status = 0;
    if (!wait_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) return -1;
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
}

bool can_use_netns() {
    return netns_unavailable_reason().empty();
}

std::string netns_unavailable_reason() {
    if (::geteuid() != 0) return "not running as root";
    const CommandResult r = run_command("ip netns list");
    if (r.status != 0) return "\"ip netns list\" failed: " + r.output;
    return {};
}

bool netns_required() {
    const char* value = std::getenv("KESTROM_REQUIRE_NETNS");
    return value && std::string_view(value) == "1";
}

namespace {

// The namespaces this process made and has not deleted yet, for a test that ends the process
// at once (run_within).
std::mutex g_namespaces_mutex;
std::set<std::string> g_namespaces;

void delete_namespace(const std::string& name) {
    // Killing what is left inside first lets the namespace go at once.
    run_command("ip netns pids " + name + " | xargs -r kill -9");
    run_command("ip netns delete " + name);
}

}  // namespace

NetNs::NetNs(std::string_view hint) {
    // Namespace and interface names stay short: interface names are limited to 15 characters.
    static std::atomic<unsigned> counter{0};
    name_ = "kt" + std::string(hint.substr(0, 6)) + std::to_string(::getpid() % 100000) + "x" +
            std::to_string(counter++);
    {
        std::lock_guard lock(g_namespaces_mutex);
        g_namespaces.insert(name_);
    }
    run_command("ip netns add " + name_);
    run_command(exec() + "ip link set lo up");
}

NetNs::~NetNs() {
    {
        std::lock_guard lock(g_namespaces_mutex);
        if (g_namespaces.erase(name_) == 0) return;  // already deleted
    }
    delete_namespace(name_);
}

void delete_network_namespaces() {
    std::lock_guard lock(g_namespaces_mutex);
    for (const std::string& name : g_namespaces) delete_namespace(name);
    g_namespaces.clear();
}

CommandResult NetNs::run(const std::string& command) const {
    return run_command(exec() + command);
}

bool NetNs::run_inside(const std::function<void()>& body) const {
    bool joined = false;
    std::thread inside([&] {
        // A network namespace is a property of the thread: only this one moves.
        const int ns = ::open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0) return;
        joined = ::setns(ns, CLONE_NEWNET) == 0;
        ::close(ns);
        if (joined) body();
    });
    inside.join();
    return joined;
}

bool connect_veth(const NetNs& a, const std::string& a_address, const NetNs& b,
                  const std::string& b_address, std::string* a_if, std::string* b_if) {
    static std::atomic<unsigned> counter{0};
    const std::string id = std::to_string(::getpid() % 100000) + "v" + std::to_string(counter++);
    const std::string ia = "va" + id, ib = "vb" + id;
    bool ok = run_command("ip link add " + ia + " netns " + a.name() + " type veth peer name " +
                          ib + " netns " + b.name())
                  .status == 0;
    ok = ok && a.run("ip link set " + ia + " up").status == 0;
    ok = ok && b.run("ip link set " + ib + " up").status == 0;
    if (ok && !a_address.empty()) ok = a.run("ip addr add " + a_address + " dev " + ia).status == 0;
    if (ok && !b_address.empty()) ok = b.run("ip addr add " + b_address + " dev " + ib).status == 0;
    if (a_if) *a_if = ia;
    if (b_if) *b_if = ib;
    return ok;
}

ThreadInside::ThreadInside(const std::function<bool(const std::function<void()>&)>& run_inside)
    : own_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    int inside = -1;
    (void)run_inside([&] { inside = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC); });
    joined_ = own_ >= 0 && inside >= 0 && ::setns(inside, CLONE_NEWNET) == 0;
    if (inside >= 0) ::close(inside);
}

ThreadInside::~ThreadInside() {
    if (joined_ && ::setns(own_, CLONE_NEWNET) != 0) std::abort();  // never stay inside
    if (own_ >= 0) ::close(own_);
}

std::filesystem::path build_dir() {
    if (const char* dir = std::getenv("KESTROM_BUILD_DIR")) return dir;
    return std::filesystem::canonical("/proc/self/exe").parent_path();
}

}  // namespace test
