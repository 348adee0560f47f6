#include "app/console.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace app
