#include "core/settings.h"

#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
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
        {"80", 80},
        {"8080x", 8080},
        {"", 0},
        {"x80", 0},
        {"-1", -1},
        {"  \t+42", 42},
        {"- 1", 0},
        {"0012", 12},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.value, decimal_value(c.text));
    }
}

// The eight settings as the product documents them, written out here rather than taken from the
// table under test: value name, default, edit field and its label, in `config list` order.
TEST(SettingsTable, HoldsTheDefaultsAndIdsOfEverySetting) {
    struct Documented {
        Setting setting;
        const char* name;
        const char* default_text;
        int control_id;
        const char* label;
    };
    const Documented documented[] = {
        {Setting::ZorvaIPStartAddress, "ZorvaIPStartAddress", "192.168.1.50", 1001,
         "IP Starting Pool"},
        {Setting::PoolSize, "PoolSize", "10", 1002, "Size of Pool"},
        {Setting::bootFile, "bootFile", "zorva.bin", 1003, "Boot File"},
        {Setting::netmask, "netmask", "255.255.255.0", 1004, "Mask"},
        {Setting::ZorvaIPAddress, "ZorvaIPAddress", "192.168.1.50", 1015, "IP Address"},
        {Setting::ZorvaLogin, "ZorvaLogin", "admin", 1005, "Login"},
        {Setting::ZorvaPassword, "ZorvaPassword", "7305", 1013, "Password"},
        {Setting::Zorva_TFTP_TCP_PORT, "Zorva_TFTP_TCP_PORT", "80", 1019, "HTTP port"},
    };
    ASSERT_EQ(std::size(documented), kSettings.size());
    for (std::size_t i = 0; i < kSettings.size(); ++i) {
        const Documented& d = documented[i];
        SCOPED_TRACE(d.name);
        EXPECT_STREQ(d.name, kSettings[i].name) << "out of order at " << i;
        const SettingInfo& info = setting_info(d.setting);
        EXPECT_STREQ(d.name, info.name);
        EXPECT_STREQ(d.default_text, info.default_text);
        EXPECT_EQ(d.control_id, info.control_id);
        EXPECT_STREQ(d.label, info.label);
        EXPECT_EQ(d.setting, find_setting(d.name));
        // Found in any case, as the registry finds its value names.
        std::string upper = d.name, lower = d.name;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(d.setting, find_setting(upper)) << upper;
        EXPECT_EQ(d.setting, find_setting(lower)) << lower;
        const SettingInfo* by_control = find_setting_by_control(d.control_id);
        ASSERT_NE(nullptr, by_control);
        EXPECT_EQ(d.setting, by_control->setting);
    }
    for (const char* other : {"", "PoolSiz", "PoolSizes", "Pool Size", "ZorvaIPStart"}) {
        SCOPED_TRACE(other);
        EXPECT_FALSE(find_setting(other));
    }
    EXPECT_EQ(nullptr, find_setting_by_control(1006));  // the tab control, no setting
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
