#include "registry/settings_store.h"

#include <memory>
#include <string>
#include <string_view>

#include "kestrom/registry.h"

namespace registry {

void ensure_settings_key() {
    CRegistry registry;
    CRegistryKey* root = registry.KeyLocalMachine();
    // Both paths start at the root. The results don't matter here: a key that can't be made
    // shows later as a key that can't be opened.
    const std::unique_ptr<CRegistryKey> parent{root->CreateKey(kSettingsParentKey)};
    const std::unique_ptr<CRegistryKey> key{root->CreateKey(kSettingsKey)};
}

int read_setting(const char* name, const char* default_text,
                 std::span<char, core::kSettingTextSize> destination) {
    CRegistry registry;
    const std::unique_ptr<CRegistryKey> key{registry.KeyLocalMachine()->OpenKey(kSettingsKey)};
    std::string text;
    if (!key || key->GetStringValue(name, &text) != 0) text = default_text ? default_text : "";
    core::copy_setting_text(destination, text);  // cut to 255 characters
    return 0;
}

std::string stored_setting_text(core::Setting setting) {
    const core::SettingInfo& info = core::setting_info(setting);
    char text[core::kSettingTextSize]{};
    (void)read_setting(info.name, info.default_text, text);  // always 0
    return text;
}

long store_setting(const char* name, const char* text) {
    CRegistry registry;
    const std::unique_ptr<CRegistryKey> key{registry.KeyLocalMachine()->OpenKey(kSettingsKey)};
    if (!key) return code(RegError::file_not_found);
    return key->SetStringValue(name, text);
}

int write_setting(const char* name, const char* text) {
    (void)store_setting(name, text);  // a failed write is not noticed; the edit lives on in memory
    return 0;
}

}  // namespace registry
