#include "hive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <vector>

namespace registry::detail {

struct DbClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;

// One connection to one hive file, shared by the handles opened through it; it closes with the
// last of them.
struct Hive {
    std::mutex mutex;  // one call at a time on the connection, from whichever thread
    Db db;
    std::string path;
    bool read_only = false;
};

}  // namespace registry::detail

// What an HKEY that is not a predefined root points to.
struct kestrom_hive_key {
    std::shared_ptr<registry::detail::Hive> hive;
    std::int64_t id = 0;  // row of reg_key
    std::uint32_t access = 0;
};

namespace registry {
namespace {

using detail::Hive;

// "KSTR": marks a SQLite file as ours, so that any other database found at the path is left alone.
constexpr std::int32_t kApplicationId = 0x4B535452;
constexpr int kSchemaVersion = 1;
// A writer holds the hive for milliseconds; this only runs out when another program sits on a
// transaction.
constexpr int kBusyTimeoutMs = 10000;
constexpr std::uint32_t kModifyRights = kKeySetValue | kKeyCreateSubKey | 0x00010000;  // DELETE
constexpr std::uintptr_t kFirstRoot = 0x80000000;
constexpr std::uintptr_t kRootCount = 7;

// Root rows take ids 1..7 in the order of the predefined handles' values.
constexpr const char* kSchema = R"sql(
CREATE TABLE reg_key(
    id INTEGER PRIMARY KEY AUTOINCREMENT,   -- never reused: a stale handle can't reach a new key
    parent INTEGER NOT NULL,
    name BLOB NOT NULL,                     -- as first written
    fold BLOB NOT NULL,                     -- ASCII upper case: lookups and enumeration order
    UNIQUE(parent, fold));
CREATE TABLE reg_value(
    id INTEGER PRIMARY KEY AUTOINCREMENT,   -- creation order
    key INTEGER NOT NULL,
    name BLOB NOT NULL,
    fold BLOB NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    UNIQUE(key, fold));
INSERT INTO reg_key(id, parent, name, fold) VALUES
    (1, 0, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT'),
    (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'),
    (3, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),
    (4, 0, 'HKEY_USERS', 'HKEY_USERS'),
    (5, 0, 'HKEY_PERFORMANCE_DATA', 'HKEY_PERFORMANCE_DATA'),
    (6, 0, 'HKEY_CURRENT_CONFIG', 'HKEY_CURRENT_CONFIG'),
    (7, 0, 'HKEY_DYN_DATA', 'HKEY_DYN_DATA');
PRAGMA application_id = 1263752274;
PRAGMA user_version = 1;
)sql";
static_assert(kApplicationId == 1263752274);

constexpr long ok = code(RegError::success);

long from_sqlite(int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ok;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return code(RegError::busy);
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return code(RegError::access_denied);
        case SQLITE_NOMEM:
            return code(RegError::not_enough_memory);
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            return code(RegError::bad_db);
        default:
            return code(RegError::registry_io_failed);
    }
}

// ---- reporting: once per path and process, on standard error ----

void report_once(const std::string& path, const std::string& text) {
    static std::mutex mutex;
    static std::set<std::string> reported;
    std::lock_guard lock(mutex);
    if (!reported.insert(path).second) return;
    std::fputs(text.c_str(), stderr);
}

// A file at the hive's path that can't serve as the hive: never written to, named once.
void report_unusable(const std::string& path, std::string_view why) {
    report_once(path, "kestrom: registry hive " + path + " can't be used (" + std::string(why) +
                          "); it is left untouched and settings are not stored\n");
}

// The reason SQLite could not open or read a file: the OS's word when there is one.
std::string open_failure(sqlite3* db, int rc) {
    if (!db) return sqlite3_errstr(rc);
    if (const int err = sqlite3_system_errno(db); err != 0)
        return std::generic_category().message(err);
    return sqlite3_errmsg(db);
}

// ---- statements and transactions ----

class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        sqlite3_stmt* raw = nullptr;
        rc_ = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
        stmt_.reset(raw);
    }
    bool prepared() const { return rc_ == SQLITE_OK && stmt_; }
    int prepare_result() const { return rc_; }
    void bind(int i, std::int64_t v) { sqlite3_bind_int64(stmt_.get(), i, v); }
    void bind(int i, std::string_view bytes) { bind(i, bytes.data(), bytes.size()); }
    void bind(int i, const void* data, std::size_t size) {
        // A null pointer would bind NULL; the columns want a (possibly empty) blob.
        static const unsigned char kEmpty = 0;
        sqlite3_bind_blob64(stmt_.get(), i, size ? data : &kEmpty, size, SQLITE_TRANSIENT);
    }
    int step() { return sqlite3_step(stmt_.get()); }
    void reset() { sqlite3_reset(stmt_.get()); }
    std::int64_t int64(int col) { return sqlite3_column_int64(stmt_.get(), col); }
    std::string_view blob(int col) {
        const void* p = sqlite3_column_blob(stmt_.get(), col);
        const int n = sqlite3_column_bytes(stmt_.get(), col);
        return p ? std::string_view(static_cast<const char*>(p), static_cast<std::size_t>(n))
                 : std::string_view();
    }

private:
    struct Finalize {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };
    std::unique_ptr<sqlite3_stmt, Finalize> stmt_;
    int rc_ = SQLITE_ERROR;
};

// Begins in the constructor, rolls back in the destructor unless committed. Writers take the
// write lock at once (IMMEDIATE), so a reader never has to upgrade and deadlock.
class Transaction {
public:
    Transaction(sqlite3* db, bool write) : db_(db) {
        rc_ = sqlite3_exec(db_, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
    }
    ~Transaction() {
        if (rc_ == SQLITE_OK && !committed_)
            (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);  // nothing to add
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    long began() const { return from_sqlite(rc_); }
    long commit() {
        const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) committed_ = true;
        return from_sqlite(rc);
    }

private:
    sqlite3* db_;
    int rc_;
    bool committed_ = false;
};

// ---- names and paths ----

std::string fold(std::string_view name) {
    std::string s(name);
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// nullopt for an empty part other than a single trailing one.
std::optional<std::vector<std::string_view>> split_path(const char* path) {
    std::vector<std::string_view> parts;
    std::string_view rest = path ? path : "";
    if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    if (rest.empty()) return parts;
    for (;;) {
        const auto slash = rest.find('\\');
        const std::string_view part = rest.substr(0, slash);
        if (part.empty()) return std::nullopt;
        parts.push_back(part);
        if (slash == std::string_view::npos) return parts;
        rest.remove_prefix(slash + 1);
    }
}

// ---- opening a hive file ----

struct Identity {
    std::int64_t application_id = 0;
    std::int64_t version = 0;
    std::int64_t objects = 0;
    std::int64_t pages = 0;
};

int identify(sqlite3* db, Identity* id) {
    Statement q(db,
                "SELECT (SELECT application_id FROM pragma_application_id),"
                " (SELECT user_version FROM pragma_user_version),"
                " (SELECT count(*) FROM sqlite_schema),"
                " (SELECT page_count FROM pragma_page_count)");
    if (!q.prepared()) return q.prepare_result();
    const int rc = q.step();
    if (rc != SQLITE_ROW) return rc;
    *id = {q.int64(0), q.int64(1), q.int64(2), q.int64(3)};
    return SQLITE_OK;
}

bool is_ours(const Identity& id) {
    return id.application_id == kApplicationId && id.version == kSchemaVersion;
}
bool is_blank(const Identity& id) {
    return id.application_id == 0 && id.version == 0 && id.objects == 0;
}

// SQLite reads a file of one byte as an empty database (a work-around for an old file system),
// so a database without pages is only blank when the file really holds nothing.
bool is_blank_file(const Identity& id, int fd) {
    if (!is_blank(id)) return false;
    if (id.pages > 0) return true;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_size == 0;
}

// Why a file that SQLite reads is not a hive to use.
const char* foreign_kind(const Identity& id) {
    if (is_blank(id)) return "file is not a database";  // a single byte
    return id.application_id == kApplicationId ? "it was made by another version of kestrom"
                                               : "it is another kind of database";
}

// ---- whose the file is ----

// A descriptor that only names a file (O_PATH): enough for fstat and for the file's link below
// /proc/self/fd. Closing it never drops a POSIX lock that SQLite holds on the same file through a
// descriptor of its own in this process, as closing any other descriptor of the file would.
class PathFd {
public:
    // Follows a final link unless follow is false.
    PathFd(const std::string& path, bool follow)
        : fd_(::open(path.c_str(), O_PATH | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW))),
          error_(fd_ < 0 ? errno : 0) {}
    PathFd(const PathFd&) = delete;
    PathFd& operator=(const PathFd&) = delete;
    ~PathFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int error() const { return error_; }  // the open's errno, 0 when it is open
    std::string proc_link() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
    int error_;
};

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Names a file in a message: the path as configured, and where it leads when it is a link.
std::string shown_name(const std::string& path, const PathFd& fd) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) return path;
    const auto target = std::filesystem::read_symlink(fd.proc_link(), ec);
    return ec ? path : path + " (a link to " + target.string() + ")";
}

void report_refused(const std::string& path, const std::string& text) {
    report_once(path, "kestrom: " + text + "\n");
}

// The rule ssh applies to its own files, for the hive and the journals beside it: a file that
// another user owns, or that others may write, may hold someone else's content or pass ours on, so
// it is refused before SQLite reads it (a read may roll a journal back into it) and never written.
// Judged on the descriptor, so the file judged is the file opened, whatever happens to its name.
// `also_owner` is one more owner accepted: root edits the hive of the service's own user in place
// (open_hive still refuses to let root adopt another user's empty file).
long refuse_unless_private(const PathFd& fd, const struct stat& st, const std::string& path,
                           bool journal, uid_t also_owner) {
    const std::string name =
        (journal ? "registry hive journal " : "registry hive ") + shown_name(path, fd);
    const uid_t me = ::geteuid();
    const std::string my_uid = std::to_string(me);
    const char* const untouched = "; it is left untouched and settings are not stored: ";
    if (st.st_uid != me && st.st_uid != also_owner) {
        const std::string owner = std::to_string(st.st_uid);
        report_refused(path, name + " is owned by uid " + owner + ", not by you (uid " + my_uid +
                                 ")" + untouched +
                                 (journal ? "remove it"
                                          : "run kestrom as uid " + owner +
                                                ", or remove it or chown it to uid " + my_uid));
        return code(RegError::access_denied);
    }
    const mode_t mode = st.st_mode & 07777;
    if (mode & (S_IWGRP | S_IWOTH)) {
        report_refused(path, name + " can be written by others (mode " + mode_text(mode) + ")" +
                                 untouched + (journal ? "remove it" : "remove it or chmod 600 it"));
        return code(RegError::access_denied);
    }
    return ok;
}

// A hive of the user's own that others may read is made owner-only before anything is written to
// it, and said once. SQLite's journals take the hive's mode when it makes them.
long make_owner_only(const PathFd& fd, const struct stat& st, const std::string& path) {
    const mode_t mode = st.st_mode & 07777;
    if (!(mode & (S_IRWXG | S_IRWXO))) return ok;
    const std::string name = "registry hive " + shown_name(path, fd);
    // fchmod takes no O_PATH descriptor; the descriptor's /proc link reaches the same file.
    const mode_t tight = mode & S_IRWXU;
    if (::chmod(fd.proc_link().c_str(), tight) != 0) {
        const int err = errno;
        report_refused(path, name + " is readable by others (mode " + mode_text(mode) +
                                 ") and could not be made owner-only (" +
                                 std::generic_category().message(err) +
                                 "); settings are not stored: chmod 600 it");
        return code(RegError::access_denied);
    }
    report_once(path + "\n(mode)", "kestrom: " + name + " was readable by others (mode " +
                                       mode_text(mode) + "); its mode is now " + mode_text(tight) +
                                       "\n");
    return ok;
}

// SQLite opens the file by its name again, and resolves links itself. The file it opened must be
// the one checked: still at that name, as SQLite's own view of the name confirms. (Someone who may
// write the folder can still swap names back and forth between these looks; from such a folder no
// file can be kept private.)
bool opened_checked_file(sqlite3* db, const std::string& path, const struct stat& checked) {
    int moved = 1;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK || moved)
        return false;
    struct stat now {};
    return ::stat(path.c_str(), &now) == 0 && now.st_dev == checked.st_dev &&
           now.st_ino == checked.st_ino;
}

// SQLite makes its journals with the hive's own mode and owner, but uses one that is already there
// as it finds it: another user's journal would receive the pages a write replaces (the password
// before a change among them) and, left as a hot journal, be rolled back into the hive. So a
// journal beside the hive must pass the hive's own rule. (One of the user's own that others may
// read is left as it is: it is rolled back and deleted by the first read, or by the commit of the
// write it belongs to.) They sit beside the file SQLite opened, a link's target.
long check_journals(sqlite3* db, uid_t hive_owner) {
    const char* db_name = sqlite3_db_filename(db, "main");
    if (!db_name || !*db_name) return ok;
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        const std::string path = std::string(db_name) + suffix;
        const PathFd fd(path, false);  // SQLite doesn't follow a journal's link either
        if (fd.error() == ENOENT) continue;
        struct stat st {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
            report_refused(path,
                           "registry hive journal " + path + " can't be checked (" +
                               std::generic_category().message(fd.get() < 0 ? fd.error() : errno) +
                               "); settings are not stored");
            return code(RegError::access_denied);
        }
        if (!S_ISREG(st.st_mode)) {
            report_refused(path, "registry hive journal " + path +
                                     " is not a regular file; settings are not stored: remove it");
            return code(RegError::access_denied);
        }
        if (const long rc = refuse_unless_private(fd, st, path, true, hive_owner); rc != ok)
            return rc;
    }
    return ok;
}

// Makes the hive file owner-only from its first moment: a process killed right after creating it
// must not leave a file that others can read once it holds the password. Another process may have
// made it first, which is as good.
void create_private_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;        // EEXIST: someone was faster; else the open below names the reason
    (void)::fchmod(fd, 0600);  // whatever the umask
    ::close(fd);
}

// The hive's own folder is owner-only from its first moment too; folders above it are made as
// usual.
void create_private_directory(const std::filesystem::path& dir) {
    std::error_code ec;
    if (dir.empty() || std::filesystem::exists(dir, ec)) return;
    if (dir.has_parent_path()) std::filesystem::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) == 0) (void)::chmod(dir.c_str(), 0700);  // whatever the umask
}

// Opens the hive file at path. Without create, a missing file gives file_not_found. A file that
// is not a hive is never written to: it is reported once and gives bad_db. One that is not the
// user's own, or that others may write, is reported once and gives access_denied
// (refuse_unless_private).
long open_hive(const std::string& path, bool create, std::shared_ptr<Hive>* out) {
    namespace fs = std::filesystem;
    std::optional<PathFd> fd;
    fd.emplace(path, true);
    if (fd->error() == ENOENT) {
        if (!create) return code(RegError::file_not_found);
        create_private_directory(fs::path(path).parent_path());
        create_private_file(path);
        fd.emplace(path, true);
    }
    struct stat st {};
    if (fd->get() < 0 || ::fstat(fd->get(), &st) != 0) {
        report_unusable(path, std::generic_category().message(fd->get() < 0 ? fd->error() : errno));
        return code(RegError::bad_db);
    }
    if (!S_ISREG(st.st_mode)) {
        report_unusable(path,
                        S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file");
        return code(RegError::bad_db);
    }
    const uid_t me = ::geteuid();
    const bool foreign = st.st_uid != me;  // only root gets past the next line with such a file
    if (const long rc = refuse_unless_private(*fd, st, path, false, me == 0 ? st.st_uid : me);
        rc != ok)
        return rc;

    sqlite3* raw = nullptr;
    const int open_rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    auto hive = std::make_shared<Hive>();
    hive->db.reset(raw);
    hive->path = path;
    if (open_rc != SQLITE_OK) {
        report_unusable(path, open_failure(raw, open_rc));
        return code(RegError::bad_db);
    }
    sqlite3* db = hive->db.get();
    if (!opened_checked_file(db, path, st)) {
        report_unusable(path, "it was replaced while it was being opened");
        return code(RegError::bad_db);
    }
    // Before the first read, which rolls back a journal it finds.
    if (const long rc = check_journals(db, st.st_uid); rc != ok) return rc;
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    // Rollback journal with a full sync at each commit, readers of a read-only file need no side
    // files. EXTRA adds a sync of the folder once the journal is deleted, the step that commits:
    // without it a crash of the machine right after a write could bring the journal back and
    // roll back a write already reported as stored. (A failure here leaves SQLite's FULL.)
    (void)sqlite3_exec(db, "PRAGMA synchronous = EXTRA", nullptr, nullptr, nullptr);
    Identity id;
    int rc = identify(db, &id);
    if (rc != SQLITE_OK) {
        if (from_sqlite(rc) == code(RegError::busy)) return code(RegError::busy);
        report_unusable(path, open_failure(db, rc));
        return code(RegError::bad_db);
    }
    hive->read_only = sqlite3_db_readonly(db, "main") == 1;
    if (!is_ours(id) && !is_blank_file(id, fd->get())) {
        report_unusable(path, foreign_kind(id));
        return code(RegError::bad_db);
    }
    // Root edits another user's hive, but never fills another user's empty file with settings.
    if (foreign && !is_ours(id)) return refuse_unless_private(*fd, st, path, false, me);
    if (const long rc = make_owner_only(*fd, st, path); rc != ok) return rc;
    if (!is_ours(id)) {
        // An empty file: ours to set up, unless another process is doing it right now.
        if (hive->read_only) {
            report_unusable(path, "it cannot be written");
            return code(RegError::access_denied);
        }
        Transaction tx(db, true);
        if (tx.began() != ok) return tx.began();
        if ((rc = identify(db, &id)) != SQLITE_OK) return from_sqlite(rc);
        if (is_blank_file(id, fd->get())) {
            if ((rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr)) != SQLITE_OK)
                return from_sqlite(rc);
        } else if (!is_ours(id)) {
            report_unusable(path, foreign_kind(id));
            return code(RegError::bad_db);
        }
        if (const long c = tx.commit(); c != ok) return c;
    }
    *out = std::move(hive);
    return ok;
}

// ---- handles ----

std::mutex g_handles_mutex;
std::unordered_set<HKEY> g_open_handles;  // every handle returned and not yet closed

// A handle resolved for one call. hive is null for a root whose hive file doesn't exist yet
// (only when the call doesn't create): the hive then reads as empty.
struct Resolved {
    std::shared_ptr<Hive> hive;
    std::int64_t id = 0;
    std::uint32_t access = 0;
    bool root = false;
};

long resolve(HKEY key, bool create, Resolved* r) {
    if (is_predefined(key)) {
        r->root = true;
        r->id = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(key) - kFirstRoot) + 1;
        r->access = kKeyAllAccess;
        const std::string path = hive_path();
        if (path.empty()) {
            report_once(path,
                        "kestrom: no place for the registry hive (set KESTROM_REGISTRY or "
                        "HOME); settings are not stored\n");
            return create ? code(RegError::access_denied) : ok;
        }
        const long rc = open_hive(path, create, &r->hive);
        return rc == code(RegError::file_not_found) ? ok : rc;
    }
    std::lock_guard lock(g_handles_mutex);
    if (!g_open_handles.contains(key)) return code(RegError::invalid_handle);
    r->hive = key->hive;
    r->id = key->id;
    r->access = key->access;
    return ok;
}

long check_hive_writable(const Resolved& r) {
    if (r.hive && r.hive->read_only) {
        report_unusable(r.hive->path, "it cannot be written");
        return code(RegError::access_denied);
    }
    return ok;
}

// A write through a handle needs the right in the handle's access mask, and a writable hive.
long check_writable(const Resolved& r, std::uint32_t right) {
    if (!(r.access & right)) return code(RegError::access_denied);
    return check_hive_writable(r);
}

// Roots always exist; any other key may have been deleted through another handle.
long check_key(sqlite3* db, const Resolved& r) {
    if (r.root) return ok;
    Statement q(db, "SELECT 1 FROM reg_key WHERE id = ?");
    if (!q.prepared()) return from_sqlite(q.prepare_result());
    q.bind(1, r.id);
    const int rc = q.step();
    if (rc == SQLITE_ROW) return ok;
    return rc == SQLITE_DONE ? code(RegError::key_deleted) : from_sqlite(rc);
}

// *child = id of the sub-key `name` of parent, or 0 when there is none.
long find_child(sqlite3* db, std::int64_t parent, std::string_view name, std::int64_t* child) {
    Statement q(db, "SELECT id FROM reg_key WHERE parent = ? AND fold = ?");
    if (!q.prepared()) return from_sqlite(q.prepare_result());
    q.bind(1, parent);
    q.bind(2, fold(name));
    const int rc = q.step();
    *child = rc == SQLITE_ROW ? q.int64(0) : 0;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? ok : from_sqlite(rc);
}

// Walks parts below start. Missing keys are created when create is set, otherwise
// file_not_found.
long walk(sqlite3* db, std::int64_t start, const std::vector<std::string_view>& parts, bool create,
          std::int64_t* id) {
    std::int64_t at = start;
    for (const std::string_view part : parts) {
        std::int64_t child = 0;
        if (const long rc = find_child(db, at, part, &child); rc != ok) return rc;
        if (child == 0) {
            if (!create) return code(RegError::file_not_found);
            Statement ins(db, "INSERT INTO reg_key(parent, name, fold) VALUES (?, ?, ?)");
            if (!ins.prepared()) return from_sqlite(ins.prepare_result());
            ins.bind(1, at);
            ins.bind(2, part);
            ins.bind(3, fold(part));
            if (const int rc = ins.step(); rc != SQLITE_DONE) return from_sqlite(rc);
            child = sqlite3_last_insert_rowid(db);
        }
        at = child;
    }
    *id = at;
    return ok;
}

HKEY new_handle(std::shared_ptr<Hive> hive, std::int64_t id, std::uint32_t access) {
    auto* key = new kestrom_hive_key{std::move(hive), id, access};
    std::lock_guard lock(g_handles_mutex);
    g_open_handles.insert(key);
    return key;
}

// Copies a name into a caller's buffer of *size characters (terminator included).
long copy_name(std::string_view name, char* out, std::uint32_t* size) {
    if (!out || !size) return code(RegError::invalid_parameter);
    if (name.size() + 1 > *size) return code(RegError::more_data);
    if (!name.empty()) std::memcpy(out, name.data(), name.size());  // "" comes without a pointer
    out[name.size()] = '\0';
    *size = static_cast<std::uint32_t>(name.size());
    return ok;
}

// Copies value bytes into a caller's buffer of *size bytes; more_data with the need in *size.
long copy_data(std::string_view bytes, unsigned char* out, std::uint32_t* size) {
    if (!size) return out ? code(RegError::invalid_parameter) : ok;
    if (out) {
        if (bytes.size() > *size) {
            *size = static_cast<std::uint32_t>(bytes.size());
            return code(RegError::more_data);
        }
        // An empty value's view may have no buffer at all; memcpy must never see a null source.
        if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    }
    *size = static_cast<std::uint32_t>(bytes.size());
    return ok;
}

}  // namespace

std::string hive_path() {
    if (const char* p = std::getenv("KESTROM_REGISTRY"); p && *p) return p;
    // XDG Base Directory: a relative XDG_CONFIG_HOME is invalid and ignored.
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/')
        return std::string(x) + "/kestrom/registry.db";
    if (const char* h = std::getenv("HOME"); h && *h)
        return std::string(h) + "/.config/kestrom/registry.db";
    return {};
}

bool is_predefined(HKEY key) {
    const auto v = reinterpret_cast<std::uintptr_t>(key);
    return v >= kFirstRoot && v < kFirstRoot + kRootCount;
}

// What every call on an existing key shares: the hive's lock, one transaction (a snapshot for
// reads, BEGIN IMMEDIATE for writes) and the check that the key was not deleted meanwhile. A write
// is committed when its body succeeds.
template <typename Body>
long with_key(const Resolved& r, bool write, Body&& body) {
    std::lock_guard lock(r.hive->mutex);
    sqlite3* db = r.hive->db.get();
    Transaction tx(db, write);
    if (tx.began() != ok) return tx.began();
    if (const long rc = check_key(db, r); rc != ok) return rc;
    const long rc = body(db);
    return write && rc == ok ? tx.commit() : rc;
}

long reg_open_key(HKEY key, const char* path, std::uint32_t access, HKEY* result) {
    if (!result) return code(RegError::invalid_parameter);
    *result = nullptr;
    const auto parts = split_path(path);
    if (!parts) return code(RegError::bad_pathname);
    Resolved r;
    if (const long rc = resolve(key, false, &r); rc != ok) return rc;
    if (!r.hive) return code(RegError::file_not_found);
    // Asking for write rights on a hive that can't be written fails, as it does without rights.
    if (access & kModifyRights)
        if (const long rc = check_hive_writable(r); rc != ok) return rc;
    std::int64_t id = 0;
    {
        std::lock_guard lock(r.hive->mutex);
        sqlite3* db = r.hive->db.get();
        Transaction tx(db, false);
        if (tx.began() != ok) return tx.began();
        if (const long rc = check_key(db, r); rc != ok) return rc;
        if (const long rc = walk(db, r.id, *parts, false, &id); rc != ok) return rc;
    }
    *result = new_handle(std::move(r.hive), id, access);
    return ok;
}

long reg_create_key(HKEY key, const char* path, std::uint32_t access, HKEY* result) {
    if (!result) return code(RegError::invalid_parameter);
    *result = nullptr;
    const auto parts = split_path(path);
    if (!parts) return code(RegError::bad_pathname);
    Resolved r;
    if (const long rc = resolve(key, true, &r); rc != ok) return rc;
    // Asking for write rights on a hive that can't be written fails, as it does without rights.
    if (access & kModifyRights)
        if (const long rc = check_hive_writable(r); rc != ok) return rc;
    std::int64_t id = 0;
    {
        std::lock_guard lock(r.hive->mutex);
        sqlite3* db = r.hive->db.get();
        long rc = ok;
        {
            // Most calls find the whole path; they need no write lock.
            Transaction tx(db, false);
            if ((rc = tx.began()) != ok) return rc;
            if ((rc = check_key(db, r)) != ok) return rc;
            rc = walk(db, r.id, *parts, false, &id);
            if (rc != ok && rc != code(RegError::file_not_found)) return rc;
        }
        if (rc == code(RegError::file_not_found)) {
            if (const long w = check_writable(r, kKeyCreateSubKey); w != ok) return w;
            Transaction tx(db, true);
            if ((rc = tx.began()) != ok) return rc;
            if ((rc = check_key(db, r)) != ok) return rc;
            if ((rc = walk(db, r.id, *parts, true, &id)) != ok) return rc;
            if ((rc = tx.commit()) != ok) return rc;
        }
    }
    *result = new_handle(std::move(r.hive), id, access);
    return ok;
}

long reg_close_key(HKEY key) {
    if (is_predefined(key)) return ok;
    {
        std::lock_guard lock(g_handles_mutex);
        if (g_open_handles.erase(key) == 0) return code(RegError::invalid_handle);
    }
    delete key;
    return ok;
}

long reg_query_value(HKEY key, const char* name, std::uint32_t* type, unsigned char* data,
                     std::uint32_t* size) {
    Resolved r;
    if (const long rc = resolve(key, false, &r); rc != ok) return rc;
    if (!r.hive) return code(RegError::file_not_found);
    return with_key(r, false, [&](sqlite3* db) -> long {
        Statement q(db, "SELECT type, data FROM reg_value WHERE key = ? AND fold = ?");
        if (!q.prepared()) return from_sqlite(q.prepare_result());
        q.bind(1, r.id);
        q.bind(2, fold(name ? name : ""));
        const int rc = q.step();
        if (rc == SQLITE_DONE) return code(RegError::file_not_found);
        if (rc != SQLITE_ROW) return from_sqlite(rc);
        if (type) *type = static_cast<std::uint32_t>(q.int64(0));
        return copy_data(q.blob(1), data, size);
    });
}

long reg_set_value(HKEY key, const char* name, std::uint32_t type, const unsigned char* data,
                   std::uint32_t size) {
    if (!data && size) return code(RegError::invalid_parameter);
    Resolved r;
    if (const long rc = resolve(key, true, &r); rc != ok) return rc;
    if (const long rc = check_writable(r, kKeySetValue); rc != ok) return rc;
    return with_key(r, true, [&](sqlite3* db) -> long {
        // An existing value keeps its name as first written and its place in the enumeration.
        Statement q(
            db,
            "INSERT INTO reg_value(key, name, fold, type, data) VALUES (?, ?, ?, ?, ?)"
            " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
        if (!q.prepared()) return from_sqlite(q.prepare_result());
        const std::string_view value_name = name ? name : "";
        q.bind(1, r.id);
        q.bind(2, value_name);
        q.bind(3, fold(value_name));
        q.bind(4, static_cast<std::int64_t>(type));
        q.bind(5, data, size);
        if (const int rc = q.step(); rc != SQLITE_DONE) return from_sqlite(rc);
        return ok;
    });
}

long reg_delete_value(HKEY key, const char* name) {
    Resolved r;
    if (const long rc = resolve(key, false, &r); rc != ok) return rc;
    if (!r.hive) return code(RegError::file_not_found);
    if (const long rc = check_writable(r, kKeySetValue); rc != ok) return rc;
    return with_key(r, true, [&](sqlite3* db) -> long {
        Statement q(db, "DELETE FROM reg_value WHERE key = ? AND fold = ?");
        if (!q.prepared()) return from_sqlite(q.prepare_result());
        q.bind(1, r.id);
        q.bind(2, fold(name ? name : ""));
        if (const int rc = q.step(); rc != SQLITE_DONE) return from_sqlite(rc);
        if (sqlite3_changes(db) == 0) return code(RegError::file_not_found);
        return ok;
    });
}

long reg_delete_key(HKEY key, const char* path) {
    const auto parts = split_path(path);
    if (!parts) return code(RegError::bad_pathname);
    Resolved r;
    if (const long rc = resolve(key, false, &r); rc != ok) return rc;
    if (!r.hive) return code(RegError::file_not_found);
    // A root can't be deleted.
    if (parts->empty() && r.root) return code(RegError::access_denied);
    if (const long rc = check_hive_writable(r); rc != ok) return rc;
    return with_key(r, true, [&](sqlite3* db) -> long {
        std::int64_t id = 0;
        if (const long rc = walk(db, r.id, *parts, false, &id); rc != ok) return rc;
        {
            // As the platform does: a key with sub-keys is not deleted (DeleteKey recurses itself).
            Statement q(db, "SELECT 1 FROM reg_key WHERE parent = ? LIMIT 1");
            if (!q.prepared()) return from_sqlite(q.prepare_result());
            q.bind(1, id);
            const int rc = q.step();
            if (rc == SQLITE_ROW) return code(RegError::access_denied);
            if (rc != SQLITE_DONE) return from_sqlite(rc);
        }
        for (const char* sql :
             {"DELETE FROM reg_value WHERE key = ?", "DELETE FROM reg_key WHERE id = ?"}) {
            Statement q(db, sql);
            if (!q.prepared()) return from_sqlite(q.prepare_result());
            q.bind(1, id);
            if (const int rc = q.step(); rc != SQLITE_DONE) return from_sqlite(rc);
        }
        return ok;
    });
}

long reg_enum_key(HKEY key, std::uint32_t index, char* name, std::uint32_t* name_size) {
    Resolved r;
    if (const long rc = resolve(key, false, &r); rc != ok) return rc;
    if (!r.hive) return code(RegError::no_more_items);
    return with_key(r, false, [&](sqlite3* db) -> long {
        Statement q(db, "SELECT name FROM reg_key WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
        if (!q.prepared()) return from_sqlite(q.prepare_result());
        q.bind(1, r.id);
        q.bind(2, static_cast<std::int64_t>(index));
        const int rc = q.step();
        if (rc == SQLITE_DONE) return code(RegError::no_more_items);
        if (rc != SQLITE_ROW) return from_sqlite(rc);
        return copy_name(q.blob(0), name, name_size);
    });
}

long reg_enum_value(HKEY key, std::uint32_t index, char* name, std::uint32_t* name_size,
                    std::uint32_t* type, unsigned char* data, std::uint32_t* data_size) {
    Resolved r;
    if (const long rc = resolve(key, false, &r); rc != ok) return rc;
    if (!r.hive) return code(RegError::no_more_items);
    return with_key(r, false, [&](sqlite3* db) -> long {
        Statement q(
            db,
            "SELECT name, type, data FROM reg_value WHERE key = ? ORDER BY id LIMIT 1 OFFSET ?");
        if (!q.prepared()) return from_sqlite(q.prepare_result());
        q.bind(1, r.id);
        q.bind(2, static_cast<std::int64_t>(index));
        const int rc = q.step();
        if (rc == SQLITE_DONE) return code(RegError::no_more_items);
        if (rc != SQLITE_ROW) return from_sqlite(rc);
        if (const long c = copy_name(q.blob(0), name, name_size); c != ok) return c;
        if (type) *type = static_cast<std::uint32_t>(q.int64(1));
        return copy_data(q.blob(2), data, data_size);
    });
}

long reg_query_info_key(HKEY key, KeyInfo* info) {
    if (!info) return code(RegError::invalid_parameter);
    Resolved r;
    if (const long rc = resolve(key, false, &r); rc != ok) return rc;
    *info = KeyInfo{};
    if (!r.hive) return ok;
    // One snapshot for both counts.
    return with_key(r, false, [&](sqlite3* db) -> long {
        Statement keys(
            db, "SELECT count(*), coalesce(max(length(name)), 0) FROM reg_key WHERE parent = ?");
        Statement values(
            db,
            "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0)"
            " FROM reg_value WHERE key = ?");
        if (!keys.prepared()) return from_sqlite(keys.prepare_result());
        if (!values.prepared()) return from_sqlite(values.prepare_result());
        keys.bind(1, r.id);
        values.bind(1, r.id);
        if (const int rc = keys.step(); rc != SQLITE_ROW) return from_sqlite(rc);
        if (const int rc = values.step(); rc != SQLITE_ROW) return from_sqlite(rc);
        info->sub_keys = static_cast<std::uint32_t>(keys.int64(0));
        info->max_sub_key_len = static_cast<std::uint32_t>(keys.int64(1));
        info->values = static_cast<std::uint32_t>(values.int64(0));
        info->max_value_name_len = static_cast<std::uint32_t>(values.int64(1));
        info->max_value_len = static_cast<std::uint32_t>(values.int64(2));
        return ok;
    });
}

bool handle_is_open(HKEY key) {
    std::lock_guard lock(g_handles_mutex);
    return g_open_handles.contains(key);
}

bool key_contains(HKEY outer, HKEY inner) {
    Resolved o, i;
    if (resolve(outer, false, &o) != ok || resolve(inner, false, &i) != ok) return false;
    if (!o.hive || !i.hive) return false;
    std::error_code ec;
    if (o.hive != i.hive && !std::filesystem::equivalent(o.hive->path, i.hive->path, ec))
        return false;
    std::lock_guard lock(i.hive->mutex);
    sqlite3* db = i.hive->db.get();
    Transaction tx(db, false);
    if (tx.began() != ok) return false;
    Statement q(db, "SELECT parent FROM reg_key WHERE id = ?");
    if (!q.prepared()) return false;
    for (std::int64_t at = i.id; at != 0;) {
        if (at == o.id) return true;
        q.bind(1, at);
        if (q.step() != SQLITE_ROW) return false;
        at = q.int64(0);
        q.reset();
    }
    return false;
}

}  // namespace registry
