#include "app/console.h"

namespace app {

std::optional<ConsoleCommand> parse_console_command(std::string_view line, bool* blank) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (blank) *blank = line.find_first_not_of(" \t") == std::string_view::npos;
    if (line == "firmware") return ConsoleCommand{ConsoleCommand::Kind::firmware, {}, {}};
    if (line == "web") return ConsoleCommand{ConsoleCommand::Kind::web, {}, {}};
    if (line == "quit") return ConsoleCommand{ConsoleCommand::Kind::quit, {}, {}};
    constexpr std::string_view kSet = "set ";
    if (!line.starts_with(kSet)) return std::nullopt;
    const std::string_view rest = line.substr(kSet.size());
    const auto blank_at = rest.find(' ');
    const std::string_view name = rest.substr(0, blank_at);
    const auto setting = core::find_setting(name);
    if (!setting) return std::nullopt;
    // The text is everything after exactly one blank; "set NAME" alone clears the field.
    const std::string_view text =
        blank_at == std::string_view::npos ? std::string_view{} : rest.substr(blank_at + 1);
    return ConsoleCommand{ConsoleCommand::Kind::set, *setting, std::string(text)};
}

}  // namespace app
