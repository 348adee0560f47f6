#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hive.h"

namespace registry {
namespace {

constexpr long ok = code(RegError::success);
constexpr std::uint32_t kModifyRights = kKeySetValue | kKeyCreateSubKey | 0x00010000;  // DELETE

// Set by tests only (deny_local_machine_writes); read by every call that could write.
std::atomic<bool> g_deny_local_machine{false};

bool denied_at_root(HKEY key) {
    return key == HKEY_LOCAL_MACHINE && g_deny_local_machine.load();
}

// Closes a handle these calls opened for themselves.
class OwnedKey {
public:
    OwnedKey() = default;
    ~OwnedKey() {
        if (handle_) (void)RegCloseKey(handle_);  // it was open: nothing to fail
    }
    OwnedKey(const OwnedKey&) = delete;
    OwnedKey& operator=(const OwnedKey&) = delete;
    HKEY* out() { return &handle_; }
    HKEY get() const { return handle_; }

private:
    HKEY handle_ = nullptr;
};

// The path as the system is to see it: without its one trailing backslash. nullopt for any
// other empty part, which the hive refuses and Wine reads as if the part were not there.
std::optional<std::string> system_path(const char* path) {
    std::string_view rest = path ? path : "";
    if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    if (rest.empty()) return std::string();
    if (rest.front() == '\\' || rest.back() == '\\' || rest.find("\\\\") != std::string_view::npos)
        return std::nullopt;
    return std::string(rest);
}

// NtQueryObject and NtQueryKey share this shape; neither has an import library entry in
// MinGW's headers, so both are looked up in ntdll, which every process has loaded.
using NtQuery = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

NtQuery ntdll_query(const char* name) {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const FARPROC f = ntdll ? GetProcAddress(ntdll, name) : nullptr;
    // Through void (*)() so that converting one function type to another draws no warning.
    return reinterpret_cast<NtQuery>(reinterpret_cast<void (*)()>(f));
}

// The rights a handle was opened with; all of them for a root, and for a handle the system
// can't tell about (the call that follows then fails on its own).
std::uint32_t granted_access(HKEY key) {
    if (is_predefined(key)) return kKeyAllAccess;
    struct {
        ULONG attributes;
        ACCESS_MASK granted_access;
        ULONG handle_count;
        ULONG pointer_count;
        ULONG reserved[10];
    } info{};  // PUBLIC_OBJECT_BASIC_INFORMATION
    static const NtQuery query = ntdll_query("NtQueryObject");
    constexpr int kObjectBasicInformation = 0;
    if (!query || query(key, kObjectBasicInformation, &info, sizeof info, nullptr) != 0)
        return 0xFFFFFFFF;
    return info.granted_access;
}

// The key's full name in the system ("\REGISTRY\MACHINE\SOFTWARE\..."), upper-cased (ASCII).
bool full_name(HKEY key, std::wstring* name) {
    static const NtQuery query = ntdll_query("NtQueryKey");
    if (!query) return false;
    constexpr int kKeyNameInformation = 3;
    constexpr ULONG kBufferOverflow = 0x80000005;
    constexpr ULONG kBufferTooSmall = 0xC0000023;
    std::vector<unsigned char> buffer(512);
    for (;;) {
        ULONG need = 0;
        const auto status = static_cast<ULONG>(query(key, kKeyNameInformation, buffer.data(),
                                                     static_cast<ULONG>(buffer.size()), &need));
        if (status == 0) break;
        if ((status != kBufferOverflow && status != kBufferTooSmall) || need <= buffer.size())
            return false;
        buffer.resize(need);
    }
    ULONG bytes = 0;  // KEY_NAME_INFORMATION: the name's length in bytes, then the name
    std::memcpy(&bytes, buffer.data(), sizeof bytes);
    name->resize(std::min<std::size_t>(bytes, buffer.size() - sizeof bytes) / sizeof(wchar_t));
    std::memcpy(name->data(), buffer.data() + sizeof bytes, name->size() * sizeof(wchar_t));
    for (wchar_t& c : *name)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return true;
}

// A root is no handle the system can name, but each of its sub-keys is, and the root's name is
// that name without its last part. A root without sub-keys contains nothing but itself.
bool name_of(HKEY key, std::wstring* name) {
    if (!is_predefined(key)) return full_name(key, name);
    char sub[256];  // a key name has at most 255 characters
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof sub;
        const LONG rc = RegEnumKeyExA(key, i, sub, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) return false;
        OwnedKey child;
        if (RegOpenKeyExA(key, sub, 0, KEY_QUERY_VALUE, child.out()) != ERROR_SUCCESS) continue;
        if (!full_name(child.get(), name)) return false;
        const auto slash = name->rfind(L'\\');
        if (slash == std::wstring::npos) return false;
        name->resize(slash);
        return true;
    }
}

}  // namespace

bool is_predefined(HKEY key) {
    for (const HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                            HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA})
        if (key == root) return true;
    return false;
}

long reg_open_key(HKEY key, const char* path, std::uint32_t access, HKEY* result) {
    if (!result) return code(RegError::invalid_parameter);
    *result = nullptr;
    const auto p = system_path(path);
    if (!p) return code(RegError::bad_pathname);
    if ((access & kModifyRights) && denied_at_root(key)) return code(RegError::access_denied);
    return RegOpenKeyExA(key, p->c_str(), 0, access, result);
}

long reg_create_key(HKEY key, const char* path, std::uint32_t access, HKEY* result) {
    if (!result) return code(RegError::invalid_parameter);
    *result = nullptr;
    const auto p = system_path(path);
    if (!p) return code(RegError::bad_pathname);
    const bool denied = denied_at_root(key);
    if ((access & kModifyRights) && denied) return code(RegError::access_denied);
    const LONG rc = RegOpenKeyExA(key, p->c_str(), 0, access, result);
    if (rc != ERROR_FILE_NOT_FOUND) return rc;
    // Making a key takes the right to, as in the hive; Wine does not check it.
    if (denied || !(granted_access(key) & kKeyCreateSubKey)) return code(RegError::access_denied);
    return RegCreateKeyExA(key, p->c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                           result, nullptr);
}

long reg_close_key(HKEY key) {
    if (is_predefined(key)) return ok;
    return RegCloseKey(key);
}

long reg_query_value(HKEY key, const char* name, std::uint32_t* type, unsigned char* data,
                     std::uint32_t* size) {
    DWORD t = 0;
    DWORD s = size ? *size : 0;
    const LONG rc = RegQueryValueExA(key, name, nullptr, &t, data, size ? &s : nullptr);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        if (type) *type = t;
        if (size) *size = s;
    }
    return rc;
}

long reg_set_value(HKEY key, const char* name, std::uint32_t type, const unsigned char* data,
                   std::uint32_t size) {
    if (!data && size) return code(RegError::invalid_parameter);
    if (denied_at_root(key)) return code(RegError::access_denied);
    return RegSetValueExA(key, name, 0, type, data, size);
}

long reg_delete_value(HKEY key, const char* name) {
    if (denied_at_root(key)) return code(RegError::access_denied);
    return RegDeleteValueA(key, name);
}

long reg_delete_key(HKEY key, const char* path) {
    const auto p = system_path(path);
    if (!p) return code(RegError::bad_pathname);
    // A root can't be deleted.
    if (p->empty() && is_predefined(key)) return code(RegError::access_denied);
    if (denied_at_root(key)) return code(RegError::access_denied);
    return RegDeleteKeyA(key, p->c_str());
}

long reg_enum_key(HKEY key, std::uint32_t index, char* name, std::uint32_t* name_size) {
    if (!name || !name_size) return code(RegError::invalid_parameter);
    DWORD size = *name_size;
    const LONG rc = RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS) *name_size = size;
    return rc;
}

long reg_enum_value(HKEY key, std::uint32_t index, char* name, std::uint32_t* name_size,
                    std::uint32_t* type, unsigned char* data, std::uint32_t* data_size) {
    if (!name || !name_size) return code(RegError::invalid_parameter);
    DWORD n = *name_size;
    DWORD t = 0;
    DWORD d = data_size ? *data_size : 0;
    const LONG rc =
        RegEnumValueA(key, index, name, &n, nullptr, &t, data, data_size ? &d : nullptr);
    if (rc == ERROR_SUCCESS) {
        *name_size = n;
        if (type) *type = t;
    }
    if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) && data_size) *data_size = d;
    return rc;
}

long reg_query_info_key(HKEY key, KeyInfo* info) {
    if (!info) return code(RegError::invalid_parameter);
    DWORD sub_keys = 0, max_sub_key = 0, values = 0, max_name = 0, max_data = 0;
    const LONG rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &sub_keys, &max_sub_key,
                                     nullptr, &values, &max_name, &max_data, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    *info = KeyInfo{sub_keys, max_sub_key, values, max_name, 0};
    // The system counts string data in its UTF-16 bytes, up to twice what the A calls deliver.
    // The largest value is measured as they deliver it; when that fails (a value grew meanwhile)
    // the system's figure stands, too large but never too small.
    std::vector<char> name(2 * static_cast<std::size_t>(max_name) + 2);
    std::vector<unsigned char> data(static_cast<std::size_t>(max_data) + 1);
    for (DWORD i = 0; i < values; ++i) {
        auto n = static_cast<DWORD>(name.size());
        auto d = static_cast<DWORD>(data.size());
        const LONG e = RegEnumValueA(key, i, name.data(), &n, nullptr, nullptr, data.data(), &d);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) {
            info->max_value_len = max_data;
            break;
        }
        info->max_value_len = std::max<std::uint32_t>(info->max_value_len, d);
    }
    return ok;
}

bool handle_is_open(HKEY key) {
    DWORD flags = 0;
    return key && GetHandleInformation(key, &flags) != 0;
}

bool key_contains(HKEY outer, HKEY inner) {
    if (outer == inner) return true;
    std::wstring o, i;
    if (!name_of(outer, &o) || !name_of(inner, &i)) return false;
    return i.compare(0, o.size(), o) == 0 && (i.size() == o.size() || i[o.size()] == L'\\');
}

void deny_local_machine_writes(bool on) {
    g_deny_local_machine.store(on);
}

}  // namespace registry
