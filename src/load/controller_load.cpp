#include "load/controller_load.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <thread>

#include "core/event_log.h"
#include "dhcp/lease_table.h"
#include "load/boot_watch.h"
#include "platform/net.h"
#include "update/dialogue.h"
#include "update/telnet_client.h"
#include "web/http_client.h"
#include "web/web_update.h"

namespace load {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the shell is tried while the controller restarts, and how long each try waits.
constexpr milliseconds kBackRetry{1000};
constexpr milliseconds kBackConnect{2000};

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

std::string seconds_text(std::chrono::seconds s) {
    return std::to_string(s.count()) + " s";
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
    return std::string(text);
}

// "3,145,728"
std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

// The telnet client as the dialogue's link, with the step's deadline over all of its exchanges
// and the load's stop request before each. Counts the exchanges, so that a failed step can say
// which answer was missing.
class BoundedLink : public update::DialogueLink {
public:
    BoundedLink(update::CTelnetClient& client, Clock::time_point deadline,
                const std::atomic<bool>* stop)
        : client_(client), deadline_(deadline), stop_(stop) {}

    bool exchange(std::string_view command, std::string& response, bool appendCR) override {
        if (stop_ != nullptr && !committed_ && stop_->load()) {
            stopped_ = true;
            return false;
        }
        // Once "update" goes out, the confirmation follows whatever comes: a controller left
        // asking would be neither updated nor told so.
        if (command == update::kUpdateCommand) committed_ = true;
        const Clock::time_point now = Clock::now();
        if (now >= deadline_) {
            timed_out_ = true;
            return false;
        }
        ++exchanges_;
        client_.SetExchangeLimit(std::min(
            update::kExchangeLimit, std::chrono::duration_cast<milliseconds>(deadline_ - now)));
        const bool in_time = client_.SendCommand(command, response, appendCR);
        if (!in_time && Clock::now() >= deadline_) timed_out_ = true;
        return in_time;
    }
    void pause(milliseconds duration) override { std::this_thread::sleep_for(duration); }

    int exchanges() const { return exchanges_; }
    bool stopped() const { return stopped_; }
    bool timed_out() const { return timed_out_; }

private:
    update::CTelnetClient& client_;
    Clock::time_point deadline_;
    const std::atomic<bool>* stop_;
    int exchanges_ = 0;
    bool committed_ = false;
    bool stopped_ = false;
    bool timed_out_ = false;
};

// Why Login failed, from how far it got.
std::string login_failure(const BoundedLink& link) {
    switch (link.exchanges()) {
        case 0:
        case 1:
            return "the shell sent no \"login:\"";
        case 2:
            return "no \"password:\" after the login name";
        default:
            return "the login was refused (no \"ZorvaController>\" after the password)";
    }
}

// Connects the client; the connect's own log line says why when it fails.
bool connect(update::CTelnetClient& client, std::uint32_t controller, std::uint16_t port,
             milliseconds timeout, const core::ThreadLogCapture& capture, std::string* why) {
    if (client.Connect(platform::to_dotted(controller), port, timeout)) return true;
    *why = "can't connect to " + platform::to_dotted(controller) + ":" + std::to_string(port);
    if (const std::string line = capture.last_line(); !line.empty()) *why += " (" + line + ")";
    return false;
}

// One load's state as its steps pass, and its events.
class Run {
public:
    Run(std::uint32_t controller, const LoadOptions& options, BootWatch& boots, Observer& observer,
        const std::atomic<bool>& stop)
        : options_(options), boots_(boots), observer_(observer), stop_(stop) {
        result_.controller = controller;
        result_.started = true;
    }

    ControllerResult run() {
        if (update() && boot() && back() && web()) verdict();
        give_back_lease();
        result_.took = since(start_);
        if (result_.verdict.empty()) result_.verdict = verdict_text(result_);
        observer_.step_ended(
            {result_.controller, Step::verdict, result_.verified, result_.verdict, result_.took});
        observer_.controller_ended(result_);
        return result_;
    }

private:
    void begin(Step step) {
        step_ = step;
        step_start_ = Clock::now();
        observer_.step_started(result_.controller, step);
    }
    bool done(std::string text) {
        observer_.step_ended(
            {result_.controller, step_, true, std::move(text), since(step_start_)});
        return true;
    }
    bool fail(std::string why) {
        result_.verdict = "failed at " + std::string(step_name(step_)) + ": " + why;
        observer_.step_ended(
            {result_.controller, step_, false, std::move(why), since(step_start_)});
        return false;
    }

    // The dialogue, with the hardware address looked up once the connection stands and before
    // "update" goes out: a controller whose boot can't be told from another's is not updated.
    bool update() {
        begin(Step::update);
        const Clock::time_point deadline = step_start_ + options_.bounds.update;
        update::CTelnetClient client;
        client.SetCredentials(options_.login, options_.password);
        client.WatchFor(update::dialogue_watched_texts());
        std::string why;
        if (stop_.load()) return fail("stopped before the update");
        if (!connect(client, result_.controller, options_.telnet_port,
                     std::min<milliseconds>(update::kConnectTimeout, options_.bounds.update),
                     capture_, &why))
            return fail(why);
        BoundedLink link(client, deadline, &stop_);
        const auto failed = [&](std::string what) {
            client.Close();
            if (link.stopped()) return fail("stopped before the update");
            if (link.timed_out())
                return fail(what + ", within " + seconds_text(options_.bounds.update));
            return fail(std::move(what));
        };
        if (!update::Login(link, options_.login, options_.password))
            return failed(login_failure(link));
        std::string version;
        const bool recent = update::CheckVersion(link, &version);
        result_.version_before = trimmed(version);
        if (!recent)
            return failed(result_.version_before.empty()
                              ? "no version in the answer to \"1scv\""
                              : "version " + result_.version_before +
                                    " is older than 3.2, which takes no update this way");

        const Clock::time_point looked_up = Clock::now();
        const auto hardware = platform::hardware_address_of(result_.controller);
        if (!hardware) {
            client.Close();
            step_ = Step::hardware;
            step_start_ = looked_up;
            return fail("the neighbour table holds no hardware address for " +
                        platform::to_dotted(result_.controller) +
                        ", so its network boot could not be told from another's; no update was "
                        "sent");
        }
        result_.hardware = platform::to_text(*hardware);
        hardware_ = *hardware;

        update_sent_ = Clock::now();
        if (!update::SendUpdate(link)) return failed("no \"y/n\" question after \"update\"");
        client.Close();
        result_.told_to_update = true;
        done("version " + result_.version_before + ", update confirmed");
        step_ = Step::hardware;
        step_start_ = looked_up;
        observer_.step_ended({result_.controller, Step::hardware, true, result_.hardware,
                              std::chrono::duration_cast<milliseconds>(update_sent_ - looked_up)});
        return true;
    }

    // The controller's boot loader: its lease, then the whole boot file, by digest.
    bool boot() {
        begin(Step::boot);
        // A boot loader starts while the dialogue still waits out the confirmation: the boot's
        // time runs from "update".
        step_start_ = update_sent_;
        const auto lease =
            boots_.wait_lease(result_.hardware, update_sent_, Clock::now() + options_.bounds.boot);
        if (!lease)
            return fail("no network boot within " + seconds_text(options_.bounds.boot) +
                        " (no DHCP lease acknowledged to " + result_.hardware +
                        (pool_exhausted() ? "; no lease of the pool was free" : "") + ")");
        result_.lease = *lease;
        // A boot loader reads from the address it was given; one that keeps the controller's
        // own address for the read is recognised too.
        const std::vector<std::string> clients = {*lease, platform::to_dotted(result_.controller)};
        const auto read = boots_.wait_read(
            clients, options_.boot_file, update_sent_, Clock::now() + options_.bounds.image,
            [this](std::uint64_t done, std::uint64_t total) {
                observer_.boot_progress(result_.controller, done, total);
            });
        if (!read)
            return fail("lease " + *lease + ", but no read of " + options_.boot_file + " within " +
                        seconds_text(options_.bounds.image));
        if (!read->complete())
            return fail("lease " + *lease + ", but the read of " + options_.boot_file +
                        " ended early (" + read->outcome + ", " + grouped(read->bytes) +
                        " bytes) and no whole read followed within " +
                        seconds_text(options_.bounds.image));
        if (read->sha256 != options_.sha256)
            return fail(read->sha256.empty()
                            ? "the read of " + options_.boot_file + " has no digest to compare"
                            : "the controller read other bytes than " + options_.boot_file +
                                  " (SHA-256 " + read->sha256.substr(0, 16) + "..., the file's " +
                                  options_.sha256.substr(0, 16) + "...)");
        return done("lease " + *lease + ", " + grouped(read->bytes) + " bytes of " +
                    options_.boot_file + " read, SHA-256 equal");
    }

    // The controller back on its address: its shell answers "login:", takes the login again and
    // tells its version.
    bool back() {
        if (stop_.load()) {
            result_.verdict = "stopped after the boot, not verified";
            return false;
        }
        begin(Step::back);
        const Clock::time_point deadline = step_start_ + options_.bounds.back;
        std::string last_why = "its shell never answered";
        while (Clock::now() < deadline) {
            if (stop_.load()) {
                result_.verdict = "stopped after the boot, not verified";
                return false;
            }
            update::CTelnetClient client;
            client.SetCredentials(options_.login, options_.password);
            client.WatchFor(update::dialogue_watched_texts());
            const milliseconds left =
                std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            std::string why;
            if (connect(client, result_.controller, options_.telnet_port,
                        std::min(kBackConnect, left), capture_, &why)) {
                BoundedLink link(client, deadline, nullptr);
                if (update::Login(link, options_.login, options_.password)) {
                    std::string version;
                    (void)update::CheckVersion(link, &version);  // any version is read here
                    client.Close();
                    result_.version_after = trimmed(version);
                    if (result_.version_after.empty())
                        return fail("back, but no version in the answer to \"1scv\"");
                    return done("version " + result_.version_after);
                }
                client.Close();
                last_why = login_failure(link);
            } else {
                last_why = why;
            }
            std::this_thread::sleep_until(std::min(deadline, Clock::now() + kBackRetry));
        }
        return fail("controller not back within " + seconds_text(options_.bounds.back) + " (" +
                    last_why + ")");
    }

    bool web() {
        if (!options_.web) return true;
        begin(Step::web);
        web::HttpLimits limits;
        const milliseconds bound = options_.bounds.web;
        limits.connect = std::min(limits.connect, bound);
        limits.status_line = std::min(limits.status_line, bound);
        limits.send = std::min(limits.send, bound);
        const web::WebUpdateReport report =
            web::run_web_update(limits, platform::to_dotted(result_.controller));
        if (!report.not_started.empty()) return fail("not started: " + report.not_started);
        if (!report.all_done())
            return fail(std::to_string(report.failed_requests) + " of " +
                        std::to_string(report.requests) + " requests failed, " +
                        std::to_string(report.skipped_files) + " pages not read");
        return done(std::to_string(report.requests) + " requests, all answered 2xx");
    }

    // The table keeps a lease until its holder asks again. A controller back on its own address
    // is done with its boot loader's lease and gives it back, so that a site's load needs no
    // more leases than it loads controllers at once. One that did not come back may still be
    // in its boot loader, on that address: its lease stays.
    void give_back_lease() {
        if (!hardware_ || result_.version_after.empty()) return;
        dhcp::HardwareAddress chaddr{};
        std::ranges::copy(*hardware_, chaddr.begin());
        dhcp::release_client(chaddr);
    }

    static bool pool_exhausted() {
        const auto entries = dhcp::current_lease_table()->entries();
        return !entries.empty() && std::ranges::none_of(entries, [](const dhcp::lease_entry& e) {
            return e.state == dhcp::LeaseState::free;
        });
    }

    void verdict() {
        step_ = Step::verdict;
        const std::string& after = result_.version_after;
        const std::string& wanted = options_.expect_version;
        result_.verified = wanted.empty() ? after != result_.version_before : after == wanted;
        if (result_.verified)
            result_.verdict = "verified";
        else if (after == result_.version_before)
            result_.verdict = "failed at verdict: controller still runs " + after;
        else
            result_.verdict = "failed at verdict: controller runs " + after + ", not " + wanted;
    }

    const LoadOptions& options_;
    BootWatch& boots_;
    Observer& observer_;
    const std::atomic<bool>& stop_;
    // The dialogue's lines stay with this controller: several run at once.
    core::ThreadLogCapture capture_;
    ControllerResult result_;
    std::optional<platform::MacAddress> hardware_;
    Step step_ = Step::update;
    Clock::time_point start_ = Clock::now();
    Clock::time_point step_start_ = start_;
    Clock::time_point update_sent_ = start_;
};

}  // namespace

const char* step_name(Step step) {
    static constexpr std::array<const char*, kSteps> kNames = {
        "update", "hardware address", "network boot", "back", "web pages", "verdict"};
    return kNames[static_cast<std::size_t>(step)];
}

std::string verdict_text(const ControllerResult& r) {
    if (r.verified) return "verified";
    if (!r.verdict.empty()) return r.verdict;
    return r.started ? "failed" : "not started: the load was stopped first";
}

ControllerResult load_controller(std::uint32_t controller, const LoadOptions& options,
                                 BootWatch& boots, Observer& observer,
                                 const std::atomic<bool>& stop) {
    return Run(controller, options, boots, observer, stop).run();
}

}  // namespace load
