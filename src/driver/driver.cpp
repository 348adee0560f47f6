#include "driver/driver.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "core/event_log.h"
#include "core/progress.h"
#include "dhcp/dhcp_service.h"
#include "dhcp/lease_table.h"
#include "registry/settings_store.h"
#include "tftp/tftp_service.h"
#include "update/firmware_update.h"
#include "web/web_update.h"

namespace driver {
namespace {

// load_settings reads in this order; it differs from the table's on purpose (password
// before login), which only matters to a store that logs its reads.
constexpr core::Setting kLoadOrder[] = {
    core::Setting::ZorvaIPStartAddress,
    core::Setting::PoolSize,
    core::Setting::bootFile,
    core::Setting::netmask,
    core::Setting::ZorvaIPAddress,
    core::Setting::ZorvaPassword,
    core::Setting::ZorvaLogin,
    core::Setting::Zorva_TFTP_TCP_PORT,
};

bool rebuilds_lease_table(core::Setting s) {
    switch (s) {
        case core::Setting::bootFile:
        case core::Setting::PoolSize:
        case core::Setting::ZorvaIPStartAddress:
        case core::Setting::netmask:
        case core::Setting::Zorva_TFTP_TCP_PORT:
            return true;
        case core::Setting::ZorvaLogin:
        case core::Setting::ZorvaPassword:
        case core::Setting::ZorvaIPAddress:
            return false;
    }
    return false;
}

// The web jobs that run. Never destroyed: a job still running at the process end must find
// it whole, and no static destructor may run underneath it.
struct WebJobs {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;  // guarded by mutex
};

WebJobs& web_jobs() {
    static WebJobs* const jobs = new WebJobs;
    return *jobs;
}

}  // namespace

std::string TextFrontEnd::field_text(core::Setting s) const {
    return texts_[static_cast<std::size_t>(s)];
}

void TextFrontEnd::set_field_text(core::Setting s, std::string_view text) {
    texts_[static_cast<std::size_t>(s)] = text;
}

struct Driver::Services {
    std::unique_ptr<tftp::TftpService> tftp;
    std::unique_ptr<dhcp::DhcpService> dhcp;
};

Driver::Driver(FrontEnd& front_end, DriverOptions options)
    : front_end_(front_end),
      options_(std::move(options)),
      services_(std::make_unique<Services>()) {}

Driver::~Driver() {
    stop_services();
}

void Driver::load_settings() {
    for (const core::Setting s : kLoadOrder) {
        const core::SettingInfo& info = core::setting_info(s);
        char text[core::kSettingTextSize]{};
        (void)registry::read_setting(info.name, info.default_text, text);  // always 0
        front_end_.set_field_text(s, text);
        if (s == core::Setting::Zorva_TFTP_TCP_PORT)
            core::settings_set_port(core::decimal_value(text));
        else
            core::settings_set_text(s, text);
    }
    front_end_.show_field_texts();
}

void Driver::apply_setting_edit(core::Setting s, std::string_view text) {
    front_end_.take_field_texts();
    const core::SettingInfo& info = core::setting_info(s);
    if (s == core::Setting::Zorva_TFTP_TCP_PORT) {
        const int port = core::decimal_value(text);
        (void)registry::write_setting(info.name, std::to_string(port).c_str());
        core::settings_set_port(port);
    } else {
        const std::string value(text);
        (void)registry::write_setting(info.name, value.c_str());
        core::settings_set_text(s, text);
    }
    if (rebuilds_lease_table(s)) (void)dhcp::build_lease_table();
}

void Driver::start_services() {
    if (!services_->tftp)
        services_->tftp = std::make_unique<tftp::TftpService>(
            tftp::TftpServiceOptions{options_.tftp_port, options_.tftp_directory});
    if (!services_->dhcp)
        services_->dhcp = std::make_unique<dhcp::DhcpService>(
            dhcp::DhcpServiceOptions{options_.dhcp_server_port, options_.dhcp_client_port});
}

bool Driver::wait_serving(std::chrono::milliseconds timeout, std::string* which) const {
    if (!services_->tftp || services_->tftp->port() == 0) {
        *which = "TFTP";
        return false;
    }
    // Bound is not enough: the service must also have chosen the pool's network, and with no
    // interface in it, it only waits.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (services_->dhcp && services_->dhcp->wait_serving(timeout)) {
        while (dhcp::server_address().empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!dhcp::server_address().empty()) return true;
    }
    *which = "DHCP";
    return false;
}

void Driver::stop_services() {
    // DHCP first: the reverse of the start.
    if (services_->dhcp) services_->dhcp->stop();
    if (services_->tftp) services_->tftp->stop();
}

void Driver::start_web_pages_update() {
    front_end_.take_field_texts();
    front_end_.clear_log();
    core::log_printf("%s", kWebPagesStartLine);
    // Jobs run to their own end and are never waited for; a second click starts a second job.
    WebJobs& jobs = web_jobs();
    {
        std::lock_guard guard(jobs.mutex);
        ++jobs.running;
    }
    std::thread([&jobs] {
        (void)web::WebUpdateThread();
        {
            std::lock_guard guard(jobs.mutex);
            --jobs.running;
        }
        jobs.ended.notify_all();
    }).detach();
}

void Driver::start_firmware_update() {
    front_end_.take_field_texts();
    front_end_.clear_log();
    core::log_printf("%s", kFirmwareStartLine);
    // The job connects on its own thread: the front-end's thread never waits for the network.
    // Everything, the connect's failure too, is logged.
    (void)update::firmware_update_start(front_end_.field_text(core::Setting::ZorvaLogin),
                                        front_end_.field_text(core::Setting::ZorvaPassword),
                                        front_end_.field_text(core::Setting::ZorvaIPAddress),
                                        update::kTelnetPort, update::kExchangeLimit,
                                        options_.firmware_connect_timeout);
}

bool load_running() {
    if (update::firmware_job_running()) return true;
    {
        WebJobs& jobs = web_jobs();
        std::lock_guard guard(jobs.mutex);
        if (jobs.running != 0) return true;
    }
    // TFTP transfers (and the jobs, once under way) are on the progress board.
    return !core::progress_board().snapshot().running.empty();
}

bool wait_for_web_jobs(std::chrono::milliseconds timeout) {
    WebJobs& jobs = web_jobs();
    std::unique_lock guard(jobs.mutex);
    return jobs.ended.wait_for(guard, timeout, [&jobs] { return jobs.running == 0; });
}

}  // namespace driver
