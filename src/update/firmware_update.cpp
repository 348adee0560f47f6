// Placeholder until the firmware update lands.
#include "update/firmware_update.h"

namespace update {

void firmware_update_hand_over(std::string_view, std::string_view, std::string_view) {}

}  // namespace update
