#include "app/console.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/progress_line.h"
#include "core/event_log.h"
#include "core/progress.h"
#endif

namespace app {
namespace {

TEST(ConsoleCommand, TakesTheRestOfTheLineAfterOneBlankAsText) {
    struct Case {
        const char* line;
        core::Setting setting;
        const char* text;
    };
    const Case cases[] = {
        {"set PoolSize 12", core::Setting::PoolSize, "12"},
        {"set ZorvaPassword  two words ", core::Setting::ZorvaPassword, " two words "},
        {"set Zorva_TFTP_TCP_PORT ", core::Setting::Zorva_TFTP_TCP_PORT, ""},
        {"set Zorva_TFTP_TCP_PORT", core::Setting::Zorva_TFTP_TCP_PORT, ""},
        {"set bootFile zorva.bin\r", core::Setting::bootFile, "zorva.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto command = parse_console_command(c.line);
        ASSERT_TRUE(command);
        EXPECT_EQ(ConsoleCommand::Kind::set, command->kind);
        EXPECT_EQ(c.setting, command->setting);
        EXPECT_EQ(c.text, command->text);
    }
}

TEST(ConsoleCommand, RefusesWhatIsNotACommand) {
    for (const char* line : {"set poolsize 12", "set", "set  PoolSize 1", "Firmware", "web now",
                             "quit ", "help", "set Nothing x"}) {
        SCOPED_TRACE(line);
        bool blank = true;
        EXPECT_FALSE(parse_console_command(line, &blank));
        EXPECT_FALSE(blank);
    }
    bool blank = false;
    EXPECT_FALSE(parse_console_command("  \r", &blank));
    EXPECT_TRUE(blank);
    EXPECT_EQ(ConsoleCommand::Kind::firmware, parse_console_command("firmware")->kind);
    EXPECT_EQ(ConsoleCommand::Kind::web, parse_console_command("web\r")->kind);
    EXPECT_EQ(ConsoleCommand::Kind::quit, parse_console_command("quit")->kind);
}

#if !defined(_WIN32)  // a POSIX pseudo-terminal as standard error
// The line shows what a peer chose, here the controller's version text: on the terminal its
// control bytes appear as hex, and the line's own CR and erase sequence stay the only commands.
TEST(ProgressLine, ShowsAPeersControlBytesAsHexOnTheTerminal) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, ::grantpt(master));
    ASSERT_EQ(0, ::unlockpt(master));
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    std::FILE* terminal = ::fdopen(slave, "w");
    ASSERT_NE(nullptr, terminal);

    const auto job = core::progress_board().begin(core::ActivityKind::firmware, "192.168.1.50");
    job->set_step("version check (1.0 \x1b#8\x1b(0)");  // as the job names the version it read
    const std::string shown = "Firmware update: version check (1.0 \\x1B#8\\x1B(0)";
    std::string screen;
    {
        ProgressLine line(terminal);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (screen.find(shown) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master, POLLIN, 0};
            if (::poll(&ready, 1, 100) != 1) continue;
            char buffer[4096];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) screen.append(buffer, static_cast<std::size_t>(n));
        }
    }
    job->finish(false, "failed at version check");
    std::fclose(terminal);
    ::close(master);

    EXPECT_NE(std::string::npos, screen.find(shown)) << core::escape_controls(screen);
    for (std::size_t at; (at = screen.find("\r\x1b[K")) != std::string::npos;) screen.erase(at, 4);
    EXPECT_EQ(std::string::npos, screen.find('\x1b')) << "a raw ESC reached the terminal";
}
#endif

}  // namespace
}  // namespace app
