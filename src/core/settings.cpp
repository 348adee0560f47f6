#include "core/settings.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

namespace core {
namespace {

// Writer: the front-end's thread. Readers: service and job threads, through snapshots.
std::mutex g_record_mutex;
ToolSettings g_record;

}  // namespace

const SettingInfo& setting_info(Setting s) {
    return kSettings[static_cast<std::size_t>(s)];
}

std::optional<Setting> find_setting(std::string_view name) {
    // The names are ASCII: the case folds without the C locale.
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (const auto& info : kSettings)
        if (std::ranges::equal(name, std::string_view(info.name), {}, lower, lower))
            return info.setting;
    return std::nullopt;
}

const SettingInfo* find_setting_by_control(int control_id) {
    for (const auto& info : kSettings)
        if (info.control_id == control_id) return &info;
    return nullptr;
}

const char* ToolSettings::text(Setting s) const {
    switch (s) {
        case Setting::ZorvaIPStartAddress:
            return ZorvaIPStartAddress;
        case Setting::PoolSize:
            return PoolSize;
        case Setting::bootFile:
            return bootFile;
        case Setting::netmask:
            return netmask;
        case Setting::ZorvaIPAddress:
            return ZorvaIPAddress;
        case Setting::ZorvaLogin:
            return ZorvaLogin;
        case Setting::ZorvaPassword:
            return ZorvaPassword;
        case Setting::Zorva_TFTP_TCP_PORT:
            return nullptr;
    }
    return nullptr;
}

char* ToolSettings::text(Setting s) {
    return const_cast<char*>(static_cast<const ToolSettings&>(*this).text(s));
}

void copy_setting_text(std::span<char, kSettingTextSize> field, std::string_view text) {
    const std::size_t n = std::min(text.size(), kSettingTextMax);
    std::memcpy(field.data(), text.data(), n);
    std::memset(field.data() + n, 0, kSettingTextSize - n);
}

int decimal_value(std::string_view text) {
    std::size_t i = 0;
    // isspace in the C locale: blank, \t \n \v \f \r
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

ToolSettings settings_snapshot() {
    std::lock_guard lock(g_record_mutex);
    return g_record;
}

void settings_set_text(Setting s, std::string_view text) {
    std::lock_guard lock(g_record_mutex);
    char* field = g_record.text(s);
    if (field == nullptr) return;
    copy_setting_text(std::span<char, kSettingTextSize>(field, kSettingTextSize), text);
}

void settings_set_port(int port) {
    std::lock_guard lock(g_record_mutex);
    g_record.Zorva_TFTP_TCP_PORT = port;
}

void settings_reset() {
    std::lock_guard lock(g_record_mutex);
    g_record = ToolSettings{};
}

}  // namespace core
