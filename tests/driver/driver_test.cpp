#include "driver/driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "dhcp/lease_table.h"
#include "kestrom/registry.h"
#include "platform/socket.h"
#include "registry/settings_store.h"
#include "scratch_registry.h"
#include "test_support.h"
#include "update/firmware_update.h"

namespace driver {
namespace {

using namespace core;

constexpr const char* kMissing = "<missing>";

std::string stored(const char* name) {
    char text[kSettingTextSize]{};
    (void)registry::read_setting(name, kMissing, text);
    return text;
}

std::vector<std::string> stored_names() {
    CRegistry registry;
    std::unique_ptr<CRegistryKey> key{registry.KeyLocalMachine()->OpenKey(registry::kSettingsKey)};
    std::vector<std::string> names;
    if (key) (void)key->GetValueNames(&names);
    return names;
}

// A front-end that records what the driver asks of it.
class RecordingFrontEnd : public TextFrontEnd {
public:
    void take_field_texts() override { ++takes; }
    void show_field_texts() override { ++shows; }
    void clear_log() override { ++clears; }
    int takes = 0, shows = 0, clears = 0;
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings_reset();
        registry::ensure_settings_key();
    }
    void TearDown() override { settings_reset(); }

    // Each edit goes through the front-end's copy first, as a keystroke does.
    void type(Setting s, const std::string& text) {
        front_end.set_field_text(s, text);
        driver.apply_setting_edit(s, text);
    }

    test::ScratchRegistry hive;
    RecordingFrontEnd front_end;
    Driver driver{front_end};
};

TEST_F(DriverTest, FirstStartShowsTheDefaultsAndStoresNothing) {
    driver.load_settings();
    EXPECT_EQ(1, front_end.shows);
    const ToolSettings record = settings_snapshot();
    for (const auto& info : kSettings) {
        SCOPED_TRACE(info.name);
        EXPECT_EQ(info.default_text, front_end.field_text(info.setting));
        if (record.text(info.setting)) {
            EXPECT_STREQ(info.default_text, record.text(info.setting));
        }
    }
    EXPECT_EQ(80, record.Zorva_TFTP_TCP_PORT);
    EXPECT_TRUE(stored_names().empty());

    type(Setting::ZorvaLogin, "root");
    EXPECT_EQ(std::vector<std::string>{"ZorvaLogin"}, stored_names());
    EXPECT_EQ("root", stored("ZorvaLogin"));
    EXPECT_STREQ("root", settings_snapshot().ZorvaLogin);
}

TEST_F(DriverTest, StoresThePortAsItsNumberAndLeavesTheFieldAsTyped) {
    driver.load_settings();
    type(Setting::Zorva_TFTP_TCP_PORT, "8080x");
    EXPECT_EQ("8080", stored("Zorva_TFTP_TCP_PORT"));
    EXPECT_EQ(8080, settings_snapshot().Zorva_TFTP_TCP_PORT);
    EXPECT_EQ("8080x", front_end.field_text(Setting::Zorva_TFTP_TCP_PORT));

    type(Setting::Zorva_TFTP_TCP_PORT, "");
    EXPECT_EQ("0", stored("Zorva_TFTP_TCP_PORT"));
    EXPECT_EQ(0, settings_snapshot().Zorva_TFTP_TCP_PORT);

    type(Setting::Zorva_TFTP_TCP_PORT, "-1");
    EXPECT_EQ("-1", stored("Zorva_TFTP_TCP_PORT"));
}

TEST_F(DriverTest, LoadsAPortStoredAsANumberAndStoresTheNextEditAsText) {
    {
        CRegistry registry;
        std::unique_ptr<CRegistryKey> key{
            registry.KeyLocalMachine()->OpenKey(registry::kSettingsKey)};
        ASSERT_TRUE(key);
        ASSERT_EQ(0, key->SetIntegerValue("Zorva_TFTP_TCP_PORT", 8080));
    }
    driver.load_settings();
    EXPECT_EQ("8080", front_end.field_text(Setting::Zorva_TFTP_TCP_PORT));
    EXPECT_EQ(8080, settings_snapshot().Zorva_TFTP_TCP_PORT);

    type(Setting::Zorva_TFTP_TCP_PORT, "808");
    CRegistry registry;
    std::unique_ptr<CRegistryKey> key{registry.KeyLocalMachine()->OpenKey(registry::kSettingsKey)};
    std::string text;
    EXPECT_EQ(0, key->GetStringValue("Zorva_TFTP_TCP_PORT", &text));
    EXPECT_EQ("808", text);
}

TEST_F(DriverTest, RebuildsTheLeaseTableOnlyForThePoolSettingsBootFileAndPort) {
    driver.load_settings();
    (void)dhcp::build_lease_table();
    struct Case {
        Setting setting;
        const char* text;
        bool rebuilds;
    };
    const Case cases[] = {
        {Setting::ZorvaLogin, "root", false},
        {Setting::ZorvaPassword, "secret", false},
        {Setting::ZorvaIPAddress, "10.0.0.2", false},
        {Setting::bootFile, "other.bin", true},
        {Setting::Zorva_TFTP_TCP_PORT, "8080", true},
        {Setting::netmask, "255.255.0.0", true},
        {Setting::ZorvaIPStartAddress, "192.168.1.60", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(setting_info(c.setting).name);
        // An offer made before the edit is forgotten exactly when the table is rebuilt.
        dhcp::lease_info lease;
        ASSERT_EQ(dhcp::kLeaseOk, dhcp::assign_lease(&lease, {1, 2, 3, 4}, {0xaa}));
        const auto before = dhcp::current_lease_table();
        type(c.setting, c.text);
        EXPECT_EQ(c.rebuilds, before != dhcp::current_lease_table());
        dhcp::lease_info found;
        EXPECT_EQ(c.rebuilds ? dhcp::kLeaseXidUnknown : dhcp::kLeaseOk,
                  dhcp::find_lease_by_xid(&found, {1, 2, 3, 4}));
    }
}

TEST_F(DriverTest, TypingTwoCharactersIsTwoEditsAndTwoRebuilds) {
    driver.load_settings();
    type(Setting::PoolSize, "");
    const auto empty = dhcp::current_lease_table();
    type(Setting::PoolSize, "1");
    const auto one = dhcp::current_lease_table();
    EXPECT_EQ("1", stored("PoolSize"));
    EXPECT_EQ(2u, one->entries().size());
    type(Setting::PoolSize, "12");
    const auto twelve = dhcp::current_lease_table();
    EXPECT_EQ("12", stored("PoolSize"));
    EXPECT_EQ(13u, twelve->entries().size());
    EXPECT_NE(empty, one);
    EXPECT_NE(one, twelve);
    EXPECT_EQ(3, front_end.takes);
}

TEST_F(DriverTest, TriggersClearTheLogAndWriteTheirStartLine) {
    test::CapturedLog log;
    test::TempDir cwd;  // the web job reads ./kestrom.ini: none here, so it ends at once
    const test::CurrentDir in_cwd(cwd.path());
    driver.load_settings();
    // Loopback on a port nobody listens on: the jobs fail to connect and send nowhere else.
    std::uint16_t closed_port = 0;
    {
        auto listener = platform::TcpListener::listen(platform::kLoopbackAddress, 0);
        ASSERT_TRUE(listener);
        closed_port = listener->local_endpoint().port;
    }
    type(Setting::ZorvaIPAddress, "127.0.0.1");
    type(Setting::Zorva_TFTP_TCP_PORT, std::to_string(closed_port));
    driver.start_firmware_update();
    EXPECT_EQ(1, front_end.clears);
    EXPECT_TRUE(log.text().starts_with("ZorvaController Update Firmware starting...\n"));
    // The job connects on its own thread: its failure line must not land after the clear.
    EXPECT_TRUE(update::wait_for_firmware_job(std::chrono::seconds(60)).has_value());
    log.clear();
    driver.start_web_pages_update();
    EXPECT_EQ(2, front_end.clears);
    EXPECT_TRUE(log.text().starts_with("ZorvaController Web Page Update Starting\n"));
    // The web job runs on its own thread: it must end before the folder and the log go, or it
    // reads the next test's folder and writes into its log.
    EXPECT_TRUE(wait_for_web_jobs(std::chrono::seconds(60)));
    EXPECT_TRUE(update::wait_for_firmware_job(std::chrono::seconds(60)).has_value());
}

}  // namespace
}  // namespace driver
