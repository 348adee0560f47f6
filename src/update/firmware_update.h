// The controller's firmware update: log into its shell, check the firmware version and start
// the update.
#pragma once

#include <string_view>

namespace update {

// The hand-over behind "Update Firmware": gives the one process-wide client the login and
// password, connects it to the controller address (in the caller's thread) and, when that
// succeeds, runs the dialogue on a job thread of its own. No result; everything is logged.
void firmware_update_hand_over(std::string_view login, std::string_view password,
                               std::string_view address);

}  // namespace update
