#include "platform/file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <random>
#include <utility>

namespace platform {
namespace {

void set_error(int* error, int value) {
    if (error) *error = value;
}

// A descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The kernel's own bound on the links of one path (SYMLOOP_MAX).
constexpr int kMaxLinks = 40;

// Where a name is looked up: a directory held open (or the working directory) and one
// component in it.
struct Place {
    Fd directory;
    std::string name;
    int at() const { return directory.get() >= 0 ? directory.get() : AT_FDCWD; }
};

// Splits `path`, seen from `from`, into the directory before its last component, held open so
// that it stays the one looked in, and that component.
bool enter(Place& from, const std::string& path, int* error) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        from.name = path;
        return true;
    }
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    Fd directory(::openat(from.at(), parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0) {
        set_error(error, errno);
        return false;
    }
    from.directory = std::move(directory);
    from.name = path.substr(slash + 1);
    // "dir/" and "dir/." name the directory itself.
    if (from.name.empty()) from.name.push_back('.');
    return true;
}

// open(2) of `path` with `flags`, where only links that `trust` allows are followed as the last
// component. Each link is held by a descriptor of its own while its owner is read and its text
// taken, and the file it leads to is opened relative to the link's directory, so the link that
// was checked is the one followed, whatever is renamed meanwhile. `regular` opens without
// blocking and takes a regular file only. Returns the descriptor, or -1 with *error and *why.
int open_trusted(const std::string& path, int flags, LinkTrust trust, bool regular, int* error,
                 Distrust* why) {
    if (why) *why = Distrust::none;
    const uid_t me = ::geteuid();
    // Owners of the links followed, for owner_owns_target; -1 when none was, -2 when they differ.
    long link_owner = -1;
    Place place;
    if (!enter(place, path, error)) return -1;
    const int open_flags = flags | O_CLOEXEC | (regular ? O_NONBLOCK : 0);
    bool kernel_follows = false;
    for (int links = 0;; ++links) {
        Fd file(::openat(place.at(), place.name.c_str(),
                         open_flags | (kernel_follows ? 0 : O_NOFOLLOW), 0666));
        if (file.get() >= 0) {
            struct stat st {};
            if (::fstat(file.get(), &st) != 0) {
                set_error(error, errno);
                return -1;
            }
            if (regular && !S_ISREG(st.st_mode)) {
                set_error(error, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
                if (why) *why = Distrust::not_regular;
                return -1;
            }
            if (trust == LinkTrust::owner_owns_target && me == 0 && link_owner != -1 &&
                link_owner != static_cast<long>(st.st_uid)) {
                set_error(error, EACCES);
                if (why) *why = Distrust::foreign_target;
                return -1;
            }
            // A regular file reads the same either way; the stream's reads are plain ones.
            if (regular && ::fcntl(file.get(), F_SETFL, flags) != 0) {
                set_error(error, errno);
                return -1;
            }
            return file.release();
        }
        // O_NOFOLLOW fails with ELOOP on a link, and only then (the name has no directory).
        if (errno != ELOOP || kernel_follows) {
            set_error(error, errno);
            return -1;
        }
        if (links == kMaxLinks) {
            set_error(error, ELOOP);
            return -1;
        }
        Fd link(::openat(place.at(), place.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (link.get() < 0 || ::fstat(link.get(), &st) != 0) {
            set_error(error, errno);
            return -1;
        }
        if (!S_ISLNK(st.st_mode)) continue;  // replaced meanwhile: looked at again
        if (trust == LinkTrust::own_or_root && st.st_uid != me && st.st_uid != 0) {
            set_error(error, EACCES);
            if (why) *why = Distrust::foreign_link;
            return -1;
        }
        const long owner = static_cast<long>(st.st_uid);
        link_owner = link_owner == -1 || link_owner == owner ? owner : -2;
        // The links of /proc (/dev/stdout leads to /proc/self/fd/1) name open files, which may
        // have no path ("pipe:[...]"): the kernel follows those, and nobody else can swap them.
        struct statfs fs {};
        if (::fstatfs(link.get(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) {
            kernel_follows = true;
            continue;
        }
        char target[PATH_MAX];
        const ssize_t n = ::readlinkat(link.get(), "", target, sizeof target);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof target) {
            set_error(error, n < 0 ? errno : ENAMETOOLONG);
            return -1;
        }
        if (!enter(place, std::string(target, static_cast<std::size_t>(n)), error)) return -1;
    }
}

}  // namespace

std::FILE* open_regular_file(const std::string& path, LinkTrust trust, bool /*text*/, int* error,
                             Distrust* why) {
    Fd fd(open_trusted(path, O_RDONLY, trust, true, error, why));
    if (fd.get() < 0) return nullptr;
    std::FILE* file = ::fdopen(fd.get(), "rb");
    if (file == nullptr) {
        set_error(error, errno);
        return nullptr;
    }
    (void)fd.release();  // the stream owns it now
    return file;
}

AppendFile::~AppendFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool AppendFile::open(const std::string& path, int* error, Distrust* why) {
    const int fd = open_trusted(path, O_WRONLY | O_CREAT | O_APPEND, LinkTrust::own_or_root, false,
                                error, why);
    if (fd < 0) return false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return true;
}

bool AppendFile::append(std::string_view bytes, int* error) {
    if (fd_ < 0) {
        set_error(error, EBADF);
        return false;
    }
    // O_APPEND places the one write at the end as a whole; a short write to a regular file
    // means the disk is full.
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n == static_cast<ssize_t>(bytes.size())) return true;
    set_error(error, n < 0 ? errno : ENOSPC);
    return false;
}

std::FILE* create_unique_file(const std::string& prefix, bool /*text*/, std::string* path,
                              int* error) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::minstd_rand random(std::random_device{}());
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i) name += kLetters[pick(random)];
        // 0666 as fopen would create it: the umask decides, as for any other file we write.
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            set_error(error, errno);
            return nullptr;
        }
        std::FILE* file = ::fdopen(fd, "wb");
        if (file == nullptr) {
            set_error(error, errno);
            ::close(fd);
            ::unlink(name.c_str());
            return nullptr;
        }
        *path = std::move(name);
        return file;
    }
    set_error(error, EEXIST);
    return nullptr;
}

long read_at(std::FILE* file, std::uint64_t offset, std::span<std::uint8_t> into, int* error) {
    const int fd = ::fileno(file);
    std::size_t got = 0;
    while (got < into.size()) {  // a regular file reads short only at its end, or on a signal
        const ssize_t n =
            ::pread(fd, into.data() + got, into.size() - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            set_error(error, errno);
            return -1;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

bool sync_file(std::FILE* file, int* error) {
    if (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0) {
        set_error(error, errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

bool rename_no_replace(const std::string& from, const std::string& to, int* error) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) {
        set_error(error, errno);
        return false;
    }
    // A file system without the flag: a second link fails if the name is taken, then the old
    // name goes.
    if (::link(from.c_str(), to.c_str()) != 0) {
        set_error(error, errno);
        return false;
    }
    (void)::unlink(from.c_str());
    return true;
}

std::uint64_t raise_open_file_limit(std::uint64_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur =
            limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
}

bool is_terminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

int terminal_columns(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

bool same_terminal(std::FILE* a, std::FILE* b) {
    struct stat sa {
    }, sb{};
    if (!is_terminal(a) || !is_terminal(b)) return false;
    if (::fstat(::fileno(a), &sa) != 0 || ::fstat(::fileno(b), &sb) != 0) return false;
    return sa.st_rdev == sb.st_rdev;
}

bool enable_terminal_sequences(std::FILE* /*stream*/) {
    return true;
}

}  // namespace platform
