// `kestrom config`, run as the built executable against a scratch hive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.typed);
        EXPECT_EQ(0, config(std::string("set ") + c.name + " " + c.typed).status);
        const auto r = config(std::string("get ") + c.name);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(std::string(c.stored) + "\n", r.output);
    }
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
    for (const char* args : {"get poolsize", "set Nope 1"}) {
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
    EXPECT_THAT(list.output, HasSubstr(hive_.path().string() + " is not a registry hive"));
    EXPECT_THAT(list.output, HasSubstr("PoolSize=10\n"));
    const auto set = config("set PoolSize 3");
    EXPECT_EQ(1, set.status);
    EXPECT_EQ("not a hive\n", test::read_file(hive_.path()));
}

}  // namespace
