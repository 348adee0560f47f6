// A site's controllers loaded as one job: each as load_controller does it, up to a number at
// once, with a record in the load report for each step and each verdict, a stop that leaves
// every restarting controller served, and the texts the command line prints (a line per step,
// a summary table).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "load/boot_watch.h"
#include "load/controller_list.h"
#include "load/controller_load.h"

namespace load {

class SiteLoad {
public:
    // Starts at once: `parallel` threads take the controllers in the list's order. The
    // observer's calls come from those threads.
    SiteLoad(std::vector<std::uint32_t> controllers, std::size_t parallel, LoadOptions options,
             Observer& observer);
    ~SiteLoad();  // stops, and waits for what was told to update
    SiteLoad(const SiteLoad&) = delete;
    SiteLoad& operator=(const SiteLoad&) = delete;

    // No controller starts from now on, none still in its dialogue is told to update, and the
    // controllers told already are followed until their boot ends or its bound runs out.
    void stop();
    bool stopped() const { return stop_.load(); }
    // Waits for the end; one result per controller, in the list's order.
    std::vector<ControllerResult> wait();

private:
    class Recorder;
    void work();

    std::vector<std::uint32_t> controllers_;
    LoadOptions options_;
    std::unique_ptr<Recorder> recorder_;
    BootWatch boots_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> next_{0};
    std::mutex mutex_;
    std::vector<ControllerResult> results_;  // guarded by mutex_
    std::vector<std::thread> threads_;
};

// Fills in what a load takes from the settings as they are now (login, password, boot file) and
// the digest of the boot file, read from `tftp_directory` as the TFTP service reads it. The
// refusal when the boot file can't be read.
std::optional<Refusal> take_settings(const std::string& tftp_directory, LoadOptions& options);

// The SHA-256 of a file as lower-case hex; nullopt with the system's words in *error.
std::optional<std::string> file_sha256(const std::string& path, std::string* error);

// "10.1.2.20         network boot      ok      6.2 s  lease 10.1.2.100, ..."
std::string step_line(const StepEvent& event);

// The table at the end: address, hardware address, version before -> after, seconds, verdict;
// then a line that counts the verdicts, and, when the load was stopped, what that left.
std::string summary_table(const std::vector<ControllerResult>& results, bool stopped);

}  // namespace load
