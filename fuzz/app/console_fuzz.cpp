#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/console.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bool blank = false;
    (void)app::parse_console_command(std::string_view(reinterpret_cast<const char*>(data), size),
                                     &blank);
    return 0;
}
