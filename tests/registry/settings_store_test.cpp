#include "registry/settings_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "kestrom/registry.h"
#include "registry/hive.h"
#include "scratch_registry.h"

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
    test::ScratchRegistry hive;
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
    test::ScratchRegistry hive;
    ensure_settings_key();
    for (const auto& info : core::kSettings) {
        SCOPED_TRACE(info.name);
        EXPECT_EQ(info.default_text, read(info.name, info.default_text));
    }
    EXPECT_TRUE(value_names().empty());
}

TEST(SettingsStore, ReadsEachStoredTypeAsTheDescribedText) {
    test::ScratchRegistry hive;
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
    test::ScratchRegistry hive;
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
    test::ScratchRegistry hive;
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
    test::ScratchRegistry hive;
    EXPECT_EQ(0, write_setting("PoolSize", "5"));
    EXPECT_EQ("10", read("PoolSize", "10"));
    EXPECT_FALSE(settings_key());
    EXPECT_NE(0, store_setting("PoolSize", "5"));
}

#if defined(_WIN32)
// For its lifetime: the log captured, and HKEY_LOCAL_MACHINE as Windows shows it to a standard
// user when machine_writable is false.
class Session {
public:
    explicit Session(bool machine_writable) {
        core::set_log_sink(log_);
        deny_local_machine_writes(!machine_writable);
    }
    ~Session() {
        deny_local_machine_writes(false);
        core::set_log_sink(nullptr);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    std::string log() const { return log_->text(); }

private:
    std::shared_ptr<core::CaptureLogSink> log_ = std::make_shared<core::CaptureLogSink>();
};

TEST(SettingsStore, WhereTheMachineKeyCanNotBeWrittenSettingsAreKeptForTheUser) {
    const std::string kept_for_user =
        "Settings: HKEY_LOCAL_MACHINE is not writable here; settings are kept for this user only "
        "(HKEY_CURRENT_USER\\SOFTWARE\\Varnhold\\kestrom)\n";
    struct Case {
        const char* what;
        bool machine_writable;
        bool machine_key;  // made and filled beforehand, as by an administrator
    };
    const Case cases[] = {
        {"administrator", true, false},
        {"standard user, no machine key", false, false},
        {"standard user, machine key", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScratchRegistry hive;
        if (c.machine_key) {
            ensure_settings_key();
            ASSERT_EQ(0, settings_key()->SetStringValue("ZorvaLogin", "service"));
        }
        const std::string login = c.machine_key ? "service" : "default";
        {
            const Session session(c.machine_writable);
            EXPECT_EQ(login, read("ZorvaLogin"));  // before the start: the machine's key, if any
            ensure_settings_key();
            EXPECT_EQ(c.machine_writable ? "" : kept_for_user, session.log());
            EXPECT_EQ(0, store_setting("PoolSize", "12"));
            EXPECT_EQ("12", read("PoolSize"));
            EXPECT_EQ(login, read("ZorvaLogin"));  // the user's key starts as a copy
            // The next start keeps the user's edits rather than copying the machine's key again.
            ASSERT_EQ(0, store_setting("ZorvaLogin", "mine"));
            ensure_settings_key();
            EXPECT_EQ("mine", read("ZorvaLogin"));
        }
        CRegistry registry;
        const Key user{registry.KeyCurrentUser()->OpenKey(kSettingsKey)};
        EXPECT_EQ(c.machine_writable, !user);
        std::vector<std::string> machine_values = value_names();
        std::sort(machine_values.begin(), machine_values.end());
        using Names = std::vector<std::string>;
        const Names expected = c.machine_writable ? Names{"PoolSize", "ZorvaLogin"}
                               : c.machine_key    ? Names{"ZorvaLogin"}
                                                  : Names{};
        EXPECT_EQ(expected, machine_values);
    }
}
#endif

}  // namespace
}  // namespace registry
