// The command line's sub-commands. Each takes the arguments after its own name and returns the
// process exit status; exit statuses belong to app/ alone.
#pragma once

#include <span>
#include <string_view>

namespace app {

using Args = std::span<const std::string_view>;

int run_window(int argc, char** argv);  // no sub-command: the dialog
int run_serve(Args args);
int run_firmware(Args args);
int run_web(Args args);
int run_config(Args args);
int run_check(Args args);
int run_load(Args args);

// Exit status for wrong usage of a command.
inline constexpr int kUsageError = 2;

// "--report FILE" of serve, firmware and web: starts appending the load report to FILE. False,
// with the reason on standard error, when the file cannot be opened.
bool start_report(std::string_view command, std::string_view path);

}  // namespace app
