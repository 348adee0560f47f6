#include "update/firmware_update.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>
#include <vector>

#include "core/event_log.h"
#include "core/load_report.h"
#include "core/progress.h"
#include "update/telnet_client.h"

namespace update {
namespace {

// The client as the dialogue's link: its exchanges, and real pauses.
class TelnetLink : public DialogueLink {
public:
    explicit TelnetLink(CTelnetClient& client) : client_(client) {}
    bool exchange(std::string_view command, std::string& response, bool appendCR) override {
        return client_.SendCommand(command, response, appendCR);
    }
    void pause(std::chrono::milliseconds duration) override {
        std::this_thread::sleep_for(duration);
    }

private:
    CTelnetClient& client_;
};

// What one job tells the progress board and, when it ends, the load report: the controller, the
// steps done, the version read and the outcome. Never the login or the password.
class JobTrace {
public:
    JobTrace(std::string_view address, std::uint16_t port)
        : activity_(
              core::progress_board().begin(core::ActivityKind::firmware, std::string(address))),
          address_(address),
          port_(port) {
        activity_->set_total(4);  // connect, login, version check, update
        activity_->set_step("connect");
    }
    ~JobTrace() { end(false); }
    JobTrace(const JobTrace&) = delete;
    JobTrace& operator=(const JobTrace&) = delete;

    void step(const char* name) {
        current_ = name;
        activity_->set_step(name);
    }
    void step_done() {
        steps_.push_back(current_);
        activity_->set_done(steps_.size());
    }
    void version(std::string_view text) {
        // The text runs up to the next letter: blanks and line ends are not part of it.
        while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
            text.remove_suffix(1);
        while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
            text.remove_prefix(1);
        version_ = text;
        activity_->set_step("version check (" + version_ + ")");
    }
    void end(bool succeeded) {
        if (ended_) return;
        ended_ = true;
        const std::string outcome = succeeded ? std::string("succeeded") : "failed at " + current_;
        activity_->finish(succeeded,
                          version_.empty() ? outcome : outcome + " (version " + version_ + ")");
        core::report("firmware", {{"address", address_},
                                  {"port", port_},
                                  {"version", version_.empty() ? nlohmann::ordered_json(nullptr)
                                                               : nlohmann::ordered_json(version_)},
                                  {"steps", steps_},
                                  {"outcome", outcome}});
    }

private:
    std::shared_ptr<core::Activity> activity_;
    std::string address_;
    std::uint16_t port_;
    std::string current_ = "connect";
    std::string version_;
    std::vector<std::string> steps_;
    bool ended_ = false;
};

// The job's steps in turn, each only when the one before succeeded; the trace follows them.
bool run_job(CTelnetClient& client, JobTrace& trace) {
    TelnetLink link(client);
    trace.step_done();  // connected
    trace.step("login");
    if (!Login(link, client.login_text(), client.password_text())) return false;
    trace.step_done();
    trace.step("version check");
    std::string version;
    const bool recent = CheckVersion(link, &version);
    trace.version(version);
    if (!recent) return false;
    trace.step_done();
    trace.step("update");
    if (!SendUpdate(link)) return false;
    trace.step_done();
    return true;
}

// Shared by the hand-over, the waiters and each job thread. A job thread holds its own
// reference, so a job still running when the process ends never reads freed state.
struct JobStatus {
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = false;                // guarded by mutex: a hand-over connects or a job runs
    int last_exit_code = kJobFailed;  // guarded by mutex: the code of the last job that ended
};

// `firmwareClient` and the job thread handle: touched only by the one hand-over that set
// `busy`, and by the destructor at process end.
struct FirmwareHolder {
    std::shared_ptr<JobStatus> status = std::make_shared<JobStatus>();
    std::unique_ptr<CTelnetClient> firmwareClient;
    std::thread job;

    ~FirmwareHolder() {
        std::unique_lock guard(status->mutex);
        if (status->busy && job.joinable()) {
            // The process is ending under a running job: leave it its client and let it end
            // with the process, as every other job thread does.
            job.detach();
            (void)firmwareClient.release();  // deliberately leaked: the job still uses it
            return;
        }
        guard.unlock();
        if (job.joinable()) job.join();
    }
};

void finish_job(JobStatus& status, int exit_code) {
    {
        std::lock_guard guard(status.mutex);
        status.busy = false;
        status.last_exit_code = exit_code;
    }
    status.changed.notify_all();
}

FirmwareHolder& holder() {
    static FirmwareHolder instance;
    return instance;
}

}  // namespace

bool Login(CTelnetClient& client) {
    TelnetLink link(client);
    return Login(link, client.login_text(), client.password_text());
}

bool CheckVersion(CTelnetClient& client) {
    TelnetLink link(client);
    return CheckVersion(link);
}

bool SendUpdate(CTelnetClient& client) {
    TelnetLink link(client);
    return SendUpdate(link);
}

namespace {

int traced_job(CTelnetClient* client, JobTrace& trace) {
    if (client == nullptr || !client->connected) return kJobFailed;
    const bool ok = run_job(*client, trace);
    client->Close();
    trace.end(ok);
    return ok ? kJobSucceeded : kJobFailed;
}

}  // namespace

int FirmwareUpdateThread(CTelnetClient* client) {
    JobTrace trace("", kTelnetPort);  // the address is the hand-over's to know
    return traced_job(client, trace);
}

namespace {

// Where the hand-over's connect runs: in the caller's thread or in the job thread. The two
// entry points below differ only in this and pass their own arguments through unchanged.
enum class ConnectIn { in_caller, in_job };
using enum ConnectIn;

HandOverResult hand_over(ConnectIn connect_in, std::string_view login, std::string_view password,
                         std::string_view address, std::uint16_t port,
                         std::chrono::milliseconds exchange_limit,
                         std::chrono::milliseconds connect_timeout) {
    FirmwareHolder& h = holder();
    const std::shared_ptr<JobStatus> status = h.status;
    {
        std::lock_guard guard(status->mutex);
        if (status->busy) {
            // The one client must not be reconnected while its job, its connect or its receiver
            // runs.
            core::log_printf("Firmware update already running!\n");
            return HandOverResult::already_running;
        }
        status->busy = true;
    }
    // The previous job has ended (busy was clear); collect its thread.
    if (h.job.joinable()) h.job.join();
    if (!h.firmwareClient) h.firmwareClient = std::make_unique<CTelnetClient>();
    CTelnetClient* client = h.firmwareClient.get();
    client->SetCredentials(login, password);
    client->WatchFor(dialogue_watched_texts());
    client->SetExchangeLimit(exchange_limit);
    auto trace = std::make_shared<JobTrace>(address, port);
    // Connects; a failure is logged by the client and ends the trace.
    auto connect = [client, trace, host = std::string(address), port, connect_timeout] {
        if (client->Connect(host, port, connect_timeout)) return true;
        trace->end(false);
        return false;
    };
    if (connect_in == in_caller && !connect()) {
        finish_job(*status, kJobFailed);
        return HandOverResult::connect_failed;
    }
    try {
        h.job = std::thread([status, client, trace, connect, connect_in] {
            const bool connected = connect_in == in_caller || connect();
            finish_job(*status, connected ? traced_job(client, *trace) : kJobFailed);
        });
    } catch (const std::system_error&) {
        client->Close();  // harmless when the connect was still to come
        core::log_printf("Internal Error\n");
        finish_job(*status, kJobFailed);
        return HandOverResult::connect_failed;
    }
    return HandOverResult::started;
}

}  // namespace

HandOverResult firmware_update_start(std::string_view login, std::string_view password,
                                     std::string_view address, std::uint16_t port,
                                     std::chrono::milliseconds exchange_limit,
                                     std::chrono::milliseconds connect_timeout) {
    return hand_over(in_job, login, password, address, port, exchange_limit, connect_timeout);
}

HandOverResult firmware_update_hand_over(std::string_view login, std::string_view password,
                                         std::string_view address, std::uint16_t port,
                                         std::chrono::milliseconds exchange_limit,
                                         std::chrono::milliseconds connect_timeout) {
    return hand_over(in_caller, login, password, address, port, exchange_limit, connect_timeout);
}

bool firmware_job_running() {
    const std::shared_ptr<JobStatus> status = holder().status;
    std::lock_guard guard(status->mutex);
    return status->busy;
}

int wait_for_firmware_job() {
    const std::shared_ptr<JobStatus> status = holder().status;
    std::unique_lock guard(status->mutex);
    status->changed.wait(guard, [&] { return !status->busy; });
    return status->last_exit_code;
}

std::optional<int> wait_for_firmware_job(std::chrono::milliseconds timeout) {
    const std::shared_ptr<JobStatus> status = holder().status;
    std::unique_lock guard(status->mutex);
    if (!status->changed.wait_for(guard, timeout, [&] { return !status->busy; }))
        return std::nullopt;
    return status->last_exit_code;
}

const CTelnetClient* firmware_client() {
    return holder().firmwareClient.get();
}

}  // namespace update
