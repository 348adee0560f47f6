// kestrom firmware [--address A] [--login L] [--password P]: the firmware dialogue once, with the
// stored settings (or their defaults) unless overridden, the job's log on standard output.
#include <cstdio>
#include <memory>
#include <string>

#include "app/commands.h"
#include "app/progress_line.h"
#include "core/event_log.h"
#include "core/settings.h"
#include "driver/driver.h"
#include "registry/settings_store.h"
#include "update/firmware_update.h"

namespace app {
namespace {

constexpr const char* kFirmwareUsage =
    "usage: kestrom firmware [--address A] [--login L] [--password P] [--report FILE]\n";

}  // namespace

int run_firmware(Args args) {
    std::string address = registry::stored_setting_text(core::Setting::ZorvaIPAddress);
    std::string login = registry::stored_setting_text(core::Setting::ZorvaLogin);
    std::string password = registry::stored_setting_text(core::Setting::ZorvaPassword);

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view option = args[i];
        std::string* target = option == "--address"    ? &address
                              : option == "--login"    ? &login
                              : option == "--password" ? &password
                                                       : nullptr;
        if (option == "--help" || option == "-h") {
            std::fputs(kFirmwareUsage, stdout);
            return 0;
        }
        if (option == "--report" && i + 1 < args.size()) {
            if (!start_report("firmware", args[++i])) return 1;
            continue;
        }
        if (target == nullptr || i + 1 >= args.size()) {
            std::fprintf(stderr, "kestrom firmware: %s '%.*s'\n%s",
                         target == nullptr ? "unknown option" : "missing value for",
                         static_cast<int>(option.size()), option.data(), kFirmwareUsage);
            return kUsageError;
        }
        // Settings are 255-character texts wherever they come from.
        *target = std::string(args[++i].substr(0, core::kSettingTextMax));
    }

    ProgressLine progress;
    core::set_log_sink(progress.log_sink());
    core::log_printf("%s", driver::kFirmwareStartLine);
    const update::HandOverResult started =
        update::firmware_update_hand_over(login, password, address, update::kTelnetPort);
    int exit_code = update::kJobFailed;
    if (started == update::HandOverResult::started) exit_code = update::wait_for_firmware_job();
    // The log is passed on byte for byte: a failed step's line stays open here too.
    core::set_log_sink(nullptr);  // passes on what the sink still holds
    std::fflush(stdout);
    return exit_code == update::kJobSucceeded ? 0 : 1;
}

}  // namespace app
