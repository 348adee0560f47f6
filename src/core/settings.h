// The process-wide settings record: eight settings with their defaults, text widths and the one
// conversion (the HTTP port) made when a setting is taken in. The front-end's thread is the
// only writer; service and job threads take a snapshot copy, so no reader ever sees a text that
// is half written.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace core {

// Each text lives in a fixed buffer of this size: at most 255 characters and a terminator.
inline constexpr std::size_t kSettingTextSize = 256;
inline constexpr std::size_t kSettingTextMax = kSettingTextSize - 1;

// Named after the store's value names.
enum class Setting {
    ZorvaIPStartAddress,
    PoolSize,
    bootFile,
    netmask,
    ZorvaIPAddress,
    ZorvaLogin,
    ZorvaPassword,
    Zorva_TFTP_TCP_PORT,
};

struct SettingInfo {
    Setting setting;
    const char* name;          // value name in the store
    const char* default_text;  // used when the store has no value
    int control_id;            // the dialog's edit field
    const char* label;         // the text beside that field
};

// The settings table, in its documented order (the order `config list` prints).
inline constexpr std::array<SettingInfo, 8> kSettings{{
    {Setting::ZorvaIPStartAddress, "ZorvaIPStartAddress", "192.168.1.50", 1001, "IP Starting Pool"},
    {Setting::PoolSize, "PoolSize", "10", 1002, "Size of Pool"},
    {Setting::bootFile, "bootFile", "zorva.bin", 1003, "Boot File"},
    {Setting::netmask, "netmask", "255.255.255.0", 1004, "Mask"},
    {Setting::ZorvaIPAddress, "ZorvaIPAddress", "192.168.1.50", 1015, "IP Address"},
    {Setting::ZorvaLogin, "ZorvaLogin", "admin", 1005, "Login"},
    {Setting::ZorvaPassword, "ZorvaPassword", "7305", 1013, "Password"},
    {Setting::Zorva_TFTP_TCP_PORT, "Zorva_TFTP_TCP_PORT", "80", 1019, "HTTP port"},
}};

const SettingInfo& setting_info(Setting s);
// Looks a setting up by its value name, in any mix of upper and lower case, as the Windows
// registry looks up its value names ("poolsize" is PoolSize). What kestrom prints names the
// setting as the table spells it.
std::optional<Setting> find_setting(std::string_view name);
// The setting whose field has this control id, or nullptr.
const SettingInfo* find_setting_by_control(int control_id);

// Zero-filled texts; the port starts at 80 until the settings are loaded.
struct ToolSettings {
    char ZorvaIPStartAddress[kSettingTextSize]{};
    char PoolSize[kSettingTextSize]{};
    char bootFile[kSettingTextSize]{};
    char netmask[kSettingTextSize]{};
    char ZorvaIPAddress[kSettingTextSize]{};
    char ZorvaLogin[kSettingTextSize]{};
    char ZorvaPassword[kSettingTextSize]{};
    int Zorva_TFTP_TCP_PORT = 80;

    // The text field of a setting; nullptr for the port, which is a number.
    const char* text(Setting s) const;
    char* text(Setting s);
};

// Copies text into a setting buffer, cut to 255 characters, always terminated.
void copy_setting_text(std::span<char, kSettingTextSize> field, std::string_view text);

// The C library's atoi conversion without its undefined overflow: leading white space, an
// optional sign, then digits up to the first other character; no digits give 0. Values beyond
// the 32-bit range saturate.
int decimal_value(std::string_view text);

// ---- the process-wide record ----
// Written by the front-end's thread only; read by the DHCP service and the web pages job.

// A consistent copy of the whole record.
ToolSettings settings_snapshot();
// Sets one text field (cut to 255 characters). For the port use settings_set_port.
void settings_set_text(Setting s, std::string_view text);
void settings_set_port(int port);
// Back to the zero-filled start state (tests only: the product never resets the record).
void settings_reset();

}  // namespace core
