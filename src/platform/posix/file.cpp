#include "platform/file.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace platform {
namespace {

void set_error(int* error, int value) {
    if (error) *error = value;
}

}  // namespace

AppendFile::~AppendFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool AppendFile::open(const std::string& path, int* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        set_error(error, errno);
        return false;
    }
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
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
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
        const ssize_t n = ::pread(fd, into.data() + got, into.size() - got,
                                  static_cast<off_t>(offset + got));
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
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted
                              ? wanted
                              : limit.rlim_max;
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
    struct stat sa {}, sb {};
    if (!is_terminal(a) || !is_terminal(b)) return false;
    if (::fstat(::fileno(a), &sa) != 0 || ::fstat(::fileno(b), &sb) != 0) return false;
    return sa.st_rdev == sb.st_rdev;
}

}  // namespace platform
