// The HTTP status-line parser over any bytes; a status it returns must be 0..999.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "web/http_client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    if (const auto status = web::parse_status_line(line); status && (*status < 0 || *status > 999))
        std::abort();
    return 0;
}
