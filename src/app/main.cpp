#include <cstdio>
#include <string_view>
#include <vector>

#include "app/commands.h"
#include "core/version.h"
#include "platform/desktop.h"

namespace {

constexpr const char* kUsage =
    "usage: kestrom [COMMAND] [ARGS]\n"
    "\n"
    "With no command, opens the kestrom window.\n"
    "\n"
    "commands:\n"
    "  serve [--trace] [--report FILE]\n"
    "                           run the DHCP and TFTP services without a window; console\n"
    "                           commands on standard input: set NAME TEXT, firmware, web, quit\n"
    "  firmware [--address A] [--login L] [--password P] [--report FILE]\n"
    "                           run the controller's firmware update once\n"
#ifdef _WIN32
    "  web [--report FILE]      upload the web pages listed in .\\kestrom.ini from .\\www\\\n"
#else
    "  web [--report FILE]      upload the web pages listed in ./kestrom.ini from ./www/\n"
#endif
    "  config list              show the eight settings\n"
    "  config get NAME          show one setting\n"
    "  config set NAME TEXT     store one setting\n"
    "  check [--json] [--probe] [--report FILE]\n"
    "                           will a controller boot from this PC now?\n"
    "  load [--controller A | --controllers FILE [--parallel N]] [--web] [--report FILE]\n"
    "                           update controllers and verify each runs the new firmware\n"
    "                           (see 'kestrom load --help')\n"
    "\n"
    "--report FILE appends a load report to FILE: one JSON object per line for each lease,\n"
    "TFTP transfer (with the SHA-256 of its bytes), firmware job, web job and check.\n"
    "serve, firmware and web show a progress line on standard error when it is a terminal.\n"
    "  --help                   show this text\n"
    "  --version                show the version\n";

}  // namespace

int main(int argc, char** argv) {
    // Windows: kestrom.exe is a GUI program, so a start from the desktop shows no console;
    // started from a console, it prints to that console (platform/desktop.h).
    (void)platform::connect_console();  // how it was started matters only to the window
    if (argc < 2) return app::run_window(argc, argv);
    const std::vector<std::string_view> args(argv + 2, argv + argc);
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help" || command == "/?") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::puts("kestrom " KESTROM_VERSION);
        return 0;
    }
    if (command == "serve") return app::run_serve(args);
    if (command == "firmware") return app::run_firmware(args);
    if (command == "web") return app::run_web(args);
    if (command == "config") return app::run_config(args);
    if (command == "check") return app::run_check(args);
    if (command == "load") return app::run_load(args);
    std::fprintf(stderr, "kestrom: unknown command '%.*s'; see 'kestrom --help'\n",
                 static_cast<int>(command.size()), command.data());
    return app::kUsageError;
}
