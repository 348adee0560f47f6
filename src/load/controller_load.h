// One controller's load, followed from the update command to the new version running: the
// firmware dialogue, the controller's hardware address, that address's network boot (its lease
// and the whole boot file, by digest), the controller back with its shell and a second version
// read, the web pages when asked for, and a verdict. The DHCP and TFTP services of the process
// serve the boot; the load only watches their records (core/load_report.h).
//
// A site is many such loads, up to a number at once (site_load.h); the window and the command
// line both drive it and show its events.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace load {

// The steps, in their order. `verdict` ends every load, whatever step it got to.
enum class Step : std::uint8_t { update, hardware, boot, back, web, verdict };
inline constexpr std::size_t kSteps = 6;

// "update", "hardware address", "network boot", "back", "web pages", "verdict".
const char* step_name(Step step);

// How long each step may take. The defaults fit a controller on the bench: its dialogue takes
// seconds, a boot loader asks for its lease within a minute of the restart, and a 3 MB image
// takes seconds on a link at 100 Mbit/s.
struct Bounds {
    std::chrono::seconds update{90};  // connect, login, version read, "update" and "y"
    std::chrono::seconds boot{120};   // from "y" to this hardware address's DHCP ACK
    std::chrono::seconds image{300};  // from the ACK to the whole boot file served
    std::chrono::seconds back{180};   // from the file served to the second version read
    std::chrono::seconds web{600};    // the whole web pages job
};

struct LoadOptions {
    std::string login;
    std::string password;
    std::uint16_t telnet_port = 23;
    bool web = false;
    std::string expect_version;  // empty: verified by any version other than the one before
    Bounds bounds;
    std::string boot_file;  // the name the boot loader reads ("zorva.bin")
    std::string sha256;     // the boot file's digest, lower-case hex
};

// The end of one step (or of the load, for `verdict`).
struct StepEvent {
    std::uint32_t controller = 0;  // host byte order
    Step step = Step::update;
    bool ok = false;
    std::string text;  // "version 3.2, update confirmed"; why, when not ok
    std::chrono::milliseconds took{0};
};

struct ControllerResult {
    std::uint32_t controller = 0;
    std::string hardware;        // "52:54:00:12:34:56"; empty when not known
    std::string lease;           // the address the boot loader was given; empty when none
    std::string version_before;  // empty when not read
    std::string version_after;
    std::chrono::milliseconds took{0};
    bool verified = false;
    bool told_to_update = false;  // "y" went out: the controller restarts
    bool started = false;         // false: never started (the load was stopped before its turn)
    std::string verdict;          // "verified", or "failed at network boot: ..."
};

// What a load tells as it goes. Calls come from the load's own threads, one controller's in
// order; they must return quickly.
class Observer {
public:
    virtual ~Observer() = default;
    virtual void step_started(std::uint32_t /*controller*/, Step /*step*/) {}
    virtual void step_ended(const StepEvent& event) = 0;
    // Bytes of the boot file served to the controller so far, and of the whole file.
    virtual void boot_progress(std::uint32_t /*controller*/, std::uint64_t /*done*/,
                               std::uint64_t /*total*/) {}
    virtual void controller_ended(const ControllerResult& result) = 0;
};

class BootWatch;

// Loads one controller on the calling thread, through to its verdict. `stop` asks it to end
// early: before "update" it stops at once and sends nothing that changes the controller; after
// it, the boot is still followed until it ends or its bound runs out, and the later steps are
// left out.
ControllerResult load_controller(std::uint32_t controller, const LoadOptions& options,
                                 BootWatch& boots, Observer& observer,
                                 const std::atomic<bool>& stop);

// "failed at network boot: no network boot within 120 s" and the like; "verified".
std::string verdict_text(const ControllerResult& result);

}  // namespace load
