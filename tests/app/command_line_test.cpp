#include <gtest/gtest.h>

#include <string>

#include "core/version.h"
#include "test_support.h"

namespace {

std::string kestrom() { return (test::build_dir() / "kestrom").string(); }

TEST(CommandLine, AnswersHelpAndVersionAndRefusesUnknownCommands) {
    const auto version = test::run_command(kestrom() + " --version");
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("kestrom " KESTROM_VERSION "\n", version.output);

    const auto help = test::run_command(kestrom() + " --help 2>/dev/null");
    EXPECT_EQ(0, help.status);
    for (const char* command : {"serve", "firmware", "web", "config list", "check [--json]"}) {
        SCOPED_TRACE(command);
        EXPECT_NE(std::string::npos, help.output.find(command));
    }

    // The usage line goes to standard error only.
    const auto unknown = test::run_command("{ " + kestrom() + " frobnicate 2>&1 >/dev/null; }");
    EXPECT_EQ(2, unknown.status);
    EXPECT_EQ("kestrom: unknown command 'frobnicate'; see 'kestrom --help'\n", unknown.output);
}

}  // namespace
