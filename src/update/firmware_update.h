// The controller firmware update: log into the controller's command shell over the telnet
// client, check its firmware version (3.2 or higher) and tell it to update itself.
//
// The hand-over runs in the caller's thread (the dialog's, in the product): it gives the one
// process-wide client the login and password and connects it, waiting at most kConnectTimeout
// for the controller; the dialogue itself then runs on a job thread of its own. Every step
// reports to the event log; nothing is retried.
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
    started,          // connected; the job thread runs
    connect_failed,   // the connect failure is logged; no job was started
    already_running,  // a job (or its connect) was still running; the click was ignored
};

// The hand-over behind "Update Firmware": gives the one process-wide client the login and
// password, connects it to the controller address (in the caller's thread) and, when that
// succeeds, runs the dialogue on a job thread of its own. No result; everything is logged.
void firmware_update_hand_over(std::string_view login, std::string_view password,
                               std::string_view address);

// The same on any TCP port (tests and simulators), with the outcome of the hand-over; each
// exchange of the job may last at most `exchange_limit`, and the connect, which holds the
// caller's thread, at most `connect_timeout`.
HandOverResult firmware_update_hand_over(
    std::string_view login, std::string_view password, std::string_view address, std::uint16_t port,
    std::chrono::milliseconds exchange_limit = kExchangeLimit,
    std::chrono::milliseconds connect_timeout = kConnectTimeout);

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
