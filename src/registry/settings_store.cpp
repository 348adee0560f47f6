#include "registry/settings_store.h"

#include <memory>
#include <string>
#include <string_view>

#include "kestrom/registry.h"
#if defined(_WIN32)
#include "core/event_log.h"
#endif

namespace registry {
namespace {

using Key = std::unique_ptr<CRegistryKey>;

#if defined(_WIN32)
// A standard user may read HKEY_LOCAL_MACHINE but not write it. Rather than lose every edit
// without a word, the settings then live in the same key below HKEY_CURRENT_USER, which starts
// out as a copy of the machine's key.
void keep_settings_for_user(CRegistry& registry) {
    CRegistryKey* user = registry.KeyCurrentUser();
    if (!Key{user->OpenKey(kSettingsKey)}) {
        const Key key{user->CreateKey(kSettingsKey)};
        if (!key) return;  // the user's root can't be written either: nothing to keep them in
        const Key machine{registry.KeyLocalMachine()->OpenKey(kSettingsKey, kKeyRead)};
        // A copy that stops half-way leaves the rest at the defaults; nothing more to do.
        if (machine) (void)machine->CopyTo(key.get());
    }
    core::log_printf(
        "Settings: HKEY_LOCAL_MACHINE is not writable here; settings are kept for this user only "
        "(HKEY_CURRENT_USER\\SOFTWARE\\Varnhold\\kestrom)\n");
}
#endif

// The settings key, open for reading and writing; null when there is none to write.
Key open_settings_key(CRegistry& registry) {
    Key key{registry.KeyLocalMachine()->OpenKey(kSettingsKey)};
#if defined(_WIN32)
    // Not writable for this user (or not there): the user's own key, if there is one.
    if (!key) key.reset(registry.KeyCurrentUser()->OpenKey(kSettingsKey));
#endif
    return key;
}

}  // namespace

void ensure_settings_key() {
    CRegistry registry;
    CRegistryKey* root = registry.KeyLocalMachine();
    // Both paths start at the root. The results don't matter here: a key that can't be made
    // shows later as a key that can't be opened.
    const Key parent{root->CreateKey(kSettingsParentKey)};
    const Key key{root->CreateKey(kSettingsKey)};
#if defined(_WIN32)
    if (!key) keep_settings_for_user(registry);
#endif
}

int read_setting(const char* name, const char* default_text,
                 std::span<char, core::kSettingTextSize> destination) {
    CRegistry registry;
    Key key = open_settings_key(registry);
#if defined(_WIN32)
    // No key of the user's yet: the machine's, which this user may only read.
    if (!key) key.reset(registry.KeyLocalMachine()->OpenKey(kSettingsKey, kKeyRead));
#endif
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
    const Key key = open_settings_key(registry);
    if (!key) return code(RegError::file_not_found);
    return key->SetStringValue(name, text);
}

int write_setting(const char* name, const char* text) {
    (void)store_setting(name, text);  // a failed write is not noticed; the edit lives on in memory
    return 0;
}

}  // namespace registry
