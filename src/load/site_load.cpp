#include "load/site_load.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <system_error>

#include "core/load_report.h"
#include "core/settings.h"
#include "core/sha256.h"
#include "platform/file.h"
#include "platform/net.h"

namespace load {
namespace {

double seconds_of(std::chrono::milliseconds took) {
    return static_cast<double>(took.count()) / 1000.0;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

// Passes each event on, after its record in the load report.
class SiteLoad::Recorder : public Observer {
public:
    Recorder(Observer& next, std::string sha256) : next_(next), sha256_(std::move(sha256)) {}

    void step_started(std::uint32_t controller, Step step) override {
        next_.step_started(controller, step);
    }
    void step_ended(const StepEvent& e) override {
        if (e.step != Step::verdict)
            core::report("load-step", {{"controller", platform::to_dotted(e.controller)},
                                       {"step", step_name(e.step)},
                                       {"ok", e.ok},
                                       {"seconds", seconds_of(e.took)},
                                       {"text", e.text}});
        next_.step_ended(e);
    }
    void boot_progress(std::uint32_t controller, std::uint64_t done, std::uint64_t total) override {
        next_.boot_progress(controller, done, total);
    }
    void controller_ended(const ControllerResult& r) override {
        const auto text_or_null = [](const std::string& s) {
            return s.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s);
        };
        core::report("load", {{"controller", platform::to_dotted(r.controller)},
                              {"hardware", text_or_null(r.hardware)},
                              {"lease", text_or_null(r.lease)},
                              {"version_before", text_or_null(r.version_before)},
                              {"version_after", text_or_null(r.version_after)},
                              {"seconds", seconds_of(r.took)},
                              {"told_to_update", r.told_to_update},
                              {"sha256", sha256_},
                              {"verdict", verdict_text(r)}});
        next_.controller_ended(r);
    }

private:
    Observer& next_;
    std::string sha256_;  // the boot file's
};

SiteLoad::SiteLoad(std::vector<std::uint32_t> controllers, std::size_t parallel,
                   LoadOptions options, Observer& observer)
    : controllers_(std::move(controllers)),
      options_(std::move(options)),
      recorder_(std::make_unique<Recorder>(observer, options_.sha256)) {
    results_.resize(controllers_.size());
    for (std::size_t i = 0; i < controllers_.size(); ++i) results_[i].controller = controllers_[i];
    const std::size_t threads = std::clamp<std::size_t>(parallel, 1, controllers_.size());
    for (std::size_t i = 0; i < threads && !controllers_.empty(); ++i) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;  // fewer at once; the threads made take every controller all the same
        }
    }
}

SiteLoad::~SiteLoad() {
    stop();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
}

void SiteLoad::stop() {
    stop_ = true;
}

void SiteLoad::work() {
    for (;;) {
        const std::size_t i = next_.fetch_add(1);
        if (i >= controllers_.size()) return;
        if (stop_.load()) {
            // Never started: its result says so; the rest of the list is left the same way.
            ControllerResult r = results_[i];
            r.verdict = verdict_text(r);
            recorder_->controller_ended(r);
            std::lock_guard lock(mutex_);
            results_[i] = std::move(r);
            continue;
        }
        ControllerResult r = load_controller(controllers_[i], options_, boots_, *recorder_, stop_);
        std::lock_guard lock(mutex_);
        results_[i] = std::move(r);
    }
}

std::vector<ControllerResult> SiteLoad::wait() {
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    std::lock_guard lock(mutex_);
    return results_;
}

std::optional<Refusal> take_settings(const std::string& tftp_directory, LoadOptions& options) {
    const core::ToolSettings settings = core::settings_snapshot();
    options.login = settings.ZorvaLogin;
    options.password = settings.ZorvaPassword;
    options.boot_file = settings.bootFile;
    const std::string boot_path = tftp_directory + options.boot_file;
    std::string error;
    const auto digest = file_sha256(boot_path, &error);
    if (!digest)
        return Refusal{"can't read the boot file " + boot_path + ": " + error,
                       "put the boot file in the load folder, or set bootFile to the name of the "
                       "one there"};
    options.sha256 = *digest;
    return std::nullopt;
}

std::optional<std::string> file_sha256(const std::string& path, std::string* error) {
    int code = 0;
    const std::unique_ptr<std::FILE, FileCloser> file(
        platform::open_regular_file(path, platform::LinkTrust::owner_owns_target, false, &code));
    if (!file) {
        if (error) *error = platform::error_text(code);
        return std::nullopt;
    }
    core::Sha256 sha;
    std::vector<std::uint8_t> buffer(1 << 16);
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
        sha.update(std::span(buffer.data(), n));
    if (std::ferror(file.get())) {
        if (error) *error = "read error";
        return std::nullopt;
    }
    return core::Sha256::hex(sha.finish());
}

std::string step_line(const StepEvent& e) {
    char head[96];
    std::snprintf(head, sizeof head, "%-15s  %-16s  %-6s  %6.1f s  ",
                  platform::to_dotted(e.controller).c_str(), step_name(e.step),
                  e.ok ? "ok" : "failed", seconds_of(e.took));
    return head + e.text;
}

std::string summary_table(const std::vector<ControllerResult>& results, bool stopped) {
    const auto or_dash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    std::size_t version_width = 6;
    for (const ControllerResult& r : results)
        version_width = std::max(
            version_width, or_dash(r.version_before).size() + 4 + or_dash(r.version_after).size());
    char line[512];
    std::string table;
    std::snprintf(line, sizeof line, "%-15s  %-17s  %-*s  %7s  %s\n", "address", "hardware address",
                  static_cast<int>(version_width), "version", "seconds", "verdict");
    table += line;
    std::size_t verified = 0, told = 0, not_started = 0;
    for (const ControllerResult& r : results) {
        const std::string versions = or_dash(r.version_before) + " -> " + or_dash(r.version_after);
        std::snprintf(line, sizeof line, "%-15s  %-17s  %-*s  %7.1f  ",
                      platform::to_dotted(r.controller).c_str(), or_dash(r.hardware).c_str(),
                      static_cast<int>(version_width), versions.c_str(), seconds_of(r.took));
        table += line + verdict_text(r) + "\n";
        verified += r.verified ? 1 : 0;
        told += r.told_to_update ? 1 : 0;
        not_started += r.started ? 0 : 1;
    }
    table += std::to_string(results.size()) +
             (results.size() == 1 ? " controller: " : " controllers: ") + std::to_string(verified) +
             " verified, " + std::to_string(results.size() - verified) + " not\n";
    if (stopped)
        table += "stopped: " + std::to_string(not_started) + " never started; " +
                 std::to_string(told) + " told to update before the stop " +
                 (told == 1 ? "was" : "were") +
                 " served until the boot ended or its bound ran out\n";
    return table;
}

}  // namespace load
