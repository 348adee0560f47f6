#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "app/commands.h"
#include "app/console.h"
#include "app/progress_line.h"
#include "core/event_log.h"
#include "driver/driver.h"
#include "platform/process.h"
#include "registry/settings_store.h"

namespace app {
namespace {

// Lines from the console reader and the end request from the signal watcher, handed to the
// main thread, which is the front-end's thread: the only one that edits settings.
class Inbox {
public:
    void push_line(std::string line) {
        {
            std::lock_guard lock(mutex_);
            lines_.push_back(std::move(line));
        }
        changed_.notify_one();
    }
    void request_end() {
        {
            std::lock_guard lock(mutex_);
            end_ = true;
        }
        changed_.notify_one();
    }
    // The next line, or nullopt once the end was requested.
    std::optional<std::string> next() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return end_ || !lines_.empty(); });
        if (end_) return std::nullopt;
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        return line;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    bool end_ = false;
};

}  // namespace

int run_serve(Args args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--trace") {
            core::set_trace_enabled(true);
        } else if (args[i] == "--report" && i + 1 < args.size()) {
            if (!start_report("serve", args[++i])) return 1;
        } else {
            std::fputs("usage: kestrom serve [--trace] [--report FILE]\n", stderr);
            return kUsageError;
        }
    }

    // The end request (Ctrl-C, SIGTERM) is taken by one watcher thread; made before any other
    // thread starts.
    static platform::EndRequest end_request;

    registry::ensure_settings_key();
    ProgressLine progress;
    core::set_log_sink(progress.log_sink());

    driver::TextFrontEnd front_end;
    driver::Driver driver(front_end);
    driver.load_settings();
    driver.start_services();

    Inbox inbox;
    std::thread([&inbox] {
        end_request.wait();
        inbox.request_end();
    }).detach();
    // The end of standard input only ends the reading: the tool may run with </dev/null.
    std::thread([&inbox] {
        std::string line;
        while (std::getline(std::cin, line)) inbox.push_line(line);
    }).detach();

    while (const auto line = inbox.next()) {
        bool blank = false;
        const auto command = parse_console_command(*line, &blank);
        if (!command) {
            if (!blank) std::fputs(kConsoleUsage, stderr);
            continue;
        }
        if (command->kind == ConsoleCommand::Kind::quit) break;
        switch (command->kind) {
            case ConsoleCommand::Kind::set:
                front_end.set_field_text(command->setting, command->text);
                driver.apply_setting_edit(command->setting, command->text);
                break;
            case ConsoleCommand::Kind::firmware:
                driver.start_firmware_update();
                break;
            case ConsoleCommand::Kind::web:
                driver.start_web_pages_update();
                break;
            case ConsoleCommand::Kind::quit:
                break;
        }
    }

    // Whatever a service thread or the log's writer is doing (a file that blocks, a reader of
    // standard output that stalls), the process ends within 2 s of the request: what still runs
    // after a grace time is cut off, once the log had a last chance to get out.
    std::thread([] {
        using namespace std::chrono_literals;
        std::this_thread::sleep_for(1000ms);
        std::thread([] {
            core::flush_log();
            std::fflush(stdout);
            std::_Exit(0);
        }).detach();
        std::this_thread::sleep_for(400ms);
        std::_Exit(0);
    }).detach();
    driver.stop_services();
    progress.stop();
    core::flush_log();
    std::fflush(stdout);
    // Jobs and the console reader may still run; they end with the process, as in the window.
    std::_Exit(0);  // stdout is flushed; nothing else is waited for
}

}  // namespace app
