// The hive file: where it is made, what is left alone, and what survives sharing and crashes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kestrom/registry.h"
#include "registry/settings_store.h"
#include "temp_hive.h"

namespace registry {
namespace {

using Key = std::unique_ptr<CRegistryKey>;
using testing::HasSubstr;

std::string read(const char* name) {
    char text[core::kSettingTextSize]{};
    (void)read_setting(name, "default", text);
    return text;
}

unsigned mode_of(const std::filesystem::path& p) {
    return static_cast<unsigned>(std::filesystem::status(p).permissions());
}

// PRAGMA integrity_check through SQLite itself, independent of the library.
std::string integrity(const std::filesystem::path& p) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(p.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    if (rc != SQLITE_OK) return "open failed";
    std::string result;
    sqlite3_exec(
        db.get(), "PRAGMA integrity_check",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) += values[0] ? values[0] : "";
            return 0;
        },
        &result, nullptr);
    return result;
}

// A text of about 20 KB, so that one write changes many pages of the file.
std::string big_text(long n) {
    std::string text;
    const std::string part = std::to_string(n) + ";";
    while (text.size() < 20000) text += part;
    return text;
}

long write_big(long n) {
    CRegistry registry;
    const std::unique_ptr<CRegistryKey> key{registry.KeyLocalMachine()->OpenKey(kSettingsKey)};
    return key ? key->SetStringValue("Big", big_text(n).c_str()) : -1;
}

// The count in the big text, or -1 when it is not one count's whole text.
long read_big() {
    CRegistry registry;
    const std::unique_ptr<CRegistryKey> key{registry.KeyLocalMachine()->OpenKey(kSettingsKey)};
    std::string text;
    if (!key || key->GetStringValue("Big", &text) != 0) return -1;
    const long n = std::strtol(text.c_str(), nullptr, 10);
    return text == big_text(n) ? n : -1;
}

// Waits for a child's exit; -1 when it did not end normally within the deadline.
int wait_exit(pid_t pid, std::chrono::seconds timeout) {
    int status = 0;
    pid_t r = 0;
    if (test::wait_until([&] { return (r = ::waitpid(pid, &status, WNOHANG)) != 0; }, timeout,
                         std::chrono::milliseconds(5)))
        return r == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

TEST(HiveFile, IsCreatedOwnerOnlyWithItsDirectory) {
    test::TempHive hive;
    ASSERT_FALSE(std::filesystem::exists(hive.path().parent_path()));
    ensure_settings_key();
    ASSERT_TRUE(std::filesystem::exists(hive.path()));
    EXPECT_EQ(0600u, mode_of(hive.path()));
    EXPECT_EQ(0700u, mode_of(hive.path().parent_path()));
    ASSERT_EQ(0, write_setting("ZorvaPassword", "secret"));
    EXPECT_EQ(0600u, mode_of(hive.path()));
    EXPECT_EQ("ok", integrity(hive.path()));
}

TEST(HiveFile, AnEmptyFileBecomesAnOwnerOnlyHive) {
    test::TempHive hive;
    const auto path = hive.use("empty.db");
    hive.dir().write("empty.db", "");
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read | std::filesystem::perms::others_read);
    ensure_settings_key();
    ASSERT_EQ(0, write_setting("PoolSize", "7"));
    EXPECT_EQ("7", read("PoolSize"));
    EXPECT_EQ(0600u, mode_of(path));
}

TEST(HiveFile, AFileThatIsNotAHiveIsLeftAloneAndReportedOnce) {
    struct Case {
        const char* what;
        std::string content;  // empty: a directory stands at the path
        const char* sql;      // run on the file first when set
    };
    const Case cases[] = {
        {"garbage", std::string(5000, '\x5a'), nullptr},
        {"a text file", "ZorvaPassword=7305\n", nullptr},
        {"a single byte", "S", nullptr},  // SQLite itself reads it as an empty database
        {"a directory", "", nullptr},
        {"another database", "", "CREATE TABLE t(x); INSERT INTO t VALUES (1);"},
        {"a newer hive", "", "PRAGMA application_id = 1263752274; PRAGMA user_version = 9;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempHive hive;
        const auto path = hive.use("registry.db");
        if (c.sql) {
            sqlite3* db = nullptr;
            ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
            ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr));
            sqlite3_close(db);
        } else if (c.content.empty()) {
            std::filesystem::create_directory(path);
        } else {
            hive.dir().write("registry.db", c.content);
        }
        const std::string before =
            std::filesystem::is_regular_file(path) ? test::read_file(path) : "";

        testing::internal::CaptureStderr();
        ensure_settings_key();
        EXPECT_EQ(0, write_setting("PoolSize", "99"));
        EXPECT_EQ("default", read("PoolSize"));
        EXPECT_NE(0, store_setting("PoolSize", "99"));
        CRegistry registry;
        EXPECT_FALSE(Key{registry.KeyUsers()->CreateKey("x")});
        const std::string err = testing::internal::GetCapturedStderr();

        EXPECT_THAT(err, HasSubstr(path.string()));
        EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
        if (std::filesystem::is_regular_file(path)) {
            EXPECT_EQ(before, test::read_file(path));
        }
        EXPECT_FALSE(std::filesystem::exists(path.string() + "-journal"));
    }
}

// ssh's strict modes: a file at the hive's path (or a link's target) that another user owns, root
// included, or that others may write is refused, said once and left as it is; one of the user's
// own that others may read is made owner-only, said once.
TEST(HiveFile, IsUsedOnlyWhenItIsTheUsersOwnAndNoOneElseMayWriteIt) {
    constexpr uid_t kNobody = 65534;
    const std::string me = std::to_string(::geteuid());
    struct Case {
        const char* what;
        bool hive;  // a hive with PoolSize=1, else an empty file
        unsigned mode;
        bool theirs;         // owned by nobody (setting that up needs root)
        bool link;           // the hive's path is a link to the file
        bool their_journal;  // nobody's empty journal beside the hive
        std::string said;    // follows the file's name in the one line on standard error
        bool used;
    };
    const Case cases[] = {
        {"another user's empty file that others may write", false, 0666, true, false, false,
         " can be written by others (mode 0666)", false},
        {"a link to another user's empty file", false, 0600, true, true, false,
         " is owned by uid 65534, not by you (uid " + me + ")", false},
        // Root edits the hive of the service's own user where it is, and says nothing.
        {"another user's hive", true, 0600, true, false, false, "", true},
        {"a hive that the group may write", true, 0660, false, false, false,
         " can be written by others (mode 0660)", false},
        {"another user's journal beside a hive", true, 0600, false, false, true,
         "-journal is owned by uid 65534, not by you (uid " + me + ")", false},
        {"a hive that others may read", true, 0644, false, false, false,
         " was readable by others (mode 0644); its mode is now 0600", true},
    };
    for (const auto& c : cases) {
        if ((c.theirs || c.their_journal) && ::geteuid() != 0) continue;  // needs chown
        SCOPED_TRACE(c.what);
        test::TempHive hive;
        const auto file = hive.use("file.db");
        if (c.hive) {
            ensure_settings_key();
            ASSERT_EQ(0, store_setting("PoolSize", "1"));
        } else {
            hive.dir().write("file.db", "");
        }
        const std::string journal = file.string() + "-journal";
        if (c.their_journal) {
            hive.dir().write("file.db-journal", "");
            ASSERT_EQ(0, ::chmod(journal.c_str(), 0666));
            ASSERT_EQ(0, ::chown(journal.c_str(), kNobody, kNobody));
        }
        ASSERT_EQ(0, ::chmod(file.c_str(), c.mode));
        if (c.theirs) {
            ASSERT_EQ(0, ::chown(file.c_str(), kNobody, kNobody));
        }
        std::string named = file.string();
        if (c.link) {
            const auto link = hive.use("registry.db");
            std::filesystem::create_symlink(file, link);
            named = link.string() + " (a link to " + file.string() + ")";
        }
        const std::string before = test::read_file(file);
        struct stat was {};
        ASSERT_EQ(0, ::stat(file.c_str(), &was));

        testing::internal::CaptureStderr();
        ensure_settings_key();
        const std::string pool = read("PoolSize");
        const long stored = store_setting("ZorvaPassword", "secret");
        (void)read("ZorvaPassword");
        const std::string err = testing::internal::GetCapturedStderr();

        if (c.said.empty()) {
            EXPECT_EQ("", err);
        } else {
            EXPECT_THAT(err, HasSubstr(named + c.said));
            EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
        }
        struct stat is {};
        ASSERT_EQ(0, ::stat(file.c_str(), &is));
        EXPECT_EQ(was.st_uid, is.st_uid);
        if (c.used) {
            EXPECT_EQ("1", pool);
            EXPECT_EQ(0, stored);
            EXPECT_EQ(0600u, is.st_mode & 07777);
            continue;
        }
        EXPECT_EQ("default", pool);
        EXPECT_NE(0, stored);
        EXPECT_TRUE(before == test::read_file(file)) << "the refused file was written to";
        EXPECT_EQ(c.mode, is.st_mode & 07777);
        if (c.their_journal) {
            EXPECT_EQ("", test::read_file(journal)) << "the old pages went to another's journal";
        } else {
            EXPECT_FALSE(std::filesystem::exists(journal));
        }
    }
}

TEST(HiveFile, TheEnvironmentChoosesTheFileOnEveryOpen) {
    test::TempHive hive;
    const auto first = hive.use("first.db");
    ensure_settings_key();
    ASSERT_EQ(0, write_setting("PoolSize", "1"));
    hive.use("second.db");
    EXPECT_EQ("default", read("PoolSize"));
    hive.use("first.db");
    EXPECT_EQ("1", read("PoolSize"));
}

TEST(HiveSharing, TwoProcessesWritingAtOnceLoseNothing) {
    test::TempHive hive;
    ensure_settings_key();
    constexpr int kWrites = 25;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            // Every write opens the hive anew, as the store does; a busy hive must be waited for.
            for (int i = 0; i < kWrites; ++i) {
                CRegistry registry;
                const std::string path = "SOFTWARE\\Shared\\" + std::to_string(i % 3);
                const Key key{registry.KeyLocalMachine()->CreateKey(path.c_str())};
                const std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
                if (!key || key->SetIntegerValue(name.c_str(), static_cast<std::uint32_t>(i)) != 0)
                    ::_exit(1);
                if (write_setting("PoolSize", name.c_str()) != 0) ::_exit(1);
            }
            ::_exit(0);
        }
    }
    // Read along while they write.
    for (int i = 0; i < 20; ++i) EXPECT_NE("", read("PoolSize"));
    for (const pid_t child : children)
        EXPECT_EQ(0, wait_exit(child, std::chrono::seconds(60)))
            << "a writing process failed, or had not ended within 60 s";

    CRegistry registry;
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < kWrites; ++i) {
            const std::string path = "SOFTWARE\\Shared\\" + std::to_string(i % 3);
            const std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
            const Key key{registry.KeyLocalMachine()->OpenKey(path.c_str())};
            ASSERT_TRUE(key);
            std::uint32_t value = 0;
            EXPECT_EQ(0, key->GetIntegerValue(name.c_str(), &value)) << name;
            EXPECT_EQ(static_cast<std::uint32_t>(i), value) << name;
        }
    EXPECT_EQ("ok", integrity(hive.path()));
}

TEST(HiveSharing, ThreadsOnOneHandleAndOnTheirOwnLoseNothing) {
    test::TempHive hive;
    CRegistry registry;
    const Key shared{registry.KeyLocalMachine()->CreateKey("Threads")};
    ASSERT_TRUE(shared);
    constexpr int kThreads = 4, kWrites = 6;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t, &shared] {
                CRegistry own_registry;
                const Key own{own_registry.KeyLocalMachine()->OpenKey("Threads")};
                for (int i = 0; i < kWrites; ++i) {
                    const std::string name = std::to_string(t) + "_" + std::to_string(i);
                    EXPECT_EQ(0, shared->SetStringValue(("s" + name).c_str(), name.c_str()));
                    EXPECT_EQ(0, own->SetStringValue(("o" + name).c_str(), name.c_str()));
                    std::vector<std::string> names;
                    shared->GetValueNames(&names);
                }
            });
    }
    std::vector<std::string> names;
    shared->GetValueNames(&names);
    EXPECT_EQ(static_cast<std::size_t>(2 * kThreads * kWrites), names.size());
    for (const auto& name : names) {
        std::string text;
        EXPECT_EQ(0, shared->GetStringValue(name.c_str(), &text));
        EXPECT_EQ(name.substr(1), text);
    }
}

TEST(HiveCrash, AWriterKilledAtAnyMomentLeavesTheLastCommittedValues) {
    test::TempHive hive;
    ensure_settings_key();
    std::mt19937 random(20261207);
    long committed = 0;  // the highest count the last child reported as stored
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int fds[2];
        ASSERT_EQ(0, ::pipe(fds));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            // Each count goes to a text spanning many pages, then to PoolSize, then to netmask,
            // each write its own transaction; a byte on the pipe says all three are committed.
            for (long n = committed + 1; n < committed + 100000; ++n) {
                const std::string text = std::to_string(n);
                (void)write_big(n);
                (void)write_setting("PoolSize", text.c_str());
                (void)write_setting("netmask", text.c_str());
                const char done = 1;
                if (::write(fds[1], &done, 1) != 1) ::_exit(1);
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        const int wanted = 1 + static_cast<int>(random() % 2);
        int got = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (got < wanted && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[16];
            const ssize_t n = ::read(fds[0], buf, std::min<std::size_t>(sizeof buf, wanted - got));
            if (n <= 0) break;
            got += static_cast<int>(n);
        }
        // A random moment inside the next writes: the child spends nearly all its time in them.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(fds[0]);
        ASSERT_EQ(wanted, got);

        // The first reader rolls back whatever the killed writer left in its journal.
        const long pool = std::strtol(read("PoolSize").c_str(), nullptr, 10);
        const long mask = std::strtol(read("netmask").c_str(), nullptr, 10);
        ASSERT_EQ("ok", integrity(hive.path()));
        const long big = read_big();
        // Nothing committed is lost, nothing half written is seen.
        EXPECT_GE(pool, committed + wanted);
        EXPECT_TRUE(pool == mask || pool == mask + 1) << pool << " " << mask;
        EXPECT_TRUE(big == pool || big == pool + 1) << big << " " << pool;
        committed = pool;
    }
}

}  // namespace
}  // namespace registry
