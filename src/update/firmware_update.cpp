#include "update/firmware_update.h"

#include <charconv>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/event_log.h"
#include "update/telnet_client.h"

namespace update {
namespace {

// The fixed texts of the dialogue, sent or searched for exactly (case-sensitive).
constexpr std::string_view kLoginPrompt = "login:";
constexpr std::string_view kPasswordPrompt = "password:";
constexpr std::string_view kShellPrompt = "ZorvaController>";
constexpr std::string_view kVersionCommand = "1scv";
constexpr std::string_view kVersionMark = "Rev ";
constexpr std::string_view kUpdateCommand = "update";
constexpr std::string_view kConfirmQuestion = "y/n";
constexpr std::string_view kConfirm = "y";

// Versions below this are refused. The parsed value gets kVersionBias added first, so that a
// controller reporting exactly 3.2 passes the strict comparison.
constexpr double kVersionThreshold = 3.2;
constexpr double kVersionBias = 1e-10;

constexpr std::chrono::milliseconds kBeforeUpdate{100};
constexpr std::chrono::milliseconds kAfterUpdateAnswer{500};
constexpr std::chrono::milliseconds kAfterConfirm{500};

bool contains(const std::string& text, std::string_view fragment) {
    return text.find(fragment) != std::string::npos;
}

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

std::string_view version_text(std::string_view answer, std::size_t rev_end) {
    if (rev_end > answer.size()) return {};
    const std::string_view rest = answer.substr(rev_end);
    std::size_t n = 0;
    while (n < rest.size() &&
           (is_digit(rest[n]) || static_cast<std::int8_t>(rest[n]) <= static_cast<std::int8_t>('.')))
        ++n;
    return rest.substr(0, n);
}

double c_locale_decimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // The longest run of digits with at most one point; it must hold at least one digit.
    const std::size_t start = i;
    std::size_t digits = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return 0.0;
    double value = 0.0;
    // from_chars is locale-independent and rounds correctly, as the C locale's strtod does.
    const auto result =
        std::from_chars(text.data() + start, text.data() + i, value, std::chars_format::fixed);
    if (result.ec != std::errc{}) return 0.0;
    return negative ? -value : value;
}

bool Login(CTelnetClient& client) {
    std::string response;
    core::log_printf(">> Connect...");
    // Nothing is sent: this exchange collects the greeting.
    client.SendCommand("", response, true);
    if (!contains(response, kLoginPrompt)) return false;

    core::log_printf("OK!\n");
    core::log_printf(">> Sent login...");
    response.clear();
    client.SendCommand(client.login_text(), response, true);
    if (!contains(response, kPasswordPrompt)) return false;

    core::log_printf("OK!\n");
    response.clear();
    core::log_printf(">> Sent password...");
    client.SendCommand(client.password_text(), response, true);
    if (!contains(response, kShellPrompt)) return false;

    core::log_printf("OK!\n");
    return true;
}

bool CheckVersion(CTelnetClient& client) {
    double version = 0.0;
    std::string response;
    core::log_printf(">> Check version...");
    client.SendCommand(kVersionCommand, response, true);

    const std::size_t mark = response.find(kVersionMark);
    if (mark == std::string::npos) {
        core::log_printf("FAILED!\n");
    } else {
        const std::string text(version_text(response, mark + kVersionMark.size()));
        response.clear();
        version = c_locale_decimal(text);
        core::log_printf("OK!\n");
        version += kVersionBias;
        core::log_printf("Version [%f]\n", version);
    }

    if (version - kVersionThreshold > 0) return true;
    core::log_printf("\nVersion number should be 3.2 or higher!\nUpdate ");
    return false;
}

bool SendUpdate(CTelnetClient& client) {
    std::string response;
    std::this_thread::sleep_for(kBeforeUpdate);
    client.SendCommand(kUpdateCommand, response, true);
    if (!contains(response, kConfirmQuestion)) return false;  // deliberately without a log line

    std::this_thread::sleep_for(kAfterUpdateAnswer);
    response.clear();
    // The confirmation goes out without a line end; the answer is not examined.
    client.SendCommand(kConfirm, response, false);
    std::this_thread::sleep_for(kAfterConfirm);
    return true;
}

int FirmwareUpdateThread(CTelnetClient* client) {
    if (client == nullptr || !client->connected) return kJobFailed;
    const bool ok = Login(*client) && CheckVersion(*client) && SendUpdate(*client);
    client->Close();
    return ok ? kJobSucceeded : kJobFailed;
}

HandOverResult firmware_update_hand_over(std::string_view login, std::string_view password,
                                         std::string_view address, std::uint16_t port) {
    FirmwareHolder& h = holder();
    const std::shared_ptr<JobStatus> status = h.status;
    {
        std::lock_guard guard(status->mutex);
        if (status->busy) {
            // The one client must not be reconnected while its job or receiver runs.
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
    if (!client->Connect(std::string(address), port)) {
        finish_job(*status, kJobFailed);
        return HandOverResult::connect_failed;
    }
    try {
        h.job = std::thread(
            [status, client] { finish_job(*status, FirmwareUpdateThread(client)); });
    } catch (const std::system_error&) {
        client->Close();
        core::log_printf("Internal Error\n");
        finish_job(*status, kJobFailed);
        return HandOverResult::connect_failed;
    }
    return HandOverResult::started;
}

void firmware_update_hand_over(std::string_view login, std::string_view password,
                               std::string_view address) {
    (void)firmware_update_hand_over(login, password, address, kTelnetPort);  // all is logged
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

const CTelnetClient* firmware_client() { return holder().firmwareClient.get(); }

}  // namespace update
