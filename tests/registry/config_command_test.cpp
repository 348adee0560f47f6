// `kestrom config`, run as the built executable against a scratch hive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "temp_hive.h"

namespace {

using testing::HasSubstr;

class ConfigCommand : public testing::Test {
protected:
    test::CommandResult config(const std::string& args) {
        return test::run_command("KESTROM_REGISTRY='" + hive_.path().string() + "' '" +
                                 (test::build_dir() / "kestrom").string() + "' config " + args +
                                 " 2>&1");
    }
    test::TempHive hive_;
};

TEST_F(ConfigCommand, ListShowsEverySettingInTableOrderWithDefaults) {
    const auto r = config("list");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(
        "ZorvaIPStartAddress=192.168.1.50\n"
        "PoolSize=10\n"
        "bootFile=zorva.bin\n"
        "netmask=255.255.255.0\n"
        "ZorvaIPAddress=192.168.1.50\n"
        "ZorvaLogin=admin\n"
        "ZorvaPassword=7305\n"
        "Zorva_TFTP_TCP_PORT=80\n",
        r.output);
}

TEST_F(ConfigCommand, SetStoresTextsAsTypedAndThePortAsASignedDecimal) {
    struct Case {
        const char* name;
        const char* typed;  // shell-quoted
        const char* stored;
    };
    const Case cases[] = {
        {"Zorva_TFTP_TCP_PORT", "' 8080x'", "8080"},
        {"Zorva_TFTP_TCP_PORT", "-1", "-1"},
        {"Zorva_TFTP_TCP_PORT", "abc", "0"},
        {"Zorva_TFTP_TCP_PORT", "''", "0"},
        {"PoolSize", "12abc", "12abc"},
        {"netmask", "' 255.255.0.0 '", " 255.255.0.0 "},
        {"ZorvaLogin", "''", ""},
        {"zorva_tftp_tcp_port", "8081", "8081"},  // any case, as the registry's value names
        {"POOLSIZE", "7", "7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.typed);
        EXPECT_EQ(0, config(std::string("set ") + c.name + " " + c.typed).status);
        const auto r = config(std::string("get ") + c.name);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(std::string(c.stored) + "\n", r.output);
    }
    // Listed as the table spells the names, whatever case they were set in.
    EXPECT_THAT(config("list").output,
                HasSubstr("PoolSize=7\nbootFile=zorva.bin\nnetmask= 255.255.0.0 \n"));
    EXPECT_THAT(config("list").output, HasSubstr("\nZorvaLogin=\nZorvaPassword=7305\n"));
}

TEST_F(ConfigCommand, WrongUsageExitsWith2) {
    const char* cases[] = {
        "", "show", "list extra", "get", "get PoolSize extra", "set PoolSize", "set PoolSize a b"};
    for (const char* args : cases) {
        SCOPED_TRACE(args);
        const auto r = config(args);
        EXPECT_EQ(2, r.status);
        EXPECT_THAT(r.output, HasSubstr("usage: kestrom config list"));
    }
}

TEST_F(ConfigCommand, AnUnknownNameExitsWith2AndListsTheNames) {
    for (const char* args : {"get pool_size", "set Nope 1"}) {
        SCOPED_TRACE(args);
        const auto r = config(args);
        EXPECT_EQ(2, r.status);
        EXPECT_THAT(r.output, HasSubstr("ZorvaIPStartAddress\n"));
        EXPECT_THAT(r.output, HasSubstr("Zorva_TFTP_TCP_PORT\n"));
    }
}

TEST_F(ConfigCommand, AFileThatIsNotAHiveGivesDefaultsAndAFailedSet) {
    hive_.dir().write("config/registry.db", "not a hive\n");
    const auto list = config("list");
    EXPECT_EQ(0, list.status);
    EXPECT_THAT(list.output, HasSubstr("kestrom: registry hive " + hive_.path().string() +
                                       " can't be used (file is not a database)"));
    EXPECT_THAT(list.output, HasSubstr("PoolSize=10\n"));
    const auto set = config("set PoolSize 3");
    EXPECT_EQ(1, set.status);
    EXPECT_EQ("not a hive\n", test::read_file(hive_.path()));
}

// The hive's place when KESTROM_REGISTRY is not set: XDG_CONFIG_HOME (when absolute), else HOME.
TEST_F(ConfigCommand, FindsTheHiveThroughTheEnvironment) {
    const std::string dir = hive_.dir().path().string();
    struct Case {
        const char* what;
        std::string env;
        std::string hive;  // empty: no hive at all
    };
    const Case cases[] = {
        {"xdg", "XDG_CONFIG_HOME='" + dir + "/xdg' HOME='" + dir + "/home'",
         dir + "/xdg/kestrom/registry.db"},
        {"relative xdg ignored", "XDG_CONFIG_HOME=rel HOME='" + dir + "/home2'",
         dir + "/home2/.config/kestrom/registry.db"},
        {"home", "HOME='" + dir + "/home3'", dir + "/home3/.config/kestrom/registry.db"},
        {"empty variable ignored", "KESTROM_REGISTRY= HOME='" + dir + "/home4'",
         dir + "/home4/.config/kestrom/registry.db"},
        {"nowhere", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = test::run_command("cd '" + dir + "' && env -i " + c.env + " '" +
                                         (test::build_dir() / "kestrom").string() +
                                         "' config set PoolSize 4 2>&1");
        if (c.hive.empty()) {
            EXPECT_EQ(1, r.status);
            EXPECT_THAT(r.output, HasSubstr("no place for the registry hive"));
            continue;
        }
        EXPECT_EQ(0, r.status) << r.output;
        EXPECT_TRUE(std::filesystem::exists(c.hive));
    }
    EXPECT_FALSE(std::filesystem::exists(hive_.dir().path() / "rel"));
}

// A hive that kestrom can't read or write, another user's, or one it can't make owner-only: left
// alone, said once, and the settings read as their defaults.
TEST_F(ConfigCommand, AHiveWithoutPermissionGivesDefaultsAndIsLeftAlone) {
    if (::geteuid() != 0 || test::run_command("command -v setpriv unshare").status != 0)
        GTEST_SKIP() << "needs root, setpriv and unshare to act as another user";
    namespace fs = std::filesystem;
    ASSERT_EQ(0, config("set PoolSize 5").status);
    fs::permissions(hive_.dir().path(), fs::perms::owner_all | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read |
                                            fs::perms::others_exec);
    const fs::path folder = hive_.path().parent_path();
    fs::permissions(folder, fs::perms::owner_all | fs::perms::others_exec);
    const std::string before = test::read_file(hive_.path());
    const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    // Its folder mounted read-only, in a mount namespace of its own.
    const std::string read_only_folder =
        "unshare --mount sh -c 'mount --bind \"$0\" \"$0\" && "
        "mount -o remount,bind,ro \"$0\" \"$0\" && exec \"$@\"' '" +
        folder.string() + "' ";
    struct Case {
        const char* what;
        uid_t owner;
        fs::perms mode;
        const std::string& run;  // the command's prefix
        const char* said;        // after the hive's path
    };
    const Case cases[] = {
        {"unreadable", 65534, fs::perms::owner_write, as_nobody,
         " can't be used (Permission denied)"},
        {"read only", 65534, fs::perms::owner_read, as_nobody,
         " can't be used (it cannot be written)"},
        {"another user's", 0, fs::perms::owner_read | fs::perms::owner_write, as_nobody,
         " is owned by uid 0, not by you (uid 65534)"},
        {"others may read it, on a read-only file system", 0,
         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
             fs::perms::others_read,
         read_only_folder,
         " is readable by others (mode 0644) and could not be made owner-only (Read-only file "
         "system)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, ::chown(hive_.path().c_str(), c.owner, c.owner));
        fs::permissions(hive_.path(), c.mode);
        const std::string kestrom = c.run + "env KESTROM_REGISTRY='" + hive_.path().string() +
                                    "' '" + (test::build_dir() / "kestrom").string() + "' config ";
        const auto list = test::run_command(kestrom + "list 2>&1");
        EXPECT_EQ(0, list.status);
        EXPECT_THAT(list.output, HasSubstr("PoolSize=10\n"));
        EXPECT_THAT(list.output, HasSubstr(hive_.path().string() + c.said));
        const auto set = test::run_command(kestrom + "set PoolSize 6 2>&1");
        EXPECT_EQ(1, set.status);
        EXPECT_EQ(before, test::read_file(hive_.path()));
        EXPECT_EQ(c.mode, fs::status(hive_.path()).permissions());
    }
}

}  // namespace
