// Any bytes as the hive file, used as the tool uses it at start: the settings key made sure of,
// the eight settings read, one edited, and a look through the classes at what the key holds.
// Nothing may crash, and a file that the library must leave alone comes out byte for byte as it
// went in. Which files those are is decided here by SQLite's own reading of the bytes, not by
// the library: everything except an empty file, a database with nothing in it, and a database
// that carries the hive's application id and schema version.
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/settings.h"
#include "kestrom/registry.h"
#include "registry/settings_store.h"

namespace {

constexpr std::int64_t kHiveApplicationId = 0x4B535452;  // "KSTR"
constexpr std::int64_t kHiveVersion = 1;

std::filesystem::path g_dir;
std::string g_path;

void remove_dir() {
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
}

// A private directory per process, on tmpfs when there is one: each input is written to disk.
void make_dir() {
    std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    pattern += "/kestrom-hive-fuzz.XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_dir = pattern;
    g_path = (g_dir / "registry.db").string();
    ::setenv("KESTROM_REGISTRY", g_path.c_str(), 1);
    std::atexit(remove_dir);
}

void write_file(const std::uint8_t* data, std::size_t size) {
    for (const char* side : {"-journal", "-wal", "-shm"}) ::unlink((g_path + side).c_str());
    const int fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    for (std::size_t done = 0; ok && done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    if (fd >= 0) ::close(fd);
    if (!ok) {
        std::perror("writing the hive file");
        std::abort();
    }
}

std::vector<std::uint8_t> read_file() {
    std::vector<std::uint8_t> bytes;
    const int fd = ::open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bytes;
    std::uint8_t buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
    ::close(fd);
    return bytes;
}

// True when the library may write to a file holding these bytes.
bool may_be_written(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return true;
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(raw);
        return false;
    }
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    auto* copy = static_cast<unsigned char*>(sqlite3_malloc64(size));
    if (!copy) std::abort();
    std::memcpy(copy, data, size);
    // An in-memory database can't be in WAL mode; the file format bytes say nothing about the
    // identity, so read it as a rollback-journal file.
    if (size > 19 && copy[18] == 2 && copy[19] == 2) copy[18] = copy[19] = 1;
    if (sqlite3_deserialize(db.get(), "main", copy, static_cast<sqlite3_int64>(size),
                            static_cast<sqlite3_int64>(size),
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY) !=
        SQLITE_OK)
        return false;
    sqlite3_stmt* raw_stmt = nullptr;
    if (sqlite3_prepare_v2(db.get(),
                           "SELECT (SELECT application_id FROM pragma_application_id),"
                           " (SELECT user_version FROM pragma_user_version),"
                           " (SELECT count(*) FROM sqlite_schema)",
                           -1, &raw_stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw_stmt);
        return false;
    }
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw_stmt, sqlite3_finalize);
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return false;
    const std::int64_t application_id = sqlite3_column_int64(stmt.get(), 0);
    const std::int64_t version = sqlite3_column_int64(stmt.get(), 1);
    const std::int64_t objects = sqlite3_column_int64(stmt.get(), 2);
    return (application_id == kHiveApplicationId && version == kHiveVersion) ||
           (application_id == 0 && version == 0 && objects == 0);
}

// What the tool does with the hive at start and at an edit, then a walk through the key.
void use_hive() {
    registry::ensure_settings_key();
    for (const auto& info : core::kSettings) {
        char text[core::kSettingTextSize]{};
        (void)registry::read_setting(info.name, info.default_text, text);
    }
    (void)registry::write_setting("PoolSize", "12");

    CRegistry registry;
    std::vector<std::string> names;
    registry.KeyLocalMachine()->GetKeyNames(&names);
    const std::unique_ptr<CRegistryKey> key{
        registry.KeyLocalMachine()->OpenKey(registry::kSettingsKey)};
    if (!key) return;
    (void)key->QueryMaxValueLen();
    key->GetValueNames(&names);
    for (const auto& name : names) {
        CRegistryValue value;
        (void)key->GetValue(name.c_str(), value);
        std::uint32_t number = 0;
        (void)key->GetIntegerValue(name.c_str(), &number);
    }
    key->GetKeyNames(&names);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    write_file(data, size);
    use_hive();
    if (may_be_written(data, size)) return 0;
    const std::vector<std::uint8_t> after = read_file();
    if (after.size() != size || (size && std::memcmp(after.data(), data, size) != 0)) {
        std::fprintf(stderr, "the hive file was changed: %zu bytes in, %zu bytes out\n", size,
                     after.size());
        std::abort();
    }
    return 0;
}
