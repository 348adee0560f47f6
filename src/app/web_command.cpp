#include <cstdio>
#include <memory>

#include "app/commands.h"
#include "app/progress_line.h"
#include "core/event_log.h"
#include "driver/driver.h"
#include "web/web_update.h"

namespace app {

// `kestrom web`: the web pages update once, with the stored settings, its log on standard
// output. Exit status 0 when every listed file was read and every request got a 2xx status.
int run_web(Args args) {
    if (args.size() == 2 && args[0] == "--report") {
        if (!start_report("web", args[1])) return 1;
    } else if (!args.empty()) {
        std::fputs("usage: kestrom web [--report FILE]\n", stderr);
        return kUsageError;
    }
    ProgressLine progress;
    core::set_log_sink(progress.log_sink());
    // The stored settings into the record, as the window's start-up loads them.
    driver::TextFrontEnd front_end;
    driver::Driver(front_end).load_settings();
    core::log_printf("%s", driver::kWebPagesStartLine);
    const web::WebUpdateReport report = web::run_web_update();
    core::set_log_sink(nullptr);
    return report.all_done() ? 0 : 1;
}

}  // namespace app
