#include "platform/file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <random>

#include "platform/win32/win32_support.h"

namespace platform {
namespace {

void set_error(int* error, int value) {
    if (error) *error = value;
}

HANDLE os_handle(int fd) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// A console, not only a character device: _isatty is true for NUL as well.
bool is_console(std::FILE* stream, HANDLE* handle) {
    const int fd = ::_fileno(stream);
    if (fd < 0 || !::_isatty(fd)) return false;
    *handle = os_handle(fd);
    DWORD mode = 0;
    return *handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(*handle, &mode) != 0;
}

}  // namespace

// Links on Windows are made by administrators (or in developer mode) and reparse to whatever
// they name: they are followed as the system does. Directories don't open as files here (the
// refusal is told as EISDIR); only the regular check is left to do.
std::FILE* open_regular_file(const std::string& path, LinkTrust /*trust*/, bool text, int* error,
                             Distrust* why) {
    if (why) *why = Distrust::none;
    std::FILE* file = std::fopen(path.c_str(), text ? "rt" : "rb");
    if (file == nullptr) {
        int failure = errno != 0 ? errno : EIO;
        // Opening a folder is refused as "access denied"; say what it is instead.
        const DWORD attributes = ::GetFileAttributesA(path.c_str());
        if (failure == EACCES && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            failure = EISDIR;
            if (why) *why = Distrust::not_regular;
        }
        set_error(error, failure);
        return nullptr;
    }
    struct _stat64 st {};
    if (::_fstat64(::_fileno(file), &st) != 0) {
        set_error(error, errno);
        std::fclose(file);
        return nullptr;
    }
    if ((st.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        set_error(error, (st.st_mode & _S_IFMT) == _S_IFDIR ? EISDIR : EINVAL);
        if (why) *why = Distrust::not_regular;
        return nullptr;
    }
    return file;
}

AppendFile::~AppendFile() {
    if (fd_ >= 0) ::_close(fd_);
}

bool AppendFile::open(const std::string& path, int* error, Distrust* why) {
    if (why) *why = Distrust::none;
    // FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at the end of the
    // file as a whole, what O_APPEND does on Linux. Shared, so concurrent writers may append.
    const HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_error(error, detail::errno_from_win32(::GetLastError()));
        return false;
    }
    // A C-library descriptor owns the handle from here on (_close closes both).
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        set_error(error, errno);
        ::CloseHandle(h);
        return false;
    }
    if (fd_ >= 0) ::_close(fd_);
    fd_ = fd;
    return true;
}

bool AppendFile::append(std::string_view bytes, int* error) {
    if (fd_ < 0) {
        set_error(error, EBADF);
        return false;
    }
    // One WriteFile, so the record lands whole; a short write means the disk is full.
    DWORD written = 0;
    if (!::WriteFile(os_handle(fd_), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr)) {
        set_error(error, detail::errno_from_win32(::GetLastError()));
        return false;
    }
    if (written == bytes.size()) return true;
    set_error(error, ENOSPC);
    return false;
}

std::FILE* create_unique_file(const std::string& prefix, bool text, std::string* path, int* error) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::minstd_rand random(std::random_device{}());
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i) name += kLetters[pick(random)];
        // Text mode translates "\n" into "\r\n" as the file is written (netascii uploads).
        const int mode = text ? _O_TEXT : _O_BINARY;
        const int fd = ::_open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT | mode,
                               _S_IREAD | _S_IWRITE);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            set_error(error, errno);
            return nullptr;
        }
        std::FILE* file = ::_fdopen(fd, text ? "w" : "wb");
        if (file == nullptr) {
            set_error(error, errno);
            ::_close(fd);
            (void)::_unlink(name.c_str());
            return nullptr;
        }
        *path = std::move(name);
        return file;
    }
    set_error(error, EEXIST);
    return nullptr;
}

long read_at(std::FILE* file, std::uint64_t offset, std::span<std::uint8_t> into, int* error) {
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    std::size_t got = 0;
    while (got < into.size()) {
        // The offset in OVERLAPPED makes a positioned read on a synchronous handle too.
        OVERLAPPED at{};
        const std::uint64_t position = offset + got;
        at.Offset = static_cast<DWORD>(position);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD n = 0;
        if (!::ReadFile(handle, into.data() + got, static_cast<DWORD>(into.size() - got), &n,
                        &at)) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_HANDLE_EOF) break;
            set_error(error, detail::errno_from_win32(code));
            return -1;
        }
        if (n == 0) break;
        got += n;
    }
    return static_cast<long>(got);
}

bool sync_file(std::FILE* file, int* error) {
    // _commit is FlushFileBuffers on the file's handle.
    if (std::fflush(file) != 0 || ::_commit(::_fileno(file)) != 0) {
        set_error(error, errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

bool rename_no_replace(const std::string& from, const std::string& to, int* error) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists, atomically.
    if (::MoveFileExA(from.c_str(), to.c_str(), 0)) return true;
    set_error(error, detail::errno_from_win32(::GetLastError()));
    return false;
}

std::uint64_t raise_open_file_limit(std::uint64_t wanted) {
    // Windows has no per-process limit of handles to raise; the C library's stdio table has
    // one (512 streams at start, 2048 at most with msvcrt).
    constexpr std::uint64_t kMaxStdio = 2048;
    const int now = ::_getmaxstdio();
    if (now >= 0 && static_cast<std::uint64_t>(now) < wanted)
        (void)::_setmaxstdio(static_cast<int>(wanted < kMaxStdio ? wanted : kMaxStdio));
    const int after = ::_getmaxstdio();
    return after < 0 ? 0 : static_cast<std::uint64_t>(after);
}

bool is_terminal(std::FILE* stream) {
    HANDLE h;
    return is_console(stream, &h);
}

int terminal_columns(std::FILE* stream) {
    HANDLE h;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!is_console(stream, &h) || !::GetConsoleScreenBufferInfo(h, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

// A process has one console at most: two console streams show on the same one.
bool same_terminal(std::FILE* a, std::FILE* b) {
    return is_terminal(a) && is_terminal(b);
}

bool enable_terminal_sequences(std::FILE* stream) {
    // The flag's value, for headers older than Windows 10's.
    constexpr DWORD kVirtualTerminalProcessing = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
    HANDLE h;
    DWORD mode = 0;
    if (!is_console(stream, &h) || !::GetConsoleMode(h, &mode)) return false;
    if ((mode & kVirtualTerminalProcessing) != 0) return true;
    // A console before Windows 10 refuses the unknown flag and keeps its mode.
    return ::SetConsoleMode(h, mode | kVirtualTerminalProcessing) != 0;
}

}  // namespace platform
