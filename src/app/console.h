// The console of `kestrom serve`: one command per line on standard input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/settings.h"

namespace app {

struct ConsoleCommand {
    enum class Kind { set, firmware, web, quit };
    Kind kind;
    core::Setting setting{};  // for set
    std::string text;         // for set: the rest of the line after one blank
};

// One line (without its line end; a trailing carriage return is ignored). Blank lines and
// anything that is not a command give nullopt; *blank tells the two apart.
std::optional<ConsoleCommand> parse_console_command(std::string_view line, bool* blank = nullptr);

inline constexpr const char* kConsoleUsage =
    "usage: set NAME TEXT | firmware | web | quit  (NAME: ZorvaIPStartAddress, PoolSize, "
    "bootFile, netmask, ZorvaIPAddress, ZorvaLogin, ZorvaPassword, Zorva_TFTP_TCP_PORT)\n";

}  // namespace app
