#include "core/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace core {
namespace {

TEST(DecimalValue, ConvertsLikeAtoi) {
    struct Case {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"80", 80},         {"8080x", 8080},    {"", 0},        {"x80", 0},
        {"-1", -1},         {"  \t+42", 42},    {"- 1", 0},     {"0012", 12},
        {"99999999999", 2147483647},            {"-99999999999", -2147483647 - 1},
        {"2147483647", 2147483647},             {"-2147483648", -2147483647 - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.value, decimal_value(c.text));
    }
}

TEST(SettingsTable, HoldsTheDefaultsAndIdsOfEverySetting) {
    EXPECT_STREQ("192.168.1.50", setting_info(Setting::ZorvaIPStartAddress).default_text);
    EXPECT_STREQ("10", setting_info(Setting::PoolSize).default_text);
    EXPECT_STREQ("zorva.bin", setting_info(Setting::bootFile).default_text);
    EXPECT_STREQ("255.255.255.0", setting_info(Setting::netmask).default_text);
    EXPECT_STREQ("192.168.1.50", setting_info(Setting::ZorvaIPAddress).default_text);
    EXPECT_STREQ("admin", setting_info(Setting::ZorvaLogin).default_text);
    EXPECT_STREQ("7305", setting_info(Setting::ZorvaPassword).default_text);
    EXPECT_STREQ("80", setting_info(Setting::Zorva_TFTP_TCP_PORT).default_text);
    for (const auto& info : kSettings) {
        SCOPED_TRACE(info.name);
        EXPECT_EQ(info.setting, setting_info(info.setting).setting);
        EXPECT_EQ(info.setting, find_setting(info.name));
    }
    EXPECT_FALSE(find_setting("poolsize"));
    EXPECT_FALSE(find_setting(""));
}

TEST(ToolSettingsRecord, StartsEmptyWithPort80AndKeepsTextsAsTyped) {
    settings_reset();
    ToolSettings s = settings_snapshot();
    for (const auto& info : kSettings)
        if (s.text(info.setting)) {
            EXPECT_STREQ("", s.text(info.setting)) << info.name;
        }
    EXPECT_EQ(80, s.Zorva_TFTP_TCP_PORT);

    settings_set_text(Setting::PoolSize, "12abc");
    settings_set_text(Setting::netmask, " 255.255.0.0 ");
    settings_set_port(decimal_value("8080x"));
    s = settings_snapshot();
    EXPECT_STREQ("12abc", s.PoolSize);
    EXPECT_STREQ(" 255.255.0.0 ", s.netmask);
    EXPECT_EQ(8080, s.Zorva_TFTP_TCP_PORT);
    settings_reset();
}

TEST(ToolSettingsRecord, CutsLongTextsAt255Characters) {
    settings_reset();
    const std::string long_text(300, 'p');
    settings_set_text(Setting::ZorvaPassword, long_text);
    const ToolSettings s = settings_snapshot();
    EXPECT_EQ(std::string(255, 'p'), s.ZorvaPassword);
    // The neighbouring field is untouched.
    EXPECT_STREQ("", s.ZorvaLogin);

    // A shorter text after a longer one leaves nothing of the old behind.
    settings_set_text(Setting::ZorvaPassword, "ab");
    EXPECT_STREQ("ab", settings_snapshot().ZorvaPassword);
    settings_reset();
}

// One writer flips every text between two patterns while readers check that each snapshot
// holds one whole pattern per field. Run under ThreadSanitizer as well (see the README).
TEST(ToolSettingsRecord, ReadersNeverSeeATornText) {
    settings_reset();
    const std::string a(200, 'a'), b(37, 'b');
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::jthread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                const ToolSettings s = settings_snapshot();
                for (const auto& info : kSettings) {
                    const char* t = s.text(info.setting);
                    if (!t) continue;
                    const std::string v = t;
                    if (!v.empty() && v != a && v != b) ++torn;
                }
            }
        });
    }
    for (int i = 0; i < 20000; ++i) {
        for (const auto& info : kSettings)
            if (info.setting != Setting::Zorva_TFTP_TCP_PORT)
                settings_set_text(info.setting, i % 2 ? a : b);
        settings_set_port(i);
    }
    done = true;
    readers.clear();
    EXPECT_EQ(0, torn.load());
    settings_reset();
}

}  // namespace
}  // namespace core
