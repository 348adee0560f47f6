#include <cstdio>
#include <memory>

#include "app/commands.h"
#include "core/event_log.h"
#include "core/settings.h"
#include "registry/settings_store.h"
#include "web/web_update.h"

namespace app {
namespace {

// The stored settings into the record, as the dialog's start-up loads them.
void load_stored_settings() {
    for (const core::SettingInfo& info : core::kSettings) {
        char text[core::kSettingTextSize]{};
        (void)registry::read_setting(info.name, info.default_text, text);  // always 0
        if (info.setting == core::Setting::Zorva_TFTP_TCP_PORT)
            core::settings_set_port(core::decimal_value(text));
        else
            core::settings_set_text(info.setting, text);
    }
}

}  // namespace

// `kestrom web`: the web pages update once, with the stored settings, its log on standard
// output. Exit status 0 when every listed file was read and every request got a 2xx status.
int run_web(Args args) {
    if (!args.empty()) {
        std::fputs("usage: kestrom web\n", stderr);
        return kUsageError;
    }
    core::set_log_sink(std::make_shared<core::StdoutLogSink>());
    load_stored_settings();
    core::log_printf("ZorvaController Web Page Update Starting\n");
    const web::WebUpdateReport report = web::run_web_update();
    core::set_log_sink(nullptr);
    return report.all_done() ? 0 : 1;
}

}  // namespace app
