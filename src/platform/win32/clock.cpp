#include "platform/clock.h"

#include <chrono>

namespace platform {

// steady_clock is QueryPerformanceCounter with MinGW's libstdc++: monotonic, as on Linux.
std::int64_t now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace platform
