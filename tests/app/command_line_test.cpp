#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/version.h"
#include "test_support.h"

namespace {

std::string kestrom() {
    return (test::build_dir() / "kestrom").string();
}

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
    // A Windows user's way of asking, the same on both systems.
    const auto asked = test::run_command(kestrom() + " '/?' 2>/dev/null");
    EXPECT_EQ(0, asked.status) << "kestrom /? is not taken for --help";
    EXPECT_EQ(help.output, asked.output);

    // The usage line goes to standard error only.
    const auto unknown = test::run_command("{ " + kestrom() + " frobnicate 2>&1 >/dev/null; }");
    EXPECT_EQ(2, unknown.status);
    EXPECT_EQ("kestrom: unknown command 'frobnicate'; see 'kestrom --help'\n", unknown.output);
}

// --report follows a link at the file's name only when the user running kestrom or root made
// it: another user's link could make kestrom append to a file that user can't write (as root,
// anyone's). The firmware job is the vehicle: it opens the report, and in a namespace whose
// loopback is down its connect fails at once, after a record of it.
TEST(ReportOption, FollowsOnlyALinkOfTheUserOrOfRoot) {
    KESTROM_NEEDS_NETNS();  // root, to make links of other users
    test::NetNs ns("report");
    test::TempDir dir;
    namespace fs = std::filesystem;
    // Not sticky: there the kernel's own rule does not hold, and only kestrom's does.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    constexpr uid_t kRoot = 0, kUser = 65534, kOther = 65533;
    struct Case {
        const char* what;
        uid_t runner;
        uid_t link_owner;
        bool followed;
    };
    const Case cases[] = {
        {"root, through a user's link", kRoot, kUser, false},
        {"root, through its own link", kRoot, kRoot, true},
        {"a user, through the user's own link", kUser, kUser, true},
        {"a user, through root's link", kUser, kRoot, true},
        {"a user, through another user's link", kUser, kOther, false},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string n = std::to_string(row++);
        // The runner's own file, which only the runner may write, and its own settings.
        const auto file = dir.write("report" + n + ".jsonl", "");
        ASSERT_EQ(0, ::chown(file.c_str(), c.runner, c.runner));
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
        const auto home = dir / ("home" + n);
        fs::create_directory(home);
        ASSERT_EQ(0, ::chown(home.c_str(), c.runner, c.runner));
        const auto link = dir / ("link" + n);
        fs::create_symlink(file, link);
        ASSERT_EQ(0, ::lchown(link.c_str(), c.link_owner, c.link_owner));

        const std::string as_runner =
            c.runner == kRoot ? ""
                              : "setpriv --reuid=" + std::to_string(c.runner) +
                                    " --regid=" + std::to_string(c.runner) + " --clear-groups ";
        const auto r = test::run_command(
            ns.exec() + "env KESTROM_REGISTRY=" + (home / "registry.db").string() + " " +
            as_runner + kestrom() + " firmware --address 127.0.0.1 --report " + link.string() +
            " 2>&1");
        EXPECT_EQ(1, r.status) << r.output;
        const std::string written = test::read_file(file);
        if (c.followed) {
            EXPECT_NE(std::string::npos, written.find("\"event\":\"firmware\"")) << r.output;
        } else {
            EXPECT_EQ("", written);
            EXPECT_EQ("kestrom firmware: can't open the load report " + link.string() +
                          ": it is another user's symbolic link, which kestrom does not follow; "
                          "remove it or name another file\n",
                      r.output);
        }
    }
}

}  // namespace
