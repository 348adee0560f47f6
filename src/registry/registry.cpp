#include "kestrom/registry.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "hive.h"

using registry::code;
using registry::RegError;

namespace {

constexpr long kOk = code(RegError::success);
constexpr long kMoreData = code(RegError::more_data);
constexpr long kNoMoreItems = code(RegError::no_more_items);
constexpr long kWrongType = code(RegError::wrong_type);
// Ends the buffer growth below in any case; no name or value comes near it.
constexpr std::size_t kBufferLimit = std::size_t{1} << 30;

// Closes a handle the classes opened for themselves.
class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle() { close(); }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    HKEY* out() { return &handle_; }
    HKEY get() const { return handle_; }
    void close() {
        if (handle_) (void)registry::reg_close_key(handle_);  // it was open: nothing to fail
        handle_ = nullptr;
    }

private:
    HKEY handle_ = nullptr;
};

// Sizes the buffer first, then reads; a value that grows in between (another process writing
// it) is read again at its new size rather than reported as more_data.
long read_value(HKEY key, const char* name, std::uint32_t* type,
                std::vector<unsigned char>* bytes) {
    std::uint32_t size = 0;
    if (const long rc = registry::reg_query_value(key, name, type, nullptr, &size); rc != kOk)
        return rc;
    try {
        for (;;) {
            bytes->assign(std::max<std::uint32_t>(size, 1), 0);
            std::uint32_t got = size;
            const long rc = registry::reg_query_value(key, name, type, bytes->data(), &got);
            if (rc == kOk) {
                bytes->resize(got);
                return kOk;
            }
            if (rc != kMoreData || got <= size) return rc;
            size = got;
        }
    } catch (const std::bad_alloc&) {
        return code(RegError::not_enough_memory);
    }
}

std::uint32_t load_le32(const unsigned char* b) {
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

// A 32-bit number is 4 bytes; a shorter one (only a raw SetValue makes it) can't be delivered.
bool as_number(std::uint32_t type, const std::vector<unsigned char>& bytes, std::uint32_t* value) {
    if (type != registry::kRegDword || bytes.size() < 4) return false;
    *value = load_le32(bytes.data());
    return true;
}

// Enumerates one name into buffer, growing it when a longer name appeared meanwhile.
long enum_key_name(HKEY key, std::uint32_t index, std::vector<char>& buffer, std::string* name) {
    for (;;) {
        auto size = static_cast<std::uint32_t>(buffer.size());
        const long rc = registry::reg_enum_key(key, index, buffer.data(), &size);
        if (rc == kOk) {
            name->assign(buffer.data(), size);
            return kOk;
        }
        if (rc != kMoreData || buffer.size() >= kBufferLimit) return rc;
        buffer.resize(buffer.size() * 2);
    }
}

long enum_value_name(HKEY key, std::uint32_t index, std::vector<char>& buffer, std::string* name) {
    for (;;) {
        auto size = static_cast<std::uint32_t>(buffer.size());
        const long rc =
            registry::reg_enum_value(key, index, buffer.data(), &size, nullptr, nullptr, nullptr);
        if (rc == kOk) {
            name->assign(buffer.data(), size);
            return kOk;
        }
        if (rc != kMoreData || buffer.size() >= kBufferLimit) return rc;
        buffer.resize(buffer.size() * 2);
    }
}

registry::KeyInfo query_info(HKEY key, long* rc) {
    registry::KeyInfo info;
    *rc = registry::reg_query_info_key(key, &info);
    return info;
}

// Deletes name below parent with its whole tree, deepest keys first: the hive, like the
// platform, refuses to delete a key that still has sub-keys.
long delete_tree(HKEY parent, const char* name) {
    KeyHandle child;
    if (const long rc = registry::reg_open_key(parent, name, registry::kKeyAllAccess, child.out());
        rc != kOk)
        return rc;
    long rc = kOk;
    const registry::KeyInfo info = query_info(child.get(), &rc);
    if (rc != kOk) return rc;
    if (info.sub_keys > 0) {
        std::vector<char> buffer(info.max_sub_key_len + 1);
        for (std::uint32_t i = 0; i < info.sub_keys; ++i) {
            // Always index 0: each deletion moves the rest up.
            std::string sub;
            rc = enum_key_name(child.get(), 0, buffer, &sub);
            if (rc == kNoMoreItems) break;
            if (rc != kOk) return rc;
            if ((rc = delete_tree(child.get(), sub.c_str())) != kOk) return rc;
        }
    }
    child.close();
    return registry::reg_delete_key(parent, name);
}

bool copy_tree(HKEY from, HKEY to) {
    long rc = kOk;
    const registry::KeyInfo info = query_info(from, &rc);
    if (rc != kOk) return false;

    std::vector<char> key_name(info.max_sub_key_len + 1);
    for (std::uint32_t i = 0;; ++i) {
        std::string sub;
        rc = enum_key_name(from, i, key_name, &sub);
        if (rc == kNoMoreItems) break;
        if (rc != kOk) return false;
        KeyHandle child, made;
        if (registry::reg_open_key(from, sub.c_str(), registry::kKeyAllAccess, child.out()) != kOk)
            return false;
        if (registry::reg_create_key(to, sub.c_str(), registry::kKeyAllAccess, made.out()) != kOk)
            return false;
        if (!copy_tree(child.get(), made.get())) return false;
    }

    std::vector<char> name(info.max_value_name_len + 1);
    std::vector<unsigned char> data(std::max<std::uint32_t>(info.max_value_len, 1));
    for (std::uint32_t i = 0;;) {
        auto name_size = static_cast<std::uint32_t>(name.size());
        auto data_size = static_cast<std::uint32_t>(data.size());
        std::uint32_t type = 0;
        rc = registry::reg_enum_value(from, i, name.data(), &name_size, &type, data.data(),
                                      &data_size);
        if (rc == kNoMoreItems) break;
        if (rc == kMoreData && name.size() < kBufferLimit && data.size() < kBufferLimit) {
            // A value grew since the sizes were taken: widen and read it again.
            name.resize(name.size() * 2);
            data.resize(std::max<std::size_t>(data.size() * 2, data_size));
            continue;
        }
        if (rc != kOk) return false;
        if (registry::reg_set_value(to, name.data(), type, data.data(), data_size) != kOk)
            return false;
        ++i;
    }
    return true;
}

}  // namespace

// ---- CRegistryValue ----

CRegistryValue::CRegistryValue() = default;
CRegistryValue::~CRegistryValue() = default;

unsigned char* CRegistryValue::GetData() const {
    return data_.get();
}
unsigned long CRegistryValue::GetLength() const {
    return length_;
}
unsigned long CRegistryValue::Type() const {
    return type_;
}

int CRegistryValue::SetValue(const unsigned char* data, std::uint32_t length, std::uint32_t type) {
    std::unique_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[length]);
    if (!copy) return static_cast<int>(code(RegError::not_enough_memory));
    if (length) std::memcpy(copy.get(), data, length);
    data_ = std::move(copy);
    length_ = length;
    type_ = type;
    return 0;
}

// ---- CRegistryKey ----

CRegistryKey::CRegistryKey() = default;

CRegistryKey::~CRegistryKey() {
    if (handle_) (void)registry::reg_close_key(handle_);  // a destructor has no one to tell
}

CRegistryKey* CRegistryKey::open_or_create(const char* name, std::uint32_t access, bool create) {
    HKEY h = nullptr;
    const long rc = create ? registry::reg_create_key(handle_, name, access, &h)
                           : registry::reg_open_key(handle_, name, access, &h);
    if (rc != kOk) return nullptr;
    auto* key = new (std::nothrow) CRegistryKey(h);
    if (!key) (void)registry::reg_close_key(h);  // reported as the failed open it is
    return key;
}

CRegistryKey* CRegistryKey::OpenKey(const char* name) {
    return open_or_create(name, registry::kKeyAllAccess, false);
}
CRegistryKey* CRegistryKey::OpenKey(const char* name, std::uint32_t access) {
    return open_or_create(name, access, false);
}
CRegistryKey* CRegistryKey::CreateKey(const char* name) {
    return open_or_create(name, registry::kKeyAllAccess, true);
}
CRegistryKey* CRegistryKey::CreateKey(const char* name, std::uint32_t access) {
    return open_or_create(name, access, true);
}

long CRegistryKey::DeleteKey(const char* name) {
    if (!name || !*name) return code(RegError::bad_key);
    return delete_tree(handle_, name);
}

long CRegistryKey::DeleteValue(const char* name) {
    return registry::reg_delete_value(handle_, name);
}

long CRegistryKey::SetValue(const char* name, std::uint32_t type, const unsigned char* data,
                            std::uint32_t length) {
    return registry::reg_set_value(handle_, name, type, data, length);
}

long CRegistryKey::SetBinaryValue(const char* name, const unsigned char* data,
                                  std::uint32_t length) {
    return registry::reg_set_value(handle_, name, registry::kRegBinary, data, length);
}

long CRegistryKey::SetIntegerValue(const char* name, std::uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return registry::reg_set_value(handle_, name, registry::kRegDword, bytes, sizeof bytes);
}

namespace {
long set_text(HKEY key, const char* name, std::uint32_t type, const char* text) {
    if (!text) return code(RegError::invalid_parameter);
    const std::size_t n = std::strlen(text) + 1;  // with its terminator
    if (n > UINT32_MAX) return code(RegError::invalid_parameter);
    return registry::reg_set_value(key, name, type, reinterpret_cast<const unsigned char*>(text),
                                   static_cast<std::uint32_t>(n));
}
}  // namespace

long CRegistryKey::SetStringValue(const char* name, const char* text) {
    return set_text(handle_, name, registry::kRegSz, text);
}

long CRegistryKey::SetExpandStringValue(const char* name, const char* text) {
    return set_text(handle_, name, registry::kRegExpandSz, text);
}

long CRegistryKey::GetIntegerValue(const char* name, std::uint32_t* value) {
    std::uint32_t type = 0;
    std::vector<unsigned char> bytes;
    if (const long rc = read_value(handle_, name, &type, &bytes); rc != kOk) return rc;
    std::uint32_t number = 0;
    if (!as_number(type, bytes, &number)) return kWrongType;
    if (value) *value = number;
    return kOk;
}

long CRegistryKey::GetStringValue(const char* name, std::string* text) {
    std::uint32_t type = 0;
    std::vector<unsigned char> bytes;
    if (const long rc = read_value(handle_, name, &type, &bytes); rc != kOk) return rc;
    std::string result;
    std::uint32_t number = 0;
    if (type == registry::kRegSz || type == registry::kRegExpandSz) {
        // The bytes up to the first NUL, or all of them when none is stored.
        const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        result = all.substr(0, all.find('\0'));
    } else if (as_number(type, bytes, &number)) {
        result = std::to_string(number);  // "%u"
    } else {
        return kWrongType;
    }
    if (text) *text = std::move(result);
    return kOk;
}

long CRegistryKey::GetValue(const char* name, CRegistryValue& value) {
    std::uint32_t type = 0;
    std::vector<unsigned char> bytes;
    if (const long rc = read_value(handle_, name, &type, &bytes); rc != kOk) return rc;
    return value.SetValue(bytes.data(), static_cast<std::uint32_t>(bytes.size()), type);
}

int CRegistryKey::GetKeyNames(std::vector<std::string>* names) {
    if (!names) return 1;
    names->clear();
    long rc = kOk;
    const registry::KeyInfo info = query_info(handle_, &rc);
    if (rc != kOk) return 1;
    std::vector<char> buffer(info.max_sub_key_len + 1);
    for (std::uint32_t i = 0;; ++i) {
        std::string name;
        if (enum_key_name(handle_, i, buffer, &name) != kOk) break;
        names->push_back(std::move(name));
    }
    return 1;
}

int CRegistryKey::GetValueNames(std::vector<std::string>* names) {
    if (!names) return 1;
    names->clear();
    long rc = kOk;
    const registry::KeyInfo info = query_info(handle_, &rc);
    if (rc != kOk) return 1;
    std::vector<char> buffer(info.max_value_name_len + 1);
    for (std::uint32_t i = 0; i < info.values; ++i) {
        std::string name;
        if (enum_value_name(handle_, i, buffer, &name) != kOk) break;
        names->push_back(std::move(name));
    }
    return 1;
}

long CRegistryKey::QueryMaxKeyNameLen() {
    long rc = kOk;
    const registry::KeyInfo info = query_info(handle_, &rc);
    return rc == kOk ? static_cast<long>(info.max_sub_key_len) : 0;
}

long CRegistryKey::QueryMaxValueNameLen() {
    long rc = kOk;
    const registry::KeyInfo info = query_info(handle_, &rc);
    return rc == kOk ? static_cast<long>(info.max_value_name_len) : 0;
}

long CRegistryKey::QueryMaxValueLen() {
    long rc = kOk;
    const registry::KeyInfo info = query_info(handle_, &rc);
    return rc == kOk ? static_cast<long>(info.max_value_len) : 0;
}

int CRegistryKey::CopyTo(CRegistryKey* target) {
    if (!target) return 0;
    // Copying a key into itself or below itself would copy its own copies without end.
    if (registry::key_contains(handle_, target->handle_)) return 0;
    return copy_tree(handle_, target->handle_) ? 1 : 0;
}

int CRegistryKey::IsRegKey(HKEY key) {
    if (registry::is_predefined(handle_)) return 1;
    return registry::handle_is_open(key) ? 1 : 0;
}

// ---- CRegistry ----

CRegistry::CRegistry() = default;
CRegistry::~CRegistry() = default;
CRegistry::CRegistry(const CRegistry&) : CRegistry() {}
CRegistry& CRegistry::operator=(const CRegistry&) {
    return *this;
}

CRegistryKey* CRegistry::KeyClassRoot() {
    return &class_root_;
}
CRegistryKey* CRegistry::KeyCurrentUser() {
    return &current_user_;
}
CRegistryKey* CRegistry::KeyLocalMachine() {
    return &local_machine_;
}
CRegistryKey* CRegistry::KeyUsers() {
    return &users_;
}
CRegistryKey* CRegistry::KeyCurrentConfig() {
    return &current_config_;
}
CRegistryKey* CRegistry::KeyDynData() {
    return &dyn_data_;
}
CRegistryKey* CRegistry::KeyPerformanceData() {
    return &performance_data_;
}
