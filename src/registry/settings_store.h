// The settings store: the eight settings as string values below the tool's key in the
// HKEY_LOCAL_MACHINE root of the hive. Failures are never reported: a key that cannot be opened
// reads as the defaults and stores nothing. On Windows, where a standard user can't write
// HKEY_LOCAL_MACHINE, ensure_settings_key moves the settings to the same key below
// HKEY_CURRENT_USER (see there), and every read and write follows them.
#pragma once

#include <span>
#include <string>

#include "core/settings.h"

namespace registry {

// The settings key below HKEY_LOCAL_MACHINE, written with its trailing backslash.
inline constexpr const char* kSettingsKey = "SOFTWARE\\Varnhold\\kestrom\\";
inline constexpr const char* kSettingsParentKey = "SOFTWARE\\Varnhold";

// Creates the settings key when it is missing. Called once at start, before any window.
// On Windows, when the key below HKEY_LOCAL_MACHINE can't be made or written, the user's key
// below HKEY_CURRENT_USER takes its place: made as a copy of the machine's key the first time,
// and named in the event log at every start.
void ensure_settings_key();

// Fills destination with the stored text of `name`, or with default_text when there is none
// (or it has another type than a string or a 32-bit number). A stored text longer than 255
// characters is cut to 255. Always returns 0.
int read_setting(const char* name, const char* default_text,
                 std::span<char, core::kSettingTextSize> destination);

// read_setting of one setting with its default, as a text.
std::string stored_setting_text(core::Setting setting);

// Stores text as the string value `name`. Always returns 0.
int write_setting(const char* name, const char* text);

// write_setting for callers that report failures (the command line): 0 when stored, else the
// registry's error code (2 when the key can't be opened, 5 when the hive can't be written).
[[nodiscard]] long store_setting(const char* name, const char* text);

}  // namespace registry
