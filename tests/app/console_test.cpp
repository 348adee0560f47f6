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
#include <string_view>

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
        {"set poolsize 12", core::Setting::PoolSize, "12"},  // any case, as the registry's names
        {"set ZORVA_TFTP_TCP_PORT 81", core::Setting::Zorva_TFTP_TCP_PORT, "81"},
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
    for (const char* line : {"set PoolSizes 12", "set", "set  PoolSize 1", "Firmware", "web now",
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
// A pseudo-terminal: the line draws on its one end, the test reads the other.
class Terminal {
public:
    Terminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        const int slave = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave >= 0) stream_ = ::fdopen(slave, "w");
    }
    ~Terminal() {
        if (stream_) std::fclose(stream_);
        if (master_ >= 0) ::close(master_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    std::FILE* stream() const { return stream_; }

    // Reads what was written until `text` is among it (or, with no text, until 100 ms pass
    // without a byte), for 5 s at most; all that was read so far.
    const std::string& read_until(std::string_view text = {}) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while ((text.empty() || read_.find(text) == std::string::npos) &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master_, POLLIN, 0};
            if (::poll(&ready, 1, 100) != 1) {
                if (text.empty()) break;
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) read_.append(buffer, static_cast<std::size_t>(n));
        }
        return read_;
    }

private:
    int master_ = -1;
    std::FILE* stream_ = nullptr;
    std::string read_;
};

// The line shows what a peer chose, here the controller's version text: on the terminal its
// control bytes appear as hex, and the line's own CR and erase sequence stay the only commands.
TEST(ProgressLine, ShowsAPeersControlBytesAsHexOnTheTerminal) {
    Terminal terminal;
    ASSERT_NE(nullptr, terminal.stream());

    const auto job = core::progress_board().begin(core::ActivityKind::firmware, "192.168.1.50");
    job->set_step("version check (1.0 \x1b#8\x1b(0)");  // as the job names the version it read
    const std::string shown = "Firmware update: version check (1.0 \\x1B#8\\x1B(0)";
    std::string screen;
    {
        ProgressLine line(terminal.stream());
        screen = terminal.read_until(shown);
    }
    job->finish(false, "failed at version check");

    EXPECT_NE(std::string::npos, screen.find(shown)) << core::escape_controls(screen);
    for (std::size_t at; (at = screen.find("\r\x1b[K")) != std::string::npos;) screen.erase(at, 4);
    EXPECT_EQ(std::string::npos, screen.find('\x1b')) << "a raw ESC reached the terminal";
}

// The row a console that acts on CR and backspace only shows after these bytes, without its
// trailing blanks.
std::string row_shown(std::string_view bytes) {
    std::string row;
    std::size_t column = 0;
    for (const char c : bytes) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\b') {
            column -= column > 0 ? 1 : 0;
        } else {
            if (column >= row.size()) row.resize(column + 1, ' ');
            row[column++] = c;
        }
    }
    return row.substr(0, row.find_last_not_of(' ') + 1);
}

// A Windows console that shows ESC [ K instead of acting on it gets no sequence at all: a
// shorter text is drawn over a longer one with blanks after it, and the line goes as blanks.
TEST(ProgressLine, ClearsWithBlanksWhereTheConsoleTakesNoSequence) {
    Terminal terminal;
    ASSERT_NE(nullptr, terminal.stream());
    const auto job = core::progress_board().begin(core::ActivityKind::firmware, "192.168.1.50");
    job->set_step("version check (3.2)");
    {
        ProgressLine line(terminal.stream(), LineClearing::blanks);
        (void)terminal.read_until("Firmware update: version check (3.2)");
        EXPECT_EQ("Firmware update: version check (3.2)", row_shown(terminal.read_until()));
        job->set_step("update");
        (void)terminal.read_until("Firmware update: update");
        EXPECT_EQ("Firmware update: update", row_shown(terminal.read_until()))
            << core::escape_controls(terminal.read_until());
    }
    job->finish(true, "succeeded");
    const std::string& screen = terminal.read_until();
    EXPECT_EQ("", row_shown(screen))
        << "the line was not taken away: " << core::escape_controls(screen);
    EXPECT_EQ(std::string::npos, screen.find('\x1b')) << core::escape_controls(screen);
}
#endif

}  // namespace
}  // namespace app
