// Settings under fire. Four writers each run `kestrom config set` over their own two settings in
// a loop, one set after the other, while this process kills one of the running sets with SIGKILL
// at random moments until KILLS of them died that way. The hive starts out missing, so the first
// sets also race to create it.
//
// Every writer owns its settings, so per setting the last set that exited 0 is well defined. At
// every checkpoint (all writers idle) `kestrom config list` must show, for each setting, that
// value, or the value of a later set of the same setting that was killed (it may have committed
// before it died); never an older value, never the value of a set that reported failure. The
// value seen is committed from then on. SQLite's integrity check must answer "ok" and the file
// must be mode 0600.
//
// usage: registry_storm KESTROM KILLS [SEED]    (exit 0 when every check held)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWriters = 4;
constexpr int kCheckpoints = 10;  // spread over the storm, the last one at its end
// A set takes 5-30 ms here (start, open, lock, journal, syncs); random gaps of up to 40 ms put
// the kills in every phase of it and leave about as many sets stored as killed.
constexpr int kMaxGapUs = 40000;
constexpr auto kSetDeadline = std::chrono::seconds(60);  // a set that takes longer hangs

// The text written by attempt n of a setting: n first, then a tail of varying length so that
// the value's size changes from write to write. The port is stored as its number.
std::string text_for(const core::SettingInfo& info, long n) {
    if (info.setting == core::Setting::Zorva_TFTP_TCP_PORT) return std::to_string(n);
    return std::to_string(n) + "-" + std::string(static_cast<std::size_t>(n % 97), 'a' + n % 26);
}

// What is known of one setting.
struct Track {
    const core::SettingInfo* info = nullptr;
    long committed = 0;      // attempt whose value is stored for sure; 0: none yet (the default)
    std::set<long> maybe;    // killed attempts after it: stored or not
    std::set<long> refused;  // attempts whose set exited non-zero: never stored
};

struct Writer {
    std::array<Track*, 2> tracks{};
    long next = 1;  // attempt number, counted per writer
    pid_t pid = 0;
    Track* running = nullptr;
    long running_attempt = 0;
    Clock::time_point started;
    bool kill_sent = false;
};

struct Figures {
    long started = 0, stored = 0, killed = 0, refused = 0, late_kills = 0, checkpoints = 0;
    long killed_but_stored = 0;  // a killed set's value found at a checkpoint: killed after commit
};

class Storm {
public:
    Storm(std::string kestrom, std::filesystem::path hive, std::filesystem::path errors,
          unsigned seed)
        : kestrom_(std::move(kestrom)),
          hive_(std::move(hive)),
          errors_(std::move(errors)),
          random_(seed) {
        for (std::size_t i = 0; i < core::kSettings.size(); ++i)
            tracks_[i].info = &core::kSettings[i];
        for (int w = 0; w < kWriters; ++w)
            writers_[w].tracks = {&tracks_[2 * w], &tracks_[2 * w + 1]};
    }

    bool run(long kills) {
        long next_check = kills / kCheckpoints;
        while (ok_ && figures_.killed < kills) {
            start_idle();
            const auto until = Clock::now() + std::chrono::microseconds(random_() % kMaxGapUs);
            while (ok_ && Clock::now() < until) {
                if (!reap()) std::this_thread::sleep_for(std::chrono::microseconds(200));
                start_idle();
            }
            kill_one();
            if (figures_.killed >= next_check && figures_.killed < kills) {
                ok_ = ok_ && checkpoint();
                next_check += std::max(1L, kills / kCheckpoints);
            }
        }
        return ok_ && checkpoint();
    }

    const Figures& figures() const { return figures_; }
    const std::string& integrity() const { return integrity_; }
    unsigned mode() const { return mode_; }
    bool values_ok() const { return values_ok_; }

private:
    void start_idle() {
        for (Writer& w : writers_)
            if (w.pid == 0) start(w);
    }

    // posix_spawn of `kestrom ARGS...`: no input, standard output to `out` (-1: nowhere),
    // standard error to the errors file. The spawn's error number, 0 when it started.
    int spawn(std::initializer_list<const char*> args, int out, pid_t* pid) const {
        std::vector<const char*> argv{kestrom_.c_str()};
        argv.insert(argv.end(), args);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (out < 0)
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        else
            posix_spawn_file_actions_adddup2(&actions, out, 1);
        posix_spawn_file_actions_addopen(&actions, 2, errors_.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int rc = posix_spawn(pid, kestrom_.c_str(), &actions, nullptr,
                                   const_cast<char* const*>(argv.data()), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc;
    }

    // `kestrom config set NAME TEXT`, output to the errors file.
    void start(Writer& w) {
        Track* t = w.tracks[static_cast<std::size_t>(w.next % 2)];
        const long n = w.next++;
        const std::string text = text_for(*t->info, n);
        pid_t pid = 0;
        const int rc = spawn({"config", "set", t->info->name, text.c_str()}, -1, &pid);
        if (rc != 0) {
            fail("can't start " + kestrom_ + ": " + std::strerror(rc));
            return;
        }
        ++figures_.started;
        w.pid = pid;
        w.running = t;
        w.running_attempt = n;
        w.started = Clock::now();
    }

    // Only children not yet reaped are killed: their pid can't have been reused.
    void kill_one() {
        std::vector<Writer*> busy;
        for (Writer& w : writers_)
            if (w.pid != 0) busy.push_back(&w);
        if (busy.empty()) return;
        Writer* w = busy[random_() % busy.size()];
        ::kill(w->pid, SIGKILL);
        w->kill_sent = true;
    }

    // Collects ended sets; true when one ended.
    bool reap() {
        bool any = false;
        for (;;) {
            int status = 0;
            const pid_t pid = ::waitpid(-1, &status, WNOHANG);
            if (pid <= 0) break;
            any = true;
            for (Writer& w : writers_)
                if (w.pid == pid) ended(w, status);
        }
        check_hung();
        return any;
    }

    void drain() {
        while (!idle())
            if (!reap()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    bool idle() const {
        for (const Writer& w : writers_)
            if (w.pid != 0) return false;
        return true;
    }

    void ended(Writer& w, int status) {
        Track& t = *w.running;
        const long n = w.running_attempt;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            ++figures_.stored;
            t.committed = n;  // later than every attempt still in doubt
            t.maybe.clear();
        } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
            ++figures_.killed;
            t.maybe.insert(n);
        } else if (WIFEXITED(status)) {
            ++figures_.refused;
            t.refused.insert(n);
        } else {
            fail(std::string("kestrom config set ") + t.info->name + " ended by signal " +
                 std::to_string(WTERMSIG(status)));
        }
        if (w.kill_sent && !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL))
            ++figures_.late_kills;
        w.kill_sent = false;
        w.pid = 0;
        w.running = nullptr;
    }

    void check_hung() {
        for (Writer& w : writers_)
            if (w.pid != 0 && Clock::now() - w.started > kSetDeadline) {
                fail(std::string("kestrom config set ") + w.running->info->name +
                     " still runs after 60 s");
                ::kill(w.pid, SIGKILL);
            }
    }

    bool checkpoint() {
        ++figures_.checkpoints;
        drain();
        std::map<std::string, std::string> shown;
        if (!list(&shown)) return false;
        bool good = true;
        for (Track& t : tracks_) {
            const auto it = shown.find(t.info->name);
            if (it == shown.end()) return fail(std::string("config list lacks ") + t.info->name);
            const std::string& text = it->second;
            long n = 0;
            if (t.committed == 0 && text == t.info->default_text) {
                n = 0;
            } else {
                n = std::strtol(text.c_str(), nullptr, 10);
                if (n <= 0 || text != text_for(*t.info, n)) n = -1;
            }
            if (n == t.committed || t.maybe.contains(n)) {
                if (n != t.committed) ++figures_.killed_but_stored;
                t.committed = n;
                t.maybe.clear();
                continue;
            }
            good = values_ok_ = false;
            const std::string what = n < 0             ? "a text no set wrote"
                                     : n < t.committed ? "an older value: a stored one was lost"
                                     : t.refused.contains(n) ? "the value of a set that failed"
                                                             : "a value never written";
            fail(std::string(t.info->name) + " reads '" + text + "', " + what +
                 " (stored: " + std::to_string(t.committed) + ")");
        }
        integrity_ = integrity_check();
        if (integrity_ != "ok") good = fail("integrity_check: " + integrity_);
        struct stat st {};
        mode_ = ::stat(hive_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
        if (mode_ != 0600) good = fail("the hive's mode is " + octal(mode_));
        return good;
    }

    // `kestrom config list` into NAME -> TEXT. It is also the first open after the kills, so it
    // rolls back whatever a killed set left in the journal.
    bool list(std::map<std::string, std::string>* shown) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return fail("pipe failed");
        pid_t pid = 0;
        const int rc = spawn({"config", "list"}, fds[1], &pid);
        ::close(fds[1]);
        std::string out;
        char buf[4096];
        for (ssize_t n; rc == 0 && (n = ::read(fds[0], buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<std::size_t>(n));
        ::close(fds[0]);
        if (rc != 0) return fail("can't start " + kestrom_ + ": " + std::strerror(rc));
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fail("config list failed");
        for (std::size_t at = 0; at < out.size();) {
            const std::size_t end = out.find('\n', at);
            const std::string line = out.substr(at, end - at);
            if (const std::size_t eq = line.find('='); eq != std::string::npos)
                (*shown)[line.substr(0, eq)] = line.substr(eq + 1);
            at = end == std::string::npos ? out.size() : end + 1;
        }
        return true;
    }

    // Through SQLite itself, not through the library under test.
    std::string integrity_check() const {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(hive_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
        const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
        if (rc != SQLITE_OK) return std::string("open failed: ") + sqlite3_errstr(rc);
        std::string result;
        const int exec_rc = sqlite3_exec(
            db.get(), "PRAGMA integrity_check",
            [](void* out, int, char** values, char**) {
                auto& text = *static_cast<std::string*>(out);
                if (!text.empty()) text += "; ";
                text += values[0] ? values[0] : "";
                return 0;
            },
            &result, nullptr);
        return exec_rc == SQLITE_OK ? result : std::string(sqlite3_errmsg(db.get()));
    }

    static std::string octal(unsigned mode) {
        char text[16];
        std::snprintf(text, sizeof text, "%04o", mode);
        return text;
    }

    bool fail(const std::string& why) {
        std::fprintf(stderr, "registry storm: %s\n", why.c_str());
        ok_ = false;
        return false;
    }

    std::string kestrom_;
    std::filesystem::path hive_;
    std::filesystem::path errors_;
    std::mt19937 random_;
    std::array<Track, core::kSettings.size()> tracks_{};
    std::array<Writer, kWriters> writers_{};
    Figures figures_;
    std::string integrity_ = "not run";
    unsigned mode_ = 0;
    bool values_ok_ = true;
    bool ok_ = true;
};

// Every line the sets wrote on standard error, counted.
std::map<std::string, long> count_lines(const std::filesystem::path& file) {
    std::map<std::string, long> lines;
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(file.c_str(), "r"), std::fclose);
    if (!f) return lines;
    char line[1024];
    while (std::fgets(line, sizeof line, f.get())) ++lines[line];
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::atol(argv[2]) <= 0) {
        std::fputs("usage: registry_storm KESTROM KILLS [SEED]\n", stderr);
        return 2;
    }
    const std::string kestrom = std::filesystem::absolute(argv[1]).string();
    const long kills = std::atol(argv[2]);
    const unsigned seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10))
                                   : std::random_device{}();

    std::string dir_pattern = (std::filesystem::temp_directory_path() / "kestrom-storm.XXXXXX");
    if (!::mkdtemp(dir_pattern.data())) {
        std::perror("registry storm: mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = dir_pattern;
    const std::filesystem::path hive = dir / "config" / "registry.db";  // made by the first set
    ::setenv("KESTROM_REGISTRY", hive.c_str(), 1);

    Storm storm(kestrom, hive, dir / "errors.txt", seed);
    const auto begin = Clock::now();
    const bool ok = storm.run(kills);
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();

    const Figures& f = storm.figures();
    std::printf("registry storm: %ld kills survived in %.1f s (seed %u, %d writers)\n", f.killed,
                seconds, seed, kWriters);
    std::printf(
        "  sets: %ld started, %ld stored (exit 0), %ld killed, %ld refused (exit != 0); "
        "%ld kills came after the set's end\n",
        f.started, f.stored, f.killed, f.refused, f.late_kills);
    std::printf("  %ld killed sets were found stored at a checkpoint (killed after their commit)\n",
                f.killed_but_stored);
    std::printf("  %ld checkpoints: stored values %s; integrity_check: %s; hive mode %04o\n",
                f.checkpoints, storm.values_ok() ? "all read back" : "NOT all read back",
                storm.integrity().c_str(), storm.mode());
    for (const auto& [line, count] : count_lines(dir / "errors.txt"))
        std::printf("  %ld x %s", count, line.c_str());
    std::printf("%s\n", ok ? "PASS" : "FAIL");

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return ok ? 0 : 1;
}
