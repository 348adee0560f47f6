// Registry classes: a small class library over a registry-like hive of keys and typed values.
// `CRegistry` holds the seven predefined root keys, `CRegistryKey` wraps one open key and offers
// every key and value operation, `CRegistryValue` holds one value's type and bytes. Names are
// 8-bit texts, matched without regard to case and stored as written; a path is split at
// backslashes. The hive is one SQLite file: $KESTROM_REGISTRY, else
// $XDG_CONFIG_HOME/kestrom/registry.db, else ~/.config/kestrom/registry.db, looked up again at
// each open from a root. Each write is one durable transaction, so several processes may share
// the file; a file at that path that is not a hive is never written to.
//
// On Windows the classes sit on the system registry instead, with the same behaviour and codes;
// there is no hive file, and the library is a static one linked into the program.
//
// Elsewhere this header needs nothing beyond the standard library: the hive's handle type stays
// opaque, and a program links against libkestrom_registry alone. On Windows it includes
// <windows.h> for the system's HKEY and HKEY_* roots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
// A static library there: one self-contained executable, nothing to export or import.
#define KESTROM_REGISTRY_API

// The system's HKEY and HKEY_* roots. Included lean and without the min/max macros; the two
// switches are taken back afterwards, so an includer that sets them itself sees no difference.
#if !defined(WIN32_LEAN_AND_MEAN)
#define WIN32_LEAN_AND_MEAN
#define KESTROM_REGISTRY_SET_LEAN
#endif
#if !defined(NOMINMAX)
#define NOMINMAX
#define KESTROM_REGISTRY_SET_NOMINMAX
#endif
#include <windows.h>
#if defined(KESTROM_REGISTRY_SET_LEAN)
#undef WIN32_LEAN_AND_MEAN
#undef KESTROM_REGISTRY_SET_LEAN
#endif
#if defined(KESTROM_REGISTRY_SET_NOMINMAX)
#undef NOMINMAX
#undef KESTROM_REGISTRY_SET_NOMINMAX
#endif

#else
#define KESTROM_REGISTRY_API __attribute__((visibility("default")))

// An open key of the hive, or one of the predefined root handles below. Opaque.
struct kestrom_hive_key;
using HKEY = kestrom_hive_key*;

// The predefined root handles carry the platform's values; they name a root, they point nowhere.
inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
inline const HKEY HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003});
inline const HKEY HKEY_PERFORMANCE_DATA = reinterpret_cast<HKEY>(std::uintptr_t{0x80000004});
inline const HKEY HKEY_CURRENT_CONFIG = reinterpret_cast<HKEY>(std::uintptr_t{0x80000005});
inline const HKEY HKEY_DYN_DATA = reinterpret_cast<HKEY>(std::uintptr_t{0x80000006});
#endif

namespace registry {

// The `long` results of the key operations: the platform's error codes, plus one of the
// classes' own (wrong_type).
enum class RegError : long {
    success = 0,
    file_not_found = 2,  // no such key or value
    access_denied = 5,   // the hive cannot be written, the handle lacks the right, or
                         // the key to delete still has sub-keys
    invalid_handle = 6,  // not an open key
    not_enough_memory = 8,
    invalid_parameter = 87,     // data missing for a non-zero length, text missing
    bad_pathname = 161,         // an empty part inside a key path ("a\\\\b", "\\a")
    busy = 170,                 // another process held the hive longer than the busy wait
    more_data = 234,            // the caller's buffer is too small
    no_more_items = 259,        // ends an enumeration
    bad_db = 1009,              // the file at the hive's path is not a hive
    bad_key = 1010,             // DeleteKey: missing or empty key name
    registry_io_failed = 1016,  // the hive's file could not be read or written
    key_deleted = 1018,         // the key of this handle was deleted meanwhile
    wrong_type = 0x20F00001,    // the value exists, but its type can't be delivered
};
constexpr long code(RegError e) {
    return static_cast<long>(e);
}

// Value types.
inline constexpr std::uint32_t kRegSz = 1;        // string: text and terminator
inline constexpr std::uint32_t kRegExpandSz = 2;  // string with %VARIABLES%, never expanded here
inline constexpr std::uint32_t kRegBinary = 3;    // raw bytes
inline constexpr std::uint32_t kRegDword = 4;     // 32-bit number, 4 little-endian bytes

// Access masks for OpenKey and CreateKey.
inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyWrite = 0x20006;
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;

}  // namespace registry

class CRegistryKey;

// One value read from a key: its type and a copy of its bytes.
class KESTROM_REGISTRY_API CRegistryValue {
public:
    CRegistryValue();
    virtual ~CRegistryValue();
    CRegistryValue(const CRegistryValue&) = delete;
    CRegistryValue& operator=(const CRegistryValue&) = delete;

    unsigned char* GetData() const;  // nullptr while empty
    unsigned long GetLength() const;
    unsigned long Type() const;

protected:
    // Replaces the bytes with a copy of length bytes from data, and the type. 0, or 8 when the
    // copy can't be allocated (the value is then left as it was).
    int SetValue(const unsigned char* data, std::uint32_t length, std::uint32_t type);

private:
    friend class CRegistryKey;
    std::uint32_t length_ = 0;
    std::unique_ptr<unsigned char[]> data_;  // exactly length_ bytes; null until a value is stored
    std::uint32_t type_ = 0;
};

// One key. Owns its handle and closes it on destruction. OpenKey and CreateKey return a new key
// on the heap, which the caller deletes (closing it), or nullptr on failure.
class KESTROM_REGISTRY_API CRegistryKey {
public:
    CRegistryKey();
    virtual ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Opens name below this key with all access, or with the given access mask.
    CRegistryKey* OpenKey(const char* name);
    CRegistryKey* OpenKey(const char* name, std::uint32_t access);
    // Opens name below this key, creating every missing key on the path first.
    CRegistryKey* CreateKey(const char* name);
    CRegistryKey* CreateKey(const char* name, std::uint32_t access);

    // Deletes the sub-key name and everything below it, deepest keys first. 1010 for a missing
    // or empty name.
    long DeleteKey(const char* name);
    long DeleteValue(const char* name);

    // Store a value; setting an existing value replaces its type and data. A null or empty
    // name is the key's unnamed value.
    long SetValue(const char* name, std::uint32_t type, const unsigned char* data,
                  std::uint32_t length);
    long SetBinaryValue(const char* name, const unsigned char* data, std::uint32_t length);
    long SetIntegerValue(const char* name, std::uint32_t value);
    long SetStringValue(const char* name, const char* text);        // text and terminator
    long SetExpandStringValue(const char* name, const char* text);  // text and terminator

    // Type 4 only: 0 and *value set; another type gives 0x20F00001. *value changes only on 0.
    long GetIntegerValue(const char* name, std::uint32_t* value);
    // Types 1 and 2 as stored, unexpanded, up to the first NUL; type 4 as unsigned decimal
    // text; another type gives 0x20F00001. *text changes only on 0.
    long GetStringValue(const char* name, std::string* text);
    // Any type: value receives the type and a copy of the bytes. value changes only on 0.
    long GetValue(const char* name, CRegistryValue& value);

    // Empty *names, then append the sub-key names in case-insensitive alphabetical order, or
    // the value names in creation order. An enumeration failure just ends the list. Always 1.
    int GetKeyNames(std::vector<std::string>* names);
    int GetValueNames(std::vector<std::string>* names);

    // Longest sub-key name and value name in characters (no terminator), largest value data in
    // bytes; 0 when the key can't be queried.
    long QueryMaxKeyNameLen();
    long QueryMaxValueNameLen();
    long QueryMaxValueLen();

    // Copies everything below this key into target: sub-keys are created or opened, values
    // overwritten where names match; nothing is deleted from target. 1 on success, 0 at the
    // first failure, and 0 at once when target is this key or lies below it (the copy would
    // never end).
    int CopyTo(CRegistryKey* target);

    // 1 when this object holds a predefined root handle; otherwise whether key is an open
    // handle.
    int IsRegKey(HKEY key);

private:
    friend class CRegistry;
    explicit CRegistryKey(HKEY handle) : handle_(handle) {}
    CRegistryKey* open_or_create(const char* name, std::uint32_t access, bool create);

    HKEY handle_ = nullptr;
};

// The seven predefined roots. The accessors return members, which the caller must not delete.
class KESTROM_REGISTRY_API CRegistry {
public:
    CRegistry();
    virtual ~CRegistry();
    // A copy holds the same seven predefined handles (closing one is a no-op).
    CRegistry(const CRegistry&);
    CRegistry& operator=(const CRegistry&);

    CRegistryKey* KeyClassRoot();
    CRegistryKey* KeyCurrentUser();
    CRegistryKey* KeyLocalMachine();
    CRegistryKey* KeyUsers();
    CRegistryKey* KeyCurrentConfig();
    CRegistryKey* KeyDynData();
    CRegistryKey* KeyPerformanceData();

private:
    CRegistryKey class_root_{HKEY_CLASSES_ROOT};
    CRegistryKey current_user_{HKEY_CURRENT_USER};
    CRegistryKey local_machine_{HKEY_LOCAL_MACHINE};
    CRegistryKey users_{HKEY_USERS};
    CRegistryKey current_config_{HKEY_CURRENT_CONFIG};
    CRegistryKey dyn_data_{HKEY_DYN_DATA};
    CRegistryKey performance_data_{HKEY_PERFORMANCE_DATA};
};
