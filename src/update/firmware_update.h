// The controller firmware update: log into the controller's command shell over the telnet
// client, check its firmware version (3.2 or higher) and tell it to update itself.
//
// Two ways to hand a job over. The window's (firmware_update_start) only prepares the one
// process-wide client and starts the job thread, which connects (waiting at most
// kConnectTimeout for the controller) and then runs the dialogue: the window's thread never
// waits for the network. The command line's (firmware_update_hand_over) connects in the
// caller's thread first, so that it learns the connect's outcome, and runs the dialogue on the
// job thread. Every step reports to the event log, with the same lines in the same order either
// way; nothing is retried.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "update/dialogue.h"
#include "update/telnet_client.h"

namespace update {

// The controller's shell port.
inline constexpr std::uint16_t kTelnetPort = 23;

// Exit codes of FirmwareUpdateThread.
inline constexpr int kJobFailed = 0;
inline constexpr int kJobSucceeded = 1;  // login, version check and update all succeeded

enum class HandOverResult {
    started,          // the job thread runs (connected already, for firmware_update_hand_over)
    connect_failed,   // logged, and no job runs: the caller's connect failed
                      // (firmware_update_hand_over), or no thread could be started
    already_running,  // a job (or its connect) was still running; the click was ignored
};

// "Update Firmware": gives the one process-wide client the login and password and starts the
// job thread, which connects to `address` and, when that succeeds, runs the dialogue. Returns at
// once without touching the network; a failed connect is logged by the job, which then ends
// with kJobFailed. Each exchange may last at most `exchange_limit`, the connect at most
// `connect_timeout`.
HandOverResult firmware_update_start(std::string_view login, std::string_view password,
                                     std::string_view address, std::uint16_t port = kTelnetPort,
                                     std::chrono::milliseconds exchange_limit = kExchangeLimit,
                                     std::chrono::milliseconds connect_timeout = kConnectTimeout);

// The same, but the connect runs in the caller's thread (which it holds up to
// `connect_timeout`) before the job thread starts: connect_failed tells a failed connect, and
// no job was started then. For the command line, which waits for the job anyway.
HandOverResult firmware_update_hand_over(
    std::string_view login, std::string_view password, std::string_view address, std::uint16_t port,
    std::chrono::milliseconds exchange_limit = kExchangeLimit,
    std::chrono::milliseconds connect_timeout = kConnectTimeout);

// True while a job (or its connect) runs: a hand-over now would be ignored.
bool firmware_job_running();

// Waits until no firmware job runs and returns the exit code of the last job that ended
// (kJobFailed when none ever ran). Each exchange of a job has its overall limit, so a job ends.
int wait_for_firmware_job();
// The same with a deadline; nullopt when a job still runs after `timeout`.
std::optional<int> wait_for_firmware_job(std::chrono::milliseconds timeout);

// The one process-wide client; null before the first hand-over. For tests that check reuse.
const CTelnetClient* firmware_client();

// The job thread's body: Login, CheckVersion and SendUpdate in turn (each only when the one
// before succeeded), then Close in every case. kJobSucceeded or kJobFailed.
int FirmwareUpdateThread(CTelnetClient* client);

// The three steps of the dialogue (update/dialogue.h) on the client; true: go on.
bool Login(CTelnetClient& client);
bool CheckVersion(CTelnetClient& client);
bool SendUpdate(CTelnetClient& client);

}  // namespace update
