#include "ui/load_runner.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/settings.h"
#include "dhcp/lease_table.h"
#include "load/site_load.h"
#include "platform/net.h"
#include "web/web_update.h"

namespace ui {

// Every controller's row, kept up to date by the load's threads; the window's thread reads it.
class LoadRunner::Tracker : public load::Observer {
public:
    Tracker(const std::vector<std::uint32_t>& controllers, std::function<void()> wake)
        : wake_(std::move(wake)) {
        rows_.resize(controllers.size());
        results_.resize(controllers.size());
        for (std::size_t i = 0; i < controllers.size(); ++i) {
            rows_[i].address = platform::to_dotted(controllers[i]);
            results_[i].controller = controllers[i];
            index_[controllers[i]] = i;
        }
    }

    void step_started(std::uint32_t controller, load::Step step) override {
        std::lock_guard lock(mutex_);
        if (LoadRow* row = row_of(controller)) row->step = load::step_name(step);
        changed();
    }
    void step_ended(const load::StepEvent& event) override {
        std::lock_guard lock(mutex_);
        if (LoadRow* row = row_of(event.controller)) {
            row->step = load::step_name(event.step);
            row->text = event.text;
            // The whole file was read: a read quicker than the board's look at it reports no
            // bytes on the way.
            if (event.step == load::Step::boot && event.ok) row->progress = 100;
        }
        changed();
    }
    void boot_progress(std::uint32_t controller, std::uint64_t done, std::uint64_t total) override {
        std::lock_guard lock(mutex_);
        LoadRow* row = row_of(controller);
        if (!row || total == 0) return;
        const int percent = static_cast<int>(std::min<std::uint64_t>(done, total) * 100 / total);
        if (percent == row->progress) return;  // a call per window of blocks: most change nothing
        row->progress = percent;
        changed();
    }
    void controller_ended(const load::ControllerResult& result) override {
        std::lock_guard lock(mutex_);
        const auto found = index_.find(result.controller);
        if (found == index_.end()) return;
        rows_[found->second].verdict =
            result.verdict.empty() ? load::verdict_text(result) : result.verdict;
        results_[found->second] = result;
        ++ended_;
        changed();
    }

    LoadSnapshot snapshot(bool stopped) {
        std::lock_guard lock(mutex_);
        woken_ = false;
        LoadSnapshot s{rows_, ended_ == rows_.size(), {}};
        if (s.ended) s.summary = load::summary_table(results_, stopped);
        return s;
    }

    // From now on nothing is woken: the window that asked for it may be gone.
    void forget_wake() {
        std::lock_guard lock(mutex_);
        wake_ = nullptr;
    }

private:
    LoadRow* row_of(std::uint32_t controller) {
        const auto found = index_.find(controller);
        return found == index_.end() ? nullptr : &rows_[found->second];
    }
    // One wake-up until the window's thread has taken what changed: a load of many controllers
    // does not flood its queue.
    void changed() {
        if (woken_ || !wake_) return;
        woken_ = true;
        wake_();  // only posts: quick enough to call under the lock
    }

    std::mutex mutex_;
    std::function<void()> wake_;  // guarded by mutex_, as is everything below
    bool woken_ = false;
    std::vector<LoadRow> rows_;
    std::vector<load::ControllerResult> results_;
    std::map<std::uint32_t, std::size_t> index_;
    std::size_t ended_ = 0;
};

LoadRunner::LoadRunner(std::string tftp_directory) : tftp_directory_(std::move(tftp_directory)) {}

LoadRunner::~LoadRunner() {
    if (!site_) return;
    site_->stop();
    tracker_->forget_wake();
    // The controllers told to update are followed until their boot ends, which may take
    // minutes: a thread of its own waits for them and then lets the load go.
    try {
        std::thread([tracker = tracker_, site = std::move(site_)]() mutable {
            site.reset();  // before the tracker, which it reports to
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the load went with the lambda, waited for here.
    }
}

std::vector<load::Refusal> LoadRunner::start(std::string_view list, std::size_t parallel, bool web,
                                             std::string expect_version,
                                             std::function<void()> wake) {
    if (site_) return {{"a load is running", "wait for its end, or stop it, before the next"}};
    std::vector<load::Refusal> refusals;
    const load::ControllerList controllers = load::parse_controller_list(list);
    for (const std::string& e : controllers.errors)
        refusals.push_back({e, "correct the line in the list"});
    if (!refusals.empty()) return refusals;
    if (controllers.addresses.empty())
        return {{"the list holds no controller",
                 "give one address or range per line, such as 10.1.2.20-59"}};

    load::LoadOptions options;
    options.web = web;
    options.expect_version = std::move(expect_version);
    if (auto refusal = load::take_settings(tftp_directory_, options)) return {std::move(*refusal)};

    // The pages, when they are to follow: a fault found after the update would leave the
    // controllers with new firmware and old pages, or none.
    if (web) {
        if (const auto fault = web::check_web_pages())
            return {{"the web pages would not be sent: " + *fault,
                     "correct kestrom.ini or the pages it lists, or load without the web pages"}};
    }

    // The pool as the DHCP service hands it out now.
    const load::LoadPlan plan = load::plan_load(
        controllers.addresses, load::pool_view(dhcp::current_lease_table()->entries()), parallel,
        "Parallel");
    if (!plan.refusals.empty()) return plan.refusals;

    stopped_ = false;
    tracker_ = std::make_shared<Tracker>(controllers.addresses, std::move(wake));
    site_ = std::make_unique<load::SiteLoad>(controllers.addresses, plan.parallel,
                                             std::move(options), *tracker_);
    return {};
}

LoadSnapshot LoadRunner::take() {
    if (!tracker_) return {};
    LoadSnapshot snapshot = tracker_->snapshot(stopped_);
    // Every controller has reported its end: the load's threads are ending, joined at once.
    if (snapshot.ended) site_.reset();
    return snapshot;
}

void LoadRunner::stop() {
    if (!site_) return;
    site_->stop();
    stopped_ = true;
}

}  // namespace ui
