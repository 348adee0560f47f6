// The calls the classes are written against, shaped like the platform's registry calls. Two
// implementations: hive.cpp keeps the seven roots and every key and value below them in one
// SQLite file; on Windows, registry_win32.cpp passes each call to the system registry and
// evens out where that differs from this contract. Each call returns a RegError code as a
// long. Internal to libkestrom_registry.
//
// Contract shared by all calls:
// - name and path texts may be null (meaning ""); a path is split at backslashes and one
//   trailing backslash is ignored; any other empty part gives bad_pathname;
// - names compare case-insensitively (ASCII), and are stored as first written;
// - in the hive, each write runs as one IMMEDIATE transaction, committed with a full sync before
//   the call returns; a reader that finds the hive locked waits (busy_timeout) instead of
//   failing.
#pragma once

#include <cstdint>
#include <string>

#include "kestrom/registry.h"

namespace registry {

#if !defined(_WIN32)
// Where the hive lives: $KESTROM_REGISTRY, else $XDG_CONFIG_HOME/kestrom/registry.db, else
// $HOME/.config/kestrom/registry.db. Read anew on every root-level open; empty when none of
// the variables is set.
std::string hive_path();
#endif

bool is_predefined(HKEY key);

// Opens (or, for reg_create_key, creates) path below key. *result receives a new handle that
// reg_close_key must close. Opening a root-level key of a hive file that does not exist yet
// gives file_not_found and creates nothing; creating creates the file (mode 0600) and its
// directory. A hive file (or a link's target) that the effective user doesn't own, or that others
// may write, gives access_denied and is never written; one that others may read is made
// owner-only. Either is said once on standard error. Creating a key that is missing needs
// kKeyCreateSubKey in key's access mask.
long reg_open_key(HKEY key, const char* path, std::uint32_t access, HKEY* result);
long reg_create_key(HKEY key, const char* path, std::uint32_t access, HKEY* result);
// Closing a predefined handle does nothing and succeeds.
long reg_close_key(HKEY key);

// Without data: *type and *size receive the value's type and byte count. With data: *size is
// the buffer's size on entry; more_data (with *size set to the need) when it is too small.
long reg_query_value(HKEY key, const char* name, std::uint32_t* type, unsigned char* data,
                     std::uint32_t* size);
long reg_set_value(HKEY key, const char* name, std::uint32_t type, const unsigned char* data,
                   std::uint32_t size);
long reg_delete_value(HKEY key, const char* name);
// Deletes the key at path below key, which must have no sub-keys (access_denied otherwise).
long reg_delete_key(HKEY key, const char* path);

// The sub-key at index in case-insensitive alphabetical order. *name_size: the buffer's size
// in characters with room for the terminator; on success the name's length without it.
long reg_enum_key(HKEY key, std::uint32_t index, char* name, std::uint32_t* name_size);
// The value at index in creation order. type, data and data_size may be null.
long reg_enum_value(HKEY key, std::uint32_t index, char* name, std::uint32_t* name_size,
                    std::uint32_t* type, unsigned char* data, std::uint32_t* data_size);

struct KeyInfo {
    std::uint32_t sub_keys = 0;
    std::uint32_t max_sub_key_len = 0;  // characters, no terminator
    std::uint32_t values = 0;
    std::uint32_t max_value_name_len = 0;
    std::uint32_t max_value_len = 0;  // bytes
};
long reg_query_info_key(HKEY key, KeyInfo* info);

// GetHandleInformation's part: true while key is a handle returned by open or create and not
// yet closed.
bool handle_is_open(HKEY key);

// True when both handles name keys of one hive file and inner is outer or lies below it.
bool key_contains(HKEY outer, HKEY inner);

#if defined(_WIN32)
// For tests: Wine lets every user write HKEY_LOCAL_MACHINE. While this is on, the root answers as
// Windows does for a standard user: opening or creating below it with any right to modify, creating
// a missing key there, and writing to the root itself give access_denied; existing keys below it
// still open for reading.
void deny_local_machine_writes(bool on);
#endif

}  // namespace registry
