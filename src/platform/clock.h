// Time for the services: whole seconds from a clock that never goes backwards. A service reads
// it once per wake-up and passes the value down, so tests can drive time themselves.
#pragma once

#include <cstdint>

namespace platform {

std::int64_t now_seconds();

}  // namespace platform
