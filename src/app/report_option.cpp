#include <cstdio>
#include <string>

#include "app/commands.h"
#include "core/load_report.h"

namespace app {

bool start_report(std::string_view command, std::string_view path) {
    std::string error;
    if (core::report_to_file(std::string(path), &error)) return true;
    std::fprintf(stderr, "kestrom %.*s: can't open the load report %.*s: %s\n",
                 static_cast<int>(command.size()), command.data(), static_cast<int>(path.size()),
                 path.data(), error.c_str());
    return false;
}

}  // namespace app
