// The pre-flight check: "will a controller boot from this PC now?", one item per thing that can
// stop it, each with a status, what was found and, for a problem, what to do about it. The
// items are made here and printed by the command and the windows; nothing here writes to the log
// or a stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "core/settings.h"

namespace check {

enum class CheckStatus { ok, warn, fail };

struct CheckItem {
    std::string item;  // "zorva.bin", "UDP 67", ...
    CheckStatus status = CheckStatus::ok;
    std::string detail;  // what was found
    std::string fix;     // what to do; empty when there is nothing to do
};

struct CheckOptions {
    // Send one DHCPDISCOVER on the chosen interface and report other servers' offers. Without
    // it nothing at all is sent on the network except the connects to the controller.
    bool probe = false;
    std::chrono::milliseconds wait{2000};  // each connect, and the probe's wait for offers
    // The ports whose holders are looked at: the DHCP and the TFTP service's (tests move them).
    std::uint16_t dhcp_port = 67;
    std::uint16_t tftp_port = 69;
};

// "ok", "warn", "fail".
const char* status_text(CheckStatus status);

// Runs every check in its order, relative to the current directory, with these settings.
std::vector<CheckItem> run_checks(const core::ToolSettings& settings, const CheckOptions& options);

// The worst status of the items.
CheckStatus overall_status(const std::vector<CheckItem>& items);

// The line that closes the check's text: "a controller can boot from this PC: 0 failed, 1
// warnings", or "a controller will not boot from this PC until the failures are fixed: ...".
std::string check_summary(const std::vector<CheckItem>& items);

// The items as one JSON object: {"items": [{item, status, detail, fix}...], "status": worst}.
nlohmann::ordered_json check_document(const std::vector<CheckItem>& items);

// Runs the checks and adds them to the load report, as the command and the window do.
std::vector<CheckItem> run_and_report_checks(const core::ToolSettings& settings,
                                             const CheckOptions& options);

// The largest file that a read without the blksize option can send: 512-byte blocks, the last
// one the first short one, and no block number beyond 65534 (block 65535 is refused).
inline constexpr std::uint64_t kLargestPlainRead = 65534ull * 512 - 1;

}  // namespace check
