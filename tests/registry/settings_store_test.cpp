#include "registry/settings_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "kestrom/registry.h"
#include "temp_hive.h"

namespace registry {
namespace {

using Key = std::unique_ptr<CRegistryKey>;

std::string read(const char* name, const char* default_text = "default") {
    char text[core::kSettingTextSize];
    std::fill(std::begin(text), std::end(text), 'G');
    EXPECT_EQ(0, read_setting(name, default_text, text));
    return text;
}

Key settings_key() {
    CRegistry registry;
    return Key{registry.KeyLocalMachine()->OpenKey(kSettingsKey)};
}

std::vector<std::string> value_names() {
    std::vector<std::string> names;
    if (const Key key = settings_key()) key->GetValueNames(&names);
    return names;
}

TEST(SettingsStore, EnsureCreatesTheKeyAndItsParentOnce) {
    test::TempHive hive;
    ensure_settings_key();
    ensure_settings_key();
    CRegistry registry;
    std::vector<std::string> names;
    const Key software{registry.KeyLocalMachine()->OpenKey("SOFTWARE")};
    ASSERT_TRUE(software);
    software->GetKeyNames(&names);
    EXPECT_EQ(std::vector<std::string>{"Varnhold"}, names);
    const Key varnhold{registry.KeyLocalMachine()->OpenKey("SOFTWARE\\Varnhold")};
    varnhold->GetKeyNames(&names);
    EXPECT_EQ(std::vector<std::string>{"kestrom"}, names);
    EXPECT_TRUE(value_names().empty());
}

TEST(SettingsStore, AnEmptyStoreReadsTheDefaultsAndWritesNothingBack) {
    test::TempHive hive;
    ensure_settings_key();
    for (const auto& info : core::kSettings) {
        SCOPED_TRACE(info.name);
        EXPECT_EQ(info.default_text, read(info.name, info.default_text));
    }
    EXPECT_TRUE(value_names().empty());
}

TEST(SettingsStore, ReadsEachStoredTypeAsTheDescribedText) {
    test::TempHive hive;
    ensure_settings_key();
    {
        const Key key = settings_key();
        ASSERT_TRUE(key);
        const unsigned char blob[] = {'1', '2', 0};
        ASSERT_EQ(0, key->SetIntegerValue("PoolSize", 10));
        ASSERT_EQ(0, key->SetExpandStringValue("bootFile", "%TEMP%\\zorva.bin"));
        ASSERT_EQ(0, key->SetBinaryValue("netmask", blob, sizeof blob));
        ASSERT_EQ(0, key->SetStringValue("ZorvaLogin", ""));
        ASSERT_EQ(0, key->SetStringValue("ZorvaPassword", "secret"));
    }
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"PoolSize", "10"},                 // 32-bit number as decimal text
        {"bootFile", "%TEMP%\\zorva.bin"},  // not expanded
        {"netmask", "default"},             // raw bytes read as missing
        {"ZorvaLogin", ""},                 // empty, not the default
        {"zorvapassword", "secret"},        // names match without regard to case
        {"ZorvaIPAddress", "default"},      // missing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.text, read(c.name));
    }
}

TEST(SettingsStore, AnEditTurnsANumberIntoAStringValue) {
    test::TempHive hive;
    ensure_settings_key();
    ASSERT_EQ(0, settings_key()->SetIntegerValue("PoolSize", 10));
    EXPECT_EQ(0, write_setting("PoolSize", "12abc"));
    CRegistryValue v;
    ASSERT_EQ(0, settings_key()->GetValue("PoolSize", v));
    EXPECT_EQ(1u, v.Type());
    EXPECT_EQ(std::string("12abc", 6),
              std::string(reinterpret_cast<char*>(v.GetData()), v.GetLength()));
    EXPECT_EQ("12abc", read("PoolSize"));
}

TEST(SettingsStore, ALongStoredTextIsCutTo255CharactersInsideTheBuffer) {
    test::TempHive hive;
    ensure_settings_key();
    const std::string long_text(1000, 'x');
    ASSERT_EQ(0, write_setting("bootFile", long_text.c_str()));
    // The destination is the first 256 bytes of a larger buffer; the rest must stay as it was.
    std::array<char, core::kSettingTextSize + 16> buffer;
    buffer.fill('G');
    EXPECT_EQ(0, read_setting("bootFile", "d",
                              std::span<char, core::kSettingTextSize>(buffer.data(),
                                                                      core::kSettingTextSize)));
    EXPECT_EQ(std::string(255, 'x'), std::string(buffer.data()));
    EXPECT_EQ(std::string(16, 'G'), std::string(buffer.data() + core::kSettingTextSize, 16));
    // The store itself keeps the whole text.
    std::string stored;
    ASSERT_EQ(0, settings_key()->GetStringValue("bootFile", &stored));
    EXPECT_EQ(long_text, stored);
}

TEST(SettingsStore, WithoutTheKeyReadsGiveDefaultsAndWritesStoreNothing) {
    test::TempHive hive;
    EXPECT_EQ(0, write_setting("PoolSize", "5"));
    EXPECT_EQ("10", read("PoolSize", "10"));
    EXPECT_FALSE(settings_key());
    EXPECT_NE(0, store_setting("PoolSize", "5"));
}

}  // namespace
}  // namespace registry
