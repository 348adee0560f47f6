// The list-file reader over any bytes, followed by the job's lookup of FILE1..FILEn.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "web/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<web::IniRecord> records;
    web::read_ini_records(in, records);
    for (int n = 1; n < 64; ++n) {
        const std::string key = "FILE" + std::to_string(n);
        bool found = false;
        for (const auto& r : records) found = found || (r.section == "FILES" && r.key == key);
        if (!found) break;
    }
    return 0;
}
