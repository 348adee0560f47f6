// Test-only: runs the DHCP service on its standard ports with the event log on standard output,
// for tests that start it inside a network namespace (ip netns exec). Settings start at their
// defaults; --set NAME=VALUE changes one, --trace switches the diagnostic trace on. Prints
// "serving" or "not serving" to standard error once the start is over, and ends on SIGTERM,
// SIGINT or the end of standard input. --poll looks at the interfaces every half second instead
// of taking the kernel's reports, as on Windows. --leave-two-descriptors uses up every file
// descriptor but two (the service's stop line takes those), so that its socket cannot be made.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/event_log.h"
#include "core/settings.h"
#include "dhcp/dhcp_service.h"

namespace {

// Writes at once, on the caller's thread: the log and the trace reach the test's one output file
// in the order they were made.
class InOrderStdoutSink : public core::LogSink {
public:
    void write(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    for (const auto& info : core::kSettings)
        if (info.setting != core::Setting::Zorva_TFTP_TCP_PORT)
            core::settings_set_text(info.setting, info.default_text);

    bool leave_two_descriptors = false;
    dhcp::DhcpServiceOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trace") {
            core::set_trace_enabled(true);
        } else if (arg == "--poll") {
            options.watch_interfaces = false;
        } else if (arg == "--leave-two-descriptors") {
            leave_two_descriptors = true;
        } else if (arg == "--set" && i + 1 < argc) {
            const std::string assignment = argv[++i];
            const auto eq = assignment.find('=');
            const auto setting = core::find_setting(assignment.substr(0, eq));
            if (eq == std::string::npos || !setting) {
                std::fprintf(stderr, "unknown setting: %s\n", assignment.c_str());
                return 2;
            }
            core::settings_set_text(*setting, assignment.substr(eq + 1));
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--trace] [--poll] [--leave-two-descriptors] [--set NAME=VALUE]...\n",
                argv[0]);
            return 2;
        }
    }
    core::set_log_sink(std::make_shared<InOrderStdoutSink>());

    // Blocked before any thread starts, so only sigwait below takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    if (leave_two_descriptors) {
        const rlimit limit{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        std::vector<int> taken;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
        for (int i = 0; i < 2 && !taken.empty(); ++i) {
            ::close(taken.back());
            taken.pop_back();
        }
    }

    dhcp::DhcpService service(options);
    const bool serving = service.wait_serving(std::chrono::seconds(10));
    std::fprintf(stderr, serving ? "serving\n" : "not serving\n");

    std::thread([] {
        char buffer[256];
        while (::read(0, buffer, sizeof buffer) > 0) {
        }
        ::kill(::getpid(), SIGTERM);
    }).detach();

    int sig = 0;
    sigwait(&stop_signals, &sig);
    service.stop();
    return 0;
}
