// kestrom load: one controller, or every controller of a site, loaded and verified: the update
// dialogue, the controller's own network boot served by this process, and the new version read
// back. One line per step as it ends, a summary table at the end; exit 0 only when every
// controller was verified.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "app/commands.h"
#include "app/progress_line.h"
#include "core/event_log.h"
#include "core/number_text.h"
#include "core/settings.h"
#include "dhcp/lease_table.h"
#include "driver/driver.h"
#include "load/controller_list.h"
#include "load/site_load.h"
#include "platform/net.h"
#include "platform/process.h"
#include "registry/settings_store.h"
#include "web/web_update.h"

namespace app {
namespace {

constexpr const char* kLoadUsage =
    "usage: kestrom load [--controller ADDR | --controllers FILE [--parallel N]] [--web]\n"
    "                    [--expect-version V] [--report FILE] [--verbose]\n"
    "                    [--update-within S] [--boot-within S] [--image-within S]\n"
    "                    [--back-within S] [--web-within S]\n"
    "\n"
    "Loads the boot file onto a controller (the IP Address setting unless --controller is\n"
    "given) or onto every controller listed in FILE (one address or range per line, such as\n"
    "10.1.2.20-59; # starts a comment), up to N at once (default 4), and verifies each: the\n"
    "update dialogue, the controller's network boot from this PC (its lease and the whole boot\n"
    "file, compared by SHA-256), its shell back with a new version (or V), and with --web the\n"
    "web pages. Each step has a bound in seconds:\n"
    "  --update-within S   the update dialogue (default 90)\n"
    "  --boot-within S     from the update to the controller's DHCP lease (default 120)\n"
    "  --image-within S    from the lease to the whole boot file read (default 300)\n"
    "  --back-within S     from the boot file to the shell's version (default 180)\n"
    "  --web-within S      each request of the web pages (default 60)\n"
    "--verbose also shows the services' and the dialogues' log. Ctrl-C stops: no controller is\n"
    "told to update any more, and those told already are served until their boot ends.\n"
    "Exit status: 0 when every controller was verified, 1 otherwise, 2 for wrong usage.\n";

// How long the services may take to start answering.
constexpr std::chrono::seconds kServingTimeout{5};

struct LoadArgs {
    std::string controller;
    std::string controllers_file;
    std::size_t parallel = 4;
    bool parallel_given = false;
    bool verbose = false;
    load::LoadOptions options;
};

int usage_error(const std::string& what) {
    std::fprintf(stderr, "kestrom load: %s\n%s", what.c_str(), kLoadUsage);
    return kUsageError;
}

// Writes each step's line as it ends to standard output's sink, which keeps clear of the
// progress line and makes peers' text harmless; the lines of several controllers interleave
// whole.
class TerminalObserver : public load::Observer {
public:
    explicit TerminalObserver(std::shared_ptr<core::LogSink> out) : out_(std::move(out)) {}
    void step_ended(const load::StepEvent& event) override {
        out_->write(load::step_line(event) + "\n");
    }
    void controller_ended(const load::ControllerResult&) override {}

private:
    std::shared_ptr<core::LogSink> out_;
};

// Keeps the last lines of the services' log, to show why one of them does not serve.
class LogTail : public core::LogSink {
public:
    void write(std::string_view text) override {
        std::lock_guard lock(mutex_);
        text_.append(text);
        if (text_.size() > kKeep) text_.erase(0, text_.size() - kKeep);
    }
    std::string text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    static constexpr std::size_t kKeep = 2048;
    std::mutex mutex_;
    std::string text_;
};

std::optional<std::string> read_text_file(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = platform::error_text(errno);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int run_load(Args args) {
    LoadArgs a;
    a.options.bounds = load::Bounds{};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view option = args[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kLoadUsage, stdout);
            return 0;
        }
        if (option == "--web") {
            a.options.web = true;
            continue;
        }
        if (option == "--verbose") {
            a.verbose = true;
            continue;
        }
        const bool takes_value = option == "--controller" || option == "--controllers" ||
                                 option == "--parallel" || option == "--expect-version" ||
                                 option == "--report" || option.ends_with("-within");
        if (!takes_value) return usage_error("unknown option '" + std::string(option) + "'");
        if (i + 1 >= args.size()) return usage_error("missing value for " + std::string(option));
        const std::string value(args[++i]);
        long long n = 0;
        if (option == "--controller") {
            a.controller = value;
        } else if (option == "--controllers") {
            a.controllers_file = value;
        } else if (option == "--parallel") {
            if (!core::parse_whole_number(value, 1, 256, &n))
                return usage_error("--parallel takes a number from 1 to 256, not '" + value + "'");
            a.parallel = static_cast<std::size_t>(n);
            a.parallel_given = true;
        } else if (option == "--expect-version") {
            a.options.expect_version = value;
        } else if (option == "--report") {
            if (!start_report("load", value)) return 1;
        } else {
            if (!core::parse_whole_number(value, 1, 86400, &n))
                return usage_error(std::string(option) + " takes seconds from 1 to 86400, not '" +
                                   value + "'");
            const std::chrono::seconds s(n);
            load::Bounds& b = a.options.bounds;
            if (option == "--update-within")
                b.update = s;
            else if (option == "--boot-within")
                b.boot = s;
            else if (option == "--image-within")
                b.image = s;
            else if (option == "--back-within")
                b.back = s;
            else if (option == "--web-within")
                b.web = s;
            else
                return usage_error("unknown option '" + std::string(option) + "'");
        }
    }
    if (!a.controller.empty() && !a.controllers_file.empty())
        return usage_error("--controller and --controllers exclude each other");
    if (a.parallel_given && a.controllers_file.empty())
        return usage_error("--parallel goes with --controllers");

    // The end request (Ctrl-C, SIGTERM) is taken by one watcher thread; made before any other
    // thread starts.
    static platform::EndRequest end_request;

    registry::ensure_settings_key();
    // The boot file's read shows on the progress line, on a terminal.
    ProgressLine progress;
    const std::shared_ptr<core::LogSink> out = progress.log_sink();
    const auto tail = std::make_shared<LogTail>();
    if (a.verbose)
        core::set_log_sink(out);
    else
        core::set_log_sink(tail);
    driver::TextFrontEnd front_end;
    driver::Driver driver(front_end);
    driver.load_settings();
    const core::ToolSettings settings = core::settings_snapshot();

    // The controllers.
    std::vector<std::uint32_t> controllers;
    if (!a.controllers_file.empty()) {
        std::string error;
        const auto text = read_text_file(a.controllers_file, &error);
        if (!text) {
            std::fprintf(stderr, "kestrom load: can't read %s: %s\n", a.controllers_file.c_str(),
                         error.c_str());
            return 1;
        }
        const load::ControllerList list = load::parse_controller_list(*text);
        for (const std::string& e : list.errors)
            std::fprintf(stderr, "kestrom load: %s: %s\n", a.controllers_file.c_str(),
                         core::escape_controls(e).c_str());
        if (!list.errors.empty()) return 1;
        controllers = list.addresses;
    } else {
        const std::string text = a.controller.empty() ? settings.ZorvaIPAddress : a.controller;
        const auto address = platform::parse_dotted(text);
        if (!address) {
            std::fprintf(stderr, "kestrom load: '%s' is not an IPv4 address\n",
                         core::escape_controls(text).c_str());
            return a.controller.empty() ? 1 : kUsageError;
        }
        controllers.push_back(*address);
        a.parallel = 1;
    }

    // The login and the boot file, and the boot file's digest, as the TFTP service will read it.
    const std::string tftp_directory = driver::DriverOptions{}.tftp_directory;
    if (const auto refusal = load::take_settings(tftp_directory, a.options)) {
        std::fprintf(stderr, "kestrom load: %s\n", refusal->problem.c_str());
        return 1;
    }

    // The pages, when they are to follow: a fault found after the update would leave
    // controllers with new firmware and old (or, once formatted, no) pages.
    if (a.options.web) {
        const core::ThreadLogCapture quiet;
        if (const auto fault = web::check_web_pages()) {
            std::fprintf(stderr, "kestrom load: --web: %s; no controller was told to update\n",
                         core::escape_controls(*fault).c_str());
            return 1;
        }
    }

    // The pool, before anything is started.
    (void)dhcp::build_lease_table();
    const load::LoadPlan plan = load::plan_load(
        controllers, load::pool_view(dhcp::current_lease_table()->entries()), a.parallel);
    if (!plan.refusals.empty()) {
        for (const load::Refusal& r : plan.refusals)
            std::fprintf(stderr, "kestrom load: %s\n  fix: %s\n", r.problem.c_str(), r.fix.c_str());
        return 1;
    }

    driver.start_services();
    // A controller told to update must find both services: its boot depends on them.
    std::string which;
    if (!driver.wait_serving(kServingTimeout, &which)) {
        out->flush();
        std::fprintf(stderr,
                     "kestrom load: the %s service does not serve, so no controller could boot "
                     "from this PC; none was told to update. Its log:\n%s\n",
                     which.c_str(), core::escape_controls(tail->text(), true).c_str());
        std::fflush(stderr);
        std::_Exit(1);
    }
    char head[256];
    std::snprintf(head, sizeof head,
                  "Loading %s onto %zu controller%s, %zu at once (SHA-256 %s); Ctrl-C stops\n",
                  (tftp_directory + a.options.boot_file).c_str(), controllers.size(),
                  controllers.size() == 1 ? "" : "s", plan.parallel, a.options.sha256.c_str());
    out->write(head);

    TerminalObserver observer(out);
    load::SiteLoad site(controllers, plan.parallel, a.options, observer);
    std::thread([&site] {
        end_request.wait();
        site.stop();
        std::fputs(
            "kestrom load: stopping: no controller is told to update any more; those told "
            "already are served until their boot ends (Ctrl-C again ends at once)\n",
            stderr);
        end_request.wait();
        std::_Exit(130);
    }).detach();
    const std::vector<load::ControllerResult> results = site.wait();

    out->write(load::summary_table(results, site.stopped()));
    const bool all_verified =
        std::ranges::all_of(results, [](const load::ControllerResult& r) { return r.verified; });
    driver.stop_services();
    out->flush();
    progress.stop();
    std::fflush(stdout);
    std::fflush(stderr);
    // The watcher still waits for a second request; it ends with the process.
    std::_Exit(all_verified ? 0 : 1);
}

}  // namespace app
