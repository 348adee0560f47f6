// kestrom config list | get NAME | set NAME TEXT: the settings store from the command line.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "app/commands.h"
#include "core/settings.h"
#include "registry/settings_store.h"

namespace app {
namespace {

constexpr const char* kConfigUsage =
    "usage: kestrom config list\n"
    "       kestrom config get NAME\n"
    "       kestrom config set NAME TEXT\n";

int usage_error() {
    std::fputs(kConfigUsage, stderr);
    return kUsageError;
}

std::optional<core::Setting> setting_named(std::string_view name) {
    if (const auto s = core::find_setting(name)) return s;
    std::fprintf(stderr, "kestrom: unknown setting '%.*s'; the settings are:\n",
                 static_cast<int>(name.size()), name.data());
    for (const auto& info : core::kSettings) std::fprintf(stderr, "  %s\n", info.name);
    return std::nullopt;
}

void print_line(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace

int run_config(Args args) {
    if (args.empty()) return usage_error();
    const std::string_view verb = args[0];
    if (!(verb == "list" && args.size() == 1) && !(verb == "get" && args.size() == 2) &&
        !(verb == "set" && args.size() == 3))
        return usage_error();

    // As at the application's start: the key exists before anything reads or writes it.
    registry::ensure_settings_key();

    if (verb == "list") {
        for (const auto& info : core::kSettings)
            print_line(info.name + ("=" + registry::stored_setting_text(info.setting)));
        return 0;
    }
    const auto setting = setting_named(args[1]);
    if (!setting) return kUsageError;
    const core::SettingInfo& info = core::setting_info(*setting);
    if (verb == "get") {
        print_line(registry::stored_setting_text(*setting));
        return 0;
    }
    // Stored as an edit of the field stores it: the port as the signed decimal of its number,
    // every other text exactly as given.
    const std::string text = *setting == core::Setting::Zorva_TFTP_TCP_PORT
                                 ? std::to_string(core::decimal_value(args[2]))
                                 : std::string(args[2]);
    if (const long rc = registry::store_setting(info.name, text.c_str()); rc != 0) {
        std::fprintf(stderr, "kestrom: %s was not stored (registry error %ld)\n", info.name, rc);
        return 1;
    }
    return 0;
}

}  // namespace app
