// Placeholder until the hive lands: nothing is stored, every read gives the default.
#include "registry/settings_store.h"

#include <string_view>

namespace registry {

void ensure_settings_key() {}

int read_setting(const char* /*name*/, const char* default_text,
                 std::span<char, core::kSettingTextSize> destination) {
    core::copy_setting_text(destination, default_text ? std::string_view(default_text) : "");
    return 0;
}

int write_setting(const char* /*name*/, const char* /*text*/) { return 0; }

}  // namespace registry
